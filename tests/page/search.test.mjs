// The search view: typing searches after a pause, Enter or a two-word question asks the
// meaning search, the sections come in their order, a card opens its conversation at its
// newest quoted line, a file opens in the reader or the file manager, and a repaint never
// overwrites what the user is typing.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, withPage, rack, root, waitFor } from './support.mjs';

const labels = JSON.parse(readFileSync(join(root, 'page', 'labels.json'), 'utf8'));

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const hit = (text, sort, role = 'claude') => ({ sid: 's1', project: 'shop', role, when: '8.12 10:00', sort, before: '…the ', hit: 'cart', after: ` ${text}` });

function results(extra = {}) {
  return Object.assign({
    query: 'cart', building: 0, busy: false, smartQuery: '', smartBusy: false, smartFailed: false, smart: [],
    files: [{ path: '/w/notes/cart.md', name: 'cart.md', kind: 'Markdown', project: 'shop', folder: 'notes', age: '2h ago' },
      { path: '/w/shots/cart.png', name: 'cart.png', kind: 'Image', project: 'shop', folder: 'shots', age: '1d ago' }],
    titles: [{ sid: 't1', title: 'Cart totals', project: 'shop', when: '7.12.26', total: 0, hits: [] }],
    hits: [{ sid: 's1', title: 'Checkout', project: 'shop', when: '8.12 10:00', sort: 300, total: 20,
      hits: [hit('newest', 300, 'you'), hit('middle', 200), hit('older', 100)] }],
  }, extra);
}

const searchPaint = (s) => Object.assign(rack([]), { view: 'search', search: s });

for (const lang of ['en', 'he']) {
  const say = labels[lang];
  test(`the search view's sections, cards and files, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint, sent, clearSent }) => {
      await paint(searchPaint(results({ smartQuery: 'where we fixed the cart', smart: [
        { sid: 'p1', title: 'Fixing the cart', project: 'shop', when: '1.12 09:00', why: 'the cart fix', total: 0, hits: [] },
        { file: true, why: 'its notes', path: '/w/notes/cart.md', name: 'cart.md', kind: 'Markdown', folder: 'notes', age: '2h ago' },
      ] })));
      assert.deepEqual(await page.$$eval('#searchview .searchsect', (s) => s.map((x) => x.dataset.section)), ['smart', 'files', 'titles', 'hits']);
      assert.equal(await page.inputValue('#searchview .searchbox'), 'cart');
      // Three quoted lines of twenty, newest first, and how many more there are.
      const card = '#searchview [data-section="hits"] .searchcard';
      assert.equal(await page.$$eval(`${card} .quote`, (q) => q.length), 3);
      assert.equal(await page.textContent(`${card} .smore`), say.searchMore.replace('{n}', '17'));
      assert.equal(await page.textContent(`${card} .quote.you .qwho`), say.speakerYou);

      await clearSent();
      await page.click(card);
      await page.click('#searchview [data-section="titles"] .searchcard');
      await page.click('#searchview [data-section="smart"] .searchcard');
      await page.click(`${card} .sresume`);
      await page.click('#searchview [data-section="files"] .searchfile >> nth=0');
      await page.click('#searchview [data-section="files"] .searchfile >> nth=1');
      await page.click('#searchview [data-section="files"] .searchfile >> nth=1 >> .flocate');
      assert.deepEqual(await sent(), [
        { act: 'open', sid: 's1', find: { query: 'cart', ts: 300, role: 'you' } },
        { act: 'open', sid: 't1', find: { query: 'cart', ts: 0, role: '' } },
        { act: 'open', sid: 'p1' },
        { act: 'resume', sid: 's1' },
        { act: 'openDoc', path: '/w/notes/cart.md', reader: true },
        { act: 'reveal', path: '/w/shots/cart.png' },
        { act: 'showInFinder', path: '/w/shots/cart.png' },
      ]);

      // The meaning search's states.
      await paint(searchPaint(results({ smartQuery: 'q', smartBusy: true })));
      assert.equal(await page.textContent('#searchview [data-section="smart"] .snote'), say.smartBusy);
      await paint(searchPaint(results({ smartQuery: 'q', smartFailed: true })));
      assert.equal(await page.textContent('#searchview [data-section="smart"] .snote'), say.smartFailed);
      await paint(searchPaint(results({ query: 'zz', files: [], titles: [], hits: [] })));
      assert.equal(await page.textContent('#searchview .searchlist .empty'), say.searchNone);
      // Building the index shows the busy mark.
      await paint(searchPaint(results({ building: 12 })));
      assert.equal(await page.isVisible('#searchview .searchbusy'), true);
      await paint(searchPaint(results()));
      assert.equal(await page.isVisible('#searchview .searchbusy'), false);
    });
  });
}

test('typing searches after a pause, a question asks the meaning search, and a repaint keeps the typing', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(searchPaint(results({ query: '', hits: [], titles: [], files: [] })));
    await clearSent();
    await page.fill('#searchview .searchbox', 'ca');
    // A repaint while the box has the focus does not overwrite the typing.
    await paint(searchPaint(results({ query: 'old' })));
    assert.equal(await page.inputValue('#searchview .searchbox'), 'ca');
    await waitFor('the word search', async () => (await sent()).length > 0, 30, 100, sent);
    assert.deepEqual(await sent(), [{ act: 'search', text: 'ca' }]);

    await clearSent();
    await page.fill('#searchview .searchbox', 'cart fix');
    await waitFor('the meaning search', async () => (await sent()).some((m) => m.act === 'smartSearch'), 30, 100, sent);
    assert.deepEqual(await sent(), [{ act: 'search', text: 'cart fix' }, { act: 'smartSearch', text: 'cart fix' }]);

    // Enter asks at once; a query under three characters is not asked.
    await clearSent();
    await page.fill('#searchview .searchbox', 'ab');
    await page.keyboard.press('Enter');
    await page.fill('#searchview .searchbox', 'abc');
    await page.keyboard.press('Enter');
    await waitFor('enter', async () => (await sent()).some((m) => m.act === 'smartSearch'), 30, 100, sent);
    assert.deepEqual((await sent()).filter((m) => m.act === 'smartSearch'), [{ act: 'smartSearch', text: 'abc' }]);
  });
});
