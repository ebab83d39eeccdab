// ---------- composer ----------
//
// What the user writes to the conversation's terminal: the field with its history of
// earlier messages, the command palette that opens on "/", and files pasted or dropped in,
// which the application keeps and names back (attached). Half-typed text is kept per
// conversation.

const Composer = (() => {
  const PALETTE_SIZE = 9;
  let dom = null;             // the composer's elements, once built
  let COMMANDS = [];          // the catalogue the application sent (setCommands)
  let typed = [];             // the user's earlier messages, newest first
  let histAt = -1;
  let histDraft = '';
  let shown = [];             // commands the palette shows
  let picked = 0;
  let paletteShut = null;     // the field's text when Escape closed the palette
  let clipped = [];           // attached files
  const drafts = new Map();   // sid -> half-typed text
  let dragDepth = 0;

  function build() {
    const d = {};
    d.box = el('div', 'composer');
    d.target = el('div', 'ctarget');
    d.palette = el('div', 'palette');
    d.palette.hidden = true;
    d.palette.setAttribute('role', 'listbox');
    const row = el('div', 'crow');
    d.field = el('textarea', 'cfield');
    d.field.rows = 1;
    d.field.dir = 'auto';
    d.field.placeholder = label('composerHint');
    d.send = button('act primary csend', label('sendText'), () => sendTyped());
    row.append(d.field, d.send);
    d.clips = el('div', 'clips');
    d.box.append(d.palette, d.target, row, d.clips);

    d.field.addEventListener('keydown', onFieldKey);
    d.field.addEventListener('input', () => {
      histAt = -1;
      autosize();
      updatePalette();
      const chat = Chat.payload();
      if (chat) drafts.set(chat.sid, d.field.value);
    });
    d.field.addEventListener('paste', (e) => {
      const files = e.clipboardData ? [...e.clipboardData.files] : [];
      if (!files.length) return;
      e.preventDefault();
      for (const f of files) stashFile(f);
    });
    d.field.addEventListener('blur', () => setTimeout(() => {
      if (document.activeElement !== d.field) closePalette(false);
    }, 120));
    dom = d;
    return d.box;
  }

  // Another conversation opens: the old one's draft is kept, the new one's comes back.
  function switchDraft(fromSid, toSid) {
    if (fromSid) drafts.set(fromSid, dom.field.value);
    dom.field.value = drafts.get(toSid) || '';
    autosize();
    closePalette(false);
    histAt = -1;
    clipped = [];
    paintClips();
  }

  function setHistory(list) {
    typed = Array.isArray(list) ? list.filter((t) => typeof t === 'string') : [];
  }

  // Whom the composer writes to; a closed terminal can be read but not written to.
  function paintTarget(c) {
    const d = dom;
    d.field.disabled = !c.live;
    d.send.disabled = !c.live;
    d.box.classList.toggle('closed', !c.live);
    d.target.textContent = c.live
      ? label('composerTarget').replace('{slot}', c.slot || '—')
      : label('composerClosed');
  }

  function autosize() {
    const f = dom.field;
    f.style.height = 'auto';
    f.style.height = Math.min(f.scrollHeight + 2, 220) + 'px';
  }

  function onFieldKey(e) {
    const f = dom.field;
    if (e.isComposing) return;
    if (paletteOpen()) {
      if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
        e.preventDefault();
        picked = (picked + (e.key === 'ArrowDown' ? 1 : -1) + shown.length) % shown.length;
        paintPalette();
        return;
      }
      if (e.key === 'Tab' || (e.key === 'Enter' && !e.shiftKey)) { e.preventDefault(); completePalette(picked); return; }
      if (e.key === 'Escape') { e.preventDefault(); e.stopPropagation(); closePalette(true); return; }
    }
    if (e.key === 'Enter' && !e.shiftKey && !e.altKey && !e.ctrlKey && !e.metaKey) {
      e.preventDefault();
      sendTyped();
      return;
    }
    if (e.key === 'ArrowUp' && !e.shiftKey && (histAt >= 0 || f.value === '') && typed.length) {
      e.preventDefault();
      if (histAt < 0) { histDraft = f.value; histAt = 0; } else histAt = Math.min(histAt + 1, typed.length - 1);
      f.value = typed[histAt];
      autosize();
      caretToEnd(f);
      return;
    }
    if (e.key === 'ArrowDown' && histAt >= 0) {
      e.preventDefault();
      histAt--;
      f.value = histAt >= 0 ? typed[histAt] : histDraft;
      autosize();
      caretToEnd(f);
      return;
    }
    if (e.key === 'Escape' && histAt >= 0) {
      e.preventDefault();
      e.stopPropagation();
      f.value = histDraft;
      histAt = -1;
      autosize();
    }
  }

  // A message the application could not type (a question was open, the screen could not
  // be read): its words come back into the field, ahead of anything typed since.
  function unsent(sid, text) {
    const chat = Chat.payload();
    if (chat && chat.sid === sid) Transcript.unecho(text, chat);
    if (chat && chat.sid === sid && dom) {
      const now = dom.field.value.trim();
      dom.field.value = now ? text + '\n' + now : text;
      autosize();
    } else {
      const kept = drafts.get(sid) || '';
      drafts.set(sid, kept.trim() ? text + '\n' + kept : text);
    }
  }

  function sendText(text) {
    const chat = Chat.payload();
    if (!chat || !text) return;
    send('send', { text });
    Transcript.echo(text, chat);
  }

  function sendTyped() {
    const f = dom.field;
    const text = f.value.trim();
    const chat = Chat.payload();
    if (!text || !chat || !chat.live) return;
    f.value = '';
    autosize();
    closePalette(false);
    histAt = -1;
    histDraft = '';
    clipped = [];
    paintClips();
    drafts.delete(chat.sid);
    sendText(text);
  }

  function paletteOpen() { return dom && !dom.palette.hidden && shown.length > 0; }

  function scoreCommand(c, word) {
    const name = String(c.name || '').toLowerCase();
    if (!word) return 2;
    if (name.startsWith(word)) return 0;
    if (name.includes(word)) return 1;
    if (String(c.hint || '').toLowerCase().includes(word)) return 3;
    return -1;
  }

  function updatePalette() {
    const v = dom.field.value;
    const m = v.match(/^\/([^\s]*)$/);
    if (!m || v === paletteShut) { closePalette(false); return; }
    paletteShut = null;
    const word = m[1].toLowerCase();
    shown = COMMANDS.map((c, i) => ({ c, i, s: scoreCommand(c, word) }))
      .filter((x) => x.s >= 0 && x.c && x.c.name)
      .sort((a, b) => a.s - b.s || a.i - b.i)
      .slice(0, PALETTE_SIZE)
      .map((x) => x.c);
    picked = 0;
    paintPalette();
  }

  function paintPalette() {
    const p = dom.palette;
    p.replaceChildren();
    p.hidden = !shown.length;
    shown.forEach((c, i) => {
      const item = el('div', 'pitem' + (i === picked ? ' on' : ''));
      item.setAttribute('role', 'option');
      const name = el('bdi', 'pname', '/' + c.name);
      name.dir = 'ltr';
      item.append(name, el('span', 'pkind', c.kind));
      const hint = el('span', 'phint', c.hint);
      hint.dir = 'auto';
      item.append(hint);
      if (c.interactive) {
        const mark = el('span', 'pint', label('interactive'));
        mark.title = label('interactiveTip');
        item.append(mark);
      }
      item.addEventListener('mousedown', (e) => { e.preventDefault(); completePalette(i); });
      p.append(item);
    });
    const on = p.querySelector('.pitem.on');
    if (on) on.scrollIntoView({ block: 'nearest' });
  }

  function completePalette(i) {
    const c = shown[i];
    if (!c) return;
    const f = dom.field;
    f.value = '/' + c.name + ' ';
    closePalette(false);
    f.focus();
    caretToEnd(f);
    autosize();
    const chat = Chat.payload();
    if (chat) drafts.set(chat.sid, f.value);
  }

  function closePalette(byEscape) {
    if (!dom) return;
    if (byEscape) paletteShut = dom.field.value;
    shown = [];
    dom.palette.hidden = true;
    dom.palette.replaceChildren();
  }

  function paintClips() {
    const box = dom.clips;
    box.replaceChildren();
    box.hidden = !clipped.length;
    for (const p of clipped) {
      const chip = el('bdi', 'clip', p.split('/').pop());
      chip.dir = 'ltr';
      chip.title = p;
      box.append(chip);
    }
  }

  function stashFile(file) {
    const reader = new FileReader();
    reader.onload = () => {
      const s = String(reader.result || '');
      const comma = s.indexOf(',');
      send('stash', { data: comma >= 0 ? s.slice(comma + 1) : '', name: file.name || 'file' });
    };
    reader.readAsDataURL(file);
  }

  function canDrop(e) {
    const chat = Chat.payload();
    return Frame.view() === 'chat' && chat && chat.live && e.dataTransfer && [...e.dataTransfer.types].includes('Files');
  }

  document.addEventListener('dragenter', (e) => {
    if (!canDrop(e)) return;
    e.preventDefault();
    dragDepth++;
    $('drop').hidden = false;
  });
  document.addEventListener('dragover', (e) => { if (canDrop(e)) e.preventDefault(); });
  document.addEventListener('dragleave', (e) => {
    if (!canDrop(e)) return;
    dragDepth = Math.max(0, dragDepth - 1);
    if (!dragDepth) $('drop').hidden = true;
  });
  document.addEventListener('drop', (e) => {
    dragDepth = 0;
    $('drop').hidden = true;
    if (!canDrop(e)) return;
    e.preventDefault();
    for (const f of e.dataTransfer.files) stashFile(f);
  });

  // ----- what the application calls -----

  function setCommands(list) {
    COMMANDS = Array.isArray(list) ? list.filter((c) => c && typeof c.name === 'string') : [];
    if (dom && !dom.palette.hidden) updatePalette();
  }

  function attached(path) {
    if (!dom || !path) return;
    const f = dom.field;
    const v = f.value;
    f.value = v + (v && !/\s$/.test(v) ? ' ' : '') + path + ' ';
    clipped.push(String(path));
    paintClips();
    autosize();
    f.focus();
    caretToEnd(f);
    const chat = Chat.payload();
    if (chat) drafts.set(chat.sid, f.value);
  }

  // A menu's "start a command": "/" in the empty field and the palette open.
  function startCommand() {
    if (!dom || Frame.view() !== 'chat' || dom.field.disabled) return;
    const f = dom.field;
    if (!f.value) f.value = '/';
    paletteShut = null;
    f.focus();
    caretToEnd(f);
    updatePalette();
  }

  return {
    build,
    switchDraft,
    setHistory,
    paintTarget,
    sendText,
    setCommands,
    attached,
    startCommand,
    unsent,
  };
})();
