// The soak's reading of the API log: what counts as an answer, whose it is, and what the
// user said.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { appendFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Ledger, judge } from './ledger.mjs';

const tools = [{ name: 'AskUserQuestion' }, { name: 'Bash' }];
const line = (messages, withTools = tools) => JSON.stringify({ t: 1, path: '/v1/messages', body: { tools: withTools, messages } }) + '\n';
const asked = (id, input) => ({ role: 'assistant', content: [{ type: 'text', text: '…' }, { type: 'tool_use', id, name: 'AskUserQuestion', input }] });
const answered = (id, text, extra = {}) => ({ role: 'user', content: [{ type: 'tool_result', tool_use_id: id, content: [{ type: 'text', text }], ...extra }] });

function withLog(body) {
  const dir = mkdtempSync(join(tmpdir(), 'velmo-ledger-'));
  try { body(join(dir, 'api.log')); } finally { rmSync(dir, { recursive: true, force: true }); }
}

test('calls, their results and the user turns are read as the log grows, half lines later', () => {
  withLog((path) => {
    const ledger = new Ledger(path);
    ledger.read();  // no log yet
    const prompt = { role: 'user', content: [{ type: 'text', text: '<system-reminder>SOAK ASKME zzzz9</system-reminder>SOAK ASKME ab12' }] };
    const first = line([prompt, asked('t1', { questions: [{ question: 'Q ab12' }] })]);
    appendFileSync(path, first.slice(0, 40));
    ledger.read();
    assert.equal(ledger.uses.size, 0);
    appendFileSync(path, first.slice(40));
    ledger.read();
    assert.deepEqual([...ledger.userTexts], ['SOAK ASKME ab12']);
    assert.equal(ledger.heard('SOAK ASKME ab12'), true);
    assert.equal(ledger.heard('zzzz9'), false, 'a reminder is not the user\'s words');
    assert.deepEqual(ledger.callsFor('ab12').map((c) => [c.id, c.result]), [['t1', null]]);

    // The next request repeats the history and brings the result; the first result stays.
    appendFileSync(path, line([prompt, asked('t1', {}), answered('t1', '"Q ab12"="Green ab12"')]));
    appendFileSync(path, line([prompt, asked('t1', {}), answered('t1', 'changed later')]));
    ledger.read();
    assert.deepEqual(ledger.callsFor('ab12')[0].result, { text: '"Q ab12"="Green ab12"', isError: false });
    assert.deepEqual(ledger.callsFor('nope'), []);
  });
});

test('a plan file named after an earlier prompt does not make a call or an answer that prompt\'s', () => {
  withLog((path) => {
    const file = '/h/.claude/plans/soak-planme-ab12-quiet-fox.md';
    const exit = (id, nonce) => ({ role: 'assistant', content: [{ type: 'tool_use', id, name: 'ExitPlanMode', input: { plan: `# Plan ${nonce}`, planFilePath: file } }] });
    appendFileSync(path, line([exit('p1', 'ab12'), answered('p1', 'approved'), exit('p2', 'cd34'), answered('p2', `Saved to: ${file}\n# Plan cd34`)]));
    const ledger = new Ledger(path);
    ledger.read();
    assert.deepEqual(ledger.callsFor('ab12').map((c) => c.id), ['p1']);
    assert.deepEqual(ledger.callsFor('cd34').map((c) => c.id), ['p2']);
    assert.equal(judge(ledger.callsFor('cd34')[0].result, { approve: true, holds: 'cd34' }, ['ab12']), '');
  });
});

test('the note the agent sends beside a refusal is kept apart from what the user typed', () => {
  withLog((path) => {
    const note = { type: 'text', text: '[Request interrupted by user for tool use]\n' };
    appendFileSync(path, line([asked('r1', {}), { role: 'user', content: [
      { type: 'tool_result', tool_use_id: 'r1', is_error: true, content: "The user doesn't want to proceed" }, note,
      { type: 'text', text: 'SOAK TWOQ ef56' }] }]));
    // Without a refusal beside it, the same words are a turn of their own.
    appendFileSync(path, line([{ role: 'user', content: [note] }]));
    const ledger = new Ledger(path);
    ledger.read();
    assert.deepEqual([...ledger.notes], [['r1', '[Request interrupted by user for tool use]']]);
    assert.deepEqual([...ledger.userTexts], ['SOAK TWOQ ef56', '[Request interrupted by user for tool use]']);
  });
});

test('side requests without tools and lines that are not JSON are passed over', () => {
  withLog((path) => {
    appendFileSync(path, 'not json\n');
    appendFileSync(path, line([{ role: 'user', content: 'Give this a title: SOAK ASKME cd34' }], []));
    appendFileSync(path, line([{ role: 'user', content: 'typed by hand' }]));
    const ledger = new Ledger(path);
    ledger.read();
    assert.deepEqual([...ledger.userTexts], ['typed by hand']);
  });
});

test('an answer is judged by what it names', () => {
  const ask = { pairs: ['"Q ab12"="Green ab12"'] };
  assert.equal(judge({ text: 'User has answered your questions: "Q ab12"="Green ab12".', isError: false }, ask), '');
  assert.match(judge({ text: '"Q ab12"="Blue ab12"', isError: false }, ask), /lacks/);
  assert.match(judge({ text: '"Q ab12"="Green ab12" "Q cd34"="x"', isError: false }, ask, ['cd34']), /another prompt's nonce cd34/);
  assert.match(judge({ text: 'User declined', isError: true }, ask), /error/);
  assert.equal(judge(null, ask), 'no result');

  const run = { approve: true, holds: 'soak-ab12.txt' };
  assert.equal(judge({ text: 'soak-ab12.txt', isError: false }, run), '');
  assert.match(judge({ text: "The user doesn't want to proceed with this tool use.", isError: true }, run), /refused/);
  assert.match(judge({ text: '', isError: false }, run), /lacks/);

  const no = { approve: false };
  assert.equal(judge({ text: "The user doesn't want to proceed", isError: true }, no), '');
  assert.match(judge({ text: 'User has approved exiting plan mode.', isError: false }, no), /taken as approval/);
});

test('two commands of one reply come back in one turn, each result with its own call', () => {
  withLog((path) => {
    const two = { role: 'assistant', content: [
      { type: 'tool_use', id: 'c1', name: 'Bash', input: { command: 'touch soak-ab12-one.txt && ls soak-ab12-one.txt' } },
      { type: 'tool_use', id: 'c2', name: 'Bash', input: { command: 'touch soak-ab12-two.txt && ls soak-ab12-two.txt' } }] };
    appendFileSync(path, line([two, { role: 'user', content: [
      { type: 'tool_result', tool_use_id: 'c1', content: 'soak-ab12-one.txt' },
      { type: 'tool_result', tool_use_id: 'c2', content: "The user doesn't want to proceed with this tool use.", is_error: true }] }]));
    const ledger = new Ledger(path);
    ledger.read();
    const calls = ledger.callsFor('ab12');
    assert.deepEqual(calls.map((c) => c.id), ['c1', 'c2']);
    assert.equal(judge(calls[0].result, { approve: true, holds: 'soak-ab12-one.txt' }), '');
    // The second was refused: an approval meant for it did not arrive.
    assert.match(judge(calls[1].result, { approve: true, holds: 'soak-ab12-two.txt' }), /refused/);
  });
});

test('a text is found wherever the model heard it, and only there', () => {
  withLog((path) => {
    appendFileSync(path, line([asked('t1', {}), answered('t1', 'thanks stray-n0abcd'),
      { role: 'user', content: [{ type: 'text', text: 'hello stray-n0efgh' }] }]));
    appendFileSync(path, line([{ role: 'user', content: 'Give this a title: stray-n0ijkl' }], []));
    const ledger = new Ledger(path);
    ledger.read();
    assert.equal(ledger.mentions('stray-n0abcd'), 'the result of t1');
    assert.equal(ledger.mentions('stray-n0efgh'), 'a user turn');
    // A side request is not the conversation.
    assert.equal(ledger.mentions('stray-n0ijkl'), '');
  });
});
