// The crew view against the real application (`velmo --serve`) and the real agent from the
// agent lab: a sub-agent the agent starts shows with its task, kind, model, id and parent,
// turns "done" once its meta file says finished, and a click opens the parent conversation,
// whose crew strip lists only running sub-agents. A sub-agent that starts another shows the
// nested one with its depth note, "running" while the model holds its answer back, then
// "done". The agent runs in accept-edits mode:
// auto mode would stop at its safety check, which the scripted API does not answer.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync, existsSync } from 'node:fs';
import { join } from 'node:path';
import { launch, openPage, startServe, screenshot, waitFor } from './support.mjs';
import { binary, skip, startAgent } from './agent-lab.mjs';

const until = (what, check, seconds = 30, seen = null) => waitFor(what, check, seconds, 250, seen);

let browser;
let lab;
before(async () => {
  if (skip) return;
  browser = await launch();
  lab = await startAgent({ prefix: 'velmo-crew-', args: ['--permission-mode', 'acceptEdits'] });
  lab.serve = await startServe({ binary, env: lab.env });
});

after(async () => {
  if (!lab) return;
  if (lab.serve) await lab.serve.stop();
  if (browser) await browser.close();
  lab.close();
});

// The sub-agent transcripts the agent wrote, as ids (file names without "agent-").
function subagentIds() {
  const ids = [];
  const projects = join(lab.home, '.claude', 'projects');
  if (!existsSync(projects)) return ids;
  for (const project of readdirSync(projects)) {
    for (const entry of readdirSync(join(projects, project))) {
      const folder = join(projects, project, entry, 'subagents');
      if (!existsSync(folder)) continue;
      for (const f of readdirSync(folder)) if (f.endsWith('.jsonl')) ids.push(f.replace(/\.jsonl$/, '').replaceAll('agent-', ''));
    }
  }
  return ids;
}

test('a sub-agent the agent starts shows in the crew, turns done, and opens its parent', { skip, timeout: 180000 }, async () => {
  const p = await openPage(browser, { url: lab.serve.url });
  try {
    const { page } = p;
    const row = '#rack .unit[data-sid]:not([data-sid=""])';
    await until('the agent on the rack', () => page.locator(row).count(), 30);
    const parent = await page.getAttribute(row, 'data-sid');

    lab.type('Please SUBAGENT for the notes');
    await until('the sub-agent transcript', () => subagentIds().length > 0, 60);
    await page.click('#crewbtn');
    await page.waitForSelector('#crewview .crewrow', { state: 'visible', timeout: 30000 });

    const seen = new Set();
    await until('the sub-agent to be done', async () => {
      for (const s of await page.$$eval('#crewview .crewrow .cstate', (n) => n.map((x) => x.textContent))) seen.add(s);
      return seen.has('done');
    }, 90);
    const shown = await page.$eval('#crewview .crewrow', (r) => ({
      id: r.dataset.id,
      task: r.querySelector('.ctask').textContent,
      kind: r.querySelector('.ckind').textContent,
      model: (r.querySelector('.cmodel') || {}).textContent || '',
      chat: r.querySelector('.cchat').textContent,
      doing: r.querySelectorAll('.cdoing').length,
    }));
    assert.ok(subagentIds().includes(shown.id), `${shown.id} in ${subagentIds()}`);
    assert.equal(shown.task, 'Summarise the notes');
    assert.ok(shown.kind.length > 0);
    assert.ok(shown.model.length > 0, 'the model label');
    assert.ok(shown.chat.length > 0, 'the parent chat');
    assert.equal(shown.doing, 0, 'a finished sub-agent shows no activity');
    await screenshot(page, 'crew-agent-en.png');

    // A click opens the parent conversation; its crew strip holds running ones only.
    await page.click('#crewview .crewrow');
    await page.waitForSelector('#chatview .chathead', { state: 'visible', timeout: 60000 });
    assert.equal(await page.evaluate(() => Chat.payload() && Chat.payload().sid), parent);
    assert.equal(await page.locator('#chatview .crewstrip .crewchip').count(), 0);
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});

// The rows of the crew view as the page shows them, by task.
const crewRows = (page) => page.$$eval('#crewview .crewrow', (rows) => rows.map((r) => ({
  id: r.dataset.id,
  task: r.querySelector('.ctask').textContent,
  state: r.querySelector('.cstate').textContent,
  depth: (r.querySelector('.cdepth') || {}).textContent || '',
})));

test('a sub-agent started by a sub-agent shows nested, running, then done', { skip, timeout: 180000 }, async () => {
  const p = await openPage(browser, { url: lab.serve.url });
  try {
    const { page } = p;
    const before = new Set(subagentIds());
    lab.type('Please NESTAGENT for the notes');
    await page.click('#crewbtn');
    // The scripted model holds the inner sub-agent's first answer back for some seconds.
    const seen = [];
    await until('the nested sub-agent to be done', async () => {
      const inner = (await crewRows(page)).find((r) => r.task === 'Read the notes file');
      if (inner && seen[seen.length - 1] !== inner.state) seen.push(inner.state);
      return inner && inner.state === 'done';
    }, 120);
    assert.deepEqual(seen.filter((s) => s === 'running' || s === 'done'), ['running', 'done'], seen.join(' → '));

    const rows = await crewRows(page);
    const outer = rows.find((r) => r.task === 'Plan the survey');
    const inner = rows.find((r) => r.task === 'Read the notes file');
    assert.ok(outer, rows.map((r) => r.task).join(', '));
    assert.equal(outer.depth, '', 'a sub-agent of the conversation itself has no depth note');
    assert.equal(inner.depth, 'nested, level 2');
    const started = subagentIds().filter((id) => !before.has(id));
    assert.deepEqual([outer.id, inner.id].sort(), started.sort());
    await until('the outer sub-agent to be done', async () =>
      (await crewRows(page)).find((r) => r.task === 'Plan the survey').state === 'done', 60);
    await screenshot(page, 'crew-agent-nested-en.png');
    assert.deepEqual(p.errors.map(String), []);
  } finally {
    await p.close();
  }
});
