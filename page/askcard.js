// ---------- ask card ----------
//
// A question of a terminal, answerable in place: on the asks view, in the alerts and at the
// foot of its conversation. Only the first part can be answered; the rest wait their turn.

const AskCard = (() => {
  let freeBusy = null;  // the free-answer button waiting for the application's word
  let freeKey = null;   // the card that button belongs to
  // Free answers typed but not sent, by card: a card is drawn afresh whenever the view
  // repaints, and what the person was writing must not go with it.
  const drafts = new Map();

  // A question on a terminal: the question id the screen showed, else its first question.
  function keyOf(a) {
    return String(a.tty || '') + '|' + String(a.expect || firstQuestionOf(a));
  }

  function firstQuestionOf(ask) {
    if (!ask) return '';
    const parts = Array.isArray(ask.parts) ? ask.parts : [];
    return (parts[0] && parts[0].question) || '';
  }

  // What the terminal shows above a permission prompt's options: the command, the file and
  // its changed lines, the address. Plain text, every line of it: a long line folds, a long
  // body scrolls in its box, and nothing in it is read as markup.
  function bodyOf(lines) {
    const box = el('div', 'askbody');
    box.append(el('div', 'note', label('askBodyLabel')));
    const text = el('pre', 'bodytext', lines.map(String).join('\n'));
    text.dir = 'auto';
    box.append(text);
    return box;
  }

  function askCard(a, outside) {
    const card = el('div', 'askcard' + (a.kind === 'plan' ? ' plan' : ''));
    const key = keyOf(a);
    card.dataset.key = key;
    const head = el('div', 'askhead');
    head.append(el('span', 'kind', a.kind === 'plan' ? label('planLabel') : a.head || label('questionLabel')));
    if (a.since) head.append(el('span', 'since', a.since));
    if (outside) {
      if (a.slot) head.append(el('span', 'slot', a.slot));
      if (a.title) { const t = el('span', 'title', a.title); t.dir = 'auto'; head.append(t); }
    }
    card.append(head);
    if (a.context) { const c = el('div', 'md context'); c.innerHTML = Markdown.html(a.context); card.append(c); }
    for (const p of Array.isArray(a.paths) ? a.paths : []) card.append(Cards.plain(p));
    if (a.plan) { const c = el('div', 'md plantext'); c.innerHTML = Markdown.html(a.plan); card.append(c); }
    else if (Array.isArray(a.body) && a.body.length) card.append(bodyOf(a.body));

    const parts = Array.isArray(a.parts) ? a.parts : [];
    const choiceButtons = [];
    parts.forEach((p, i) => {
      const part = el('div', 'part' + (i ? ' later' : ''));
      const q = el('div', 'question', p.question);
      q.dir = 'auto';
      part.append(q);
      if (i) { part.append(el('div', 'note', label('laterPart'))); card.append(part); return; }
      if (p.multi) part.append(el('div', 'note', label('multiNote')));
      const choices = el('div', 'choices');
      for (const c of Array.isArray(p.choices) ? p.choices : []) {
        const b = button('choice', '', (e, btn) => {
          // A card drawn without its question's id (the screen could not be read) cannot
          // say which prompt it answers: it brings the terminal up instead.
          if (!a.expect) { if (a.tty) send('raiseTty', { tty: a.tty }); return; }
          send('answerAsk', { tty: a.tty, pick: c.n, expect: a.expect });
          btn.classList.add('sent');
          btn.querySelector('.n').textContent = label('sent');
        });
        const name = el('span', 'label', c.label);
        name.dir = 'auto';
        b.append(el('span', 'n', c.n), name);
        if (c.detail) { const detail = el('span', 'detail', c.detail); detail.dir = 'auto'; b.append(detail); }
        choices.append(b);
        choiceButtons.push(b);
      }
      part.append(choices);
      card.append(part);
    });
    if (!a.tty) return card;

    const first = parts[0] || {};
    if (a.windowless) {
      for (const b of choiceButtons) b.disabled = true;
      card.append(button('act', label('windowlessAnswer'), () => send('raiseTty', { tty: a.tty })));
    } else if (a.freeRow > 0 && !first.multi && a.expect) {
      const free = el('div', 'free');
      const box = el('textarea', '');
      box.rows = 2;
      box.placeholder = label('freePlaceholder');
      box.dir = 'auto';
      box.value = drafts.get(key) || '';
      box.addEventListener('input', () => { if (box.value) drafts.set(key, box.value); else drafts.delete(key); });
      const go = button('act primary', label('freeSend'), () => {
        const text = box.value.trim();
        if (!text) { box.focus(); return; }
        freeBusy = go;
        freeKey = key;
        go.disabled = true;
        go.textContent = label('freeSending');
        send('answerFree', { tty: a.tty, text, expect: a.expect });
      });
      box.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' && !e.shiftKey) { e.preventDefault(); go.click(); }
      });
      free.append(box, go);
      card.append(free);
    }
    card.append(button('link', label('openTerminal'), () => send('raiseTty', { tty: a.tty })));
    return card;
  }

  // The application's word on a free answer: written into the button that sent it.
  function freeDone(ok, why) {
    if (ok && freeKey !== null) drafts.delete(freeKey);
    freeKey = null;
    if (!freeBusy) return;
    freeBusy.textContent = (ok ? label('freeOk') : label('freeFail')) + (why ? ' — ' + why : '');
    freeBusy.disabled = false;
    freeBusy = null;
  }

  // Which card's answer box has the focus, to give it back after a repaint (null: none).
  function focusedKey() {
    const at = document.activeElement;
    const card = at && at.tagName === 'TEXTAREA' && at.closest ? at.closest('.askcard') : null;
    return card ? card.dataset.key : null;
  }

  function refocus(root, key) {
    if (key === null) return;
    const box = root.querySelector(`.askcard[data-key="${CSS.escape(key)}"] .free textarea`);
    if (box) { box.focus(); caretToEnd(box); }
  }

  return { card: askCard, firstQuestion: firstQuestionOf, freeDone, focusedKey, refocus };
})();
