#include "spend/rates.h"

#include "base/lang.h"
#include "base/text.h"

namespace Spend {

Rate rate(const std::string& model) {
  std::string m = Text::lower(model);
  auto has = [&](const char* s) { return Text::contains(m, s); };
  if (has("fable") || has("mythos")) return {10, 50};
  if (has("opus")) return {5, 25};
  if (has("sonnet")) return has("4-6") ? Rate{3, 15} : Rate{2, 10};
  if (has("haiku")) return {1, 5};
  return {5, 25};
}

CostParts costParts(const std::string& model, const Counters& c) {
  Rate r = rate(model);
  CostParts p;
  p.input = r.input * static_cast<double>(c.input) / 1e6;
  p.write = (r.input * 1.25 * static_cast<double>(c.write5) +
             r.input * 2.0 * static_cast<double>(c.write1h)) /
            1e6;
  p.read = r.input * 0.1 * static_cast<double>(c.read) / 1e6;
  p.output = r.output * static_cast<double>(c.output) / 1e6;
  return p;
}

double cost(const std::string& model, const Counters& c) {
  return costParts(model, c).sum();
}

double cost(const ModelMap& models) {
  double sum = 0;
  for (const auto& [model, c] : models) sum += cost(model, c);
  return sum;
}

std::string hebrewModel(const std::string& model) {
  std::string m = Text::lower(model);
  if (Text::contains(m, "fable")) return Lang::pick("Fable", "פייבל");
  if (Text::contains(m, "mythos")) return Lang::pick("Mythos", "מיתוס");
  if (Text::contains(m, "opus")) return Lang::pick("Opus", "אופוס");
  if (Text::contains(m, "sonnet")) return Lang::pick("Sonnet", "סונט");
  if (Text::contains(m, "haiku")) return Lang::pick("Haiku", "הייקו");
  return model;
}

std::string projectName(const std::string& folder) {
  auto pieces = Text::split(folder, '-');
  if (pieces.size() < 3) return Lang::pick("home", "בית");
  return pieces.back();
}

}  // namespace Spend
