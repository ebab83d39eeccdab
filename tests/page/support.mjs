// Shared helpers of the page tests: a real chromium, and the page from one of two sources.
//
//   local  the page files of this tree put together as the application does (the
//          placeholders filled, style and script inlined, its policy first) and served
//          from a routed URL; the bridge is a recorder, and tests paint crafted payloads
//          themselves.
//   serve  `velmo --serve --no-open` started by startServe() (VELMO_BINARY by default),
//          its URL passed as options.url; the application paints, the recorder still sees
//          every message the page posts.

import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { readFileSync, mkdirSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';

const here = dirname(fileURLToPath(import.meta.url));
export const root = join(here, '..', '..');
export const artifacts = join(here, 'artifacts');

// A part list of the page as the build joins it: the files it names, in its order, each
// ending its line. scripts.txt makes the script, styles.txt the style sheet.
export function pageJoined(list) {
  const read = (name) => readFileSync(join(root, 'page', name), 'utf8');
  return read(list).split('\n').map((l) => l.trim()).filter((l) => l && !l.startsWith('#'))
    .map((name) => { const text = read(name); return text.endsWith('\n') ? text : text + '\n'; })
    .join('');
}

// The same filling as Page::document(): one pass over the template, so inserted text is
// never searched for placeholders.
export function pageDocument(lang = 'en') {
  const read = (name) => readFileSync(join(root, 'page', name), 'utf8');
  const labels = JSON.parse(read('labels.json'));
  const fills = {
    lang: lang === 'he' ? 'he' : 'en',
    dir: lang === 'he' ? 'rtl' : 'ltr',
    labels: JSON.stringify(labels[lang === 'he' ? 'he' : 'en']).replaceAll('</', '<\\/'),
    style: pageJoined('styles.txt'),
    script: pageJoined('scripts.txt'),
  };
  const filled = read('index.html').replace(/\{\{([a-z]+)\}\}/g, (m, k) => (k in fills ? fills[k] : m));
  const langScript = `<script>window.velmoLang="${fills.lang}";</script>`;
  return withPolicy(filled.replace('<head>', '<head>' + langScript));
}

// The Content-Security-Policy Page::policy() gives a document: its attribute-less inline
// scripts and style sheets by their SHA-256, and nothing else.
export function policyFor(html, connect = '') {
  const found = { script: [], style: [] };
  for (const m of html.matchAll(/<(script|style)>([\s\S]*?)<\/\1>/g)) found[m[1]].push(m[2]);
  const sources = (bodies) => {
    const all = [...new Set(bodies.map((b) => `'sha256-${createHash('sha256').update(b.replace(/\r\n?/g, '\n'), 'utf8').digest('base64')}'`))];
    return all.length ? all.join(' ') : "'none'";
  };
  return `default-src 'none'; script-src ${sources(found.script)}; style-src ${sources(found.style)}; ` +
    `img-src data:; connect-src ${connect || "'none'"}; object-src 'none'; base-uri 'none'; form-action 'none'`;
}

// The document with its policy first in <head>, as Page::document() places it.
export function withPolicy(html, connect = '') {
  const meta = `<meta http-equiv="Content-Security-Policy" content="${policyFor(html, connect)}">`;
  return html.replace('<head>', '<head>' + meta);
}

// The policy a document carries in its meta element ('' for none).
export function policyOf(html) {
  const m = html.match(/<meta http-equiv="Content-Security-Policy" content="([^"]*)">/);
  return m ? m[1] : '';
}

// Playwright refuses --user-data-dir and gives each launch a fresh empty profile folder of
// its own instead. Each page gets a context of its own: a fake clock belongs to a context.
export async function launch() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
}

// Records every message the page posts. In browser mode the application's shim later
// installs its own handler (replacing window.webkit, its messageHandlers or just their
// velmo); every one of those setters keeps the recorder in front of what is installed.
function recorder() {
  window.__sent = [];
  const wrap = (handler) => ({
    postMessage(msg) {
      window.__sent.push(JSON.parse(JSON.stringify(msg)));
      if (handler && handler.postMessage) handler.postMessage(msg);
    },
  });
  let velmo = wrap(null);
  const handlers = {};
  Object.defineProperty(handlers, 'velmo', {
    configurable: true, enumerable: true, get: () => velmo, set: (v) => { velmo = wrap(v); },
  });
  const adopt = (v) => {
    for (const [k, h] of Object.entries(v || {})) {
      if (h !== handlers[k]) handlers[k] = h;
    }
  };
  const webkit = {};
  Object.defineProperty(webkit, 'messageHandlers', {
    configurable: true, enumerable: true, get: () => handlers, set: adopt,
  });
  Object.defineProperty(window, 'webkit', {
    configurable: true,
    get: () => webkit,
    set: (v) => { if (v && v !== webkit) adopt(v.messageHandlers); },
  });
}

// Counts the paints the application makes (through window.velmoCalls, the registry the
// served page's bridge calls by name); a test's own paint() calls window.paint and is not
// counted. A test that means "across the application's repaints" waits on this count.
function paintCount() {
  window.__paints = 0;
  let calls;
  Object.defineProperty(window, 'velmoCalls', {
    configurable: true,
    enumerable: true,
    get: () => calls,
    set: (v) => {
      if (!v || typeof v.paint !== 'function') { calls = v; return; }
      const paint = v.paint;
      calls = Object.freeze(Object.assign({}, v, {
        paint(...args) { const r = paint.apply(this, args); window.__paints++; return r; },
      }));
    },
  });
}

// Keeps every report of the page's policy blocking something, from the first script on.
function policyWatch() {
  window.__violations = [];
  document.addEventListener('securitypolicyviolation', (e) => {
    window.__violations.push({ directive: e.effectiveDirective, blocked: e.blockedURI, sample: e.sample });
  });
}

// Starts `velmo --serve --no-open` and gives its URL (the first line it prints), what it
// has said on standard error so far, and a stop that waits for it to end.
export async function startServe({ binary = process.env.VELMO_BINARY, env = {}, args = [] } = {}) {
  const child = spawn(binary, ['--serve', '--no-open', ...args], {
    env: Object.assign({}, process.env, env),
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let said = '';
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (text) => { said += text; });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const lines = createInterface({ input: child.stdout });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('velmo --serve printed no URL')), 15000);
    lines.once('line', (line) => { clearTimeout(timer); resolve(line.trim()); });
    child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`velmo exited ${code}: ${said}`)); });
  });
  const stop = async () => {
    if (child.exitCode !== null || child.signalCode !== null) return;
    child.kill('SIGTERM');
    const late = setTimeout(() => child.kill('SIGKILL'), 5000);
    await exited;
    clearTimeout(late);
  };
  return { url, pid: child.pid, stderr: () => said, stop };
}

// Opens the page. options: { lang, url, clock, init, viewport } — without url, the local
// document; init, a function run in the page before its scripts.
export async function openPage(browser, options = {}) {
  const context = await browser.newContext({ viewport: options.viewport || { width: 1280, height: 760 } });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e));
  await page.addInitScript(recorder);
  await page.addInitScript(policyWatch);
  await page.addInitScript(paintCount);
  if (options.init) await page.addInitScript(options.init);
  if (options.clock) await page.clock.install({ time: new Date('2026-12-08T10:00:00Z') });
  if (options.url) {
    await page.goto(options.url);
  } else {
    const html = pageDocument(options.lang || 'en');
    await page.route('http://velmo.test/**', (route) =>
      route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: html }));
    await page.goto('http://velmo.test/');
  }
  // An installed clock still flows with real time; a paused one moves only when told.
  if (options.clock) await page.clock.pauseAt(new Date('2026-12-08T10:01:00Z'));
  return {
    page,
    errors,
    sent: () => page.evaluate(() => window.__sent.slice()),
    clearSent: () => page.evaluate(() => { window.__sent.length = 0; }),
    paint: (data) => page.evaluate((d) => window.paint(d), data),
    violations: () => page.evaluate(() => window.__violations.slice()),
    paints: () => page.evaluate(() => window.__paints),
    // Served pages: asks the application for a fresh paint (the logo's "refresh", which
    // paints even an unchanged picture, and re-sorts the rack) `times` times over, each
    // awaited until painted.
    repaint: async (times = 1) => {
      for (let i = 0; i < times; i++) {
        const before = await page.evaluate(() => window.__paints);
        // Posted as the logo would, and kept out of the record of what the page sent.
        await page.evaluate(() => {
          window.webkit.messageHandlers.velmo.postMessage({ act: 'refresh' });
          window.__sent.pop();
        });
        await waitFor(`the application's repaint ${i + 1} of ${times}`,
          async () => (await page.evaluate(() => window.__paints)) > before, 30, 100,
          () => `${before} paints before asking`);
      }
    },
    close: () => context.close(),
  };
}

// Runs `body` with a page of its own (see openPage) and closes it after; the page must not
// have thrown, unless options.allowErrors, nor had anything blocked by its policy.
export async function withPage(browser, options, body) {
  const p = await openPage(browser, options);
  try {
    await body(p);
    if (!options.allowErrors) assert.deepEqual(p.errors.map(String), [], 'the page threw');
    assert.deepEqual(await p.violations(), [], 'the page\'s policy blocked something');
  } finally {
    await p.close();
  }
}

export async function screenshot(page, name) {
  mkdirSync(artifacts, { recursive: true });
  const path = join(artifacts, name);
  await page.screenshot({ path, fullPage: false });
  return path;
}

// ---- payloads ----

export function unit(fields) {
  return Object.assign({
    tty: '/dev/pts/' + Number(fields.slot || '1'),
    sid: 'sid-' + (fields.slot || '1'),
    slot: '001',
    state: 'quiet',
    stateLabel: 'idle',
    title: 'terminal',
    say: '',
    path: '~/work',
    age: 'now',
    model: '',
    agents: 0,
    moved: 0,
    chain: '',
    relay: '',
    relayAgents: 0,
    relayShell: false,
    stamp: '0|',
    share: 0,
    output: 0,
    context: '',
    full: 0,
  }, fields);
}

export function rack(units, extra = {}) {
  return Object.assign({ units, clock: '10:42', alerts: [] }, extra);
}

// Asks `check` every `every` ms until it gives a truthy value (which it returns) or
// `seconds` pass (then it throws, naming `what` and what was there instead: the last falsy
// value `check` gave, and what `seen()` says if given). The limits are generous on purpose:
// a loaded machine is slow, never wrong, and a condition that holds returns at once.
export async function waitFor(what, check, seconds = 30, every = 100, seen = null) {
  const started = Date.now();
  const until = started + seconds * 1000;
  for (;;) {
    const got = await check();
    if (got) return got;
    if (Date.now() > until) {
      let saw = got === false || got === undefined ? '' : ` (last check gave ${JSON.stringify(got)})`;
      if (seen) {
        const said = await Promise.resolve().then(seen).catch((e) => `(could not look: ${e.message})`);
        saw += `; seen: ${typeof said === 'string' ? said : JSON.stringify(said)}`;
      }
      throw new Error(`timed out after ${((Date.now() - started) / 1000).toFixed(1)} s waiting for ${what}${saw}`);
    }
    await new Promise((r) => setTimeout(r, every));
  }
}
