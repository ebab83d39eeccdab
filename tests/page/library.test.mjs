// The library's views painted from payloads: the crew, the questions file, the works and
// the command book, in both languages — their counts and notes, their filters, that an
// open row, a filter or a typed reply survives the repaints, and what opening a hit sends.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, withPage, rack, unit, root } from './support.mjs';

const labels = JSON.parse(readFileSync(join(root, 'page', 'labels.json'), 'utf8'));

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const base = () => rack([unit({ slot: '001', sid: 'p1' })]);
const texts = (page, sel) => page.$$eval(sel, (n) => n.filter((x) => x.offsetParent !== null).map((x) => x.textContent));

function agent(fields) {
  return Object.assign({ id: 'a1', sid: 'p1', chat: 'Cart totals', kind: 'Explore', task: 'Read the notes', model: 'Opus',
    state: 'run', stateLabel: 'running', age: 'now', since: '42s', doing: 'reading a file', say: 'Looking.', steps: 2,
    context: '12k', depth: 1 }, fields);
}

for (const lang of ['en', 'he']) {
  const say = labels[lang];

  test(`the crew view counts, shows doing only while running, notes depth and opens the parent, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint, sent, clearSent }) => {
      await paint(Object.assign(base(), { view: 'crew', crew: [] }));
      assert.equal(await page.textContent('#crewview .empty'), say.noCrew);

      const crew = [
        agent({}),
        agent({ id: 'a2', sid: 'p2', state: 'quiet', stateLabel: 'done', doing: 'stale', age: '5m ago', task: 'Plan', depth: 2 }),
      ];
      await paint(Object.assign(base(), { view: 'crew', crew }));
      assert.deepEqual(await texts(page, '#crewview .vcount'), [
        say.crewRunning.replace('{n}', '1'), say.crewRecent.replace('{n}', '2')]);
      assert.deepEqual(await texts(page, '#crewview .ctask'), ['Read the notes', 'Plan']);
      assert.deepEqual(await texts(page, '#crewview .cdoing'), ['reading a file']);
      assert.deepEqual(await texts(page, '#crewview .ctime'), ['42s', '5m ago']);
      assert.deepEqual(await texts(page, '#crewview .cdepth'), [say.crewDepth.replace('{n}', '2')]);
      assert.deepEqual(await texts(page, '#crewview .cstate'), ['running', 'done']);

      await clearSent();
      await page.click('#crewview .crewrow[data-id="a2"]');
      assert.deepEqual(await sent(), [{ act: 'open', sid: 'p2' }]);
    });
  });

  test(`the asks view puts live questions first, opens entries, answers and keeps a typed reply, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint, sent, clearSent }) => {
      await paint(Object.assign(base(), { view: 'asks', asks: [], live: [] }));
      assert.equal(await page.textContent('#asksview .empty'), say.noAsks);

      const entries = [
        { id: 'q2', urgency: '🔴', title: 'Urgent one', asker: 'lab', since: 'Monday', cost: 'high', body: '**Why** it matters', answer: '', answered: false },
        { id: 'q1', urgency: '🟢', title: 'Low one', asker: '', since: '', cost: '', body: 'Body', answer: 'Yes\n## x\n---', answered: true },
      ];
      const live = [{ id: 'tool1', tty: '/dev/pts/3', slot: '003', title: 'Shop', kind: 'ask',
        parts: [{ question: 'Which colour?', header: 'Colour', multi: false, choices: [{ label: 'Red', detail: '' }] }] }];
      const payload = () => Object.assign(base(), { view: 'asks', asks: entries, live });
      await paint(payload());
      const order = await page.$$eval('#asksview > *', (n) => n.map((x) => x.className.split(' ')[0]));
      assert.ok(order.indexOf('askcard') >= 0 && order.indexOf('askcard') < order.indexOf('asklist'), order.join(','));
      assert.equal(await page.textContent('#asksview h2.sect'), say.asksOne);
      assert.deepEqual(await texts(page, '#asksview .vcount'), [
        say.asksLive.replace('{n}', '1'), say.asksOpen.replace('{n}', '1')]);
      assert.deepEqual(await page.$$eval('.askentry .aid', (n) => n.map((x) => x.textContent)), ['q2', 'q1']);

      // Open an entry, type part of a reply; a repaint keeps both.
      await page.click('.askentry[data-id="q1"] .entryhead');
      assert.equal(await page.isVisible('.askentry[data-id="q1"] .entryanswer'), true);
      assert.equal(await page.textContent('.askentry[data-id="q1"] .atext'), 'Yes\n## x\n---');
      await page.fill('.askentry[data-id="q1"] .entryreply', 'Second\nthoughts');
      entries[0].since = 'Tuesday';
      live[0].id = 'tool2';
      await paint(payload());
      assert.equal(await page.isVisible('.askentry[data-id="q1"] .entryreply'), true);
      assert.equal(await page.inputValue('.askentry[data-id="q1"] .entryreply'), 'Second\nthoughts');

      await clearSent();
      await page.press('.askentry[data-id="q1"] .entryreply', 'Control+Enter');
      assert.deepEqual(await sent(), [{ act: 'answer', id: 'q1', text: 'Second\nthoughts' }]);
      // A second answer replaces the first on the page too, though the entry stays answered.
      entries[1].answer = 'Second\nthoughts';
      await paint(payload());
      assert.equal(await page.textContent('.askentry[data-id="q1"] .atext'), 'Second\nthoughts');

      // An empty reply sends nothing.
      await clearSent();
      await page.click('.askentry[data-id="q2"] .entryhead');
      await page.click('.askentry[data-id="q2"] .entrybar button');
      assert.deepEqual(await sent(), []);
    });
  });

  test(`the works view groups by span, filters by chips and text, and opens the first hit, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint, sent, clearSent }) => {
      await paint(Object.assign(base(), { view: 'works', works: { rows: [], projects: [] } }));
      assert.equal(await page.textContent('#worksview .empty'), say.noWorks);

      const row = (name, kind, project, folder, span) => ({ path: `/h/Documents/claude/${folder ? folder + '/' : ''}${name}`,
        name, kind, project, folder, age: 'now', size: '2K', span });
      const rows = [
        row('today.md', 'doc', 'alpha', 'projects/alpha', 'day'),
        row('chart.png', 'image', 'root', '', 'day'),
        row('weekly.pdf', 'paper', 'beta', 'beta', 'week'),
        row('month.csv', 'table', 'alpha', 'projects/alpha', 'month'),
        row('ancient.txt', 'doc', 'beta', 'beta', 'old'),
      ];
      const payload = () => Object.assign(base(), { view: 'works', works: { rows, projects: ['alpha', 'beta', 'root'] } });
      await paint(payload());
      const names = () => texts(page, '#worksview .workcard .cname');
      const count = () => page.textContent('#worksview .vcount');
      assert.deepEqual(await texts(page, '#worksview .workgroup h2'),
        [say.span_day, say.span_week, say.span_month, say.span_old]);
      assert.equal(await count(), say.worksCount.replace('{n}', '5'));

      // Time "week" admits the day's rows too; "old" only the old.
      await page.click('#worksview .chiprow[data-key="when"] .chip[data-value="week"]');
      assert.deepEqual(await names(), ['today.md', 'chart.png', 'weekly.pdf']);
      assert.deepEqual(await texts(page, '#worksview .workgroup h2'), [say.span_day, say.span_week]);
      await page.click('#worksview .chiprow[data-key="when"] .chip[data-value="old"]');
      assert.deepEqual(await names(), ['ancient.txt']);
      await page.click('#worksview .chiprow[data-key="when"] .chip[data-value="all"]');

      // Kind and project together, then the text; a repaint keeps them.
      await page.click('#worksview .chiprow[data-key="kind"] .chip[data-value="doc"]');
      await page.click('#worksview .chiprow[data-key="proj"] .chip[data-value="beta"]');
      assert.deepEqual(await names(), ['ancient.txt']);
      await page.click('#worksview .chiprow[data-key="proj"] .chip[data-value="all"]');
      await page.fill('#worksview .worksfilter', 'ALPHA');
      assert.deepEqual(await names(), ['today.md']);
      rows.forEach((r) => { r.age = '1m ago'; });
      await paint(payload());
      assert.deepEqual(await names(), ['today.md']);
      assert.equal(await page.inputValue('#worksview .worksfilter'), 'ALPHA');
      assert.equal(await count(), say.worksCount.replace('{n}', '1'));

      // Enter opens the first shown file in the reader; with none shown it searches.
      await clearSent();
      await page.press('#worksview .worksfilter', 'Enter');
      assert.deepEqual(await sent(), [{ act: 'openDoc', path: '/h/Documents/claude/projects/alpha/today.md', reader: true }]);
      await page.click('#worksview .chiprow[data-key="kind"] .chip[data-value="all"]');
      await page.fill('#worksview .worksfilter', 'weekly');
      await clearSent();
      await page.press('#worksview .worksfilter', 'Enter');
      assert.deepEqual(await sent(), [{ act: 'reveal', path: '/h/Documents/claude/beta/weekly.pdf' }]);
      await page.fill('#worksview .worksfilter', 'nothing like it');
      await clearSent();
      await page.press('#worksview .worksfilter', 'Enter');
      assert.deepEqual(await sent(), [{ act: 'findHere', text: 'nothing like it' }]);

      // A click on a page's card hands it to its own application.
      await page.fill('#worksview .worksfilter', '');
      await clearSent();
      await page.click('#worksview .workcard[data-path$="weekly.pdf"] .filehead');
      assert.deepEqual(await sent(), [{ act: 'reveal', path: '/h/Documents/claude/beta/weekly.pdf' }]);
    });
  });

  test(`the command book filters its rows and keeps the box's focus, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint }) => {
      const book = [
        { title: 'Commands', rows: [{ name: '/review', kind: 'command', hint: 'Review the branch' }, { name: '/deploy', kind: 'command', hint: 'Ship it' }] },
        { title: 'Skills', rows: [{ name: 'pdf', kind: 'skill', hint: 'Read and fill PDF forms' }] },
      ];
      await paint(Object.assign(base(), { view: 'book', book }));
      assert.equal(await page.textContent('#bookview .vcount'), say.bookCount.replace('{n}', '3'));
      await page.click('#bookview .bookfilter');
      await page.keyboard.type('pdf');
      assert.deepEqual(await texts(page, '#bookview .bname'), ['pdf']);
      assert.deepEqual(await texts(page, '#bookview .bookgroup > h2'), ['Skills1']);
      await paint(Object.assign(base(), { view: 'book', book }));
      assert.equal(await page.evaluate(() => document.activeElement.className), 'bookfilter');
      await page.keyboard.type(' forms');
      assert.deepEqual(await texts(page, '#bookview .bname'), ['pdf']);
      assert.equal(await page.textContent('#bookview .vcount'), say.bookCount.replace('{n}', '1'));
      await page.fill('#bookview .bookfilter', 'SHIP');
      assert.deepEqual(await texts(page, '#bookview .bname'), ['/deploy']);
      await page.click('#bookview .bookrow:not([hidden])');
      assert.equal(await page.getAttribute('#bookview .bookrow:not([hidden])', 'class'), 'bookrow open');
    });
  });
}

test('the top bar opens the crew, works and book views', async () => {
  await withPage(browser, {}, async ({ page, paint, sent, clearSent }) => {
    await paint(base());
    await clearSent();
    for (const id of ['crewbtn', 'worksbtn', 'bookbtn']) await page.click('#' + id);
    assert.deepEqual(await sent(), [{ act: 'agents' }, { act: 'works' }, { act: 'book' }]);
  });
});
