// The owner's approval of an answer the coordinating session asks for (velmo-q
// request-click), as a modal drawn by the page in browser mode: approving gives the
// console a token; an unanswered modal is taken down at the request's timeout; only one
// is shown at a time. The terminal is a stand-in named "claude" showing a real permission
// prompt of the agent, in a private tmux server.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, copyFileSync, chmodSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { launch, openPage, startServe, root, screenshot } from './support.mjs';

const binary = process.env.VELMO_BINARY;
const velmoQ = join(dirname(binary || ''), 'velmo-q');
const prompt = join(root, 'tests', 'fixtures', 'screens', 'perm-bash.txt');

let browser, served, home, tmuxDir, tty;
const env = () => ({ HOME: home, TMUX_TMPDIR: tmuxDir, VELMO_LANG: 'en', CLAUDE_CONFIG_DIR: '', XDG_CONFIG_HOME: '' });
const tmux = (...args) => execFileSync('tmux', args, { env: { ...process.env, ...env() } }).toString().trim();

before(async () => {
  delete process.env.TMUX;
  home = mkdtempSync(join(tmpdir(), 'velmo-approval-'));
  tmuxDir = mkdtempSync(join(tmpdir(), 'velmo-approval-tmux-'));
  // A shell named "claude" is taken for the agent; it shows the prompt and stays. The
  // command after sleep keeps bash from replacing itself with sleep.
  const agent = join(home, 'claude');
  copyFileSync('/bin/bash', agent);
  chmodSync(agent, 0o755);
  tmux('new-session', '-d', '-s', 'lab', '-x', '120', '-y', '40', agent, '-c',
    `cat '${prompt}'; sleep 100000; exit 0`);
  tty = tmux('display-message', '-p', '-t', 'lab', '#{pane_tty}');
  browser = await launch();
  served = await startServe({ env: env() });
});

after(async () => {
  await browser?.close();
  served?.stop();
  try { tmux('kill-server'); } catch (e) { /* already gone */ }
  rmSync(home, { recursive: true, force: true });
  rmSync(tmuxDir, { recursive: true, force: true });
});

// Runs velmo-q to its end: { status, reply }.
function velmoQRun(args) {
  return new Promise((resolve) => {
    const child = spawn(velmoQ, args, { env: { ...process.env, ...env() }, stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    child.on('exit', (status) => {
      let reply = null;
      try { reply = JSON.parse(out); } catch (e) { /* left null */ }
      resolve({ status, reply });
    });
  });
}

async function withPage(body) {
  const p = await openPage(browser, { url: served.url });
  try {
    await body(p);
    assert.deepEqual(p.errors.map(String), [], 'the page threw');
  } finally {
    await p.close();
  }
}

test('approving in the modal gives the console a token for that answer', async () => {
  await withPage(async ({ page }) => {
    const asked = velmoQRun(['request-click', tty, '--option', 'Yes', '--timeout', '60']);
    const modal = page.locator('#velmo-alert');
    await modal.waitFor({ state: 'visible', timeout: 30000 });
    assert.equal(await modal.locator('.velmo-alert-title').textContent(), 'The central console asks for your approval');
    const text = await modal.locator('.velmo-alert-text').textContent();
    assert.match(text, /Do you want to proceed\?/);
    assert.match(text, /Answer to send: “Yes”/);
    assert.match(text, /This is a tool-permission prompt\. Approving here is your approval\./);
    assert.deepEqual(await modal.locator('.velmo-alert-button').allTextContents(), ['Approve', 'Decline']);
    await screenshot(page, 'approval-modal.png');

    // A second request while the modal is up is declined at once: one sheet at a time.
    const second = await velmoQRun(['request-click', tty, '--option', 'No', '--timeout', '60']);
    assert.equal(second.status, 1);
    assert.equal(second.reply.error, 'Orlen declined');

    await modal.locator('.velmo-alert-button', { hasText: 'Approve' }).click();
    const { status, reply } = await asked;
    assert.equal(status, 0);
    assert.equal(reply.ok, true);
    assert.match(reply.token, /^[0-9a-f]{32}$/);
    assert.equal(reply.option, 'Yes');
    assert.equal(reply.expiresIn, 600);
    assert.equal(await modal.count(), 0);
  });
});

test('an unanswered modal is taken down when the request gives up', async () => {
  await withPage(async ({ page }) => {
    const asked = velmoQRun(['request-click', tty, '--option', 'No', '--timeout', '1']);
    const modal = page.locator('#velmo-alert');
    await modal.waitFor({ state: 'visible', timeout: 30000 });
    const { status, reply } = await asked;
    assert.equal(status, 1);
    assert.equal(reply.error, 'Orlen did not answer within 5 s — the request was taken down');
    await modal.waitFor({ state: 'detached', timeout: 30000 });
  });
});
