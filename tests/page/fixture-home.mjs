// A lived-in machine for the page tests against the real application: a temporary HOME
// holding the agent's registry and transcripts, a private tmux server (TMUX_TMPDIR in a
// temporary folder) and stand-in agents in its panes. A stand-in is a copy of /bin/sleep
// named `claude`, so ps shows it as the agent; one that asks first prints a screen the real
// agent drew, so the screen reader finds a real prompt there.

import { execFileSync } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import { appendFileSync, copyFileSync, chmodSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { root } from './support.mjs';

export const screens = join(root, 'tests', 'fixtures', 'screens');

const iso = (ms) => new Date(ms).toISOString();

// Transcript records shaped as the agent writes them.
function record(type, message, at, extra) {
  return Object.assign({ type, isSidechain: false, uuid: randomUUID(), timestamp: iso(at), message }, extra);
}

function usage(context) {
  return { input_tokens: 12, cache_creation_input_tokens: 0, cache_read_input_tokens: Math.max(0, context - 12), output_tokens: 80 };
}

function assistant(content, at, base, model = 'claude-opus-4-5', context = 151000) {
  return record('assistant', {
    id: 'msg_' + randomUUID().replaceAll('-', ''), type: 'message', role: 'assistant', model, content,
    stop_reason: content.some((c) => c.type === 'tool_use') ? 'tool_use' : 'end_turn', usage: usage(context),
  }, at, base);
}

const toolCall = () => ({ type: 'tool_use', id: 'toolu_' + randomUUID().slice(0, 8), name: 'Bash', input: { command: 'npm test' } });

// The transcript of an agent in one of four moods, its last record at `at` (ms since 1970):
//   run    last came a tool call (the agent is busy with it)
//   wait   last came the agent's answer, minutes ago (it waits for the person)
//   quiet  last came an answer days ago
//   ask    last came a question-tool call nobody has answered
// `history` is an earlier exchange that comes between the first prompt and that last record:
// a list of { you: text }, { claude: text } and { tool, input, result }, a few seconds apart.
function transcript({ sid, cwd, title, mood, at, context = 151000, model = 'claude-opus-4-5', say = '', history = [] }) {
  const base = { sessionId: sid, cwd, version: '2.1.337', userType: 'external' };
  const lines = [
    { type: 'custom-title', customTitle: title, sessionId: sid },
    record('user', { role: 'user', content: 'Please carry on with ' + title }, at - 60000, base),
  ];
  history.forEach((turn, i) => {
    const when = at - 50000 + Math.round((i * 45000) / history.length);
    if (turn.you !== undefined) {
      lines.push(record('user', { role: 'user', content: turn.you }, when, base));
    } else if (turn.claude !== undefined) {
      lines.push(assistant([{ type: 'text', text: turn.claude }], when, base, model, context));
    } else {
      const id = 'toolu_' + randomUUID().slice(0, 8);
      lines.push(assistant([{ type: 'tool_use', id, name: turn.tool, input: turn.input }], when, base, model, context));
      lines.push(record('user', { role: 'user', content: [{ type: 'tool_result', tool_use_id: id, content: turn.result || '' }] }, when + 500, base));
    }
  });
  if (mood === 'run') {
    lines.push(assistant([{ type: 'text', text: say || 'Running the tests.' }, toolCall()], at, base, model, context));
  } else if (mood === 'ask') {
    lines.push(assistant([{ type: 'text', text: 'Let me check with you first.' }, {
      type: 'tool_use', id: 'toolu_' + randomUUID().slice(0, 8), name: 'AskUserQuestion',
      input: { questions: [{
        question: 'Which colour should the login button be?', header: 'Colour', multiSelect: false,
        options: [
          { label: 'Blue', description: 'Matches the brand palette' },
          { label: 'Green', description: 'Reads as go' },
          { label: 'Orange', description: 'Stands out the most' },
        ],
      }] },
    }], at, base, model, context));
  } else {
    lines.push(assistant([{ type: 'text', text: say || 'Done. The migration is in place and the tests pass.' }], at, base, model, context));
  }
  return lines.map((l) => JSON.stringify(l)).join('\n') + '\n';
}

export class FixtureHome {
  constructor() {
    this.home = mkdtempSync(join(tmpdir(), 'velmo-page-home-'));
    this.tmuxDir = mkdtempSync(join(tmpdir(), 'velmo-page-tmux-'));
    this.bin = join(this.home, 'bin');
    mkdirSync(this.bin);
    this.agentPath = join(this.bin, 'claude');
    copyFileSync('/bin/sleep', this.agentPath);
    chmodSync(this.agentPath, 0o755);
    mkdirSync(join(this.home, '.claude', 'sessions'), { recursive: true });
    mkdirSync(join(this.home, '.claude', 'projects'), { recursive: true });
    this.started = false;
    this.agents = [];
  }

  // What velmo needs to see this home and this tmux server, and nothing of the user's.
  env(extra = {}) {
    return Object.assign({ HOME: this.home, TMUX_TMPDIR: this.tmuxDir, TMUX: undefined, XDG_CONFIG_HOME: undefined, CLAUDE_CONFIG_DIR: undefined }, extra);
  }

  tmux(args) {
    const env = Object.assign({}, process.env, { TMUX_TMPDIR: this.tmuxDir });
    delete env.TMUX;
    return execFileSync('tmux', ['-u', '-f', '/dev/null', ...args], { env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  }

  // New windows of one 120×40 session, each running its command directly (no shell
  // between, so the pane's process is the program itself). Gives [{ pane, tty, pid }].
  openPanes(commands) {
    const args = [];
    for (const argv of commands) {
      if (args.length) args.push(';');
      args.push(...(this.started ? ['new-window', '-d', '-t', 'lab'] : ['new-session', '-d', '-s', 'lab', '-x', '120', '-y', '40']));
      args.push('-P', '-F', '#{pane_id} #{pane_tty} #{pane_pid}', ...argv);
      this.started = true;
    }
    if (!args.length) return [];
    return this.tmux(args).trim().split('\n').map((line) => {
      const [pane, tty, pid] = line.split(' ');
      return { pane, tty, pid: Number(pid) };
    });
  }

  // The numbers of the pseudo-terminals in use on this machine (all users, all servers).
  static ptysInUse() {
    return new Set(readdirSync('/dev/pts').filter((n) => /^\d+$/.test(n)).map(Number));
  }

  // Opens a pane on the pseudo-terminal numbered `target` by filling every free number
  // below it with placeholder panes first (the kernel hands out the lowest free number),
  // then closes the placeholders. Null when the number is taken or another program took
  // it meanwhile.
  openPaneAt(target, argv) {
    const used = FixtureHome.ptysInUse();
    if (used.has(target)) return null;
    let below = 0;
    for (let i = 0; i < target; i++) if (!used.has(i)) below++;
    const fillers = this.openPanes(Array.from({ length: below }, () => ['sleep', '100000']));
    const [opened] = this.openPanes([argv]);
    for (const f of fillers) this.tmux(['kill-pane', '-t', f.pane]);
    if (opened.tty === `/dev/pts/${target}`) return opened;
    this.tmux(['kill-pane', '-t', opened.pane]);
    return null;
  }

  // The command of a stand-in agent; with `screen`, it first prints that fixture screen
  // (without its last line feed, so the 40 rows fill the pane without scrolling).
  agentCommand(screen) {
    if (!screen) return [this.agentPath, '100000'];
    const file = join(this.home, 'bin', screen);
    writeFileSync(file, readFileSync(join(screens, screen), 'utf8').replace(/\n$/, ''));
    return ['sh', '-c', 'cat "$1"; exec "$2" 100000', 'stand-in', file, this.agentPath];
  }

  // Writes the transcript (and, once the pane is there, the registry file) of an agent.
  // options: { title, mood, ago (seconds) or when (ms since 1970), project (folder under
  //            HOME, '' for none), screen, status, registered (default true),
  //            pty (the pseudo-terminal number to open it on), history (see transcript),
  //            model (the model id its replies name) }
  addAgent(options) {
    const o = Object.assign({ mood: 'quiet', ago: 60, project: 'work', registered: true }, options);
    const sid = randomUUID();
    const cwd = join(this.home, o.project);
    const at = o.when !== undefined ? o.when : Date.now() - o.ago * 1000;
    let file = '';
    if (o.registered) {
      const folder = join(this.home, '.claude', 'projects', cwd.replace(/[^A-Za-z0-9]/g, '-'));
      mkdirSync(folder, { recursive: true });
      file = join(folder, sid + '.jsonl');
      writeFileSync(file, transcript({ sid, cwd, title: o.title, mood: o.mood, at, say: o.say, history: o.history, model: o.model }));
    }
    const argv = this.agentCommand(o.screen);
    const opened = o.pty === undefined ? this.openPanes([argv])[0] : this.openPaneAt(o.pty, argv);
    if (!opened) return null;
    const status = o.status || { run: 'busy', ask: 'waiting' }[o.mood] || 'idle';
    const agent = Object.assign({ sid: o.registered ? sid : '', cwd, transcript: file, title: o.title, path: o.project ? '~/' + o.project : '', slot: slotOf(opened.tty) }, opened);
    if (o.registered) {
      agent.registry = join(this.home, '.claude', 'sessions', opened.pid + '.json');
      writeFileSync(agent.registry, JSON.stringify({
        pid: opened.pid, sessionId: sid, cwd, kind: 'interactive', entrypoint: 'cli', status,
        name: o.project, tmux: 'lab:' + opened.pane, startedAt: at - 60000, updatedAt: at,
      }));
    }
    this.agents.push(agent);
    return agent;
  }

  // The agent starts a tool call now, as a quiet agent does when the person writes to it.
  startWork(agent) {
    const line = assistant([{ type: 'text', text: 'On it.' }, toolCall()], Date.now(), { sessionId: agent.sid, cwd: agent.cwd });
    appendFileSync(agent.transcript, JSON.stringify(line) + '\n');
  }

  // Ends a stand-in as a closed terminal does: its pane goes, and with it the agent.
  removeAgent(agent) {
    this.tmux(['kill-pane', '-t', agent.pane]);
    if (agent.registry) rmSync(agent.registry, { force: true });
    this.agents = this.agents.filter((a) => a !== agent);
  }

  settings() {
    const file = join(this.home, '.config', 'velmo', 'settings.json');
    return existsSync(file) ? JSON.parse(readFileSync(file, 'utf8')) : {};
  }

  pageErrors() {
    const file = join(this.home, '.claude', 'velmo-page-errors.log');
    return existsSync(file) ? readFileSync(file, 'utf8') : '';
  }

  // Kills the server and every pane's process, then removes both folders.
  close() {
    let pids = [];
    try {
      pids = this.tmux(['list-panes', '-a', '-F', '#{pane_pid}']).trim().split('\n').map(Number).filter(Boolean);
    } catch { /* no server */ }
    try { this.tmux(['kill-server']); } catch { /* already gone */ }
    for (const pid of pids) {
      try { process.kill(pid, 'SIGKILL'); } catch { /* gone with the server */ }
    }
    rmSync(this.home, { recursive: true, force: true });
    rmSync(this.tmuxDir, { recursive: true, force: true });
  }
}

export function slotOf(tty) {
  return String(tty).replace(/^\/dev\/pts\//, '').padStart(3, '0');
}
