// The page's files as written: the parts the lists join, and their size. No browser needed.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { Script } from 'node:vm';
import { root, pageJoined } from './support.mjs';

const dir = join(root, 'page');
const read = (name) => readFileSync(join(dir, name), 'utf8');

const listed = (list) => read(list).split('\n').map((l) => l.trim()).filter((l) => l && !l.startsWith('#'));

test('the part lists name every part once, and the joined script parses', () => {
  for (const [list, ext] of [['scripts.txt', '.js'], ['styles.txt', '.css']]) {
    const names = listed(list);
    assert.equal(new Set(names).size, names.length, `a part listed twice in ${list}`);
    const parts = readdirSync(dir).filter((f) => f.endsWith(ext)).sort();
    assert.deepEqual([...names].sort(), parts, `every part in ${list}, and only parts that exist`);
  }
  assert.doesNotThrow(() => new Script(pageJoined('scripts.txt'), { filename: 'page' }));
});

test('no file of the page runs past 700 lines', () => {
  const long = readdirSync(dir)
    .map((f) => [f, read(f).split('\n').length - 1])
    .filter(([, n]) => n > 700);
  assert.deepEqual(long, []);
});
