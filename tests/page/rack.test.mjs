// The rack view in a real chromium: order, the digit dial, the project filter, clicks and
// the error path.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, withPage, rack, unit, waitFor } from './support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const slotsShown = (page) => page.$$eval('#rack .unit', (rows) => rows.map((r) => r.dataset.slot));

test('rows follow the payload order and unchanged rows keep their elements', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const a = unit({ slot: '003', sid: 'a', state: 'run', title: 'Alpha' });
    const b = unit({ slot: '001', sid: 'b', state: 'wait', title: 'Beta' });
    const c = unit({ slot: '002', sid: 'c', title: 'Gamma' });
    await paint(rack([a, b, c]));
    assert.deepEqual(await slotsShown(page), ['003', '001', '002']);
    await page.$$eval('#rack .unit', (rows) => rows.forEach((r, i) => { r.__mark = i; }));

    // A new row on top and one row changed: the others are the same elements as before.
    const d = unit({ slot: '004', sid: 'd', state: 'ask', title: 'Delta' });
    await paint(rack([d, a, b, Object.assign({}, c, { say: 'reading files' })]));
    assert.deepEqual(await slotsShown(page), ['004', '003', '001', '002']);
    const marks = await page.$$eval('#rack .unit', (rows) => rows.map((r) => r.__mark));
    assert.deepEqual(marks, [undefined, 0, 1, undefined]);

    // The page never sorts: a reversed payload is shown reversed.
    await paint(rack([c, b, a]));
    assert.deepEqual(await slotsShown(page), ['002', '001', '003']);

    await paint(rack([]));
    assert.equal(await page.textContent('#rack'), 'No open terminals.');
  });
});

test('the row shows share above half a percent and the context level', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    await paint(rack([
      unit({ slot: '001', sid: 'a', share: 0.005, context: '150k', full: 0.15 }),
      unit({ slot: '002', sid: 'b', share: 0.006, context: '820k', full: 0.82, ctxLevel: 'ask' }),
      unit({ slot: '003', sid: 'c', share: 0.3, context: '700k', full: 0.7, ctxLevel: 'warn' }),
    ]));
    const rows = await page.$$eval('#rack .unit', (rs) => rs.map((r) => ({
      share: r.querySelector('.share') && r.querySelector('.share').textContent,
      pct: r.querySelector('.ctxpct').textContent,
      ctx: r.querySelector('.ctx').className,
    })));
    assert.deepEqual(rows, [
      { share: null, pct: '15%', ctx: 'ctx' },
      { share: '1%', pct: '82%', ctx: 'ctx heavy' },
      { share: '30%', pct: '70%', ctx: 'ctx warm' },
    ]);
  });
});

test('the sub-line shows the question, else the unwritten prompt with a raise control, else say', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const ask = { kind: 'ask', tty: '/dev/pts/1', parts: [{ question: 'Which colour?', choices: [] }] };
    const unwritten = { kind: 'ask', unwritten: true, tty: '/dev/pts/2', parts: [{ question: 'A question is open in the terminal' }] };
    await paint(rack([
      unit({ slot: '001', sid: 'a', state: 'ask', ask, say: 'ignored' }),
      unit({ slot: '002', sid: 'b', state: 'ask', tty: '/dev/pts/2', ask: unwritten }),
      unit({ slot: '003', sid: 'c', say: 'Reading the tests' }),
    ]));
    const says = await page.$$eval('#rack .unit .say', (s) => s.map((x) => x.textContent));
    assert.deepEqual(says, ['Which colour?', 'A question is open in the terminal', 'Reading the tests']);
    await clearSent();
    await page.click('#rack .unit[data-slot="002"] .raise');
    assert.deepEqual(await sent(), [{ act: 'raise', tty: '/dev/pts/2' }]);
  });
});

test('the digit dial opens by number, waits on a longer match and clears a miss', async () => {
  await withPage(browser, { clock: true }, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([
      unit({ slot: '002', sid: 'two' }),
      unit({ slot: '020', sid: 'twenty' }),
      unit({ slot: '007', sid: 'seven' }),
    ]));
    const opened = async () => (await sent()).filter((m) => m.act === 'open').map((m) => m.sid);

    // "2" could still become 20: it waits, then opens 2.
    await page.keyboard.press('2');
    assert.equal(await page.isVisible('#dial'), true);
    assert.equal(await page.locator('#rack .unit.aim').count(), 2);
    await page.clock.runFor(850);
    assert.deepEqual(await opened(), []);
    await page.clock.runFor(100);
    assert.deepEqual(await opened(), ['two']);
    assert.equal(await page.isVisible('#dial'), false);
    assert.equal(await page.locator('#rack .unit.aim').count(), 0);

    // "2", "0" can be nothing else: it opens at once.
    await clearSent();
    await page.keyboard.press('2');
    await page.keyboard.press('0');
    assert.deepEqual(await opened(), ['twenty']);

    // Leading zeros name the same terminal.
    await clearSent();
    for (const k of '007') await page.keyboard.press(k);
    assert.deepEqual(await opened(), ['seven']);

    // A number nobody has: shown as a miss, gone after 700 ms, nothing opened.
    await clearSent();
    await page.keyboard.press('9');
    assert.match(await page.getAttribute('#dial', 'class'), /miss/);
    await page.clock.runFor(750);
    assert.equal(await page.isVisible('#dial'), false);
    assert.deepEqual(await opened(), []);

    // Backspace takes a digit back; Enter opens the first aimed row.
    await page.keyboard.press('2');
    await page.keyboard.press('5');
    await page.keyboard.press('Backspace');
    await page.keyboard.press('Enter');
    assert.deepEqual(await opened(), ['two']);
  });
});

test('arrow keys pick a row with wrap-around and Enter opens it', async () => {
  await withPage(browser, {}, async ({ page, paint, sent }) => {
    await paint(rack([unit({ slot: '001', sid: 'a' }), unit({ slot: '002', sid: 'b' })]));
    await page.keyboard.press('ArrowUp');
    assert.equal(await page.getAttribute('#rack .unit.pick', 'data-slot'), '002');
    await page.keyboard.press('ArrowDown');
    assert.equal(await page.getAttribute('#rack .unit.pick', 'data-slot'), '001');
    await page.keyboard.press('Enter');
    assert.deepEqual((await sent()).filter((m) => m.act === 'open'), [{ act: 'open', sid: 'a' }]);
  });
});

test('the project filter keeps terminals that ask from elsewhere, unless taken down', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const ask = { kind: 'ask', tty: '/dev/pts/9', parts: [{ question: 'Deploy now?' }] };
    await paint(rack([
      unit({ slot: '001', sid: 'a', path: '~/shop' }),
      unit({ slot: '002', sid: 'b', path: '~/blog', state: 'ask', ask }),
      unit({ slot: '003', sid: 'c', path: '~/blog', state: 'ask', ask, muted: true }),
      unit({ slot: '004', sid: 'd', path: '~/shop', state: 'run' }),
      unit({ slot: '005', sid: 'e', path: '~/blog' }),
    ]));
    await page.click('#rack .unit[data-slot="001"] .path');
    assert.deepEqual(await slotsShown(page), ['001', '002', '004']);
    assert.equal(await page.isVisible('#filterbar'), true);
    assert.match(await page.textContent('#filterbar'), /~\/shop.*2 in this project.*\+1 asking you/);
    assert.match(await page.getAttribute('#rack .unit[data-slot="002"]', 'class'), /outside/);

    // The filter holds through repaints; show-all clears it.
    await paint(rack([unit({ slot: '001', sid: 'a', path: '~/shop' }), unit({ slot: '005', sid: 'e', path: '~/blog' })]));
    assert.deepEqual(await slotsShown(page), ['001']);
    await page.click('#filterbar button');
    assert.deepEqual(await slotsShown(page), ['001', '005']);
    assert.equal(await page.isVisible('#filterbar'), false);
  });
});

test('clicks send open, refresh, mute and the top-bar messages', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([
      unit({ slot: '001', sid: 'a', stamp: '1700000000|Which?' }),
      unit({ slot: '002', sid: 'b', muted: true }),
      unit({ slot: '003', sid: '', title: 'no record' }),
      unit({ slot: '004', sid: 'd', state: 'wait' }),
    ]));
    await clearSent();
    // The logo spins for 420 ms only, less than a busy machine may take to ask: the page
    // itself notes each class the logo takes.
    await page.evaluate(() => {
      window.logoClasses = [];
      const logo = document.querySelector('#logo');
      new MutationObserver(() => window.logoClasses.push(logo.className))
        .observe(logo, { attributes: true, attributeFilter: ['class'] });
    });
    await page.click('#rack .unit[data-slot="001"] .title');
    await page.click('#logo');
    const spun = await page.evaluate(() => window.logoClasses);
    assert.ok(spun.some((c) => /\bspin\b/.test(c)), `the logo's classes since the click: ${JSON.stringify(spun)}`);
    await page.hover('#rack .unit[data-slot="001"]');
    await page.click('#rack .unit[data-slot="001"] .mute');
    await page.click('#rack .unit[data-slot="002"] .mute');
    await page.click('#rack .unit[data-slot="003"]');
    await page.click('#wakeall');
    await page.click('#asksbtn');
    await page.click('#spendbtn');
    await page.click('#searchbtn');
    await page.keyboard.press('Escape');
    assert.deepEqual(await sent(), [
      { act: 'open', sid: 'a' },
      { act: 'refresh' },
      { act: 'mute', sid: 'a', stamp: '1700000000|Which?' },
      { act: 'mute', sid: 'b' },
      { act: 'wakeAll' },
      { act: 'asks' },
      { act: 'spend' },
      { act: 'searchOpen' },
      { act: 'back' },
    ]);
    assert.equal(await page.textContent('#wakeall .count'), '1');
    assert.deepEqual(await page.$$eval('#readout .count b', (b) => b.map((x) => x.textContent)), ['4', '0', '1', '0']);
  });
});

test('renaming sends only a real change and holds off repaints while editing', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([unit({ slot: '001', sid: 'a', title: 'Alpha' })]));
    await clearSent();
    const row = '#rack .unit[data-slot="001"]';
    await page.hover(row);
    await page.click(`${row} .pencil`);
    await page.keyboard.type('   ');
    // A paint while editing must not replace the field under the user's hands.
    await paint(rack([unit({ slot: '001', sid: 'a', title: 'Alpha', say: 'busy' })]));
    assert.equal(await page.textContent(`${row} .say`), '');
    await page.keyboard.press('Enter');
    assert.equal(await page.textContent(`${row} .title`), 'Alpha');
    assert.equal(await page.textContent(`${row} .say`), 'busy');

    await page.hover(row);
    await page.click(`${row} .pencil`);
    await page.keyboard.type('Alpha');
    await page.keyboard.press('Enter');
    await page.hover(row);
    await page.click(`${row} .pencil`);
    await page.keyboard.type('Shop front');
    await page.keyboard.press('Escape');
    assert.equal(await page.textContent(`${row} .title`), 'Alpha');
    assert.deepEqual(await sent(), []);

    await page.click(`${row} .pencil`);
    await page.keyboard.type('Shop front');
    await page.keyboard.press('Enter');
    assert.deepEqual(await sent(), [{ act: 'rename', sid: 'a', name: 'Shop front', real: true }]);
  });
});

test('errors in the page and in a paint are posted to the application', async () => {
  await withPage(browser, { allowErrors: true }, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([unit({ slot: '001', sid: 'a', title: 'Alpha' })]));
    await clearSent();
    // A payload the painter cannot take: reported, the picture stays.
    await paint({ units: [null], clock: '10:00' });
    let msgs = await sent();
    assert.equal(msgs.length, 1);
    assert.equal(msgs[0].act, 'pageError');
    assert.match(msgs[0].text, /^paint: /);
    assert.equal(await page.textContent('#rack .unit .title'), 'Alpha');

    await clearSent();
    await page.evaluate(() => { setTimeout(() => { throw new Error('boom'); }, 0); });
    await page.evaluate(() => { Promise.reject(new Error('lost promise')); });
    msgs = await waitFor('both errors posted', async () => { const m = await sent(); return m.length >= 2 && m; },
      30, 50, sent);
    assert.equal(msgs[0].act, 'pageError');
    assert.match(msgs[0].text, /boom @\d+:\d+ /);
    assert.match(msgs[1].text, /lost promise/);
  });
});

test('views are chosen from the payload and later views say they are coming', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const units = [unit({ slot: '001', sid: 'a' })];
    const on = () => page.$$eval('.view.on', (v) => v.map((x) => x.id));
    await paint(rack(units, { chat: { sid: 'a' }, alerts: [{ sid: 'b', tty: '/dev/pts/2', slot: '002', head: 'Colour', question: 'Which colour?' }] }));
    assert.deepEqual(await on(), ['chatview']);
    assert.equal(await page.isVisible('#alerts'), true);
    assert.equal(await page.isVisible('#chatview .chathead'), true);
    await paint(rack(units, { spend: {}, asks: [], chat: { sid: 'a' } }));
    assert.deepEqual(await on(), ['spendview']);
    assert.equal(await page.isVisible('#alerts'), false);
    await paint(rack(units, { reader: true, doc: { path: '/x.md' } }));
    assert.deepEqual(await on(), ['chatview']);
    assert.match(await page.getAttribute('#chatview', 'class'), /reader/);
    await paint(rack(units));
    assert.deepEqual(await on(), ['rackview']);
    assert.equal(await page.isVisible('#backbtn'), false);
  });
});

test('the restore panel lists, ticks and runs, and stays locked until done', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([]));
    await clearSent();
    await page.click('#restorebtn');
    assert.deepEqual(await sent(), [{ act: 'restorable' }]);
    await page.evaluate(() => window.setRestorable([
      { sid: '0f6c1a2b-aaaa', title: 'Shop front', lastActive: '2026-12-08T09:14:00Z', cwd: '/home/u/shop' },
      { sid: '9d2e77aa-bbbb', title: '', lastActive: '2026-12-07T22:40:00Z', cwd: '/home/u/blog' },
    ]));
    assert.deepEqual(await page.$$eval('.restorerow .rtitle', (t) => t.map((x) => x.textContent)), ['Shop front', '9d2e77aa']);
    assert.deepEqual(await page.$$eval('.restorerow .rwhen', (t) => t.map((x) => x.textContent)), ['09:14', '22:40']);
    assert.match(await page.getAttribute('#restorerun', 'class'), /off/);
    await page.click('.restorerow:nth-child(2) input');
    await page.click('#restorerun');
    assert.deepEqual((await sent()).slice(1), [{ act: 'restoreRun', sids: ['9d2e77aa-bbbb'] }]);
    assert.equal(await page.isVisible('#restorewrap'), false);
    assert.equal(await page.isDisabled('#restorebtn'), true);
    await paint(rack([]));
    assert.equal(await page.isDisabled('#restorebtn'), true);
    await page.evaluate(() => window.restoreDone());
    assert.equal(await page.isDisabled('#restorebtn'), false);

    await page.click('#restorebtn');
    await page.evaluate(() => window.setRestorable([]));
    assert.equal(await page.textContent('#restorelist'), 'No recent conversations to restore.');

    // Where the application cannot restore, it says so in place of the list.
    await page.evaluate(() => window.setRestorable([], 'Restoring conversations is not set up on this machine.'));
    assert.equal(await page.textContent('#restorelist'), 'Restoring conversations is not set up on this machine.');
    assert.match(await page.getAttribute('#restorerun', 'class'), /off/);
  });
});

test('the page defines every function the application calls', async () => {
  await withPage(browser, {}, async ({ page }) => {
    const missing = await page.evaluate(() => ['paint', 'setCommands', 'setAsset', 'setRestorable', 'restoreDone',
      'freeDone', 'attached', 'unsent', 'startCommand', 'setFind', 'focusFind', 'findStep', 'editTopCard', 'toMine',
      'toggleFold', 'saveAnything'].filter((n) => typeof window[n] !== 'function'));
    assert.deepEqual(missing, []);
    assert.equal(await page.evaluate(() => window.editTopCard()), false);
  });
});

