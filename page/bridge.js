'use strict';
// The page: it paints what the application passes to paint(data) and asks for every action
// with send(act, extra). `L` (the labels in the interface language) is set by the document.
//
// The page's scripts are joined, in the order scripts.txt gives, into the one script of the
// document. Each part keeps its state inside its own object and shows the others only what
// they call; the few words every part speaks (send, el, label, …) are plain functions.

// ---------- bridge ----------

function send(act, extra) {
  const msg = Object.assign({ act }, extra || {});
  try {
    window.webkit.messageHandlers.velmo.postMessage(msg);
  } catch (e) {
    // No bridge (the page opened on its own): nothing to tell.
  }
}

function errorText(e) {
  if (!e) return '';
  return (e.message || String(e)) + (e.stack ? ' ' + e.stack : '');
}

window.addEventListener('error', (e) => {
  const stack = e.error && e.error.stack ? e.error.stack : '';
  send('pageError', { text: `${e.message} @${e.lineno}:${e.colno} ${stack}` });
});
window.addEventListener('unhandledrejection', (e) => {
  send('pageError', { text: 'unhandled rejection: ' + errorText(e.reason) });
});
// The page's policy stopped something: a part of the page that breaks it, or markup that got
// in where only text belongs. Either way it belongs in the log.
document.addEventListener('securitypolicyviolation', (e) => {
  send('pageError', { text: `blocked by the page's policy: ${e.effectiveDirective} ${e.blockedURI || ''}`.trim() });
});
