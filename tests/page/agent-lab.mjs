// The real agent for the page tests: the agent lab's program, talking to its scripted
// model API, in a private tmux server with a temporary home and a port of its own.

import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { root, waitFor } from './support.mjs';

const lab = join(root, '..', 'shared', 'agent-lab');
export const binary = process.env.VELMO_BINARY || join(root, 'build', 'velmo');

function agentPath() {
  if (!existsSync(join(lab, 'install-agent'))) return '';
  const run = spawnSync(join(lab, 'install-agent'), [], { encoding: 'utf8', timeout: 240000 });
  return run.status === 0 ? run.stdout.trim() : '';
}

const claude = agentPath();
// Why the tests that need the agent and velmo cannot run here, or false.
export const skip = !claude ? 'the agent could not be installed from the agent lab'
  : !existsSync(binary) ? 'no velmo binary: build first' : false;

const freePort = () => new Promise((resolve) => {
  const s = createServer();
  s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
});

// The scripted API that agent-up started, found by its own command line.
function stopFakeApi(port, log) {
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    let args = '';
    try { args = readFileSync(`/proc/${name}/cmdline`, 'utf8').replaceAll('\0', ' '); } catch { continue; }
    if (args.includes(`fake_api.py ${port} ${log}`)) {
      try { process.kill(Number(name), 'SIGTERM'); } catch { /* gone already */ }
    }
  }
}

// Starts the agent (with `args`, e.g. ['--permission-mode', 'default']) and waits until it
// takes input. Gives { dir, home, work, tmux, env, port, pane, screen(), type(text),
// apiLog(), close() }; env is what velmo needs to see this home and this tmux server, and
// nothing of the user's.
export async function startAgent({ args = [], prefix = 'velmo-agent-' } = {}) {
  const dir = mkdtempSync(join(tmpdir(), prefix));
  const home = join(dir, 'home');
  const work = join(dir, 'work');
  const tmux = join(dir, 'tmux');
  mkdirSync(tmux, { recursive: true });
  mkdirSync(join(home, 'Documents', 'claude'), { recursive: true });
  const port = await freePort();
  const env = Object.assign({}, process.env, {
    HOME: home, TMUX_TMPDIR: tmux, CLAUDE_BIN: claude, VELMO_LANG: 'en',
    XDG_CONFIG_HOME: join(home, '.config'), XDG_DATA_HOME: join(home, '.local', 'share'),
  });
  delete env.TMUX;
  delete env.CLAUDE_CONFIG_DIR;
  const close = () => {
    spawnSync('tmux', ['kill-server'], { env });
    stopFakeApi(port, join(home, 'fake_api.log'));
    rmSync(dir, { recursive: true, force: true });
  };
  try {
    const pane = execFileSync(join(lab, 'agent-up'), [home, work, String(port), 'agent', '--', ...args], { env, encoding: 'utf8' }).trim();
    const screen = () => spawnSync('tmux', ['capture-pane', '-p', '-t', pane], { env, encoding: 'utf8' }).stdout || '';
    // Types the text literally, then Enter, as a person at the pane would.
    const type = (text) => {
      spawnSync('tmux', ['send-keys', '-t', pane, '-l', '--', text], { env });
      spawnSync('tmux', ['send-keys', '-t', pane, 'Enter'], { env });
    };
    const apiLog = () => { try { return readFileSync(join(home, 'fake_api.log'), 'utf8'); } catch { return ''; } };
    // The agent takes input once its empty prompt row sits on the input box's edge.
    await waitFor('the agent to take input', () => /^❯[\s\u00a0]*\n.*────/m.test(screen()), 60, 250);
    return { dir, home, work, tmux, env, port, pane, screen, type, apiLog, close };
  } catch (e) {
    close();
    throw e;
  }
}
