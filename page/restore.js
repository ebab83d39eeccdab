// ---------- restore panel ----------
//
// Conversations of the last days that no terminal shows any more, to reopen in a batch by
// the user's own restore tool. The restore button stays locked from a run until the
// application says it is done, through any number of repaints.

const Restore = (() => {
  let restoreBusy = false;
  let restoreRows = [];

  function openRestore() {
    if (restoreBusy) return;
    restoreRows = [];
    const list = $('restorelist');
    list.replaceChildren(el('div', 'waitline', label('restoreLoading')));
    $('restorewrap').hidden = false;
    updateRestoreNote();
    send('restorable');
  }

  function closeRestore() { $('restorewrap').hidden = true; }

  // `why`: the application cannot restore here, and says so in place of the list.
  function setRestorable(rows, why) {
    restoreRows = Array.isArray(rows) ? rows : [];
    const list = $('restorelist');
    list.replaceChildren();
    const none = typeof why === 'string' && why ? why : label('restoreEmpty');
    if (!restoreRows.length) list.append(el('div', 'waitline', none));
    for (const r of restoreRows) {
      const item = el('label', 'restorerow');
      const box = el('input', '');
      box.type = 'checkbox';
      box.value = r.sid || '';
      box.addEventListener('change', updateRestoreNote);
      const t = el('span', 'rtitle', r.title || String(r.sid || '').slice(0, 8));
      t.dir = 'auto';
      const when = el('span', 'rwhen', String(r.lastActive || '').slice(11, 16));
      const cwd = el('bdi', 'rcwd', r.cwd || '');
      cwd.dir = 'ltr';
      item.append(box, t, when, cwd);
      list.append(item);
    }
    updateRestoreNote();
  }

  function tickedRestore() {
    return [...$('restorelist').querySelectorAll('input:checked')].map((b) => b.value).filter(Boolean);
  }

  function updateRestoreNote() {
    const n = tickedRestore().length;
    $('restorenote').textContent = restoreRows.length ? label('restoreNote').replace('{n}', String(n)) : '';
    $('restorerun').classList.toggle('off', !n);
  }

  function runRestore() {
    const sids = tickedRestore();
    if (!sids.length) return;
    send('restoreRun', { sids });
    closeRestore();
    restoreBusy = true;
    $('restorebtn').classList.add('busy');
    $('restorebtn').disabled = true;
  }

  function restoreDone() {
    restoreBusy = false;
    $('restorebtn').classList.remove('busy');
    $('restorebtn').disabled = false;
  }

  function wire() {
    $('restorebtn').addEventListener('click', openRestore);
    $('restoreclose').addEventListener('click', closeRestore);
    $('restorerun').addEventListener('click', runRestore);
    $('restorewrap').addEventListener('click', (e) => { if (e.target === $('restorewrap')) closeRestore(); });
  }

  return {
    wire,
    close: closeRestore,
    isOpen: () => !$('restorewrap').hidden,
    setRestorable,
    restoreDone,
  };
})();
