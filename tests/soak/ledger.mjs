// What the model heard, read from the scripted API's log (one JSON request a line): the
// tools the agents called, the results they sent back for each call, and every user turn
// of their conversations. The log only grows, so it is read from where the last read
// stopped.

import { closeSync, openSync, readSync, statSync } from 'node:fs';

// The tools whose results are a person's answer.
export const ANSWERED_TOOLS = new Set(['AskUserQuestion', 'Bash', 'ExitPlanMode']);

const REMINDER = /<system-reminder>[\s\S]*?<\/system-reminder>/g;
const INTERRUPTED = /^\[Request interrupted by user for tool use\]$/;

// The agent names a session's plan file after the prompt that first asked for a plan, and
// keeps that name for every later plan of the session: a path, not a part of the answer.
const PLAN_FILE = /[^\s"]*\/\.claude\/plans\/[^\s"]+\.md/g;
const withoutPlanFiles = (text) => text.replace(PLAN_FILE, '');

function blockText(block) {
  const c = block.content;
  if (Array.isArray(c)) return c.map((b) => (b && typeof b.text === 'string' ? b.text : '')).join(' ');
  return c == null ? '' : String(c);
}

export class Ledger {
  constructor(path) {
    this.path = path;
    this.offset = 0;
    this.rest = '';
    this.uses = new Map();      // tool_use id -> { name, input, text }
    this.results = new Map();   // tool_use id -> { text, isError }
    this.userTexts = new Set(); // every user turn's own words, reminders taken out
    this.notes = new Map();     // tool_use id -> the note the agent sent with its refusal
  }

  // Reads what was appended since the last call.
  read() {
    let size;
    try { size = statSync(this.path).size; } catch { return; }
    if (size <= this.offset) return;
    const fd = openSync(this.path, 'r');
    try {
      const buf = Buffer.alloc(size - this.offset);
      readSync(fd, buf, 0, buf.length, this.offset);
      this.offset = size;
      const lines = (this.rest + buf.toString('utf8')).split('\n');
      this.rest = lines.pop();
      for (const line of lines) if (line.trim()) this.take(line);
    } finally {
      closeSync(fd);
    }
  }

  // One logged request. Only the conversations themselves count: the agent's side
  // requests (a title, a summary) are sent without tools.
  take(line) {
    let entry;
    try { entry = JSON.parse(line); } catch { return; }
    const body = entry && entry.body;
    if (!body || !Array.isArray(body.tools) || !body.tools.length) return;
    for (const m of Array.isArray(body.messages) ? body.messages : []) {
      if (!m || typeof m !== 'object') continue;
      const content = typeof m.content === 'string' ? [{ type: 'text', text: m.content }]
        : (Array.isArray(m.content) ? m.content : []);
      // A refused call comes back with the agent's own note beside it; that note is no
      // turn of the user.
      const refused = m.role === 'user' ? content.filter((b) => b && b.type === 'tool_result' && b.is_error === true).map((b) => b.tool_use_id) : [];
      for (const b of content) {
        if (!b || typeof b !== 'object') continue;
        if (m.role === 'assistant' && b.type === 'tool_use' && !this.uses.has(b.id)) {
          const text = JSON.stringify(b.input || {});
          this.uses.set(b.id, { name: b.name, input: b.input, text, own: withoutPlanFiles(text) });
        } else if (m.role === 'user' && b.type === 'tool_result' && !this.results.has(b.tool_use_id)) {
          this.results.set(b.tool_use_id, { text: blockText(b), isError: b.is_error === true });
        } else if (m.role === 'user' && b.type === 'text') {
          const words = String(b.text || '').replace(REMINDER, '').trim();
          if (refused.length && INTERRUPTED.test(words)) for (const id of refused) this.notes.set(id, words);
          else if (words) this.userTexts.add(words);
        }
      }
    }
  }

  // Whether a user turn holding `text` reached the model.
  heard(text) {
    for (const t of this.userTexts) if (t.includes(text)) return true;
    return false;
  }

  // Where in what the model heard `text` occurs: a user turn, a tool's result, a note
  // beside a refusal; '' when nowhere.
  mentions(text) {
    for (const t of this.userTexts) if (t.includes(text)) return 'a user turn';
    for (const [id, r] of this.results) if (r.text.includes(text)) return `the result of ${id}`;
    for (const [id, n] of this.notes) if (n.includes(text)) return `the note beside ${id}`;
    return '';
  }

  // The calls of answerable tools whose arguments carry `nonce`, each with its result
  // (null while none came back).
  callsFor(nonce) {
    const out = [];
    for (const [id, use] of this.uses) {
      if (ANSWERED_TOOLS.has(use.name) && use.own.includes(nonce)) out.push({ id, ...use, result: this.results.get(id) || null });
    }
    return out;
  }
}

// Whether `result` is the answer meant for a prompt: `want` as soak.mjs describes it.
// Gives '' when it is, else what is wrong with it. `others` are the nonces of every other
// prompt: an answer that names one of them belongs elsewhere.
export function judge(result, want, others = []) {
  if (!result) return 'no result';
  const text = result.text;
  const own = withoutPlanFiles(text);
  for (const n of others) if (own.includes(n)) return `it names another prompt's nonce ${n}`;
  if (want.pairs) {
    if (result.isError) return 'an error came back: ' + text.slice(0, 160);
    for (const pair of want.pairs) if (!text.includes(pair)) return `it lacks ${pair}: ${text.slice(0, 200)}`;
    return '';
  }
  if (want.approve) {
    if (result.isError || /doesn't want to proceed|rejected/i.test(text)) return 'refused: ' + text.slice(0, 160);
    if (want.holds && !text.includes(want.holds)) return `it lacks ${want.holds}: ${text.slice(0, 160)}`;
    return '';
  }
  return result.isError || /doesn't want to proceed|rejected/i.test(text) ? '' : 'taken as approval: ' + text.slice(0, 160);
}
