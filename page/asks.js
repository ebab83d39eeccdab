// ---------- the questions view ----------
//
// The terminals asking now come first, as ask cards; then the entries of the questions
// file, most urgent first. An entry opens in place to its body, its recorded answer and a
// reply box. Open entries and half-typed replies survive the repaints.

const Asks = (() => {
  let sig = null;
  const open = new Set();      // ids of the entries the user opened
  const drafts = new Map();    // id -> reply typed but not sent

  function sendAnswer(id, area) {
    const text = area.value.trim();
    if (!text) return;
    send('answer', { id, text });
    drafts.delete(id);
    area.value = '';
    sig = null;  // the recorded answer comes back with the next payload
  }

  function entry(x) {
    const id = String(x.id || '');
    const box = el('div', 'askentry' + (x.answered ? ' answered' : ''));
    box.dataset.id = id;
    box.classList.toggle('open', open.has(id));
    const head = button('entryhead', '', () => {
      const now = !box.classList.contains('open');
      box.classList.toggle('open', now);
      if (now) open.add(id); else open.delete(id);
    });
    head.append(el('span', 'urg', String(x.urgency || '')), el('span', 'aid', id), el('bdi', 'atitle', String(x.title || '')));
    if (x.cost) head.append(el('span', 'acost', String(x.cost)));
    if (x.asker) head.append(el('bdi', 'asker', String(x.asker)));
    const body = el('div', 'entrybody');
    if (x.since) body.append(el('div', 'asince', String(x.since)));
    const md = el('div', 'md');
    md.dir = Markdown.dir(String(x.body || ''));
    md.innerHTML = Markdown.html(String(x.body || ''));
    body.append(md);
    if (x.answered) {
      const a = el('div', 'entryanswer');
      a.append(el('div', 'alabel', label('asksAnswered')), el('div', 'atext', String(x.answer || '')));
      a.querySelector('.atext').dir = 'auto';
      body.append(a);
    }
    const area = el('textarea', 'entryreply');
    area.dir = 'auto';
    area.rows = 3;
    area.placeholder = label('asksReplyHint');
    area.value = drafts.get(id) || '';
    area.addEventListener('input', () => { if (area.value) drafts.set(id, area.value); else drafts.delete(id); });
    area.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) { e.preventDefault(); sendAnswer(id, area); }
    });
    const bar = el('div', 'entrybar');
    bar.append(button('act primary', label('asksReply'), () => sendAnswer(id, area)));
    body.append(area, bar);
    box.append(head, body);
    return box;
  }

  function paint(d) {
    const view = $('asksview');
    const live = Array.isArray(d.live) ? d.live : [];
    const entries = Array.isArray(d.asks) ? d.asks : [];
    // The answer's text is part of it: a second answer must show, not the first. So is the id
    // of the question on screen, which the cards send back with an answer.
    const s = entries.map((x) => x.id + (x.answered ? '1' : '0') + ':' + String(x.answer || '').length + ':' + String(x.answer || '').slice(0, 64)).join(',') + '|' +
      live.map((a) => a.id + ':' + a.tty + ':' + (a.expect || '') + ':' + AskCard.firstQuestion(a)).join(',');
    if (s === sig) return;
    sig = s;
    // A reply being typed keeps its focus and caret through the rebuild.
    const focused = document.activeElement && document.activeElement.closest && document.activeElement.closest('.askentry');
    const focusId = focused ? focused.dataset.id : null;
    const cardFocus = AskCard.focusedKey();
    view.replaceChildren();
    const head = el('header', 'viewhead');
    head.append(el('h1', 'viewtitle', label('view_asks')));
    if (live.length) head.append(el('span', 'vcount ask', label('asksLive').replace('{n}', String(live.length))));
    const unanswered = entries.filter((x) => !x.answered).length;
    if (entries.length) head.append(el('span', 'vcount', label('asksOpen').replace('{n}', String(unanswered))));
    view.append(head);
    if (live.length) {
      view.append(el('h2', 'sect', live.length === 1 ? label('asksOne') : live.length + label('asksMany')));
      for (const a of live) view.append(AskCard.card(a, true));
    }
    AskCard.refocus(view, cardFocus);
    if (!live.length && !entries.length) { view.append(el('div', 'empty', label('noAsks'))); return; }
    if (entries.length) {
      view.append(el('h2', 'sect', label('asksFile')));
      const list = el('div', 'asklist');
      for (const x of entries) list.append(entry(x));
      view.append(list);
    }
    if (focusId !== null) {
      const area = view.querySelector(`.askentry[data-id="${CSS.escape(focusId)}"] .entryreply`);
      if (area) { area.focus(); caretToEnd(area); }
    }
  }

  return { paint };
})();
