// The page's files as written: the script parts the list joins, their size, and a style
// sheet whose colours all come from its palette. No browser needed.

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
    // The shim runs in the browser before the page and on its own: it is never joined in.
    const parts = readdirSync(dir).filter((f) => f.endsWith(ext) && f !== 'shim.js').sort();
    assert.deepEqual([...names].sort(), parts, `every part in ${list}, and only parts that exist`);
  }
  assert.doesNotThrow(() => new Script(pageJoined('scripts.txt'), { filename: 'page' }));
  assert.doesNotThrow(() => new Script(read('shim.js'), { filename: 'shim.js' }));
});

test('no file of the page runs past 700 lines', () => {
  const long = readdirSync(dir)
    .map((f) => [f, read(f).split('\n').length - 1])
    .filter(([, n]) => n > 700);
  assert.deepEqual(long, []);
});

test('every colour of the style sheet comes from the palette, and every name used is defined', () => {
  const css = pageJoined('styles.txt').replace(/\/\*[\s\S]*?\*\//g, '');
  const rootAt = css.indexOf(':root {');
  const rootEnd = css.indexOf('}', rootAt);
  assert.ok(rootAt >= 0 && rootEnd > rootAt, 'the palette is the :root block');
  const palette = css.slice(rootAt, rootEnd);
  const rest = css.slice(0, rootAt) + css.slice(rootEnd + 1);
  const literal = /#[0-9a-f]{3,8}\b|\b(?:rgba?|hsla?|hwb|lab|lch|oklab|oklch|color)\(/gi;
  assert.deepEqual(rest.match(literal) || [], [], 'colours written outside the palette');

  const defined = new Set([...palette.matchAll(/(--[\w-]+)\s*:/g)].map((m) => m[1]));
  const used = new Set([...css.matchAll(/var\((--[\w-]+)/g)].map((m) => m[1]));
  // Custom properties a rule sets itself (a direction, say) are not the palette's.
  const setInRules = new Set([...rest.matchAll(/(--[\w-]+)\s*:/g)].map((m) => m[1]));
  const unknown = [...used].filter((n) => !defined.has(n) && !setInRules.has(n));
  assert.deepEqual(unknown, [], 'a name used but never defined draws nothing');
});
