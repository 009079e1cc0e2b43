// SmallVec<T, N>: a std::vector-like sequence of plain numbers that keeps up
// to N elements inside the object and moves to the heap only beyond that.
// Shapes and strides are almost always short, so an array's metadata costs
// no allocation.  The interface follows std::vector (the subset that makes
// sense for plain numbers), converts to std::vector and compares with it.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace lumi {

template <class T, std::size_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>, "SmallVec holds plain numbers");
    static_assert(N > 0);

public:
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = T&;
    using const_reference = const T&;
    using pointer = T*;
    using const_pointer = const T*;
    using iterator = T*;
    using const_iterator = const T*;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    SmallVec() noexcept = default;
    explicit SmallVec(size_type n) : SmallVec(n, T{}) {}
    SmallVec(size_type n, const T& value) {
        reserve(n);
        std::fill_n(ptr_, n, value);
        size_ = n;
    }
    template <class It, class = typename std::iterator_traits<It>::iterator_category>
    SmallVec(It first, It last) {
        assign(first, last);
    }
    SmallVec(std::initializer_list<T> init) { assign(init.begin(), init.end()); }
    explicit SmallVec(const std::vector<T>& v) { assign(v.begin(), v.end()); }

    SmallVec(const SmallVec& o) { assign(o.begin(), o.end()); }
    SmallVec(SmallVec&& o) noexcept { steal(o); }
    SmallVec& operator=(const SmallVec& o) {
        if (this != &o) assign(o.begin(), o.end());
        return *this;
    }
    SmallVec& operator=(SmallVec&& o) noexcept {
        if (this != &o) {
            release();
            steal(o);
        }
        return *this;
    }
    SmallVec& operator=(std::initializer_list<T> init) {
        assign(init.begin(), init.end());
        return *this;
    }
    ~SmallVec() { release(); }

    operator std::vector<T>() const { return std::vector<T>(begin(), end()); }

    template <class It, class = typename std::iterator_traits<It>::iterator_category>
    void assign(It first, It last) {
        if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                        typename std::iterator_traits<It>::iterator_category>) {
            const auto n = static_cast<size_type>(std::distance(first, last));
            size_ = 0;
            reserve(n);
            std::copy(first, last, ptr_);
            size_ = n;
        } else {
            clear();
            for (; first != last; ++first) push_back(*first);
        }
    }
    void assign(size_type n, const T& value) {
        size_ = 0;
        reserve(n);
        std::fill_n(ptr_, n, value);
        size_ = n;
    }
    void assign(std::initializer_list<T> init) { assign(init.begin(), init.end()); }

    size_type size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    size_type capacity() const noexcept { return cap_; }
    static constexpr size_type max_size() noexcept { return static_cast<size_type>(PTRDIFF_MAX) / sizeof(T); }

    T* data() noexcept { return ptr_; }
    const T* data() const noexcept { return ptr_; }
    T& operator[](size_type i) noexcept { return ptr_[i]; }
    const T& operator[](size_type i) const noexcept { return ptr_[i]; }
    T& at(size_type i) {
        if (i >= size_) throw std::out_of_range("SmallVec::at");
        return ptr_[i];
    }
    const T& at(size_type i) const {
        if (i >= size_) throw std::out_of_range("SmallVec::at");
        return ptr_[i];
    }
    T& front() noexcept { return ptr_[0]; }
    const T& front() const noexcept { return ptr_[0]; }
    T& back() noexcept { return ptr_[size_ - 1]; }
    const T& back() const noexcept { return ptr_[size_ - 1]; }

    iterator begin() noexcept { return ptr_; }
    iterator end() noexcept { return ptr_ + size_; }
    const_iterator begin() const noexcept { return ptr_; }
    const_iterator end() const noexcept { return ptr_ + size_; }
    const_iterator cbegin() const noexcept { return ptr_; }
    const_iterator cend() const noexcept { return ptr_ + size_; }
    reverse_iterator rbegin() noexcept { return reverse_iterator(end()); }
    reverse_iterator rend() noexcept { return reverse_iterator(begin()); }
    const_reverse_iterator rbegin() const noexcept { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const noexcept { return const_reverse_iterator(begin()); }
    const_reverse_iterator crbegin() const noexcept { return rbegin(); }
    const_reverse_iterator crend() const noexcept { return rend(); }

    void reserve(size_type n) {
        if (n <= cap_) return;
        if (n > max_size()) throw std::length_error("SmallVec::reserve");
        const size_type cap = std::max(n, cap_ * 2);
        T* p = static_cast<T*>(std::malloc(cap * sizeof(T)));
        if (!p) throw std::bad_alloc();
        if (size_) std::memcpy(p, ptr_, size_ * sizeof(T));
        release();
        ptr_ = p;
        cap_ = cap;
    }
    void shrink_to_fit() noexcept {}
    void clear() noexcept { size_ = 0; }

    void push_back(const T& v) {
        if (size_ == cap_) {
            const T copy = v;  // v may live in this vector
            reserve(size_ + 1);
            ptr_[size_++] = copy;
            return;
        }
        ptr_[size_++] = v;
    }
    template <class... A>
    T& emplace_back(A&&... args) {
        push_back(T(std::forward<A>(args)...));
        return back();
    }
    void pop_back() noexcept { --size_; }
    void resize(size_type n) { resize(n, T{}); }
    void resize(size_type n, const T& value) {
        if (n > size_) {
            const T copy = value;
            reserve(n);
            std::fill(ptr_ + size_, ptr_ + n, copy);
        }
        size_ = n;
    }

    iterator insert(const_iterator pos, const T& value) { return insert(pos, size_type{1}, value); }
    iterator insert(const_iterator pos, size_type count, const T& value) {
        const T copy = value;
        const size_type at = make_room(pos, count);
        std::fill_n(ptr_ + at, count, copy);
        return ptr_ + at;
    }
    template <class It, class = typename std::iterator_traits<It>::iterator_category>
    iterator insert(const_iterator pos, It first, It last) {
        const std::vector<T> items(first, last);  // the range may alias this vector
        const size_type at = make_room(pos, items.size());
        std::copy(items.begin(), items.end(), ptr_ + at);
        return ptr_ + at;
    }
    iterator insert(const_iterator pos, std::initializer_list<T> init) {
        return insert(pos, init.begin(), init.end());
    }
    iterator erase(const_iterator pos) { return erase(pos, pos + 1); }
    iterator erase(const_iterator first, const_iterator last) {
        const auto a = static_cast<size_type>(first - ptr_);
        const auto b = static_cast<size_type>(last - ptr_);
        if (a != b) {
            std::memmove(ptr_ + a, ptr_ + b, (size_ - b) * sizeof(T));
            size_ -= b - a;
        }
        return ptr_ + a;
    }

    void swap(SmallVec& o) noexcept {
        SmallVec tmp(std::move(o));
        o = std::move(*this);
        *this = std::move(tmp);
    }

    friend bool operator==(const SmallVec& a, const SmallVec& b) noexcept {
        return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
    }
    friend bool operator==(const SmallVec& a, const std::vector<T>& b) noexcept {
        return a.size_ == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
    friend auto operator<=>(const SmallVec& a, const SmallVec& b) noexcept {
        return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    }
    friend auto operator<=>(const SmallVec& a, const std::vector<T>& b) noexcept {
        return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    bool on_heap() const noexcept { return ptr_ != buf_; }
    void release() noexcept {
        if (on_heap()) std::free(ptr_);
        ptr_ = buf_;
        cap_ = N;
    }
    // Takes o's contents, leaving o empty; *this must hold nothing.
    void steal(SmallVec& o) noexcept {
        if (o.on_heap()) {
            ptr_ = o.ptr_;
            cap_ = o.cap_;
            o.ptr_ = o.buf_;
            o.cap_ = N;
        } else {
            std::memcpy(buf_, o.buf_, o.size_ * sizeof(T));
        }
        size_ = o.size_;
        o.size_ = 0;
    }
    // Opens a gap of count elements at pos; returns its index.
    size_type make_room(const_iterator pos, size_type count) {
        const auto at = static_cast<size_type>(pos - ptr_);
        if (count > max_size() - size_) throw std::length_error("SmallVec::insert");
        reserve(size_ + count);
        std::memmove(ptr_ + at + count, ptr_ + at, (size_ - at) * sizeof(T));
        size_ += count;
        return at;
    }

    T* ptr_ = buf_;
    size_type size_ = 0;
    size_type cap_ = N;
    T buf_[N];
};

}  // namespace lumi
