// ---------- document pane ----------
//
// A document beside the conversation, or alone as the reader: rendered as Markdown, or a
// text area while it is edited. Both are refilled only when the application's stamp moves,
// so a repaint never overwrites what is being typed.

const Doc = (() => {
  let d = null;               // the pane's elements, once built
  let docPath = '';
  let docEditing = false;
  let docShown = null;        // what the pane last filled: path|stamp|editing

  function build() {
    d = {};
    d.pane = el('aside', 'docpane');
    d.pane.hidden = true;
    const head = el('div', 'dochead');
    // The file's name always shows; a long folder gives way.
    d.name = el('div', 'docname');
    d.name.dir = 'ltr';
    d.note = el('span', 'docnote');
    d.mode = button('act primary', '', () => {
      if (docEditing) send('saveDoc', { text: d.text.value });
      else send('editDoc');
    });
    d.reveal = button('act', label('openOutside'), () => { if (docPath) send('reveal', { path: docPath }); });
    d.close = button('act', label('close'), () => send('closeDoc'));
    head.append(d.name, d.note, el('span', 'gap'), d.mode, d.reveal, d.close);
    d.view = el('div', 'docbody md');
    d.text = el('textarea', 'doctext');
    d.text.dir = 'auto';
    d.text.spellcheck = false;
    d.text.hidden = true;
    keepEscape(d.text);
    d.pane.append(head, d.view, d.text);
    return d.pane;
  }

  function paint(doc) {
    $('chatview').classList.toggle('hasdoc', !!doc);
    d.pane.hidden = !doc;
    if (!doc) { docShown = null; docPath = ''; docEditing = false; return; }
    docPath = doc.path || '';
    docEditing = !!doc.editing;
    const shownName = String(doc.name || doc.path || '');
    const cut = shownName.lastIndexOf('/') + 1;
    d.name.replaceChildren(el('span', 'docdir', shownName.slice(0, cut)), el('span', 'docfile', shownName.slice(cut)));
    d.name.title = doc.path || '';
    d.note.textContent = doc.note || '';
    d.note.classList.toggle('warn', !!doc.warn);
    d.mode.textContent = doc.editing ? label('save') : label('edit');
    // Only a whole, clean reading is edited: the note says why any other is not.
    d.mode.hidden = !doc.editing && !doc.editable;
    const shown = `${doc.path}\u0001${doc.stamp}\u0001${doc.editing ? 1 : 0}`;
    if (shown === docShown) return;
    docShown = shown;
    const text = typeof doc.text === 'string' ? doc.text : '';
    d.text.hidden = !doc.editing;
    d.view.hidden = !!doc.editing;
    if (doc.editing) {
      d.text.value = text;
      d.text.focus();
    } else if (/^(md|markdown)$/.test(extOf(doc.path))) {
      d.view.dir = Markdown.dir(text);
      d.view.innerHTML = Markdown.html(text, doc.paths);
    } else {
      const pre = el('pre', 'plain', text);
      pre.dir = 'auto';
      d.view.replaceChildren(pre);
    }
  }

  // Command-S with the document in edit mode and on show: save it.
  function saveIfEditing() {
    if (d && docEditing && !d.pane.hidden) send('saveDoc', { text: d.text.value });
  }

  return { build, paint, saveIfEditing };
})();
