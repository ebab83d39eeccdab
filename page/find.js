// ---------- find in the conversation ----------
//
// A search hit opens its conversation with a find: the page marks the query in the turns,
// waits until the loaded window reaches the hit's time, then centres the match nearest to
// it. Next and previous walk the matches; the current one is kept across rebuilds.

const Find = (() => {
  let bar = null;             // the find bar and its parts, once built
  let queryText = null;
  let countText = null;
  let prevButton = null;
  let nextButton = null;
  let findState = null;       // { query, ts, role, token, ready, centred }
  let findHits = [];          // top to bottom: { marks, key, index, line, group }
  let findCur = -1;
  let findWant = null;        // { key, index }: the current match, kept across rebuilds
  let findClosed = null;      // the token of the find the user closed

  function build() {
    bar = el('div', 'findbar');
    bar.hidden = true;
    queryText = el('bdi', 'fq');
    countText = el('span', 'fcount');
    prevButton = button('act', '↑', () => findStep(-1));
    prevButton.title = label('findPrev');
    nextButton = button('act', '↓', () => findStep(1));
    nextButton.title = label('findNext');
    const findClose = button('act', '✕', () => closeFind(true));
    findClose.title = label('findClose');
    bar.append(el('span', 'flabel', label('findIn')), queryText, countText, prevButton, nextButton, findClose);
    return bar;
  }

  function reset() {
    findState = null;
    findHits = [];
    findCur = -1;
    findWant = null;
  }

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
    if (!findState) { bar.hidden = true; return; }
    bar.hidden = false;
    queryText.textContent = findState.query;
    const q = foldQuery(findState.query);
    if ([...q].length < 2) { paintFindCount(); return; }
    const turns = [];
    for (const node of Transcript.col().querySelectorAll('.turn')) {
      const body = node.querySelector('.body');
      const block = Transcript.block(node.dataset.key);
      if (!body || !block) continue;
      turns.push({ node, block, folded: foldFind(textChunks(body)) });
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
        const hit = { marks: [], key: t.node.dataset.key, index, line: t.block.line, group: t.block.group };
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
    const col = Transcript.col();
    if (!col) return;
    for (const mark of col.querySelectorAll('mark.hit')) {
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
      Transcript.rebuildNext();  // marks go in with the next rebuild
    }
    findState.ready = !!f.ready;
  }

  function findAfterRebuild(c) {
    if (!findState) return;
    if (!findState.centred) {
      if (!reachedFind(c)) {
        findCur = -1;
        paintFindCount(true);
        if (findState.ready) Transcript.loadEarlier();
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
    Transcript.openGroup(hit.group);
    const mark = hit.marks[0];
    if (!mark) return;
    const log = Transcript.box();
    const box = log.getBoundingClientRect();
    const r = mark.getBoundingClientRect();
    log.scrollTop += r.top - box.top - (log.clientHeight - r.height) / 2;
    Transcript.leaveBottom();
  }

  function paintFindCount(waiting) {
    if (!findState) return;
    const n = findHits.length;
    countText.textContent = waiting ? label('findWaiting') : n ? `${findCur + 1} / ${n}` : label('findNone');
    bar.classList.toggle('none', !waiting && !n);
    prevButton.disabled = !n;
    nextButton.disabled = !n;
  }

  function findStep(by) {
    const chat = Chat.payload();
    if (!findState || !chat || !findHits.length) return;
    if (by < 0 && findCur <= 0 && !chat.atStart) { Transcript.loadEarlier(); return; }
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
    if (bar) bar.hidden = true;
    if (tell && had) send('findClear');
  }

  // Escape on the page: the find in the conversation goes first.
  function chatEscape() {
    if (Frame.view() === 'chat' && findState) { closeFind(true); return true; }
    return false;
  }

  return {
    build,
    reset,
    adopt: adoptFind,
    mark: markFind,
    unmark: unmarkFind,
    afterRebuild: findAfterRebuild,
    step: findStep,
    escape: chatEscape,
    // A find is on and has not yet found its place in the conversation.
    seeking: () => !!findState && !findState.centred,
  };
})();
