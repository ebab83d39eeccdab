// Chat payloads for the page tests, shaped as the application builds them: lines with
// "HH:mm" times and whole-second stamps, a key that changes whenever the visible content
// does, and the paint envelope around them.

const BASE = Date.parse('2026-12-08T09:00:00Z') / 1000;

function hhmm(ts) {
  const d = new Date(ts * 1000);
  return String(d.getUTCHours()).padStart(2, '0') + ':' + String(d.getUTCMinutes()).padStart(2, '0');
}

// One transcript line; `at` is seconds after 09:00.
export function line(role, text, at, extra = {}) {
  const ts = BASE + at;
  return Object.assign({ role, text, arg: '', when: hhmm(ts), ts, paths: [] }, extra);
}

export function tool(text, arg, at) {
  return line('tool', text, at, { arg });
}

// A line the application shows for a text sent but not yet in the transcript.
export function pendingLine(text) {
  return { role: 'you', text, arg: '', when: '', paths: [], pending: true };
}

export function chatKey(c) {
  const lines = c.lines.filter((l) => !l.pending);
  const last = lines.length ? lines[lines.length - 1].text : '';
  const q = c.ask && c.ask.parts && c.ask.parts[0] ? c.ask.parts[0].question : '';
  return [lines.length, c.atStart ? 1 : 0, last.slice(-120), c.lines.length - lines.length, c.ask && c.ask.id || '', q.slice(0, 40), c.context].join('|');
}

export function chat(fields = {}) {
  const c = Object.assign({
    sid: 'sid-3', tty: '/dev/pts/3', slot: '003', live: true, title: 'Login page redesign',
    state: 'run', stateLabel: 'working', model: 'Opus', context: '88k context', ctxLevel: '',
    relay: '', relayAgents: 0, relayShell: false, lines: [], crew: [], atStart: false,
    history: [], ask: {}, outputs: [],
  }, fields);
  if (!fields.key) c.key = chatKey(c);
  return c;
}

export function chatPaint(c, extra = {}) {
  return Object.assign({ units: [], clock: '10:42', alerts: [], chat: c }, extra);
}

// A long conversation: n exchanges, each a message of the user's, two actions and a reply.
export function conversation(n, lang = 'en', from = 0) {
  const words = lang === 'he'
    ? { ask: (i) => `בבקשה לבדוק את שלב ${i} של ההגירה`, read: 'קורא קובץ', run: 'מריץ פקודה',
      reply: (i) => `שלב ${i} עבר. **הבדיקות עוברות**, ויש הערה אחת:\n\n- העמודה \`total\` צריכה אינדקס\n- אין שינוי בממשק` }
    : { ask: (i) => `Please check step ${i} of the migration`, read: 'Read', run: 'Bash',
      reply: (i) => `Step ${i} is done. **The tests pass**, with one note:\n\n- the \`total\` column wants an index\n- the interface is unchanged` };
  const lines = [];
  for (let i = from; i < from + n; i++) {
    const at = i * 120;
    lines.push(line('you', words.ask(i + 1), at));
    lines.push(tool(words.read, `src/migrations/step${i + 1}.sql`, at + 20));
    lines.push(tool(words.run, 'npm test -- --grep migration', at + 40));
    lines.push(line('claude', words.reply(i + 1), at + 60));
  }
  return lines;
}
