// Many real answers, counted: several real agents in a private tmux server, one
// `velmo --serve` on a throwaway home, and prompts of every answerable kind posed one after
// another on each agent. Each is answered through one channel picked at random (the page in
// chromium, a notification's button on a private session bus, or velmo-q) with an answer
// picked at random, and the scripted model's log then says what the agent received.
// Some prompts are two in turn on one screen (two questions of a form; two commands of one
// reply, whose prompts differ only in the command): each gets its own answer, and the
// second command must not run before its own prompt is answered. While some prompts show,
// the page's composer sends the conversation a message, which must land nowhere.
//
//   SOAK_PROMPTS  how many prompts (200)      SOAK_AGENTS  agents at once (4)
//   SOAK_SEED     the seed of every choice; printed, so a run can be repeated
//   SOAK_KINDS, SOAK_CHANNELS   a comma-separated few of them, to look into one case
//   SOAK_KEEP     keep the temporary folder (home, API log) for a look afterwards
//   SOAK_STRAYS   the share of prompts over which the composer sends a message (0.25)
//
// Exit status 0 only when every prompt was answered, every answer reached the model,
// nothing reached a prompt it was not meant for, no channel said "answered" for an answer
// the model did not get, and no message from the composer landed anywhere.

import { execFile, spawn, spawnSync } from 'node:child_process';
import { createInterface } from 'node:readline';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync, unlinkSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launch, openPage, startServe, waitFor } from '../page/support.mjs';
import { binary, skip } from '../page/agent-lab.mjs';
import { Ledger, judge } from './ledger.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const lab = join(here, '..', 'agent-lab');
const velmoQ = join(dirname(binary), 'velmo-q');

const COUNT = Number(process.env.SOAK_PROMPTS || 200);
const AGENTS = Number(process.env.SOAK_AGENTS || 4);
const SEED = process.env.SOAK_SEED ? Number(process.env.SOAK_SEED) >>> 0 : (Date.now() ^ process.pid) >>> 0;

const only = (name, all) => (process.env[name] ? process.env[name].split(',').filter((x) => all.includes(x)) : all);
const KINDS = only('SOAK_KINDS', ['ASKME', 'MULTI', 'TWOQ', 'LONGASK', 'HEBREW', 'RUNCMD', 'TWOCMD', 'PLANME', 'PLANBARE']);
const CHANNELS = only('SOAK_CHANNELS', ['page', 'notification', 'velmo-q']);
const ASKS = new Set(['ASKME', 'MULTI', 'TWOQ', 'LONGASK', 'HEBREW']);
const STRAYS = process.env.SOAK_STRAYS !== undefined ? Number(process.env.SOAK_STRAYS) : 0.25;
// What the page says when the composer's message is not typed over a prompt.
const NOT_OVER_PROMPT = 'The terminal is waiting on a question; answer it first';

// Every choice of the run comes from this one generator, so a seed gives the same prompts,
// channels and answers again (which agent takes which prompt depends on timing).
function generator(seed) {
  let a = seed;
  return () => {
    a = (a + 0x6d2b79f5) | 0;
    let t = Math.imul(a ^ (a >>> 15), 1 | a);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}
const random = generator(SEED);
const pick = (list) => list[Math.floor(random() * list.length)];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const PROCEED = 'Do you want to proceed?';

// The questions as the scripted API asks them, from the API itself.
function scriptedQuestions() {
  const run = spawnSync('python3', ['-c', `
import importlib.util, json, sys
found = importlib.util.spec_from_file_location("m", sys.argv[1])
m = importlib.util.module_from_spec(found); found.loader.exec_module(m)
print(json.dumps(m.QUESTIONS))`, join(lab, 'model-api.py')], { encoding: 'utf8' });
  if (run.status !== 0) throw new Error('cannot read the scripted questions: ' + run.stderr);
  return JSON.parse(run.stdout);
}

// What a prompt of `kind` asks and which answer the soak gives: `picks` are option
// indices, one per question of a form; a permission is always approved once (option 1:
// the others would stop it asking again), each of two commands on its own. `stray`: the
// composer sends a message while the prompt shows.
function plan(questions) {
  const out = [];
  const nonces = new Set();
  for (let i = 0; i < COUNT; i++) {
    const kind = pick(KINDS);
    const channel = pick(CHANNELS);
    let nonce;
    do nonce = 'n' + Math.floor(random() * 36 ** 5).toString(36).padStart(5, '0'); while (nonces.has(nonce));
    nonces.add(nonce);
    let picks;
    if (ASKS.has(kind)) picks = questions[kind].map((q) => Math.floor(random() * q.options.length));
    else if (kind === 'RUNCMD') picks = [0];
    else if (kind === 'TWOCMD') picks = [0, 0];
    else picks = [Math.floor(random() * 2)];  // plan: auto or manual; bare: yes or no
    const stray = random() < STRAYS;
    out.push({ i: i + 1, kind, channel, nonce, picks, stray, claims: [], text: `SOAK ${kind} ${nonce}` });
  }
  return out;
}

function freePort() {
  return new Promise((resolve) => {
    const s = createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

function run(program, args, env, timeout = 120000) {
  return new Promise((resolve) => {
    execFile(program, args, { env, encoding: 'utf8', timeout, maxBuffer: 16 << 20 }, (error, stdout, stderr) => {
      let json = null;
      try { json = JSON.parse(stdout); } catch { /* left null */ }
      resolve({ status: error ? (typeof error.code === 'number' ? error.code : -1) : 0, stdout, stderr, json });
    });
  });
}

// One lock: the page has one pointer, and the approval modal covers the page.
function mutex() {
  let tail = Promise.resolve();
  return (body) => {
    const turn = tail.then(body, body);
    tail = turn.catch(() => {});
    return turn;
  };
}

// The private session bus with the mock notification server (notify-bus.py).
async function startBus() {
  const child = spawn('/usr/bin/python3', [join(here, 'notify-bus.py')], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = createInterface({ input: child.stdout });
  const waiting = [];
  lines.on('line', (line) => { const w = waiting.shift(); if (w) w(JSON.parse(line)); });
  const next = () => new Promise((resolve) => waiting.push(resolve));
  const first = await Promise.race([next(), sleep(20000).then(() => null)]);
  if (!first || !first.address) throw new Error('the notification server did not start (python3-dbusmock)');
  const ask = mutex();
  const call = (request) => ask(() => { const reply = next(); child.stdin.write(JSON.stringify(request) + '\n'); return reply; });
  return {
    address: first.address,
    shown: async () => (await call({ cmd: 'shown' })).calls || [],
    click: (id, action) => call({ cmd: 'click', id, action }),
    stop: () => new Promise((resolve) => { child.once('exit', resolve); child.stdin.end(); }),
  };
}

async function main() {
  if (skip) {
    console.log(`soak skipped: ${skip}`);
    return 0;
  }
  const started = Date.now();
  const questions = scriptedQuestions();
  const prompts = plan(questions);
  const allNonces = prompts.map((p) => p.nonce);
  console.log(`soak: seed ${SEED}, ${COUNT} prompts, ${AGENTS} agents (SOAK_SEED=${SEED} repeats it)`);

  const dir = mkdtempSync(join(tmpdir(), 'velmo-soak-'));
  const home = join(dir, 'home');
  const tmuxDir = join(dir, 'tmux');
  mkdirSync(tmuxDir, { recursive: true });
  mkdirSync(join(home, '.config', 'velmo'), { recursive: true });
  writeFileSync(join(home, '.config', 'velmo', 'settings.json'), JSON.stringify({ notifyMinWait: 0 }));
  const claude = spawnSync(join(lab, 'agent-path'), [], { encoding: 'utf8' }).stdout.trim();
  const bus = await startBus();
  const env = Object.assign({}, process.env, {
    HOME: home, TMUX_TMPDIR: tmuxDir, CLAUDE_BIN: claude, VELMO_LANG: 'en',
    XDG_CONFIG_HOME: join(home, '.config'), XDG_DATA_HOME: join(home, '.local', 'share'),
    DBUS_SESSION_BUS_ADDRESS: bus.address,
  });
  delete env.TMUX;
  delete env.CLAUDE_CONFIG_DIR;
  const tmux = (...args) => spawnSync('tmux', args, { env, encoding: 'utf8' });
  const ledger = new Ledger(join(home, 'fake_api.log'));
  // Velmo's own record of the answers it typed for a notification or velmo-q, one JSON a line.
  const answerRecords = () => {
    let text = '';
    try { text = readFileSync(join(home, '.claude', 'velmo-state', 'answers.log'), 'utf8'); } catch { return []; }
    return text.split('\n').filter(Boolean).map((l) => { try { return JSON.parse(l); } catch { return null; } }).filter(Boolean);
  };

  let browser, served, page;
  const agents = [];
  const cleanup = async () => {
    try { if (browser) await browser.close(); } catch { /* gone */ }
    try { if (served) await served.stop(); } catch { /* gone */ }
    const listed = tmux('list-panes', '-a', '-F', '#{pane_pid}');
    const pids = (listed.stdout || '').split('\n').map(Number).filter((p) => p > 0);
    tmux('kill-server');
    const alive = (pid) => { try { process.kill(pid, 0); return true; } catch { return false; } };
    for (let t = 0; t < 100 && pids.some(alive); t++) await sleep(50);
    for (const pid of pids.filter(alive)) { try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ } }
    await bus.stop();
    if (!process.env.SOAK_KEEP) rmSync(dir, { recursive: true, force: true, maxRetries: 5, retryDelay: 100 });
    else console.log(`soak: kept ${dir}`);
  };

  const counts = { posed: 0, sent: 0, received: 0, wrong: 0, falseAnswered: 0, composed: 0, strays: 0, quiet: 0 };
  const byChannel = {};
  const byKind = {};
  const problems = [];
  const tally = (table, key, field) => {
    table[key] = table[key] || { posed: 0, sent: 0, received: 0, wrong: 0, falseAnswered: 0, composed: 0, strays: 0, quiet: 0 };
    table[key][field]++;
  };
  const count = (p, field) => { counts[field]++; tally(byChannel, p.channel, field); tally(byKind, p.kind, field); };
  const wrong = (p, what) => { count(p, 'wrong'); problems.push(`#${p.i} ${p.kind} ${p.nonce} via ${p.channel} on ${p.agent}: ${what}`); console.log(`  WRONG #${p.i}: ${what}`); };
  const lost = (p, what) => { problems.push(`#${p.i} ${p.kind} ${p.nonce} via ${p.channel} on ${p.agent}: ${what}`); console.log(`  LOST #${p.i}: ${what}`); };
  // A channel said "answered" for steps of `p` whose answer the model did not get (all
  // its steps when `steps` is not given).
  const falselyAnswered = (p, steps, what) => {
    for (const s of steps || p.claims.keys()) {
      if (p.claims[s] !== 'answered') continue;
      count(p, 'falseAnswered');
      problems.push(`#${p.i} ${p.kind} ${p.nonce} via ${p.channel} on ${p.agent}: said answered (part ${s + 1}), but ${what}`);
      console.log(`  FALSE ANSWERED #${p.i} part ${s + 1}: ${what}`);
    }
  };
  const strayed = (p, what) => {
    count(p, 'strays');
    problems.push(`#${p.i} ${p.kind} ${p.nonce} on ${p.agent}: the composer's message landed: ${what}`);
    console.log(`  STRAY #${p.i}: ${what}`);
  };

  try {
    // ---- the agents, Velmo, the page ----
    const port = await freePort();
    // One folder for all: an agent rewrites the shared settings file as it starts, and may
    // drop the trust another agent-up just wrote there for a folder of its own.
    const work = join(dir, 'work');
    for (let n = 1; n <= AGENTS; n++) {
      const name = `soak-a${n}`;
      const pane = spawnSync(join(lab, 'agent-up'), [home, work, String(port), name, '--', '--permission-mode', 'default'],
        { env, encoding: 'utf8' }).stdout.trim();
      if (!pane) throw new Error('agent-up gave no pane');
      agents.push({ name, work, pane, screen: () => tmux('capture-pane', '-p', '-t', pane).stdout || '' });
    }
    for (const a of agents) {
      const up = await waitFor(`${a.name} to take input`, () => /^❯[\s\u00a0]*\n.*────/m.test(a.screen()), 180, 250).catch(() => false);
      if (!up) throw new Error(`${a.name} did not come up:\n${a.screen()}`);
      a.pid = Number(tmux('display-message', '-p', '-t', a.pane, '#{pane_pid}').stdout.trim());
      a.tty = tmux('display-message', '-p', '-t', a.pane, '#{pane_tty}').stdout.trim();
      // A name of its own, so its notifications and cards say which agent asks.
      typeInto(a, `/rename ${a.name}`);
    }
    served = await startServe({ binary, env });
    const q = (...args) => run(velmoQ, args, env);
    for (const a of agents) {
      await waitFor(`velmo to list ${a.name}`, async () => {
        const state = await q('state');
        const s = ((state.json && state.json.sessions) || []).find((x) => x.pid === a.pid && x.sessionId);
        if (s) a.sid = s.sessionId;
        return !!s;
      }, 90, 1000);
    }
    browser = await launch();
    const opened = await openPage(browser, { url: served.url });
    page = opened.page;
    await page.click('#asksbtn');
    await page.waitForSelector('#asksview', { state: 'visible', timeout: 30000 });
    const pageLock = mutex();
    console.log(`soak: ${AGENTS} agents up, velmo serving, after ${((Date.now() - started) / 1000).toFixed(0)} s`);

    // ---- the agent's screen ----
    // The soak's own Escape: what the agent then tells the model is the soak's doing.
    let escapes = 0;
    const escaped = [];
    function escape(a, p) {
      escapes++;
      if (p) escaped.push(p);
      tmux('send-keys', '-t', a.pane, 'Escape');
    }
    function typeInto(a, text) {
      tmux('send-keys', '-t', a.pane, '-l', '--', text);
      tmux('send-keys', '-t', a.pane, 'Enter');
    }
    const inputRow = (screen) => {
      const m = screen.match(/^❯([^\n]*)\n[^\n]*────/m);
      return m ? m[1].replace(/[\s\u00a0]+/g, ' ').trim() : null;
    };
    const modeOf = (screen) => {
      const m = screen.match(/(manual|plan|auto) mode on|accept edits on/);
      return m ? (m[1] || 'edits') : '';
    };
    const status = (a) => {
      try { return JSON.parse(readFileSync(join(home, '.claude', 'sessions', `${a.pid}.json`), 'utf8')).status; } catch { return ''; }
    };
    // Idle with an empty input row. Anything left in that row landed where it should not.
    async function settled(a, p) {
      await waitFor(`${a.name} to be idle`, () => status(a) === 'idle' && inputRow(a.screen()) !== null, 120, 250);
      const left = inputRow(a.screen());
      if (left) {
        if (p) wrong(p, `text left in ${a.name}'s input row: ${left}`);
        tmux('send-keys', '-t', a.pane, 'C-u');
      }
    }
    // Shift+Tab walks manual → edits → plan → auto → manual.
    async function setMode(a, want) {
      for (let i = 0; i < 8; i++) {
        if (modeOf(a.screen()) === want) return;
        tmux('send-keys', '-t', a.pane, 'BTab');
        const before = modeOf(a.screen());
        await waitFor(`${a.name} to change mode`, () => modeOf(a.screen()) !== before || modeOf(a.screen()) === want, 30, 100).catch(() => {});
      }
      throw new Error(`${a.name} would not go into ${want} mode: ${a.screen()}`);
    }
    // Types the prompt; presses Enter again only while the prompt still sits in the row.
    async function pose(a, p) {
      typeInto(a, p.text);
      for (let t = 0; t < 4; t++) {
        const heard = await waitFor('the prompt', () => { ledger.read(); return ledger.heard(p.text); }, 30, 200).catch(() => false);
        if (heard) return true;
        if (inputRow(a.screen()) === p.text) tmux('send-keys', '-t', a.pane, 'Enter');
      }
      return false;
    }

    // ---- what each prompt shows, and the answer meant for it ----
    const steps = (p) => (p.kind === 'TWOQ' || p.kind === 'TWOCMD' ? 2 : 1);
    // The file each of two commands makes, and which of them a call is.
    const twoFile = (p, s) => `soak-${p.nonce}-${s ? 'two' : 'one'}.txt`;
    const stepOfCall = (p, call) => (p.kind === 'TWOCMD' && call && JSON.stringify(call.input || {}).includes(twoFile(p, 1)) ? 1 : 0);
    const questionOf = (p, s) => (ASKS.has(p.kind) ? `${questions[p.kind][s].question} ${p.nonce}` : '');
    const labelOf = (p, s) => (ASKS.has(p.kind) ? `${questions[p.kind][s].options[p.picks[s]].label} ${p.nonce}` : '');
    // The nonce a prompt shows on screen: not a bare exit from plan mode.
    const shows = (p) => p.kind !== 'PLANBARE';
    // What tells the prompt of part `s` from every other on a card, in a notification and
    // in velmo-q's list: two commands' prompts differ only in the command.
    const marker = (p, s) => (p.kind === 'TWOCMD' ? twoFile(p, s) : s ? questionOf(p, s) : p.nonce);
    const want = (p, call) => {
      if (ASKS.has(p.kind)) return { pairs: p.picks.map((_, s) => `"${questionOf(p, s)}"="${labelOf(p, s)}"`) };
      if (p.kind === 'RUNCMD') return { approve: true, holds: `soak-${p.nonce}.txt` };
      if (p.kind === 'TWOCMD') return { approve: true, holds: twoFile(p, stepOfCall(p, call)) };
      if (p.kind === 'PLANME') return { approve: true, holds: p.nonce };
      return p.picks[0] === 0 ? { approve: true } : { approve: false };
    };
    // The mode the agent is left in: approving a plan picks one.
    const modeAfter = (p) => (p.kind === 'PLANME' ? (p.picks[0] === 0 ? 'auto' : 'manual')
      : p.kind === 'PLANBARE' ? (p.picks[0] === 0 ? 'manual' : 'plan') : '');
    const others = (p) => allNonces.filter((n) => n !== p.nonce);

    // ---- the channels; each gives '' when the answer went out, else why not ----
    async function viaPage(a, p, s) {
      const cards = page.locator('#asksview .askcard').filter({ has: page.locator('.askhead .title', { hasText: a.name }) });
      const card = shows(p) ? cards.filter({ hasText: marker(p, s) }) : cards;
      const choice = card.locator('.part:not(.later) .choice');
      const firstQuestion = card.locator('.part:not(.later) .question');
      const ready = async () => (await choice.count()) > p.picks[s]
        && (!ASKS.has(p.kind) || (await firstQuestion.first().textContent()) === questionOf(p, s));
      const seen = await waitFor('the card', ready, 60, 250).catch(() => false);
      if (!seen) return `no card on the page: ${await page.textContent('#asksview')}`;
      return pageLock(async () => {
        const target = choice.nth(p.picks[s]);
        const label = await target.locator('.label').textContent();
        if (ASKS.has(p.kind) && !labelOf(p, s).startsWith(label.slice(0, 40))) return `the card's option reads ${label}`;
        // The view is painted afresh when any terminal's question comes or goes, so a click
        // may meet a card being replaced; it is tried again on the card as painted then.
        for (let t = 0; ; t++) {
          try {
            await target.click({ timeout: 30000 });
            break;
          } catch (e) {
            if (t === 2) return `the click did not land: ${e.message.split('\n')[0]}`;
            // An alert about an earlier answer may hold the page: noted, and put away.
            const over = page.locator('#velmo-alert');
            if (await over.isVisible()) {
              problems.push(`an alert held the page: ${await over.locator('.velmo-alert-text').textContent()}`);
              await over.locator('.velmo-alert-button').first().click().catch(() => {});
            }
          }
        }
        // Velmo says in an alert when it did not type an answer; the alert holds the page.
        const alert = page.locator('#velmo-alert');
        const refused = await alert.waitFor({ state: 'visible', timeout: 1500 }).then(() => true, () => false);
        // The page says nothing when the answer took: its silence is its "answered".
        p.claims[s] = refused ? 'refused' : 'answered';
        if (!refused) return '';
        const said = await alert.locator('.velmo-alert-text').textContent();
        await alert.locator('.velmo-alert-button').first().click();
        return `refused: ${said}`;
      });
    }

    async function viaNotification(a, p, s, after) {
      let found = null;
      const seen = await waitFor('the notification', async () => {
        const calls = (await bus.shown()).filter((c) => c.id > after && c.summary.startsWith(a.name + ' — ')
          && (!shows(p) || c.body.includes(marker(p, s))));
        found = calls[calls.length - 1];
        return !!found;
      }, 60, 300).catch(() => false);
      if (!seen) return 'no notification';
      const key = `opt.${p.picks[s] + 1}`;
      const at = found.actions.indexOf(key);
      if (at < 0) return `no button ${key}: ${found.actions.join(', ')}`;
      if (ASKS.has(p.kind) && !labelOf(p, s).startsWith(found.actions[at + 1].replace(/…$/, '').slice(0, 30))) return `button ${key} reads ${found.actions[at + 1]}`;
      const logged = answerRecords().length;
      await bus.click(found.id, key);
      p.lastNotification = found.id;
      // What Velmo made of the click is in its answers log, once the answer's check is over.
      let record = null;
      await waitFor('the answer in the answers log', () => {
        record = answerRecords().slice(logged).find((r) => r.via === 'notification' && r.session === a.sid);
        return !!record;
      }, 30, 250).catch(() => {});
      p.claims[s] = record ? record.result : 'silent';
      return '';
    }

    async function viaVelmoQ(a, p, s) {
      let item = null;
      const seen = await waitFor('the question in velmo-q list', async () => {
        const list = await q('list');
        item = ((list.json && list.json.questions) || []).find((x) => x.sessionId === a.sid
          && (!shows(p) || JSON.stringify(x).includes(marker(p, s)))
          && (!ASKS.has(p.kind) || x.question === questionOf(p, s)));
        return !!item;
      }, 60, 1000).catch(() => false);
      if (!seen) return 'not in velmo-q list';
      const option = item.options[p.picks[s]];
      if (!option) return `no option ${p.picks[s] + 1}: ${JSON.stringify(item.options)}`;
      if (ASKS.has(p.kind) && option.label !== labelOf(p, s)) return `option reads ${option.label}`;
      // Routine questions take velmo-q's answer; the owner's own (a permission, a plan, a
      // question about what ships) need the owner's click in Velmo first.
      if (item.gate === 'routine') {
        const r = await q('answer', a.sid, '--option', option.label, '--expect', item.id);
        p.claims[s] = (r.json && r.json.result) || 'silent';
        return r.status === 0 ? '' : `velmo-q answer: ${r.stdout || r.stderr}`;
      }
      return pageLock(async () => {
        const asked = q('request-click', a.sid, '--option', option.label, '--expect', item.id, '--timeout', '60');
        const modal = page.locator('#velmo-alert');
        const up = await modal.waitFor({ state: 'visible', timeout: 30000 }).then(() => true, () => false);
        if (!up) return `no approval modal: ${(await asked).stdout}`;
        const text = await modal.locator('.velmo-alert-text').textContent();
        if (!text.includes(`“${option.label}”`)) return `the modal asks for another answer: ${text}`;
        await modal.locator('.velmo-alert-button', { hasText: 'Approve' }).click();
        const granted = await asked;
        await modal.waitFor({ state: 'detached', timeout: 10000 }).catch(() => {});
        if (granted.status !== 0 || !granted.json || !granted.json.token) return `request-click: ${granted.stdout || granted.stderr}`;
        const r = await q('answer', a.sid, '--option', option.label, '--expect', item.id, '--orlen-click', granted.json.token);
        p.claims[s] = (r.json && r.json.result) || 'silent';
        return r.status === 0 ? '' : `velmo-q answer: ${r.stdout || r.stderr}`;
      });
    }

    // The verdict on a prompt whose call came back.
    function verdict(p, calls) {
      const failed = calls.map((c) => ({ c, why: judge(c.result, want(p, c), others(p)) })).filter((v) => v.why);
      const expected = p.kind === 'TWOCMD' ? 2 : 1;
      if (calls.length !== expected) wrong(p, `${calls.length} calls carry the nonce`);
      if (failed.length) {
        wrong(p, failed.map((v) => v.why).join('; '));
        falselyAnswered(p, p.kind === 'TWOCMD' ? failed.map((v) => stepOfCall(p, v.c)) : null,
          `the model got: ${failed.map((v) => v.why).join('; ')}`);
      } else count(p, 'received');
    }
    // The item of `velmo-q list` that is part `s` of prompt `p`, or null.
    async function listedItem(a, p, s) {
      const list = await q('list');
      return ((list.json && list.json.questions) || []).find((x) => x.sessionId === a.sid
        && (!shows(p) || JSON.stringify(x).includes(marker(p, s)))) || null;
    }

    // While the prompt shows, the page's composer sends its conversation a message. Velmo
    // must type none of it: the page says why and keeps the text, and the prompt stays.
    async function composeOver(a, p) {
      const token = `stray-${p.nonce}`;
      const text = `thanks ${token}`;
      const seen = await waitFor('the prompt for the composer', () => listedItem(a, p, 0), 60, 1000).catch(() => false);
      if (!seen) return;  // the answer's own channel finds it missing too
      count(p, 'composed');
      p.strayToken = token;
      const said = await pageLock(async () => {
        const out = { reason: false, kept: '', how: '' };
        try {
          await page.click('#asksbtn');  // from the questions back to the rack
          await page.locator(`#rack .unit[data-sid="${a.sid}"]`).click({ timeout: 10000 });
          await page.waitForSelector('#chatview .chathead', { state: 'visible', timeout: 10000 });
          await waitFor('the composer', async () => !(await page.isDisabled('#chatview .cfield')), 10, 100);
          await page.fill('#chatview .cfield', '');
          await page.click('#chatview .cfield');
          await page.keyboard.type(text);
          await page.keyboard.press('Enter');
          out.reason = await waitFor('the reason', () => page.getByText(NOT_OVER_PROMPT).first().isVisible().catch(() => false), 20, 250)
            .then(() => true, () => false);
          out.kept = await page.inputValue('#chatview .cfield');
        } catch (e) {
          out.how = e.message.split('\n')[0];
        }
        // The reason may come as an alert, which holds the page until put away.
        const alert = page.locator('#velmo-alert');
        if (await alert.isVisible().catch(() => false)) await alert.locator('.velmo-alert-button').first().click().catch(() => {});
        await page.fill('#chatview .cfield', '').catch(() => {});
        await page.keyboard.press('Escape').catch(() => {});
        await page.click('#asksbtn').catch(() => {});
        await page.waitForSelector('#asksview', { state: 'visible', timeout: 10000 }).catch(() => {});
        return out;
      });
      if (said.how) {
        count(p, 'quiet');
        problems.push(`#${p.i} ${p.kind} ${p.nonce} on ${a.name}: the composer could not be used: ${said.how}`);
      } else if (!said.reason || said.kept !== text) {
        count(p, 'quiet');
        problems.push(`#${p.i} ${p.kind} ${p.nonce} on ${a.name}: the composer ${said.reason ? '' : 'did not say why nothing was sent'}` +
          `${!said.reason && said.kept !== text ? ' and ' : ''}${said.kept !== text ? `holds ${JSON.stringify(said.kept)}, not the text` : ''}`);
      }
      if (a.screen().includes(token)) strayed(p, `on ${a.name}'s screen:\n${a.screen()}`);
      else if (!(await listedItem(a, p, 0))) strayed(p, `the prompt left the screen:\n${a.screen()}`);
    }

    const held = [];
    const closing = new Set();

    // ---- one prompt, start to end ----
    async function one(a, p) {
      p.agent = a.name;
      const begun = Date.now();
      await settled(a, null);
      await setMode(a, p.kind === 'PLANME' || p.kind === 'PLANBARE' ? 'plan' : 'manual');
      // A bare exit from plan mode looks the same every time, and Velmo takes one that shows
      // again within 4 s of going for the same question still on show (notified already).
      if (p.kind === 'PLANBARE' && a.lastKind === 'PLANBARE' && p.channel === 'notification') {
        await sleep(Math.max(0, a.lastEnd + 5000 - Date.now()));
      }
      // The approval shows the session's plan file when there is one: a bare exit has none.
      if (p.kind === 'PLANBARE' && a.planFile) { try { unlinkSync(a.planFile); } catch { /* gone */ } }
      const after = Math.max(0, ...(await bus.shown()).map((c) => c.id));
      if (!(await pose(a, p))) { count(p, 'posed'); lost(p, 'the prompt never reached the model'); return; }
      a.holding = false;
      count(p, 'posed');
      if (p.stray) await composeOver(a, p);
      const via = { page: viaPage, notification: viaNotification, 'velmo-q': viaVelmoQ }[p.channel];
      let why = '';
      let last = after;
      for (let s = 0; s < steps(p) && !why; s++) {
        // The second command's prompt takes the first one's place at once, alike but for the
        // command; nobody has answered it yet, so its command must not run.
        if (s && p.kind === 'TWOCMD') {
          await waitFor('the second command\'s prompt', () => a.screen().includes(twoFile(p, 1)) && a.screen().includes(PROCEED), 30, 250)
            .catch(() => {});
        }
        // The next part of a form is shown while Velmo still watches the last answer land;
        // an answer then is refused as one typed over another.
        if (s) await sleep(3000);
        if (s && p.kind === 'TWOCMD' && existsSync(join(a.work, twoFile(p, 1)))) {
          p.ranUnasked = true;
          wrong(p, 'the second command ran before its prompt was answered');
          falselyAnswered(p, [0], 'the answer to the first command approved the second too');
          why = 'the second command ran unanswered';
          break;
        }
        why = await via(a, p, s, last);
        if (p.lastNotification) last = p.lastNotification;
      }
      if (why) lost(p, `not sent: ${why}\n${a.screen()}`);
      else count(p, 'sent');
      // A refused exit from plan mode goes to the model only with the agent's next prompt.
      const holds = !why && want(p).approve === false;
      // The call carrying the nonce, and what came back for it.
      let calls = [];
      const back = !holds && await waitFor('the answer in the API log', () => {
        ledger.read();
        calls = ledger.callsFor(p.nonce);
        return calls.length && calls.every((c) => c.result);
      }, why ? 10 : 60, 250).catch(() => false);
      if (holds) {
        held.push(p);
        a.holding = true;
      } else if (why && back && !p.ranUnasked) {
        wrong(p, `an answer arrived although none was sent: ${calls.map((c) => c.result.text.slice(0, 120)).join('; ')}`);
      } else if (!why && !back) {
        lost(p, `the model never heard an answer\n${a.screen()}`);
        falselyAnswered(p, null, 'the model never heard an answer');
      } else if (!why) {
        verdict(p, calls);
      }
      if (!back && !holds) escape(a, p);  // takes the prompt down, so the next one starts clean
      if (p.kind === 'PLANME') {
        const written = [...ledger.uses.values()].find((u) => u.name === 'Write' && u.text.includes(p.nonce));
        if (written && written.input && written.input.file_path) a.planFile = written.input.file_path;
      }
      await settled(a, p);
      if (!why && (back || holds) && modeAfter(p)) {
        const mode = modeOf(a.screen());
        if (mode !== modeAfter(p)) wrong(p, `${a.name} is in ${mode} mode, not ${modeAfter(p)}: another option was taken`);
      }
      if (p.kind === 'RUNCMD' && !why && !existsSync(join(a.work, `soak-${p.nonce}.txt`))) wrong(p, 'the approved command left no file');
      if (p.kind === 'TWOCMD' && !why) {
        for (const s of [0, 1]) if (!existsSync(join(a.work, twoFile(p, s)))) wrong(p, `the approved command ${s + 1} left no file`);
      }
      a.lastKind = p.kind;
      a.lastEnd = Date.now();
      p.seconds = (Date.now() - begun) / 1000;
      console.log(`#${p.i} ${p.kind} via ${p.channel} on ${a.name}: ${why ? 'not sent' : back ? 'answered' : holds ? 'refused, held' : 'lost'} ${p.seconds.toFixed(1)} s`);
    }

    let next = 0;
    await Promise.all(agents.map(async (a) => {
      while (next < prompts.length) {
        const p = prompts[next++];
        try {
          await one(a, p);
        } catch (e) {
          lost(p, `${e.message}\n${a.screen()}`);
          escape(a, p);
        }
      }
    }));

    // An agent whose last answer was a refusal still holds it: one more prompt carries it.
    for (const a of agents.filter((x) => x.holding)) {
      const done = { text: `SOAK DONE ${a.name}` };
      closing.add(done.text);
      await settled(a, null);
      await pose(a, done);
    }
    for (const p of held) {
      let calls = [];
      const back = await waitFor('a refusal in the API log', () => {
        ledger.read();
        calls = ledger.callsFor(p.nonce);
        return calls.length && calls.every((c) => c.result);
      }, 30, 250).catch(() => false);
      if (back) verdict(p, calls);
      else lost(p, 'the model never heard the refusal');
    }

    // ---- everything the model heard, once more: nothing may be there that the soak did not mean ----
    ledger.read();
    const typed = new Set(prompts.map((p) => p.text));
    for (const t of ledger.userTexts) {
      if (/\bstray-n[0-9a-z]{5}\b/.test(t)) continue;  // counted as the composer's strays above
      // The soak's own /rename of each agent, as the agent reports it.
      if (typed.has(t) || closing.has(t) || /^<command-name>\/rename<[\s\S]*<command-args>soak-a\d+<\/command-args>$/.test(t)
        || /^<local-command-stdout>Session renamed to: soak-a\d+<\/local-command-stdout>$/.test(t)) continue;
      if (escapes && /^\[Request interrupted by user/.test(t)) continue;  // the soak's own Escape
      counts.wrong++;
      problems.push(`a user turn the soak did not type: ${t.slice(0, 200)}`);
    }
    // A composer message sent over a prompt must be nowhere in what the model heard.
    for (const p of prompts.filter((x) => x.strayToken)) {
      const where = ledger.mentions(p.strayToken);
      if (where) strayed(p, `the model heard it (${where})`);
    }
    // The agent notes a refusal beside it: only the refusals the soak gave may carry one.
    // and an Escape the soak pressed on a prompt it could not answer, too.
    const refusals = new Set([...held, ...escaped].flatMap((p) => ledger.callsFor(p.nonce).map((c) => c.id)));
    for (const [id, note] of ledger.notes) {
      if (refusals.has(id)) continue;
      counts.wrong++;
      problems.push(`a refusal the soak did not give (${id}): ${note}`);
    }
    for (const [id, use] of ledger.uses) {
      if (!['AskUserQuestion', 'Bash', 'ExitPlanMode'].includes(use.name)) continue;
      if (!allNonces.some((n) => use.text.includes(n))) {
        counts.wrong++;
        problems.push(`a ${use.name} call (${id}) of no soak prompt: ${use.text.slice(0, 160)}`);
      }
    }
  } finally {
    const seconds = (Date.now() - started) / 1000;
    const line = (name, c) => `  ${name.padEnd(13)} posed ${String(c.posed).padStart(4)}  sent ${String(c.sent).padStart(4)}  received ${String(c.received).padStart(4)}  wrong ${c.wrong}  false answered ${c.falseAnswered}  composer ${c.composed} (strays ${c.strays}, said nothing ${c.quiet})`;
    console.log('\nsoak: per channel');
    for (const [k, c] of Object.entries(byChannel)) console.log(line(k, c));
    console.log('soak: per kind');
    for (const [k, c] of Object.entries(byKind)) console.log(line(k, c));
    for (const p of problems) console.log('  ' + p);
    console.log(`soak: seed ${SEED}  prompts posed ${counts.posed}  answers sent ${counts.sent}  ` +
      `received by the model ${counts.received}  wrong-prompt keystrokes ${counts.wrong}  ` +
      `false "answered" ${counts.falseAnswered}  composer messages over a prompt ${counts.composed} (landed ${counts.strays}, unexplained ${counts.quiet})  ` +
      `wall time ${seconds.toFixed(0)} s`);
    await cleanup();
  }
  return counts.posed === COUNT && counts.sent === counts.posed && counts.received === counts.sent && counts.wrong === 0
    && counts.falseAnswered === 0 && counts.strays === 0 && counts.quiet === 0 ? 0 : 1;
}

main().then((code) => process.exit(code), (e) => { console.error('soak: ' + (e && e.stack || e)); process.exit(1); });
