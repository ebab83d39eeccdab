// The menu bar a page draws in a browser, in a real chromium: first from crafted menus on the
// local page (told it runs in a browser, as the shim tells it), then against the real
// application, whose menu choices write settings, open views and raise modals.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, withPage, openPage, startServe, screenshot, waitFor, rack, root } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

const labels = JSON.parse(readFileSync(join(root, 'page', 'labels.json'), 'utf8'));
const inBrowser = () => { window.velmoBrowser = true; };

// Menus shaped as the application sends them.
function menus(over = {}) {
  const pct = over.pct ?? 75;
  return [
    { title: 'Velmo', items: [
      { id: 'about', title: 'About Velmo' },
      { sep: true },
      { id: 'flipLanguage', title: 'מעבר לעברית' },
      { id: 'toggleRelay', title: 'Hand-off when the context fills', check: true, on: over.relay ?? true },
      { title: 'Reset: 0 · Closed: 0', off: true },
      { title: 'Hand-off threshold', items: [60, 65, 70, 75, 80, 85].map((v) =>
        ({ id: 'setRelayLine', value: v, title: v + '%', check: true, on: v === pct })) },
      { id: 'toggleNotify', title: 'Question notifications', check: true, on: true },
    ] },
    { title: 'View', items: [
      { id: 'focusSearch', title: 'Search every conversation', keys: 'Ctrl+F' },
      { id: 'agentsOrNext', title: 'Background agents', keys: 'Ctrl+G' },
      { id: 'findPrev', title: 'Previous match in conversation', keys: 'Ctrl+Shift+G' },
      { id: 'toggleBook', title: 'Capability book', keys: 'Ctrl+B' },
      { id: 'toggleWorks', title: 'Artifacts', keys: 'Ctrl+Y' },
      { id: 'newTerminal', title: 'New terminal', keys: 'Ctrl+N' },
      { id: 'wakeAll', title: 'Wake everyone who is waiting', keys: 'Ctrl+Shift+A' },
      { sep: true },
      { id: 'stepBack', title: 'Previous conversation', keys: 'Alt+Up' },
      { id: 'stepLiveOn', title: 'Next active terminal', keys: 'Alt+Shift+Down' },
    ] },
    { title: 'document', items: [
      { id: 'saveDocument', title: 'Save', keys: 'Ctrl+S' },
      { id: 'closeDocument', title: 'Close document', keys: 'Ctrl+Shift+W' },
    ] },
  ];
}

const withMenu = (over) => rack([], { menu: menus(over) });
const chosen = async (sent) => (await sent()).filter((m) => m.act === 'menu');

// What the bar shows: each menu's title and, for the open one, its lines.
function shownMenus(page) {
  return page.$$eval('#menubar .mtop', (tops) => tops.map((t) => ({
    title: t.querySelector('.mtitle').textContent,
    open: !t.querySelector(':scope > .mlist').hidden,
  })));
}
function lines(page, selector) {
  return page.$$eval(selector + ' > *', (rows) => rows.map((r) => {
    if (r.classList.contains('msep')) return '—';
    const item = r.classList.contains('msub') ? r.firstChild : r;
    const check = item.querySelector('.mcheck').textContent;
    const keys = item.querySelector('.mkeys').textContent;
    return (check ? check + ' ' : '') + item.querySelector('.mname').textContent + (keys ? ' [' + keys + ']' : '') +
      (item.classList.contains('off') ? ' (off)' : '') + (r.classList.contains('msub') ? ' >' : '');
  }));
}

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

test('the bar lists each menu; a menu shows checks, keys, separators and a greyed line; a choice sends its id and value', async () => {
  await withPage(browser, { init: inBrowser }, async ({ page, paint, sent }) => {
    await paint(withMenu({ pct: 75 }));
    assert.equal(await page.getAttribute('#menubar', 'aria-label'), labels.en.menuBar);
    assert.deepEqual(await shownMenus(page), [
      { title: 'Velmo', open: false }, { title: 'View', open: false }, { title: 'document', open: false }]);

    await page.click('#menubar .mtop:nth-child(1) .mtitle');
    assert.deepEqual(await lines(page, '#menubar .mtop:nth-child(1) > .mlist'), [
      'About Velmo', '—', 'מעבר לעברית', '✓ Hand-off when the context fills', 'Reset: 0 · Closed: 0 (off)',
      'Hand-off threshold >', '✓ Question notifications']);
    assert.equal(await page.getAttribute('#menubar [role=menuitemcheckbox]', 'aria-checked'), 'true');

    // The greyed line does nothing when clicked, and the menu stays open.
    await page.click('#menubar .mitem.off', { force: true });
    assert.equal(await page.isVisible('#menubar .mitem.off'), true);
    assert.deepEqual(await chosen(sent), []);

    // The submenu opens on hover; its checked value is the one the payload marks.
    await page.hover('#menubar .msub > .mitem');
    const sub = '#menubar .msub > .mlist';
    assert.equal(await page.isVisible(sub), true);
    assert.deepEqual(await lines(page, sub), ['60%', '65%', '70%', '✓ 75%', '80%', '85%']);
    await page.click(`${sub} > .mitem:nth-child(5)`);
    assert.deepEqual(await chosen(sent), [{ act: 'menu', id: 'setRelayLine', value: 80 }]);
    assert.equal(await page.isVisible('#menubar .mlist'), false, 'a choice closes the menu');

    // A plain item sends no value at all.
    await page.click('#menubar .mtop:nth-child(2) .mtitle');
    assert.deepEqual(await lines(page, '#menubar .mtop:nth-child(2) > .mlist'), [
      'Search every conversation [Ctrl+F]', 'Background agents [Ctrl+G]', 'Previous match in conversation [Ctrl+Shift+G]',
      'Capability book [Ctrl+B]', 'Artifacts [Ctrl+Y]', 'New terminal [Ctrl+N]', 'Wake everyone who is waiting [Ctrl+Shift+A]',
      '—', 'Previous conversation [Alt+Up]', 'Next active terminal [Alt+Shift+Down]']);
    await page.click('text=Capability book');
    assert.deepEqual((await chosen(sent)).pop(), { act: 'menu', id: 'toggleBook' });
  });
});

test('Escape and a click outside close a menu without leaving the view; hovering another title moves the open menu', async () => {
  await withPage(browser, { init: inBrowser }, async ({ page, paint, sent }) => {
    await paint(withMenu());
    await page.click('#menubar .mtop:nth-child(1) .mtitle');
    await page.hover('#menubar .mtop:nth-child(2) .mtitle');
    assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, true, false]);

    await page.keyboard.press('Escape');
    assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, false, false]);
    assert.deepEqual((await sent()).filter((m) => m.act === 'back'), [], 'Escape in the menu is not the page\'s Back');

    await page.click('#menubar .mtop:nth-child(3) .mtitle');
    await page.mouse.click(600, 500);
    assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, false, false]);
    // With every menu shut, hovering a title opens nothing.
    await page.hover('#menubar .mtop:nth-child(1) .mtitle');
    assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, false, false]);
  });
});

for (const lang of ['en', 'he']) {
  test(`the keyboard walks the menus toward the end of the line and into a submenu, in ${lang}`, async () => {
    await withPage(browser, { init: inBrowser, lang }, async ({ page, paint, sent }) => {
      await paint(withMenu());
      const forward = lang === 'he' ? 'ArrowLeft' : 'ArrowRight';
      const backward = lang === 'he' ? 'ArrowRight' : 'ArrowLeft';
      assert.equal(await page.$eval('#menubar', (b) => getComputedStyle(b).direction), lang === 'he' ? 'rtl' : 'ltr');
      assert.equal(await page.getAttribute('#menubar', 'aria-label'), labels[lang].menuBar);
      const focused = () => page.evaluate(() => {
        const f = document.activeElement;
        return f && f.closest('#menubar') ? (f.querySelector('.mname') || f).textContent : null;
      });

      // One tab stop: the first title.
      await page.focus('#menubar .mtitle');
      await page.keyboard.press(forward);
      assert.equal(await focused(), 'View');
      assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, false, false]);
      await page.keyboard.press(backward);
      await page.keyboard.press('ArrowDown');
      assert.equal(await focused(), 'About Velmo');
      // Down skips the separator and the greyed line.
      for (const want of ['מעבר לעברית', 'Hand-off when the context fills', 'Hand-off threshold']) {
        await page.keyboard.press('ArrowDown');
        assert.equal(await focused(), want);
      }
      await page.keyboard.press(forward);
      assert.equal(await focused(), '60%');
      await page.keyboard.press('End');
      assert.equal(await focused(), '85%');
      // Escape leaves the submenu only; backward leaves it too.
      await page.keyboard.press('Escape');
      assert.equal(await focused(), 'Hand-off threshold');
      assert.equal(await page.isVisible('#menubar .msub > .mlist'), false);
      await page.keyboard.press(forward);
      await page.keyboard.press('ArrowUp');
      assert.equal(await focused(), '85%');
      await page.keyboard.press('Enter');
      assert.deepEqual(await chosen(sent), [{ act: 'menu', id: 'setRelayLine', value: 85 }]);
      assert.equal(await page.isVisible('#menubar .mlist'), false);

      // Space opens a menu too, and Tab leaves the bar with the menu shut.
      await page.focus('#menubar .mtitle');
      await page.keyboard.press(' ');
      assert.equal(await focused(), 'About Velmo');
      await page.keyboard.press('Tab');
      assert.equal(await focused(), null);
      assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, false, false]);

      // Forward from a plain item opens the next menu at its first item.
      await page.focus('#menubar .mtitle');
      await page.keyboard.press('ArrowDown');
      await page.keyboard.press(forward);
      assert.equal(await focused(), 'Search every conversation');
      assert.deepEqual((await shownMenus(page)).map((m) => m.open), [false, true, false]);
      await page.keyboard.press('Escape');
      assert.equal(await focused(), 'View');
      assert.deepEqual((await sent()).filter((m) => m.act === 'back'), []);
      await screenshot(page, `menu-keys-${lang}.png`);
    });
  });
}

test('a repaint with the same menus keeps the bar; a changed check mark is redrawn with the menu still open', async () => {
  await withPage(browser, { init: inBrowser }, async ({ page, paint }) => {
    await paint(withMenu({ relay: true }));
    await page.$eval('#menubar .mtop', (t) => { t.__mark = 1; });
    await paint(withMenu({ relay: true }));
    assert.equal(await page.$eval('#menubar .mtop', (t) => t.__mark), 1, 'an unchanged menu is not rebuilt');

    await page.click('#menubar .mtop:nth-child(1) .mtitle');
    await page.hover('#menubar .msub > .mitem');
    await page.hover('#menubar .msub > .mlist > .mitem:nth-child(2)');
    await paint(withMenu({ relay: false, pct: 65 }));
    assert.deepEqual((await shownMenus(page)).map((m) => m.open), [true, false, false]);
    assert.equal(await page.getAttribute('#menubar [role=menuitemcheckbox]', 'aria-checked'), 'false');
    assert.deepEqual(await lines(page, '#menubar .msub > .mlist'), ['60%', '✓ 65%', '70%', '75%', '80%', '85%']);
    assert.equal(await page.evaluate(() => document.activeElement.textContent), '✓65%', 'the focus stays on its item');

    // A payload without menus (a view painted alone) leaves the bar as it is.
    await paint(rack([]));
    assert.equal((await shownMenus(page)).length, 3);
  });
});

test('the menu\'s keys work anywhere on the page, except those of the browser, the page\'s own Save, and editing in a field', async () => {
  await withPage(browser, { init: inBrowser }, async ({ page, paint, sent, clearSent }) => {
    await paint(withMenu());
    await page.evaluate(() => {
      const area = document.createElement('textarea');
      area.id = 'field';
      document.body.append(area);
    });
    const press = async (key, where = 'body') => {
      await clearSent();
      if (where === 'field') await page.focus('#field'); else await page.evaluate(() => document.activeElement.blur());
      await page.keyboard.press(key);
      return (await chosen(sent)).map((m) => m.id);
    };
    assert.deepEqual(await press('Control+b'), ['toggleBook']);
    const kept = await page.evaluate(() => document.body.dispatchEvent(new KeyboardEvent('keydown',
      { key: 'b', code: 'KeyB', ctrlKey: true, bubbles: true, cancelable: true })));
    assert.equal(kept, false, 'a key the menu takes does nothing else');
    assert.deepEqual(await press('Control+Shift+G'), ['findPrev']);
    assert.deepEqual(await press('Control+g'), ['agentsOrNext']);
    assert.deepEqual(await press('Alt+ArrowUp'), ['stepBack']);
    assert.deepEqual(await press('Alt+Shift+ArrowDown'), ['stepLiveOn']);
    assert.deepEqual(await press('Control+y'), ['toggleWorks']);
    assert.deepEqual(await press('Control+Shift+A'), ['wakeAll']);

    // Editing keys belong to the field; the others still reach the menu from there.
    assert.deepEqual(await press('Control+y', 'field'), []);
    assert.deepEqual(await press('Control+Shift+A', 'field'), []);
    assert.deepEqual(await press('Control+b', 'field'), ['toggleBook']);
    assert.deepEqual(await press('b', 'field'), []);
    assert.equal(await page.inputValue('#field'), 'b');

    // The browser's own keys stay the browser's; Ctrl+S saves through the page alone.
    assert.deepEqual(await press('Control+Shift+W'), []);
    assert.deepEqual(await press('Control+s'), []);
    assert.deepEqual(await press('ArrowUp'), [], 'an arrow without Alt is the rack\'s');

    // A letter of another alphabet is read at the place of its key.
    await clearSent();
    await page.evaluate(() => document.dispatchEvent(new KeyboardEvent('keydown', { key: 'נ', code: 'KeyB', ctrlKey: true, bubbles: true })));
    assert.deepEqual((await chosen(sent)).map((m) => m.id), ['toggleBook']);

    // While a modal asks, the menu keeps quiet.
    await clearSent();
    await page.evaluate(() => { const d = document.createElement('div'); d.id = 'velmo-alert'; document.body.append(d); });
    await page.keyboard.press('Control+b');
    assert.deepEqual(await chosen(sent), []);
  });
});

test('a page in the window draws no menu and leaves its keys alone', async () => {
  await withPage(browser, {}, async ({ page, paint, sent }) => {
    await paint(withMenu());
    assert.equal(await page.$('#menubar'), null);
    await page.keyboard.press('Control+b');
    assert.deepEqual(await chosen(sent), []);
  });
});

// ---- against the real application ----

const binary = process.env.VELMO_BINARY;
const noBinary = !binary ? 'VELMO_BINARY is not set' : !existsSync(binary) ? `no velmo binary at ${binary}` : false;

let fx;
let serve;
let view;

async function startApp(env) {
  serve = await startServe({ env: fx.env(env) });
  view = await openPage(browser, { url: serve.url });
  await waitFor('the menu bar', () => view.page.isVisible('#menubar .mtitle'));
}

async function stopApp() {
  if (view) await view.close();
  if (serve) await serve.stop();
  view = serve = null;
}

const settingsFile = () => join(fx.home, '.config', 'velmo', 'settings.json');
const autostart = () => join(fx.home, '.config', 'autostart', 'velmo.desktop');

// The open menu's item titled `title` (after opening the menu titled `menu`).
async function pick(page, menu, title, sub) {
  if (!(await page.isVisible('#menubar .mlist'))) await page.click(`#menubar .mtitle:text-is("${menu}")`);
  if (sub) await page.hover(`#menubar .msub > .mitem:has(.mname:text-is("${sub}"))`);
  return page.locator(`#menubar .mlist:visible .mitem:has(.mname:text-is("${title}"))`).last();
}
async function checked(page, menu, title, sub) {
  const item = await pick(page, menu, title, sub);
  const on = await item.getAttribute('aria-checked');
  await page.keyboard.press('Escape');
  await page.keyboard.press('Escape');
  return on;
}
async function choose(page, menu, title, sub) {
  await (await pick(page, menu, title, sub)).click();
}

test('against the application: check marks follow the settings, and a choice writes them', { skip: noBinary, timeout: 90000 }, async () => {
  fx = new FixtureHome();
  try {
    mkdirSync(join(fx.home, '.config', 'velmo'), { recursive: true });
    writeFileSync(settingsFile(), JSON.stringify({ relayAskPct: 77 }));
    await startApp({ VELMO_LANG: 'en' });
    const { page } = view;
    assert.deepEqual((await shownMenus(page)).map((m) => m.title), ['Velmo', 'View', 'document']);

    assert.equal(await checked(page, 'Velmo', 'Question notifications'), 'true');
    assert.equal(await checked(page, 'Velmo', 'at once', 'Notify only after waiting'), 'true');
    assert.equal(await checked(page, 'Velmo', '75%', 'Hand-off threshold'), 'true', 'a stored 77 shows as 75');
    assert.equal(await checked(page, 'Velmo', 'Open at Login'), 'false');
    // Items for the window alone are not offered here.
    await page.click('#menubar .mtitle:text-is("Velmo")');
    const names = await page.$$eval('#menubar .mlist:not([hidden]) .mname', (n) => n.map((x) => x.textContent));
    await page.keyboard.press('Escape');
    for (const gone of ['Quit Velmo', 'Hide Velmo', 'Hide Others']) assert.ok(!names.includes(gone), gone);

    await choose(page, 'Velmo', 'Question notifications');
    await waitFor('notifyOn stored false', () => fx.settings().notifyOn === false);
    await waitFor('the mark to clear', async () => (await checked(page, 'Velmo', 'Question notifications')) === 'false');

    await choose(page, 'Velmo', '80%', 'Hand-off threshold');
    await waitFor('relayAskPct stored 80', () => fx.settings().relayAskPct === 80);
    await waitFor('only 80 checked', async () => {
      await pick(page, 'Velmo', '80%', 'Hand-off threshold');
      const marks = await page.$$eval('#menubar .msub:has(.mname:text-is("Hand-off threshold")) > .mlist .mitem',
        (items) => items.map((i) => i.getAttribute('aria-checked')));
      await page.keyboard.press('Escape');
      await page.keyboard.press('Escape');
      return JSON.stringify(marks) === JSON.stringify(['false', 'false', 'false', 'false', 'true', 'false']);
    });

    await choose(page, 'Velmo', 'Open at Login');
    await waitFor('the autostart entry', () => existsSync(autostart()));
    await waitFor('the login mark', async () => (await checked(page, 'Velmo', 'Open at Login')) === 'true');
    await choose(page, 'Velmo', 'Open at Login');
    await waitFor('the autostart entry gone', () => !existsSync(autostart()));
    await waitFor('the login mark cleared', async () => (await checked(page, 'Velmo', 'Open at Login')) === 'false');
    assert.deepEqual(view.errors.map(String), []);
  } finally {
    await stopApp();
    fx.close();
  }
});

test('against the application: views open from the menu and its keys; About and the language switch are page modals', { skip: noBinary, timeout: 90000 }, async () => {
  fx = new FixtureHome();
  try {
    await startApp({ VELMO_LANG: 'en' });
    const { page } = view;
    const mode = (want) => waitFor(`the ${want} view`, async () => (await page.evaluate(() => document.body.dataset.mode)) === want);

    await choose(page, 'View', 'Capability book');
    await mode('book');
    await choose(page, 'View', 'Capability book');
    await mode('rack');
    await choose(page, 'View', 'Artifacts');
    await mode('works');
    await choose(page, 'View', 'Artifacts');
    await mode('rack');
    await choose(page, 'View', 'Background agents');
    await mode('crew');
    await choose(page, 'View', 'Background agents');
    await mode('rack');

    await page.evaluate(() => document.activeElement && document.activeElement.blur());
    await page.keyboard.press('Control+b');
    await mode('book');
    await page.keyboard.press('Control+b');
    await mode('rack');

    await choose(page, 'Velmo', 'About Velmo');
    await waitFor('the About modal', () => page.isVisible('#velmo-alert'));
    assert.equal(await page.textContent('#velmo-alert .velmo-alert-title'), 'Velmo');
    assert.match(await page.textContent('#velmo-alert .velmo-alert-text'), /Everything is read from disk/);
    await page.click('#velmo-alert .velmo-alert-button');
    await waitFor('the About modal to go', async () => !(await page.isVisible('#velmo-alert')));

    await choose(page, 'Velmo', 'מעבר לעברית');
    await waitFor('the language modal', () => page.isVisible('#velmo-alert'));
    assert.equal(await page.textContent('#velmo-alert .velmo-alert-title'), 'השפה הוחלפה');
    await screenshot(page, 'menu-language-modal.png');
    await page.click('#velmo-alert .velmo-alert-button');
    await waitFor('velmo.lang stored he', () => fx.settings()['velmo.lang'] === 'he');
    assert.deepEqual(view.errors.map(String), []);
  } finally {
    await stopApp();
    fx.close();
  }
});

test('against the application in Hebrew: the menu reads right to left with Hebrew titles', { skip: noBinary, timeout: 60000 }, async () => {
  fx = new FixtureHome();
  try {
    await startApp({ VELMO_LANG: 'he' });
    const { page } = view;
    const titles = (await shownMenus(page)).map((m) => m.title);
    assert.deepEqual(titles.slice(1), ['תצוגה', 'מסמך']);
    assert.equal(await page.$eval('#menubar', (b) => getComputedStyle(b).direction), 'rtl');
    const first = await page.$eval('#menubar .mtop:nth-child(1)', (t) => t.getBoundingClientRect().right);
    const second = await page.$eval('#menubar .mtop:nth-child(2)', (t) => t.getBoundingClientRect().right);
    assert.ok(first > second, 'the first menu stands rightmost');
    await page.click('#menubar .mtop:nth-child(2) .mtitle');
    await screenshot(page, 'menu-serve-he.png');
  } finally {
    await stopApp();
    fx.close();
  }
});
