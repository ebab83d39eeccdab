// The page types into every terminal and shows text from anywhere, so markup hidden in that
// text must run nothing: not while the renderer escapes it, and not when it slips through
// as markup either. A transcript and a document in the reader carry an image with an error
// handler, a script element and a javascript: link; the served page is checked as it
// shows them, then with the text forced back into markup. Every payload would leave its
// name in window.__ran; a page without the policy shows that the forced markup does run.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, waitFor, policyFor, policyOf } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

const ran = (what) => `(window.__ran=window.__ran||[]).push('${what}')`;
const hostile = [
  `An image: <img src=x onerror="${ran('img')}">`,
  `A script: <script>${ran('script')}</script>`,
  `A link: <a href="javascript:${ran('link')}">open me</a>`,
  `A Markdown link: [open me](javascript:${ran('md')})`,
].join('\n\n');

let fx;
let browser;
let agent;
let docPath;

before(async () => {
  fx = new FixtureHome();
  agent = fx.addAgent({ title: `Notes <img src=x onerror="${ran('title')}">`, mood: 'wait', ago: 90, project: 'notes', say: hostile });
  mkdirSync(join(fx.home, 'notes'), { recursive: true });
  docPath = join(fx.home, 'notes', 'hostile.md');
  writeFileSync(docPath, '# Found on the web\n\n' + hostile + '\n');
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  if (fx) fx.close();
});

// A served page of its own (with `args`, e.g. a document to show), closed after `body`.
async function served(args, body) {
  const serve = await startServe({ env: fx.env({ VELMO_LANG: 'en' }), args });
  let view;
  try {
    view = await openPage(browser, { url: serve.url });
    await body(view, serve);
  } finally {
    if (view) await view.close();
    await serve.stop();
  }
}

// Turns the text shown in each box back into live markup, as an escaping slip would: the
// boxes' text becomes elements, a script among them as one the parser made (so it would
// run), then the page follows the javascript: link as a click on it would. Gives the
// names the payloads left.
async function slip(page, selector, settled = allBlocked) {
  await page.evaluate((sel) => {
    for (const box of document.querySelectorAll(sel)) {
      const range = document.createRange();
      range.selectNodeContents(box);
      box.replaceChildren(range.createContextualFragment(box.textContent));
    }
  }, selector);
  const link = await page.$(`${selector} a[href^="javascript:"]`);
  assert.ok(link, 'the forced markup holds the link');
  await page.evaluate((a) => { location.href = a.href; }, link);
  // The broken image reports its error, and a followed link runs, a moment later: each
  // either runs or is reported blocked, and `settled` says when all of them have.
  await waitFor('every payload to run or be blocked', () => settled(page), 30, 100,
    () => page.evaluate(() => ({ ran: window.__ran || [], blocked: window.__violations || [] })));
  return page.evaluate(() => window.__ran || []);
}

// Whether the image's handler, the script element and the link have each been stopped by
// the policy (what assertBlocked asks for).
async function allBlocked(page) {
  const directives = (await page.evaluate(() => window.__violations)).map((v) => v.directive);
  return directives.includes('script-src-attr') && directives.filter((d) => d === 'script-src-elem').length >= 2;
}

// The escaped payloads show as the text they are, and none became an element.
async function shownAsText(page, selector) {
  const text = await page.$$eval(selector, (boxes) => boxes.map((b) => b.textContent).join('\n'));
  for (const piece of ['<img src=x onerror=', '<script>', '<a href="javascript:', 'javascript:'])
    assert.ok(text.includes(piece), `shown as text: ${piece}`);
  const live = await page.$$eval(`${selector} img, ${selector} script, ${selector} a[href^="javascript:"]`, (n) => n.length);
  assert.equal(live, 0, 'no payload became an element');
}

// Each payload was stopped by the policy and said so: the handler and the script element,
// and the javascript: address among the script reports; the image's own address too.
function assertBlocked(violations) {
  const said = JSON.stringify(violations);
  const directives = violations.map((v) => v.directive);
  assert.ok(directives.includes('script-src-attr'), `the error handler: ${said}`);
  assert.ok(directives.filter((d) => d === 'script-src-elem').length >= 2, `the script element and the link: ${said}`);
  for (const d of directives) assert.match(d, /^(script-src-attr|script-src-elem|img-src)$/, said);
}

test('the served page carries its policy in the document and as a header', async () => {
  await served([], async (view, serve) => {
    const response = await fetch(serve.url);
    assert.equal(response.status, 200);
    const html = await response.text();
    const meta = policyOf(html);
    assert.ok(meta, 'the document has a policy meta element');
    assert.ok(html.indexOf('Content-Security-Policy') < html.indexOf('<script>'), 'the policy comes before every script');
    assert.equal(response.headers.get('content-security-policy'), meta + "; frame-ancestors 'none'");

    // The digests name exactly the scripts and the style sheet served, the bridge with its
    // token among them, and the bridge may reach only its own server.
    const port = new URL(serve.url).port;
    const connect = `ws://127.0.0.1:${port} ws://localhost:${port}`;
    assert.equal(meta, policyFor(html.replace(/<meta http-equiv="Content-Security-Policy"[^>]*>/, ''), connect));
    assert.doesNotMatch(meta, /unsafe-inline|unsafe-eval|\*/);
    for (const rule of ["default-src 'none'", "object-src 'none'", "base-uri 'none'", 'img-src data:'])
      assert.ok(meta.includes(rule), rule);

    // Under it the page runs, reaches its bridge and is painted.
    const { page } = view;
    await waitFor('the rack to paint the agent', () => page.isVisible(`#rack .unit[data-tty="${agent.tty}"]`));
    assert.deepEqual(await view.violations(), []);
    assert.deepEqual(view.errors.map(String), []);

    const refused = await fetch(serve.url.replace('/?', '/nothing?'));
    assert.equal(refused.status, 404);
    assert.equal(refused.headers.get('content-security-policy'), "default-src 'none'; frame-ancestors 'none'");
  });
});

test('markup in a conversation runs nothing, shown or slipped', async () => {
  await served([], async (view) => {
    const { page } = view;
    const row = `#rack .unit[data-tty="${agent.tty}"]`;
    await waitFor('the agent on the rack', () => page.isVisible(row));
    await page.click(`${row} .title`);
    const reply = '#chatview .turn.agent .body';
    await waitFor('the reply in the conversation', async () =>
      (await page.$$eval(reply, (b) => b.map((x) => x.textContent).join(''))).includes('A script'));

    await shownAsText(page, reply);
    assert.deepEqual(await page.evaluate(() => window.__ran || []), []);
    assert.deepEqual(await view.violations(), [], 'escaped text tried nothing');
    assert.equal(fx.pageErrors(), '');

    // A real click on a javascript: link goes to the page's own handler, never to the link.
    assert.deepEqual(await slip(page, reply), []);
    await view.clearSent();
    await page.click(`${reply} a[href^="javascript:"]`);
    // The page's handler takes the click and asks the application for what the link names.
    await waitFor('the page to take the click', async () => (await view.sent()).some((m) => m.act === 'openDoc'),
      30, 100, view.sent);
    assert.deepEqual(await page.evaluate(() => window.__ran || []), []);
    assertBlocked(await view.violations());
    assert.deepEqual(view.errors.map(String), []);
    // The page tells the application, which keeps it in the page's error log.
    await waitFor('the blocked payloads in the page error log', () => /blocked by the page's policy: script-src-attr/.test(fx.pageErrors()), 30,
      100, () => fx.pageErrors());
  });
});

test('markup in a document in the reader runs nothing, shown or slipped', async () => {
  await served([docPath], async (view) => {
    const { page } = view;
    const body = '.docpane .docbody';
    await waitFor('the document in the reader', async () =>
      (await page.isVisible(body)) && (await page.textContent(body)).includes('A script'));

    await shownAsText(page, body);
    assert.equal(await page.textContent(`${body} h3`), 'Found on the web', 'the Markdown itself is rendered');
    assert.deepEqual(await page.evaluate(() => window.__ran || []), []);
    assert.deepEqual(await view.violations(), []);

    assert.deepEqual(await slip(page, body), []);
    assertBlocked(await view.violations());
    assert.deepEqual(view.errors.map(String), []);
  });
});

// Without this, the tests above could pass because forced markup never runs anyway.
test('the same slip on a page without the policy runs every payload', async () => {
  const context = await browser.newContext();
  try {
    const page = await context.newPage();
    await page.route('http://plain.test/**', (route) => route.fulfill({
      status: 200, contentType: 'text/html; charset=utf-8', body: '<!doctype html><div class="md"></div>' }));
    await page.goto('http://plain.test/');
    await page.evaluate((t) => { document.querySelector('.md').textContent = t; }, hostile);
    const ranAll = async (p) => (await p.evaluate(() => (window.__ran || []).length)) >= 3;
    assert.deepEqual((await slip(page, '.md', ranAll)).sort(), ['img', 'link', 'script']);
  } finally {
    await context.close();
  }
});
