// ---------- global keys and clicks ----------
//
// Keys no field took: the restore panel first, then saving, then the rack's dial and
// arrows, then Escape, which closes the find in the conversation before it goes back.
// Every link on the page opens through the application, never in the page itself.

// Command-S or Control-S: the card or the document being edited.
function saveAnything() {
  const card = Cards.editingCard();
  if (card) { Cards.save(card); return; }
  Doc.saveIfEditing();
}

document.addEventListener('keydown', (e) => {
  if (Restore.isOpen()) {
    if (e.key === 'Escape') { e.preventDefault(); Restore.close(); }
    return;
  }
  if ((e.ctrlKey || e.metaKey) && !e.altKey && e.key.toLowerCase() === 's') {
    e.preventDefault();
    saveAnything();
    return;
  }
  const plain = !e.metaKey && !e.ctrlKey && !e.altKey;
  if (Frame.view() === 'rack' && plain && !isField(e.target)) {
    if (/^[0-9]$/.test(e.key)) { e.preventDefault(); Dial.key(e.key); return; }
    if (Dial.active()) {
      if (e.key === 'Backspace') { e.preventDefault(); Dial.backspace(); return; }
      if (e.key === 'Escape') { e.preventDefault(); Dial.clear(); return; }
      if (e.key === 'Enter') { e.preventDefault(); Dial.enter(); return; }
    }
    if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      Rack.movePick(e.key === 'ArrowDown' ? 1 : -1);
      return;
    }
    if (e.key === 'Enter' && Rack.picked()) {
      e.preventDefault();
      Rack.picked().click();
      return;
    }
  }
  // The command palette and the composer's history take Escape in the field itself.
  if (e.key === 'Escape' && !Find.escape()) send('back');
});

document.addEventListener('click', (e) => {
  const a = e.target.closest && e.target.closest('a');
  if (!a) return;
  e.preventDefault();
  e.stopPropagation();
  const href = a.getAttribute('href') || '';
  if (a.classList.contains('chip') && !isTextPath(a.dataset.path)) {
    send('reveal', { path: a.dataset.path });  // pictures, pages and the rest open outside
  } else if (a.dataset.path) {
    const extra = { path: a.dataset.path };
    if (a.dataset.reader) extra.reader = true;
    send('openDoc', extra);
  } else if (href.startsWith('http')) send('openURL', { url: href });
  else if (href) send('openDoc', { path: href });
}, true);
