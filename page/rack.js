// ---------- rack ----------
//
// The list of open terminals, in the application's order (the page never sorts). A row is
// rebuilt only when its unit changed, and moved only when out of place, so the row under
// the pointer stays put; nothing repaints while a name is being edited.

const Rack = (() => {
  const LAMP_MOTION = 5400;    // ms: the longest lamp motion in rack.css (3 × 1.8 s)
  let lastRack = null;
  let onlyPath = '';           // the project filter; '' shows every project
  let rackEditing = false;
  let rackRows = [];           // row elements in order
  let rackSlots = [];          // per row: { slot, num, title, sid }
  let rackPick = -1;           // the row picked with the arrow keys
  const rackCache = new Map(); // row key -> { el, sig }
  const lampSeen = new Map();  // row key -> { state, since }: when its lamp last had news
  let rackPainted = false;

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
      Dial.redraw();
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
    Dial.redraw();
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
    const text = AskCard.firstQuestion(ask) || u.say || '';
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

  return {
    paint: paintRack,
    slotView,
    movePick,
    // The row picked with the arrow keys, if any.
    picked: () => (rackPick >= 0 && rackRows[rackPick]) || null,
    rows: () => rackRows,
    slots: () => rackSlots,
  };
})();
