// The bridge of the window, rebuilt over one WebSocket for a page shown in a browser
// (`velmo --serve`), so the page cannot tell the two apart. Placed first in the served
// page's <head>, with the connection's token filled in for __TOKEN__.
//  - page → application: `window.webkit.messageHandlers.velmo.postMessage(obj)` sends
//    JSON.stringify(obj) ({"act": …, …}); messages posted before the socket opens wait.
//  - application → page: {"id": n, "call": "paint", "args": [payload]} calls the function
//    of that name that the page offers (its registry `window.velmoCalls`, or the alerts
//    below) with the arguments; the shim answers {"reply": n, "value": result} or
//    {"reply": n, "error": text}. A promise is awaited before answering.
//  - alerts: the application calls `velmoAlert({title, text, buttons, tag})`, a modal
//    drawn here; its answer is the index of the button pressed. `velmoAlertDismiss(tag, i)`
//    takes the modals with that tag down as if their button i was pressed.
// The socket opens after the page's load event; each connection is a page load for the
// application. A dropped socket is retried; one replaced by a newer tab is not.
(function () {
  "use strict";
  var token = "__TOKEN__";
  // The page draws the application's menus itself only here: the window has its own.
  window.velmoBrowser = true;
  var he = window.velmoLang === "he";
  var socket = null, outbox = [], delay = 500, banner = null;

  function post(obj) {
    var text;
    try { text = JSON.stringify(obj); } catch (e) { return; }
    if (socket && socket.readyState === 1) socket.send(text); else outbox.push(text);
  }
  window.webkit = window.webkit || {};
  window.webkit.messageHandlers = window.webkit.messageHandlers || {};
  window.webkit.messageHandlers.velmo = { postMessage: post };

  function answer(id, value, error) {
    if (error !== undefined) { post({ reply: id, error: String(error) }); return; }
    try { JSON.stringify(value); } catch (e) { value = null; }
    post({ reply: id, value: value === undefined ? null : value });
  }

  // Names are looked up, never evaluated: the page's policy forbids eval, and the
  // application reaches only what the page offers it.
  function lookup(name) {
    var has = Object.prototype.hasOwnProperty, calls = window.velmoCalls;
    var f = calls && has.call(calls, name) ? calls[name]
      : name === "velmoAlert" || name === "velmoAlertDismiss" ? window[name] : null;
    return typeof f === "function" ? f : null;
  }

  function run(msg) {
    var fn = lookup(msg.call);
    if (!fn) { answer(msg.id, null, "ReferenceError: Can't find variable: " + msg.call); return; }
    var result;
    try { result = fn.apply(window, Array.isArray(msg.args) ? msg.args : []); }
    catch (e) { answer(msg.id, null, (e && e.name ? e.name + ": " : "") + (e && e.message || e)); return; }
    if (result && typeof result.then === "function")
      result.then(function (v) { answer(msg.id, v); }, function (e) { answer(msg.id, null, e); });
    else answer(msg.id, result);
  }

  function showBanner(text) {
    if (!text) { if (banner) { banner.remove(); banner = null; } return; }
    if (!banner) {
      banner = document.createElement("div");
      banner.id = "velmo-offline";
      banner.setAttribute("dir", "auto");
      banner.style.cssText = "position:fixed;left:0;right:0;bottom:0;z-index:2147483646;" +
        "padding:6px 12px;background:#5a1d1d;color:#fff;font:13px system-ui,sans-serif;text-align:center";
      document.body.appendChild(banner);
    }
    banner.textContent = text;
  }

  function connect() {
    var scheme = location.protocol === "https:" ? "wss://" : "ws://";
    socket = new WebSocket(scheme + location.host + "/bridge?token=" + encodeURIComponent(token));
    socket.onopen = function () {
      delay = 500;
      showBanner("");
      var waiting = outbox; outbox = [];
      waiting.forEach(function (t) { socket.send(t); });
    };
    socket.onmessage = function (e) {
      var msg;
      try { msg = JSON.parse(e.data); } catch (x) { return; }
      if (msg && typeof msg.call === "string") run(msg);
    };
    socket.onclose = function (e) {
      socket = null;
      if (e.code === 4001) {
        showBanner(he ? "ולמו נפתח בלשונית אחרת" : "Velmo is open in another tab");
        return;
      }
      showBanner(he ? "אין חיבור לולמו — מנסה שוב…" : "Not connected to Velmo — trying again…");
      setTimeout(connect, delay);
      delay = Math.min(delay * 2, 5000);
    };
  }

  var openAlerts = [];
  window.velmoAlertDismiss = function (tag, index) {
    openAlerts.filter(function (a) { return a.tag === tag; })
      .forEach(function (a) { a.done(index); });
    return null;
  };

  window.velmoAlert = function (alert) {
    return new Promise(function (resolve) {
      var shade = document.createElement("div");
      shade.id = "velmo-alert";
      shade.setAttribute("role", "alertdialog");
      shade.setAttribute("aria-modal", "true");
      shade.style.cssText = "position:fixed;inset:0;z-index:2147483647;display:flex;" +
        "align-items:center;justify-content:center;background:rgba(0,0,0,.55)";
      var box = document.createElement("div");
      box.setAttribute("dir", "auto");
      box.style.cssText = "max-width:440px;padding:20px 22px;border-radius:10px;background:#1b1d21;" +
        "color:#e8e8e8;font:14px system-ui,sans-serif;box-shadow:0 10px 40px rgba(0,0,0,.6)";
      var title = document.createElement("div");
      title.className = "velmo-alert-title";
      title.style.cssText = "font-weight:600;font-size:15px;margin-bottom:8px";
      title.textContent = alert && alert.title || "";
      var text = document.createElement("div");
      text.className = "velmo-alert-text";
      text.style.cssText = "white-space:pre-wrap;margin-bottom:16px;color:#bdbdbd";
      text.textContent = alert && alert.text || "";
      var row = document.createElement("div");
      row.style.cssText = "display:flex;gap:8px;justify-content:flex-end";
      var buttons = alert && Array.isArray(alert.buttons) && alert.buttons.length ? alert.buttons : [he ? "אישור" : "OK"];
      var entry = { tag: alert && typeof alert.tag === "string" ? alert.tag : "", done: done };
      function done(i) {
        var at = openAlerts.indexOf(entry);
        if (at < 0) return;
        openAlerts.splice(at, 1);
        document.removeEventListener("keydown", keys, true);
        shade.remove();
        resolve(i);
      }
      function keys(e) {
        if (e.key === "Escape") { e.preventDefault(); e.stopPropagation(); done(buttons.length - 1); }
        else if (e.key === "Enter") { e.preventDefault(); e.stopPropagation(); done(0); }
      }
      buttons.forEach(function (label, i) {
        var b = document.createElement("button");
        b.className = "velmo-alert-button";
        b.textContent = String(label);
        b.style.cssText = "padding:6px 14px;border-radius:6px;border:1px solid #444;cursor:pointer;" +
          (i === 0 ? "background:#2f6fde;color:#fff" : "background:#2a2d33;color:#e8e8e8");
        b.onclick = function () { done(i); };
        row.appendChild(b);
      });
      box.appendChild(title); box.appendChild(text); box.appendChild(row);
      shade.appendChild(box);
      document.body.appendChild(shade);
      openAlerts.push(entry);
      document.addEventListener("keydown", keys, true);
      row.firstChild.focus();
    });
  };

  if (document.readyState === "complete") connect();
  else window.addEventListener("load", connect);
})();
