#include "spend/records.h"

#include <algorithm>

namespace Spend {

Counters& Counters::operator+=(const Counters& o) {
  input += o.input;
  output += o.output;
  write5 += o.write5;
  write1h += o.write1h;
  read += o.read;
  calls += o.calls;
  return *this;
}

Counters& Counters::operator-=(const Counters& o) {
  input -= o.input;
  output -= o.output;
  write5 -= o.write5;
  write1h -= o.write1h;
  read -= o.read;
  calls -= o.calls;
  return *this;
}

bool Counters::zero() const {
  return input == 0 && output == 0 && write5 == 0 && write1h == 0 && read == 0 && calls == 0;
}

Counters largest(const Counters& a, const Counters& b) {
  return {std::max(a.input, b.input),   std::max(a.output, b.output),
          std::max(a.write5, b.write5), std::max(a.write1h, b.write1h),
          std::max(a.read, b.read),     std::max(a.calls, b.calls)};
}

Counters total(const ModelMap& models) {
  Counters sum;
  for (const auto& [model, c] : models) sum += c;
  return sum;
}

}  // namespace Spend
