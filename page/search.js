// ---------- search ----------
//
// Every past conversation: the box searches words as the user types, Enter (or a pause
// after a question of two words or more) asks the meaning search, and the results come in
// sections: the meaning search's picks, files by name, conversations by title and by what
// was said. A card opens its conversation at its newest quoted line.

const Search = (() => {
  let box = null;         // the query box, built once and kept across repaints
  let focusWanted = false; // asked to focus before the view was painted
  let busyMark = null;
  let list = null;
  let typedTimer = 0;
  let smartTimer = 0;
  let sig = null;
  let lastQuery = '';     // the query of the last payload

  const TYPE_DELAY = 200;
  const SMART_DELAY = 1100;

  // Two or more words longer than one letter read as a question for the meaning search.
  function asksMeaning(text) {
    return text.split(/\s+/).filter((w) => w.length > 1).length >= 2;
  }

  function build(view) {
    view.replaceChildren();
    view.append(el('h1', 'viewtitle', label('view_search')));
    const row = el('div', 'searchrow');
    box = el('input', 'searchbox');
    box.type = 'search';
    box.dir = 'auto';
    box.placeholder = label('searchPlaceholder');
    box.addEventListener('input', () => {
      clearTimeout(typedTimer);
      clearTimeout(smartTimer);
      const text = box.value;
      typedTimer = setTimeout(() => send('search', { text }), TYPE_DELAY);
      if (asksMeaning(text.trim())) {
        smartTimer = setTimeout(() => send('smartSearch', { text: text.trim() }), SMART_DELAY);
      }
    });
    box.addEventListener('keydown', (e) => {
      if (e.key !== 'Enter' || e.isComposing) return;
      e.preventDefault();
      const text = box.value.trim();
      if (text.length < 3) return;
      clearTimeout(smartTimer);
      send('smartSearch', { text });
    });
    busyMark = el('span', 'searchbusy', label('searchBusy'));
    busyMark.hidden = true;
    row.append(box, busyMark);
    list = el('div', 'searchlist');
    view.append(row, list);
  }

  function quoted(h) {
    const line = el('div', 'quote ' + (h.role === 'you' ? 'you' : 'claude'));
    const who = el('span', 'qwho', label(h.role === 'you' ? 'speakerYou' : 'speakerAgent'));
    const text = el('bdi', 'qtext');
    const hit = el('mark', '', String(h.hit || ''));
    text.append(String(h.before || ''), hit, String(h.after || ''));
    line.append(who, el('span', 'qwhen', String(h.when || '')), text);
    return line;
  }

  // A conversation: a click opens it at its newest quoted line; a meaning pick plainly.
  function card(c, query, pick) {
    const node = el('div', 'searchcard');
    const head = el('div', 'shead');
    const title = el('bdi', 'stitle', String(c.title || label('untitled')));
    head.append(title, el('span', 'sproject', String(c.project || '')), el('span', 'swhen', String(c.when || '')));
    const resume = button('act sresume', label('searchResume'), (e) => {
      e.stopPropagation();
      send('resume', { sid: String(c.sid) });
    });
    head.append(resume);
    node.append(head);
    if (pick && c.why) node.append(el('div', 'swhy', String(c.why)));
    const hits = Array.isArray(c.hits) ? c.hits : [];
    for (const h of hits) node.append(quoted(h));
    if (Number(c.total) > hits.length) {
      node.append(el('div', 'smore', label('searchMore').replace('{n}', String(Number(c.total) - hits.length))));
    }
    node.addEventListener('click', () => {
      const m = { sid: String(c.sid) };
      if (!pick) {
        if (hits.length) m.find = { query, ts: Number(hits[0].sort) || 0, role: String(hits[0].role || '') };
        else if (query.length >= 2) m.find = { query, ts: 0, role: '' };
      }
      send('open', m);
    });
    return node;
  }

  function fileRow(f, pick) {
    const node = el('div', 'searchfile');
    node.append(el('bdi', 'fname', String(f.name || '')),
      el('span', 'ffolder', String(f.folder || f.project || '')),
      el('span', 'fkind', String(f.kind || '')),
      el('span', 'fage', String(f.age || '')));
    if (pick && f.why) node.append(el('span', 'fwhy', String(f.why)));
    const locate = button('act flocate', '⌕', (e) => {
      e.stopPropagation();
      send('showInFinder', { path: String(f.path) });
    });
    locate.title = label('searchLocate');
    node.append(locate);
    node.addEventListener('click', () => {
      if (isTextPath(String(f.path))) send('openDoc', { path: String(f.path), reader: true });
      else send('reveal', { path: String(f.path) });
    });
    return node;
  }

  function section(key, rows) {
    const s = el('section', 'searchsect');
    s.dataset.section = key;
    s.append(el('h2', 'sect', label('search_' + key)));
    for (const r of rows) s.append(r);
    return s;
  }

  function paintList(d, query) {
    const smart = Array.isArray(d.smart) ? d.smart : [];
    const files = Array.isArray(d.files) ? d.files : [];
    const titles = Array.isArray(d.titles) ? d.titles : [];
    const hits = Array.isArray(d.hits) ? d.hits : [];
    list.replaceChildren();
    if (d.smartBusy || d.smartFailed || smart.length || d.smartQuery) {
      const rows = smart.map((r) => (r.file ? fileRow(r, true) : card(r, query, true)));
      if (d.smartBusy) rows.unshift(el('div', 'snote', label('smartBusy')));
      else if (d.smartFailed) rows.unshift(el('div', 'snote warn', label('smartFailed')));
      else if (!smart.length) rows.unshift(el('div', 'snote', label('smartNone')));
      list.append(section('smart', rows));
    }
    if (files.length) list.append(section('files', files.map((f) => fileRow(f, false))));
    if (titles.length) list.append(section('titles', titles.map((c) => card(c, query, false))));
    if (hits.length) list.append(section('hits', hits.map((c) => card(c, query, false))));
    if (!list.children.length && query.length >= 2 && !d.busy) list.append(el('div', 'empty', label('searchNone')));
  }

  function paint(data) {
    const d = data && data.search && typeof data.search === 'object' ? data.search : {};
    const view = $('searchview');
    if (!box || !view.contains(box)) build(view);
    // A hidden box takes no focus: the find key's request waits for the paint that shows it.
    if (focusWanted && Frame.view() === 'search') {
      focusWanted = false;
      box.focus();
      box.select();
    }
    const query = String(d.query || '');
    lastQuery = query;
    if (document.activeElement !== box && box.value !== query) box.value = query;
    busyMark.hidden = !(Number(d.building) > 0 || d.busy);
    const next = JSON.stringify([d.hits, d.files, d.titles, d.smart, d.smartBusy, d.smartFailed, d.smartQuery, query, d.busy]);
    if (next === sig) return;
    sig = next;
    paintList(d, query);
  }

  return {
    paint,
    focus() {
      if (box && Frame.view() === 'search') { box.focus(); box.select(); } else focusWanted = true;
    },
    query: () => lastQuery,
  };
})();
