// ---------- the views over the rack ----------
//
// The asks view (the open questions of the terminals) and the views still to come, which
// say so. Each rebuilds only when its signature changes, so open rows survive repaints.

const Views = (() => {
  let asksSig = null;
  let findText = '';          // the text the application last asked to find, for the search view

  function paintAsks(d) {
    const view = $('asksview');
    const live = Array.isArray(d.live) ? d.live : [];
    const entries = Array.isArray(d.asks) ? d.asks : [];
    const sig = entries.map((x) => x.id + (x.answered ? '1' : '0')).join(',') + '|' +
      live.map((a) => a.id + ':' + a.tty + ':' + AskCard.firstQuestion(a)).join(',');
    if (sig === asksSig) return;
    asksSig = sig;
    view.replaceChildren();
    view.append(el('h1', 'viewtitle', label('view_asks')));
    if (live.length) {
      view.append(el('h2', 'sect', live.length === 1 ? label('asksOne') : live.length + label('asksMany')));
      for (const a of live) view.append(AskCard.card(a, true));
    }
    if (!live.length && !entries.length) view.append(el('div', 'empty', label('noAsks')));
    if (entries.length) view.append(el('div', 'coming', label('asksFile')));
  }

  function paintComing(m, view) {
    if (view.dataset.coming === m) return;
    view.dataset.coming = m;
    view.replaceChildren();
    view.append(el('h1', 'viewtitle', label('view_' + m)), el('div', 'coming', label('coming')));
  }

  return {
    asks: paintAsks,
    coming: paintComing,
    setFind(text) { findText = String(text || ''); },
  };
})();
