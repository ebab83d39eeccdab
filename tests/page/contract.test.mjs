// The page painted with the payloads the application's own builders make (written by the
// unit test PagePayloads), one per view: every view draws its rows without a script error,
// and every field the page reads of a row is in what the builders write. A field renamed
// on either side fails here.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { launch, withPage } from './support.mjs';

const binary = process.env.VELMO_BINARY;
const ELEMENT = { rack: 'rackview', chat: 'chatview', reader: 'chatview' };

// What each view's drawing reads of its rows, by where the rows sit in the payload.
const READS = {
  rack: [(p) => p.units, ['tty', 'sid', 'slot', 'state', 'stateLabel', 'title', 'say', 'path',
    'age', 'model', 'agents', 'chain', 'relay', 'relayAgents', 'relayShell', 'share', 'stamp',
    'context', 'full']],
  crew: [(p) => p.crew, ['id', 'sid', 'chat', 'kind', 'model', 'task', 'state', 'stateLabel',
    'age', 'since', 'doing', 'say', 'context', 'depth']],
  asks: [(p) => p.asks, ['id', 'urgency', 'title', 'asker', 'since', 'cost', 'body', 'answer',
    'answered']],
  works: [(p) => p.works.rows, ['path', 'name', 'kind', 'project', 'folder', 'age', 'size', 'span']],
  book: [(p) => p.book.flatMap((g) => g.rows), ['name', 'kind', 'hint']],
  chat: [(p) => p.chat.lines, ['role', 'text', 'when']],
  search: [(p) => p.search.hits, ['sid', 'title', 'when', 'hits']],
};

// What each view draws a row as.
const ROWS = {
  rack: '#rackview .headline', crew: '#crewview .crewline', asks: '#asksview .askentry',
  works: '#worksview .workgroup', book: '#bookview .bookrow',
};

let browser;
let folder;
const payloads = {};

before(async () => {
  assert.ok(binary, 'VELMO_BINARY names the built velmo; its folder holds velmo_tests');
  folder = mkdtempSync(join(tmpdir(), 'velmo-payloads-'));
  const run = spawnSync(join(dirname(binary), 'velmo_tests'), ['--gtest_filter=PagePayloads.*'], {
    env: Object.assign({}, process.env, { VELMO_PAYLOADS_DIR: folder }),
    encoding: 'utf8',
  });
  assert.equal(run.status, 0, `the builders' payloads could not be made:\n${run.stdout}${run.stderr}`);
  for (const view of ['rack', 'chat', 'reader', 'search', 'crew', 'book', 'works', 'asks', 'spend']) {
    payloads[view] = JSON.parse(readFileSync(join(folder, view + '.json'), 'utf8'));
  }
  browser = await launch();
});
after(async () => {
  await browser?.close();
  if (folder) rmSync(folder, { recursive: true, force: true });
});

test('every field the page reads of a row is one the builders write', () => {
  for (const [view, [rowsOf, fields]] of Object.entries(READS)) {
    const rows = rowsOf(payloads[view]);
    assert.ok(Array.isArray(rows) && rows.length > 0, `${view}: the builders made no rows`);
    for (const row of rows) {
      for (const field of fields) assert.ok(Object.hasOwn(row, field), `${view} row lacks "${field}": ${JSON.stringify(row)}`);
    }
  }
  // A question is read through its parts, whichever way it was found.
  const asked = payloads.rack.units.filter((u) => u.ask);
  assert.ok(asked.length >= 3, 'the rack holds the transcript, plan and screen questions');
  for (const u of asked) {
    assert.ok(Array.isArray(u.ask.parts) && u.ask.parts.length > 0, JSON.stringify(u.ask));
    for (const part of u.ask.parts) {
      for (const field of ['question', 'header', 'multi', 'choices']) assert.ok(Object.hasOwn(part, field), field);
    }
  }
});

for (const view of ['rack', 'chat', 'reader', 'search', 'crew', 'book', 'works', 'asks', 'spend']) {
  test(`the ${view} view paints the builders' payload`, async () => {
    await withPage(browser, {}, async ({ page, paint, sent }) => {
      await paint(payloads[view]);
      const faults = (await sent()).filter((m) => m.act === 'pageError');
      assert.deepEqual(faults, [], 'the paint failed');
      const shown = await page.evaluate(() => ({
        mode: document.body.dataset.mode,
        on: [...document.querySelectorAll('.view.on')].map((v) => v.id),
      }));
      assert.equal(shown.mode, view);
      assert.deepEqual(shown.on, [ELEMENT[view] || view + 'view']);
      const text = await page.locator('#' + shown.on[0]).innerText();
      assert.ok(text.trim().length > 0, `the ${view} view drew nothing`);
      if (ROWS[view]) {
        const rows = await page.locator(ROWS[view]).count();
        assert.ok(rows > 0, `the ${view} view drew no rows (${ROWS[view]})`);
      }
    });
  });
}

// The rack draws what each question asks, whichever way it was found.
test('the rack shows the question of every asking row', async () => {
  await withPage(browser, {}, async ({ page, paint }) => {
    await paint(payloads.rack);
    const said = await page.locator('#rackview .say.q').allInnerTexts();
    const asked = payloads.rack.units.filter((u) => u.ask).map((u) => u.ask.parts[0].question);
    for (const q of asked) assert.ok(said.includes(q), `"${q}" is not shown; shown: ${JSON.stringify(said)}`);
  });
});
