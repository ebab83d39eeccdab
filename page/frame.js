// ---------- frame ----------
//
// The page's frame: which view shows, the top bar with its counts and the logo, the alerts
// of other terminals over a conversation. Every paint shows exactly one view, the one the
// payload names, and paints only that one.

const Frame = (() => {
  const VIEWS = {
    rack: 'rackview', chat: 'chatview', reader: 'chatview', search: 'searchview', crew: 'crewview',
    book: 'bookview', works: 'worksview', asks: 'asksview', spend: 'spendview',
  };
  let mode = 'rack';
  let paintedOnce = false;

  function paint(data) {
    try {
      paintAll(data || {});
    } catch (e) {
      send('pageError', { text: 'paint: ' + errorText(e) });
      return;
    }
    // One line in the application's log per page load tells that the page is alive and drew.
    if (!paintedOnce) {
      paintedOnce = true;
      const units = data && Array.isArray(data.units) ? data.units.length : 0;
      send('log', { text: `painted ${units} rows` });
    }
  }

  // The view the payload names; a payload that names none (or one this page does not know)
  // shows the view its keys make for, first match wins.
  function viewOf(d) {
    if (typeof d.view === 'string' && Object.hasOwn(VIEWS, d.view)) return d.view;
    return inferredView(d);
  }

  function inferredView(d) {
    if (d.reader && d.doc) return 'reader';
    if (d.spend) return 'spend';
    if (d.asks) return 'asks';
    if (d.works) return 'works';
    if (d.book) return 'book';
    if (d.crew) return 'crew';
    if (d.search) return 'search';
    if (d.chat) return 'chat';
    return 'rack';
  }

  function paintAll(d) {
    const next = viewOf(d);
    if (next !== 'rack' && mode === 'rack') Dial.clear();
    mode = next;
    for (const v of document.querySelectorAll('.view')) {
      v.classList.toggle('on', v.id === VIEWS[mode]);
    }
    $('chatview').classList.toggle('reader', mode === 'reader');
    document.body.dataset.mode = mode;
    $('backbtn').hidden = mode === 'rack';
    paintTop(d);
    paintAlerts(mode === 'chat' ? d.alerts || [] : []);
    if (mode === 'rack') Rack.paint(d);
    else if (mode === 'asks') Asks.paint(d);
    else if (mode === 'crew') Crew.paint(d);
    else if (mode === 'works') Works.paint(d);
    else if (mode === 'book') Book.paint(d);
    else if (mode === 'spend') Spend.paint(d);
    else if (mode === 'search') Search.paint(d);
    else if (mode === 'chat' || mode === 'reader') Chat.paint(d, mode);
    else Views.coming(mode, $(VIEWS[mode]));
    Menu.paint(d);
  }

  function paintTop(d) {
    const units = Array.isArray(d.units) ? d.units : [];
    const count = (f) => units.filter(f).length;
    const run = count((u) => u.state === 'run');
    const wait = count((u) => u.state === 'wait');
    const ask = count((u) => u.state === 'ask' && !u.muted);
    const readout = $('readout');
    readout.replaceChildren();
    const add = (n, key, cls) => {
      const item = el('span', 'count ' + cls + (n ? '' : ' zero'));
      item.title = label(key);
      item.append(el('b', '', String(n)), el('span', '', label(key)));
      readout.append(item);
    };
    add(units.length, 'total', 'all');
    add(run, 'running', 'run');
    add(wait, 'waiting', 'wait');
    add(ask, 'asking', 'ask');
    const c = d.chat || {};
    const crew = [].concat(Array.isArray(c.crew) ? c.crew : [], Array.isArray(d.crew) ? d.crew : []);
    paintLogo(run + units.reduce((n, u) => n + (Number(u.agents) || 0), 0) +
      (c.state === 'run' ? 1 : 0) + crew.filter((a) => a.state === 'run').length);
    $('clock').textContent = d.clock || '';
    paintViewer(d);
    const wake = $('wakeall');
    wake.querySelector('.count').textContent = wait ? String(wait) : '';
    wake.classList.toggle('off', !wait);
  }

  // A Velmo that only watches says who owns the terminals and whether that one answers on
  // the control socket; one that could not take them says why.
  function paintViewer(d) {
    const line = $('viewer');
    line.hidden = d.viewer !== true;
    if (line.hidden) return;
    const o = d.owner && typeof d.owner === 'object' ? d.owner : {};
    const fault = typeof o.fault === 'string' && o.fault !== '';
    line.classList.toggle('fault', fault);
    let text;
    if (fault) {
      text = label('viewerFault').replace('{why}', o.fault);
    } else if (o.takingOver === true) {
      text = label('viewerTaking');
    } else {
      const parts = [label('viewerNote')];
      if (Number(o.pid) > 0) {
        const since = new Date(o.started);
        parts.push(label('viewerOwner').replace('{pid}', String(o.pid))
          .replace('{host}', String(o.host || '?'))
          .replace('{since}', isNaN(since) ? String(o.started || '?') : since.toLocaleString()));
      }
      parts.push(label(o.answers === true ? 'viewerAnswers' : 'viewerSilent'));
      text = parts.join(' ');
    }
    if (line.textContent !== text) line.textContent = text;
  }

  // The logo's bars step while agents run, quicker the more run, and rest when none does.
  // A timer moves them a few times a second: a CSS animation, even a stepped one, keeps the
  // browser drawing a frame at every screen refresh.
  const stillMotion = matchMedia('(prefers-reduced-motion: reduce)');
  const LOGO_LEVELS = [1, 0.55, 0.8, 0.4];
  let logoRunning = 0;
  let logoTimer = null;
  let logoFrame = 0;
  function paintLogo(running) {
    logoRunning = running;
    const logo = $('logo');
    logo.classList.toggle('busy', running > 0);
    const still = stillMotion.matches || document.visibilityState === 'hidden';
    const every = running > 0 && !still ? Math.round(Math.max(800, 2400 - 200 * (running - 1)) / 4) : 0;
    if (String(every || '') === (logo.dataset.every || '')) return;
    clearInterval(logoTimer);
    logoTimer = null;
    const bars = [...logo.querySelectorAll('.mark i')];
    const step = () => bars.forEach((b, i) => { b.style.transform = every ? `scaleY(${LOGO_LEVELS[(logoFrame + i) % 4]})` : ''; });
    if (every) {
      logo.dataset.every = every;
      logoTimer = setInterval(() => { logoFrame = (logoFrame + 1) % 4; step(); }, every);
    } else {
      delete logo.dataset.every;
    }
    step();
  }

  function paintAlerts(rows) {
    const box = $('alerts');
    box.replaceChildren();
    box.hidden = !rows.length;
    for (const r of rows) {
      const chip = button('alert', '', () => { if (r.sid) send('open', { sid: r.sid }); });
      chip.append(el('span', 'slot', r.slot), el('span', 'head', r.head), el('span', 'q', r.question));
      box.append(chip);
    }
  }

  // Nothing moves while the page cannot be seen (a hidden window, a background tab), nor
  // while the person asked for reduced motion.
  function watchVisibility() {
    const sync = () => {
      document.documentElement.classList.toggle('asleep', document.visibilityState === 'hidden');
      paintLogo(logoRunning);
    };
    document.addEventListener('visibilitychange', sync);
    stillMotion.addEventListener('change', sync);
    sync();
  }

  function setup() {
    document.title = label('logo');
    watchVisibility();
    for (const n of document.querySelectorAll('[data-l]')) n.textContent = label(n.dataset.l);
    for (const n of document.querySelectorAll('[data-lt]')) n.title = label(n.dataset.lt);
    const logo = $('logo');
    logo.addEventListener('click', () => {
      logo.classList.remove('spin');
      void logo.offsetWidth;  // restarts the animation on a quick second click
      logo.classList.add('spin');
      setTimeout(() => logo.classList.remove('spin'), 420);
      send('refresh');
    });
    $('wakeall').addEventListener('click', () => send('wakeAll'));
    const fresh = $('newterm');
    fresh.addEventListener('click', () => {
      if (fresh.classList.contains('busy')) return;
      const span = fresh.querySelector('span');
      span.textContent = label('newTerminalWait');
      fresh.classList.add('busy');
      setTimeout(() => { span.textContent = label('newTerminal'); fresh.classList.remove('busy'); }, 2500);
      send('newTerminal');
    });
    Restore.wire();
    $('crewbtn').addEventListener('click', () => send('agents'));
    $('worksbtn').addEventListener('click', () => send('works'));
    $('bookbtn').addEventListener('click', () => send('book'));
    $('asksbtn').addEventListener('click', () => send('asks'));
    $('spendbtn').addEventListener('click', () => send('spend'));
    $('searchbtn').addEventListener('click', () => send('searchOpen'));
    $('backbtn').addEventListener('click', () => send('back'));
  }

  return {
    paint,
    setup,
    // The view on show: "rack", "chat", "reader", "asks", ….
    view: () => mode,
  };
})();
