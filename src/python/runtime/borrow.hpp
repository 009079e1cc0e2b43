// Per-object borrow flags.  Readers take a SharedBorrow, mutators an
// ExclusiveBorrow; a conflict raises RuntimeError instead of letting Python
// code (a __float__ or __index__ run mid-operation) touch data in use.
#pragma once

#include "base/messages.hpp"
#include "python/runtime/errors.hpp"

namespace lumipy {

struct BorrowFlag {
    // 0: free; > 0: number of shared borrows; -1: exclusively borrowed.
    Py_ssize_t state = 0;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& f) : f_(f) {
        if (f_.state < 0) raise(PyExc_RuntimeError, lumi::msg::kMutablyBorrowed);
        ++f_.state;
    }
    ~SharedBorrow() { --f_.state; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& f_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& f) : f_(f) {
        if (f_.state != 0) raise(PyExc_RuntimeError, lumi::msg::kBorrowed);
        f_.state = -1;
    }
    ~ExclusiveBorrow() { f_.state = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& f_;
};

}  // namespace lumipy
