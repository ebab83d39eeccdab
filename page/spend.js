// ---------- spend ----------
//
// Who used how much: the subscription's limits on top, then one span (today, the week, all
// that is kept) with its output tokens, a bar per day, the models and the sessions. Amounts
// are tokens and shares, never money. The span chips repaint from the last payload without
// asking the application.

const Spend = (() => {
  const SPANS = ['today', 'week', 'all'];
  let spanKey = 'today';
  let last = null;   // the last spend payload
  let sig = null;

  // A share of the span: 0 is "0%", from a tenth whole percents, below half a percent "<1%".
  function shareText(s) {
    const x = Number(s) || 0;
    if (x <= 0) return '0%';
    if (x >= 0.1) return Math.round(x * 100) + '%';
    if (x < 0.005) return '<1%';
    return (x * 100).toFixed(1) + '%';
  }

  function tokensText(n) {
    const x = Number(n) || 0;
    if (x >= 1e9) return (x / 1e9).toFixed(1) + 'B';
    if (x >= 1e7) return Math.round(x / 1e6) + 'M';
    if (x >= 1e6) return (x / 1e6).toFixed(1) + 'M';
    if (x >= 1e3) return Math.round(x / 1e3) + 'k';
    return String(Math.round(x));
  }

  function family(id) {
    const m = String(id || '').toLowerCase();
    for (const f of ['fable', 'mythos', 'opus', 'sonnet', 'haiku']) if (m.includes(f)) return f;
    return 'other';
  }

  function minutesAgo(seconds) {
    const s = Number(seconds) || 0;
    if (s < 60) return label('spendJustNow');
    return Math.round(s / 60) + label('spendMinutesAgo');
  }

  function quotaBlock(q, windowNow) {
    const box = el('div', 'quota');
    const rows = Array.isArray(q.rows) ? q.rows : [];
    const five = [label('quotaFive'), 'five-hour window', 'חלון חמש שעות'];
    for (const r of rows) {
      const pct = Math.max(0, Math.min(100, Number(r.percent) || 0));
      const row = el('div', 'qrow sev-' + String(r.severity || 'normal') + (r.active ? ' active' : ''));
      const bar = el('div', 'qbar');
      const fill = el('div', 'qfill');
      fill.style.width = pct + '%';
      bar.append(fill);
      row.append(el('span', 'qlabel', String(r.label || '')), bar, el('span', 'qpct', (Number(r.percent) || 0) + '%'));
      const out = windowNow ? Number(windowNow.output) || 0 : 0;
      if (five.includes(String(r.label)) && out > 0) {
        row.append(el('span', 'qnow', tokensText(out) + ' ' + label('spendOutput')));
      }
      if (r.until) row.append(el('span', 'quntil', String(r.until)));
      box.append(row);
    }
    let note;
    if (q.error) note = el('div', 'qnote warn', label('quotaError') + String(q.error));
    else if (q.missing) note = el('div', 'qnote warn', label('quotaMissing'));
    else if (q.stale) {
      const m = Math.round((Number(q.age) || 0) / 60);
      note = el('div', 'qnote warn', label('quotaStale').replace('{n}', String(m)));
    } else if (!rows.length) note = el('div', 'qnote', label('quotaNone'));
    else note = el('div', 'qnote', label('quotaSampled') + minutesAgo(q.age));
    box.append(note);
    return box;
  }

  function chips() {
    const box = el('div', 'chips');
    for (const k of SPANS) {
      const chip = button('chip' + (k === spanKey ? ' on' : ''), label('span_' + k), () => {
        if (spanKey === k) return;
        spanKey = k;
        sig = null;
        if (last) paint({ spend: last });
      });
      chip.dataset.span = k;
      box.append(chip);
    }
    return box;
  }

  function head(w, bars) {
    const box = el('div', 'spendhead');
    const main = el('div', 'figure');
    main.append(el('b', 'big', tokensText(w.output)), el('span', '', label('spendOutput')));
    const small = el('div', 'figures');
    for (const [key, value] of [['spendRead', w.read], ['spendWrite', w.write], ['spendInput', w.input], ['spendCalls', w.calls]]) {
      const item = el('span', 'fig');
      item.append(el('b', '', tokensText(value)), el('span', '', label(key)));
      small.append(item);
    }
    box.append(main, small);
    const strip = el('div', 'bars');
    const top = Math.max(0, ...bars.map((b) => Number(b.weight) || 0));
    for (const b of bars) {
      const col = el('div', 'barcol' + (b.today ? ' today' : ''));
      const bar = el('div', 'bar');
      const h = top > 0 ? Math.round((Number(b.weight) || 0) / top * 40) : 0;
      bar.style.height = Math.max(2, h) + 'px';
      bar.title = String(b.day || '') + ' · ' + tokensText(b.output);
      col.append(bar, el('span', 'barday', String(b.day || '')));
      strip.append(col);
    }
    box.append(strip);
    return box;
  }

  function usage(w, ready) {
    const box = el('div', 'usage');
    const sessions = Array.isArray(w.sessions) ? w.sessions : [];
    if (!sessions.length) {
      box.append(el('div', 'empty', label(ready ? 'spendNone' : 'spendCounting')));
      return box;
    }
    const models = Array.isArray(w.models) ? w.models : [];
    const strip = el('div', 'modelstrip');
    for (const m of models) {
      const seg = el('div', 'seg m-' + family(m.id || m.model));
      seg.style.flexGrow = String(Math.max(0.005, Number(m.share) || 0));
      seg.title = String(m.model || '') + ' ' + shareText(m.share);
      strip.append(seg);
    }
    const list = el('div', 'modellist');
    for (const m of models) {
      const item = el('span', 'model m-' + family(m.id || m.model));
      item.append(el('i', 'dot'), el('span', '', String(m.model || '')), el('b', '', shareText(m.share)));
      list.append(item);
    }
    box.append(strip, list);
    const rows = el('div', 'spendrows');
    for (const s of sessions) {
      const row = el('div', 'spendrow' + (s.open ? ' open' : ''));
      row.append(el('span', 'sshare', shareText(s.share)),
        el('span', 'stitle', String(s.title || s.project || '')),
        el('span', 'smodel', String(s.model || '')),
        el('span', 'sout', tokensText(s.out)));
      if (s.open) row.addEventListener('click', () => send('open', { sid: String(s.sid) }));
      rows.append(row);
    }
    box.append(rows);
    return box;
  }

  function paint(d) {
    const p = d && d.spend && typeof d.spend === 'object' ? d.spend : null;
    const view = $('spendview');
    if (!p) return;
    last = p;
    const next = JSON.stringify(p) + '|' + spanKey;
    if (next === sig) return;
    sig = next;
    const w = p[spanKey] && typeof p[spanKey] === 'object' ? p[spanKey] : {};
    view.replaceChildren();
    view.append(el('h1', 'viewtitle', label('view_spend')));
    view.append(quotaBlock(p.quota || {}, p.windowNow));
    if (p.building && Number(p.logs) > 0) {
      view.append(el('div', 'building', label('spendBuilding').replace('{n}', String(Number(p.logs)))));
    }
    view.append(chips(), head(w, Array.isArray(p.bars) ? p.bars : []), usage(w, !!p.ready));
  }

  return { paint, shareText, tokensText, span: () => spanKey };
})();
