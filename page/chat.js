// ---------- chat view ----------
//
// One conversation: its head (title, state, tools), the hand-off strip, the sub-agents,
// the files it produced, then the log (chatlog.js), find (find.js), the composer
// (composer.js) and the document pane (document.js). The view is built once, the first
// time a conversation shows, and painted from then on.

const Chat = (() => {
  const MODELS = ['opus', 'sonnet', 'haiku'];
  let dom = null;             // the head's elements, once built
  let chat = null;            // the last chat payload
  let lastChatSid = '';
  let outsOpen = store.get('outsOpen') === '1';
  let outsSig = null;
  let crewSig = null;
  let relaySig = null;
  let shownMode = '';         // the view this one was last painted as (chat or reader)

  function build() {
    const view = $('chatview');
    view.replaceChildren();
    delete view.dataset.coming;
    const d = {};

    const head = el('div', 'chathead');
    d.slot = el('div', 'cslot');
    d.slot.dir = 'ltr';
    const titles = el('div', 'ctitles');
    const line1 = el('div', 'cline1');
    d.title = el('span', 'ctitle');
    d.title.dir = 'auto';
    d.title.contentEditable = 'true';
    d.title.spellcheck = false;
    d.title.title = label('rename');
    wireTitle(d.title);
    line1.append(d.title);
    const line2 = el('div', 'cline2');
    d.state = el('span', 'cstate');
    d.state.append(el('i', 'shape'), el('span', 'cstatelabel'));
    d.model = el('span', 'cmodel');
    d.ctx = el('span', 'cctx');
    d.ctx.title = label('ctxTip');
    line2.append(d.state, d.model, d.ctx);
    titles.append(line1, line2);

    const tools = el('div', 'ctools');
    d.fold = button('act fold', label('foldView'), () => Transcript.toggleFold());
    d.fold.title = label('foldTip');
    d.mine = button('act', label('mine'), () => Transcript.toMine());
    d.mine.title = label('mineTip');
    d.outs = button('act outs', '', () => {
      outsOpen = !outsOpen;
      store.set('outsOpen', outsOpen ? '1' : null);
      if (chat) paintOutputs(chat.outputs);
    });
    d.modelPick = el('select', 'modelpick');
    d.modelPick.title = label('modelTip');
    d.modelPick.append(new Option(label('model'), ''));
    for (const m of MODELS) d.modelPick.append(new Option(m, m));
    d.modelPick.addEventListener('change', () => {
      const m = d.modelPick.value;
      d.modelPick.value = '';
      if (m) Composer.sendText('/model ' + m);
    });
    d.raise = button('act primary raise', '', () => {
      if (!chat) return;
      if (chat.live) send('raise');
      else send('resume', { sid: chat.sid });
    });
    tools.append(d.fold, d.mine, d.outs, d.modelPick, d.raise);
    head.append(d.slot, titles, tools);

    d.relay = el('div', 'crelay');
    d.crew = el('div', 'crewstrip');
    d.outList = el('div', 'outlist');

    const main = el('div', 'chatmain');
    const logwrap = el('div', 'logwrap');
    logwrap.append(Find.build(), ...Transcript.build(), Composer.build());
    main.append(logwrap, Doc.build());
    view.append(head, d.relay, d.crew, d.outList, main);
    dom = d;
  }

  function wireTitle(title) {
    const finish = () => {
      if (!chat) return;
      const name = title.textContent.replace(/\s+/g, ' ').trim();
      if (name && name !== chat.title) send('rename', { sid: chat.sid, name, real: true });
      else title.textContent = chat.title || '';
    };
    title.addEventListener('keydown', (e) => {
      e.stopPropagation();
      if (e.key === 'Enter' || e.key === 'Escape') { e.preventDefault(); title.blur(); }
    });
    title.addEventListener('blur', finish);
    title.addEventListener('paste', (e) => {
      e.preventDefault();
      const text = (e.clipboardData && e.clipboardData.getData('text/plain')) || '';
      document.execCommand('insertText', false, text.replace(/\s+/g, ' '));
    });
  }

  // `mode` is "chat", or "reader" when only the document pane shows.
  function paint(d, mode) {
    if (!dom) build();
    const entering = shownMode !== mode;
    shownMode = mode;
    const c = d.chat || null;
    if (c && mode === 'chat') {
      if (c.sid !== lastChatSid) reset(c.sid);
      chat = c;
      Composer.setHistory(c.history);
      paintHead(c);
      paintCrew(Array.isArray(c.crew) ? c.crew : []);
      paintOutputs(Array.isArray(c.outputs) ? c.outputs : []);
      Composer.paintTarget(c);
      Find.adopt(d.find, c);
      // A find still looking for its place hears "ready" even when the lines did not change.
      if (!Transcript.paint(c) && Find.seeking()) Find.afterRebuild(c);
      // A view taken off the screen loses its scroll position: put the reader back.
      if (entering) Transcript.keepPlace();
    }
    Doc.paint(d.doc || null);
  }

  // Another conversation opens: every part forgets the one before, keeping its draft.
  function reset(sid) {
    Composer.switchDraft(lastChatSid, sid);
    lastChatSid = sid;
    Transcript.reset();
    Cards.reset();
    outsSig = null;
    crewSig = null;
    relaySig = null;
    Find.reset();
  }

  function markFold(on) {
    dom.fold.classList.toggle('on', on);
    dom.fold.setAttribute('aria-pressed', on ? 'true' : 'false');
  }

  function paintHead(c) {
    const d = dom;
    d.slot.replaceChildren(...Rack.slotView(c.slot).childNodes);
    if (document.activeElement !== d.title) d.title.textContent = c.title || '';
    const asking = c.ask && Array.isArray(c.ask.parts) && c.ask.parts.length > 0;
    const state = asking ? 'ask' : ['run', 'wait', 'closed'].includes(c.state) ? c.state : 'quiet';
    d.state.className = 'cstate ' + state;
    d.state.querySelector('.cstatelabel').textContent = c.stateLabel || '';
    d.model.textContent = c.model || '';
    d.model.hidden = !c.model;
    d.ctx.textContent = c.context || '';
    d.ctx.hidden = !c.context;
    d.ctx.className = 'cctx' + (c.ctxLevel === 'ask' ? ' heavy' : c.ctxLevel === 'warn' ? ' warm' : '');
    markFold(Transcript.folded());
    d.modelPick.hidden = !c.live;
    d.raise.textContent = c.live ? label('toTerminal') : label('resume');
    d.raise.title = c.live ? label('toTerminalTip') : label('resumeTip');

    const sig = [c.relay, c.relayAgents, c.relayShell, c.sid].join('|');
    if (sig !== relaySig) {
      relaySig = sig;
      d.relay.replaceChildren();
      if (c.relay === 'ready') {
        d.relay.append(button('act relaygo', label('relayReady'), (e, b) => {
          b.textContent = label('relayWaiting');
          b.disabled = true;
          send('relayGo', { sid: c.sid });
        }));
      } else if (c.relay === 'go') {
        d.relay.append(el('span', 'relaywait', label('relayWaiting')));
      }
      if (c.relay && c.relayAgents > 0) d.relay.append(el('span', 'relaynote', `${c.relayAgents}${label('relayAgents')}`));
      else if (c.relay && c.relayShell) d.relay.append(el('span', 'relaynote', label('relayShell')));
      d.relay.hidden = !d.relay.childNodes.length;
    }
  }

  function paintCrew(crew) {
    const d = dom;
    const sig = JSON.stringify(crew.map((a) => [a.id, a.task, a.state, a.stateLabel, a.doing]));
    if (sig === crewSig) return;
    crewSig = sig;
    d.crew.replaceChildren();
    d.crew.hidden = !crew.length;
    for (const a of crew) {
      const chip = button('crewchip ' + (a.state === 'run' ? 'run' : 'quiet'), '', () => send('agents'));
      const task = el('span', 'ctask', a.task);
      task.dir = 'auto';
      chip.append(el('i', 'dot'), task);
      if (a.doing) { const doing = el('span', 'cdoing', a.doing); doing.dir = 'auto'; chip.append(doing); }
      chip.append(el('span', 'cstate', a.stateLabel));
      d.crew.append(chip);
    }
  }

  function paintOutputs(list) {
    const d = dom;
    d.outs.hidden = !list.length;
    d.outs.replaceChildren(el('span', 'caret', outsOpen ? '▾' : '▸'), el('span', '', label('outputs')), el('b', 'count', String(list.length)));
    d.outs.setAttribute('aria-expanded', outsOpen ? 'true' : 'false');
    d.outList.hidden = !(outsOpen && list.length);
    const sig = list.map((o) => `${o.path}\u0001${o.size}`).join('\u0002');
    if (sig === outsSig || Cards.editingCard()) return;
    outsSig = sig;
    d.outList.replaceChildren();
    list.forEach((o, i) => {
      const meta = [`#${o.n || i + 1}`, o.kind, o.when, sizeText(o.size)].filter((x) => x && x !== '#');
      d.outList.append(Cards.chat(o.path, meta));
    });
  }

  return {
    paint,
    markFold,
    // The open conversation's last payload; null before one showed.
    payload: () => chat,
  };
})();
