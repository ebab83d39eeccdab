// The chat view against the real application (`velmo --serve`) and the real agent from
// the agent lab, in a private tmux server and a temporary home: what is typed in the
// composer shows at once, reaches the agent and is shown once when the transcript has it;
// a document named in the conversation opens beside it, is edited and saved with a backup.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync, readdirSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launch, openPage, startServe, root, screenshot } from './support.mjs';

const lab = join(root, '..', 'shared', 'agent-lab');
const binary = process.env.VELMO_BINARY || join(root, 'build', 'velmo');

function agentPath() {
  if (!existsSync(join(lab, 'install-agent'))) return '';
  const run = spawnSync(join(lab, 'install-agent'), [], { encoding: 'utf8', timeout: 240000 });
  return run.status === 0 ? run.stdout.trim() : '';
}

const freePort = () => new Promise((resolve) => {
  const s = createServer();
  s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
});

async function until(what, check, seconds = 30) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const got = await check();
    if (got) return got;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 250));
  }
}

// The scripted API that agent-up started for this test, found by its own command line.
function stopFakeApi(port, log) {
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    let args = '';
    try { args = readFileSync(`/proc/${name}/cmdline`, 'utf8').replaceAll('\0', ' '); } catch { continue; }
    if (args.includes(`fake_api.py ${port} ${log}`)) {
      try { process.kill(Number(name), 'SIGTERM'); } catch { /* gone already */ }
    }
  }
}

const claude = agentPath();
const skip = !claude ? 'the agent could not be installed from the agent lab' : !existsSync(binary) ? 'no velmo binary: build first' : false;

let browser;
let lab0;
before(async () => {
  if (skip) return;
  browser = await launch();
  const dir = mkdtempSync(join(tmpdir(), 'velmo-chat-'));
  const home = join(dir, 'home');
  const work = join(dir, 'work');
  const tmux = join(dir, 'tmux');
  mkdirSync(tmux, { recursive: true });
  mkdirSync(join(home, 'Documents', 'claude'), { recursive: true });
  const port = await freePort();
  const env = Object.assign({}, process.env, {
    HOME: home, TMUX_TMPDIR: tmux, CLAUDE_BIN: claude, VELMO_LANG: 'en',
    XDG_CONFIG_HOME: join(home, '.config'), XDG_DATA_HOME: join(home, '.local', 'share'),
  });
  delete env.TMUX;
  delete env.CLAUDE_CONFIG_DIR;
  const pane = execFileSync(join(lab, 'agent-up'), [home, work, String(port), 'agent', '--'], { env, encoding: 'utf8' }).trim();
  const screen = () => spawnSync('tmux', ['capture-pane', '-p', '-t', pane], { env, encoding: 'utf8' }).stdout || '';
  // The agent takes input once its empty prompt row sits on the input box's edge.
  await until('the agent to take input', () => /^❯[\s\u00a0]*\n.*────/m.test(screen()), 60);
  const serve = await startServe({ binary, env });
  lab0 = { dir, home, work, tmux, env, port, pane, serve, screen };
});

after(async () => {
  if (!lab0) return;
  lab0.serve.stop();
  spawnSync('tmux', ['kill-server'], { env: lab0.env });
  stopFakeApi(lab0.port, join(lab0.home, 'fake_api.log'));
  if (browser) await browser.close();
  rmSync(lab0.dir, { recursive: true, force: true });
});

async function openConversation() {
  const p = await openPage(browser, { url: lab0.serve.url });
  const row = '#rack .unit[data-sid]:not([data-sid=""])';
  // The application remembers the open conversation, so a second page may land in it.
  const inChat = () => p.page.isVisible('#chatview .chathead');
  await until('the agent on the rack', async () => (await p.page.locator(row).count()) || inChat(), 30);
  if (!(await inChat())) await p.page.click(row);
  await p.page.waitForSelector('#chatview .chathead', { state: 'visible' });
  await until('the composer to take text', async () => !(await p.page.isDisabled('#chatview .cfield')), 20);
  return p;
}

const apiLog = () => { try { return readFileSync(join(lab0.home, 'fake_api.log'), 'utf8'); } catch { return ''; } };
const youTurns = (page, text) => page.$$eval('#chatview .turn.you', (ts, t) =>
  ts.filter((x) => x.querySelector('.body').innerText.trim() === t).map((x) => (x.classList.contains('pending') ? 'pending' : 'said')), text);

test('a text typed in the composer shows at once, reaches the agent and shows once from the transcript', { skip, timeout: 120000 }, async () => {
  const p = await openConversation();
  try {
    const { page } = p;
    const text = 'Hello from the page, note PAGE-HELLO-7';
    await page.click('#chatview .cfield');
    await page.keyboard.type(text);
    await page.keyboard.press('Enter');
    // Before the application has answered at all, the line is there as sent-but-not-yet-read.
    assert.deepEqual(await youTurns(page, text), ['pending']);
    assert.equal(await page.inputValue('#chatview .cfield'), '');

    await until('the agent to receive the text', () => apiLog().includes('PAGE-HELLO-7'), 40);
    await until('the transcript to carry the text', async () => (await youTurns(page, text)).includes('said'), 40);
    // Shown once: the pending line went when the transcript's line came.
    await new Promise((r) => setTimeout(r, 1600));
    assert.deepEqual(await youTurns(page, text), ['said']);
    await until('the agent to answer', () => page.locator('#chatview .turn.agent').count(), 40);
    await screenshot(page, 'chat-agent-en.png');
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});

test('a document named in the conversation opens beside it, is edited and saved, and its backup holds the old text', { skip, timeout: 120000 }, async () => {
  const file = join(lab0.home, 'Documents', 'claude', 'notes.md');
  const old = '# Notes\n\nThe old text.\n';
  writeFileSync(file, old);
  const p = await openConversation();
  try {
    const { page } = p;
    const text = `Please look at ${file} DOC-NOTE`;
    await page.click('#chatview .cfield');
    await page.keyboard.type(text);
    await page.keyboard.press('Enter');
    const chip = `#chatview .turn.you .chip[data-path="${file}"]`;
    await until('the path to become a chip', () => page.locator(chip).count(), 40);
    await page.click(`${chip} >> nth=-1`);
    await page.waitForSelector('#chatview .docpane', { state: 'visible', timeout: 10000 });
    await until('the document to show', async () => /The old text\./.test(await page.textContent('#chatview .docbody')), 10);

    await page.click('#chatview .dochead button:has-text("Edit")');
    await page.waitForSelector('#chatview .doctext', { state: 'visible', timeout: 10000 });
    assert.equal(await page.inputValue('#chatview .doctext'), old);
    await page.click('#chatview .doctext');
    await page.keyboard.press('Control+End');
    await page.keyboard.type('A line written in the page.');
    // Through a repaint or two, nothing typed is lost.
    await new Promise((r) => setTimeout(r, 3200));
    assert.equal(await page.inputValue('#chatview .doctext'), old + 'A line written in the page.');
    await page.click('#chatview .dochead button:has-text("Save")');
    await until('the saved note', async () => /^saved /.test(await page.textContent('#chatview .docnote')), 10);
    assert.equal(readFileSync(file, 'utf8'), old + 'A line written in the page.');
    assert.equal(readFileSync(file + '.gib', 'utf8'), old);
    assert.match(await page.textContent('#chatview .docbody'), /A line written in the page\./);
    await screenshot(page, 'chat-agent-doc-en.png');
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});
