#include "spend/store.h"

#include <simdjson.h>

#include <cstdio>
#include <cstdlib>

#include "base/paths.h"
#include "base/text.h"

namespace Spend {

std::string storeDir() {
  return Paths::agent("velmo-spend");
}
std::string storePath() {
  return storeDir() + "/spend.json";
}
std::string idsPath(uint64_t generation) {
  return storeDir() + "/ids-" + std::to_string(generation) + ".bin";
}
std::string legacyIdsPath() {
  return storeDir() + "/ids.bin";
}

namespace {

// A folder's name need not be UTF-8, and one bad byte written as it is would make the whole
// store unreadable at the next start; such a text is written repaired.
void quoted(std::string& out, std::string_view raw) {
  std::string repaired;
  std::string_view s = raw;
  if (!simdjson::validate_utf8(raw.data(), raw.size())) {
    repaired = Text::validUtf8(raw);
    s = repaired;
  }
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void number(std::string& out, double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  out += buf;
}

void counters(std::string& out, const Counters& c) {
  out += "{\"input\":" + std::to_string(c.input) + ",\"output\":" + std::to_string(c.output) +
         ",\"write5\":" + std::to_string(c.write5) + ",\"write1h\":" + std::to_string(c.write1h) +
         ",\"read\":" + std::to_string(c.read) + ",\"calls\":" + std::to_string(c.calls) + "}";
}

void models(std::string& out, const ModelMap& m) {
  out += '{';
  bool first = true;
  for (const auto& [name, c] : m) {
    if (!first) out += ',';
    first = false;
    quoted(out, name);
    out += ':';
    counters(out, c);
  }
  out += '}';
}

void keyed(std::string& out, const KeyedMap& m) {
  out += '{';
  bool first = true;
  for (const auto& [key, inner] : m) {
    if (!first) out += ',';
    first = false;
    quoted(out, key);
    out += ':';
    models(out, inner);
  }
  out += '}';
}

void mark(std::string& out, const Mark& m) {
  out +=
      "{\"pos\":" + std::to_string(m.pos) + ",\"size\":" + std::to_string(m.size) + ",\"lastMsg\":";
  quoted(out, m.lastMsg);
  out += ",\"sid\":";
  quoted(out, m.sid);
  out += ",\"recent\":[";
  for (size_t i = 0; i < m.recent.size(); ++i) {
    const Recent& r = m.recent[i];
    if (i) out += ',';
    char id[24];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(r.id));
    out += "{\"id\":\"";
    out += id;
    out += '"';
    out += ",\"model\":";
    quoted(out, r.model);
    out += ",\"at\":";
    number(out, r.at);
    out += ",\"counted\":";
    counters(out, r.counted);
    out += ",\"foreign\":";
    out += r.foreign ? "true" : "false";
    out += '}';
  }
  out += "],\"models\":";
  models(out, m.models);
  out += ",\"daily\":";
  keyed(out, m.daily);
  out += ",\"hours\":";
  keyed(out, m.hours);
  out += '}';
}

using simdjson::SUCCESS;
namespace dom = simdjson::dom;

int64_t integer(dom::element e) {
  int64_t v = 0;
  if (e.get_int64().get(v) == SUCCESS) return v;
  double d = 0;
  if (e.get_double().get(d) == SUCCESS) return static_cast<int64_t>(d);
  return 0;
}

double real(dom::element e) {
  double d = 0;
  if (e.get_double().get(d) == SUCCESS) return d;
  return static_cast<double>(integer(e));
}

std::string text(dom::element e) {
  std::string_view s;
  if (e.get_string().get(s) == SUCCESS) return std::string(s);
  return {};
}

bool readCounters(dom::element e, Counters& c) {
  dom::object o;
  if (e.get_object().get(o) != SUCCESS) return false;
  for (auto [key, value] : o) {
    if (key == "input")
      c.input = integer(value);
    else if (key == "output")
      c.output = integer(value);
    else if (key == "write5")
      c.write5 = integer(value);
    else if (key == "write1h")
      c.write1h = integer(value);
    else if (key == "read")
      c.read = integer(value);
    else if (key == "calls")
      c.calls = integer(value);
  }
  return true;
}

bool readModels(dom::element e, ModelMap& m) {
  dom::object o;
  if (e.get_object().get(o) != SUCCESS) return false;
  for (auto [key, value] : o)
    if (!readCounters(value, m[std::string(key)])) return false;
  return true;
}

bool readKeyed(dom::element e, KeyedMap& m) {
  dom::object o;
  if (e.get_object().get(o) != SUCCESS) return false;
  for (auto [key, value] : o)
    if (!readModels(value, m[std::string(key)])) return false;
  return true;
}

bool readMark(dom::element e, Mark& m) {
  dom::object o;
  if (e.get_object().get(o) != SUCCESS) return false;
  for (auto [key, value] : o) {
    if (key == "pos")
      m.pos = integer(value);
    else if (key == "size")
      m.size = integer(value);
    else if (key == "lastMsg")
      m.lastMsg = text(value);
    else if (key == "sid")
      m.sid = text(value);
    else if (key == "models") {
      if (!readModels(value, m.models)) return false;
    } else if (key == "daily") {
      if (!readKeyed(value, m.daily)) return false;
    } else if (key == "hours") {
      if (!readKeyed(value, m.hours)) return false;
    } else if (key == "recent") {
      dom::array list;
      if (value.get_array().get(list) != SUCCESS) return false;
      for (dom::element item : list) {
        Recent r;
        dom::object ro;
        if (item.get_object().get(ro) != SUCCESS) return false;
        for (auto [rk, rv] : ro) {
          if (rk == "id")
            r.id = std::strtoull(text(rv).c_str(), nullptr, 16);
          else if (rk == "model")
            r.model = text(rv);
          else if (rk == "at")
            r.at = real(rv);
          else if (rk == "counted") {
            if (!readCounters(rv, r.counted)) return false;
          } else if (rk == "foreign") {
            bool b = false;
            if (rv.get_bool().get(b) == SUCCESS) r.foreign = b;
          }
        }
        m.recent.push_back(std::move(r));
      }
    }
  }
  return true;
}

bool readSession(dom::element e, SessionSpend& s) {
  dom::object o;
  if (e.get_object().get(o) != SUCCESS) return false;
  for (auto [key, value] : o) {
    if (key == "project")
      s.project = text(value);
    else if (key == "models") {
      if (!readModels(value, s.models)) return false;
    } else if (key == "daily") {
      if (!readKeyed(value, s.daily)) return false;
    } else if (key == "last")
      s.last = real(value);
  }
  return true;
}

}  // namespace

std::string encodeStore(const Store& store) {
  std::string out;
  out += "{\"marks\":{";
  bool first = true;
  for (const auto& [key, m] : store.marks) {
    if (!first) out += ',';
    first = false;
    out += '\n';
    quoted(out, key);
    out += ':';
    mark(out, m);
  }
  out += "},\n\"sessions\":{";
  first = true;
  for (const auto& [sid, s] : store.sessions) {
    if (!first) out += ',';
    first = false;
    out += '\n';
    quoted(out, sid);
    out += ":{\"project\":";
    quoted(out, s.project);
    out += ",\"models\":";
    models(out, s.models);
    out += ",\"daily\":";
    keyed(out, s.daily);
    out += ",\"last\":";
    number(out, s.last);
    out += '}';
  }
  out += "},\n\"hours\":";
  keyed(out, store.hours);
  out += ",\n\"idsGeneration\":" + std::to_string(store.idsGeneration) + "}\n";
  return out;
}

std::optional<Store> decodeStore(std::string_view raw) {
  // A store written before names were repaired may hold a bad byte; the parser refuses the
  // whole text for one, so it is read repaired rather than counted all over again.
  std::string repaired;
  std::string_view text = raw;
  if (!simdjson::validate_utf8(raw.data(), raw.size())) {
    repaired = Text::validUtf8(raw);
    text = repaired;
  }
  dom::parser parser;
  dom::element root;
  if (parser.parse(text.data(), text.size(), true).get(root) != SUCCESS) return std::nullopt;
  dom::object o;
  if (root.get_object().get(o) != SUCCESS) return std::nullopt;
  Store store;
  for (auto [key, value] : o) {
    if (key == "marks") {
      dom::object marks;
      if (value.get_object().get(marks) != SUCCESS) return std::nullopt;
      for (auto [k, v] : marks)
        if (!readMark(v, store.marks[std::string(k)])) return std::nullopt;
    } else if (key == "sessions") {
      dom::object sessions;
      if (value.get_object().get(sessions) != SUCCESS) return std::nullopt;
      for (auto [k, v] : sessions)
        if (!readSession(v, store.sessions[std::string(k)])) return std::nullopt;
    } else if (key == "hours") {
      if (!readKeyed(value, store.hours)) return std::nullopt;
    } else if (key == "idsGeneration") {
      // Any 64-bit value: read it whole, never through a double.
      uint64_t g = 0;
      if (value.get_uint64().get(g) != SUCCESS) return std::nullopt;
      store.idsGeneration = g;
    }
  }
  return store;
}

}  // namespace Spend
