// ---------- what the application calls ----------
//
// The page's one face to the application: every function the application (or a menu item)
// calls in the page. The window's host evaluates calls such as "paint({…})" by name, so each
// name is also set on the window; the browser's bridge, which may not evaluate, looks them
// up in window.velmoCalls.

const Velmo = Object.freeze({
  paint: Frame.paint,
  setCommands: Composer.setCommands,
  setAsset: Cards.setAsset,
  setFind: Views.setFind,
  freeDone: AskCard.freeDone,
  attached: Composer.attached,
  unsent: Composer.unsent,
  focusFind: () => Search.focus(),
  setRestorable: Restore.setRestorable,
  restoreDone: Restore.restoreDone,
  startCommand: Composer.startCommand,
  findStep: Find.step,
  editTopCard: Cards.editTopCard,
  toMine: Transcript.toMine,
  toggleFold: Transcript.toggleFold,
  saveAnything,
});

for (const [name, call] of Object.entries(Velmo)) window[name] = call;
window.velmoCalls = Velmo;

Menu.setup();
Frame.setup();
