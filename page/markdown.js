// ---------- markdown ----------
//
// Markdown as the agent writes it, line by line. Nothing from the text reaches the markup
// unescaped: every piece is either escaped text or markup this renderer wrote itself.
// `paths` are the files the application found named in the text; they become chips.

const Markdown = (() => {
  const MAX_LINKS = 40;
  const URL_END = /[\s<>"`()[\]{}|'\u0000-\u001f\u007f]/;

  function md(text, paths) {
    const ctx = { paths: knownPaths(paths), links: 0 };
    const lines = String(text || '').replace(/\r\n?/g, '\n').split('\n');
    const out = [];
    let para = [];
    const flush = () => {
      if (para.length) out.push('<p dir="auto">' + para.map((l) => inline(l, ctx)).join('<br>') + '</p>');
      para = [];
    };
    for (let i = 0; i < lines.length; i++) {
      const line = lines[i];
      if (!line.trim()) { flush(); continue; }
      if (line.startsWith('```')) {
        flush();
        const code = [];
        for (i++; i < lines.length && !lines[i].startsWith('```'); i++) code.push(lines[i]);
        out.push('<pre dir="ltr"><code>' + codeHtml(code.join('\n')) + '</code></pre>');
        continue;
      }
      const bare = line.trim();
      if (bare.length >= 3 && (/^-+$/.test(bare) || /^=+$/.test(bare))) { flush(); out.push('<hr>'); continue; }
      const h = line.match(/^(#{1,4}) (.*)$/);
      if (h) {
        flush();
        const level = h[1].length + 2;
        out.push(`<h${level} dir="auto">${inline(h[2], ctx)}</h${level}>`);
        continue;
      }
      if (line.startsWith('>')) {
        flush();
        const quote = [];
        for (; i < lines.length && lines[i].startsWith('>'); i++) quote.push(lines[i].replace(/^> ?/, ''));
        i--;
        out.push('<blockquote dir="auto">' + quote.map((l) => inline(l, ctx)).join('<br>') + '</blockquote>');
        continue;
      }
      if (line.startsWith('|')) {
        flush();
        const rows = [];
        for (; i < lines.length && lines[i].startsWith('|'); i++) rows.push(tableCells(lines[i]));
        i--;
        out.push(tableHtml(rows, ctx));
        continue;
      }
      if (listItem(line)) {
        flush();
        const items = [];
        for (; i < lines.length && listItem(lines[i]); i++) items.push(listItem(lines[i]));
        i--;
        out.push(listHtml(items, ctx));
        continue;
      }
      para.push(line);
    }
    flush();
    return out.join('');
  }

  // The direction of a whole text: its first letter that has one, leaving out code, web
  // addresses and paths, which are written left to right in any language.
  function textDir(text) {
    const t = String(text || '').replace(/```[\s\S]*?(```|$)/g, ' ').replace(/`[^`]*`/g, ' ')
      .replace(/(https?:\/\/|www\.)\S*/gi, ' ').replace(/(^|\s)[~.]?\/\S*/g, ' ');
    const m = t.match(/[A-Za-z\u00c0-\u024f\u0370-\u03ff\u0400-\u04ff\u0590-\u05ff\u0600-\u06ff\u0700-\u08ff\ufb1d-\ufdff\ufe70-\ufefc]/);
    if (!m) return 'auto';
    return /[\u0590-\u08ff\ufb1d-\ufdff\ufe70-\ufefc]/.test(m[0]) ? 'rtl' : 'ltr';
  }

  function knownPaths(paths) {
    const list = (Array.isArray(paths) ? paths : []).filter((p) => typeof p === 'string' && p.length > 1);
    return [...new Set(list)].sort((a, b) => b.length - a.length);  // longest first: no path inside another
  }

  // "- ", "* ", "· " or "12. ", and a leading blank makes a sub-item.
  function listItem(line) {
    const m = line.match(/^(\s*)(?:([-*·]) |(\d{1,3})\. )(.*)$/);
    if (!m) return null;
    let body = m[4];
    const task = body.match(/^\[( |x)\] /i);
    if (task) body = (task[1] === ' ' ? '☐ ' : '☑ ') + body.slice(4);
    return { sub: m[1].length > 0, ordered: m[3] !== undefined, start: Number(m[3] || 1), body };
  }

  function listHtml(items, ctx) {
    const out = [];
    let top = null;   // kind of the open top-level list
    let inner = null; // kind of the open sub-list
    // Lists and tables take the message's direction: an English item in a Hebrew list
    // stays in the Hebrew list's order.
    const open = (it) => (it.ordered ? (it.start !== 1 ? `<ol start="${it.start}">` : '<ol>') : '<ul>');
    const closeInner = () => { if (inner) { out.push(`</${inner}>`); inner = null; } };
    const closeTop = () => { closeInner(); if (top) { out.push(`</li></${top}>`); top = null; } };
    for (const it of items) {
      const kind = it.ordered ? 'ol' : 'ul';
      if (it.sub && top) {
        if (inner !== kind) { closeInner(); out.push(open(it)); inner = kind; }
        out.push('<li>' + inline(it.body, ctx) + '</li>');
        continue;
      }
      if (top !== kind) { closeTop(); out.push(open(it)); top = kind; } else { closeInner(); out.push('</li>'); }
      out.push('<li>' + inline(it.body, ctx));
    }
    closeTop();
    return out.join('');
  }

  function tableCells(line) {
    const cells = line.split('|').slice(1);
    if (cells.length && !cells[cells.length - 1].trim()) cells.pop();
    return cells.map((c) => c.trim());
  }

  function tableHtml(rows, ctx) {
    const divider = (r) => r.length && r.every((c) => c && /^[-:\s]+$/.test(c));
    const body = rows.filter((r, i) => !(i === 1 && divider(r)));
    const [head, ...rest] = body;
    const cells = (r, tag) => r.map((c) => `<${tag}>${inline(c, ctx)}</${tag}>`).join('');
    let html = '<div class="tablewrap"><table><thead><tr>' + cells(head || [], 'th') + '</tr></thead><tbody>';
    for (const r of rest) html += '<tr>' + cells(r, 'td') + '</tr>';
    return html + '</tbody></table></div>';
  }

  // Splits the unclaimed strings of `parts` wherever `find` claims a match; a claimed piece
  // is an object holding its finished markup.
  function carve(parts, re, make) {
    const out = [];
    for (const part of parts) {
      if (typeof part !== 'string') { out.push(part); continue; }
      re.lastIndex = 0;
      let at = 0;
      let m;
      while ((m = re.exec(part))) {
        const got = make(m, part);
        if (!got) { if (m[0] === '') re.lastIndex++; continue; }
        const start = m.index + (got.skip || 0);
        const end = start + got.length;
        if (start > at) out.push(part.slice(at, start));
        out.push({ html: got.html });
        at = end;
        re.lastIndex = end;
      }
      if (at < part.length) out.push(part.slice(at));
    }
    return out;
  }

  function webAddress(m, part) {
    const start = m.index;
    if (m[0].toLowerCase().startsWith('www.') && start > 0 && /[\p{L}\p{N}_.\-/@]/u.test(part[start - 1])) return null;
    let url = m[0].replace(/[.,;:!?]+$/, '');
    if (/^(https?:\/\/|www\.)$/i.test(url)) return null;
    const href = /^www\./i.test(url) ? 'https://' + url : url;
    return { length: url.length, html: `<a href="${escapeHtml(href)}" dir="ltr">${escapeHtml(url)}</a>` };
  }
  const WEB_RE = new RegExp('(?:https?://|www\\.)[^' + URL_END.source.slice(1, -1) + ']*', 'giu');

  function chipHtml(path) {
    return `<a class="chip" href="#" data-path="${escapeHtml(path)}" title="${escapeHtml(path)}" dir="ltr">${escapeHtml(path)}</a>`;
  }

  function pathFinder(ctx) {
    if (!ctx.paths.length) return null;
    const alt = ctx.paths.map((p) => p.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')).join('|');
    return new RegExp(alt, 'g');
  }

  function pathChips(parts, ctx) {
    const re = pathFinder(ctx);
    if (!re) return parts;
    let chips = 0;
    return carve(parts, re, (m, part) => {
      const before = m.index > 0 ? part[m.index - 1] : '';
      const after = part[m.index + m[0].length] || '';
      // A path is a whole token: not the tail of a longer word or path, nor its head.
      if (before && /[\p{L}\p{N}_./~]/u.test(before)) return null;
      if (after && /[\p{L}\p{N}_\-/~]/u.test(after)) return null;
      if (++chips > MAX_LINKS) return null;
      return { length: m[0].length, html: chipHtml(m[0]) };
    });
  }

  function linkTarget(target) {
    if (/^(https?:|mailto:)/i.test(target)) return target;
    if (/^[a-z][a-z0-9+.-]*:/i.test(target)) return '';  // no script or other schemes
    return target;
  }

  function inline(s, ctx) {
    ctx = ctx || { paths: [], links: 0 };
    let parts = carve([String(s)], /`([^`]+)`/g, (m) => {
      const code = m[1];
      if (ctx.paths.includes(code)) return { length: m[0].length, html: chipHtml(code) };
      if (/^(https?:\/\/|www\.)/i.test(code) && !URL_END.test(code)) {
        const href = /^www\./i.test(code) ? 'https://' + code : code;
        return { length: m[0].length, html: `<a href="${escapeHtml(href)}" dir="ltr">${escapeHtml(code)}</a>` };
      }
      return { length: m[0].length, html: '<code>' + escapeHtml(code) + '</code>' };
    });
    parts = carve(parts, /\[([^\]\n]+)\]\(([^()\s]+)\)/g, (m) => {
      const href = linkTarget(m[2]);
      if (!href || ctx.links >= MAX_LINKS) return null;
      ctx.links++;
      return { length: m[0].length, html: `<a href="${escapeHtml(href)}">${escapeHtml(m[1])}</a>` };
    });
    parts = carve(parts, WEB_RE, webAddress);
    parts = pathChips(parts, ctx);
    // Emphasis runs over the text with the finished pieces held as place-holders, so a pair
    // of stars may enclose a link but never reach into one.
    const held = [];
    let t = parts.map((p) => {
      if (typeof p === 'string') return escapeHtml(p.replace(/[\u0001\u0002]/g, ''));
      held.push(p.html);
      return `\u0001${held.length - 1}\u0002`;
    }).join('');
    t = t.replace(/\*\*([^*\n]+?)\*\*/g, '<strong>$1</strong>');
    t = t.replace(/(^|[^*\p{L}\p{N}])\*([^*\s](?:[^*\n]*[^*\s])?)\*(?![*\p{L}\p{N}])/gu, '$1<em>$2</em>');
    return t.replace(/\u0001(\d+)\u0002/g, (m, n) => held[Number(n)]);
  }

  // Code keeps its text; only bare web addresses in it become links.
  function codeHtml(code) {
    return carve([code], WEB_RE, webAddress).map((p) => (typeof p === 'string' ? escapeHtml(p) : p.html)).join('');
  }

  return { html: md, dir: textDir };
})();
