// The real page against the real application: `velmo --serve --no-open` on a fixture home
// with stand-in agents in a private tmux server, driven through a real chromium. The
// application scans every 1.5 s, so every change is awaited until it is painted.
//
// Other programs on this machine may run agents of their own; ps shows them to Velmo too.
// The tests look only at the rows of their own terminals, whose order among themselves is
// the rack's order restricted to them.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openPage, startServe, screenshot, waitFor } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

let fx;
let serve;
let browser;
let view;
const a = {};  // the stand-in agents by name

// Two terminals numbered like 2 and 20 (one number the start of the other), for the dial:
// the first such pair this machine has free. Both last moved at the same moment, so the
// rack orders them by their numbers as text.
function dialPair() {
  const when = Date.now() - 3 * 86400 * 1000;
  for (const low of [2, 3, 4, 5, 6, 7, 8, 9, 1]) {
    for (const high of [low * 10, low * 10 + 1, low * 10 + 2]) {
      const used = FixtureHome.ptysInUse();
      if (used.has(low) || used.has(high)) continue;
      const two = fx.addAgent({ title: 'Dial low', mood: 'quiet', when, project: 'notes', pty: low });
      if (!two) continue;
      const twenty = fx.addAgent({ title: 'Dial high', mood: 'quiet', when, project: 'notes', pty: high });
      if (twenty) return { two, twenty };
      fx.removeAgent(two);
    }
  }
  return null;
}

before(async () => {
  fx = new FixtureHome();
  const pair = dialPair();
  if (pair) Object.assign(a, pair);
  a.ask = fx.addAgent({ title: 'Login page redesign', mood: 'ask', ago: 40, project: 'blog', screen: 'ask-single.txt' });
  a.cart = fx.addAgent({ title: 'Cart totals', mood: 'run', ago: 2, project: 'shop' });
  a.search = fx.addAgent({ title: 'Search index', mood: 'run', ago: 12, project: 'shop' });
  a.migration = fx.addAgent({ title: 'Database migration', mood: 'wait', ago: 600, project: 'shop' });
  a.notes = fx.addAgent({ title: 'Notes', mood: 'quiet', ago: 2 * 86400, project: 'notes' });
  a.stray = fx.addAgent({ title: '', registered: false, project: '' });
  serve = await startServe({ env: fx.env({ VELMO_LANG: 'en' }) });
  browser = await launch();
  view = await openPage(browser, { url: serve.url });
});

after(async () => {
  if (view) await view.close();
  if (browser) await browser.close();
  if (serve) await serve.stop();
  if (fx) fx.close();
});

// The rows of this test's terminals as shown, top to bottom (closed ones too, should they
// linger).
const ttys = new Set();
async function ours(page) {
  for (const x of fx.agents) ttys.add(x.tty);
  const rows = await page.$$eval('#rack .unit', (rs) => rs.map((r) => ({
    tty: r.dataset.tty,
    sid: r.dataset.sid,
    slot: r.dataset.slot,
    cls: r.className,
    label: r.querySelector('.lamplabel') ? r.querySelector('.lamplabel').textContent : '',
    title: r.querySelector('.title') ? r.querySelector('.title').textContent : '',
    path: r.querySelector('.path') ? r.querySelector('.path').textContent : '',
    say: r.querySelector('.say') ? r.querySelector('.say').textContent : '',
    meta: r.querySelector('.meta') ? r.querySelector('.meta').textContent : '',
  })));
  return rows.filter((r) => ttys.has(r.tty));
}

const order = (rows) => rows.map((r) => r.tty);
const ttysOf = (...names) => names.filter((n) => a[n]).map((n) => a[n].tty);

async function waitForOrder(page, want, what) {
  await waitFor(what, async () => JSON.stringify(order(await ours(page))) === JSON.stringify(want))
    .catch(async (e) => {
      assert.deepEqual(order(await ours(page)), want, e.message);
    });
}

async function chatOpened(page, sid) {
  await waitFor('the conversation to open', async () =>
    (await page.isVisible('#chatview.on')) && fx.settings().openSID === sid);
}

async function backToRack(page) {
  await page.keyboard.press('Escape');
  await waitFor('the rack to come back', async () =>
    (await page.isVisible('#rackview.on')) && !fx.settings().openSID && (await ours(page)).length > 0);
}

const opens = async () => (await view.sent()).filter((m) => m.act === 'open').map((m) => m.sid);

test('the rack lists every terminal, asking first, then working, waiting and quiet', async () => {
  const { page } = view;
  const want = ttysOf('ask', 'cart', 'search', 'migration', 'notes', 'two', 'twenty', 'stray');
  await waitForOrder(page, want, 'every terminal in sort order');
  const rows = Object.fromEntries((await ours(page)).map((r) => [r.tty, r]));
  const row = (name) => rows[a[name].tty];

  assert.match(row('ask').cls, /\bask\b/);
  assert.equal(row('ask').label, 'asking you');
  assert.equal(row('ask').say, 'Which colour should the login button be?');
  assert.equal(row('ask').path, '~/blog');
  for (const name of ['cart', 'search']) assert.match(row(name).cls, /\brun\b/);
  assert.equal(row('cart').label, 'working');
  assert.equal(row('cart').title, 'Cart totals');
  assert.equal(row('cart').sid, a.cart.sid);
  assert.equal(row('cart').slot, a.cart.slot);
  assert.match(row('cart').meta, /Opus/);
  assert.match(row('cart').meta, /151k/);
  assert.match(row('migration').cls, /\bwait\b/);
  assert.equal(row('migration').label, 'waiting for you');
  assert.equal(row('migration').say, 'Done. The migration is in place and the tests pass.');
  assert.match(row('notes').cls, /\bquiet\b/);
  assert.equal(row('notes').label, 'idle');
  assert.equal(row('stray').label, 'not responding');
  assert.equal(row('stray').sid, '');

  // The readout counts every row, strangers' too, so only lower bounds hold here.
  const counts = await page.$$eval('#readout .count b', (b) => b.map((x) => Number(x.textContent)));
  assert.ok(counts[0] >= want.length && counts[1] >= 2 && counts[2] >= 1 && counts[3] >= 1, String(counts));
  assert.match(serve.stderr(), /Velmo: page: painted \d+ rows/);

  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, `the page is ${overflow}px wider than the window`);
  await screenshot(page, 'serve-rack-en.png');
});

test('rows keep their places as terminals come, go and change; the logo re-sorts', async () => {
  const { page } = view;
  const before = ttysOf('ask', 'cart', 'search', 'migration', 'notes', 'two', 'twenty', 'stray');
  await waitForOrder(page, before, 'the sorted rack');

  a.late = fx.addAgent({ title: 'Late arrival', mood: 'quiet', ago: 5 * 86400, project: 'notes' });
  await waitForOrder(page, [a.late.tty, ...before], 'the newcomer on top');

  fx.removeAgent(a.search);
  delete a.search;
  const kept = [a.late.tty, ...ttysOf('ask', 'cart', 'migration', 'notes', 'two', 'twenty', 'stray')];
  await waitForOrder(page, kept, 'the closed terminal gone and the rest in place');

  // A quiet terminal that gets to work stays where it is.
  fx.startWork(a.notes);
  const notesRow = `#rack .unit[data-tty="${a.notes.tty}"]`;
  await waitFor('the notes terminal working', async () => /\brun\b/.test(await page.getAttribute(notesRow, 'class')));
  assert.deepEqual(order(await ours(page)), kept);

  await view.clearSent();
  // The logo spins for 420 ms only, less than a busy machine may take to ask: the page
  // itself notes each class the logo takes.
  await page.evaluate(() => {
    window.logoClasses = [];
    const logo = document.querySelector('#logo');
    new MutationObserver(() => window.logoClasses.push(logo.className))
      .observe(logo, { attributes: true, attributeFilter: ['class'] });
  });
  await page.click('#logo');
  const spun = await page.evaluate(() => window.logoClasses);
  assert.ok(spun.some((c) => /\bspin\b/.test(c)), `the logo's classes since the click: ${JSON.stringify(spun)}`);
  assert.deepEqual(await view.sent(), [{ act: 'refresh' }]);
  await waitForOrder(page, ttysOf('ask', 'notes', 'cart', 'migration', 'two', 'twenty', 'late', 'stray'),
    'the whole rack sorted again');
});

test('the digit dial opens by number, waits on a longer match and shows a miss', async (t) => {
  if (!a.two) { t.skip('no free pair of terminal numbers like 2 and 20 on this machine'); return; }
  const { page } = view;
  const low = String(Number(a.two.slot));
  const high = String(Number(a.twenty.slot));

  // The low number could still become the high one: the dial waits, then opens it.
  await view.clearSent();
  for (const k of low) await page.keyboard.press(k);
  assert.deepEqual(await opens(), []);
  assert.equal(await page.isVisible('#dial'), true);
  assert.deepEqual((await page.$$eval('#rack .unit.aim', (r) => r.map((x) => x.dataset.tty))).filter((x) => x === a.two.tty || x === a.twenty.tty).sort(),
    [a.two.tty, a.twenty.tty].sort());
  await chatOpened(page, a.two.sid);
  assert.deepEqual(await opens(), [a.two.sid]);
  await backToRack(page);

  // The whole high number can be nothing else: it opens at once, leading zeros or not.
  for (const typed of [high, '0' + high]) {
    await view.clearSent();
    for (const k of typed) await page.keyboard.press(k);
    assert.deepEqual(await opens(), [a.twenty.sid], `typing ${typed}`);
    await chatOpened(page, a.twenty.sid);
    await backToRack(page);
  }

  // A number no row starts with: a miss, gone by itself, nothing opened.
  // Typed digit by digit, none of its beginnings may be a number only one row can become
  // (that row would open at once), and the whole of it must be the start of no row.
  const nums = await page.$$eval('#rack .unit', (r) => r.map((x) => x.dataset.slot.replace(/^0+/, '')));
  const opensAt = (p) => nums.filter((n) => n === p).length === 1 && !nums.some((n) => n.length > p.length && n.startsWith(p));
  const candidates = [];
  for (let n = 9; n >= 1; n--) candidates.push(String(n));
  for (let n = 99; n >= 10; n--) candidates.push(String(n));
  for (let n = 999; n >= 100; n--) candidates.push(String(n));
  const miss = candidates.find((m) => !nums.some((n) => n.startsWith(m)) &&
    [...m].every((_, i) => i === 0 || !opensAt(m.slice(0, i))));
  assert.ok(miss, `a number that misses every row among ${nums.join(' ')}`);
  await view.clearSent();
  // The miss shows for under a second, less than a busy machine may take to ask; the page
  // itself notes whether it showed.
  await page.evaluate(() => {
    window.dialMissShown = false;
    const dial = document.querySelector('#dial');
    new MutationObserver(() => { if (dial.classList.contains('miss')) window.dialMissShown = true; })
      .observe(dial, { attributes: true, attributeFilter: ['class'] });
  });
  for (const k of miss) await page.keyboard.press(k);
  await waitFor('the miss to clear', async () => !(await page.isVisible('#dial')));
  if (!(await page.evaluate(() => window.dialMissShown))) {
    const now = await page.$$eval('#rack .unit', (r) => r.map((x) => `${x.dataset.slot} ${x.dataset.tty} ${x.dataset.sid}`));
    assert.fail(`typing ${miss} over the rows ${nums.join(' ')} showed no miss; opened ${JSON.stringify(await opens())}, ` +
      `focus on ${await page.evaluate(() => document.activeElement && document.activeElement.outerHTML.slice(0, 80))}, rows now: ${now.join('; ')}`);
  }
  assert.deepEqual(await opens(), []);
  assert.equal(await page.isVisible('#rackview.on'), true);
  assert.equal(fx.settings().openSID || '', '');
});

test('the project filter keeps a terminal asking from another project', async () => {
  const { page } = view;
  await page.click(`#rack .unit[data-tty="${a.cart.tty}"] .path`);
  await waitFor('the filter', () => page.isVisible('#filterbar'));
  assert.deepEqual(order(await ours(page)), ttysOf('ask', 'cart', 'migration'));
  assert.match(await page.textContent('#filterbar'), /~\/shop.*2 in this project.*\+1 asking you/);
  const asking = await page.$(`#rack .unit[data-tty="${a.ask.tty}"]`);
  assert.match(await asking.getAttribute('class'), /\boutside\b/);
  assert.equal(await asking.$eval('.say', (s) => s.textContent), 'Which colour should the login button be?');

  // The filter holds across the application's repaints.
  const stamp = await page.evaluate(() => document.querySelector('#clock').textContent);
  await view.repaint(2);
  assert.deepEqual(order(await ours(page)), ttysOf('ask', 'cart', 'migration'), `since ${stamp}`);

  await page.click('#filterbar button');
  assert.equal(await page.isVisible('#filterbar'), false);
  assert.equal((await ours(page)).length, fx.agents.length);
});

test('a click on a row opens its conversation in the application', async () => {
  const { page } = view;
  await view.clearSent();
  await page.click(`#rack .unit[data-tty="${a.migration.tty}"] .title`);
  assert.deepEqual(await opens(), [a.migration.sid]);
  await chatOpened(page, a.migration.sid);
  await backToRack(page);
});

test('an error thrown in the page lands in the page error log', async () => {
  await view.page.evaluate(() => { setTimeout(() => { throw new Error('thrown on purpose by the test'); }, 0); });
  const log = await waitFor('the page error log', () => {
    const text = fx.pageErrors();
    return text.includes('thrown on purpose by the test') && text;
  });
  assert.match(log, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\S* .*thrown on purpose by the test @\d+:\d+ /m);
});

test('in Hebrew the page reads right to left with Hebrew labels', async () => {
  await view.close();
  view = null;
  await serve.stop();
  serve = await startServe({ env: fx.env({ VELMO_LANG: 'he' }) });
  view = await openPage(browser, { url: serve.url });
  const { page } = view;
  await waitFor('the Hebrew rack', async () => (await ours(page)).length === fx.agents.length);
  assert.equal(await page.getAttribute('html', 'dir'), 'rtl');
  assert.equal(await page.getAttribute('html', 'lang'), 'he');
  const rows = Object.fromEntries((await ours(page)).map((r) => [r.tty, r]));
  assert.equal(rows[a.cart.tty].label, 'עובד');
  assert.equal(rows[a.migration.tty].label, 'ממתין לך');
  assert.equal(rows[a.ask.tty].label, 'שואל אותך');
  assert.equal(rows[a.stray.tty].label, 'לא מגיב');
  assert.match(await page.textContent('#readout'), /ממתינים לך/);
  assert.match(await page.textContent('#readout'), /שואלים אותך/);
  const side = await page.$eval('#rack .unit .slot', (s) => {
    const r = s.getBoundingClientRect();
    return r.left + r.width / 2 > window.innerWidth / 2 ? 'right' : 'left';
  });
  assert.equal(side, 'right');
  assert.match(serve.stderr(), /ולמו: דף: painted \d+ rows/);
  await screenshot(page, 'serve-rack-he.png');
});
