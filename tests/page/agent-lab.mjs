// The real agent for the page tests: the pinned agent from the user's cache, talking to
// the project's scripted model API (tests/agent-lab), in a private tmux server with a
// temporary home and a port of its own.

import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { root, waitFor } from './support.mjs';

const lab = join(root, 'tests', 'agent-lab');
export const binary = process.env.VELMO_BINARY || join(root, 'build', 'velmo');

// agent-path says where the pinned agent is, or why it is not there.
function locate() {
  const run = spawnSync(join(lab, 'agent-path'), [], { encoding: 'utf8', timeout: 30000 });
  return run.status === 0 ? { path: run.stdout.trim() } : { why: (run.stderr || '').trim() || 'agent-path failed' };
}

const agent = locate();
// Why the tests that need the agent and velmo cannot run here, or false.
export const skip = agent.why ? agent.why
  : !existsSync(binary) ? 'no velmo binary: build first' : false;

const freePort = () => new Promise((resolve) => {
  const s = createServer();
  s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
});

// Starts the agent (with `args`, e.g. ['--permission-mode', 'default'], or a function of the
// new home giving them, for arguments that name a folder in it) and waits until it takes
// input. Gives { dir, home, work, tmux, env, port, pane, screen(), type(text),
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
    HOME: home, TMUX_TMPDIR: tmux, CLAUDE_BIN: agent.path, VELMO_LANG: 'en',
    XDG_CONFIG_HOME: join(home, '.config'), XDG_DATA_HOME: join(home, '.local', 'share'),
  });
  delete env.TMUX;
  delete env.CLAUDE_CONFIG_DIR;
  // The model API runs in a window of the same tmux server and ends with it. The agent
  // writes into its home while it exits, so its folder goes only once the panes are gone.
  const close = () => {
    const listed = spawnSync('tmux', ['list-panes', '-a', '-F', '#{pane_pid}'], { env, encoding: 'utf8' });
    const pids = (listed.stdout || '').split('\n').map(Number).filter((pid) => pid > 0);
    spawnSync('tmux', ['kill-server'], { env });
    const alive = (pid) => { try { process.kill(pid, 0); return true; } catch { return false; } };
    const deadline = Date.now() + 5000;
    while (pids.some(alive) && Date.now() < deadline) Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 50);
    for (const pid of pids.filter(alive)) { try { process.kill(pid, 'SIGKILL'); } catch { /* gone already */ } }
    rmSync(dir, { recursive: true, force: true, maxRetries: 5, retryDelay: 100 });
  };
  try {
    const pane = execFileSync(join(lab, 'agent-up'), [home, work, String(port), 'agent', '--', ...(typeof args === 'function' ? args(home) : args)], { env, encoding: 'utf8' }).trim();
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
