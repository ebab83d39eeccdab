// A lived-in rack in both languages, saved under artifacts/ for a person to look at, with
// the few layout facts a picture should never lose.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openPage, rack, unit, screenshot } from './support.mjs';

const texts = {
  en: {
    ask: 'asking you', run: 'working', wait: 'waiting for you', quiet: 'idle', plan: 'wants approval',
    q: 'Which colour should the login button be?', running: 'Running tests', edit: 'Editing src/cart.ts',
    done: 'The migration is in place and the tests pass.', none: 'not responding',
    noRecord: 'Claude Code keeps no record of this process. It is probably stuck or gone.',
    ago: (n, u) => `${n}${u} ago`, now: 'now', approve: 'Approve the plan and start building?',
  },
  he: {
    ask: 'שואל אותך', run: 'עובד', wait: 'ממתין לך', quiet: 'דומם', plan: 'מבקש אישור',
    q: 'באיזה צבע יהיה כפתור הכניסה?', running: 'מריץ בדיקות', edit: 'עורך את src/cart.ts',
    done: 'ההגירה במקומה והבדיקות עוברות.', none: 'לא מגיב',
    noRecord: 'אין לקלוד־קוד רישום של התהליך הזה. כנראה נתקע או נסגר.',
    ago: (n, u) => `לפני ${n}${{ m: 'ד', h: 'ש', d: 'י' }[u]}`, now: 'עכשיו', approve: 'לאשר את התוכנית ולהתחיל לבנות?',
  },
};

function board(lang) {
  const t = texts[lang];
  const ask = { kind: 'ask', tty: '/dev/pts/3', parts: [{ question: t.q, choices: [] }] };
  const plan = { kind: 'plan', tty: '/dev/pts/12', parts: [{ question: t.approve }] };
  return rack([
    unit({ slot: '003', sid: 's3', state: 'ask', stateLabel: t.ask, title: 'Login page redesign', ask, path: '~/shop', model: 'Opus', context: '153k', full: 0.153, share: 0.21, age: t.now }),
    unit({ slot: '012', sid: 's12', state: 'ask', stateLabel: t.plan, title: 'Billing export', ask: plan, say: '', path: '~/billing', model: 'Opus', context: '612k', full: 0.612, ctxLevel: 'warn', age: t.ago(2, 'm') }),
    unit({ slot: '007', sid: 's7', state: 'run', stateLabel: t.run, title: 'Cart totals', say: t.edit, path: '~/shop', model: 'Sonnet', agents: 2, context: '88k', full: 0.088, share: 0.34, age: t.now }),
    unit({ slot: '021', sid: 's21', state: 'run', stateLabel: t.run, title: 'Search index', say: t.running, path: '~/search', model: 'Opus', context: '790k', full: 0.79, ctxLevel: 'ask', relay: 'ready', share: 0.12, age: t.now }),
    unit({ slot: '002', sid: 's2', state: 'wait', stateLabel: t.wait, title: 'Database migration', say: t.done, path: '~/billing', model: 'Opus', context: '41k', full: 0.041, share: 0.04, age: t.ago(6, 'm') }),
    unit({ slot: '015', sid: 's15', state: 'quiet', stateLabel: t.quiet, title: 'Notes', say: 'OK.', path: '~/notes', model: 'Haiku', context: '9k', full: 0.009, age: t.ago(3, 'h') }),
    unit({ slot: '009', sid: '', state: 'quiet', stateLabel: t.none, title: lang === 'he' ? 'מסוף 009' : 'terminal 009', say: t.noRecord, path: '', age: t.ago(1, 'd') }),
    unit({ slot: '004', sid: 's4', state: 'ask', stateLabel: t.ask, title: 'Docs site', ask, muted: true, path: '~/docs', model: 'Sonnet', context: '20k', full: 0.02, age: t.ago(12, 'm') }),
  ], { clock: '10:42' });
}

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

for (const lang of ['en', 'he']) {
  test(`the rack reads in ${lang}`, async () => {
    const p = await openPage(browser, { lang });
    try {
      await p.paint(board(lang));
      const dir = await p.page.getAttribute('html', 'dir');
      assert.equal(dir, lang === 'he' ? 'rtl' : 'ltr');
      // Every row fits the window: nothing runs off the side.
      const overflow = await p.page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `the page is ${overflow}px wider than the window`);
      // In Hebrew the slot column is on the right.
      const side = await p.page.$eval('#rack .unit .slot', (s) => {
        const r = s.getBoundingClientRect();
        return r.left + r.width / 2 > window.innerWidth / 2 ? 'right' : 'left';
      });
      assert.equal(side, lang === 'he' ? 'right' : 'left');
      await screenshot(p.page, `rack-${lang}.png`);
      await p.page.keyboard.press('2');
      await screenshot(p.page, `rack-${lang}-dial.png`);
      assert.deepEqual(p.errors.map(String), []);
    } finally {
      await p.close();
    }
  });
}

// The window opens at 940×620: every top-bar control must be there to click, not clipped.
for (const lang of ['en', 'he']) {
  test(`at the window's size every top-bar button shows in ${lang}`, async () => {
    const p = await openPage(browser, { lang });
    try {
      // The rack, then a view with every button out: "Wake all" with its count and "Back".
      for (const [width, payload] of [[940, board(lang)], [940, Object.assign(board(lang), { view: 'asks' })],
        [760, Object.assign(board(lang), { view: 'asks' })]]) {
        await p.page.setViewportSize({ width, height: 620 });
        await p.paint(payload);
        const clipped = await p.page.evaluate(() => {
          const box = document.querySelector('.actions').getBoundingClientRect();
          const out = [];
          for (const b of document.querySelectorAll('.actions .act')) {
            if (b.hidden) continue;
            const r = b.getBoundingClientRect();
            if (r.left < box.left - 0.5 || r.right > box.right + 0.5 || r.left < 0 || r.right > window.innerWidth) out.push(b.id);
          }
          const clock = document.querySelector('#clock').getBoundingClientRect();
          if (clock.left < 0 || clock.right > window.innerWidth) out.push('clock');
          return out;
        });
        assert.deepEqual(clipped, [], `${payload.view || 'rack'} at ${width} px`);
        if (payload.view) assert.equal(await p.page.isVisible('#backbtn'), true);
      }
      await screenshot(p.page, `window-size-${lang}.png`);
    } finally {
      await p.close();
    }
  });
}
