// Shortest round-trip float formatting on top of std::to_chars.
#include "array/format.hpp"

#include <charconv>
#include <cmath>

namespace lumi {

void append_float(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "inf" : "-inf";
        return;
    }
    if (x == 0.0) {
        out += std::signbit(x) ? "-0.0" : "0.0";
        return;
    }
    // Shortest scientific form "d[.ddd]e[+-]XX": split into digits and a
    // decimal exponent, then lay them out ourselves.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char* p = buf;
    const char* end = res.ptr;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[32];
    int nd = 0;
    while (p < end && *p != 'e') {
        if (*p != '.') digits[nd++] = *p;
        ++p;
    }
    // Exponent "e[+-]DD"; the buffer is not NUL-terminated.
    int exp10 = 0;
    bool exp_neg = false;
    for (const char* q = p + 1; q < end; ++q) {
        if (*q == '-') exp_neg = true;
        else if (*q >= '0' && *q <= '9') exp10 = exp10 * 10 + (*q - '0');
    }
    if (exp_neg) exp10 = -exp10;
    const double ax = std::fabs(x);
    if (ax < 1e-4 || ax >= 1e16) {
        out += digits[0];
        if (nd > 1) {
            out += '.';
            out.append(digits + 1, static_cast<std::size_t>(nd - 1));
        }
        out += 'e';
        out += std::to_string(exp10);
        return;
    }
    if (exp10 >= 0) {
        const int int_digits = exp10 + 1;
        for (int i = 0; i < int_digits; ++i) out += i < nd ? digits[i] : '0';
        out += '.';
        if (nd > int_digits) out.append(digits + int_digits, static_cast<std::size_t>(nd - int_digits));
        else out += '0';
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out.append(digits, static_cast<std::size_t>(nd));
    }
}

}  // namespace lumi
