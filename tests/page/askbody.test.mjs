// What a permission card shows above its options: the command, the file and its changed
// lines, the address, as the terminal draws them (the bodies below are what the screen
// reader gives for tests/fixtures/screens/perm-*.txt). Every line whole, as plain text.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, withPage, rack, screenshot } from './support.mjs';
import { chat, chatPaint, conversation } from './chat_support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

// One line of 630 characters, as tmux gives a row the terminal wrapped.
const longCommand = "printf '%s\\n' " +
  Array.from({ length: 40 }, (_, i) => `velmo-word-${String(i + 1).padStart(3, '0')}`).join(' ') + ' > velmo-long.txt';

const options = [{ n: '1', label: 'Yes' }, { n: '2', label: 'No' }];
const permission = (tty, slot, body, question = 'Do you want to proceed?') => ({
  id: '', sid: '', since: '', tty, kind: 'ask', unwritten: true, head: 'asking you', slot, title: 'Probe',
  freeRow: 0, paths: [], expect: 'q-' + slot, body,
  parts: [{ question, header: 'question', multi: false, free: 0, choices: options }],
});

const bash = permission('/dev/pts/1', '001', ['Bash command', 'Write forty words into a file', longCommand]);
const edit = permission('/dev/pts/2', '002',
  ['Edit file', 'velmo-edit.txt', '1 -colour = blue', '1 +colour = green', '2 +border = thin', '3  size = large'],
  'Do you want to make this edit to velmo-edit.txt?');
const fetch = permission('/dev/pts/3', '003',
  ['Fetch', 'Claude wants to fetch content from 127.0.0.1', 'url: http://127.0.0.1:9/velmo-probe',
    'prompt: Say what the page holds.'],
  'Do you want to allow Claude to fetch this content?');
// Text that Markdown or HTML would swallow: it must show as typed.
const marked = permission('/dev/pts/4', '004',
  ['Bash command', 'echo "<b>bold</b>" **stars** [link](http://hidden.example) && cat <<EOF > a.txt']);

const card = (i) => `#asksview .askcard:nth-of-type(${i})`;

// What a card's body box holds and whether all of it is in sight: no line runs out sideways,
// and the box is tall enough for every folded row.
const bodyBox = (page, i) => page.$eval(`${card(i)} .bodytext`, (pre) => {
  const style = getComputedStyle(pre);
  return {
    text: pre.textContent,
    markup: pre.children.length,
    sideways: pre.scrollWidth > pre.clientWidth,
    hidden: pre.scrollHeight > pre.clientHeight,
    rows: Math.round(pre.clientHeight / parseFloat(style.lineHeight)),
    ellipsis: style.textOverflow === 'ellipsis',
    direction: style.direction,
  };
});

for (const lang of ['en', 'he']) {
  test(`${lang}: each permission card shows the command, the path and its changes, the address, whole`, async () => {
    await withPage(browser, { lang }, async ({ page, paint }) => {
      await paint(rack([], { asks: [], live: [bash, edit, fetch, marked] }));
      assert.equal(await page.locator('#asksview .askcard').count(), 4);
      assert.deepEqual(await page.$$eval('#asksview .askbody > .note', (ns) => [...new Set(ns.map((n) => n.textContent))]),
        [lang === 'he' ? 'מה המסוף מבקש לאשר' : 'What the terminal asks to approve']);

      const long = await bodyBox(page, 1);
      assert.equal(long.text, bash.body.join('\n'));
      assert.ok(!long.sideways && !long.hidden && !long.ellipsis, JSON.stringify(long));
      // 630 characters do not fit a card's width: they fold onto several rows.
      assert.ok(long.rows >= 4, `the long command takes ${long.rows} rows`);
      // A command reads left to right on a right-to-left page too.
      assert.equal(long.direction, 'ltr');

      for (const [i, ask] of [[2, edit], [3, fetch], [4, marked]]) {
        const box = await bodyBox(page, i);
        assert.equal(box.text, ask.body.join('\n'), `card ${i}`);
        assert.equal(box.markup, 0, `card ${i} made markup of its text`);
        assert.ok(!box.sideways && !box.hidden, `card ${i}: ${JSON.stringify(box)}`);
      }
      // The body comes before the question it belongs to.
      assert.ok(await page.$eval(card(3), (c) =>
        c.querySelector('.askbody').compareDocumentPosition(c.querySelector('.question')) === Node.DOCUMENT_POSITION_FOLLOWING));
      await screenshot(page, `asks-permission-${lang}.png`);
    });
  });
}

test('a body too tall for its box scrolls inside it, every line still there', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const lines = ['Edit file', 'src/big.txt'].concat(Array.from({ length: 80 }, (_, i) => `${i + 1} +line ${i + 1}`));
    await paint(rack([], { asks: [], live: [permission('/dev/pts/5', '005', lines)] }));
    const box = await bodyBox(page, 1);
    assert.equal(box.text, lines.join('\n'));
    assert.ok(box.hidden && !box.sideways, JSON.stringify(box));
    assert.equal(await page.$eval(`${card(1)} .bodytext`, (pre) => getComputedStyle(pre).overflowY), 'auto');
  });
});

test('the conversation\'s foot shows the body too; a plan from the log is shown instead of its screen lines', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    await paint(chatPaint(chat({ lines: conversation(3), ask: fetch })));
    assert.equal(await page.textContent('#chatview .askblk .bodytext'), fetch.body.join('\n'));

    const planned = Object.assign({}, edit, { kind: 'plan', head: 'Plan approval', plan: '## Add a dark theme\n1. Collect the colours',
      body: ['Here is Claude\'s plan:', 'Add a dark theme', '1. Collect the colours', 'Would you like to proceed?'] });
    await paint(rack([], { asks: [], live: [planned, Object.assign({}, planned, { tty: '/dev/pts/9', plan: undefined })] }));
    assert.equal(await page.textContent(`${card(1)} .plantext h4`), 'Add a dark theme');
    assert.equal(await page.locator(`${card(1)} .bodytext`).count(), 0);
    // Without the log's plan, the screen's lines are what there is to approve.
    assert.equal(await page.textContent(`${card(2)} .bodytext`), planned.body.join('\n'));
  });
});
