// Browser mode lets in only its own page: requests without the token, with a wrong one,
// under a foreign Host or from a foreign Origin are refused, on plain HTTP and on the
// bridge's WebSocket; and nothing listens anywhere but on 127.0.0.1. (The e2e GoogleTest
// of the server covers the other refusals; these are the ones it leaves out.)

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { readFileSync, readdirSync, readlinkSync } from 'node:fs';
import { launch, openPage, startServe, waitFor } from './support.mjs';
import { FixtureHome } from './fixture-home.mjs';

let fx;
let serve;
let port;
let token;

before(async () => {
  fx = new FixtureHome();
  serve = await startServe({ env: fx.env({ VELMO_LANG: 'en' }) });
  const m = serve.url.match(/^http:\/\/127\.0\.0\.1:(\d+)\/\?token=([0-9a-f]{64})$/);
  assert.ok(m, serve.url);
  port = Number(m[1]);
  token = m[2];
});

after(async () => {
  if (serve) await serve.stop();
  if (fx) fx.close();
});

// The status of one request; an upgrade the server accepts counts as 101.
function status({ path = `/?token=${token}`, host = `127.0.0.1:${port}`, origin, upgrade = false }) {
  const headers = { Host: host };
  if (origin) headers.Origin = origin;
  if (upgrade) {
    Object.assign(headers, {
      Connection: 'Upgrade', Upgrade: 'websocket',
      'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==', 'Sec-WebSocket-Version': '13',
    });
  }
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, path, headers });
    req.on('upgrade', (res, socket) => { socket.destroy(); resolve(101); });
    req.on('response', (res) => { res.resume(); resolve(res.statusCode); });
    req.on('error', reject);
    req.end();
  });
}

test('a foreign Origin is refused on plain HTTP too', async () => {
  assert.equal(await status({}), 200);
  assert.equal(await status({ origin: `http://127.0.0.1:${port}` }), 200);
  assert.equal(await status({ origin: 'http://evil.example' }), 403);
  assert.equal(await status({ origin: 'null' }), 403);
});

test('the bridge refuses a wrong token and a foreign Host', async () => {
  const own = `http://127.0.0.1:${port}`;
  const bridge = (t) => `/bridge?token=${t}`;
  assert.equal(await status({ path: bridge(token), origin: own, upgrade: true }), 101);
  const wrong = token.slice(0, -1) + (token.endsWith('0') ? '1' : '0');
  assert.equal(await status({ path: bridge(wrong), origin: own, upgrade: true }), 403);
  assert.equal(await status({ path: bridge(token.toUpperCase()), origin: own, upgrade: true }), 403);
  assert.equal(await status({ path: bridge(''), origin: own, upgrade: true }), 403);
  // A rebound name with its own matching Origin: still refused by the Host.
  assert.equal(await status({ path: bridge(token), host: `evil.example:${port}`, origin: `http://evil.example:${port}`, upgrade: true }), 403);
});

test('a page of another site cannot take the bridge, even knowing the token', async () => {
  // Another web server on this machine: a loopback page, so no browser rule about private
  // networks stands between it and the bridge; only Velmo's Origin check does.
  const site = http.createServer((req, res) => { res.writeHead(200, { 'Content-Type': 'text/html' }); res.end('<p>hi</p>'); });
  await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
  const browser = await launch();
  try {
    const mine = await openPage(browser, { url: serve.url });
    await waitFor('the page to connect', () => mine.page.evaluate(() => document.querySelector('#clock').textContent !== ''));

    const context = await browser.newContext();
    const evil = await context.newPage();
    await evil.goto(`http://127.0.0.1:${site.address().port}/`);
    const outcome = await evil.evaluate((url) => new Promise((resolve) => {
      const ws = new WebSocket(url);
      ws.onopen = () => { ws.close(); resolve('open'); };
      ws.onerror = () => resolve('refused');
      setTimeout(() => resolve('no answer'), 30000);
    }), `ws://127.0.0.1:${port}/bridge?token=${token}`);
    assert.equal(outcome, 'refused');
    await context.close();

    // Velmo's own page keeps its bridge: no "open in another tab", no reconnecting banner.
    assert.equal(await mine.page.$('#velmo-offline'), null);
    await mine.close();
  } finally {
    await browser.close();
    site.close();
  }
});

// The local addresses of the pid's IPv4 and IPv6 sockets, from the kernel's tables.
function socketAddresses(pid) {
  const inodes = new Set();
  for (const fd of readdirSync(`/proc/${pid}/fd`)) {
    let target = '';
    try { target = readlinkSync(`/proc/${pid}/fd/${fd}`); } catch { continue; }
    const m = target.match(/^socket:\[(\d+)\]$/);
    if (m) inodes.add(m[1]);
  }
  const found = [];
  for (const table of ['tcp', 'tcp6', 'udp', 'udp6']) {
    const lines = readFileSync(`/proc/${pid}/net/${table}`, 'utf8').trim().split('\n').slice(1);
    for (const line of lines) {
      const f = line.trim().split(/\s+/);
      if (!inodes.has(f[9])) continue;
      const [hex, portHex] = f[1].split(':');
      let address = hex;
      if (hex.length === 8) address = [3, 2, 1, 0].map((i) => parseInt(hex.slice(i * 2, i * 2 + 2), 16)).join('.');
      found.push({ table, address, port: parseInt(portHex, 16), listening: table.startsWith('udp') || f[3] === '0A' });
    }
  }
  return found;
}

test('nothing listens on any address but 127.0.0.1', () => {
  const sockets = socketAddresses(serve.pid);
  const listening = sockets.filter((s) => s.listening);
  assert.ok(listening.some((s) => s.port === port), JSON.stringify(sockets));
  assert.deepEqual(sockets.filter((s) => s.table !== 'tcp' || s.address !== '127.0.0.1'), []);
});
