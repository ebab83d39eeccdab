// ---------- file cards ----------
//
// A file named in a question or a turn gets a card that shows it in place. The application
// sends a file's preview once asked (setAsset); the previews and what the user opened or
// closed by hand are kept here across rebuilds. A text card in the chat can be edited and
// saved; while it is, the log waits with its rebuild.

const Cards = (() => {
  const assets = new Map();     // path -> the preview the application sent
  const closedCards = new Set(); // ask-card paths the user closed by hand
  const cardOpen = new Map();   // chat-card path -> open, as the user left it
  const asked = new Set();      // paths whose preview was asked for
  let editingPath = '';         // a chat card being edited

  // The application answers with "~" put in; the page asked with the path as written.
  function samePath(asked, given) {
    if (asked === given) return true;
    return asked.startsWith('~/') && given.endsWith(asked.slice(1)) && given.length > asked.length - 1;
  }
  function assetFor(path) {
    if (assets.has(path)) return assets.get(path);
    for (const [p, a] of assets) if (samePath(path, p)) return a;
    return null;
  }

  // ----- the plain card of an ask card -----

  function fileCard(path) {
    const card = el('div', 'filecard');
    card.dataset.path = path;
    const head = button('filehead', '', () => {
      const open = !card.classList.contains('open');
      card.classList.toggle('open', open);
      if (open) { closedCards.delete(path); loadCard(card); } else closedCards.add(path);
    });
    const name = el('bdi', '', path.split('/').pop() || path);
    head.append(name);
    head.title = path;
    card.append(head, el('div', 'filebody'));
    if (!closedCards.has(path)) { card.classList.add('open'); loadCard(card); }
    return card;
  }

  function loadCard(card) {
    const path = card.dataset.path;
    const a = assetFor(path);
    if (a) fillCard(card, a);
    else send('asset', { path });
  }

  function fillCard(card, p) {
    const body = card.querySelector('.filebody');
    body.replaceChildren();
    if (p.error) body.append(el('div', 'warn', p.error));
    else if (p.src) { const img = el('img', ''); img.src = p.src; body.append(img); }
    else if (Array.isArray(p.shots)) for (const s of p.shots) { const img = el('img', ''); img.src = s; body.append(img); }
    else if (typeof p.text === 'string') {
      if (p.kind === 'md') { const d = el('div', 'md'); d.innerHTML = Markdown.html(p.text); body.append(d); }
      else body.append(el('pre', '', p.text));
    }
    if (p.note) body.append(el('div', p.warn ? 'warn' : 'note', p.note));
  }

  // ----- the card of a chat turn or an output -----

  function chatCard(path, meta) {
    const card = el('div', 'filecard chatcard');
    card.dataset.path = path;
    const image = isImagePath(path);
    const text = isTextPath(path);
    const head = el('div', 'cardhead');
    const toggle = button('filehead', '', () => setCardOpen(card, !card.classList.contains('open'), true));
    toggle.title = path;
    const name = el('bdi', 'cname', path.split('/').pop() || path);
    name.dir = 'ltr';
    toggle.append(el('span', 'caret'), name);
    for (const m of meta || []) toggle.append(el('span', 'cmeta', m));
    head.append(toggle);
    const tools = el('div', 'cardtools');
    if (text) {
      tools.append(button('link cedit', label('edit'), () => startCardEdit(card)));
      tools.append(button('link', label('beside'), () => send('openDoc', { path })));
    }
    if (!text && !image) tools.append(button('link', label('openOutside'), () => send('reveal', { path })));
    head.append(tools);
    card.append(head, el('div', 'filebody'));
    const open = cardOpen.has(path) ? cardOpen.get(path) : image;
    if (open) setCardOpen(card, true, false);
    return card;
  }

  function setCardOpen(card, open, byHand) {
    const path = card.dataset.path;
    card.classList.toggle('open', open);
    if (byHand) cardOpen.set(path, open);
    if (!open) return;
    const a = assetFor(path);
    if (a) fillChatCard(card, a);
    // Opening by hand asks again: the agent may have changed the file since.
    if (!a || byHand) {
      if (!asked.has(path) || byHand) { asked.add(path); send('asset', { path }); }
    }
  }

  function fillChatCard(card, p) {
    const path = card.dataset.path;
    if (editingPath === path && card.querySelector('.cardedit')) {
      // Saved: leave editing; a failed save keeps the text and says why.
      const note = card.querySelector('.cardnote');
      if (p.note) { note.textContent = p.note; note.classList.toggle('warn', !!p.warn); }
      if (p.warn || !p.note) return;
      editingPath = '';
      card.classList.remove('editing');
    }
    const body = card.querySelector('.filebody');
    body.replaceChildren();
    if (p.error) body.append(el('div', 'warn', p.error));
    else if (p.src) { const img = el('img', ''); img.src = p.src; img.alt = p.name || ''; body.append(img); }
    else if (Array.isArray(p.shots)) for (const s of p.shots) { const img = el('img', ''); img.src = s; body.append(img); }
    else if (typeof p.text === 'string') {
      if (p.kind === 'md') { const m = el('div', 'md'); m.dir = Markdown.dir(p.text); m.innerHTML = Markdown.html(p.text); body.append(m); }
      else { const pre = el('pre', '', p.text); pre.dir = 'ltr'; body.append(pre); }
    }
    if (p.locked) body.append(el('div', 'warn', p.locked));
    if (p.note) body.append(el('div', p.warn ? 'warn' : 'note', p.note));
    // A text that may not be saved back (not valid UTF-8, read-only) offers no editor.
    const edit = card.querySelector('.cedit');
    if (edit) edit.hidden = typeof p.text === 'string' && !p.version;
    if (!editingPath) Transcript.afterCardEdit();
  }

  function startCardEdit(card) {
    const path = card.dataset.path;
    const a = assetFor(path);
    if (editingPath && editingPath !== path) return false;
    if (!a || typeof a.text !== 'string' || !a.version) {
      setCardOpen(card, true, true);
      return false;
    }
    editingPath = path;
    // The save goes over this reading only: a file changed since is refused, however
    // often the preview is read again meanwhile.
    card.dataset.version = a.version;
    card.classList.add('open', 'editing');
    cardOpen.set(path, true);
    const body = card.querySelector('.filebody');
    const box = el('div', 'cardedit');
    const area = el('textarea', '');
    area.value = a.text;
    area.dir = 'auto';
    area.spellcheck = false;
    area.rows = Math.min(24, Math.max(6, a.text.split('\n').length + 1));
    keepEscape(area);
    const bar = el('div', 'cardbar');
    bar.append(
      button('act primary', label('save'), () => saveCard(card)),
      button('act', label('cancel'), () => {
        editingPath = '';
        card.classList.remove('editing');
        fillChatCard(card, assetFor(path) || a);
      }),
      el('span', 'cardnote'));
    box.append(area, bar);
    body.replaceChildren(box);
    area.focus();
    return true;
  }

  function saveCard(card) {
    const area = card.querySelector('.cardedit textarea');
    if (!area) return;
    const note = card.querySelector('.cardnote');
    if (note) { note.textContent = label('saving'); note.classList.remove('warn'); }
    send('saveAsset', { path: card.dataset.path, text: area.value, version: card.dataset.version || '' });
  }

  function editingCard() {
    if (!editingPath || !Transcript.col()) return null;
    for (const card of $('chatview').querySelectorAll('.chatcard.editing')) {
      if (card.dataset.path === editingPath) return card;
    }
    return null;
  }

  // The newest open text card of the conversation begins editing; true when one did.
  function editTopCard() {
    const col = Transcript.col();
    if (!col || Frame.view() !== 'chat') return false;
    const cards = [...col.querySelectorAll('.chatcard.open')].filter((c) => isTextPath(c.dataset.path));
    const card = cards.pop();
    return card ? startCardEdit(card) : false;
  }

  function setAsset(p) {
    if (!p || !p.path) return;
    assets.set(p.path, p);
    for (const card of document.querySelectorAll('.filecard')) {
      if (!samePath(card.dataset.path, p.path)) continue;
      if (card.classList.contains('chatcard')) fillChatCard(card, p);
      else fillCard(card, p);
    }
  }

  return {
    plain: fileCard,
    chat: chatCard,
    setAsset,
    editTopCard,
    editingCard,
    save: saveCard,
    editing: () => editingPath,
    // Another conversation opened: no card of the old one is being edited any more.
    reset() { editingPath = ''; },
  };
})();
