// The real agent's permission prompts for a file edit and a fetch, read off its terminal by
// `velmo --serve` and shown on the ask card: the path and the changed lines, the address.
// The agent and the scripted model API run in a private tmux server with a temporary home.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, screenshot, waitFor } from './support.mjs';
import { binary, skip, startAgent } from './agent-lab.mjs';

let browser;
let agent;
before(async () => {
  if (skip) return;
  browser = await launch();
  agent = await startAgent({ args: ['--permission-mode', 'default'], prefix: 'velmo-askbody-' });
  agent.serve = await startServe({ binary, env: agent.env });
});

after(async () => {
  if (browser) await browser.close();
  if (!agent) return;
  if (agent.serve) await agent.serve.stop();
  agent.close();
});

test('the card of an edit shows the path and the changed lines, the card of a fetch the address', { skip, timeout: 240000 }, async () => {
  const p = await openPage(browser, { url: agent.serve.url });
  try {
    const { page } = p;
    const card = '#asksview .askcard';
    const body = `${card} .bodytext`;
    const shown = () => page.locator(body).count().then((n) => (n ? page.textContent(body) : ''));
    const refuse = () => spawnSync('tmux', ['send-keys', '-t', agent.pane, 'Escape'], { env: agent.env });

    // EDITME edits this file, which the model reads first.
    writeFileSync(join(agent.work, 'velmo-edit.txt'), 'colour = blue\nsize = large\n');
    agent.type('Please EDITME now');
    await waitFor('the edit prompt on screen', () => agent.screen().includes('Do you want to make this edit'), 60, 250,
      () => agent.screen());
    await page.click('#asksbtn');
    const edit = await waitFor('the edit card to show its body', async () => {
      const text = await shown();
      return text.includes('+colour = green') ? text : '';
    }, 60, 250, shown);
    assert.deepEqual(edit.split('\n'),
      ['Edit file', 'velmo-edit.txt', '1 -colour = blue', '1 +colour = green', '2 +border = thin', '3  size = large']);
    assert.equal(await page.textContent(`${card} .question`), 'Do you want to make this edit to velmo-edit.txt?');
    await screenshot(page, 'askbody-agent-edit.png');

    refuse();
    await waitFor('the edit card to go', async () => !(await page.locator(card).count()), 60, 250);
    agent.type('Please FETCHME now');
    const fetch = await waitFor('the fetch card to show its body', async () => {
      const text = await shown();
      return text.includes('url: ') ? text : '';
    }, 60, 250, shown);
    assert.deepEqual(fetch.split('\n'), ['Fetch', 'Claude wants to fetch content from 127.0.0.1',
      'url: http://127.0.0.1:9/velmo-probe', 'prompt: Say what the page holds.']);
    await screenshot(page, 'askbody-agent-fetch.png');
    refuse();
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});
