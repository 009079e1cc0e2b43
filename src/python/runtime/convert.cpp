// Integer and sequence conversions.
#include "python/runtime/convert.hpp"

namespace lumipy {

std::uint64_t to_u64(PyObject* obj) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref idx = check(PyNumber_Index(obj));
        v = PyLong_AsUnsignedLongLong(idx.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrAlready{};
    return v;
}

std::int64_t to_i64(PyObject* obj) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrAlready{};
    return v;
}

std::vector<std::size_t> to_usize_vec(PyObject* obj) {
    require_sequence(obj);
    std::vector<std::size_t> out;
    out.reserve(reserve_hint(obj));
    for_each_item(obj, [&](PyObject* item) { out.push_back(static_cast<std::size_t>(to_u64(item))); });
    return out;
}

lumi::Buffer<double> to_f64_vec(PyObject* obj) {
    require_sequence(obj);
    std::size_t cap = reserve_hint(obj);
    auto out = lumi::Buffer<double>::uninit(cap);
    std::size_t n = 0;
    for_each_item(obj, [&](PyObject* item) {
        double v = to_f64(item);
        if (n == out.size()) out.grow(n < 8 ? 16 : n * 2);
        out[n++] = v;
    });
    // A list emptied by a conversion hook, or the tail of geometric growth:
    // give back what was reserved and not filled.
    out.shrink(n);
    return out;
}

Ref new_size_list(const std::vector<std::size_t>& v) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(v[i]);
        if (!item) throw PyErrAlready{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace lumipy
