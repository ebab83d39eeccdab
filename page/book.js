// ---------- the command book ----------
//
// The slash commands and skills, one section per group. Built once per shape of the
// payload; the filter only hides rows, so the box keeps its focus while typing.

const Book = (() => {
  let sig = null;
  let filterText = '';
  let dom = null;

  function apply() {
    if (!dom) return;
    const q = filterText.trim().toLowerCase();
    let n = 0;
    for (const g of dom.list.querySelectorAll('.bookgroup')) {
      let shown = 0;
      for (const r of g.querySelectorAll('.bookrow')) {
        const ok = !q || r.dataset.hay.includes(q);
        r.hidden = !ok;
        if (ok) shown++;
      }
      g.hidden = !shown;
      n += shown;
    }
    dom.count.textContent = label('bookCount').replace('{n}', String(n));
  }

  function paint(d) {
    const view = $('bookview');
    const groups = Array.isArray(d.book) ? d.book : [];
    const s = groups.length + ':' + groups.map((g) => (Array.isArray(g.rows) ? g.rows.length : 0)).join(',');
    if (s === sig && dom && view.contains(dom.box)) return;
    sig = s;
    view.replaceChildren();
    const head = el('header', 'viewhead');
    const count = el('span', 'vcount');
    head.append(el('h1', 'viewtitle', label('view_book')), count);
    const box = el('input', 'bookfilter');
    box.type = 'search';
    box.dir = 'auto';
    box.placeholder = label('bookFilter');
    box.value = filterText;
    box.addEventListener('input', () => { filterText = box.value; apply(); });
    const list = el('div', 'booklist');
    view.append(head, box, list);
    dom = { count, box, list };
    if (!groups.length) list.append(el('div', 'empty', label('noBook')));
    for (const g of groups) {
      const rows = Array.isArray(g.rows) ? g.rows : [];
      const sect = el('section', 'bookgroup');
      const h = el('h2', 'sect', String(g.title || ''));
      h.append(el('span', 'gcount', String(rows.length)));
      sect.append(h);
      for (const r of rows) {
        const row = button('bookrow', '', () => row.classList.toggle('open'));
        row.dataset.hay = [r.name, r.kind, r.hint, g.title].map((x) => String(x || '')).join(' ').toLowerCase();
        row.append(el('bdi', 'bname', String(r.name || '')), el('span', 'bkind', String(r.kind || '')),
          el('bdi', 'bhint', String(r.hint || '')));
        sect.append(row);
      }
      list.append(sect);
    }
    apply();
  }

  return { paint };
})();
