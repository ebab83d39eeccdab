// An ask card of the page answers the real agent's question: `velmo --serve` and the real
// agent from the agent lab in a private tmux server and a temporary home. The rack row says
// the question, the asks view shows its card, and a click on a choice reaches the agent.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openPage, startServe, screenshot, waitFor } from './support.mjs';
import { binary, skip, startAgent } from './agent-lab.mjs';

let browser;
let agent;
before(async () => {
  if (skip) return;
  browser = await launch();
  agent = await startAgent({ prefix: 'velmo-ask-' });
  agent.serve = await startServe({ binary, env: agent.env });
});

after(async () => {
  if (browser) await browser.close();
  if (!agent) return;
  if (agent.serve) await agent.serve.stop();
  agent.close();
});

test('a choice clicked on the ask card answers the agent in its terminal', { skip, timeout: 120000 }, async () => {
  const p = await openPage(browser, { url: agent.serve.url });
  try {
    const { page } = p;
    agent.type('Please ASKME');
    const question = 'Which colour should the login button be?';
    const row = '#rack .unit.ask[data-sid]:not([data-sid=""])';
    await waitFor('the rack row asking', () => page.locator(row).count(), 60, 250);
    // The registry can say "waiting" a moment before the prompt is drawn; the row then
    // says that a question is open until the screen shows which.
    await waitFor('the row to say the question', async () => (await page.textContent(`${row} .say`)) === question, 30, 250,
      () => page.textContent(`${row} .say`));

    await page.click('#asksbtn');
    const card = '#asksview .askcard';
    await page.waitForSelector(card, { state: 'visible', timeout: 30000 });
    assert.equal(await page.textContent(`${card} .question`), question);
    assert.deepEqual(await page.$$eval(`${card} .choice .label`, (l) => l.map((x) => x.textContent)),
      ['Blue', 'Green', 'Orange']);
    await screenshot(page, 'ask-agent-en.png');

    await page.click(`${card} .choice:has-text("Green")`);
    await waitFor('the agent to receive the answer', () => agent.apiLog().includes('=\\"Green\\"'), 40, 250);
    // Once answered, the question leaves the asks view.
    await waitFor('the card to go', async () => !(await page.locator(card).count()), 60, 250);
    // Back on the rack, the row no longer asks.
    await page.click('#asksbtn');
    await waitFor('the rack row to stop asking', async () => !(await page.locator(row).count()), 60, 250);
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});
