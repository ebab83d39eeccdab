#include "app/scan.h"

#include "app/rack.h"
#include "base/clock.h"
#include "base/timefmt.h"

ScanResult buildScan(const AppSources& src, const ScanSnapshot& snap) {
  ScanResult r;
  Clock::Time t0 = Clock::now();
  bool conversation = !snap.openSID.empty();
  if (conversation && src.chat) r.chat = src.chat(snap.openSID, snap.pendingTexts, snap.chatWant);
  r.chatSeconds = Clock::now() - t0;
  r.lost = conversation && !r.chat;
  // Every scan keeps the account current for the rack's shares; the 30-second gate keeps
  // it cheap.
  if (src.refreshSpend) src.refreshSpend(false);
  auto call = [](const std::function<nlohmann::json()>& f) {
    return f ? f() : nlohmann::json::array();
  };
  // The rack is not built while a conversation is open; each view only while it is open.
  if ((!conversation || r.lost) && src.units) r.units = src.units();
  if (conversation && !r.lost && src.alerts) r.alerts = src.alerts(snap.openSID);
  auto build = [](const auto& f, auto& into) {
    if (f) into = f();
  };
  if (snap.views.has(View::crew)) build(src.agents, r.crew);
  if (snap.views.has(View::book)) build(src.book, r.book);
  if (snap.views.has(View::works)) build(src.works, r.works);
  if (snap.views.has(View::asks)) {
    build(src.asks, r.asks);
    r.live = call(src.liveAsks);
  }
  if (snap.views.has(View::spend)) r.spend = call(src.spend);
  if (src.menuState) r.menu = src.menuState();
  return r;
}

nlohmann::json paintPayload(const ScanResult& r, std::vector<std::string>& order,
                            const Overlays& views, const Conversation& conversation,
                            const SearchState& search, const DocumentPane& document) {
  nlohmann::json p = nlohmann::json::object();
  p["units"] =
      r.units.empty() ? nlohmann::json::array() : nlohmann::json(orderRack(order, r.units));
  p["clock"] = TimeText::hoursMinutes(Clock::now());
  // A view's payload goes only while the view is open and a scan built it; one opened
  // during the scan arrives with the follow-up scan. The view shown is decided from what
  // goes, so the page never shows a view without its payload.
  Overlays carried;
  auto carry = [&](View v, const char* key, const nlohmann::json& value) {
    if (!views.has(v) || value.is_null()) return;
    p[key] = value;
    carried.set(v, true);
  };
  auto carryRecord = [&](View v, const char* key, const auto& record) {
    if (record) carry(v, key, nlohmann::json(*record));
  };
  carryRecord(View::crew, "crew", r.crew);
  carryRecord(View::book, "book", r.book);
  carryRecord(View::works, "works", r.works);
  carryRecord(View::asks, "asks", r.asks);
  if (carried.has(View::asks)) p["live"] = r.live.is_null() ? nlohmann::json::array() : r.live;
  carry(View::spend, "spend", r.spend);
  if (!conversation.openSID.empty() && r.chat) {
    p["chat"] = *r.chat;
    carried.set(View::chat, true);
  }
  if (auto find = conversation.shownFind(); !find.is_null()) p["find"] = find;
  p["alerts"] = r.alerts.is_array() ? r.alerts : nlohmann::json::array();
  if (search.open) {
    p["search"] = search.payload();
    carried.set(View::search, true);
  }
  if (views.has(View::reader) && !document.path.empty()) {
    p["reader"] = true;
    carried.set(View::reader, true);
  }
  if (auto doc = document.payload(); !doc.is_null()) p["doc"] = doc;
  p["view"] = Views::name(Views::shown(carried));
  return p;
}
