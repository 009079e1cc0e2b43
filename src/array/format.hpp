// Text form of doubles: shortest round-trip digits, exponent form for
// 0 < |x| < 1e-4 and |x| >= 1e16 ("1e16", "1.5e-5"), plain form otherwise
// with at least one digit after the point ("1.0", "0.0001"); "-0.0", "NaN",
// "inf", "-inf".
#pragma once

#include <string>

namespace lumi {

void append_float(std::string& out, double x);

}  // namespace lumi
