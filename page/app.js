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

// Markdown as the agent writes it: headings, lists, fenced code, quotes, inline code,
// emphasis and links. Everything is escaped first, so no text can inject markup.
function md(text) {
  const lines = String(text || '').replace(/\r\n?/g, '\n').split('\n');
  const out = [];
  let list = null;
  let para = [];
  const flush = () => {
    if (para.length) out.push('<p dir="auto">' + para.map(inline).join('<br>') + '</p>');
    para = [];
  };
  const endList = () => { if (list) { out.push(`</${list}>`); list = null; } };
  for (let i = 0; i < lines.length; i++) {
    const line = lines[i];
    const fence = line.match(/^\s*```/);
    if (fence) {
      flush(); endList();
      const code = [];
      for (i++; i < lines.length && !/^\s*```/.test(lines[i]); i++) code.push(lines[i]);
      out.push('<pre><code>' + escapeHtml(code.join('\n')) + '</code></pre>');
      continue;
    }
    const h = line.match(/^(#{1,6})\s+(.*)$/);
    const bullet = line.match(/^\s*[-*+]\s+(.*)$/);
    const numbered = line.match(/^\s*\d+[.)]\s+(.*)$/);
    const quote = line.match(/^\s*>\s?(.*)$/);
    if (h) {
      flush(); endList();
      const level = Math.min(h[1].length + 2, 6);
      out.push(`<h${level} dir="auto">${inline(h[2])}</h${level}>`);
      continue;
    }
    if (bullet || numbered) {
      flush();
      const kind = bullet ? 'ul' : 'ol';
      if (list !== kind) { endList(); out.push(`<${kind} dir="auto">`); list = kind; }
      out.push('<li dir="auto">' + inline((bullet || numbered)[1]) + '</li>');
      continue;
    }
    if (quote) { flush(); endList(); out.push('<blockquote dir="auto">' + inline(quote[1]) + '</blockquote>'); continue; }
    if (!line.trim()) { flush(); endList(); continue; }
    endList();
    para.push(line);
  }
  flush(); endList();
  return out.join('');
}

function inline(s) {
  const codes = [];
  let t = String(s).replace(/`([^`]+)`/g, (m, c) => { codes.push(c); return `\u0000${codes.length - 1}\u0000`; });
  t = escapeHtml(t);
  t = t.replace(/\[([^\]]+)\]\(([^)\s]+)\)/g, (m, txt, href) => `<a href="${href}">${txt}</a>`);
  t = t.replace(/\*\*([^*]+)\*\*/g, '<strong>$1</strong>');
  t = t.replace(/(^|[^*\w])\*([^*\n]+)\*(?!\w)/g, '$1<em>$2</em>');
  t = t.replace(/\u0000(\d+)\u0000/g, (m, n) => '<code>' + escapeHtml(codes[Number(n)]) + '</code>');
  return t;
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
  $('clock').textContent = d.clock || '';
  const wake = $('wakeall');
  wake.querySelector('.count').textContent = wait ? String(wait) : '';
  wake.classList.toggle('off', !wait);
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
    if (!entry || entry.sig !== sig) {
      const row = unitRow(u, isOutside);
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
  if (assets.has(path)) fillCard(card, assets.get(path));
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
    if (card.dataset.path === p.path) fillCard(card, p);
  }
}

function setCommands(list) { COMMANDS = Array.isArray(list) ? list : []; }
function attached(path) { /* the composer lands with the chat view */ }
function startCommand() {}
function setFind(text) { FIND = String(text || ''); }
function focusFind() {}
function findStep(by) {}
function editTopCard() { return false; }
function toMine() {}
function toggleFold() {}
function saveAnything() {}

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
  // Find-in-chat, the command palette and the composer's history take Escape first once
  // the chat view has them; until then Escape always goes back.
  if (e.key === 'Escape') send('back');
});

document.addEventListener('click', (e) => {
  const a = e.target.closest && e.target.closest('a');
  if (!a) return;
  e.preventDefault();
  e.stopPropagation();
  const href = a.getAttribute('href') || '';
  if (a.dataset.path) {
    const extra = { path: a.dataset.path };
    if (a.dataset.reader) extra.reader = true;
    send('openDoc', extra);
  } else if (href.startsWith('http')) send('openURL', { url: href });
  else if (href) send('openDoc', { path: href });
}, true);

// ---------- frame ----------

function setup() {
  document.title = label('logo');
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
