// Option arguments given as text (metric, kernel, criterion, ...): the str
// check, Unicode lower-casing and the "Unknown ..." error.
#pragma once

#include <optional>
#include <string_view>

#include "base/messages.hpp"
#include "python/runtime/ref.hpp"

namespace lumipy {

// A str argument (TypeError "'T' object cannot be cast as 'PyString'"
// otherwise, with the argument prefix); nullptr or None gives `fallback`.
PyObject* arg_text(const char* name, PyObject* obj, PyObject* fallback);

// Looks up an option by its lower-cased text (full Unicode lower-casing);
// an unknown text raises ValueError "Unknown WHAT 'TEXT'. Valid options: ..."
// quoting the text as passed.
std::optional<std::string_view> lowered_utf8(PyObject* text, Ref& keep);
[[noreturn]] void raise_unknown_option(const lumi::msg::OptionKind& kind, PyObject* text);

template <class T>
T parse_option(PyObject* text, std::optional<T> (*lookup)(std::string_view), const lumi::msg::OptionKind& kind) {
    Ref keep;
    if (auto lowered = lowered_utf8(text, keep)) {
        if (auto v = lookup(*lowered)) return *v;
    }
    raise_unknown_option(kind, text);
}

}  // namespace lumipy
