// ---------- the crew: sub-agents of the open terminals ----------
//
// One row per sub-agent, newest first. What a running one is doing shows only while it
// runs; a finished one keeps its task and its time. A click opens the parent conversation.

const Crew = (() => {
  let sig = null;

  function row(a) {
    const running = a.state === 'run';
    const r = button('crewrow ' + (running ? 'run' : 'quiet'), '', () => send('open', { sid: String(a.sid || '') }));
    r.dataset.id = String(a.id || '');
    const lamp = el('span', 'lamp ' + (running ? 'run' : 'quiet'));
    const state = el('span', 'cstate', String(a.stateLabel || ''));
    const task = el('bdi', 'ctask', String(a.task || ''));
    const tail = el('span', 'ctail');
    if (running && a.doing) tail.append(el('span', 'cdoing', String(a.doing)));
    for (const [cls, v] of [['cctx', a.context], ['cmodel', a.model], ['ctime', running ? a.since : a.age]]) {
      if (v) tail.append(el('span', cls, String(v)));
    }
    const top = el('div', 'crewtop');
    top.append(lamp, state, task, tail);
    const line = el('div', 'crewline');
    line.append(el('span', 'ckind', String(a.kind || '')), el('bdi', 'cchat', String(a.chat || '')));
    const depth = Number(a.depth) || 0;
    if (depth > 1) line.append(el('span', 'cdepth', label('crewDepth').replace('{n}', String(depth))));
    line.append(el('span', 'cid', String(a.id || '')));
    r.append(top, line);
    if (running && a.say) r.append(el('div', 'csay', String(a.say)));
    return r;
  }

  function paint(d) {
    const view = $('crewview');
    const rows = Array.isArray(d.crew) ? d.crew : [];
    const running = rows.filter((a) => a.state === 'run').length;
    document.documentElement.style.setProperty('--crew-running', String(running));
    const s = JSON.stringify(rows.map((a) => [a.id, a.sid, a.state, a.stateLabel, a.task, a.doing, a.say,
      a.context, a.model, a.since, a.age, a.chat, a.kind, a.depth]));
    if (s === sig && view.childElementCount) return;
    sig = s;
    view.replaceChildren();
    const head = el('header', 'viewhead');
    head.append(el('h1', 'viewtitle', label('view_crew')),
      el('span', 'vcount run', label('crewRunning').replace('{n}', String(running))),
      el('span', 'vcount', label('crewRecent').replace('{n}', String(rows.length))));
    view.append(head);
    if (!rows.length) { view.append(el('div', 'empty', label('noCrew'))); return; }
    const list = el('div', 'crewlist');
    for (const a of rows) list.append(row(a));
    view.append(list);
  }

  return { paint };
})();
