// The spatial classes (KDTree, BallTree, VPTree) and the spatial submodule.
//
// Each class wraps one built, immutable tree; instances come only from the
// static from_array.  The helpers below (option strings, query vectors,
// reusable per-thread scratch) are shared by every method of the classes.
#pragma once

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ref.hpp"
#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

namespace lumipy {

template <class Tree>
struct TreeObject {
    PyObject_HEAD
    Tree tree;
};

PyTypeObject& kd_tree_type();
PyTypeObject& ball_tree_type();
PyTypeObject& vp_tree_type();

// A str argument (TypeError "'T' object cannot be cast as 'PyString'"
// otherwise, with the argument prefix); nullptr or None gives `fallback`.
PyObject* arg_text(const char* name, PyObject* obj, PyObject* fallback);

// Looks up an option by its lower-cased text (full Unicode lower-casing);
// an unknown text raises ValueError "Unknown WHAT 'TEXT'. Valid options: ..."
// quoting the text as passed.
std::optional<std::string_view> lowered_utf8(PyObject* text, Ref& keep);
[[noreturn]] void raise_unknown_option(const lumi::OptionKind& kind, PyObject* text);

template <class T>
T parse_option(PyObject* text, std::optional<T> (*lookup)(std::string_view), const lumi::OptionKind& kind) {
    Ref keep;
    if (auto lowered = lowered_utf8(text, keep)) {
        if (auto v = lookup(*lowered)) return *v;
    }
    raise_unknown_option(kind, text);
}

// Fills `out` with a query vector: a number (one coordinate), an Array (all
// its values, row-major) or a sequence of numbers; anything else raises
// ValueError "query must be a scalar, list, or Array".
void to_query(PyObject* obj, std::vector<double>& out);

// Per-thread scratch taken for one call and handed back afterwards; a
// re-entrant call on the same thread (from a conversion hook or a finaliser)
// finds the slot empty and uses fresh storage, so calls never share it.
template <class T>
class Scratch {
public:
    Scratch() : value_(std::move(slot())) {}
    ~Scratch() {
        if (!too_big(value_)) slot() = std::move(value_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T& get() noexcept { return value_; }

private:
    static T& slot() {
        thread_local T s;
        return s;
    }
    template <class U>
    static bool too_big(const std::vector<U>& v) noexcept {
        return v.capacity() > (std::size_t{1} << 16);
    }
    static bool too_big(const lumi::KnnHeap& h) noexcept { return h.capacity() > (std::size_t{1} << 16); }
    T value_;
};

// A new list of Python ints.
Ref new_row_list(const std::size_t* rows, std::size_t n);

}  // namespace lumipy
