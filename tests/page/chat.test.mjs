// The chat view in a real chromium with crafted payloads: the log, its rebuilds and the
// reader's place, folding, find from a search hit, the composer and its palette, file
// cards and the document pane.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, withPage } from './support.mjs';
import { chat, chatPaint, conversation, line, tool, pendingLine } from './chat_support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

// Lets the page's scroll bookkeeping (one animation frame) catch up.
const settle = (page) => page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
const turnTexts = (page) => page.$$eval('#chatview .logcol .blk:not(.hid)', (bs) => bs.map((b) =>
  b.classList.contains('action') ? 'tool:' + b.querySelector('.atext').textContent
    : b.classList.contains('turn') ? (b.classList.contains('you') ? 'you:' : 'claude:') + b.querySelector('.body').textContent
      : b.className));
const scrollTo = async (page, where) => {
  await page.$eval('#chatview .log', (l, w) => { l.scrollTop = w === 'top' ? 0 : w === 'bottom' ? l.scrollHeight : w; }, where);
  await settle(page);
};
const top = (page, sel) => page.$eval(sel, (n) => n.getBoundingClientRect().top);
const fromBottom = (page) => page.$eval('#chatview .log', (l) => l.scrollHeight - l.scrollTop - l.clientHeight);

test('opening a conversation shows its header and lines, at the bottom; a repaint with the same key rebuilds nothing', async () => {
  await withPage(browser, {}, async ({ page, paint, sent }) => {
    const lines = [
      line('you', 'Make the login button **green**', 0),
      tool('Read', 'src/login.tsx', 10),
      tool('Edit', 'src/login.tsx', 20),
      line('claude', 'Done: the button is green now.\n\n1. changed the colour\n2. ran the tests', 30),
    ].concat(conversation(8, 'en', 1));
    const c = chat({ lines, atStart: true });
    await paint(chatPaint(c));
    assert.equal(await page.getAttribute('body', 'data-mode'), 'chat');
    assert.equal(await page.textContent('#chatview .cslot'), '003');
    assert.equal(await page.textContent('#chatview .ctitle'), 'Login page redesign');
    assert.equal(await page.textContent('#chatview .cstatelabel'), 'working');
    assert.equal(await page.textContent('#chatview .earlier'), 'Start of the conversation');
    const shown = await turnTexts(page);
    assert.deepEqual(shown.slice(1, 5), [
      'you:Make the login button green', 'tool:Read', 'tool:Edit', 'claude:Done: the button is green now.changed the colourran the tests',
    ]);
    assert.equal(await page.textContent('#chatview .turn.you strong'), 'green');
    assert.equal(await page.locator('#chatview .blk.action').count(), 2 + 16);
    assert.ok(await fromBottom(page) < 2, 'a conversation opens at its newest line');

    await page.$$eval('#chatview .logcol .blk', (bs) => bs.forEach((b, i) => { b.__mark = i; }));
    await paint(chatPaint(Object.assign({}, c, { stateLabel: 'waiting for you', state: 'wait' })));
    assert.equal(await page.textContent('#chatview .cstatelabel'), 'waiting for you');
    assert.ok(await page.$$eval('#chatview .logcol .blk', (bs) => bs.every((b, i) => b.__mark === i)));

    // Two identical lines get blocks of their own.
    const twice = chat({ sid: 'sid-4', lines: [line('you', 'yes', 0), line('you', 'yes', 0)] });
    await paint(chatPaint(twice));
    const keys = await page.$$eval('#chatview .turn.you', (ts) => ts.map((t) => t.dataset.key));
    assert.equal(keys.length, 2);
    assert.match(keys[0], /#1$/);
    assert.match(keys[1], /#2$/);
    assert.deepEqual((await sent()).filter((m) => m.act !== 'log'), [], 'painting asks for nothing');
  });
});

test('earlier lines load without moving the reader, and a new line below shows a pill instead of a jump', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const recent = conversation(6, 'en', 14);
    await paint(chatPaint(chat({ lines: recent })));
    await scrollTo(page, 'top');
    const firstKey = await page.$eval('#chatview .turn', (t) => t.dataset.key);
    const sel = `#chatview .blk[data-key="${firstKey.replaceAll('"', '\\"')}"]`;
    await clearSent();
    await page.click('#chatview .earlier button');
    await page.click('#chatview .earlier button');  // a second click at once is not a second request
    assert.deepEqual(await sent(), [{ act: 'more' }]);
    assert.equal(await page.textContent('#chatview .earlier'), 'Loading earlier lines…');
    const before = await top(page, sel);

    // The window grows from 24 to 80 lines; the line being read stays where it was.
    await paint(chatPaint(chat({ lines: conversation(20, 'en', 0) })));
    assert.equal(await page.locator('#chatview .turn.you').count(), 20);
    assert.ok(Math.abs((await top(page, sel)) - before) < 1, 'the reader moved');
    assert.equal(await page.textContent('#chatview .earlier'), '↑ Earlier lines');

    // Reading higher up: a new line arrives below, the view stays and a pill says so.
    await scrollTo(page, 400);
    const at = await page.$eval('#chatview .log', (l) => l.scrollTop);
    const more = conversation(20, 'en', 0).concat([line('claude', 'Anything else?', 3000)]);
    await paint(chatPaint(chat({ lines: more })));
    assert.equal(await page.$eval('#chatview .log', (l) => l.scrollTop), at);
    assert.equal(await page.isVisible('#chatview .pill'), true);
    assert.equal(await page.textContent('#chatview .pill'), 'New lines below ↓');
    await page.click('#chatview .pill');
    await settle(page);
    assert.ok(await fromBottom(page) < 2);
    assert.equal(await page.isVisible('#chatview .pill'), false);

    // At the bottom, a new line keeps the view at the bottom.
    await paint(chatPaint(chat({ lines: more.concat([line('claude', 'Still here.', 3100)]) })));
    assert.ok(await fromBottom(page) < 2);
    assert.equal(await page.isVisible('#chatview .pill'), false);
  });
});

test('folding shows one line per message of the user, toggles a group by click and survives a rebuild', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const lines = [line('claude', 'Picked up from the hand-off.', 0)].concat(conversation(3));
    await paint(chatPaint(chat({ lines })));
    await page.click('#chatview .ctools .fold');
    assert.equal(await page.evaluate(() => localStorage.getItem('chatFold')), '1');
    assert.deepEqual(await turnTexts(page), ['blk earlier', 'blk orphan', 'you:Please check step 1 of the migration',
      'you:Please check step 2 of the migration', 'you:Please check step 3 of the migration']);
    assert.equal(await page.textContent('#chatview .orphan .foldmark'), '▸ 1 reply');
    const heads = '#chatview .turn.you';
    assert.equal(await page.textContent(`${heads} >> nth=1 >> .foldmark`), '▸ 2 actions · 1 reply');
    assert.equal(await page.isVisible(`${heads} >> nth=1 >> .gist`), true);

    await page.click(`${heads} >> nth=1 >> .gist`);
    assert.equal(await page.textContent(`${heads} >> nth=1 >> .foldmark`), '▾ 2 actions · 1 reply');
    assert.equal(await page.locator('#chatview .blk.action:visible').count(), 2);
    // A click inside an open message's text selects, it does not fold.
    await page.click(`${heads} >> nth=1 >> .body`);
    assert.equal(await page.locator('#chatview .blk.action:visible').count(), 2);

    // A rebuild with a new line keeps the open group open and the others shut.
    await paint(chatPaint(chat({ lines: lines.concat([line('claude', 'One more thing.', 900)]) })));
    assert.equal(await page.locator('#chatview .blk.action:visible').count(), 2);
    assert.equal(await page.textContent(`${heads} >> nth=2 >> .foldmark`), '▸ 2 actions · 2 replies');

    // The menu's toggle turns folding off and on; off shows everything.
    await page.evaluate(() => window.toggleFold());
    assert.equal(await page.locator('#chatview .blk.action:visible').count(), 6);
    assert.equal(await page.evaluate(() => localStorage.getItem('chatFold')), null);
  });
});

test('a find from a search hit waits for its place, marks every match and centres the one nearest in time', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    // The hit is in an early reply, written with Hebrew points; the query is plain.
    const old = conversation(30, 'en', 0);
    old[4 * 3 + 3] = line('claude', 'Wrote **שָׁלוֹם** on the welcome screen.', 3 * 120 + 60);
    old[4 * 25 + 3] = line('claude', 'The שלום banner stays as it is.', 25 * 120 + 60);
    const hitTs = old[4 * 3 + 3].ts;
    const find = { sid: 'sid-3', query: 'שלום', ts: hitTs, role: 'claude', token: 7, ready: false };
    const recent = old.slice(-24);
    await paint(chatPaint(chat({ lines: recent }), { find }));
    assert.equal(await page.isVisible('#chatview .findbar'), true);
    assert.equal(await page.textContent('#chatview .findbar .fcount'), 'looking back for the place…');
    assert.deepEqual((await sent()).filter((m) => m.act === 'more'), []);
    // Ready, yet the window still falls short: the page asks for earlier lines itself.
    await paint(chatPaint(chat({ lines: recent }), { find: Object.assign({}, find, { ready: true }) }));
    assert.deepEqual((await sent()).filter((m) => m.act === 'more'), [{ act: 'more' }]);

    // The application reads far enough back and says so.
    await page.click('#chatview .ctools .fold');
    await paint(chatPaint(chat({ lines: old, atStart: true }), { find: Object.assign({}, find, { ready: true }) }));
    assert.equal(await page.locator('#chatview mark.hit').count(), 2);
    assert.equal(await page.textContent('#chatview .findbar .fcount'), '1 / 2');
    assert.equal(await page.textContent('#chatview mark.hit.cur'), 'שָׁלוֹם');
    const centred = await page.$eval('#chatview mark.hit.cur', (m) => {
      const log = document.querySelector('#chatview .log').getBoundingClientRect();
      const r = m.getBoundingClientRect();
      return Math.abs((r.top + r.bottom) / 2 - (log.top + log.bottom) / 2);
    });
    assert.ok(centred < 30, `the match is ${centred}px off the centre`);
    assert.equal(await page.isVisible('#chatview mark.hit.cur'), true, 'its folded group opened');

    // A repaint keeps the current match; next and previous cycle.
    await paint(chatPaint(chat({ lines: old.concat([line('claude', 'ok', 9000)]), atStart: true }), { find }));
    assert.equal(await page.textContent('#chatview mark.hit.cur'), 'שָׁלוֹם');
    await page.evaluate(() => window.findStep(1));
    assert.equal(await page.textContent('#chatview mark.hit.cur'), 'שלום');
    await page.evaluate(() => window.findStep(1));
    assert.equal(await page.textContent('#chatview mark.hit.cur'), 'שָׁלוֹם');

    // Escape closes the find first, and tells the application.
    await clearSent();
    await page.keyboard.press('Escape');
    assert.deepEqual(await sent(), [{ act: 'findClear' }]);
    assert.equal(await page.locator('#chatview mark.hit').count(), 0);
    assert.equal(await page.isVisible('#chatview .findbar'), false);
    // The scan that still carries the old find does not bring it back.
    await paint(chatPaint(chat({ lines: old, atStart: true }), { find }));
    assert.equal(await page.locator('#chatview mark.hit').count(), 0);
  });
});

test('a find marks nothing for one letter, and the words of a phrase that is not there', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const lines = [line('you', 'Move the cart totals into the footer', 0), line('claude', 'The **cart** now shows totals at the bottom.', 60)];
    await paint(chatPaint(chat({ lines }), { find: { sid: 'sid-3', query: 'c', ts: 0, role: '', token: 1, ready: true } }));
    assert.equal(await page.locator('#chatview mark.hit').count(), 0);
    assert.equal(await page.textContent('#chatview .findbar .fcount'), 'no match here');
    await paint(chatPaint(chat({ lines }), { find: { sid: 'sid-3', query: 'cart  TOTALS', ts: 0, role: '', token: 2, ready: true } }));
    assert.deepEqual(await page.$$eval('#chatview mark.hit', (ms) => ms.map((m) => m.textContent)), ['cart totals']);
    await paint(chatPaint(chat({ lines }), { find: { sid: 'sid-3', query: 'totals of the cart', ts: 0, role: '', token: 3, ready: true } }));
    assert.deepEqual(await page.$$eval('#chatview mark.hit', (ms) => ms.map((m) => m.textContent)),
      ['the', 'cart', 'totals', 'the', 'The', 'cart', 'totals', 'the']);
  });
});

test('the palette offers commands beginning with the word first, completes with Tab and closes on a blank', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(chatPaint(chat({ lines: conversation(1) })));
    await page.evaluate(() => window.setCommands([
      { name: 'compact', hint: 'Compact the conversation, keep a summary in mode', kind: 'built-in', interactive: false },
      { name: 'demo', hint: 'Show a demo', kind: 'skill', interactive: false },
      { name: 'model', hint: 'Switch the model', kind: 'built-in', interactive: true },
      { name: 'mobile', hint: 'Set up the phone app', kind: 'built-in', interactive: false },
      { name: 'clear', hint: 'Start over', kind: 'built-in', interactive: false },
    ]));
    await page.click('#chatview .cfield');
    await page.keyboard.type('/mo');
    const names = () => page.$$eval('#chatview .palette .pname', (ns) => ns.map((n) => n.textContent));
    assert.deepEqual(await names(), ['/model', '/mobile', '/demo', '/compact']);
    assert.equal(await page.textContent('#chatview .palette .pitem.on .pint'), 'picker');
    await page.keyboard.press('ArrowUp');  // wraps to the last
    assert.equal(await page.textContent('#chatview .palette .pitem.on .pname'), '/compact');
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('Tab');
    assert.equal(await page.inputValue('#chatview .cfield'), '/model ');
    assert.equal(await page.isVisible('#chatview .palette'), false);

    // Escape closes the palette and nothing else; typing on opens it again.
    await page.fill('#chatview .cfield', '');
    await clearSent();
    await page.keyboard.type('/');
    assert.equal((await names()).length, 5);
    await page.keyboard.press('Escape');
    assert.equal(await page.isVisible('#chatview .palette'), false);
    assert.deepEqual(await sent(), []);
    await page.keyboard.type('cl');
    assert.deepEqual(await names(), ['/clear']);
    await page.keyboard.press('Enter');
    assert.equal(await page.inputValue('#chatview .cfield'), '/clear ');
    assert.deepEqual(await sent(), []);

    // The menu's command item focuses the field and begins a command.
    await page.fill('#chatview .cfield', '');
    await page.click('#chatview .ctitle');
    await page.evaluate(() => window.startCommand());
    assert.equal(await page.inputValue('#chatview .cfield'), '/');
    assert.equal(await page.evaluate(() => document.activeElement.classList.contains('cfield')), true);
    assert.equal((await names()).length, 5);
  });
});

test('a typed text shows at once as a pending line and once when the transcript has it', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const lines = conversation(2);
    await paint(chatPaint(chat({ lines, history: ['Please check step 2 of the migration', 'Please check step 1 of the migration'] })));
    await clearSent();
    await page.click('#chatview .cfield');
    await page.keyboard.type('Run the whole suite');
    await page.keyboard.press('Shift+Enter');
    await page.keyboard.type('and report');
    await page.keyboard.press('Enter');
    const text = 'Run the whole suite\nand report';
    assert.deepEqual(await sent(), [{ act: 'send', text }]);
    assert.equal(await page.inputValue('#chatview .cfield'), '');
    const pendingTurns = () => page.$$eval('#chatview .turn.you', (ts) => ts.map((t) => [t.querySelector('.body').innerText, t.classList.contains('pending')]).slice(-1));
    assert.deepEqual(await pendingTurns(), [[text, true]]);
    assert.equal(await page.textContent('#chatview .turn.pending .pend'), 'sending…');

    // The application's pending line takes the place of the page's own, then the transcript's.
    const history = [text, 'Please check step 2 of the migration', 'Please check step 1 of the migration'];
    await paint(chatPaint(chat({ lines: lines.concat([pendingLine(text)]), history })));
    assert.equal(await page.locator('#chatview .turn.you').count(), 3);
    assert.equal(await page.locator('#chatview .turn.pending').count(), 1);
    await paint(chatPaint(chat({ lines: lines.concat([line('you', text, 600)]), history })));
    assert.equal(await page.locator('#chatview .turn.you').count(), 3);
    assert.equal(await page.locator('#chatview .turn.pending').count(), 0);
    assert.ok(await fromBottom(page) < 2);

    // History: up walks back from the newest, down returns, Escape brings back the draft.
    await page.keyboard.press('ArrowUp');
    assert.equal(await page.inputValue('#chatview .cfield'), text);
    await page.keyboard.press('ArrowUp');
    assert.equal(await page.inputValue('#chatview .cfield'), 'Please check step 2 of the migration');
    await page.keyboard.press('ArrowDown');
    assert.equal(await page.inputValue('#chatview .cfield'), text);
    await clearSent();
    await page.keyboard.press('Escape');
    assert.equal(await page.inputValue('#chatview .cfield'), '');
    assert.deepEqual(await sent(), []);
    // Without history at hand, Escape goes back.
    await page.keyboard.press('Escape');
    assert.deepEqual(await sent(), [{ act: 'back' }]);
  });
});

test('a message that could not be typed comes back into the field and leaves the log', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(chatPaint(chat({ lines: conversation(2) })));
    await clearSent();
    await page.click('#chatview .cfield');
    await page.keyboard.type('thanks');
    await page.keyboard.press('Enter');
    assert.deepEqual(await sent(), [{ act: 'send', text: 'thanks' }]);
    assert.equal(await page.inputValue('#chatview .cfield'), '');
    assert.equal(await page.locator('#chatview .turn.pending').count(), 1);
    // The terminal waited on a question: nothing was typed, and the words are not lost.
    await page.keyboard.type('and more');
    await page.evaluate(() => window.unsent('sid-3', 'thanks'));
    assert.equal(await page.inputValue('#chatview .cfield'), 'thanks\nand more');
    assert.equal(await page.locator('#chatview .turn.pending').count(), 0);
    // For a conversation not on screen, the words wait in its draft.
    await page.evaluate(() => window.unsent('sid-9', 'for the other one'));
    await paint(chatPaint(chat({ sid: 'sid-9', slot: '009', title: 'Other', lines: conversation(1) })));
    assert.equal(await page.inputValue('#chatview .cfield'), 'for the other one');
  });
});

test('repaints keep a selection, a half-typed text and a written answer; a closed terminal takes nothing', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const lines = conversation(3);
    const ask = { id: 'toolu_1', kind: 'ask', tty: '/dev/pts/3', expect: 'q-71a2', freeRow: 4, since: 'now', paths: [],
      parts: [{ question: 'Which index type?', multi: false, choices: [{ n: '1', label: 'btree' }, { n: '2', label: 'hash' }] }] };
    await paint(chatPaint(chat({ lines, ask })));
    assert.equal(await page.textContent('#chatview .askblk .question'), 'Which index type?');
    await page.fill('#chatview .askblk textarea', 'brin, please');
    await page.fill('#chatview .cfield', 'half a thought');
    await page.evaluate(() => {
      const body = document.querySelectorAll('#chatview .turn.agent .body')[1];
      const r = document.createRange();
      r.selectNodeContents(body.querySelector('p'));
      getSelection().removeAllRanges();
      getSelection().addRange(r);
    });
    const chosen = await page.evaluate(() => getSelection().toString());
    assert.match(chosen, /Step 2 is done/);
    await paint(chatPaint(chat({ lines: lines.concat([line('claude', 'Waiting on you.', 900)]), ask: Object.assign({}, ask, { since: '1m ago' }) })));
    assert.equal(await page.evaluate(() => getSelection().toString()), chosen);
    assert.equal(await page.inputValue('#chatview .cfield'), 'half a thought');
    assert.equal(await page.inputValue('#chatview .askblk textarea'), 'brin, please');

    // Another conversation keeps its own draft; coming back brings this one back.
    await paint(chatPaint(chat({ sid: 'sid-9', slot: '009', title: 'Other', lines: conversation(1) })));
    assert.equal(await page.inputValue('#chatview .cfield'), '');
    await paint(chatPaint(chat({ lines, ask })));
    assert.equal(await page.inputValue('#chatview .cfield'), 'half a thought');

    // A closed terminal: read only, and the header offers to continue.
    await clearSent();
    await paint(chatPaint(chat({ sid: 'sid-9', slot: '—', live: false, state: 'closed', stateLabel: 'terminal closed', lines: conversation(1) })));
    assert.equal(await page.isDisabled('#chatview .cfield'), true);
    assert.equal(await page.textContent('#chatview .ctarget'), 'The terminal is closed — nothing can be sent. Continue reopens it.');
    assert.equal(await page.isVisible('#chatview .modelpick'), false);
    await page.click('#chatview .raise');
    assert.deepEqual(await sent(), [{ act: 'resume', sid: 'sid-9' }]);
  });
});

test('the title renames in place, the model picker and the mine button do their part', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(chatPaint(chat({ lines: conversation(5) })));
    await clearSent();
    await page.click('#chatview .ctitle');
    await page.keyboard.press('Control+A');
    await page.keyboard.type('Login, green');
    // A repaint while the title has the focus leaves it alone.
    await paint(chatPaint(chat({ lines: conversation(5), context: '90k context' })));
    assert.equal(await page.textContent('#chatview .ctitle'), 'Login, green');
    await page.keyboard.press('Enter');
    await page.selectOption('#chatview .modelpick', 'sonnet');
    await page.click('#chatview .raise');
    assert.deepEqual(await sent(), [
      { act: 'rename', sid: 'sid-3', name: 'Login, green', real: true },
      { act: 'send', text: '/model sonnet' },
      { act: 'raise' },
    ]);

    // Mine: the newest message of the user's first, then one further back each click.
    const flashed = () => page.$$eval('#chatview .turn.you', (ts) => {
      const log = document.querySelector('#chatview .log').getBoundingClientRect();
      const i = ts.findIndex((t) => t.classList.contains('flash'));
      const r = ts[i].getBoundingClientRect();
      return [i, r.top >= log.top && r.bottom <= log.bottom];
    });
    await page.click('#chatview .ctools button:has-text("Mine")');
    assert.deepEqual(await flashed(), [5, true]);  // the /model line sent above is the newest
    await page.click('#chatview .ctools button:has-text("Mine")');
    assert.deepEqual(await flashed(), [4, true]);
    await page.click('#chatview .ctools button:has-text("Mine")');
    assert.deepEqual(await flashed(), [3, true]);
    const at = await page.$eval('#chatview .log', (l) => l.scrollTop);
    assert.ok(at > 0 && await fromBottom(page) > 100, 'the view went up to an earlier message');
  });
});

test('Markdown from the transcript renders its forms and never its markup', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const text = [
      '<img src=x onerror="window.__owned=1"><script>window.__owned=2</script>',
      '[click](javascript:window.__owned=3) and [docs](https://example.com/a_(b)) and www.example.org/x.',
      '| name | size |',
      '| a.md | 2K |',
      '',
      '- [ ] open',
      '- [X] done',
      '  - nested',
      '',
      '```',
      'see https://example.com/log <b>bold</b>',
      '```',
      '---',
      '> quoted *line*',
      'Plan at `/home/u/plan.md` and /home/u/pic.png.',
    ].join('\n');
    await paint(chatPaint(chat({ lines: [line('claude', text, 0, { paths: ['/home/u/plan.md', '/home/u/pic.png'] })] })));
    const body = '#chatview .turn .body';
    assert.equal(await page.evaluate(() => window.__owned), undefined);
    assert.equal(await page.locator(`${body} img, ${body} script, ${body} b`).count(), 0);
    assert.equal(await page.locator(`${body} a[href^="javascript"]`).count(), 0);
    assert.deepEqual(await page.$$eval(`${body} th`, (c) => c.map((x) => x.textContent)), ['name', 'size']);
    assert.deepEqual(await page.$$eval(`${body} li`, (c) => c.map((x) => x.firstChild.textContent)), ['☐ open', '☑ done', 'nested']);
    assert.equal(await page.getAttribute(`${body} pre a`, 'href'), 'https://example.com/log');
    assert.match(await page.textContent(`${body} pre`), /<b>bold<\/b>/);
    assert.equal(await page.locator(`${body} hr`).count(), 1);
    assert.equal(await page.textContent(`${body} blockquote em`), 'line');
    assert.equal(await page.getAttribute(`${body} a:has-text("www.example.org/x")`, 'href'), 'https://www.example.org/x');
    assert.deepEqual(await page.$$eval(`${body} .chip`, (c) => c.map((x) => x.dataset.path)), ['/home/u/plan.md', '/home/u/pic.png']);

    // Chips: a text file opens beside the chat, a picture opens outside.
    await clearSent();
    await page.click(`${body} .chip >> nth=0`);
    await page.click(`${body} .chip >> nth=1`);
    assert.deepEqual(await sent(), [{ act: 'openDoc', path: '/home/u/plan.md' }, { act: 'reveal', path: '/home/u/pic.png' }]);
  });
});

test('file cards: a picture opens by itself, a text card loads on opening and saves its edit', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const lines = [line('claude', 'See ~/notes/plan.md and ~/shots/login.png', 0, { paths: ['~/notes/plan.md', '~/shots/login.png'] })];
    await paint(chatPaint(chat({ lines })));
    assert.deepEqual((await sent()).filter((m) => m.act === 'asset'), [{ act: 'asset', path: '~/shots/login.png' }]);
    await page.evaluate(() => window.setAsset({ path: '/home/u/shots/login.png', kind: 'image', name: 'login.png', size: 70,
      src: 'data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==' }));
    assert.equal(await page.locator('#chatview .chatcard[data-path="~/shots/login.png"] img').count(), 1);

    await clearSent();
    const card = '#chatview .chatcard[data-path="~/notes/plan.md"]';
    await page.click(`${card} .filehead`);
    assert.deepEqual(await sent(), [{ act: 'asset', path: '~/notes/plan.md' }]);
    await page.evaluate(() => window.setAsset({ path: '/home/u/notes/plan.md', kind: 'md', name: 'plan.md', size: 12, text: '# Plan\nfirst', version: 'v1' }));
    assert.equal(await page.textContent(`${card} .filebody h3`), 'Plan');

    // Editing: the log is not rebuilt meanwhile; Control-S saves; the saved note ends it.
    assert.equal(await page.evaluate(() => window.editTopCard()), true);
    await page.fill(`${card} textarea`, '# Plan\nsecond');
    await paint(chatPaint(chat({ lines: lines.concat([line('claude', 'more', 60)]) })));
    assert.equal(await page.locator('#chatview .turn').count(), 1);
    await clearSent();
    await page.keyboard.press('Control+s');
    assert.deepEqual(await sent(), [{ act: 'saveAsset', path: '~/notes/plan.md', text: '# Plan\nsecond', version: 'v1' }]);
    await page.evaluate(() => window.setAsset({ path: '/home/u/notes/plan.md', kind: 'md', name: 'plan.md', size: 13, text: '# Plan\nsecond', note: 'saved 10:44' }));
    assert.equal(await page.locator(`${card} textarea`).count(), 0);
    assert.match(await page.textContent(`${card} .filebody`), /second.*saved 10:44/s);
    assert.equal(await page.locator('#chatview .turn').count(), 2, 'the waiting rebuild ran');

    // The outputs list opens from the header and remembers that it is open.
    await paint(chatPaint(chat({ lines, outputs: [{ path: '/home/u/out/report.pdf', n: 1, kind: 'pdf', when: '10:12', size: 48213 }] })));
    assert.equal(await page.textContent('#chatview .outs'), '▸Files1');
    await page.click('#chatview .outs');
    assert.equal(await page.evaluate(() => localStorage.getItem('outsOpen')), '1');
    assert.deepEqual(await page.$$eval('#chatview .outlist .cmeta', (m) => m.map((x) => x.textContent)), ['#1', 'pdf', '10:12', '47K']);
    await clearSent();
    await page.click('#chatview .outlist button:has-text("Open outside")');
    assert.deepEqual(await sent(), [{ act: 'reveal', path: '/home/u/out/report.pdf' }]);
  });
});

test('pasted and dropped files are stashed and the saved path joins the line', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(chatPaint(chat({ lines: conversation(1) })));
    await page.fill('#chatview .cfield', 'Look at');
    await clearSent();
    await page.$eval('#chatview .cfield', (f) => {
      const dt = new DataTransfer();
      dt.items.add(new File(['hello'], 'note one.txt', { type: 'text/plain' }));
      f.dispatchEvent(new ClipboardEvent('paste', { clipboardData: dt, bubbles: true, cancelable: true }));
    });
    await page.waitForFunction(() => window.__sent.length > 0);
    assert.deepEqual(await sent(), [{ act: 'stash', data: 'aGVsbG8=', name: 'note one.txt' }]);
    await page.evaluate(() => window.attached('/home/u/.claude/velmo-drops/20261208-100100-note-one.txt'));
    assert.equal(await page.inputValue('#chatview .cfield'), 'Look at /home/u/.claude/velmo-drops/20261208-100100-note-one.txt ');
    assert.equal(await page.textContent('#chatview .clips'), '20261208-100100-note-one.txt');

    // Dragging over the page shows the drop target once however deep the pointer goes.
    await clearSent();
    await page.evaluate(() => {
      const dt = new DataTransfer();
      dt.items.add(new File(['x'], 'shot.png', { type: 'image/png' }));
      const fire = (type, target) => target.dispatchEvent(new DragEvent(type, { dataTransfer: dt, bubbles: true, cancelable: true }));
      fire('dragenter', document.querySelector('#chatview .log'));
      fire('dragenter', document.querySelector('#chatview .turn'));
      fire('dragleave', document.querySelector('#chatview .log'));
      window.__dropShown = !document.getElementById('drop').hidden;
      fire('drop', document.querySelector('#chatview .turn'));
    });
    assert.equal(await page.evaluate(() => window.__dropShown), true);
    assert.equal(await page.isVisible('#drop'), false);
    await page.waitForFunction(() => window.__sent.length > 0);
    assert.deepEqual(await sent(), [{ act: 'stash', data: 'eA==', name: 'shot.png' }]);
  });
});

test('a document opens in the reader, is edited without losing a keystroke to repaints, and is saved', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const doc = { path: '/home/u/Documents/claude/notes.md', name: '~/Documents/claude/notes.md', note: '', warn: false, editing: false,
      text: '# Notes\n\nSee /home/u/plan.md', stamp: 1, paths: ['/home/u/plan.md'], editable: true };
    await paint({ units: [], clock: '10:42', alerts: [], doc, reader: true });
    assert.equal(await page.getAttribute('body', 'data-mode'), 'reader');
    assert.equal(await page.isVisible('#chatview .composer'), false);
    assert.equal(await page.textContent('#chatview .docname'), '~/Documents/claude/notes.md');
    assert.equal(await page.textContent('#chatview .docbody h3'), 'Notes');
    assert.equal(await page.getAttribute('#chatview .docbody .chip', 'data-path'), '/home/u/plan.md');

    await clearSent();
    await page.click('#chatview .dochead button:has-text("Edit")');
    assert.deepEqual(await sent(), [{ act: 'editDoc' }]);
    const editing = Object.assign({}, doc, { editing: true, note: 'editing', stamp: 2 });
    await paint({ units: [], clock: '10:42', alerts: [], doc: editing, reader: true });
    assert.equal(await page.inputValue('#chatview .doctext'), doc.text);
    await page.click('#chatview .doctext');
    await page.keyboard.press('Control+End');
    await page.keyboard.type('\nA new line.');
    await paint({ units: [], clock: '10:43', alerts: [], doc: editing, reader: true });
    assert.equal(await page.inputValue('#chatview .doctext'), doc.text + '\nA new line.');
    await page.keyboard.press('Escape');  // an editor keeps Escape to itself
    await clearSent();
    await page.click('#chatview .dochead button:has-text("Save")');
    assert.deepEqual(await sent(), [{ act: 'saveDoc', text: doc.text + '\nA new line.' }]);

    const saved = Object.assign({}, doc, { text: doc.text + '\nA new line.', note: 'saved 10:44', stamp: 3 });
    await paint({ units: [], clock: '10:44', alerts: [], doc: saved, reader: true });
    assert.equal(await page.isVisible('#chatview .doctext'), false);
    assert.equal(await page.textContent('#chatview .docnote'), 'saved 10:44');
    assert.match(await page.textContent('#chatview .docbody'), /A new line\./);

    // Beside a conversation the document shares the view; close asks the application.
    await paint(chatPaint(chat({ lines: conversation(2) }), { doc: saved }));
    assert.equal(await page.getAttribute('body', 'data-mode'), 'chat');
    assert.equal(await page.isVisible('#chatview .docpane'), true);
    assert.equal(await page.isVisible('#chatview .log'), true);
    await clearSent();
    await page.click('#chatview .dochead button:has-text("Close")');
    assert.deepEqual(await sent(), [{ act: 'closeDoc' }]);
    await paint(chatPaint(chat({ lines: conversation(2) })));
    assert.equal(await page.isVisible('#chatview .docpane'), false);
  });
});

test('a document or a card whose reading may not be saved back offers no editor and says why', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const why = 'The file is not valid UTF-8 text: it is shown repaired and cannot be edited here, so none of its bytes is lost';
    const doc = { path: '/home/u/notes/odd.md', name: '~/notes/odd.md', note: why, warn: true, editing: false,
      text: 'caf\uFFFD', stamp: 1, paths: [], editable: false };
    await paint({ units: [], clock: '10:42', alerts: [], doc, reader: true });
    assert.equal(await page.textContent('#chatview .docnote'), why);
    assert.equal(await page.isVisible('#chatview .dochead button:has-text("Edit")'), false);
    await paint({ units: [], clock: '10:42', alerts: [], doc: Object.assign({}, doc, { editable: true, note: '', warn: false, stamp: 2 }), reader: true });
    assert.equal(await page.isVisible('#chatview .dochead button:has-text("Edit")'), true);

    const lines = [line('claude', 'See ~/notes/odd.md', 0, { paths: ['~/notes/odd.md'] })];
    await paint(chatPaint(chat({ lines })));
    const card = '#chatview .chatcard[data-path="~/notes/odd.md"]';
    await page.click(`${card} .filehead`);
    await page.evaluate((locked) => window.setAsset({ path: '/home/u/notes/odd.md', kind: 'md', name: 'odd.md', size: 4, text: 'caf\uFFFD', locked }), why);
    assert.match(await page.textContent(`${card} .filebody`), /not valid UTF-8/);
    assert.equal(await page.isVisible(`${card} .cedit`), false);
    await clearSent();
    assert.equal(await page.evaluate(() => window.editTopCard()), false);
    assert.equal(await page.locator(`${card} textarea`).count(), 0);
    assert.deepEqual((await sent()).filter((m) => m.act === 'saveAsset'), []);
  });
});
