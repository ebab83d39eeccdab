// What the page sends never approves a command nobody approved: `velmo --serve` and the real
// agent (started with `--permission-mode default`, so it asks before running a command) in
// a private tmux server and a temporary home.
// - A message sent from the composer while the agent waits on a permission prompt is not
//   typed: the prompt stays, the command never runs, the composer says why and keeps the text.
// - Of two commands asked in one reply (two prompts in turn that differ only in the
//   command), Yes on the first one's card runs the first only; the second prompt stays.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, screenshot } from './support.mjs';
import { binary, skip, startAgent } from './agent-lab.mjs';

const REASON = 'The terminal is waiting on a question; answer it first';
const PROCEED = 'Do you want to proceed?';
// How long an answer's own check may still press keys after typing it (the settle step
// watches the screen for 9 s): a second command that has not run by then never will.
const SETTLE_SECONDS = 9;

let browser;
before(async () => {
  if (skip) return;
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
});

// An agent that asks before it runs a command, and a Velmo serving its home; both end with
// the test, so the next test's Velmo sees no agent of this one.
async function withAgent(prefix, body) {
  const lab = await startAgent({ args: ['--permission-mode', 'default'], prefix });
  try {
    lab.serve = await startServe({ binary, env: lab.env });
    const p = await openPage(browser, { url: lab.serve.url });
    try {
      await body(lab, p);
    } finally {
      await p.close();
    }
  } finally {
    if (lab.serve) await lab.serve.stop();
    lab.close();
  }
}

// Waits for `check`; on a timeout says what the agent's screen and the page showed.
async function until(lab, page, what, check, seconds = 30) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    if (await check()) return;
    if (Date.now() > deadline) {
      const shown = page ? await page.textContent('body').catch(() => '(no page)') : '';
      throw new Error(`timed out waiting for ${what}\n--- the agent's screen:\n${lab.screen()}\n` +
        `--- files in its folder: probe ${existsSync(join(lab.work, 'velmo-probe.txt'))}, ` +
        `one ${existsSync(join(lab.work, 'velmo-one.txt'))}, two ${existsSync(join(lab.work, 'velmo-two.txt'))}\n` +
        (page ? `--- the page:\n${shown.slice(0, 3000)}` : ''));
    }
    await new Promise((r) => setTimeout(r, 250));
  }
}

// Whether `file` stays away for `seconds`: evidence that nothing happens, so kept short.
async function staysAway(file, seconds) {
  const deadline = Date.now() + seconds * 1000;
  while (Date.now() < deadline) {
    if (existsSync(file)) return false;
    await new Promise((r) => setTimeout(r, 200));
  }
  return !existsSync(file);
}

// Types a prompt at the pane and presses Enter again when the agent dropped it.
async function submit(lab, text) {
  lab.type(text);
  for (let i = 0; i < 3; i++) {
    const deadline = Date.now() + 8000;
    while (Date.now() < deadline) {
      if (lab.apiLog().includes(text)) return;
      await new Promise((r) => setTimeout(r, 250));
    }
    lab.type('');
  }
}

test('a message from the composer over a permission prompt types nothing, says why and keeps the text', { skip, timeout: 240000 }, async () => {
  await withAgent('velmo-over-', async (lab, p) => {
    const { page } = p;
    await submit(lab, 'Please RUNCMD now');
    await until(lab, page, 'the permission prompt', () => lab.screen().includes(PROCEED)
      && lab.screen().includes('touch velmo-probe.txt'), 60);

    const row = '#rack .unit[data-sid]:not([data-sid=""])';
    await until(lab, page, 'the agent on the rack', async () => (await page.locator(row).count()) > 0, 60);
    await page.click(row);
    await page.waitForSelector('#chatview .chathead', { state: 'visible', timeout: 10000 });
    await until(lab, page, 'the composer to take text', async () => !(await page.isDisabled('#chatview .cfield')), 20);
    await page.click('#chatview .cfield');
    await page.keyboard.type('thanks');
    await page.keyboard.press('Enter');

    await until(lab, page, 'the page to say why nothing was sent',
      async () => page.getByText(REASON).first().isVisible().catch(() => false), 30);
    await until(lab, page, 'the composer to hold the text again',
      async () => (await page.inputValue('#chatview .cfield')) === 'thanks', 10);
    await screenshot(page, 'composer-over-prompt-en.png');

    // Nothing reached the terminal: the prompt waits as it was, the command did not run,
    // and the model never heard the words.
    assert.ok(await staysAway(join(lab.work, 'velmo-probe.txt'), 3), `the command ran:\n${lab.screen()}`);
    const screen = lab.screen();
    assert.ok(screen.includes(PROCEED) && screen.includes('touch velmo-probe.txt'), screen);
    assert.ok(!screen.includes('thanks'), screen);
    assert.ok(!lab.apiLog().includes('"thanks'), 'the model heard the message');
  });
});

test('Yes on the card of the first of two commands runs that one only; the second prompt stays', { skip, timeout: 240000 }, async () => {
  await withAgent('velmo-twocmd-', async (lab, p) => {
    const one = join(lab.work, 'velmo-one.txt');
    const two = join(lab.work, 'velmo-two.txt');
    const { page } = p;
    await page.click('#asksbtn');
    await page.waitForSelector('#asksview', { state: 'visible', timeout: 10000 });
    await submit(lab, 'Please TWOCMD now');

    // The two prompts' cards differ only in the command they show, and in their keys,
    // which hold the id of the question on screen.
    const cards = page.locator('#asksview .askcard');
    const first = cards.filter({ hasText: 'touch velmo-one.txt' });
    await until(lab, page, 'the first command\'s card', async () => (await first.count()) === 1, 60);
    const firstKey = await first.getAttribute('data-key');
    const yes = first.locator('.part:not(.later) .choice').first();
    assert.equal(await yes.locator('.label').textContent(), 'Yes');
    await yes.click();

    await until(lab, page, 'the first command to run', () => existsSync(one), 30);
    await until(lab, page, 'the second prompt on screen', () => lab.screen().includes(PROCEED)
      && lab.screen().includes('touch velmo-two.txt'), 30);
    const second = page.locator(`#asksview .askcard:not([data-key="${firstKey}"])`).filter({ hasText: 'touch velmo-two.txt' });
    await until(lab, page, 'the second command\'s card', async () => (await second.count()) === 1, 30);

    // Nobody approved the second command: it never runs, and its prompt stays for its own answer.
    assert.ok(await staysAway(two, SETTLE_SECONDS), `the second command ran:\n${lab.screen()}`);
    const screen = lab.screen();
    assert.ok(screen.includes(PROCEED) && screen.includes('touch velmo-two.txt'), screen);
    assert.equal(await second.count(), 1, await page.textContent('#asksview'));
    // The answer to the first card went through without a complaint.
    assert.equal(await page.locator('#velmo-alert').isVisible(), false,
      await page.locator('#velmo-alert').textContent().catch(() => ''));
    await screenshot(page, 'two-commands-second-waits-en.png');
    assert.deepEqual(p.errors.map(String), []);
  });
});
