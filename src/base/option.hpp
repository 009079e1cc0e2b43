// Named options (metrics, kernels, criteria, ...): what a caller's unknown
// text is reported against.  Matching is on the caller's lower-cased text;
// messages quote the text as passed.
#pragma once

#include <string>
#include <string_view>

namespace lumi {

struct OptionKind {
    const char* what;     // "distance metric"
    const char* choices;  // "'euclidean', 'manhattan', 'chebyshev'"
};

// "Unknown WHAT 'NAME'. Valid options: CHOICES"
inline std::string unknown_option_message(const OptionKind& kind, std::string_view name) {
    std::string msg = "Unknown ";
    msg += kind.what;
    msg += " '";
    msg += name;
    msg += "'. Valid options: ";
    msg += kind.choices;
    return msg;
}

}  // namespace lumi
