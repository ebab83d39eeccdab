// The spend view: the limits with their notes, the span chips that repaint from the last
// payload without asking the application, the day bars, the number formats, and the
// sessions with their shares — then the same against the real application on a home whose
// transcripts have spent tokens, where the rack carries each terminal's share.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, withPage, openPage, startServe, rack, unit, root, waitFor } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

const labels = JSON.parse(readFileSync(join(root, 'page', 'labels.json'), 'utf8'));

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

function span(sessions, models, figures = {}) {
  return Object.assign({ sessions, models, weight: 1, input: 0, output: 0, read: 0, write: 0, calls: 0 }, figures);
}

function board(extra = {}) {
  const bars = [];
  for (let i = 0; i < 14; i++) bars.push({ day: `${i + 1}.12`, weight: i === 13 ? 4 : i === 3 ? 2 : 0, output: 1000 * i, today: i === 13 });
  return Object.assign({
    building: false, ready: true, logs: 0, bars,
    quota: { rows: [
      { label: 'five-hour window', percent: 42, severity: 'normal', active: true, until: '3:05h' },
      { label: 'this week — all', percent: 130, severity: 'warning', active: true, until: '2d' },
    ], error: '', missing: false, stale: false, age: 30 },
    windowNow: { output: 1500 },
    today: span([
      { sid: 'a', project: 'shop', title: 'Cart totals', open: true, weight: 3, share: 0.25, out: 12345678, calls: 3, model: 'Opus' },
      { sid: 'b', project: 'blog', title: 'blog', open: false, weight: 1, share: 0.05, out: 1234567, calls: 2, model: 'Sonnet' },
      { sid: 'c', project: 'notes', title: 'notes', open: false, weight: 0.01, share: 0.004, out: 1500, calls: 1, model: 'Haiku' },
    ], [
      { model: 'Opus', id: 'claude-opus-4-5', weight: 3, share: 0.75, parts: { input: 0.1, write: 0.2, read: 0.3, output: 0.4 } },
      { model: 'Sonnet', id: 'claude-sonnet-4-5', weight: 1, share: 0.25, parts: { input: 0.1, write: 0.2, read: 0.3, output: 0.4 } },
    ], { output: 13581745, read: 2500000000, write: 15000, input: 999, calls: 6 }),
    week: span([{ sid: 'w', project: 'work', title: 'Week only', open: false, weight: 5, share: 1, out: 500, calls: 1, model: 'Opus' }],
      [{ model: 'Opus', id: 'claude-opus-4-5', weight: 5, share: 1, parts: {} }], { output: 500 }),
    all: span([], [], {}),
  }, extra);
}

const spendPaint = (b) => Object.assign(rack([unit({ slot: '001', sid: 'a' })]), { view: 'spend', spend: b });
const rows = (page) => page.$$eval('#spendview .spendrow', (rs) => rs.map((r) => [...r.children].map((c) => c.textContent)));

for (const lang of ['en', 'he']) {
  const say = labels[lang];
  test(`the spend view paints the limits, the bars, the formats and switches spans by itself, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint, sent, clearSent }) => {
      await paint(spendPaint(board()));
      // Shares: 0.25 → 25%, 0.05 → 5.0%, 0.004 → <1%; tokens: 12M, 1.2M, 2k.
      assert.deepEqual(await rows(page), [
        ['25%', 'Cart totals', 'Opus', '12M'],
        ['5.0%', 'blog', 'Sonnet', '1.2M'],
        ['<1%', 'notes', 'Haiku', '2k'],
      ]);
      assert.equal(await page.textContent('#spendview .figure b'), '14M');
      assert.deepEqual(await page.$$eval('#spendview .fig b', (b) => b.map((x) => x.textContent)), ['2.5B', '15k', '999', '6']);
      // Bars: the heaviest day is 40 px, a day without use still has its 2 px bar, today is marked.
      const bars = await page.$$eval('#spendview .bar', (b) => b.map((x) => x.style.height));
      assert.equal(bars.length, 14);
      assert.equal(bars[13], '40px');
      assert.equal(bars[3], '20px');
      assert.equal(bars[0], '2px');
      assert.equal(await page.$$eval('#spendview .barcol.today', (b) => b.length), 1);
      // Limits: the bar is clamped, the five-hour row carries the window's output tokens.
      const q = await page.$$eval('#spendview .qrow', (rs) => rs.map((r) => ({
        pct: r.querySelector('.qpct').textContent, width: r.querySelector('.qfill').style.width,
        now: r.querySelector('.qnow') ? r.querySelector('.qnow').textContent : null,
      })));
      assert.equal(q[1].pct, '130%');
      assert.equal(q[1].width, '100%');
      assert.equal(q[1].now, null);
      assert.equal(q[0].now, '2k ' + say.spendOutput);
      assert.equal(await page.textContent('#spendview .qnote'), say.quotaSampled + say.spendJustNow);

      // The chips switch from the last payload, without a message to the application.
      await clearSent();
      await page.click('#spendview .chip[data-span="week"]');
      assert.deepEqual(await rows(page), [['100%', 'Week only', 'Opus', '500']]);
      await page.click('#spendview .chip[data-span="all"]');
      assert.equal(await page.textContent('#spendview .usage .empty'), say.spendNone);
      assert.deepEqual(await sent(), []);
      // A repaint keeps the chosen span.
      await paint(spendPaint(board()));
      assert.equal(await page.textContent('#spendview .chip.on'), say.span_all);
      await page.click('#spendview .chip[data-span="today"]');

      // Only an open session's row opens its conversation.
      await page.click('#spendview .spendrow >> nth=1');
      assert.deepEqual(await sent(), []);
      await page.click('#spendview .spendrow >> nth=0');
      assert.deepEqual(await sent(), [{ act: 'open', sid: 'a' }]);
    });
  });

  test(`the quota note tells an error, a missing sampler, a stale sample and no limits, in ${lang}`, async () => {
    await withPage(browser, { lang }, async ({ page, paint }) => {
      const note = async (quota) => {
        await paint(spendPaint(board({ quota })));
        return page.textContent('#spendview .qnote');
      };
      assert.equal(await note({ rows: [], error: 'HTTP 500', missing: false }), say.quotaError + 'HTTP 500');
      assert.equal(await note({ rows: [], error: '', missing: true }), say.quotaMissing);
      assert.equal(await note({ rows: [], stale: true, age: 901 }), say.quotaStale.replace('{n}', '15'));
      assert.equal(await note({ rows: [], stale: false, age: 5 }), say.quotaNone);
      // Before the first count: still counting, with the files left while it builds.
      await paint(spendPaint(board({ ready: false, building: true, logs: 7, today: span([], []) })));
      assert.equal(await page.textContent('#spendview .usage .empty'), say.spendCounting);
      assert.equal(await page.textContent('#spendview .building'), say.spendBuilding.replace('{n}', '7'));
    });
  });
}

test('against the application: the rack carries each session\'s share of today, and the board lists them', async () => {
  const fx = new FixtureHome();
  let serve;
  let view;
  try {
    const cart = fx.addAgent({ title: 'Cart totals', mood: 'run', ago: 30, project: 'shop' });
    const blog = fx.addAgent({ title: 'Blog post', mood: 'wait', ago: 90, project: 'blog' });
    fx.addAgent({ title: 'Old notes', mood: 'quiet', ago: 3 * 86400, project: 'notes' });
    serve = await startServe({ env: fx.env({ VELMO_LANG: 'en' }) });
    view = await openPage(browser, { url: serve.url });
    const { page } = view;
    // Only today's spend makes a share: the notes of three days ago show none.
    await waitFor('shares on the rack', async () => (await page.$$('#rack .unit .share')).length === 2);
    const shares = await page.$$eval('#rack .unit', (us) => us.map((u) => [
      u.querySelector('.title').textContent, u.querySelector('.share') ? u.querySelector('.share').textContent : '',
    ]));
    const total = shares.reduce((sum, [, s]) => sum + (parseInt(s, 10) || 0), 0);
    assert.ok(total >= 99 && total <= 101, JSON.stringify(shares));
    assert.deepEqual(shares.filter(([t]) => t === 'Old notes').map(([, s]) => s), ['']);

    await page.click('#spendbtn');
    await waitFor('the board', async () => (await page.$$('#spendview .spendrow')).length === 2);
    const titles = await page.$$eval('#spendview .spendrow .stitle', (t) => t.map((x) => x.textContent).sort());
    assert.deepEqual(titles, ['Blog post', 'Cart totals']);
    await page.click('#spendview .chip[data-span="week"]');
    await waitFor('the week', async () => (await page.$$('#spendview .spendrow')).length === 3);
    // An open session's row opens its conversation.
    await page.click('#spendview .chip[data-span="today"]');
    await page.click('#spendview .spendrow.open >> text=Cart totals');
    await waitFor('the chat', async () => (await page.textContent('#chatview .ctitle').catch(() => '')) === 'Cart totals');
    assert.ok(cart && blog);
  } finally {
    if (view) await view.close();
    if (serve) await serve.stop();
    fx.close();
  }
});
