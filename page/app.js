'use strict';
// The page: it paints what the application passes to paint(data) and asks for every action
// with send(act, extra). `L` (the labels in the interface language) is set by the document.

// ---------- bridge ----------

function send(act, extra) {
  const msg = Object.assign({ act }, extra || {});
  try {
    window.webkit.messageHandlers.velmo.postMessage(msg);
  } catch (e) {
    // No bridge (the page opened on its own): nothing to tell.
  }
}

function errorText(e) {
  if (!e) return '';
  return (e.message || String(e)) + (e.stack ? ' ' + e.stack : '');
}

window.addEventListener('error', (e) => {
  const stack = e.error && e.error.stack ? e.error.stack : '';
  send('pageError', { text: `${e.message} @${e.lineno}:${e.colno} ${stack}` });
});
window.addEventListener('unhandledrejection', (e) => {
  send('pageError', { text: 'unhandled rejection: ' + errorText(e.reason) });
});

// ---------- small helpers ----------

const $ = (id) => document.getElementById(id);

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null && text !== '') e.textContent = String(text);
  return e;
}

function button(cls, text, onClick) {
  const b = el('button', cls, text);
  b.type = 'button';
  if (onClick) b.addEventListener('click', (e) => { e.stopPropagation(); onClick(e, b); });
  return b;
}

function label(key) { return (typeof L === 'object' && L && L[key]) || key; }

function isField(t) {
  if (!t || !t.closest) return false;
  return !!t.closest('input, textarea, select, [contenteditable="true"]');
}

function escapeHtml(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}

// Markdown as the agent writes it, line by line. Nothing from the text reaches the markup
// unescaped: every piece is either escaped text or markup this renderer wrote itself.
// `paths` are the files the application found named in the text; they become chips.

const MAX_LINKS = 40;
const URL_END = /[\s<>"`()[\]{}|'\u0000-\u001f\u007f]/;

function md(text, paths) {
  const ctx = { paths: knownPaths(paths), links: 0 };
  const lines = String(text || '').replace(/\r\n?/g, '\n').split('\n');
  const out = [];
  let para = [];
  const flush = () => {
    if (para.length) out.push('<p dir="auto">' + para.map((l) => inline(l, ctx)).join('<br>') + '</p>');
    para = [];
  };
  for (let i = 0; i < lines.length; i++) {
    const line = lines[i];
    if (!line.trim()) { flush(); continue; }
    if (line.startsWith('```')) {
      flush();
      const code = [];
      for (i++; i < lines.length && !lines[i].startsWith('```'); i++) code.push(lines[i]);
      out.push('<pre dir="ltr"><code>' + codeHtml(code.join('\n')) + '</code></pre>');
      continue;
    }
    const bare = line.trim();
    if (bare.length >= 3 && (/^-+$/.test(bare) || /^=+$/.test(bare))) { flush(); out.push('<hr>'); continue; }
    const h = line.match(/^(#{1,4}) (.*)$/);
    if (h) {
      flush();
      const level = h[1].length + 2;
      out.push(`<h${level} dir="auto">${inline(h[2], ctx)}</h${level}>`);
      continue;
    }
    if (line.startsWith('>')) {
      flush();
      const quote = [];
      for (; i < lines.length && lines[i].startsWith('>'); i++) quote.push(lines[i].replace(/^> ?/, ''));
      i--;
      out.push('<blockquote dir="auto">' + quote.map((l) => inline(l, ctx)).join('<br>') + '</blockquote>');
      continue;
    }
    if (line.startsWith('|')) {
      flush();
      const rows = [];
      for (; i < lines.length && lines[i].startsWith('|'); i++) rows.push(tableCells(lines[i]));
      i--;
      out.push(tableHtml(rows, ctx));
      continue;
    }
    if (listItem(line)) {
      flush();
      const items = [];
      for (; i < lines.length && listItem(lines[i]); i++) items.push(listItem(lines[i]));
      i--;
      out.push(listHtml(items, ctx));
      continue;
    }
    para.push(line);
  }
  flush();
  return out.join('');
}

// The direction of a whole text: its first letter that has one, leaving out code, web
// addresses and paths, which are written left to right in any language.
function textDir(text) {
  const t = String(text || '').replace(/```[\s\S]*?(```|$)/g, ' ').replace(/`[^`]*`/g, ' ')
    .replace(/(https?:\/\/|www\.)\S*/gi, ' ').replace(/(^|\s)[~.]?\/\S*/g, ' ');
  const m = t.match(/[A-Za-z\u00c0-\u024f\u0370-\u03ff\u0400-\u04ff\u0590-\u05ff\u0600-\u06ff\u0700-\u08ff\ufb1d-\ufdff\ufe70-\ufefc]/);
  if (!m) return 'auto';
  return /[\u0590-\u08ff\ufb1d-\ufdff\ufe70-\ufefc]/.test(m[0]) ? 'rtl' : 'ltr';
}

function knownPaths(paths) {
  const list = (Array.isArray(paths) ? paths : []).filter((p) => typeof p === 'string' && p.length > 1);
  return [...new Set(list)].sort((a, b) => b.length - a.length);  // longest first: no path inside another
}

// "- ", "* ", "· " or "12. ", and a leading blank makes a sub-item.
function listItem(line) {
  const m = line.match(/^(\s*)(?:([-*·]) |(\d{1,3})\. )(.*)$/);
  if (!m) return null;
  let body = m[4];
  const task = body.match(/^\[( |x)\] /i);
  if (task) body = (task[1] === ' ' ? '☐ ' : '☑ ') + body.slice(4);
  return { sub: m[1].length > 0, ordered: m[3] !== undefined, start: Number(m[3] || 1), body };
}

function listHtml(items, ctx) {
  const out = [];
  let top = null;   // kind of the open top-level list
  let inner = null; // kind of the open sub-list
  // Lists and tables take the message's direction: an English item in a Hebrew list
  // stays in the Hebrew list's order.
  const open = (it) => (it.ordered ? (it.start !== 1 ? `<ol start="${it.start}">` : '<ol>') : '<ul>');
  const closeInner = () => { if (inner) { out.push(`</${inner}>`); inner = null; } };
  const closeTop = () => { closeInner(); if (top) { out.push(`</li></${top}>`); top = null; } };
  for (const it of items) {
    const kind = it.ordered ? 'ol' : 'ul';
    if (it.sub && top) {
      if (inner !== kind) { closeInner(); out.push(open(it)); inner = kind; }
      out.push('<li>' + inline(it.body, ctx) + '</li>');
      continue;
    }
    if (top !== kind) { closeTop(); out.push(open(it)); top = kind; } else { closeInner(); out.push('</li>'); }
    out.push('<li>' + inline(it.body, ctx));
  }
  closeTop();
  return out.join('');
}

function tableCells(line) {
  const cells = line.split('|').slice(1);
  if (cells.length && !cells[cells.length - 1].trim()) cells.pop();
  return cells.map((c) => c.trim());
}

function tableHtml(rows, ctx) {
  const divider = (r) => r.length && r.every((c) => c && /^[-:\s]+$/.test(c));
  const body = rows.filter((r, i) => !(i === 1 && divider(r)));
  const [head, ...rest] = body;
  const cells = (r, tag) => r.map((c) => `<${tag}>${inline(c, ctx)}</${tag}>`).join('');
  let html = '<div class="tablewrap"><table><thead><tr>' + cells(head || [], 'th') + '</tr></thead><tbody>';
  for (const r of rest) html += '<tr>' + cells(r, 'td') + '</tr>';
  return html + '</tbody></table></div>';
}

// Splits the unclaimed strings of `parts` wherever `find` claims a match; a claimed piece
// is an object holding its finished markup.
function carve(parts, re, make) {
  const out = [];
  for (const part of parts) {
    if (typeof part !== 'string') { out.push(part); continue; }
    re.lastIndex = 0;
    let at = 0;
    let m;
    while ((m = re.exec(part))) {
      const got = make(m, part);
      if (!got) { if (m[0] === '') re.lastIndex++; continue; }
      const start = m.index + (got.skip || 0);
      const end = start + got.length;
      if (start > at) out.push(part.slice(at, start));
      out.push({ html: got.html });
      at = end;
      re.lastIndex = end;
    }
    if (at < part.length) out.push(part.slice(at));
  }
  return out;
}

function webAddress(m, part) {
  const start = m.index;
  if (m[0].toLowerCase().startsWith('www.') && start > 0 && /[\p{L}\p{N}_.\-/@]/u.test(part[start - 1])) return null;
  let url = m[0].replace(/[.,;:!?]+$/, '');
  if (/^(https?:\/\/|www\.)$/i.test(url)) return null;
  const href = /^www\./i.test(url) ? 'https://' + url : url;
  return { length: url.length, html: `<a href="${escapeHtml(href)}" dir="ltr">${escapeHtml(url)}</a>` };
}
const WEB_RE = new RegExp('(?:https?://|www\\.)[^' + URL_END.source.slice(1, -1) + ']*', 'giu');

function chipHtml(path) {
  return `<a class="chip" href="#" data-path="${escapeHtml(path)}" title="${escapeHtml(path)}" dir="ltr">${escapeHtml(path)}</a>`;
}

function pathFinder(ctx) {
  if (!ctx.paths.length) return null;
  const alt = ctx.paths.map((p) => p.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')).join('|');
  return new RegExp(alt, 'g');
}

function pathChips(parts, ctx) {
  const re = pathFinder(ctx);
  if (!re) return parts;
  let chips = 0;
  return carve(parts, re, (m, part) => {
    const before = m.index > 0 ? part[m.index - 1] : '';
    const after = part[m.index + m[0].length] || '';
    // A path is a whole token: not the tail of a longer word or path, nor its head.
    if (before && /[\p{L}\p{N}_./~]/u.test(before)) return null;
    if (after && /[\p{L}\p{N}_\-/~]/u.test(after)) return null;
    if (++chips > MAX_LINKS) return null;
    return { length: m[0].length, html: chipHtml(m[0]) };
  });
}

function linkTarget(target) {
  if (/^(https?:|mailto:)/i.test(target)) return target;
  if (/^[a-z][a-z0-9+.-]*:/i.test(target)) return '';  // no script or other schemes
  return target;
}

function inline(s, ctx) {
  ctx = ctx || { paths: [], links: 0 };
  let parts = carve([String(s)], /`([^`]+)`/g, (m) => {
    const code = m[1];
    if (ctx.paths.includes(code)) return { length: m[0].length, html: chipHtml(code) };
    if (/^(https?:\/\/|www\.)/i.test(code) && !URL_END.test(code)) {
      const href = /^www\./i.test(code) ? 'https://' + code : code;
      return { length: m[0].length, html: `<a href="${escapeHtml(href)}" dir="ltr">${escapeHtml(code)}</a>` };
    }
    return { length: m[0].length, html: '<code>' + escapeHtml(code) + '</code>' };
  });
  parts = carve(parts, /\[([^\]\n]+)\]\(([^()\s]+)\)/g, (m) => {
    const href = linkTarget(m[2]);
    if (!href || ctx.links >= MAX_LINKS) return null;
    ctx.links++;
    return { length: m[0].length, html: `<a href="${escapeHtml(href)}">${escapeHtml(m[1])}</a>` };
  });
  parts = carve(parts, WEB_RE, webAddress);
  parts = pathChips(parts, ctx);
  // Emphasis runs over the text with the finished pieces held as place-holders, so a pair
  // of stars may enclose a link but never reach into one.
  const held = [];
  let t = parts.map((p) => {
    if (typeof p === 'string') return escapeHtml(p.replace(/[\u0001\u0002]/g, ''));
    held.push(p.html);
    return `\u0001${held.length - 1}\u0002`;
  }).join('');
  t = t.replace(/\*\*([^*\n]+?)\*\*/g, '<strong>$1</strong>');
  t = t.replace(/(^|[^*\p{L}\p{N}])\*([^*\s](?:[^*\n]*[^*\s])?)\*(?![*\p{L}\p{N}])/gu, '$1<em>$2</em>');
  return t.replace(/\u0001(\d+)\u0002/g, (m, n) => held[Number(n)]);
}

// Code keeps its text; only bare web addresses in it become links.
function codeHtml(code) {
  return carve([code], WEB_RE, webAddress).map((p) => (typeof p === 'string' ? escapeHtml(p) : p.html)).join('');
}
// ---------- page state ----------

let mode = 'rack';
let lastRack = null;
let onlyPath = '';
let rackEditing = false;
let rackRows = [];   // row elements in order
let rackSlots = [];  // per row: { slot, num, title, sid }
let rackPick = -1;
const rackCache = new Map();  // row key -> { el, sig }
let dialBuf = '';
let dialTimer = null;
const DIAL_WAIT = 900;
const DIAL_MISS = 700;
const lampSeen = new Map();  // row key -> { state, since }: when its lamp last had news
const LAMP_MOTION = 5400;    // ms: the longest lamp motion in style.css (3 × 1.8 s)
let rackPainted = false;
let restoreBusy = false;
let restoreRows = [];
let freeBusy = null;
let COMMANDS = [];
let FIND = '';
const closedCards = new Set();
const assets = new Map();

const VIEWS = {
  rack: 'rackview', chat: 'chatview', reader: 'chatview', search: 'searchview', crew: 'crewview',
  book: 'bookview', works: 'worksview', asks: 'asksview', spend: 'spendview',
};

// ---------- paint ----------

let paintedOnce = false;

function paint(data) {
  try {
    paintAll(data || {});
  } catch (e) {
    send('pageError', { text: 'paint: ' + errorText(e) });
    return;
  }
  // One line in the application's log per page load tells that the page is alive and drew.
  if (!paintedOnce) {
    paintedOnce = true;
    const units = data && Array.isArray(data.units) ? data.units.length : 0;
    send('log', { text: `painted ${units} rows` });
  }
}

function modeOf(d) {
  if (d.reader && d.doc) return 'reader';
  if (d.spend) return 'spend';
  if (d.asks) return 'asks';
  if (d.works) return 'works';
  if (d.book) return 'book';
  if (d.crew) return 'crew';
  if (d.search) return 'search';
  if (d.chat) return 'chat';
  return 'rack';
}

function paintAll(d) {
  const next = modeOf(d);
  if (next !== 'rack' && mode === 'rack') dialClear();
  mode = next;
  for (const v of document.querySelectorAll('.view')) {
    v.classList.toggle('on', v.id === VIEWS[mode]);
  }
  $('chatview').classList.toggle('reader', mode === 'reader');
  document.body.dataset.mode = mode;
  $('backbtn').hidden = mode === 'rack';
  paintTop(d);
  paintAlerts(mode === 'chat' ? d.alerts || [] : []);
  if (mode === 'rack') paintRack(d);
  else if (mode === 'asks') paintAsks(d);
  else if (mode === 'chat' || mode === 'reader') paintChat(d);
  else paintComing(mode, d);
}

function paintTop(d) {
  const units = Array.isArray(d.units) ? d.units : [];
  const count = (f) => units.filter(f).length;
  const run = count((u) => u.state === 'run');
  const wait = count((u) => u.state === 'wait');
  const ask = count((u) => u.state === 'ask' && !u.muted);
  const readout = $('readout');
  readout.replaceChildren();
  const add = (n, key, cls) => {
    const item = el('span', 'count ' + cls + (n ? '' : ' zero'));
    item.title = label(key);
    item.append(el('b', '', String(n)), el('span', '', label(key)));
    readout.append(item);
  };
  add(units.length, 'total', 'all');
  add(run, 'running', 'run');
  add(wait, 'waiting', 'wait');
  add(ask, 'asking', 'ask');
  const c = d.chat || {};
  const crew = [].concat(Array.isArray(c.crew) ? c.crew : [], Array.isArray(d.crew) ? d.crew : []);
  paintLogo(run + units.reduce((n, u) => n + (Number(u.agents) || 0), 0) +
    (c.state === 'run' ? 1 : 0) + crew.filter((a) => a.state === 'run').length);
  $('clock').textContent = d.clock || '';
  const wake = $('wakeall');
  wake.querySelector('.count').textContent = wait ? String(wait) : '';
  wake.classList.toggle('off', !wait);
}

// The logo's bars step while agents run, quicker the more run, and rest when none does.
// A timer moves them a few times a second: a CSS animation, even a stepped one, keeps the
// browser drawing a frame at every screen refresh.
const stillMotion = matchMedia('(prefers-reduced-motion: reduce)');
const LOGO_LEVELS = [1, 0.55, 0.8, 0.4];
let logoRunning = 0;
let logoTimer = null;
let logoFrame = 0;
function paintLogo(running) {
  logoRunning = running;
  const logo = $('logo');
  logo.classList.toggle('busy', running > 0);
  const still = stillMotion.matches || document.visibilityState === 'hidden';
  const every = running > 0 && !still ? Math.round(Math.max(800, 2400 - 200 * (running - 1)) / 4) : 0;
  if (String(every || '') === (logo.dataset.every || '')) return;
  clearInterval(logoTimer);
  logoTimer = null;
  const bars = [...logo.querySelectorAll('.mark i')];
  const step = () => bars.forEach((b, i) => { b.style.transform = every ? `scaleY(${LOGO_LEVELS[(logoFrame + i) % 4]})` : ''; });
  if (every) {
    logo.dataset.every = every;
    logoTimer = setInterval(() => { logoFrame = (logoFrame + 1) % 4; step(); }, every);
  } else {
    delete logo.dataset.every;
  }
  step();
}

// How long ago (ms) the row's lamp turned to asking or working, while that is still news;
// -1 otherwise. Rows already asking or working when the page first paints, and muted rows,
// stay still.
function lampNews(key, u) {
  const state = u.muted ? 'muted' : u.state;
  const now = Date.now();
  let seen = lampSeen.get(key);
  if (!seen || seen.state !== state) {
    const news = (seen || rackPainted) && (state === 'ask' || state === 'run');
    seen = { state, since: news ? now : -Infinity };
    lampSeen.set(key, seen);
  }
  return now - seen.since < LAMP_MOTION ? now - seen.since : -1;
}

function paintAlerts(rows) {
  const box = $('alerts');
  box.replaceChildren();
  box.hidden = !rows.length;
  for (const r of rows) {
    const chip = button('alert', '', () => { if (r.sid) send('open', { sid: r.sid }); });
    chip.append(el('span', 'slot', r.slot), el('span', 'head', r.head), el('span', 'q', r.question));
    box.append(chip);
  }
}

// ---------- rack ----------

function paintRack(d) {
  lastRack = d;
  if (rackEditing) return;
  const units = Array.isArray(d.units) ? d.units : [];
  const rack = $('rack');

  let shown = units;
  const outside = new Set();
  if (onlyPath) {
    shown = units.filter((u) => u.path === onlyPath || (u.state === 'ask' && !u.muted));
    for (const u of shown) if (u.path !== onlyPath) outside.add(u);
  }
  paintFilter(units, outside.size);

  if (!units.length) {
    rackCache.clear();
    rackRows = [];
    rackSlots = [];
    rackPick = -1;
    rack.replaceChildren(el('div', 'empty', label('noUnits')));
    redrawDial();
    return;
  }
  const empty = rack.querySelector('.empty');
  if (empty) empty.remove();

  const seen = new Map();
  const rows = [];
  const slots = [];
  for (const u of shown) {
    let key = (u.tty || '') + '|' + (u.sid || '');
    const n = seen.get(key) || 0;
    seen.set(key, n + 1);
    if (n) key += '#' + n;
    const isOutside = outside.has(u);
    const sig = JSON.stringify(u) + (isOutside ? '|out' : '');
    let entry = rackCache.get(key);
    const news = lampNews(key, u);
    if (!entry || entry.sig !== sig) {
      const row = unitRow(u, isOutside);
      // A row rebuilt mid-motion carries on where the old one was.
      if (news >= 0) {
        row.classList.add('stir');
        row.querySelector('.shape').style.animationDelay = -news + 'ms';
      }
      if (entry) entry.el.replaceWith(row);
      entry = { el: row, sig };
      rackCache.set(key, entry);
    }
    entry.key = key;
    rows.push(entry.el);
    const slot = String(u.slot || '');
    slots.push({ slot, num: slotNumber(slot), title: u.title || '', sid: u.sid || '' });
  }
  const keep = new Set(rows);
  for (const [key, entry] of rackCache) {
    if (!keep.has(entry.el)) { entry.el.remove(); rackCache.delete(key); }
  }
  // Only rows out of place move, so a row under the pointer stays put between paints.
  rows.forEach((row, i) => {
    if (rack.children[i] !== row) rack.insertBefore(row, rack.children[i] || null);
  });
  if (lampSeen.size > 4 * rackCache.size + 100) {
    for (const key of lampSeen.keys()) if (!rackCache.has(key)) lampSeen.delete(key);
  }
  rackPainted = true;
  rackRows = rows;
  rackSlots = slots;
  if (rackPick >= rows.length) rackPick = rows.length - 1;
  markPick();
  redrawDial();
}

function paintFilter(units, pulled) {
  const bar = $('filterbar');
  bar.replaceChildren();
  bar.hidden = !onlyPath;
  if (!onlyPath) return;
  const inside = units.filter((u) => u.path === onlyPath).length;
  const path = el('bdi', 'fpath', onlyPath);
  path.dir = 'ltr';
  bar.append(path, el('span', 'fcount', `${inside} ${label('filterIn')}`));
  if (pulled) bar.append(el('span', 'fpulled', `+${pulled}${label('filterPulled')}`));
  bar.append(button('act', label('showAll'), () => { onlyPath = ''; if (lastRack) paintRack(lastRack); }));
}

function slotNumber(slot) {
  const digits = String(slot).replace(/\D/g, '');
  const n = digits.replace(/^0+/, '');
  return n || (digits ? '0' : '');
}

function slotView(slot) {
  const s = String(slot || '');
  const m = s.match(/^(0*)(\d.*)$/);
  const box = el('div', 'slot');
  box.dir = 'ltr';
  if (m && m[1] && m[2]) {
    box.append(el('span', 'zeros', m[1]), el('span', 'num', m[2]));
  } else {
    box.append(el('span', 'num', s || '—'));
  }
  return box;
}

function firstQuestionOf(ask) {
  if (!ask) return '';
  const parts = Array.isArray(ask.parts) ? ask.parts : [];
  return (parts[0] && parts[0].question) || '';
}

function unitRow(u, isOutside) {
  const state = ['run', 'wait', 'ask', 'quiet'].includes(u.state) ? u.state : 'quiet';
  const row = el('div', `unit ${state}` + (u.muted ? ' muted' : '') + (isOutside ? ' outside' : ''));
  // Done moving: a row moved in the list later must not play its motion again.
  row.addEventListener('animationend', (e) => { if (e.target.classList.contains('shape')) row.classList.remove('stir'); });
  row.setAttribute('role', 'listitem');
  row.dataset.sid = u.sid || '';
  row.dataset.slot = u.slot || '';
  row.dataset.tty = u.tty || '';

  row.append(slotView(u.slot));

  const lamp = el('div', 'lamp');
  lamp.append(el('i', 'shape'), el('span', 'lamplabel', u.stateLabel));
  row.append(lamp);

  const main = el('div', 'main');
  const head = el('div', 'headline');
  const title = el('span', 'title', u.title);
  title.dir = 'auto';
  head.append(title);
  if (u.sid) {
    const pencil = button('pencil', '', () => startRename(title, u));
    pencil.title = label('rename');
    pencil.setAttribute('aria-label', label('rename'));
    head.append(pencil);
  }
  main.append(head);

  const sub = el('div', 'sub');
  if (u.agents > 0) {
    const a = el('span', 'agents', `${u.agents} ${label('agentsShort')}`);
    a.title = `${u.agents} ${label('agentsTip')}`;
    sub.append(a);
  }
  const ask = u.ask;
  const text = firstQuestionOf(ask) || (ask && ask.unwritten && ask.question) || u.say || '';
  const said = el('span', ask ? 'say q' : 'say', text);
  said.dir = 'auto';
  sub.append(said);
  if (ask && ask.unwritten) {
    sub.append(button('link raise', label('unwrittenRaise'), () => send('raise', { tty: u.tty })));
  }
  if (u.windowless) {
    sub.append(button('link', label('toWindow'), () => send('raiseTty', { tty: u.tty })));
  }
  main.append(sub);

  if (u.relay === 'ready' || u.relay === 'go' || u.relayAgents > 0 || u.relayShell) {
    const relay = el('div', 'relay');
    if (u.relay === 'ready') {
      relay.append(button('act relaygo', label('relayReady'), (e, b) => {
        b.textContent = label('relayWaiting');
        b.disabled = true;
        send('relayGo', { sid: u.sid });
      }));
    } else if (u.relay === 'go') {
      relay.append(el('span', 'relaywait', label('relayWaiting')));
    }
    if (u.relayAgents > 0) relay.append(el('span', 'relaynote', `${u.relayAgents}${label('relayAgents')}`));
    else if (u.relayShell) relay.append(el('span', 'relaynote', label('relayShell')));
    main.append(relay);
  }
  row.append(main);

  const meta = el('div', 'meta');
  const top = el('div', 'metatop');
  if (u.chain) top.append(el('span', 'chain', u.chain));
  if (u.model) top.append(el('span', 'model', u.model));
  if (u.context) {
    const level = u.ctxLevel === 'ask' ? ' heavy' : u.ctxLevel === 'warn' ? ' warm' : '';
    const ctx = el('span', 'ctx' + level);
    ctx.title = label('ctxTip');
    const pct = Math.round((Number(u.full) || 0) * 100);
    ctx.append(el('span', 'ctxk', u.context), el('span', 'ctxpct', pct + '%'));
    const bar = el('i', 'ctxbar');
    const fill = el('i', '');
    fill.style.width = Math.max(0, Math.min(100, pct)) + '%';
    bar.append(fill);
    ctx.append(bar);
    top.append(ctx);
  }
  if (Number(u.share) > 0.005) {
    const share = el('span', 'share', Math.round(u.share * 100) + '%');
    const today = el('span', 'sharewhen', label('shareWhen'));
    const box = el('span', 'sharebox');
    box.title = label('shareTip');
    box.append(share, today);
    top.append(box);
  }
  if (u.age) top.append(el('span', 'age', u.age));
  meta.append(top);

  const tools = el('div', 'tools');
  if (u.path) {
    const path = el('bdi', 'path', u.path);
    path.dir = 'ltr';
    path.title = isOutside ? label('pathOutside') : label('pathTip');
    path.addEventListener('click', (e) => {
      e.stopPropagation();
      onlyPath = onlyPath === u.path ? '' : u.path;
      if (lastRack) paintRack(lastRack);
    });
    tools.append(path);
  }
  if (u.sid) {
    tools.append(button('mute', u.muted ? label('muteOff') : label('muteOn'), () => {
      if (u.muted) send('mute', { sid: u.sid });
      else send('mute', { sid: u.sid, stamp: u.stamp || '' });
    }));
  }
  meta.append(tools);
  row.append(meta);

  row.addEventListener('click', (e) => {
    if (rackEditing || isField(e.target)) return;
    if (u.sid) send('open', { sid: u.sid });
  });
  return row;
}

function startRename(title, u) {
  if (rackEditing) return;
  rackEditing = true;
  title.contentEditable = 'true';
  title.classList.add('editing');
  title.focus();
  const range = document.createRange();
  range.selectNodeContents(title);
  const sel = window.getSelection();
  sel.removeAllRanges();
  sel.addRange(range);
  let done = false;
  const finish = (save) => {
    if (done) return;
    done = true;
    title.contentEditable = 'false';
    title.classList.remove('editing');
    title.removeEventListener('keydown', onKey);
    title.removeEventListener('blur', onBlur);
    const name = title.textContent.trim();
    rackEditing = false;
    if (save && name && name !== u.title) {
      title.textContent = name;
      send('rename', { sid: u.sid, name, real: true });
      // The next paint rebuilds the row from the application's word on the name.
      for (const entry of rackCache.values()) if (entry.el.contains(title)) entry.sig = null;
    } else {
      title.textContent = u.title || '';
    }
    if (lastRack) paintRack(lastRack);
  };
  const onKey = (e) => {
    e.stopPropagation();
    if (e.key === 'Enter') { e.preventDefault(); finish(true); title.blur(); }
    else if (e.key === 'Escape') { e.preventDefault(); finish(false); title.blur(); }
  };
  const onBlur = () => finish(true);
  title.addEventListener('keydown', onKey);
  title.addEventListener('blur', onBlur);
}

function markPick() {
  rackRows.forEach((r, i) => r.classList.toggle('pick', i === rackPick));
}

function movePick(by) {
  if (!rackRows.length) return;
  if (rackPick < 0) rackPick = by > 0 ? 0 : rackRows.length - 1;
  else rackPick = (rackPick + by + rackRows.length) % rackRows.length;
  markPick();
  rackRows[rackPick].scrollIntoView({ block: 'nearest' });
}

// ---------- digit dial ----------

function dialMatches() {
  const want = dialBuf.replace(/^0+/, '');
  const exact = [];
  const deeper = [];
  rackSlots.forEach((s, i) => {
    // All zeros can only mean terminal 0; every other row stays reachable by more digits.
    if (!want) { (s.num === '0' && dialBuf ? exact : deeper).push(i); return; }
    if (s.num === want) exact.push(i);
    else if (s.num.length > want.length && s.num.startsWith(want)) deeper.push(i);
  });
  return { exact, deeper };
}

function dialKey(digit) {
  dialBuf += digit;
  dialEvaluate(true);
}

function dialEvaluate(mayOpen) {
  clearTimeout(dialTimer);
  dialTimer = null;
  if (!dialBuf) { dialClear(); return; }
  const { exact, deeper } = dialMatches();
  redrawDial();
  if (mayOpen && exact.length === 1 && !deeper.length) { dialOpen(exact[0]); return; }
  if (!exact.length && !deeper.length) {
    $('dial').classList.add('miss');
    dialTimer = setTimeout(dialClear, DIAL_MISS);
    return;
  }
  dialTimer = setTimeout(() => {
    const now = dialMatches();
    if (now.exact.length === 1) dialOpen(now.exact[0]);
    else dialClear();
  }, DIAL_WAIT);
}

function dialOpen(i) {
  const s = rackSlots[i];
  dialClear();
  if (s && s.sid) send('open', { sid: s.sid });
}

function dialEnter() {
  const { exact, deeper } = dialMatches();
  const first = exact.concat(deeper)[0];
  if (first === undefined) dialClear();
  else dialOpen(first);
}

function dialClear() {
  clearTimeout(dialTimer);
  dialTimer = null;
  dialBuf = '';
  redrawDial();
}

function redrawDial() {
  const dial = $('dial');
  for (const r of rackRows) r.classList.remove('aim');
  if (!dialBuf) {
    dial.hidden = true;
    dial.classList.remove('miss');
    return;
  }
  const { exact, deeper } = dialMatches();
  const aimed = exact.concat(deeper);
  for (const i of aimed) if (rackRows[i]) rackRows[i].classList.add('aim');
  dial.hidden = false;
  dial.classList.toggle('miss', !aimed.length);
  dial.querySelector('.digits').textContent = dialBuf;
  const target = exact.length === 1 ? rackSlots[exact[0]].title : aimed.length ? '' : label('dialMiss');
  dial.querySelector('.target').textContent = target;
}

// ---------- ask card ----------

function askCard(a, outside) {
  const card = el('div', 'askcard' + (a.kind === 'plan' ? ' plan' : ''));
  const head = el('div', 'askhead');
  head.append(el('span', 'kind', a.kind === 'plan' ? label('planLabel') : a.head || label('questionLabel')));
  if (a.since) head.append(el('span', 'since', a.since));
  if (outside) {
    if (a.slot) head.append(el('span', 'slot', a.slot));
    if (a.title) { const t = el('span', 'title', a.title); t.dir = 'auto'; head.append(t); }
  }
  card.append(head);
  if (a.context) { const c = el('div', 'md context'); c.innerHTML = md(a.context); card.append(c); }
  for (const p of Array.isArray(a.paths) ? a.paths : []) card.append(fileCard(p));
  if (a.plan) { const c = el('div', 'md plantext'); c.innerHTML = md(a.plan); card.append(c); }

  const parts = Array.isArray(a.parts) ? a.parts : [];
  const choiceButtons = [];
  parts.forEach((p, i) => {
    const part = el('div', 'part' + (i ? ' later' : ''));
    const q = el('div', 'question', p.question);
    q.dir = 'auto';
    part.append(q);
    if (i) { part.append(el('div', 'note', label('laterPart'))); card.append(part); return; }
    if (p.multi) part.append(el('div', 'note', label('multiNote')));
    const choices = el('div', 'choices');
    for (const c of Array.isArray(p.choices) ? p.choices : []) {
      const b = button('choice', '', (e, btn) => {
        send('answerAsk', { tty: a.tty, pick: c.n });
        btn.classList.add('sent');
        btn.querySelector('.n').textContent = label('sent');
      });
      const name = el('span', 'label', c.label);
      name.dir = 'auto';
      b.append(el('span', 'n', c.n), name);
      if (c.detail) { const detail = el('span', 'detail', c.detail); detail.dir = 'auto'; b.append(detail); }
      choices.append(b);
      choiceButtons.push(b);
    }
    part.append(choices);
    card.append(part);
  });
  if (!a.tty) return card;

  const first = parts[0] || {};
  if (a.windowless) {
    for (const b of choiceButtons) b.disabled = true;
    card.append(button('act', label('windowlessAnswer'), () => send('raiseTty', { tty: a.tty })));
  } else if (a.freeRow > 0 && !first.multi) {
    const free = el('div', 'free');
    const box = el('textarea', '');
    box.rows = 2;
    box.placeholder = label('freePlaceholder');
    box.dir = 'auto';
    const go = button('act primary', label('freeSend'), () => {
      const text = box.value.trim();
      if (!text) { box.focus(); return; }
      freeBusy = go;
      go.disabled = true;
      go.textContent = label('freeSending');
      send('answerFree', { tty: a.tty, text });
    });
    box.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' && !e.shiftKey) { e.preventDefault(); go.click(); }
    });
    free.append(box, go);
    card.append(free);
  }
  card.append(button('link', label('openTerminal'), () => send('raiseTty', { tty: a.tty })));
  return card;
}

function fileCard(path) {
  const card = el('div', 'filecard');
  card.dataset.path = path;
  const head = button('filehead', '', () => {
    const open = !card.classList.contains('open');
    card.classList.toggle('open', open);
    if (open) { closedCards.delete(path); loadCard(card); } else closedCards.add(path);
  });
  const name = el('bdi', '', path.split('/').pop() || path);
  head.append(name);
  head.title = path;
  card.append(head, el('div', 'filebody'));
  if (!closedCards.has(path)) { card.classList.add('open'); loadCard(card); }
  return card;
}

function loadCard(card) {
  const path = card.dataset.path;
  const a = assetFor(path);
  if (a) fillCard(card, a);
  else send('asset', { path });
}

function fillCard(card, p) {
  const body = card.querySelector('.filebody');
  body.replaceChildren();
  if (p.error) body.append(el('div', 'warn', p.error));
  else if (p.src) { const img = el('img', ''); img.src = p.src; body.append(img); }
  else if (Array.isArray(p.shots)) for (const s of p.shots) { const img = el('img', ''); img.src = s; body.append(img); }
  else if (typeof p.text === 'string') {
    if (p.kind === 'md') { const d = el('div', 'md'); d.innerHTML = md(p.text); body.append(d); }
    else body.append(el('pre', '', p.text));
  }
  if (p.note) body.append(el('div', p.warn ? 'warn' : 'note', p.note));
}

// ---------- asks view (open questions of the terminals) ----------

let asksSig = null;

function paintAsks(d) {
  const view = $('asksview');
  const live = Array.isArray(d.live) ? d.live : [];
  const entries = Array.isArray(d.asks) ? d.asks : [];
  const sig = entries.map((x) => x.id + (x.answered ? '1' : '0')).join(',') + '|' +
    live.map((a) => a.id + ':' + a.tty + ':' + firstQuestionOf(a)).join(',');
  if (sig === asksSig) return;
  asksSig = sig;
  view.replaceChildren();
  view.append(el('h1', 'viewtitle', label('view_asks')));
  if (live.length) {
    view.append(el('h2', 'sect', live.length === 1 ? label('asksOne') : live.length + label('asksMany')));
    for (const a of live) view.append(askCard(a, true));
  }
  if (!live.length && !entries.length) view.append(el('div', 'empty', label('noAsks')));
  if (entries.length) view.append(el('div', 'coming', label('asksFile')));
}

function paintComing(m, d) {
  const view = $(VIEWS[m]);
  if (view.dataset.coming === m) return;
  view.dataset.coming = m;
  view.replaceChildren();
  view.append(el('h1', 'viewtitle', label('view_' + m)), el('div', 'coming', label('coming')));
}

// ---------- chat view ----------
//
// The log is repainted about every 1.5 s but rebuilt only when the payload's key changes,
// and then block by block: a block whose line did not change keeps its element, so the
// reader's place, a selection, folds, find marks and anything typed survive.

const IMAGE_EXT = ['png', 'jpg', 'jpeg', 'gif', 'webp', 'svg', 'heic', 'bmp'];
const TEXT_EXT = ['md', 'markdown', 'txt', 'json', 'csv', 'tsv', 'py', 'js', 'sh', 'swift', 'css', 'yml', 'yaml', 'log', 'php'];
const NEAR_BOTTOM = 80;
const MORE_QUIET = 1200;
const MINE_RESET = 4000;
const FLASH = 900;
const ECHO_LIFE = 8000;
const PALETTE_SIZE = 9;
const GIST_MAX = 600;
const MODELS = ['opus', 'sonnet', 'haiku'];

const store = {
  get(k) { try { return localStorage.getItem(k); } catch (e) { return null; } },
  set(k, v) { try { if (v === null) localStorage.removeItem(k); else localStorage.setItem(k, v); } catch (e) { /* private mode */ } },
};

let chatDom = null;
let chat = null;            // the last chat payload
let lastKey = null;
let lastChatSid = '';
let stickBottom = true;
let anchor = null;          // { key, top }: the first line in view and its distance from the log's top
let growHead = false;       // earlier lines were asked for and have not come yet
let moreAt = 0;
let tailSig = '';
const seenAsks = new Set();
let foldOn = store.get('chatFold') === '1';
let foldOpen = new Set();
let outsOpen = store.get('outsOpen') === '1';
let outsSig = null;
let crewSig = null;
let relaySig = null;
let typed = [];             // the user's earlier messages, newest first
let histAt = -1;
let histDraft = '';
let shown = [];             // commands the palette shows
let picked = 0;
let paletteShut = null;     // the field's text when Escape closed the palette
let clipped = [];           // attached files
let editingPath = '';       // a file card being edited
let logDeferred = false;    // a rebuild waits for the card edit to end
let echoes = [];            // sent texts not yet carried by a paint
const drafts = new Map();   // sid -> half-typed text
const logCache = new Map(); // block key -> { el, sig, block }
const cardOpen = new Map(); // path -> open, as the user left it
const asked = new Set();    // paths whose preview was asked for
let mineAt = -1;
let mineWhen = 0;
let dragDepth = 0;
let findState = null;       // { query, ts, role, token, ready, centred }
let findHits = [];          // top to bottom: { marks, key, index, ts, role, group }
let findCur = -1;
let findWant = null;        // { key, index }: the current match, kept across rebuilds
let findClosed = null;      // the token of the find the user closed
let docShown = null;        // what the document pane last filled: path|stamp|editing
let chatShownMode = '';

function extOf(path) {
  const name = String(path || '').split('/').pop();
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(dot + 1).toLowerCase() : '';
}
function isImagePath(path) { return IMAGE_EXT.includes(extOf(path)); }
function isTextPath(path) { return TEXT_EXT.includes(extOf(path)); }

// The application answers with "~" put in; the page asked with the path as written.
function samePath(asked, given) {
  if (asked === given) return true;
  return asked.startsWith('~/') && given.endsWith(asked.slice(1)) && given.length > asked.length - 1;
}
function assetFor(path) {
  if (assets.has(path)) return assets.get(path);
  for (const [p, a] of assets) if (samePath(path, p)) return a;
  return null;
}

function sizeText(n) {
  if (typeof n !== 'number') return String(n || '');
  if (n < 1024) return n + label('bytes');
  if (n < 1048576) return Math.floor(n / 1024) + 'K';
  return (n / 1048576).toFixed(1) + 'M';
}

function hasSelection(inside) {
  const sel = window.getSelection();
  if (!sel || sel.isCollapsed || !sel.rangeCount) return false;
  return !inside || inside.contains(sel.anchorNode) || inside.contains(sel.focusNode);
}

function caretToEnd(field) {
  const n = field.value.length;
  field.setSelectionRange(n, n);
}

// ----- building the view once -----

function chatBuild() {
  const view = $('chatview');
  view.replaceChildren();
  delete view.dataset.coming;
  const d = {};
  d.view = view;

  const head = el('div', 'chathead');
  d.slot = el('div', 'cslot');
  d.slot.dir = 'ltr';
  const titles = el('div', 'ctitles');
  const line1 = el('div', 'cline1');
  d.title = el('span', 'ctitle');
  d.title.dir = 'auto';
  d.title.contentEditable = 'true';
  d.title.spellcheck = false;
  d.title.title = label('rename');
  wireTitle(d.title);
  line1.append(d.title);
  const line2 = el('div', 'cline2');
  d.state = el('span', 'cstate');
  d.state.append(el('i', 'shape'), el('span', 'cstatelabel'));
  d.model = el('span', 'cmodel');
  d.ctx = el('span', 'cctx');
  d.ctx.title = label('ctxTip');
  line2.append(d.state, d.model, d.ctx);
  titles.append(line1, line2);

  const tools = el('div', 'ctools');
  d.fold = button('act fold', label('foldView'), () => toggleFold());
  d.fold.title = label('foldTip');
  d.mine = button('act', label('mine'), () => toMine());
  d.mine.title = label('mineTip');
  d.outs = button('act outs', '', () => {
    outsOpen = !outsOpen;
    store.set('outsOpen', outsOpen ? '1' : null);
    if (chat) paintOutputs(chat.outputs);
  });
  d.modelPick = el('select', 'modelpick');
  d.modelPick.title = label('modelTip');
  d.modelPick.append(new Option(label('model'), ''));
  for (const m of MODELS) d.modelPick.append(new Option(m, m));
  d.modelPick.addEventListener('change', () => {
    const m = d.modelPick.value;
    d.modelPick.value = '';
    if (m) sendText('/model ' + m);
  });
  d.raise = button('act primary raise', '', () => {
    if (!chat) return;
    if (chat.live) send('raise');
    else send('resume', { sid: chat.sid });
  });
  tools.append(d.fold, d.mine, d.outs, d.modelPick, d.raise);
  head.append(d.slot, titles, tools);

  d.relay = el('div', 'crelay');
  d.crew = el('div', 'crewstrip');
  d.outList = el('div', 'outlist');

  const main = el('div', 'chatmain');
  const logwrap = el('div', 'logwrap');
  d.findbar = el('div', 'findbar');
  d.findbar.hidden = true;
  d.findQuery = el('bdi', 'fq');
  d.findCount = el('span', 'fcount');
  d.findPrev = button('act', '↑', () => findStep(-1));
  d.findPrev.title = label('findPrev');
  d.findNext = button('act', '↓', () => findStep(1));
  d.findNext.title = label('findNext');
  const findClose = button('act', '✕', () => closeFind(true));
  findClose.title = label('findClose');
  d.findbar.append(el('span', 'flabel', label('findIn')), d.findQuery, d.findCount, d.findPrev, d.findNext, findClose);

  d.log = el('div', 'log');
  d.log.tabIndex = -1;
  d.col = el('div', 'logcol');
  d.log.append(d.col);
  d.pill = button('pill', '', () => { toBottom(); hidePill(); });
  d.pill.hidden = true;
  d.log.addEventListener('scroll', onLogScroll, { passive: true });
  if (window.ResizeObserver) new ResizeObserver(onLogResize).observe(d.col);

  d.composer = buildComposer(d);
  logwrap.append(d.findbar, d.log, d.pill, d.composer);

  d.doc = buildDocPane(d);
  main.append(logwrap, d.doc);
  view.append(head, d.relay, d.crew, d.outList, main);
  chatDom = d;
}

function wireTitle(title) {
  const finish = () => {
    if (!chat) return;
    const name = title.textContent.replace(/\s+/g, ' ').trim();
    if (name && name !== chat.title) send('rename', { sid: chat.sid, name, real: true });
    else title.textContent = chat.title || '';
  };
  title.addEventListener('keydown', (e) => {
    e.stopPropagation();
    if (e.key === 'Enter' || e.key === 'Escape') { e.preventDefault(); title.blur(); }
  });
  title.addEventListener('blur', finish);
  title.addEventListener('paste', (e) => {
    e.preventDefault();
    const text = (e.clipboardData && e.clipboardData.getData('text/plain')) || '';
    document.execCommand('insertText', false, text.replace(/\s+/g, ' '));
  });
}

function buildComposer(d) {
  const box = el('div', 'composer');
  d.target = el('div', 'ctarget');
  d.palette = el('div', 'palette');
  d.palette.hidden = true;
  d.palette.setAttribute('role', 'listbox');
  const row = el('div', 'crow');
  d.field = el('textarea', 'cfield');
  d.field.rows = 1;
  d.field.dir = 'auto';
  d.field.placeholder = label('composerHint');
  d.send = button('act primary csend', label('sendText'), () => sendTyped());
  row.append(d.field, d.send);
  d.clips = el('div', 'clips');
  box.append(d.palette, d.target, row, d.clips);

  d.field.addEventListener('keydown', onFieldKey);
  d.field.addEventListener('input', () => {
    histAt = -1;
    autosize();
    updatePalette();
    if (chat) drafts.set(chat.sid, d.field.value);
  });
  d.field.addEventListener('paste', (e) => {
    const files = e.clipboardData ? [...e.clipboardData.files] : [];
    if (!files.length) return;
    e.preventDefault();
    for (const f of files) stashFile(f);
  });
  d.field.addEventListener('blur', () => setTimeout(() => {
    if (document.activeElement !== d.field) closePalette(false);
  }, 120));
  return box;
}

function buildDocPane(d) {
  const pane = el('aside', 'docpane');
  pane.hidden = true;
  const head = el('div', 'dochead');
  // The file's name always shows; a long folder gives way.
  d.docName = el('div', 'docname');
  d.docName.dir = 'ltr';
  d.docNote = el('span', 'docnote');
  d.docMode = button('act primary', '', () => {
    if (d.docEditing) send('saveDoc', { text: d.docText.value });
    else send('editDoc');
  });
  d.docReveal = button('act', label('openOutside'), () => { if (d.docPath) send('reveal', { path: d.docPath }); });
  d.docClose = button('act', label('close'), () => send('closeDoc'));
  head.append(d.docName, d.docNote, el('span', 'gap'), d.docMode, d.docReveal, d.docClose);
  d.docView = el('div', 'docbody md');
  d.docText = el('textarea', 'doctext');
  d.docText.dir = 'auto';
  d.docText.spellcheck = false;
  d.docText.hidden = true;
  keepEscape(d.docText);
  pane.append(head, d.docView, d.docText);
  return pane;
}

// Escape in an editor must not leave the view and lose the edit.
function keepEscape(area) {
  area.addEventListener('keydown', (e) => { if (e.key === 'Escape') e.stopPropagation(); });
}

// ----- painting -----

function paintChat(d) {
  if (!chatDom) chatBuild();
  const entering = chatShownMode !== mode;
  chatShownMode = mode;
  const c = d.chat || null;
  if (c && mode === 'chat') {
    if (c.sid !== lastChatSid) chatReset(c.sid);
    chat = c;
    typed = Array.isArray(c.history) ? c.history.filter((t) => typeof t === 'string') : [];
    paintHead(c);
    paintCrew(Array.isArray(c.crew) ? c.crew : []);
    paintOutputs(Array.isArray(c.outputs) ? c.outputs : []);
    paintTarget(c);
    adoptFind(d.find, c);
    // A find still looking for its place hears "ready" even when the lines did not change.
    if (!paintLog(c) && findState && !findState.centred) findAfterRebuild(c);
    // A view taken off the screen loses its scroll position: put the reader back.
    if (entering) { if (stickBottom) toBottom(); else restoreAnchor(); }
  }
  paintDoc(d.doc || null);
}

function chatReset(sid) {
  const d = chatDom;
  if (lastChatSid) drafts.set(lastChatSid, d.field.value);
  lastChatSid = sid;
  d.field.value = drafts.get(sid) || '';
  autosize();
  closePalette(false);
  stickBottom = true;
  anchor = null;
  tailSig = '';
  growHead = false;
  foldOpen = new Set();
  lastKey = null;
  echoes = [];
  histAt = -1;
  clipped = [];
  paintClips();
  editingPath = '';
  logDeferred = false;
  outsSig = null;
  crewSig = null;
  relaySig = null;
  mineAt = -1;
  seenAsks.clear();
  findState = null;
  findHits = [];
  findCur = -1;
  findWant = null;
  logCache.clear();
  d.col.replaceChildren();
  hidePill();
}

function paintHead(c) {
  const d = chatDom;
  d.slot.replaceChildren(...slotView(c.slot).childNodes);
  if (document.activeElement !== d.title) d.title.textContent = c.title || '';
  const asking = c.ask && Array.isArray(c.ask.parts) && c.ask.parts.length > 0;
  const state = asking ? 'ask' : ['run', 'wait', 'closed'].includes(c.state) ? c.state : 'quiet';
  d.state.className = 'cstate ' + state;
  d.state.querySelector('.cstatelabel').textContent = c.stateLabel || '';
  d.model.textContent = c.model || '';
  d.model.hidden = !c.model;
  d.ctx.textContent = c.context || '';
  d.ctx.hidden = !c.context;
  d.ctx.className = 'cctx' + (c.ctxLevel === 'ask' ? ' heavy' : c.ctxLevel === 'warn' ? ' warm' : '');
  d.fold.classList.toggle('on', foldOn);
  d.fold.setAttribute('aria-pressed', foldOn ? 'true' : 'false');
  d.modelPick.hidden = !c.live;
  d.raise.textContent = c.live ? label('toTerminal') : label('resume');
  d.raise.title = c.live ? label('toTerminalTip') : label('resumeTip');

  const sig = [c.relay, c.relayAgents, c.relayShell, c.sid].join('|');
  if (sig !== relaySig) {
    relaySig = sig;
    d.relay.replaceChildren();
    if (c.relay === 'ready') {
      d.relay.append(button('act relaygo', label('relayReady'), (e, b) => {
        b.textContent = label('relayWaiting');
        b.disabled = true;
        send('relayGo', { sid: c.sid });
      }));
    } else if (c.relay === 'go') {
      d.relay.append(el('span', 'relaywait', label('relayWaiting')));
    }
    if (c.relay && c.relayAgents > 0) d.relay.append(el('span', 'relaynote', `${c.relayAgents}${label('relayAgents')}`));
    else if (c.relay && c.relayShell) d.relay.append(el('span', 'relaynote', label('relayShell')));
    d.relay.hidden = !d.relay.childNodes.length;
  }
}

function paintCrew(crew) {
  const d = chatDom;
  const sig = JSON.stringify(crew.map((a) => [a.id, a.task, a.state, a.stateLabel, a.doing]));
  if (sig === crewSig) return;
  crewSig = sig;
  d.crew.replaceChildren();
  d.crew.hidden = !crew.length;
  for (const a of crew) {
    const chip = button('crewchip ' + (a.state === 'run' ? 'run' : 'quiet'), '', () => send('agents'));
    const task = el('span', 'ctask', a.task);
    task.dir = 'auto';
    chip.append(el('i', 'dot'), task);
    if (a.doing) { const doing = el('span', 'cdoing', a.doing); doing.dir = 'auto'; chip.append(doing); }
    chip.append(el('span', 'cstate', a.stateLabel));
    d.crew.append(chip);
  }
}

function paintOutputs(list) {
  const d = chatDom;
  d.outs.hidden = !list.length;
  d.outs.replaceChildren(el('span', 'caret', outsOpen ? '▾' : '▸'), el('span', '', label('outputs')), el('b', 'count', String(list.length)));
  d.outs.setAttribute('aria-expanded', outsOpen ? 'true' : 'false');
  d.outList.hidden = !(outsOpen && list.length);
  const sig = list.map((o) => `${o.path}\u0001${o.size}`).join('\u0002');
  if (sig === outsSig || editingCard()) return;
  outsSig = sig;
  d.outList.replaceChildren();
  list.forEach((o, i) => {
    const meta = [`#${o.n || i + 1}`, o.kind, o.when, sizeText(o.size)].filter((x) => x && x !== '#');
    d.outList.append(chatCard(o.path, meta));
  });
}

function paintTarget(c) {
  const d = chatDom;
  d.field.disabled = !c.live;
  d.send.disabled = !c.live;
  d.composer.classList.toggle('closed', !c.live);
  d.target.textContent = c.live
    ? label('composerTarget').replace('{slot}', c.slot || '—')
    : label('composerClosed');
}

// ----- the log -----

function linesOf(c) {
  const lines = Array.isArray(c.lines) ? c.lines.filter((l) => l && typeof l === 'object') : [];
  const now = Date.now();
  echoes = echoes.filter((e) => youCount(lines, e.text) <= e.base && now - e.at < ECHO_LIFE);
  for (const e of echoes) lines.push({ role: 'you', text: e.text, arg: '', when: '', paths: [], pending: true });
  return lines;
}

function youCount(lines, text) {
  let n = 0;
  for (const l of lines) if (l.role === 'you' && String(l.text || '').trim() === text) n++;
  return n;
}

function gistOf(text) {
  return String(text || '').replaceAll('```', '').replace(/[`*#>]/g, '').replace(/\s+/g, ' ').trim().slice(0, GIST_MAX);
}

// Blocks in order: the earlier bar, the orphan head when lines come before the first
// message of the user's, the lines, the question.
function chatBlocks(c, lines) {
  const blocks = [];
  blocks.push({ key: '@earlier', sig: c.atStart ? 'start' : 'more', make: () => earlierBar(c.atStart) });
  const seen = new Map();
  let group = null;
  const groups = new Map();
  const firstYou = lines.findIndex((l) => l.role === 'you');
  if (lines.length && firstYou !== 0) {
    group = { key: 'orphan', actions: 0, sayings: 0 };
    groups.set('orphan', group);
    blocks.push({ key: '@orphan', sig: 'orphan', head: true, group: 'orphan', counts: group, make: orphanHead });
  }
  for (const l of lines) {
    const text = String(l.text || '');
    const base = `${l.role}|${l.pending ? 'p' : l.when || ''}|${text.slice(0, 160)}|${l.arg || ''}`;
    const n = (seen.get(base) || 0) + 1;
    seen.set(base, n);
    const key = base + '#' + n;
    const sig = JSON.stringify([l.role, text, l.arg || '', l.when || '', !!l.pending, l.paths || []]);
    const b = { key, sig, line: l };
    if (l.role === 'you') {
      group = { key, actions: 0, sayings: 0 };
      groups.set(key, group);
      b.head = true;
      b.counts = group;
      b.make = () => turnRow(l, key);
    } else {
      if (l.role === 'tool') group.actions++;
      else group.sayings++;
      b.make = l.role === 'tool' ? () => actionRow(l) : () => turnRow(l, key);
    }
    b.group = group.key;
    blocks.push(b);
  }
  const ask = c.ask && Array.isArray(c.ask.parts) && c.ask.parts.length ? c.ask : null;
  if (ask) {
    const sig = `${c.sid}|${firstQuestionOf(ask)}`;
    // "since" ages every minute; the card (and what is typed into it) stays meanwhile.
    const cardSig = JSON.stringify(Object.assign({}, ask, { since: '' }));
    blocks.push({ key: '@ask|' + sig, sig: cardSig, ask: sig, make: () => askBlock(ask) });
  }
  return blocks;
}

function earlierBar(atStart) {
  const bar = el('div', 'blk earlier' + (atStart ? ' start' : ''));
  if (atStart) bar.append(el('span', '', label('chatStart')));
  else bar.append(button('link', '↑ ' + label('earlier'), () => loadEarlier()));
  return bar;
}

function orphanHead() {
  const head = el('div', 'blk orphan');
  head.append(el('span', 'foldmark'), el('span', 'otext', label('orphanHead')));
  head.addEventListener('click', () => { if (foldOn && !hasSelection()) toggleGroup('orphan', head); });
  return head;
}

function actionRow(l) {
  const row = el('div', 'blk action');
  row.append(el('span', 'tick', '✓'));
  const t = el('span', 'atext', l.text);
  t.dir = 'auto';
  row.append(t);
  if (l.arg) {
    const a = el('bdi', 'aarg', l.arg);
    row.append(el('span', 'asep', ' · '), a);
  }
  row.title = l.arg ? `${l.text} · ${l.arg}` : String(l.text || '');
  return row;
}

function turnRow(l, key) {
  const you = l.role === 'you';
  const row = el('div', `blk turn ${you ? 'you' : 'agent'}` + (l.pending ? ' pending' : ''));
  const head = el('div', 'turnhead');
  head.append(el('span', 'who', you ? label('speakerYou') : label('speakerAgent')));
  if (l.when) head.append(el('span', 'when', l.when));
  if (l.pending) head.append(el('span', 'pend', label('pending')));
  if (you) head.append(el('span', 'foldmark'));
  row.append(head);
  if (you) {
    const gist = el('div', 'gist', gistOf(l.text));
    gist.dir = 'auto';
    row.append(gist);
  }
  const body = el('div', 'body md');
  body.dir = textDir(l.text);
  body.innerHTML = md(l.text, l.paths);
  row.append(body);
  const paths = Array.isArray(l.paths) ? l.paths.filter((p) => typeof p === 'string' && p) : [];
  if (paths.length) {
    const cards = el('div', 'cards');
    for (const p of paths) cards.append(chatCard(p));
    row.append(cards);
  }
  if (you) {
    row.addEventListener('click', (e) => {
      if (!foldOn || hasSelection()) return;
      if (e.target.closest('a, button, textarea, input, select, .filecard')) return;
      if (row.classList.contains('open') && e.target.closest('.body')) return;
      toggleGroup(key, row);
    });
  }
  return row;
}

function askBlock(ask) {
  const box = el('div', 'blk askblk');
  box.append(askCard(ask, false));
  return box;
}

function paintLog(c) {
  const d = chatDom;
  const lines = linesOf(c);
  const key = `${c.key}\u0001${echoes.map((e) => e.text).join('\u0002')}`;
  if (key === lastKey) return false;
  if (editingPath) { logDeferred = true; return false; }
  logDeferred = false;
  lastKey = key;
  const log = d.log;
  const wasNear = nearBottom();
  const fromBottom = log.scrollHeight - log.scrollTop - log.clientHeight;
  const firstBefore = firstLineKey();

  unmarkFind();
  const blocks = chatBlocks(c, lines);
  reconcile(blocks);
  applyFolds();
  markFind();

  const last = blocks.filter((b) => b.line).pop();
  const tail = last ? last.key : '';
  const askBlk = blocks.find((b) => b.ask);
  const askSig = askBlk ? askBlk.ask : '';
  if (growHead && restoreAnchor()) {
    // Earlier lines came in above: the reader stays on the line being read.
  } else if (wasNear || stickBottom) {
    toBottom();
    hidePill();
  } else {
    if (!restoreAnchor()) log.scrollTop = log.scrollHeight - log.clientHeight - fromBottom;
    if (askSig && !seenAsks.has(askSig)) showPill('ask');
    else if (tailSig && tail !== tailSig) showPill('new');
  }
  if (askSig) seenAsks.add(askSig);
  tailSig = tail;
  if (c.atStart || (firstBefore && firstLineKey() !== firstBefore)) growHead = false;
  paintEarlier();
  findAfterRebuild(c);
  return true;
}

function firstLineKey() {
  for (const node of chatDom.col.children) {
    const k = node.dataset.key || '';
    if (!k.startsWith('@')) return k;
  }
  return '';
}

function paintEarlier() {
  const bar = logCache.get('@earlier');
  if (!bar) return;
  bar.el.classList.toggle('loading', growHead);
  const b = bar.el.querySelector('button');
  if (b) b.textContent = growHead ? label('earlierLoading') : '↑ ' + label('earlier');
}

function reconcile(blocks) {
  const col = chatDom.col;
  const keep = new Set();
  const els = [];
  for (const b of blocks) {
    let entry = logCache.get(b.key);
    if (!entry || entry.sig !== b.sig) {
      const node = b.make();
      node.dataset.key = b.key;
      if (entry) entry.el.replaceWith(node);
      entry = { el: node, sig: b.sig };
      logCache.set(b.key, entry);
    }
    entry.block = b;
    keep.add(b.key);
    els.push(entry.el);
  }
  for (const [k, e] of logCache) {
    if (!keep.has(k)) { e.el.remove(); logCache.delete(k); }
  }
  // Only blocks out of place move, so a selection in a kept block stays.
  els.forEach((node, i) => {
    if (col.children[i] !== node) col.insertBefore(node, col.children[i] || null);
  });
}

function countsText(g) {
  const parts = [];
  if (g.actions) parts.push(g.actions === 1 ? label('oneAction') : label('actions').replace('{n}', g.actions));
  if (g.sayings) parts.push(g.sayings === 1 ? label('oneSaying') : label('sayings').replace('{n}', g.sayings));
  return parts.length ? parts.join(' · ') : label('noReply');
}

function applyFolds() {
  chatDom.log.classList.toggle('foldon', foldOn);
  for (const e of logCache.values()) {
    const b = e.block;
    if (!b || !b.group) continue;
    const open = foldOpen.has(b.group);
    if (b.head) {
      e.el.classList.toggle('open', open);
      const mark = e.el.querySelector('.foldmark');
      if (mark) mark.textContent = (open ? '▾ ' : '▸ ') + countsText(b.counts);
    } else {
      e.el.classList.toggle('hid', foldOn && !open);
    }
  }
}

function toggleGroup(group, headEl) {
  const before = headEl ? headEl.getBoundingClientRect().top : 0;
  if (foldOpen.has(group)) foldOpen.delete(group);
  else foldOpen.add(group);
  applyFolds();
  // The clicked head stays where the pointer is.
  if (headEl) chatDom.log.scrollTop += headEl.getBoundingClientRect().top - before;
  settleScroll();
}

function toggleFold() {
  if (!chatDom) return;
  foldOn = !foldOn;
  store.set('chatFold', foldOn ? '1' : null);
  const keep = firstInView();
  const before = keep ? keep.getBoundingClientRect().top : 0;
  applyFolds();
  chatDom.fold.classList.toggle('on', foldOn);
  chatDom.fold.setAttribute('aria-pressed', foldOn ? 'true' : 'false');
  if (stickBottom) toBottom();
  else if (keep && keep.offsetParent) chatDom.log.scrollTop += keep.getBoundingClientRect().top - before;
  settleScroll();
}

// ----- scrolling -----

function nearBottom() {
  const log = chatDom.log;
  return log.scrollHeight - log.scrollTop - log.clientHeight < NEAR_BOTTOM;
}

function toBottom() {
  const log = chatDom.log;
  log.scrollTop = log.scrollHeight;
  stickBottom = true;
  captureAnchor();
}

// The first line (not the bar or a head of the log's own) that reaches into the view.
function firstInView() {
  const log = chatDom.log;
  const top = log.scrollTop;
  for (const node of chatDom.col.children) {
    const k = node.dataset.key || '';
    if (k.startsWith('@') || !node.offsetParent) continue;
    if (node.offsetTop + node.offsetHeight > top) return node;
  }
  return null;
}

function captureAnchor() {
  const node = firstInView();
  anchor = node ? { key: node.dataset.key, top: node.offsetTop - chatDom.log.scrollTop } : null;
}

function restoreAnchor() {
  if (!anchor) return false;
  const entry = logCache.get(anchor.key);
  if (!entry || !entry.el.offsetParent) return false;
  chatDom.log.scrollTop = entry.el.offsetTop - anchor.top;
  return true;
}

function settleScroll() {
  stickBottom = nearBottom();
  captureAnchor();
  if (stickBottom) hidePill();
}

let scrollQueued = false;
function onLogScroll() {
  if (scrollQueued) return;
  scrollQueued = true;
  requestAnimationFrame(() => { scrollQueued = false; settleScroll(); });
}

// Pictures arriving, cards opening: the view keeps to the bottom or to its line.
function onLogResize() {
  if (mode !== 'chat') return;
  if (stickBottom) toBottom();
  else restoreAnchor();
}

function showPill(kind) {
  const pill = chatDom.pill;
  pill.textContent = kind === 'ask' ? label('pillAsk') : label('pillNew');
  pill.classList.toggle('ask', kind === 'ask');
  pill.hidden = false;
}
function hidePill() { if (chatDom) chatDom.pill.hidden = true; }

function loadEarlier() {
  if (!chat || chat.atStart) return;
  const now = Date.now();
  if (now - moreAt < MORE_QUIET) return;
  moreAt = now;
  growHead = true;
  stickBottom = false;
  captureAnchor();
  paintEarlier();
  send('more');
}

function toMine() {
  if (!chatDom || mode !== 'chat') return;
  const mine = [...chatDom.col.querySelectorAll('.turn.you')].filter((n) => n.offsetParent);
  if (!mine.length) return;
  const now = Date.now();
  if (mineAt < 0 || now - mineWhen > MINE_RESET) mineAt = mine.length - 1;
  else mineAt = (mineAt - 1 + mine.length) % mine.length;
  mineWhen = now;
  const target = mine[Math.min(mineAt, mine.length - 1)];
  chatDom.log.scrollTop = target.offsetTop - 16;
  settleScroll();
  flash(target);
}

function flash(node) {
  node.classList.remove('flash');
  void node.offsetWidth;
  node.classList.add('flash');
  setTimeout(() => node.classList.remove('flash'), FLASH);
}

// ----- file cards -----

function chatCard(path, meta) {
  const card = el('div', 'filecard chatcard');
  card.dataset.path = path;
  const image = isImagePath(path);
  const text = isTextPath(path);
  const head = el('div', 'cardhead');
  const toggle = button('filehead', '', () => setCardOpen(card, !card.classList.contains('open'), true));
  toggle.title = path;
  const name = el('bdi', 'cname', path.split('/').pop() || path);
  name.dir = 'ltr';
  toggle.append(el('span', 'caret'), name);
  for (const m of meta || []) toggle.append(el('span', 'cmeta', m));
  head.append(toggle);
  const tools = el('div', 'cardtools');
  if (text) {
    tools.append(button('link cedit', label('edit'), () => startCardEdit(card)));
    tools.append(button('link', label('beside'), () => send('openDoc', { path })));
  }
  if (!text && !image) tools.append(button('link', label('openOutside'), () => send('reveal', { path })));
  head.append(tools);
  card.append(head, el('div', 'filebody'));
  const open = cardOpen.has(path) ? cardOpen.get(path) : image;
  if (open) setCardOpen(card, true, false);
  return card;
}

function setCardOpen(card, open, byHand) {
  const path = card.dataset.path;
  card.classList.toggle('open', open);
  if (byHand) cardOpen.set(path, open);
  if (!open) return;
  const a = assetFor(path);
  if (a) fillChatCard(card, a);
  // Opening by hand asks again: the agent may have changed the file since.
  if (!a || byHand) {
    if (!asked.has(path) || byHand) { asked.add(path); send('asset', { path }); }
  }
}

function fillChatCard(card, p) {
  const path = card.dataset.path;
  if (editingPath === path && card.querySelector('.cardedit')) {
    // Saved: leave editing; a failed save keeps the text and says why.
    const note = card.querySelector('.cardnote');
    if (p.note) { note.textContent = p.note; note.classList.toggle('warn', !!p.warn); }
    if (p.warn || !p.note) return;
    editingPath = '';
    card.classList.remove('editing');
  }
  const body = card.querySelector('.filebody');
  body.replaceChildren();
  if (p.error) body.append(el('div', 'warn', p.error));
  else if (p.src) { const img = el('img', ''); img.src = p.src; img.alt = p.name || ''; body.append(img); }
  else if (Array.isArray(p.shots)) for (const s of p.shots) { const img = el('img', ''); img.src = s; body.append(img); }
  else if (typeof p.text === 'string') {
    if (p.kind === 'md') { const m = el('div', 'md'); m.dir = textDir(p.text); m.innerHTML = md(p.text); body.append(m); }
    else { const pre = el('pre', '', p.text); pre.dir = 'ltr'; body.append(pre); }
  }
  if (p.note) body.append(el('div', p.warn ? 'warn' : 'note', p.note));
  if (logDeferred && !editingPath && chat) paintLog(chat);
}

function startCardEdit(card) {
  const path = card.dataset.path;
  const a = assetFor(path);
  if (editingPath && editingPath !== path) return false;
  if (!a || typeof a.text !== 'string') {
    setCardOpen(card, true, true);
    return false;
  }
  editingPath = path;
  card.classList.add('open', 'editing');
  cardOpen.set(path, true);
  const body = card.querySelector('.filebody');
  const box = el('div', 'cardedit');
  const area = el('textarea', '');
  area.value = a.text;
  area.dir = 'auto';
  area.spellcheck = false;
  area.rows = Math.min(24, Math.max(6, a.text.split('\n').length + 1));
  keepEscape(area);
  const bar = el('div', 'cardbar');
  bar.append(
    button('act primary', label('save'), () => saveCard(card)),
    button('act', label('cancel'), () => {
      editingPath = '';
      card.classList.remove('editing');
      fillChatCard(card, assetFor(path) || a);
    }),
    el('span', 'cardnote'));
  box.append(area, bar);
  body.replaceChildren(box);
  area.focus();
  return true;
}

function saveCard(card) {
  const area = card.querySelector('.cardedit textarea');
  if (!area) return;
  const note = card.querySelector('.cardnote');
  if (note) { note.textContent = label('saving'); note.classList.remove('warn'); }
  send('saveAsset', { path: card.dataset.path, text: area.value });
}

function editingCard() {
  if (!editingPath || !chatDom) return null;
  for (const card of chatDom.view.querySelectorAll('.chatcard.editing')) {
    if (card.dataset.path === editingPath) return card;
  }
  return null;
}

// ----- the document pane -----

function paintDoc(doc) {
  const d = chatDom;
  d.view.classList.toggle('hasdoc', !!doc);
  d.doc.hidden = !doc;
  if (!doc) { docShown = null; d.docPath = ''; d.docEditing = false; return; }
  d.docPath = doc.path || '';
  d.docEditing = !!doc.editing;
  const shownName = String(doc.name || doc.path || '');
  const cut = shownName.lastIndexOf('/') + 1;
  d.docName.replaceChildren(el('span', 'docdir', shownName.slice(0, cut)), el('span', 'docfile', shownName.slice(cut)));
  d.docName.title = doc.path || '';
  d.docNote.textContent = doc.note || '';
  d.docNote.classList.toggle('warn', !!doc.warn);
  d.docMode.textContent = doc.editing ? label('save') : label('edit');
  const shown = `${doc.path}\u0001${doc.stamp}\u0001${doc.editing ? 1 : 0}`;
  if (shown === docShown) return;
  docShown = shown;
  const text = typeof doc.text === 'string' ? doc.text : '';
  d.docText.hidden = !doc.editing;
  d.docView.hidden = !!doc.editing;
  if (doc.editing) {
    d.docText.value = text;
    d.docText.focus();
  } else if (/^(md|markdown)$/.test(extOf(doc.path))) {
    d.docView.dir = textDir(text);
    d.docView.innerHTML = md(text, doc.paths);
  } else {
    const pre = el('pre', 'plain', text);
    pre.dir = 'auto';
    d.docView.replaceChildren(pre);
  }
}

// ----- find in the conversation -----

// Points, cantillation, zero-width and direction marks and the soft hyphen do not count.
function skipsInFind(code) {
  return (code >= 0x0591 && code <= 0x05bd) || code === 0x05bf || code === 0x05c1 || code === 0x05c2 ||
    code === 0x05c4 || code === 0x05c5 || code === 0x05c7 || (code >= 0x200b && code <= 0x200f) ||
    (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) || code === 0x00ad;
}

// The folded text and, for each of its characters, where it came from.
function foldFind(chunks) {
  let s = '';
  const from = [];
  let blank = true;
  for (const chunk of chunks) {
    if (chunk === null) {  // a block boundary
      if (!blank) { s += ' '; from.push(null); blank = true; }
      continue;
    }
    const t = chunk.node ? chunk.node.data : chunk.text;
    for (let i = 0; i < t.length;) {
      const code = t.codePointAt(i);
      const len = code > 0xffff ? 2 : 1;
      if (!skipsInFind(code)) {
        const ch = String.fromCodePoint(code);
        if (/\s/.test(ch)) {
          if (!blank) { s += ' '; from.push({ node: chunk.node, at: i, len }); blank = true; }
        } else {
          const low = ch.toLowerCase();
          for (let k = 0; k < low.length; k++) { s += low[k]; from.push({ node: chunk.node, at: i, len }); }
          blank = false;
        }
      }
      i += len;
    }
  }
  return { s, from };
}

function foldQuery(q) { return foldFind([{ text: String(q || '') }]).s.trim(); }

const BLOCK_TAGS = new Set(['P', 'LI', 'PRE', 'H3', 'H4', 'H5', 'H6', 'BLOCKQUOTE', 'TR', 'TD', 'TH', 'BR', 'HR', 'DIV', 'UL', 'OL', 'TABLE']);

function textChunks(body) {
  const chunks = [];
  const skip = (n) => n.closest && n.closest('.filecard, .chip, button, textarea');
  const walk = (node) => {
    for (const child of node.childNodes) {
      if (child.nodeType === 3) { if (child.data) chunks.push({ node: child }); continue; }
      if (child.nodeType !== 1 || skip(child)) continue;
      const block = BLOCK_TAGS.has(child.tagName);
      if (block) chunks.push(null);
      walk(child);
      if (block) chunks.push(null);
    }
  };
  walk(body);
  return chunks;
}

function occurrences(s, q) {
  const out = [];
  if (!q) return out;
  for (let i = s.indexOf(q); i >= 0; i = s.indexOf(q, i + q.length)) out.push([i, i + q.length]);
  return out;
}

function markFind() {
  findHits = [];
  const d = chatDom;
  if (!findState) { d.findbar.hidden = true; return; }
  d.findbar.hidden = false;
  d.findQuery.textContent = findState.query;
  const q = foldQuery(findState.query);
  if ([...q].length < 2) { paintFindCount(); return; }
  const turns = [];
  for (const node of d.col.querySelectorAll('.turn')) {
    const body = node.querySelector('.body');
    const entry = logCache.get(node.dataset.key);
    if (!body || !entry) continue;
    turns.push({ node, entry, folded: foldFind(textChunks(body)) });
  }
  let ranges = turns.map((t) => occurrences(t.folded.s, q));
  if (!ranges.some((r) => r.length)) {
    const words = [...new Set(q.split(' ').filter((w) => [...w].length >= 2))];
    if (words.length > 1) {
      ranges = turns.map((t) => {
        const all = words.flatMap((w) => occurrences(t.folded.s, w)).sort((a, b) => a[0] - b[0]);
        const kept = [];
        for (const r of all) if (!kept.length || r[0] >= kept[kept.length - 1][1]) kept.push(r);
        return kept;
      });
    }
  }
  turns.forEach((t, ti) => {
    const segments = [];
    ranges[ti].forEach(([a, b], index) => {
      const hit = { marks: [], key: t.node.dataset.key, index, line: t.entry.block.line, group: t.entry.block.group };
      findHits.push(hit);
      // A match may run over several text nodes (bold inside it, say): one mark per node.
      const byNode = new Map();
      for (let i = a; i < b; i++) {
        const f = t.folded.from[i];
        if (!f || !f.node) continue;
        const seg = byNode.get(f.node) || { node: f.node, start: f.at, end: f.at + f.len, hit };
        seg.start = Math.min(seg.start, f.at);
        seg.end = Math.max(seg.end, f.at + f.len);
        byNode.set(f.node, seg);
      }
      segments.push(...byNode.values());
    });
    // Last first within a node, so earlier offsets stay valid while it is split.
    segments.sort((x, y) => y.start - x.start);
    for (const seg of segments) {
      const mark = wrapText(seg.node, seg.start, seg.end);
      if (mark) seg.hit.marks.unshift(mark);
    }
  });
  paintFindCount();
}

function wrapText(node, start, end) {
  if (!node.parentNode || start >= end || end > node.data.length) return null;
  node.splitText(end);
  const mid = node.splitText(start);
  const mark = document.createElement('mark');
  mark.className = 'hit';
  mid.parentNode.insertBefore(mark, mid);
  mark.appendChild(mid);
  return mark;
}

function unmarkFind() {
  if (!chatDom) return;
  for (const mark of chatDom.col.querySelectorAll('mark.hit')) {
    const parent = mark.parentNode;
    while (mark.firstChild) parent.insertBefore(mark.firstChild, mark);
    parent.removeChild(mark);
    parent.normalize();
  }
  findHits = [];
}

function reachedFind(c) {
  if (!findState || findState.ts <= 0 || c.atStart) return true;
  const first = (Array.isArray(c.lines) ? c.lines : []).find((l) => Number(l.ts) > 0);
  return !!first && Number(first.ts) <= findState.ts + 1;
}

function bestHit() {
  if (!findHits.length) return -1;
  if (!findState.ts || findState.ts <= 0) return findHits.length - 1;
  let best = -1;
  let bestDist = Infinity;
  findHits.forEach((h, i) => {
    const ts = Number(h.line && h.line.ts) || 0;
    if (!ts) return;
    const dist = Math.abs(ts - findState.ts) + (h.line.role === findState.role ? 0 : 5);
    if (dist < bestDist) { bestDist = dist; best = i; }
  });
  return best >= 0 ? best : findHits.length - 1;
}

function adoptFind(f, c) {
  // A find closed here stays closed while the application has not yet heard of it.
  if (f && f.token === findClosed) f = null;
  if (!f || f.sid !== c.sid || !String(f.query || '').trim()) {
    if (findState) closeFind(false);
    return;
  }
  if (!findState || findState.token !== f.token) {
    unmarkFind();
    findState = { query: String(f.query), ts: Number(f.ts) || 0, role: String(f.role || ''), token: f.token, centred: false };
    findWant = null;
    findCur = -1;
    lastKey = null;  // marks go in with the next rebuild
  }
  findState.ready = !!f.ready;
}

function findAfterRebuild(c) {
  if (!findState) return;
  if (!findState.centred) {
    if (!reachedFind(c)) {
      findCur = -1;
      paintFindCount(true);
      if (findState.ready) loadEarlier();
      return;
    }
    findState.centred = true;
    findCur = bestHit();
    if (findCur >= 0) {
      findWant = { key: findHits[findCur].key, index: findHits[findCur].index };
      showHit(true);
    } else {
      paintFindCount();
    }
    return;
  }
  findCur = -1;
  if (findWant) findCur = findHits.findIndex((h) => h.key === findWant.key && h.index === findWant.index);
  if (findCur < 0 && findHits.length) findCur = bestHit();
  showHit(false);
}

function showHit(centre) {
  findHits.forEach((h, i) => h.marks.forEach((m) => m.classList.toggle('cur', i === findCur)));
  paintFindCount();
  const hit = findHits[findCur];
  if (!hit || !centre) return;
  if (foldOn && hit.group && !foldOpen.has(hit.group)) { foldOpen.add(hit.group); applyFolds(); }
  const mark = hit.marks[0];
  if (!mark) return;
  const log = chatDom.log;
  const box = log.getBoundingClientRect();
  const r = mark.getBoundingClientRect();
  log.scrollTop += r.top - box.top - (log.clientHeight - r.height) / 2;
  stickBottom = false;
  captureAnchor();
}

function paintFindCount(waiting) {
  const d = chatDom;
  if (!findState) return;
  const n = findHits.length;
  d.findCount.textContent = waiting ? label('findWaiting') : n ? `${findCur + 1} / ${n}` : label('findNone');
  d.findbar.classList.toggle('none', !waiting && !n);
  d.findPrev.disabled = !n;
  d.findNext.disabled = !n;
}

function findStep(by) {
  if (!findState || !chat || !findHits.length) return;
  if (by < 0 && findCur <= 0 && !chat.atStart) { loadEarlier(); return; }
  findCur = ((findCur < 0 ? 0 : findCur + (by < 0 ? -1 : 1)) + findHits.length) % findHits.length;
  findWant = { key: findHits[findCur].key, index: findHits[findCur].index };
  findState.centred = true;
  showHit(true);
}

function closeFind(tell) {
  unmarkFind();
  const had = !!findState;
  if (had && tell) findClosed = findState.token;
  findState = null;
  findWant = null;
  findCur = -1;
  if (chatDom) chatDom.findbar.hidden = true;
  if (tell && had) send('findClear');
}

// Escape on the page: the find in the conversation goes first.
function chatEscape() {
  if (mode === 'chat' && findState) { closeFind(true); return true; }
  return false;
}

// ----- the composer -----

function autosize() {
  const f = chatDom.field;
  f.style.height = 'auto';
  f.style.height = Math.min(f.scrollHeight + 2, 220) + 'px';
}

function onFieldKey(e) {
  const f = chatDom.field;
  if (e.isComposing) return;
  if (paletteOpen()) {
    if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      picked = (picked + (e.key === 'ArrowDown' ? 1 : -1) + shown.length) % shown.length;
      paintPalette();
      return;
    }
    if (e.key === 'Tab' || (e.key === 'Enter' && !e.shiftKey)) { e.preventDefault(); completePalette(picked); return; }
    if (e.key === 'Escape') { e.preventDefault(); e.stopPropagation(); closePalette(true); return; }
  }
  if (e.key === 'Enter' && !e.shiftKey && !e.altKey && !e.ctrlKey && !e.metaKey) {
    e.preventDefault();
    sendTyped();
    return;
  }
  if (e.key === 'ArrowUp' && !e.shiftKey && (histAt >= 0 || f.value === '') && typed.length) {
    e.preventDefault();
    if (histAt < 0) { histDraft = f.value; histAt = 0; } else histAt = Math.min(histAt + 1, typed.length - 1);
    f.value = typed[histAt];
    autosize();
    caretToEnd(f);
    return;
  }
  if (e.key === 'ArrowDown' && histAt >= 0) {
    e.preventDefault();
    histAt--;
    f.value = histAt >= 0 ? typed[histAt] : histDraft;
    autosize();
    caretToEnd(f);
    return;
  }
  if (e.key === 'Escape' && histAt >= 0) {
    e.preventDefault();
    e.stopPropagation();
    f.value = histDraft;
    histAt = -1;
    autosize();
  }
}

function sendText(text) {
  if (!chat || !text) return;
  send('send', { text });
  // Shown at once; the application's pending line (then the transcript's) takes its place.
  echoes.push({ text, base: youCount(Array.isArray(chat.lines) ? chat.lines : [], text), at: Date.now() });
  stickBottom = true;
  paintLog(chat);
}

function sendTyped() {
  const f = chatDom.field;
  const text = f.value.trim();
  if (!text || !chat || !chat.live) return;
  f.value = '';
  autosize();
  closePalette(false);
  histAt = -1;
  histDraft = '';
  clipped = [];
  paintClips();
  drafts.delete(chat.sid);
  sendText(text);
}

function paletteOpen() { return chatDom && !chatDom.palette.hidden && shown.length > 0; }

function scoreCommand(c, word) {
  const name = String(c.name || '').toLowerCase();
  if (!word) return 2;
  if (name.startsWith(word)) return 0;
  if (name.includes(word)) return 1;
  if (String(c.hint || '').toLowerCase().includes(word)) return 3;
  return -1;
}

function updatePalette() {
  const v = chatDom.field.value;
  const m = v.match(/^\/([^\s]*)$/);
  if (!m || v === paletteShut) { closePalette(false); return; }
  paletteShut = null;
  const word = m[1].toLowerCase();
  shown = COMMANDS.map((c, i) => ({ c, i, s: scoreCommand(c, word) }))
    .filter((x) => x.s >= 0 && x.c && x.c.name)
    .sort((a, b) => a.s - b.s || a.i - b.i)
    .slice(0, PALETTE_SIZE)
    .map((x) => x.c);
  picked = 0;
  paintPalette();
}

function paintPalette() {
  const p = chatDom.palette;
  p.replaceChildren();
  p.hidden = !shown.length;
  shown.forEach((c, i) => {
    const item = el('div', 'pitem' + (i === picked ? ' on' : ''));
    item.setAttribute('role', 'option');
    const name = el('bdi', 'pname', '/' + c.name);
    name.dir = 'ltr';
    item.append(name, el('span', 'pkind', c.kind));
    const hint = el('span', 'phint', c.hint);
    hint.dir = 'auto';
    item.append(hint);
    if (c.interactive) {
      const mark = el('span', 'pint', label('interactive'));
      mark.title = label('interactiveTip');
      item.append(mark);
    }
    item.addEventListener('mousedown', (e) => { e.preventDefault(); completePalette(i); });
    p.append(item);
  });
  const on = p.querySelector('.pitem.on');
  if (on) on.scrollIntoView({ block: 'nearest' });
}

function completePalette(i) {
  const c = shown[i];
  if (!c) return;
  const f = chatDom.field;
  f.value = '/' + c.name + ' ';
  closePalette(false);
  f.focus();
  caretToEnd(f);
  autosize();
  if (chat) drafts.set(chat.sid, f.value);
}

function closePalette(byEscape) {
  if (!chatDom) return;
  if (byEscape) paletteShut = chatDom.field.value;
  shown = [];
  chatDom.palette.hidden = true;
  chatDom.palette.replaceChildren();
}

function paintClips() {
  const box = chatDom.clips;
  box.replaceChildren();
  box.hidden = !clipped.length;
  for (const p of clipped) {
    const chip = el('bdi', 'clip', p.split('/').pop());
    chip.dir = 'ltr';
    chip.title = p;
    box.append(chip);
  }
}

function stashFile(file) {
  const reader = new FileReader();
  reader.onload = () => {
    const s = String(reader.result || '');
    const comma = s.indexOf(',');
    send('stash', { data: comma >= 0 ? s.slice(comma + 1) : '', name: file.name || 'file' });
  };
  reader.readAsDataURL(file);
}

function canDrop(e) {
  return mode === 'chat' && chat && chat.live && e.dataTransfer && [...e.dataTransfer.types].includes('Files');
}

document.addEventListener('dragenter', (e) => {
  if (!canDrop(e)) return;
  e.preventDefault();
  dragDepth++;
  $('drop').hidden = false;
});
document.addEventListener('dragover', (e) => { if (canDrop(e)) e.preventDefault(); });
document.addEventListener('dragleave', (e) => {
  if (!canDrop(e)) return;
  dragDepth = Math.max(0, dragDepth - 1);
  if (!dragDepth) $('drop').hidden = true;
});
document.addEventListener('drop', (e) => {
  dragDepth = 0;
  $('drop').hidden = true;
  if (!canDrop(e)) return;
  e.preventDefault();
  for (const f of e.dataTransfer.files) stashFile(f);
});

// ----- functions the application calls for the chat -----

function setCommands(list) {
  COMMANDS = Array.isArray(list) ? list.filter((c) => c && typeof c.name === 'string') : [];
  if (chatDom && !chatDom.palette.hidden) updatePalette();
}

function attached(path) {
  if (!chatDom || !path) return;
  const f = chatDom.field;
  const v = f.value;
  f.value = v + (v && !/\s$/.test(v) ? ' ' : '') + path + ' ';
  clipped.push(String(path));
  paintClips();
  autosize();
  f.focus();
  caretToEnd(f);
  if (chat) drafts.set(chat.sid, f.value);
}

function startCommand() {
  if (!chatDom || mode !== 'chat' || chatDom.field.disabled) return;
  const f = chatDom.field;
  if (!f.value) f.value = '/';
  paletteShut = null;
  f.focus();
  caretToEnd(f);
  updatePalette();
}

function editTopCard() {
  if (!chatDom || mode !== 'chat') return false;
  const cards = [...chatDom.col.querySelectorAll('.chatcard.open')].filter((c) => isTextPath(c.dataset.path));
  const card = cards.pop();
  return card ? startCardEdit(card) : false;
}

function saveAnything() {
  const card = editingCard();
  if (card) { saveCard(card); return; }
  if (chatDom && chatDom.docEditing && !chatDom.doc.hidden) send('saveDoc', { text: chatDom.docText.value });
}

// ---------- restore panel ----------

function openRestore() {
  if (restoreBusy) return;
  restoreRows = [];
  const list = $('restorelist');
  list.replaceChildren(el('div', 'waitline', label('restoreLoading')));
  $('restorewrap').hidden = false;
  updateRestoreNote();
  send('restorable');
}

function closeRestore() { $('restorewrap').hidden = true; }

function setRestorable(rows) {
  restoreRows = Array.isArray(rows) ? rows : [];
  const list = $('restorelist');
  list.replaceChildren();
  if (!restoreRows.length) list.append(el('div', 'waitline', label('restoreEmpty')));
  for (const r of restoreRows) {
    const item = el('label', 'restorerow');
    const box = el('input', '');
    box.type = 'checkbox';
    box.value = r.sid || '';
    box.addEventListener('change', updateRestoreNote);
    const t = el('span', 'rtitle', r.title || String(r.sid || '').slice(0, 8));
    t.dir = 'auto';
    const when = el('span', 'rwhen', String(r.lastActive || '').slice(11, 16));
    const cwd = el('bdi', 'rcwd', r.cwd || '');
    cwd.dir = 'ltr';
    item.append(box, t, when, cwd);
    list.append(item);
  }
  updateRestoreNote();
}

function tickedRestore() {
  return [...$('restorelist').querySelectorAll('input:checked')].map((b) => b.value).filter(Boolean);
}

function updateRestoreNote() {
  const n = tickedRestore().length;
  $('restorenote').textContent = restoreRows.length ? label('restoreNote').replace('{n}', String(n)) : '';
  $('restorerun').classList.toggle('off', !n);
}

function runRestore() {
  const sids = tickedRestore();
  if (!sids.length) return;
  send('restoreRun', { sids });
  closeRestore();
  restoreBusy = true;
  $('restorebtn').classList.add('busy');
  $('restorebtn').disabled = true;
}

function restoreDone() {
  restoreBusy = false;
  $('restorebtn').classList.remove('busy');
  $('restorebtn').disabled = false;
}

// ---------- functions the application calls ----------

function freeDone(ok, why) {
  if (!freeBusy) return;
  freeBusy.textContent = (ok ? label('freeOk') : label('freeFail')) + (why ? ' — ' + why : '');
  freeBusy.disabled = false;
  freeBusy = null;
}

function setAsset(p) {
  if (!p || !p.path) return;
  assets.set(p.path, p);
  for (const card of document.querySelectorAll('.filecard')) {
    if (!samePath(card.dataset.path, p.path)) continue;
    if (card.classList.contains('chatcard')) fillChatCard(card, p);
    else fillCard(card, p);
  }
}

function setFind(text) { FIND = String(text || ''); }
function focusFind() {}

// ---------- global keys and clicks ----------

document.addEventListener('keydown', (e) => {
  if (!$('restorewrap').hidden) {
    if (e.key === 'Escape') { e.preventDefault(); closeRestore(); }
    return;
  }
  if ((e.ctrlKey || e.metaKey) && !e.altKey && e.key.toLowerCase() === 's') {
    e.preventDefault();
    saveAnything();
    return;
  }
  const plain = !e.metaKey && !e.ctrlKey && !e.altKey;
  if (mode === 'rack' && plain && !isField(e.target)) {
    if (/^[0-9]$/.test(e.key)) { e.preventDefault(); dialKey(e.key); return; }
    if (dialBuf) {
      if (e.key === 'Backspace') { e.preventDefault(); dialBuf = dialBuf.slice(0, -1); dialEvaluate(false); return; }
      if (e.key === 'Escape') { e.preventDefault(); dialClear(); return; }
      if (e.key === 'Enter') { e.preventDefault(); dialEnter(); return; }
    }
    if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      movePick(e.key === 'ArrowDown' ? 1 : -1);
      return;
    }
    if (e.key === 'Enter' && rackPick >= 0 && rackRows[rackPick]) {
      e.preventDefault();
      rackRows[rackPick].click();
      return;
    }
  }
  // The command palette and the composer's history take Escape in the field itself.
  if (e.key === 'Escape' && !chatEscape()) send('back');
});

document.addEventListener('click', (e) => {
  const a = e.target.closest && e.target.closest('a');
  if (!a) return;
  e.preventDefault();
  e.stopPropagation();
  const href = a.getAttribute('href') || '';
  if (a.classList.contains('chip') && !isTextPath(a.dataset.path)) {
    send('reveal', { path: a.dataset.path });  // pictures, pages and the rest open outside
  } else if (a.dataset.path) {
    const extra = { path: a.dataset.path };
    if (a.dataset.reader) extra.reader = true;
    send('openDoc', extra);
  } else if (href.startsWith('http')) send('openURL', { url: href });
  else if (href) send('openDoc', { path: href });
}, true);

// ---------- frame ----------

// Nothing moves while the page cannot be seen (a hidden window, a background tab), nor
// while the person asked for reduced motion.
function watchVisibility() {
  const sync = () => {
    document.documentElement.classList.toggle('asleep', document.visibilityState === 'hidden');
    paintLogo(logoRunning);
  };
  document.addEventListener('visibilitychange', sync);
  stillMotion.addEventListener('change', sync);
  sync();
}

function setup() {
  document.title = label('logo');
  watchVisibility();
  for (const n of document.querySelectorAll('[data-l]')) n.textContent = label(n.dataset.l);
  for (const n of document.querySelectorAll('[data-lt]')) n.title = label(n.dataset.lt);
  const logo = $('logo');
  logo.addEventListener('click', () => {
    logo.classList.remove('spin');
    void logo.offsetWidth;  // restarts the animation on a quick second click
    logo.classList.add('spin');
    setTimeout(() => logo.classList.remove('spin'), 420);
    send('refresh');
  });
  $('wakeall').addEventListener('click', () => send('wakeAll'));
  const fresh = $('newterm');
  fresh.addEventListener('click', () => {
    if (fresh.classList.contains('busy')) return;
    const span = fresh.querySelector('span');
    span.textContent = label('newTerminalWait');
    fresh.classList.add('busy');
    setTimeout(() => { span.textContent = label('newTerminal'); fresh.classList.remove('busy'); }, 2500);
    send('newTerminal');
  });
  $('restorebtn').addEventListener('click', openRestore);
  $('restoreclose').addEventListener('click', closeRestore);
  $('restorerun').addEventListener('click', runRestore);
  $('restorewrap').addEventListener('click', (e) => { if (e.target === $('restorewrap')) closeRestore(); });
  $('asksbtn').addEventListener('click', () => send('asks'));
  $('spendbtn').addEventListener('click', () => send('spend'));
  $('searchbtn').addEventListener('click', () => send('searchOpen'));
  $('backbtn').addEventListener('click', () => send('back'));
}

setup();
