// The ask card, as the asks view shows the open questions of the terminals.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, withPage, rack, screenshot } from './support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const twoParts = {
  id: 'toolu_01', sid: 's3', tty: '/dev/pts/3', kind: 'ask', since: '2m ago', slot: '003', title: 'Login page',
  head: 'Colour', freeRow: 4, paths: [], expect: 'q-4f1c',
  context: 'I looked at **two** palettes — see [the guide](https://example.com/guide) and [notes](docs/notes.md).\n\n<img src=x onerror="window.__owned=1">',
  parts: [
    { question: 'Which colour should the login button be?', header: 'Colour', multi: false, free: 4,
      choices: [{ n: '1', label: 'Blue', detail: 'Matches the brand palette' }, { n: '2', label: 'Green', detail: '' }, { n: '3', label: 'Orange', detail: 'Stands out' }] },
    { question: 'Which port should it listen on?', header: 'Port', multi: false, free: 3,
      choices: [{ n: '1', label: '5432', detail: 'Default' }, { n: '2', label: '6543', detail: '' }] },
  ],
};

const background = {
  id: 'toolu_02', sid: 's5', tty: '/dev/pts/5', kind: 'ask', since: 'now', slot: '005', title: 'Night job',
  windowless: true, freeRow: 3, paths: [],
  parts: [{ question: 'Keep the old rows?', multi: false, choices: [{ n: '1', label: 'Yes' }, { n: '2', label: 'No' }] }],
};

const multi = {
  id: 'toolu_03', sid: 's6', tty: '/dev/pts/6', kind: 'ask', since: 'now', slot: '006', title: 'CI', freeRow: 4, paths: [],
  parts: [{ question: 'Which checks should run before merge?', multi: true, choices: [{ n: '1', label: 'Unit tests' }, { n: '2', label: 'Lint' }] }],
};

const plan = {
  id: 'toolu_04', sid: 's7', tty: '', kind: 'plan', since: '1m ago', slot: '007', title: 'Billing export', paths: ['/home/u/billing/PLAN.md'],
  head: 'Plan approval', plan: '## Plan\n1. Add the column\n2. Backfill\n\n```sql\nALTER TABLE t ADD c int;\n```',
  parts: [{ question: 'Approve the plan and start building?', multi: false, free: 0, choices: [{ n: '1', label: 'Yes, start', detail: '' }, { n: '2', label: 'No, let us talk about it', detail: '' }] }],
};

const card = (i) => `#asksview .askcard:nth-of-type(${i})`;

test('only the first part can be answered, and a choice says which one was sent', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([], { asks: [], live: [twoParts] }));
    assert.equal(await page.textContent('#asksview h2'), 'One terminal is asking you now');
    assert.equal(await page.locator(`${card(1)} .part`).count(), 2);
    assert.equal(await page.locator(`${card(1)} .part:not(.later) .choice`).count(), 3);
    assert.equal(await page.locator(`${card(1)} .part.later .choice`).count(), 0);
    assert.equal(await page.textContent(`${card(1)} .part.later .note`), 'Will be asked after you answer the previous one');
    assert.deepEqual(await page.$$eval(`${card(1)} .askhead span`, (s) => s.map((x) => x.textContent)),
      ['Colour', '2m ago', '003', 'Login page']);
    // Markdown is rendered, markup in the agent's text is not.
    assert.equal(await page.textContent(`${card(1)} .context strong`), 'two');
    assert.equal(await page.evaluate(() => window.__owned), undefined);
    assert.equal(await page.locator(`${card(1)} .context img`).count(), 0);

    await clearSent();
    await page.click(`${card(1)} .choice:nth-child(2)`);
    await page.click(`${card(1)} .context a[href^="https"]`);
    await page.click(`${card(1)} .context a[href="docs/notes.md"]`);
    await page.click(`${card(1)} > .link`);
    assert.deepEqual(await sent(), [
      { act: 'answerAsk', tty: '/dev/pts/3', pick: '2', expect: 'q-4f1c' },
      { act: 'openURL', url: 'https://example.com/guide' },
      { act: 'openDoc', path: 'docs/notes.md' },
      { act: 'raiseTty', tty: '/dev/pts/3' },
    ]);
    assert.match(await page.getAttribute(`${card(1)} .choice:nth-child(2)`, 'class'), /sent/);
  });
});

test('a written answer is sent with Enter and its outcome shown', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([], { asks: [], live: [twoParts, multi] }));
    assert.equal(await page.textContent('#asksview h2'), '2 terminals are asking you now');
    await clearSent();
    const box = `${card(1)} .free textarea`;
    await page.click(box);
    await page.keyboard.press('Enter');
    assert.deepEqual(await sent(), []);
    await page.keyboard.type('Teal');
    // A repaint with the same questions leaves the typing alone; one that draws the cards
    // afresh (another terminal asks, an entry is answered) keeps the text and the caret.
    await paint(rack([], { asks: [], live: [twoParts, multi] }));
    assert.equal(await page.inputValue(box), 'Teal');
    await paint(rack([], { asks: [{ id: 'Q1', title: 'Budget', body: 'How much?' }], live: [twoParts, multi, background] }));
    assert.equal(await page.locator('#asksview .askcard').count(), 3);
    await page.keyboard.type(', please');
    assert.equal(await page.inputValue(box), 'Teal, please');
    // Another question on the same terminal starts with an empty box.
    await paint(rack([], { asks: [], live: [Object.assign({}, twoParts, { expect: 'q-9d2e' }), multi] }));
    assert.equal(await page.inputValue(box), '');
    await paint(rack([], { asks: [], live: [twoParts, multi] }));
    assert.equal(await page.inputValue(box), 'Teal, please');
    await page.click(box);
    await page.keyboard.press('End');
    await page.keyboard.press('Enter');
    assert.deepEqual(await sent(), [{ act: 'answerFree', tty: '/dev/pts/3', text: 'Teal, please', expect: 'q-4f1c' }]);
    assert.equal(await page.textContent(`${card(1)} .free button`), 'Sending…');
    await page.evaluate(() => window.freeDone(false, 'the question changed'));
    assert.equal(await page.textContent(`${card(1)} .free button`), 'Not sent — the question changed');

    // Several may be ticked on the terminal: one click picks one, and no written answer.
    assert.equal(await page.textContent(`${card(2)} .note`), 'The terminal allows several — clicking here picks one and sends');
    assert.equal(await page.locator(`${card(2)} .free`).count(), 0);
  });
});

test('a background session is answered by opening its window; a card without terminal ends at the choices', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(rack([], { asks: [], live: [background, plan] }));
    await clearSent();
    assert.equal(await page.locator(`${card(1)} .choice:disabled`).count(), 2);
    assert.equal(await page.locator(`${card(1)} .free`).count(), 0);
    await page.click(`${card(1)} > .act`);
    assert.deepEqual(await sent(), [{ act: 'raiseTty', tty: '/dev/pts/5' }]);
    assert.equal(await page.locator(`${card(2)} .choice`).count(), 2);
    assert.equal(await page.locator(`${card(2)} > .link, ${card(2)} .free`).count(), 0);
  });
});

test('a plan shows its text and file cards load their content', async () => {
  await withPage(browser, {}, async ({ page, paint, sent }) => {
    await paint(rack([], { asks: [], live: [plan] }));
    assert.equal(await page.textContent(`${card(1)} .askhead .kind`), 'plan');
    assert.equal(await page.textContent(`${card(1)} .plantext h4`), 'Plan');
    assert.match(await page.textContent(`${card(1)} .plantext pre`), /ALTER TABLE/);
    assert.equal(await page.locator(`${card(1)} > .link`).count(), 0);
    assert.deepEqual((await sent()).filter((m) => m.act === 'asset'), [{ act: 'asset', path: '/home/u/billing/PLAN.md' }]);
    await page.evaluate(() => window.setAsset({ path: '/home/u/billing/PLAN.md', kind: 'md', name: 'PLAN.md', size: 20, text: '# Billing\nSteps' }));
    assert.equal(await page.textContent(`${card(1)} .filecard .filebody h3`), 'Billing');
    await screenshot(page, 'asks-plan-en.png');
  });
});

test('no questions anywhere says so', async () => {
  await withPage(browser, { lang: 'he' }, async ({ page, paint }) => {
    await paint(rack([], { asks: [], live: [] }));
    assert.equal(await page.textContent('#asksview .empty'), 'אין שאלות פתוחות.');
    await paint(rack([], { asks: [], live: [twoParts, background] }));
    assert.equal(await page.textContent('#asksview h2'), '2 מסופים שואלים אותך עכשיו');
    await screenshot(page, 'asks-he.png');
  });
});

test('a card drawn without its question id types nothing: its choices bring the terminal up', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    const unread = Object.assign({}, twoParts, { expect: undefined });
    await paint(rack([], { asks: [], live: [unread] }));
    await clearSent();
    await page.click(`${card(1)} .choice:nth-child(1)`);
    assert.deepEqual(await sent(), [{ act: 'raiseTty', tty: '/dev/pts/3' }]);
    assert.doesNotMatch(await page.getAttribute(`${card(1)} .choice:nth-child(1)`, 'class'), /sent/);
    assert.equal(await page.locator(`${card(1)} .free textarea`).count(), 0);
  });
});
