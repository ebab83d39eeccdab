#pragma once
// List prices and display names of models, and the display name of a project folder.

#include <string>

#include "spend/records.h"

namespace Spend {

/// US dollars per million tokens.
struct Rate {
  double input = 5;
  double output = 25;
};

/// The rate of a model, found by substrings of its lower-cased name.
Rate rate(const std::string& model);
/// List-price cost in dollars of one model's counters.
double cost(const std::string& model, const Counters& c);
/// List-price cost in dollars of a map of models.
double cost(const ModelMap& models);

/// The parts of a model's cost: input, cache writes (both lifetimes), cache reads, output.
struct CostParts {
  double input = 0, write = 0, read = 0, output = 0;
  double sum() const { return input + write + read + output; }
};
CostParts costParts(const std::string& model, const Counters& c);

/// "Opus", "Sonnet", … in the interface language; other names unchanged.
std::string hebrewModel(const std::string& model);

/// The display name of a project folder ("-home-dana-shop" → "shop"; "home" when short).
std::string projectName(const std::string& folder);

}  // namespace Spend
