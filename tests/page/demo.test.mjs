// `make demo` as a newcomer on a machine without a display meets it: scripts/demo prints an
// address, the page there shows three real agents (one asking, one on a permission prompt,
// one working), a question answered on the page reaches its agent, and Ctrl+C leaves no
// process of the demo running, no folder of it behind, and the user's home as it was.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { createInterface } from 'node:readline';
import { launch, openPage, root, screenshot, waitFor } from './support.mjs';
import { binary, skip } from './agent-lab.mjs';

const until = (what, check, seconds = 30, seen = null) => waitFor(what, check, seconds, 250, seen);

// Every file and folder under `dir` with its size and time of change: what "unchanged" means.
function snapshot(dir) {
  const seen = {};
  const walk = (at) => {
    for (const name of readdirSync(at)) {
      const path = join(at, name);
      const s = statSync(path);
      seen[path.slice(dir.length)] = `${s.isDirectory() ? 'dir' : s.size} ${s.mtimeMs}`;
      if (s.isDirectory()) walk(path);
    }
  };
  walk(dir);
  return seen;
}

// The ids of the live processes whose environment carries `entry` (exactly, as NAME=value).
function carrying(entry) {
  const found = [];
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      if (readFileSync(`/proc/${name}/environ`, 'latin1').split('\0').includes(entry)) found.push(Number(name));
    } catch { /* ended meanwhile, or someone else's */ }
  }
  return found;
}

const alive = (pid) => {
  try {
    return !/^State:\s+Z/m.test(readFileSync(`/proc/${pid}/status`, 'utf8'));
  } catch {
    return false;
  }
};

let browser;
let dir;
before(async () => {
  if (skip) return;
  browser = await launch();
  dir = mkdtempSync(join(tmpdir(), 'velmo-demo-test-'));
});

after(async () => {
  if (browser) await browser.close();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

test('the demo shows three agents, takes an answer, and Ctrl+C leaves nothing behind', { skip, timeout: 300000 }, async (t) => {
  // The user's own home, with something in it, and a temporary folder of its own so that
  // whatever the demo leaves there shows.
  const home = join(dir, 'user');
  const temp = join(dir, 'tmp');
  mkdirSync(join(home, '.config'), { recursive: true });
  mkdirSync(temp);
  writeFileSync(join(home, '.bashrc'), 'export EDITOR=vi\n');
  const before = snapshot(home);
  const agentDir = spawnSync(join(root, 'tests', 'agent-lab', 'agent-path'), ['--dir'], { encoding: 'utf8' }).stdout.trim();
  const env = Object.assign({}, process.env, { HOME: home, TMPDIR: temp, VELMO_AGENT_DIR: agentDir, VELMO_LANG: 'en' });
  for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'TMUX', 'XDG_CONFIG_HOME', 'XDG_CACHE_HOME', 'XDG_DATA_HOME', 'CLAUDE_CONFIG_DIR']) delete env[name];

  const startedAt = Date.now();
  const demo = spawn(join(root, 'scripts', 'demo'), [dirname(binary)], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let said = '';
  demo.stderr.setEncoding('utf8');
  demo.stderr.on('data', (t) => { said += t; });
  const ended = new Promise((resolve) => demo.once('exit', (code, signal) => resolve({ code, signal })));
  let url = '';
  let demoHome = '';
  createInterface({ input: demo.stdout }).on('line', (line) => {
    said += line + '\n';
    const home = line.match(/throwaway home is (\/\S+)$/);
    if (home) demoHome = home[1];
    const address = line.match(/^\s+(http:\/\/127\.0\.0\.1:\d+\/\S*)$/);
    if (address) url = address[1];
  });
  let p;
  try {
    // Within 90 s of starting, builds aside.
    await until('the demo to print its address', () => url || demo.exitCode !== null, 90);
    assert.ok(url, `the demo printed no address:\n${said}`);
    const t0 = Date.now();
    t.diagnostic(`address printed after ${((Date.now() - startedAt) / 1000).toFixed(1)} s`);
    assert.ok(demoHome.startsWith(temp + '/'), `the demo's home is in the temporary folder: ${demoHome}`);
    const mark = 'VELMO_DEMO=' + dirname(demoHome);

    p = await openPage(browser, { url });
    const { page } = p;
    await until('an asking, an approving and a working row', async () =>
      (await page.locator('#rack .unit.ask[data-sid]:not([data-sid=""])').count()) === 2 &&
      (await page.locator('#rack .unit.run[data-sid]:not([data-sid=""])').count()) === 1, 180);
    t.diagnostic(`three states on the page ${((Date.now() - t0) / 1000).toFixed(1)} s later`);
    const labels = await page.$$eval('#rack .unit .lamplabel', (l) => l.map((x) => x.textContent).sort());
    assert.deepEqual(labels, ['asking you', 'asking you', 'working']);
    const titles = await page.$$eval('#rack .unit .title', (l) => l.map((x) => x.textContent).sort());
    assert.deepEqual(titles, ['Login button', 'Login form walkthrough', 'Probe file']);
    await screenshot(page, 'demo-rack.png');

    // The question, not the permission prompt, is answered from its card.
    const question = 'Which colour should the login button be?';
    await page.click('#asksbtn');
    const card = page.locator('#asksview .askcard', { hasText: question });
    await card.waitFor({ state: 'visible', timeout: 60000 });
    await card.locator('.choice', { hasText: 'Green' }).click();
    const apiLog = () => { try { return readFileSync(join(demoHome, 'fake_api.log'), 'utf8'); } catch { return ''; } };
    await until('the agent to receive the answer', () => apiLog().includes('=\\"Green\\"'), 40);

    // The seeded past conversations show in the spend view, the working agent's
    // sub-agent in the crew.
    await page.click('#spendbtn');
    await page.click('#spendview .chip[data-span="all"]');
    await until('past sessions in the spend view', async () => (await page.locator('#spendview .spendrow').count()) >= 10, 30);
    await page.click('#crewbtn');
    await until('the sub-agent in the crew', async () => (await page.locator('#crewview .crewrow').count()) >= 1, 60);

    const started = carrying(mark);
    // The three agents, the model API, the tmux server and velmo at least.
    assert.ok(started.length >= 6, `the demo's processes carry its mark: ${started}`);
    await p.close();
    p = null;

    const interrupted = Date.now();
    demo.kill('SIGINT');
    const end = await Promise.race([ended, new Promise((r) => setTimeout(() => r(null), 60000))]);
    assert.ok(end, `the demo did not end within a minute of Ctrl+C:\n${said}`);
    t.diagnostic(`ended ${((Date.now() - interrupted) / 1000).toFixed(1)} s after Ctrl+C`);
    assert.deepEqual(started.filter(alive), [], 'a process the demo started outlived it');
    assert.deepEqual(carrying(mark).filter(alive), [], 'a process of the demo is still running');
    assert.equal(existsSync(dirname(demoHome)), false, 'the throwaway home is gone');
    assert.deepEqual(readdirSync(temp), [], 'the demo left nothing in the temporary folder');
    assert.deepEqual(snapshot(home), before, 'the user\'s home changed');
  } finally {
    if (p) await p.close();
    if (demo.exitCode === null && demo.signalCode === null) {
      demo.kill('SIGTERM');
      await ended;
    }
  }
});
