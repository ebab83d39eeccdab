// The search view against the real application: `velmo --serve --no-open` on a home that
// holds a few past conversations and a notes file, driven through a real chromium. The
// application builds its index at start, answers the typed word, and a hit opens its
// conversation with the find set to the word and the quoted line in view.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { randomUUID } from 'node:crypto';
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, root, waitFor, screenshot } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

const labels = JSON.parse(readFileSync(join(root, 'page', 'labels.json'), 'utf8'));
const WORD = 'zorblat';

let fx;
let browser;
const s = {};  // the conversations by name: { sid, cwd }

// A past conversation of `pairs` exchanges, one minute apart and ending `ago` seconds ago;
// say(i) gives the i-th exchange's [prompt, answer].
function conversation({ project, title, pairs, ago, say }) {
  const sid = randomUUID();
  const cwd = join(fx.home, project);
  mkdirSync(cwd, { recursive: true });
  const folder = join(fx.home, '.claude', 'projects', cwd.replace(/[^A-Za-z0-9]/g, '-'));
  mkdirSync(folder, { recursive: true });
  const base = { sessionId: sid, cwd, version: '2.1.337', userType: 'external', isSidechain: false };
  const end = Date.now() - ago * 1000;
  const lines = [];
  if (title) lines.push({ type: 'custom-title', customTitle: title, sessionId: sid });
  for (let i = 0; i < pairs; i++) {
    const at = end - (pairs - i) * 60000;
    const [prompt, answer] = say(i);
    lines.push(Object.assign({ type: 'user', uuid: randomUUID(), timestamp: new Date(at).toISOString(),
      message: { role: 'user', content: prompt } }, base));
    lines.push(Object.assign({ type: 'assistant', uuid: randomUUID(), timestamp: new Date(at + 20000).toISOString(),
      message: { id: 'msg_' + randomUUID().replaceAll('-', ''), type: 'message', role: 'assistant', model: 'claude-opus-4-5',
        content: [{ type: 'text', text: answer }], stop_reason: 'end_turn',
        usage: { input_tokens: 10, cache_creation_input_tokens: 0, cache_read_input_tokens: 9000, output_tokens: 40 } } }, base));
  }
  writeFileSync(join(folder, sid + '.jsonl'), lines.map((l) => JSON.stringify(l)).join('\n') + '\n');
  return { sid, cwd };
}

before(async () => {
  fx = new FixtureHome();
  // A long conversation whose only mentions of the word are far above its end, so opening
  // the hit must load earlier turns and scroll up to it.
  s.checkout = conversation({ project: 'shop', title: 'Checkout flow', pairs: 120, ago: 7200, say: (i) => {
    if (i === 10) return ['Look at the ' + WORD + ' cache, it may be stale.', 'I will check it.'];
    if (i === 30) return ['What was it?', 'The ' + WORD + ' cache was the culprit; it kept old prices.'];
    return [`Step ${i}: tidy the checkout.`, `Done with step ${i}.`];
  } });
  // The word only in the title: a title hit, not a said one.
  s.pricing = conversation({ project: 'shop', title: 'Zorblat pricing', pairs: 3, ago: 86400, say: (i) => [`Price rule ${i}?`, `Rule ${i} applied.`] });
  // Hebrew: the word searched for is inside a longer one.
  s.hebrew = conversation({ project: 'notes', title: 'מסמכים', pairs: 4, ago: 3600, say: (i) => (i === 2
    ? ['בדקנו את המטמון של האתר?', 'כן, המטמון נוקה והכול עובד.']
    : [`שלב ${i}`, `סיימתי את שלב ${i}.`]) });
  // The user named that one in Velmo.
  writeFileSync(join(fx.home, '.claude', 'velmo-names.json'), JSON.stringify({ [s.pricing.sid]: 'Zorblat pricing' }));
  // A file named with the word in the works folder.
  const notes = join(fx.home, 'Documents', 'claude', 'shop', 'notes');
  mkdirSync(notes, { recursive: true });
  writeFileSync(join(notes, WORD + '-notes.md'), '# Notes\n');
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  if (fx) fx.close();
});

// A served page in `lang`, for the body; stops the application after.
async function served(lang, body) {
  // Each run starts on the rack: the application remembers an open search and its word.
  const file = join(fx.home, '.config', 'velmo', 'settings.json');
  if (existsSync(file)) {
    const settings = JSON.parse(readFileSync(file, 'utf8'));
    for (const key of ['searchOpen', 'searchQuery', 'openSID']) delete settings[key];
    writeFileSync(file, JSON.stringify(settings));
  }
  const serve = await startServe({ env: fx.env({ VELMO_LANG: lang }) });
  const view = await openPage(browser, { url: serve.url });
  try {
    await waitFor('the first paint', () => /painted \d+ rows/.test(serve.stderr()));
    await body(view, serve);
    assert.deepEqual(view.errors.map(String), [], 'the page threw');
    assert.equal(fx.pageErrors(), '', 'the page reported errors');
  } finally {
    await view.close();
    await serve.stop();
  }
}

const sections = (page) => page.$$eval('#searchview .searchsect', (x) => x.map((n) => n.dataset.section));
const box = '#searchview .searchbox';

async function openSearch(page) {
  if (!(await page.isVisible('#searchview.on'))) await page.click('#searchbtn');
  await waitFor('the search view', () => page.isVisible('#searchview.on'));
}

// Types slowly enough that the application's scans repaint the page between the keys.
async function typeSlowly(page, text) {
  await page.click(box);
  await page.keyboard.type(text, { delay: 250 });
}

test('a typed word shows files, titles and quoted conversations, and typing survives repaints', async () => {
  await served('en', async ({ page, sent }) => {
    const say = labels.en;
    await openSearch(page);
    assert.equal(await page.textContent('#searchview .viewtitle'), say.view_search);
    await typeSlowly(page, WORD);
    assert.equal(await page.inputValue(box), WORD);
    await waitFor('the three sections', async () => (await sections(page)).join() === 'files,titles,hits')
      .catch(async (e) => assert.deepEqual(await sections(page), ['files', 'titles', 'hits'], e.message));
    // Each pause between keys searched what stood in the box then, and each answer came
    // back as a repaint with that shorter word while typing went on: the box kept every letter.
    const searched = (await sent()).filter((m) => m.act === 'search').map((m) => m.text);
    assert.ok(searched.length >= 3 && searched.includes(WORD), JSON.stringify(searched));
    assert.equal(await page.inputValue(box), WORD);
    assert.deepEqual(await page.$$eval('#searchview .searchsect h2', (h) => h.map((x) => x.textContent)),
      [say.search_files, say.search_titles, say.search_hits]);

    assert.equal(await page.textContent('#searchview [data-section="files"] .fname'), WORD + '-notes.md');
    assert.deepEqual(await page.$$eval('#searchview [data-section="titles"] .stitle', (t) => t.map((x) => x.textContent)), ['Zorblat pricing']);
    const card = '#searchview [data-section="hits"] .searchcard';
    assert.equal(await page.$$eval(card, (c) => c.length), 1);
    assert.equal(await page.textContent(`${card} .stitle`), 'Checkout flow');
    // Both said lines are quoted, newest first, the word marked.
    const quotes = await page.$$eval(`${card} .quote`, (q) => q.map((x) => ({
      who: x.querySelector('.qwho').textContent, text: x.querySelector('.qtext').textContent, mark: x.querySelector('mark').textContent })));
    assert.equal(quotes.length, 2, JSON.stringify(quotes));
    assert.match(quotes[0].text, /culprit/);
    assert.equal(quotes[0].who, say.speakerAgent);
    assert.match(quotes[1].text, /may be stale/);
    assert.equal(quotes[1].who, say.speakerYou);
    assert.equal(quotes[0].mark.toLowerCase(), WORD);
    await screenshot(page, 'search-serve-en.png');

    // A word nowhere says so.
    await page.fill(box, 'qwxvb');
    await waitFor('the empty note', () => page.isVisible('#searchview .searchlist .empty'));
    assert.equal(await page.textContent('#searchview .searchlist .empty'), say.searchNone);
    assert.deepEqual(await sections(page), []);
  });
});

test('closing search and opening it again shows no results of the old word', async () => {
  await served('en', async ({ page, repaint }) => {
    await openSearch(page);
    await typeSlowly(page, WORD);
    await waitFor('the sections', async () => (await sections(page)).length === 3);
    await page.keyboard.press('Escape');
    await waitFor('the rack', () => page.isVisible('#rackview.on'));
    await openSearch(page);
    // What the application holds is painted afresh.
    await repaint();
    assert.equal(await page.inputValue(box), '');
    assert.deepEqual(await sections(page), []);
  });
});

test('a quoted conversation opens with the find on the word and the quoted line in view', async () => {
  await served('en', async ({ page }) => {
    await openSearch(page);
    await typeSlowly(page, WORD);
    const card = '#searchview [data-section="hits"] .searchcard';
    await waitFor('the conversation card', () => page.isVisible(card));
    await page.click(card);
    await waitFor('the conversation to open', async () =>
      (await page.isVisible('#chatview.on')) && fx.settings().openSID === s.checkout.sid);
    assert.equal(await page.textContent('#chatview .findbar .fq'), WORD);
    // The quoted line lies about ninety turns above the end: the window loads earlier
    // turns until it holds it, then centres the current match.
    await waitFor('the current match', () => page.isVisible('#chatview mark.hit.cur'));
    const cur = await page.$eval('#chatview mark.hit.cur', (m) => {
      const log = m.closest('.log');
      const r = m.getBoundingClientRect();
      const b = log.getBoundingClientRect();
      return { turn: m.closest('.turn').textContent, inView: r.top >= b.top && r.bottom <= b.bottom };
    });
    assert.match(cur.turn, /culprit/);
    assert.ok(cur.inView, 'the current match is scrolled into view');
    // Both mentions are marked; the count names the current one.
    assert.equal(await page.$$eval('#chatview mark.hit', (m) => m.length), 2);
    assert.equal(await page.textContent('#chatview .findbar .fcount'), '2 / 2');
    await screenshot(page, 'search-serve-open.png');
  });
});

test('in Hebrew: the labels, and a word found inside a longer one', async () => {
  await served('he', async ({ page }) => {
    const say = labels.he;
    await openSearch(page);
    assert.equal(await page.getAttribute(box, 'placeholder'), say.searchPlaceholder);
    await typeSlowly(page, 'מטמון');
    const card = '#searchview [data-section="hits"] .searchcard';
    await waitFor('the Hebrew hit', () => page.isVisible(card));
    assert.equal(await page.textContent('#searchview [data-section="hits"] h2'), say.search_hits);
    assert.equal(await page.textContent(`${card} .stitle`), 'מסמכים');
    assert.equal(await page.textContent(`${card} .quote .qwho`), say.speakerAgent);
    assert.match(await page.textContent(`${card} .quote .qtext`), /נוקה/);
    assert.equal(await page.getAttribute('html', 'dir'), 'rtl');
    await screenshot(page, 'search-serve-he.png');
  });
});
