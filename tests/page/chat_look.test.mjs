// A lived-in conversation in both languages, saved under artifacts/ for a person to look
// at: the plain log, the folded log with a find, a question, and a document beside it.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openPage, screenshot } from './support.mjs';
import { chat, chatPaint, line, tool, pendingLine } from './chat_support.mjs';

const T = {
  en: {
    title: 'Login page redesign', working: 'working', ctx: '153k context',
    ask1: 'The login button looks washed out on the dark theme. Can you make it stand out, and keep the focus ring visible?',
    read: 'Read', edit: 'Edit', bash: 'Bash', grep: 'Search',
    reply1: 'I changed the button in `src/login/Button.tsx`:\n\n- the background is now the **brand green** (#2f9e62)\n- the focus ring uses `outline-offset: 2px` so it clears the border\n\n| state | before | after |\n|---|---|---|\n| normal | 2.1:1 | 4.8:1 |\n| hover | 2.4:1 | 5.3:1 |\n\nThe screenshot is in /home/u/shop/shots/login.png.',
    ask2: 'Great. Now run the whole test suite and tell me what fails.',
    reply2: 'All **212 tests** pass. Two snapshot files were updated:\n\n1. `login.snap`\n2. `header.snap`\n\nShall I commit?',
    sent: 'Yes, commit it with a short message',
    q: 'Which branch should the commit go to?', c1: 'main', c2: 'design/login', d1: 'Straight to the main line', d2: 'A branch of its own',
    doc: '# Login page\n\n## Goals\n\n- contrast of **4.5:1** or better\n- a focus ring on every control\n\n## Open questions\n\n> Should the button keep its rounded corners?\n',
    docName: '~/Documents/claude/login-notes.md', query: 'focus ring', files: 'Files',
  },
  he: {
    title: 'עיצוב מחדש של דף הכניסה', working: 'עובד', ctx: '153k הקשר',
    ask1: 'כפתור הכניסה נראה דהוי בערכת הנושא הכהה. אפשר להבליט אותו ולהשאיר את טבעת המיקוד גלויה?',
    read: 'קורא קובץ', edit: 'עורך קובץ', bash: 'מריץ פקודה', grep: 'מחפש',
    reply1: 'שיניתי את הכפתור ב-`src/login/Button.tsx`:\n\n- הרקע עכשיו **ירוק המותג** (#2f9e62)\n- טבעת המיקוד משתמשת ב-`outline-offset: 2px` כדי שלא תיגע במסגרת\n\n| מצב | לפני | אחרי |\n|---|---|---|\n| רגיל | 2.1:1 | 4.8:1 |\n| ריחוף | 2.4:1 | 5.3:1 |\n\nצילום המסך נמצא ב-/home/u/shop/shots/login.png.',
    ask2: 'מצוין. עכשיו להריץ את כל הבדיקות ולספר לי מה נכשל.',
    reply2: 'כל **212 הבדיקות** עוברות. שני קובצי תמונת־מצב עודכנו:\n\n1. `login.snap`\n2. `header.snap`\n\nלבצע קומיט?',
    sent: 'כן, קומיט עם הודעה קצרה',
    q: 'לאיזה ענף ללכת עם הקומיט?', c1: 'main', c2: 'design/login', d1: 'ישר לקו הראשי', d2: 'ענף נפרד',
    doc: '# דף הכניסה\n\n## מטרות\n\n- ניגודיות של **4.5:1** לפחות\n- טבעת מיקוד לכל פקד\n\n## שאלות פתוחות\n\n> האם הכפתור ישמור על הפינות המעוגלות?\n',
    docName: '~/Documents/claude/login-notes.md', query: 'טבעת המיקוד', files: 'קבצים',
  },
};

function conversationOf(lang) {
  const t = T[lang];
  const lines = [
    line('you', t.ask1, 0),
    tool(t.grep, 'Button', 12),
    tool(t.read, 'src/login/Button.tsx', 15),
    tool(t.edit, 'src/login/Button.tsx', 40),
    tool(t.bash, 'npm run lint', 55),
    line('claude', t.reply1, 70, { paths: ['/home/u/shop/shots/login.png'] }),
    line('you', t.ask2, 300),
    tool(t.bash, 'npm test', 320),
    line('claude', t.reply2, 400),
  ];
  return lines;
}

function payload(lang, extra = {}) {
  const t = T[lang];
  return chat(Object.assign({
    title: t.title, stateLabel: t.working, context: t.ctx, model: 'Opus',
    lines: conversationOf(lang).concat([pendingLine(t.sent)]),
    outputs: [{ path: '/home/u/shop/shots/login.png', n: 1, kind: 'image', when: '09:01', size: 48213 }],
    crew: [{ id: 'a1', task: lang === 'he' ? 'בודק נגישות' : 'Checking accessibility', state: 'run', stateLabel: lang === 'he' ? 'רץ' : 'running', doing: 'axe-core' }],
  }, extra));
}

const picture = 'data:image/svg+xml;base64,' + Buffer.from(
  '<svg xmlns="http://www.w3.org/2000/svg" width="520" height="150"><rect width="520" height="150" fill="#1b1f24"/>' +
  '<rect x="170" y="50" width="180" height="48" rx="10" fill="#2f9e62"/><text x="260" y="80" font-family="sans-serif" font-size="18" fill="#fff" text-anchor="middle">Sign in</text></svg>').toString('base64');

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

for (const lang of ['en', 'he']) {
  test(`the chat reads in ${lang}`, async () => {
    const p = await openPage(browser, { lang });
    const t = T[lang];
    try {
      const { page, paint } = p;
      await paint(chatPaint(payload(lang)));
      await page.evaluate((src) => window.setAsset({ path: '/home/u/shop/shots/login.png', kind: 'image', name: 'login.png', size: 48213, src }), picture);
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `the page is ${overflow}px wider than the window`);
      // The slot sits on the reading side: left in English, right in Hebrew.
      const side = await page.$eval('#chatview .cslot', (s) => (s.getBoundingClientRect().left > window.innerWidth / 2 ? 'right' : 'left'));
      assert.equal(side, lang === 'he' ? 'right' : 'left');
      await screenshot(page, `chat-${lang}.png`);

      // Folded, with a find from a search hit and a question waiting.
      const ask = { id: 'toolu_9', kind: 'ask', tty: '/dev/pts/3', expect: 'q-9b0e', freeRow: 3, since: lang === 'he' ? 'עכשיו' : 'now', paths: [],
        parts: [{ question: t.q, multi: false, choices: [{ n: '1', label: t.c1, detail: t.d1 }, { n: '2', label: t.c2, detail: t.d2 }] }] };
      await page.click('#chatview .ctools .fold');
      const lines = conversationOf(lang).concat([line('you', t.sent, 500)]);
      await paint(chatPaint(payload(lang, { lines, ask, state: 'wait' }),
        { find: { sid: 'sid-3', query: t.query, ts: lines[5].ts, role: 'claude', token: 1, ready: true } }));
      assert.equal(await page.locator('#chatview mark.hit.cur').count(), 1);
      await screenshot(page, `chat-${lang}-folded-find.png`);

      // A document beside the conversation, being edited.
      await page.keyboard.press('Escape');
      await page.click('#chatview .ctools .fold');
      const doc = { path: '/home/u/Documents/claude/login-notes.md', name: t.docName, note: '', warn: false, editing: false, text: t.doc, stamp: 1, paths: [] };
      await paint(chatPaint(payload(lang, { lines, ask })));
      await paint(chatPaint(payload(lang, { lines, ask }), { doc }));
      await screenshot(page, `chat-${lang}-doc.png`);
      assert.deepEqual(p.errors.map(String), []);
    } finally {
      await p.close();
    }
  });
}
