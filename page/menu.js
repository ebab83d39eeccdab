// ---------- the menu bar of a page in a browser ----------
//
// The window has a menu bar of its own; a browser has none, so a page shown there draws the
// application's menus itself, from the "menu" of each paint, and answers their keys. Inside
// the window (no `window.velmoBrowser`) this part stays out of the way entirely.
//
// An item: {id, value?, title, check?, on?, off?, keys?, items?} or {sep: true}. Choosing one
// sends {"act": "menu", "id", "value"}; the application does the rest and the next paint
// carries the new check marks, so the page never guesses them.

const Menu = (() => {
  // Keys a browser keeps for itself: a page never sees them, or must not try to take them.
  const BROWSER_KEYS = new Set(['Ctrl+N', 'Ctrl+W', 'Ctrl+Shift+W', 'Ctrl+T', 'Ctrl+Q', 'Ctrl+Shift+N', 'Ctrl+Shift+T']);
  // Keys the page answers on its own (keys.js): Ctrl+S saves there, so the menu's Save key is
  // left to it and nothing is saved twice.
  const PAGE_KEYS = new Set(['Ctrl+S']);
  // Inside a text field these letters edit the field (select all, copy, paste, cut, undo,
  // redo), with or without Shift, whatever the menu binds to them.
  const EDIT_LETTERS = 'ACVXZY';

  let bar = null;
  let drawn = null;         // the JSON text of the menus on show
  let menus = [];
  let byKeys = new Map();   // canonical keys → item
  let openAt = -1;          // the index of the open menu, -1 when all are shut
  let before = null;        // what had the focus before the bar took it

  const on = () => window.velmoBrowser === true;
  const rtl = () => getComputedStyle(document.documentElement).direction === 'rtl';

  // "Ctrl+Shift+G" in any order of its modifiers → "Ctrl+Shift+G"; null when it names no
  // key this page can read.
  function canonical(text) {
    if (typeof text !== 'string' || !text) return null;
    const parts = text.split('+').map((p) => p.trim());
    const key = parts.pop();
    const mods = new Set(parts.map((p) => p.toLowerCase()));
    let name = null;
    if (/^[a-z]$/i.test(key)) name = key.toUpperCase();
    else if (key === 'Up' || key === 'Down') name = key;
    if (!name) return null;
    return (mods.has('ctrl') ? 'Ctrl+' : '') + (mods.has('shift') ? 'Shift+' : '') + (mods.has('alt') ? 'Alt+' : '') + name;
  }

  // The same text for a key press. A letter is read from the key it types, so a layout that
  // moves letters still gets them where it puts them; one that types no Latin letter (Hebrew)
  // falls back to the key's place.
  function pressed(e) {
    let name = null;
    if (/^[a-z]$/i.test(e.key)) name = e.key.toUpperCase();
    else if (e.key === 'ArrowUp') name = 'Up';
    else if (e.key === 'ArrowDown') name = 'Down';
    else if (/^\p{L}$/u.test(e.key) && /^Key[A-Z]$/.test(e.code || '')) name = e.code.slice(3);
    if (!name) return null;
    return (e.ctrlKey || e.metaKey ? 'Ctrl+' : '') + (e.shiftKey ? 'Shift+' : '') + (e.altKey ? 'Alt+' : '') + name;
  }

  function choose(item) {
    if (!item || item.off || typeof item.id !== 'string') return;
    const extra = { id: item.id };
    if (Object.hasOwn(item, 'value')) extra.value = item.value;
    send('menu', extra);
  }

  // ---- drawing ----

  function paint(d) {
    if (!on() || !d || !Object.hasOwn(d, 'menu')) return;
    const list = Array.isArray(d.menu) ? d.menu.filter((m) => m && typeof m === 'object') : [];
    const text = JSON.stringify(list);
    if (text === drawn) return;
    drawn = text;
    menus = list;
    byKeys = new Map();
    const index = (items) => {
      for (const it of Array.isArray(items) ? items : []) {
        if (!it || typeof it !== 'object') continue;
        const k = canonical(it.keys);
        if (k && !byKeys.has(k)) byKeys.set(k, it);
        index(it.items);
      }
    };
    menus.forEach((m) => index(m.items));
    draw();
  }

  // Redraws the bar; a menu that was open stays open, with the focus on the same place.
  function draw() {
    const wasOpen = openAt;
    const focusPath = pathOf(document.activeElement);
    const keep = before;
    bar.replaceChildren();
    menus.forEach((m, i) => {
      const top = el('div', 'mtop');
      top.setAttribute('role', 'none');
      const title = button('mtitle', m.title || '', () => (openAt === i ? close(true) : open(i)));
      title.setAttribute('role', 'menuitem');
      title.setAttribute('aria-haspopup', 'menu');
      title.setAttribute('aria-expanded', 'false');
      title.tabIndex = i === 0 ? 0 : -1;
      title.addEventListener('mouseenter', () => { if (openAt >= 0 && openAt !== i) open(i); });
      top.append(title, list(m.items, m.title || ''));
      bar.append(top);
    });
    bar.hidden = !menus.length;
    openAt = -1;
    if (wasOpen >= 0 && wasOpen < menus.length) {
      open(wasOpen);
      const back = focusPath && nodeAt(focusPath);
      if (back) {
        showPath(back);
        back.focus();
      }
    }
    before = keep;
  }

  function list(items, name) {
    const box = el('div', 'mlist');
    box.setAttribute('role', 'menu');
    box.setAttribute('aria-label', name);
    box.hidden = true;
    for (const it of Array.isArray(items) ? items : []) {
      if (!it || typeof it !== 'object') continue;
      if (it.sep) {
        const line = el('div', 'msep');
        line.setAttribute('role', 'separator');
        box.append(line);
      } else if (Array.isArray(it.items)) {
        box.append(submenu(it));
      } else {
        box.append(entry(it));
      }
    }
    return box;
  }

  function face(node, it) {
    node.append(el('span', 'mcheck', it.check && it.on ? '✓' : ''), el('span', 'mname', it.title || ''));
    const keys = el('span', 'mkeys', it.keys || '');
    keys.dir = 'ltr';
    node.append(keys);
  }

  function entry(it) {
    if (it.off) {
      const line = el('div', 'mitem off');
      line.setAttribute('role', 'menuitem');
      line.setAttribute('aria-disabled', 'true');
      face(line, it);
      return line;
    }
    const b = button('mitem', '', () => { close(true); choose(it); });
    b.tabIndex = -1;
    if (it.check) {
      b.setAttribute('role', 'menuitemcheckbox');
      b.setAttribute('aria-checked', it.on ? 'true' : 'false');
    } else {
      b.setAttribute('role', 'menuitem');
    }
    if (typeof it.keys === 'string' && it.keys) {
      b.setAttribute('aria-keyshortcuts', it.keys.replace('Ctrl', 'Control').replace(/\b(Up|Down)$/, 'Arrow$1'));
    }
    face(b, it);
    b.addEventListener('mouseenter', () => { shutSubmenus(b.parentElement); b.focus(); });
    return b;
  }

  function submenu(it) {
    const wrap = el('div', 'msub');
    wrap.setAttribute('role', 'none');
    const b = button('mitem parent', '', () => toggleSub(wrap));
    b.tabIndex = -1;
    b.setAttribute('role', 'menuitem');
    b.setAttribute('aria-haspopup', 'menu');
    b.setAttribute('aria-expanded', 'false');
    face(b, it);
    b.append(el('span', 'marrow', '›'));
    b.addEventListener('mouseenter', () => { shutSubmenus(wrap.parentElement); openSub(wrap); b.focus(); });
    wrap.append(b, list(it.items, it.title || ''));
    return wrap;
  }

  // ---- opening and shutting ----

  function open(i) {
    if (openAt >= 0 && openAt !== i) shut(openAt);
    openAt = i;
    const top = bar.children[i];
    top.querySelector('.mtitle').setAttribute('aria-expanded', 'true');
    top.classList.add('open');
    top.querySelector(':scope > .mlist').hidden = false;
    roving(i);
    document.addEventListener('pointerdown', outside, true);
  }

  function shut(i) {
    const top = bar.children[i];
    if (!top) return;
    top.classList.remove('open');
    top.querySelector('.mtitle').setAttribute('aria-expanded', 'false');
    for (const l of top.querySelectorAll('.mlist')) l.hidden = true;
    for (const p of top.querySelectorAll('.parent')) p.setAttribute('aria-expanded', 'false');
  }

  // Shuts every menu. With `restore`, the focus goes back to where it was before the bar.
  function close(restore) {
    if (openAt >= 0) shut(openAt);
    openAt = -1;
    document.removeEventListener('pointerdown', outside, true);
    if (restore && bar.contains(document.activeElement)) {
      if (before && before.isConnected && !bar.contains(before)) before.focus();
      else document.activeElement.blur();
    }
  }

  function outside(e) {
    if (!bar.contains(e.target)) close(false);
  }

  function openSub(wrap) {
    wrap.querySelector(':scope > .parent').setAttribute('aria-expanded', 'true');
    wrap.querySelector(':scope > .mlist').hidden = false;
  }

  function shutSub(wrap) {
    wrap.querySelector(':scope > .parent').setAttribute('aria-expanded', 'false');
    for (const l of wrap.querySelectorAll('.mlist')) l.hidden = true;
  }

  function toggleSub(wrap) {
    if (wrap.querySelector(':scope > .mlist').hidden) {
      openSub(wrap);
      const first = items(wrap.querySelector(':scope > .mlist'))[0];
      if (first) first.focus();
    } else {
      shutSub(wrap);
      wrap.querySelector(':scope > .parent').focus();
    }
  }

  function shutSubmenus(listBox) {
    for (const w of listBox.querySelectorAll(':scope > .msub')) shutSub(w);
  }

  function roving(i) {
    [...bar.querySelectorAll('.mtitle')].forEach((t, n) => { t.tabIndex = n === i ? 0 : -1; });
  }

  // ---- keys inside the bar ----

  const items = (listBox) => [...listBox.querySelectorAll(':scope > .mitem:not(.off), :scope > .msub > .mitem')];

  // Where a node sits: the menu's index, then the index among its list's items at each depth.
  function pathOf(node) {
    if (!bar || !node || !bar.contains(node)) return null;
    const path = [];
    let at = node;
    while (at && at !== bar) {
      if (at.classList.contains('mitem')) path.unshift(items(at.closest('.mlist')).indexOf(at));
      else if (at.classList.contains('msub')) path.unshift(items(at.parentElement).indexOf(at.firstChild));
      if (at.classList.contains('mtop')) path.unshift([...bar.children].indexOf(at));
      at = at.parentElement;
    }
    return path;
  }

  function nodeAt(path) {
    const top = bar.children[path[0]];
    if (!top) return null;
    if (path.length === 1) return top.querySelector('.mtitle');
    let box = top.querySelector(':scope > .mlist');
    let node = null;
    for (const n of path.slice(1)) {
      if (!box) return null;
      node = items(box)[n];
      if (!node) return null;
      box = node.parentElement.classList.contains('msub') ? node.parentElement.querySelector(':scope > .mlist') : null;
    }
    return node;
  }

  function showPath(node) {
    for (let w = node.parentElement.closest('.msub'); w; w = w.parentElement.closest('.msub')) openSub(w);
  }

  function step(list, from, by) {
    const all = items(list);
    if (!all.length) return;
    const at = all.indexOf(from);
    const next = at < 0 ? (by > 0 ? 0 : all.length - 1) : (at + by + all.length) % all.length;
    all[next].focus();
  }

  function openAndFocus(i, last) {
    open(i);
    const all = items(bar.children[i].querySelector(':scope > .mlist'));
    if (all.length) all[last ? all.length - 1 : 0].focus();
  }

  function keydown(e) {
    const t = e.target;
    const n = menus.length;
    if (!n) return;
    // Toward the end of the line: right in English, left in Hebrew.
    const forward = rtl() ? 'ArrowLeft' : 'ArrowRight';
    const backward = rtl() ? 'ArrowRight' : 'ArrowLeft';
    let done = true;
    if (t.classList.contains('mtitle')) {
      const i = [...bar.children].indexOf(t.parentElement);
      if (e.key === forward || e.key === backward) {
        const j = (i + (e.key === forward ? 1 : -1) + n) % n;
        if (openAt >= 0) open(j); else roving(j);
        bar.children[j].querySelector('.mtitle').focus();
      } else if (e.key === 'ArrowDown' || e.key === 'Enter' || e.key === ' ') openAndFocus(i, false);
      else if (e.key === 'ArrowUp') openAndFocus(i, true);
      else if (e.key === 'Escape' && openAt >= 0) close(false);
      else done = false;
    } else if (t.classList.contains('mitem')) {
      const box = t.closest('.mlist');
      const wrap = t.parentElement.classList.contains('msub') ? t.parentElement : null;
      const inner = box.parentElement.classList.contains('msub') ? box.parentElement : null;
      const i = openAt;
      if (e.key === 'ArrowDown') step(box, t, 1);
      else if (e.key === 'ArrowUp') step(box, t, -1);
      else if (e.key === 'Home') step(box, null, 1);
      else if (e.key === 'End') step(box, null, -1);
      else if (e.key === forward && wrap) { openSub(wrap); step(wrap.querySelector(':scope > .mlist'), null, 1); }
      else if (e.key === backward && inner) { shutSub(inner); inner.querySelector(':scope > .parent').focus(); }
      else if (e.key === forward || e.key === backward) {
        openAndFocus((i + (e.key === forward ? 1 : -1) + n) % n, false);
      } else if (e.key === 'Escape') {
        if (inner) { shutSub(inner); inner.querySelector(':scope > .parent').focus(); }
        else { close(false); bar.children[i].querySelector('.mtitle').focus(); }
      } else if (e.key === 'Tab') {
        // Tab leaves the bar from its title, the one stop the bar has, as from any button.
        close(false);
        bar.children[i].querySelector('.mtitle').focus();
        done = false;
      }
      else done = false;
    } else {
      done = false;
    }
    if (done) {
      e.preventDefault();
      e.stopPropagation();  // Escape here must not also leave the view
    }
  }

  // ---- the menu's keys anywhere on the page ----

  function mirror(e) {
    if (e.defaultPrevented || !byKeys.size) return;
    if (document.getElementById('velmo-alert') || Restore.isOpen()) return;  // a modal holds the keys
    const k = pressed(e);
    if (!k || BROWSER_KEYS.has(k) || PAGE_KEYS.has(k)) return;
    const ctrl = e.ctrlKey || e.metaKey;
    if (!ctrl && !e.altKey) return;  // a letter typed, or a plain arrow: never the menu's
    const key = k.split('+').pop();
    if (ctrl && !e.altKey && key.length === 1 && EDIT_LETTERS.includes(key) && isField(e.target)) return;
    const item = byKeys.get(k);
    if (!item || item.off) return;
    e.preventDefault();
    e.stopPropagation();
    close(false);
    choose(item);
  }

  function setup() {
    if (!on()) return;
    document.documentElement.classList.add('browser');
    bar = el('nav', 'menubar');
    bar.id = 'menubar';
    bar.setAttribute('role', 'menubar');
    bar.setAttribute('aria-label', label('menuBar'));
    bar.hidden = true;
    bar.addEventListener('keydown', keydown);
    bar.addEventListener('focusin', (e) => { if (!bar.contains(e.relatedTarget)) before = e.relatedTarget; });
    bar.addEventListener('focusout', (e) => {
      if (openAt >= 0 && e.relatedTarget && !bar.contains(e.relatedTarget)) close(false);
    });
    document.body.prepend(bar);
    // Capturing, so a key a part of the page would otherwise take (Escape, arrows) reaches
    // the menu's binding first, as it does in the window.
    document.addEventListener('keydown', mirror, true);
  }

  return { setup, paint, canonical };
})();
