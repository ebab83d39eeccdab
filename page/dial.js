// ---------- digit dial ----------
//
// On the rack, digits typed outside a field pick a terminal by its slot: "007" and "7" are
// the same one. A number that only one row can still become opens at once; otherwise the
// dial waits a moment for another digit.

const Dial = (() => {
  const DIAL_WAIT = 900;
  const DIAL_MISS = 700;
  let dialBuf = '';     // the digits typed so far
  let dialTimer = null;

  function dialMatches() {
    const want = dialBuf.replace(/^0+/, '');
    const exact = [];
    const deeper = [];
    Rack.slots().forEach((s, i) => {
      // All zeros can only mean terminal 0; every other row stays reachable by more digits.
      if (!want) { (s.num === '0' && dialBuf ? exact : deeper).push(i); return; }
      if (s.num === want) exact.push(i);
      else if (s.num.length > want.length && s.num.startsWith(want)) deeper.push(i);
    });
    return { exact, deeper };
  }

  function dialKey(digit) {
    dialBuf += digit;
    dialEvaluate(true);
  }

  function dialEvaluate(mayOpen) {
    clearTimeout(dialTimer);
    dialTimer = null;
    if (!dialBuf) { dialClear(); return; }
    const { exact, deeper } = dialMatches();
    redrawDial();
    if (mayOpen && exact.length === 1 && !deeper.length) { dialOpen(exact[0]); return; }
    if (!exact.length && !deeper.length) {
      $('dial').classList.add('miss');
      dialTimer = setTimeout(dialClear, DIAL_MISS);
      return;
    }
    dialTimer = setTimeout(() => {
      const now = dialMatches();
      if (now.exact.length === 1) dialOpen(now.exact[0]);
      else dialClear();
    }, DIAL_WAIT);
  }

  function dialOpen(i) {
    const s = Rack.slots()[i];
    dialClear();
    if (s && s.sid) send('open', { sid: s.sid });
  }

  function dialEnter() {
    const { exact, deeper } = dialMatches();
    const first = exact.concat(deeper)[0];
    if (first === undefined) dialClear();
    else dialOpen(first);
  }

  function dialClear() {
    clearTimeout(dialTimer);
    dialTimer = null;
    dialBuf = '';
    redrawDial();
  }

  function redrawDial() {
    const dial = $('dial');
    const rows = Rack.rows();
    for (const r of rows) r.classList.remove('aim');
    if (!dialBuf) {
      dial.hidden = true;
      dial.classList.remove('miss');
      return;
    }
    const { exact, deeper } = dialMatches();
    const aimed = exact.concat(deeper);
    for (const i of aimed) if (rows[i]) rows[i].classList.add('aim');
    dial.hidden = false;
    dial.classList.toggle('miss', !aimed.length);
    dial.querySelector('.digits').textContent = dialBuf;
    const target = exact.length === 1 ? Rack.slots()[exact[0]].title : aimed.length ? '' : label('dialMiss');
    dial.querySelector('.target').textContent = target;
  }

  return {
    key: dialKey,
    enter: dialEnter,
    clear: dialClear,
    redraw: redrawDial,
    backspace() { dialBuf = dialBuf.slice(0, -1); dialEvaluate(false); },
    active: () => dialBuf !== '',
  };
})();
