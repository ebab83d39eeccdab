// ---------- small helpers every part uses ----------

const $ = (id) => document.getElementById(id);

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null && text !== '') e.textContent = String(text);
  return e;
}

function button(cls, text, onClick) {
  const b = el('button', cls, text);
  b.type = 'button';
  if (onClick) b.addEventListener('click', (e) => { e.stopPropagation(); onClick(e, b); });
  return b;
}

function label(key) { return (typeof L === 'object' && L && L[key]) || key; }

function isField(t) {
  if (!t || !t.closest) return false;
  return !!t.closest('input, textarea, select, [contenteditable="true"]');
}

function escapeHtml(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}

// The page's few lasting preferences; a browser that keeps no storage just forgets them.
const store = {
  get(k) { try { return localStorage.getItem(k); } catch (e) { return null; } },
  set(k, v) { try { if (v === null) localStorage.removeItem(k); else localStorage.setItem(k, v); } catch (e) { /* private mode */ } },
};

const IMAGE_EXT = ['png', 'jpg', 'jpeg', 'gif', 'webp', 'svg', 'heic', 'bmp'];
const TEXT_EXT = ['md', 'markdown', 'txt', 'json', 'csv', 'tsv', 'py', 'js', 'sh', 'swift', 'css', 'yml', 'yaml', 'log', 'php'];

function extOf(path) {
  const name = String(path || '').split('/').pop();
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(dot + 1).toLowerCase() : '';
}
function isImagePath(path) { return IMAGE_EXT.includes(extOf(path)); }
function isTextPath(path) { return TEXT_EXT.includes(extOf(path)); }

function sizeText(n) {
  if (typeof n !== 'number') return String(n || '');
  if (n < 1024) return n + label('bytes');
  if (n < 1048576) return Math.floor(n / 1024) + 'K';
  return (n / 1048576).toFixed(1) + 'M';
}

function hasSelection(inside) {
  const sel = window.getSelection();
  if (!sel || sel.isCollapsed || !sel.rangeCount) return false;
  return !inside || inside.contains(sel.anchorNode) || inside.contains(sel.focusNode);
}

function caretToEnd(field) {
  const n = field.value.length;
  field.setSelectionRange(n, n);
}

// Escape in an editor must not leave the view and lose the edit.
function keepEscape(area) {
  area.addEventListener('keydown', (e) => { if (e.key === 'Escape') e.stopPropagation(); });
}
