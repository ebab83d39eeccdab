// Motion on the rack in a real chromium: a board at rest runs no animation; a row that
// turns to asking or working moves for a few seconds and then rests; the logo steps a few
// times a second while agents run; reduced motion and a hidden page stop everything.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, withPage, rack, unit } from './support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

// Every animation still running or waiting to run, with where it is and how it is timed.
const running = (page) => page.evaluate(() => document.getAnimations()
  .filter((a) => a.playState !== 'finished')
  .map((a) => {
    const t = a.effect.getComputedTiming();
    const target = a.effect.target;
    return {
      name: a.animationName,
      where: target.closest('#logo') ? 'logo' : (target.closest('.unit') || {}).dataset.slot,
      state: a.playState,
      iterations: t.iterations,
      end: t.endTime,
      at: Number(a.currentTime) - t.delay,  // how far into its motion
    };
  }));

const quietRack = () => [
  unit({ slot: '001', sid: 'a', state: 'ask', stateLabel: 'asking you' }),
  unit({ slot: '002', sid: 'b', state: 'wait', stateLabel: 'waiting for you' }),
  unit({ slot: '003', sid: 'c', state: 'quiet' }),
];

test('a board that only waits and asks is still from its first paint', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    await paint(rack(quietRack()));
    // Repaints with new ages rebuild rows without news: still nothing moves.
    await paint(rack(quietRack().map((u) => Object.assign(u, { age: '2m' }))));
    assert.deepEqual(await running(page), []);
  });
});

test('a row that turns to asking moves for a few seconds, then rests for good', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    await paint(rack(quietRack()));
    const rows = quietRack();
    rows[2].state = 'ask';
    await paint(rack(rows));
    const moving = await running(page);
    assert.equal(moving.length, 1, JSON.stringify(moving));
    assert.equal(moving[0].where, '003');
    assert.equal(moving[0].name, 'beckon');
    assert.ok(Number.isFinite(moving[0].iterations) && moving[0].end <= 6000, JSON.stringify(moving[0]));

    // A rebuild mid-motion (the age changed) carries on instead of starting over.
    await page.waitForFunction(() => document.getAnimations().some((a) => Number(a.currentTime) >= 1200),
      null, { timeout: 30000 });
    rows[2].age = '1m';
    await paint(rack(rows));
    const carried = await running(page);
    assert.equal(carried.length, 1);
    assert.ok(carried[0].at >= 1000, `carried on from ${carried[0].at} ms`);

    await page.waitForFunction(() => document.getAnimations().length === 0, null, { timeout: 30000 });
    assert.equal(await page.$eval('#rack .unit[data-slot="003"]', (r) => r.classList.contains('stir')), false);
    // Later rebuilds of the same state are no news.
    rows[2].age = '2m';
    await paint(rack(rows));
    assert.deepEqual(await running(page), []);
  });
});

// The logo's step interval (ms, '' when still) and the bars' current look.
const logoBeat = (page) => page.$eval('#logo', (l) => l.dataset.every || '');
const logoBars = (page) => page.$$eval('#logo .mark i', (is) => is.map((i) => i.style.transform).join());

test('turning to working moves the lamp; muted and waiting rows stay still', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const rows = [
      unit({ slot: '001', sid: 'a', state: 'quiet' }),
      unit({ slot: '002', sid: 'b', state: 'quiet' }),
      unit({ slot: '003', sid: 'c', state: 'quiet' }),
    ];
    await paint(rack(rows));
    rows[0].state = 'run';
    rows[1].state = 'ask';
    rows[1].muted = true;
    rows[2].state = 'wait';
    await paint(rack(rows));
    const moving = await running(page);
    assert.deepEqual(moving.map((a) => [a.where, a.name]), [['001', 'breathe']]);
    assert.ok(Number.isFinite(moving[0].iterations));
  });
});

test('the logo steps a few times a second while agents run, quicker the more run', async () => {
  await withPage(browser, { clock: true }, async ({ page, paint }) => {
    await paint(rack([unit({ slot: '001', state: 'run' })]));
    assert.equal(await logoBeat(page), '600');
    // Stepped by a timer, not a CSS animation that would draw at every refresh.
    assert.deepEqual((await running(page)).filter((a) => a.where === 'logo'), []);
    const first = await logoBars(page);
    await page.clock.runFor(600);
    assert.notEqual(await logoBars(page), first);
    await page.clock.runFor(1800);
    assert.equal(await logoBars(page), first, 'four steps make one round');

    // Sub-agents count as running agents too.
    await paint(rack([unit({ slot: '001', state: 'run', agents: 4 }), unit({ slot: '002', state: 'quiet' })]));
    assert.equal(await logoBeat(page), '400');
    await paint(rack(Array.from({ length: 30 }, (_, i) => unit({ slot: String(i + 1), sid: 's' + i, state: 'run' }))));
    assert.equal(await logoBeat(page), '200');

    await paint(rack([unit({ slot: '001', state: 'wait' })]));
    assert.equal(await logoBeat(page), '');
    assert.equal(await logoBars(page), ',,');
    await page.clock.runFor(2000);
    assert.equal(await logoBars(page), ',,', 'a still logo stays still');
  });
});

test('reduced motion gives no motion at all', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    await page.emulateMedia({ reducedMotion: 'reduce' });
    await paint(rack(quietRack()));
    const rows = quietRack();
    rows[2].state = 'run';
    rows[1].state = 'ask';
    await paint(rack(rows));
    assert.deepEqual(await running(page), []);
    assert.equal(await logoBeat(page), '');
  });
});

test('a hidden page pauses every motion and resumes it when seen again', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    const seen = (state) => page.evaluate((s) => {
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => s });
      document.dispatchEvent(new Event('visibilitychange'));
    }, state);
    await paint(rack(quietRack()));
    await seen('hidden');
    const rows = quietRack();
    rows[2].state = 'run';
    await paint(rack(rows));
    const asleep = await running(page);
    assert.deepEqual(asleep.map((a) => [a.where, a.state]), [['003', 'paused']]);
    assert.equal(await logoBeat(page), '');
    await seen('visible');
    const awake = await running(page);
    assert.deepEqual(awake.map((a) => [a.where, a.state]), [['003', 'running']]);
    assert.equal(await logoBeat(page), '600');
  });
});
