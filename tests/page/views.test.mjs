// The payload names the view the page shows. A payload carrying every view's data shows
// exactly the one it names, in both languages; a payload that names none, or a name the
// page does not know, falls back to the view its keys make for.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, withPage, rack, unit, root } from './support.mjs';
import { chat, line } from './chat_support.mjs';

const labels = JSON.parse(readFileSync(join(root, 'page', 'labels.json'), 'utf8'));

const VIEWS = ['rack', 'chat', 'reader', 'asks', 'spend', 'works', 'book', 'crew', 'search'];
const ELEMENT = { rack: 'rackview', chat: 'chatview', reader: 'chatview' };
const elementOf = (view) => ELEMENT[view] || view + 'view';

// Every view's data at once, so only the "view" key can tell the page what to show.
function everything(view) {
  const payload = rack([unit({ slot: '001', sid: 'a', title: 'Cart totals' })], {
    chat: chat({ sid: 'a', title: 'Cart totals', lines: [line('you', 'Run the tests', 0)] }),
    alerts: [{ sid: 'b', tty: '/dev/pts/2', slot: '002', head: 'Colour', question: 'Which colour?' }],
    reader: true,
    doc: { path: '/w/notes.md', name: '~/notes.md', text: '# Notes', stamp: 1, editing: false, paths: [] },
    spend: { bars: [] },
    asks: [],
    live: [],
    works: { rows: [], projects: [] },
    book: [],
    crew: [],
    search: { query: '', hits: [], files: [], titles: [], smart: [] },
  });
  if (view) payload.view = view;
  return payload;
}

async function shown(page) {
  return page.evaluate(() => ({
    on: [...document.querySelectorAll('.view.on')].map((v) => v.id),
    mode: document.body.dataset.mode,
    reader: document.getElementById('chatview').classList.contains('reader'),
    back: !document.getElementById('backbtn').hidden,
    alerts: !document.getElementById('alerts').hidden,
  }));
}

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

for (const lang of ['en', 'he']) {
  test(`every view shows exactly when the payload names it, in ${lang}`, async () => {
    const say = labels[lang];
    await withPage(browser, { lang }, async ({ page, paint }) => {
      // Each view in turn, and the rack again at the end: leaving any view works too.
      for (const view of [...VIEWS, 'rack']) {
        await paint(everything(view));
        const s = await shown(page);
        assert.deepEqual(s.on, [elementOf(view)], view);
        assert.equal(s.mode, view);
        assert.equal(s.reader, view === 'reader', view);
        assert.equal(s.back, view !== 'rack', view);
        assert.equal(s.alerts, view === 'chat', view);

        const on = '#' + elementOf(view);
        if (view === 'rack') {
          assert.deepEqual(await page.$$eval('#rack .unit .title', (t) => t.map((x) => x.textContent)), ['Cart totals']);
        } else if (view === 'chat') {
          assert.equal(await page.textContent('#chatview .ctitle'), 'Cart totals');
          assert.equal(await page.isVisible('#chatview .log'), true);
        } else if (view === 'reader') {
          assert.equal(await page.isVisible('#chatview .docpane'), true);
          assert.equal(await page.isVisible('#chatview .chathead'), false);
          assert.equal(await page.isVisible('#chatview .log'), false);
        } else {
          assert.equal(await page.textContent(`${on} .viewtitle`), say['view_' + view], view);
          if (view === 'asks') assert.equal(await page.textContent(`${on} .empty`), say.noAsks);
          else if (view === 'spend') assert.equal(await page.textContent(`${on} .empty`), say.spendCounting);
          else if (view === 'search') assert.equal(await page.isVisible(`${on} .searchbox`), true);
          else {
            const empty = { works: say.noWorks, book: say.noBook, crew: say.noCrew }[view];
            assert.equal(await page.textContent(`${on} .empty`), empty, view);
          }
        }
        assert.equal(await page.isVisible(on), true, view);
      }
    });
  });
}

test('a payload without a view, or with one the page does not know, shows what its keys make for', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    // Everything present: the document reader comes first.
    await paint(everything(undefined));
    assert.deepEqual((await shown(page)).on, ['chatview']);
    assert.equal((await shown(page)).reader, true);

    const { reader, doc, ...noReader } = everything('no such view');
    await paint(noReader);
    assert.deepEqual((await shown(page)).on, ['spendview']);

    await paint(Object.assign(rack([unit({ slot: '001', sid: 'a' })]), { view: 7, crew: [] }));
    assert.deepEqual((await shown(page)).on, ['crewview']);

    // A name that is not the page's own, such as one of its objects' keys, is no view.
    await paint(Object.assign(rack([unit({ slot: '001', sid: 'a' })]), { view: 'toString' }));
    assert.deepEqual((await shown(page)).on, ['rackview']);
  });
});
