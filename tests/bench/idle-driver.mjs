// Holds the page open in chromium for the idle benchmark and posts the page's own messages
// to it on request, so each view can be opened and left alone.
//   node idle-driver.mjs URL
// Prints "ready" once the page has loaded; then each line read is a JSON message posted
// through the page's bridge, answered by "ok", or "?", answered by "view NAME" (the view
// the page shows). End of input closes the browser.
import { chromium } from 'playwright-core';
import { createInterface } from 'node:readline';

const url = process.argv[2];
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--mute-audio'],
});
const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
await page.goto(url);
console.log('ready');
for await (const line of createInterface({ input: process.stdin })) {
  if (!line.trim()) continue;
  if (line.trim() === '?') {
    console.log('view ' + await page.evaluate(() => document.body.dataset.mode || 'rack'));
    continue;
  }
  await page.evaluate((m) => window.webkit.messageHandlers.velmo.postMessage(m), JSON.parse(line));
  console.log('ok');
}
await browser.close();
