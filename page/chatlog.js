// ---------- the transcript: the open conversation's turns ----------
//
// The log is repainted about every 1.5 s but rebuilt only when the payload's key changes,
// and then block by block: a block whose line did not change keeps its element, so the
// reader's place, a selection, folds, find marks and anything typed survive.

const Transcript = (() => {
  const NEAR_BOTTOM = 80;
  const MORE_QUIET = 1200;
  const MINE_RESET = 4000;
  const FLASH = 900;
  const ECHO_LIFE = 8000;
  const GIST_MAX = 600;

  let log = null;             // the scrolling box, once built
  let col = null;             // the column of blocks inside it
  let pill = null;            // "new lines below" / "a question below"
  let lastKey = null;
  let stickBottom = true;
  let anchor = null;          // { key, top }: the first line in view and its distance from the log's top
  let growHead = false;       // earlier lines were asked for and have not come yet
  let moreAt = 0;
  let tailSig = '';
  const seenAsks = new Set();
  let foldOn = store.get('chatFold') === '1';
  let foldOpen = new Set();
  let logDeferred = false;    // a rebuild waits for the card edit to end
  let echoes = [];            // sent texts not yet carried by a paint
  const logCache = new Map(); // block key -> { el, sig, block }
  let mineAt = -1;
  let mineWhen = 0;

  function build() {
    log = el('div', 'log');
    log.tabIndex = -1;
    col = el('div', 'logcol');
    log.append(col);
    pill = button('pill', '', () => { toBottom(); hidePill(); });
    pill.hidden = true;
    log.addEventListener('scroll', onLogScroll, { passive: true });
    if (window.ResizeObserver) new ResizeObserver(onLogResize).observe(col);
    return [log, pill];
  }

  function reset() {
    stickBottom = true;
    anchor = null;
    tailSig = '';
    growHead = false;
    foldOpen = new Set();
    lastKey = null;
    echoes = [];
    logDeferred = false;
    mineAt = -1;
    seenAsks.clear();
    logCache.clear();
    col.replaceChildren();
    hidePill();
  }

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
      const sig = `${c.sid}|${AskCard.firstQuestion(ask)}`;
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
    body.dir = Markdown.dir(l.text);
    body.innerHTML = Markdown.html(l.text, l.paths);
    row.append(body);
    const paths = Array.isArray(l.paths) ? l.paths.filter((p) => typeof p === 'string' && p) : [];
    if (paths.length) {
      const cards = el('div', 'cards');
      for (const p of paths) cards.append(Cards.chat(p));
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
    box.append(AskCard.card(ask, false));
    return box;
  }

  function paintLog(c) {
    const lines = linesOf(c);
    const key = `${c.key}\u0001${echoes.map((e) => e.text).join('\u0002')}`;
    if (key === lastKey) return false;
    if (Cards.editing()) { logDeferred = true; return false; }
    logDeferred = false;
    lastKey = key;
    const wasNear = nearBottom();
    const fromBottom = log.scrollHeight - log.scrollTop - log.clientHeight;
    const firstBefore = firstLineKey();

    Find.unmark();
    const blocks = chatBlocks(c, lines);
    reconcile(blocks);
    applyFolds();
    Find.mark();

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
    Find.afterRebuild(c);
    return true;
  }

  function firstLineKey() {
    for (const node of col.children) {
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
    log.classList.toggle('foldon', foldOn);
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
    if (headEl) log.scrollTop += headEl.getBoundingClientRect().top - before;
    settleScroll();
  }

  function toggleFold() {
    if (!log) return;
    foldOn = !foldOn;
    store.set('chatFold', foldOn ? '1' : null);
    const keep = firstInView();
    const before = keep ? keep.getBoundingClientRect().top : 0;
    applyFolds();
    Chat.markFold(foldOn);
    if (stickBottom) toBottom();
    else if (keep && keep.offsetParent) log.scrollTop += keep.getBoundingClientRect().top - before;
    settleScroll();
  }

  // ----- scrolling -----

  function nearBottom() {
    return log.scrollHeight - log.scrollTop - log.clientHeight < NEAR_BOTTOM;
  }

  function toBottom() {
    log.scrollTop = log.scrollHeight;
    stickBottom = true;
    captureAnchor();
  }

  // The first line (not the bar or a head of the log's own) that reaches into the view.
  function firstInView() {
    const top = log.scrollTop;
    for (const node of col.children) {
      const k = node.dataset.key || '';
      if (k.startsWith('@') || !node.offsetParent) continue;
      if (node.offsetTop + node.offsetHeight > top) return node;
    }
    return null;
  }

  function captureAnchor() {
    const node = firstInView();
    anchor = node ? { key: node.dataset.key, top: node.offsetTop - log.scrollTop } : null;
  }

  function restoreAnchor() {
    if (!anchor) return false;
    const entry = logCache.get(anchor.key);
    if (!entry || !entry.el.offsetParent) return false;
    log.scrollTop = entry.el.offsetTop - anchor.top;
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
    if (Frame.view() === 'chat') keepPlace();
  }

  function showPill(kind) {
    pill.textContent = kind === 'ask' ? label('pillAsk') : label('pillNew');
    pill.classList.toggle('ask', kind === 'ask');
    pill.hidden = false;
  }
  function hidePill() { if (pill) pill.hidden = true; }

  function loadEarlier() {
    const chat = Chat.payload();
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
    if (!log || Frame.view() !== 'chat') return;
    const mine = [...col.querySelectorAll('.turn.you')].filter((n) => n.offsetParent);
    if (!mine.length) return;
    const now = Date.now();
    if (mineAt < 0 || now - mineWhen > MINE_RESET) mineAt = mine.length - 1;
    else mineAt = (mineAt - 1 + mine.length) % mine.length;
    mineWhen = now;
    const target = mine[Math.min(mineAt, mine.length - 1)];
    log.scrollTop = target.offsetTop - 16;
    settleScroll();
    flash(target);
  }

  function flash(node) {
    node.classList.remove('flash');
    void node.offsetWidth;
    node.classList.add('flash');
    setTimeout(() => node.classList.remove('flash'), FLASH);
  }

  // A text just sent shows at once; the application's pending line (then the transcript's)
  // takes its place.
  function echo(text, c) {
    echoes.push({ text, base: youCount(Array.isArray(c.lines) ? c.lines : [], text), at: Date.now() });
    stickBottom = true;
    paintLog(c);
  }

  // A sent text that was not typed after all leaves the log it was echoed into.
  function unecho(text, c) {
    const at = echoes.findIndex((e) => e.text === text);
    if (at < 0) return;
    echoes.splice(at, 1);
    lastKey = null;
    if (c) paintLog(c);
  }

  // The view shows again: back to the bottom, or to the line being read.
  function keepPlace() {
    if (stickBottom) toBottom();
    else restoreAnchor();
  }

  // A card edit ended: a rebuild held back meanwhile happens now.
  function afterCardEdit() {
    const c = Chat.payload();
    if (logDeferred && c) paintLog(c);
  }

  // Find shows a match inside a folded group: the group opens.
  function openGroup(group) {
    if (foldOn && group && !foldOpen.has(group)) { foldOpen.add(group); applyFolds(); }
  }

  // Find moved the view to a match: the log no longer keeps to its bottom.
  function leaveBottom() {
    stickBottom = false;
    captureAnchor();
  }

  return {
    build,
    reset,
    paint: paintLog,
    echo,
    unecho,
    keepPlace,
    afterCardEdit,
    openGroup,
    leaveBottom,
    loadEarlier,
    toMine,
    toggleFold,
    folded: () => foldOn,
    // The next paint rebuilds the blocks even when the payload's key did not change.
    rebuildNext() { lastKey = null; },
    box: () => log,
    col: () => col,
    block: (key) => { const e = logCache.get(key); return e ? e.block : null; },
  };
})();
