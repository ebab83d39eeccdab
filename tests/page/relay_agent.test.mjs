// The hand-off as the page shows it: `velmo --serve` watches the real agent from the agent
// lab, whose prompt is past the threshold of a small "relayWindow". Once the agent has been
// calm long enough, Velmo asks for a hand-off (the scripted model writes it), then clears
// the conversation and continues it. The terminal's rack row says each stage in turn.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, screenshot, waitFor } from './support.mjs';
import { binary, skip, startAgent } from './agent-lab.mjs';

// The scripted model reports 10,900 prompt tokens a turn: past 75% of 12,000.
const relayWindow = 12000;

let browser;
let lab;
before(async () => {
  if (skip) return;
  browser = await launch();
  lab = await startAgent({
    prefix: 'velmo-relay-',
    args: (home) => ['--permission-mode', 'acceptEdits', '--add-dir', join(home, 'Documents', 'claude', 'handoffs')],
  });
});

after(async () => {
  if (browser) await browser.close();
  if (!lab) return;
  if (lab.serve) await lab.serve.stop();
  lab.close();
});

const readJson = (path) => { try { return JSON.parse(readFileSync(path, 'utf8')); } catch { return {}; } };
const tmux = (...args) => (spawnSync('tmux', args, { env: lab.env, encoding: 'utf8' }).stdout || '').trim();

test('the rack row says writing a hand-off, then ready, then continued automatically', { skip, timeout: 480000 }, async () => {
  // Primed, so the first tick does not stop at a baseline record.
  mkdirSync(join(lab.home, '.config', 'velmo'), { recursive: true });
  writeFileSync(join(lab.home, '.config', 'velmo', 'settings.json'),
    JSON.stringify({ relayWindow, relayPrimed: true }));

  const pid = tmux('display-message', '-p', '-t', lab.pane, '#{pane_pid}');
  const tty = tmux('display-message', '-p', '-t', lab.pane, '#{pane_tty}');
  assert.ok(tty.startsWith('/dev/'), `pane tty ${tty}`);
  const registry = () => readJson(join(lab.home, '.claude', 'sessions', `${pid}.json`));
  const record = (sid) => readJson(join(lab.home, '.claude', 'velmo-relay.json'))[sid] || {};

  // One answered prompt, so its context is counted.
  lab.type('Build the login page');
  const sid = await waitFor('the agent to answer and go idle', () => {
    const r = registry();
    return r.sessionId && r.status === 'idle' && lab.apiLog().includes('Build the login page') && r.sessionId;
  }, 60, 300);

  lab.serve = await startServe({ binary, env: lab.env });
  const p = await openPage(browser, { url: lab.serve.url });
  try {
    const { page } = p;
    // The row follows the terminal, not the conversation: after /clear it holds a new one.
    const chain = `#rack .unit[data-tty="${tty}"] .chain`;
    const seen = [];
    const watch = async () => {
      const texts = await page.$$eval(chain, (n) => n.map((x) => x.textContent));
      const text = texts[0] || '';
      if (text && seen[seen.length - 1] !== text) seen.push(text);
      return text;
    };
    const explain = () => `labels ${JSON.stringify(seen)}; record ${JSON.stringify(record(sid))}\n${lab.screen()}`;

    // Calm means idle for more than 45 seconds; the request, the hand-off and the
    // continuation each take a turn of the agent.
    try {
      await waitFor('the row to say continued automatically', async () =>
        (await watch()) === 'continued automatically', 360, 200);
    } catch (e) {
      assert.fail(`${e.message}: ${explain()}`);
    }
    await screenshot(page, 'relay-agent-en.png');

    const expected = ['writing a hand-off', 'hand-off ready', 'continued automatically'];
    const order = expected.map((label) => seen.indexOf(label));
    assert.ok(order.every((i) => i >= 0), explain());
    assert.deepEqual(order, [...order].sort((a, b) => a - b), explain());
    // The stages the page said are the ones the store went through.
    assert.equal(record(sid).stage, 'continued', explain());
    assert.notEqual(registry().sessionId, sid);
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});
