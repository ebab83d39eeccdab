// ---------- the works view: the files in the work folder ----------
//
// Newest first, under one heading per span of time. Three rows of chips (kind, project,
// time) and a text filter narrow the list at once; Enter opens the first file still shown,
// or, with none, searches for the text. A card opened by hand stays open through repaints.

const Works = (() => {
  const SPANS = ['day', 'week', 'month', 'old'];
  // A time chip admits its own span and the newer ones.
  const ADMITS = { all: SPANS, day: ['day'], week: ['day', 'week'], month: ['day', 'week', 'month'], old: ['old'] };
  const pick = { kind: 'all', proj: 'all', when: 'all' };
  let filterText = '';
  let sig = null;
  let dom = null;

  function visible(w) {
    if (pick.kind !== 'all' && w.kind !== pick.kind) return false;
    if (pick.proj !== 'all' && w.project !== pick.proj) return false;
    if (!ADMITS[pick.when].includes(w.span)) return false;
    const q = filterText.trim().toLowerCase();
    if (!q) return true;
    return [w.name, w.project, w.folder].join(' ').toLowerCase().includes(q);
  }

  function openFile(path) {
    if (isTextPath(path)) send('openDoc', { path, reader: true });
    else send('reveal', { path });
  }

  function chipRow(key, title, values, text) {
    const row = el('div', 'chiprow');
    row.dataset.key = key;
    row.append(el('span', 'chiptitle', title));
    for (const v of ['all', ...values]) {
      const chip = button('chip' + (pick[key] === v ? ' on' : ''), v === 'all' ? label('worksAll') : text(v), () => {
        pick[key] = v;
        for (const c of row.querySelectorAll('.chip')) c.classList.toggle('on', c === chip);
        apply();
      });
      chip.dataset.value = v;
      row.append(chip);
    }
    return row;
  }

  function card(w) {
    const meta = [w.kind, w.project, w.folder, w.age, w.size].filter((x) => x);
    const c = Cards.chat(String(w.path), meta);
    c.classList.add('workcard');
    c._work = w;
    // Pages and other files that do not show here open with their own application.
    if (!isTextPath(String(w.path)) && !isImagePath(String(w.path))) {
      c.addEventListener('click', (e) => {
        if (!e.target.closest('.filehead')) return;
        e.stopPropagation();
        send('reveal', { path: String(w.path) });
      }, true);
    }
    return c;
  }

  // Shows what the chips and the text admit, and the headings that still have rows.
  function apply() {
    if (!dom) return;
    let n = 0;
    for (const group of dom.list.querySelectorAll('.workgroup')) {
      let shown = 0;
      for (const c of group.querySelectorAll('.workcard')) {
        const ok = visible(c._work);
        c.hidden = !ok;
        if (ok) shown++;
      }
      group.hidden = !shown;
      n += shown;
    }
    dom.count.textContent = label('worksCount').replace('{n}', String(n));
  }

  function firstVisible() {
    return dom ? [...dom.list.querySelectorAll('.workcard')].find((c) => !c.hidden) : null;
  }

  function build(view) {
    view.replaceChildren();
    const head = el('header', 'viewhead');
    const count = el('span', 'vcount');
    head.append(el('h1', 'viewtitle', label('view_works')), count);
    const bar = el('div', 'worksbar');
    const box = el('input', 'worksfilter');
    box.type = 'search';
    box.dir = 'auto';
    box.placeholder = label('worksFilter');
    box.value = filterText;
    box.addEventListener('input', () => { filterText = box.value; apply(); });
    box.addEventListener('keydown', (e) => {
      if (e.key !== 'Enter') return;
      e.preventDefault();
      const first = firstVisible();
      if (first) openFile(first.dataset.path);
      else if (box.value.trim()) send('findHere', { text: box.value.trim() });
    });
    const smart = button('act', label('worksSmart'), () => { if (box.value.trim()) send('findHere', { text: box.value.trim() }); });
    bar.append(box, smart);
    const chips = el('div', 'chips');
    const list = el('div', 'worklist');
    view.append(head, bar, chips, list);
    dom = { view, count, box, chips, list };
  }

  function paint(d) {
    const view = $('worksview');
    const w = d.works && typeof d.works === 'object' ? d.works : {};
    const rows = Array.isArray(w.rows) ? w.rows : [];
    const projects = Array.isArray(w.projects) ? w.projects.map(String) : [];
    if (!dom || dom.view !== view || !view.contains(dom.box)) build(view);
    const s = rows.map((r) => r.path + r.age).join('|');
    if (s === sig) return;
    sig = s;
    const kinds = [...new Set(rows.map((r) => String(r.kind || '')).filter((k) => k))].sort();
    if (!kinds.includes(pick.kind)) pick.kind = 'all';
    if (!projects.includes(pick.proj)) pick.proj = 'all';
    dom.chips.replaceChildren(
      chipRow('kind', label('worksKind'), kinds, (k) => k),
      chipRow('proj', label('worksProject'), projects, (p) => p),
      chipRow('when', label('worksWhen'), SPANS, (s2) => label('span_' + s2)));
    dom.list.replaceChildren();
    if (!rows.length) { dom.list.append(el('div', 'empty', label('noWorks'))); apply(); return; }
    let group = null;
    let last = null;
    for (const r of rows) {
      if (r.span !== last) {
        last = r.span;
        group = el('div', 'workgroup');
        group.dataset.span = String(r.span);
        group.append(el('h2', 'sect', label('span_' + r.span)));
        dom.list.append(group);
      }
      group.append(card(r));
    }
    apply();
  }

  return { paint };
})();
