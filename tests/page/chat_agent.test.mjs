// The chat view against the real application (`velmo --serve`) and the real agent from
// the agent lab, in a private tmux server and a temporary home: what is typed in the
// composer shows at once, reaches the agent and is shown once when the transcript has it;
// a document named in the conversation opens beside it, is edited and saved with a backup.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { writeFileSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, screenshot, waitFor } from './support.mjs';
import { binary, skip, startAgent } from './agent-lab.mjs';

const until = (what, check, seconds = 30, seen = null) => waitFor(what, check, seconds, 250, seen);

let browser;
let lab0;
before(async () => {
  if (skip) return;
  browser = await launch();
  lab0 = await startAgent({ prefix: 'velmo-chat-' });
  lab0.serve = await startServe({ binary, env: lab0.env });
});

after(async () => {
  if (!lab0) return;
  if (lab0.serve) await lab0.serve.stop();
  if (browser) await browser.close();
  lab0.close();
});

async function openConversation() {
  const p = await openPage(browser, { url: lab0.serve.url });
  const row = '#rack .unit[data-sid]:not([data-sid=""])';
  // The application remembers the open conversation, so a second page may land in it.
  const inChat = () => p.page.isVisible('#chatview .chathead');
  await until('the agent on the rack', async () => (await p.page.locator(row).count()) || inChat(), 30);
  if (!(await inChat())) await p.page.click(row);
  await p.page.waitForSelector('#chatview .chathead', { state: 'visible', timeout: 30000 });
  await until('the composer to take text', async () => !(await p.page.isDisabled('#chatview .cfield')), 30);
  return p;
}

const apiLog = () => lab0.apiLog();
const youTurns = (page, text) => page.$$eval('#chatview .turn.you', (ts, t) =>
  ts.filter((x) => x.querySelector('.body').innerText.trim() === t).map((x) => (x.classList.contains('pending') ? 'pending' : 'said')), text);

test('a text typed in the composer shows at once, reaches the agent and shows once from the transcript', { skip, timeout: 300000 }, async () => {
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
    // Shown once: the pending line went when the transcript's line came, and no later
    // paint brings it back.
    await p.repaint(2);
    assert.deepEqual(await youTurns(page, text), ['said']);
    await until('the agent to answer', () => page.locator('#chatview .turn.agent').count(), 40);
    await screenshot(page, 'chat-agent-en.png');
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});

test('a document named in the conversation opens beside it, is edited and saved, and its backup holds the old text', { skip, timeout: 300000 }, async () => {
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
    await page.waitForSelector('#chatview .docpane', { state: 'visible', timeout: 30000 });
    await until('the document to show', async () => /The old text\./.test(await page.textContent('#chatview .docbody')));

    await page.click('#chatview .dochead button:has-text("Edit")');
    await page.waitForSelector('#chatview .doctext', { state: 'visible', timeout: 30000 });
    assert.equal(await page.inputValue('#chatview .doctext'), old);
    await page.click('#chatview .doctext');
    await page.keyboard.press('Control+End');
    await page.keyboard.type('A line written in the page.');
    // Through a repaint or two, nothing typed is lost.
    await p.repaint(2);
    assert.equal(await page.inputValue('#chatview .doctext'), old + 'A line written in the page.');
    await page.click('#chatview .dochead button:has-text("Save")');
    await until('the saved note', async () => /^saved /.test(await page.textContent('#chatview .docnote')), 30,
      () => page.textContent('#chatview .docnote'));
    assert.equal(readFileSync(file, 'utf8'), old + 'A line written in the page.');
    assert.equal(readFileSync(file + '.gib', 'utf8'), old);
    assert.match(await page.textContent('#chatview .docbody'), /A line written in the page\./);
    await screenshot(page, 'chat-agent-doc-en.png');
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});
