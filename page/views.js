// ---------- the views over the rack ----------
//
// A view still to come says so; the finished views have parts of their own.

const Views = (() => {
  let findText = '';          // the text the application last asked to find, for the search view

  function paintComing(m, view) {
    if (view.dataset.coming === m) return;
    view.dataset.coming = m;
    view.replaceChildren();
    view.append(el('h1', 'viewtitle', label('view_' + m)), el('div', 'coming', label('coming')));
  }

  return {
    coming: paintComing,
    setFind(text) { findText = String(text || ''); },
  };
})();
