// The README's pictures, taken from the real application (`velmo --serve`) on the fixture
// home every time this runs, so they show the page as it is now: the rack of a lived-in
// machine, a conversation with its open question, and the spend view.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, root, startServe, waitFor } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

const docs = join(root, 'docs');
// Wide enough for the whole top bar.
const viewport = { width: 1366, height: 800 };
const day = 86400;

// What the conversation of the asking terminal said before its question.
const history = [
  { you: 'The login page still uses the old grey button. Make it match the new palette, and keep the tests green.' },
  { tool: 'Read', input: { file_path: 'src/login/LoginForm.tsx' }, result: 'export function LoginForm() { … }' },
  { tool: 'Grep', input: { pattern: '--button-', path: 'src/theme' }, result: 'src/theme/palette.css' },
  { claude: 'The button takes its colour from `--button-bg` in **src/theme/palette.css**. The palette has three candidates:\n\n1. the brand blue\n2. a green that reads as *go*\n3. an orange that stands out' },
  { tool: 'Bash', input: { command: 'npm test -- login' }, result: 'Tests: 14 passed, 14 total' },
  { claude: 'The tests pass as they are. Before I change the palette I need one decision from you.' },
];

// Width and height from a PNG's header.
function pngSize(file) {
  const data = readFileSync(file);
  assert.equal(data.subarray(1, 4).toString('latin1'), 'PNG', `${file} is a PNG`);
  return { width: data.readUInt32BE(16), height: data.readUInt32BE(20), bytes: data.length };
}

async function shoot(page, name) {
  // Let the rows finish moving in, so the picture holds still.
  await page.waitForTimeout(600);
  const path = join(docs, name);
  await page.screenshot({ path, fullPage: false });
  const size = pngSize(path);
  assert.deepEqual([size.width, size.height], [viewport.width, viewport.height], name);
  assert.ok(size.bytes < 400 * 1024, `${name} stays small: ${size.bytes} bytes`);
}

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

test('the README\'s pictures of the rack, a conversation and the spend view are taken afresh', { timeout: 120000 }, async (t) => {
  const fx = new FixtureHome();
  let serve;
  let view;
  try {
    fx.addAgent({ title: 'Login page redesign', mood: 'ask', ago: 40, project: 'shop', screen: 'ask-single.txt', history });
    fx.addAgent({ title: 'Deploy script', mood: 'run', ago: 25, project: 'infra', screen: 'perm-bash.txt', status: 'waiting' });
    fx.addAgent({ title: 'Flaky cart test', mood: 'run', ago: 10, project: 'api', say: 'Running the cart tests with the slow network stub.' });
    fx.addAgent({ title: 'Search index', mood: 'run', ago: 70, project: 'search', model: 'claude-sonnet-4-5', say: 'Rebuilding the index for the new fields.' });
    fx.addAgent({ title: 'Release notes', mood: 'wait', ago: 420, project: 'docs', say: 'The notes for 2.4 are drafted in CHANGES.md.' });
    fx.addAgent({ title: 'Old notes', mood: 'quiet', ago: 3 * day, project: 'notes' });
    fx.addAgent({ title: 'Billing export', mood: 'quiet', ago: 6 * day, project: 'billing' });
    mkdirSync(docs, { recursive: true });
    serve = await startServe({ env: fx.env({ VELMO_LANG: 'en' }) });
    view = await openPage(browser, { url: serve.url, viewport });
    const { page } = view;

    await waitFor('every row', async () => (await page.locator('#rack .unit[data-sid]:not([data-sid=""])').count()) === 7, 30, 250);
    await waitFor('the question on its row', async () =>
      (await page.locator('#rack .unit.ask .say', { hasText: 'Which colour should the login button be?' }).count()) === 1, 60, 250);
    await waitFor('the spend shares', async () => (await page.locator('#rack .unit .share').count()) >= 4, 60, 250);
    // An agent another program runs on this machine has a row too; on a machine shared with
    // other tests such rows come and go, and the picture is better taken without them.
    const strangers = () => page.locator('#rack .unit[data-sid=""]').count();
    await waitFor('other programs\' agents to end', async () => (await strangers()) === 0, 30, 500)
      .catch(async () => t.diagnostic(`the rack picture shows ${await strangers()} agents of other programs`));
    await shoot(page, 'rack.png');

    await page.click('#rack .unit:has-text("Login page redesign")');
    await waitFor('the conversation', async () => (await page.textContent('#chatview .ctitle').catch(() => '')) === 'Login page redesign', 60, 250);
    await waitFor('its lines', async () => (await page.locator('#chatview .turn.you').count()) >= 1, 60, 250);
    await shoot(page, 'chat.png');

    await page.click('#backbtn');
    await page.click('#spendbtn');
    await waitFor('the spend board', async () => (await page.locator('#spendview .spendrow').count()) >= 4, 60, 250);
    await page.click('#spendview .chip[data-span="week"]');
    await waitFor('the week', async () => (await page.locator('#spendview .spendrow').count()) >= 6, 60, 250);
    await shoot(page, 'spend.png');
    assert.equal(fx.pageErrors(), '');
  } finally {
    if (view) await view.close();
    if (serve) await serve.stop();
    fx.close();
  }
});
