// Option parsing, distances, kernels, box bounds and build helpers shared by
// the three spatial indexes.
#include "spatial/common.hpp"

#include <numeric>

namespace lumi {

std::string unknown_option_message(const OptionKind& kind, std::string_view name) {
    std::string msg = "Unknown ";
    msg += kind.what;
    msg += " '";
    msg += name;
    msg += "'. Valid options: ";
    msg += kind.choices;
    return msg;
}

std::optional<DistanceMetric> metric_from_name(std::string_view s) {
    if (s == "euclidean") return DistanceMetric::Euclidean;
    if (s == "manhattan") return DistanceMetric::Manhattan;
    if (s == "chebyshev") return DistanceMetric::Chebyshev;
    return std::nullopt;
}

std::optional<KernelType> kernel_from_name(std::string_view s) {
    if (s == "gaussian") return KernelType::Gaussian;
    if (s == "epanechnikov") return KernelType::Epanechnikov;
    if (s == "uniform") return KernelType::Uniform;
    if (s == "triangular") return KernelType::Triangular;
    return std::nullopt;
}

DistanceMetric parse_metric(std::string_view lowered, std::string_view as_passed) {
    if (auto m = metric_from_name(lowered)) return *m;
    throw Error(unknown_option_message(kMetricOption, as_passed));
}

KernelType parse_kernel(std::string_view lowered, std::string_view as_passed) {
    if (auto k = kernel_from_name(lowered)) return *k;
    throw Error(unknown_option_message(kKernelOption, as_passed));
}

double distance(const double* a, const double* b, std::size_t dim, DistanceMetric metric) noexcept {
    return with_metric(metric, [&](auto m) {
        using M = decltype(m);
        return M::from_rdist(M::rdist(a, b, dim));
    });
}

double kernel_value(KernelType kernel, double u) noexcept {
    switch (kernel) {
        case KernelType::Gaussian:
            return std::exp(-0.5 * u * u);
        case KernelType::Epanechnikov:
            return u < 1.0 ? 0.75 * (1.0 - u * u) : 0.0;
        case KernelType::Uniform:
            return u < 1.0 ? 0.5 : 0.0;
        case KernelType::Triangular:
            return u < 1.0 ? 1.0 - u : 0.0;
    }
    return 0.0;
}

double box_min_distance(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept {
    return std::sqrt(box_rdist<EuclideanMetric>(q, lo, hi, dim));
}

double box_max_distance(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept {
    return std::sqrt(box_far_rdist<EuclideanMetric>(q, lo, hi, dim));
}

double EuclideanMetric::rdist_within(double r) noexcept {
    // sqrt is monotone, so {s : sqrt(s) <= r} is {s <= t} for one t; start
    // from r * r and step to the exact edge (at most a few ulps away).
    if (!(r >= 0.0)) return -1.0;  // negative or NaN radius: nothing is within
    double t = r * r;
    while (t > 0.0 && std::sqrt(t) > r) t = std::nextafter(t, 0.0);
    for (;;) {
        const double up = std::nextafter(t, std::numeric_limits<double>::infinity());
        if (up == t || !(std::sqrt(up) <= r)) break;
        t = up;
    }
    return t;
}

void check_query_length(std::size_t query_len, std::size_t dim) {
    if (query_len > dim) throw_index_error(dim, dim);
    if (query_len < dim) throw_index_error(query_len, query_len);
}

void check_points_shape(std::size_t ndim) {
    if (ndim != 2) throw Error("Expected 2D array (n_points, dim)");
}

std::size_t halving_node_count(std::size_t n, std::size_t leaf) {
    if (leaf < 1) leaf = 1;
    // Ranges of one level take at most two neighbouring sizes; count nodes
    // level by level: (size, how many ranges of that size).
    std::size_t total = 0;
    std::vector<std::pair<std::size_t, std::size_t>> level{{n, 1}}, next;
    while (!level.empty()) {
        next.clear();
        for (auto [size, cnt] : level) {
            total += cnt;
            if (size <= leaf) continue;
            for (std::size_t half : {size / 2, size - size / 2}) {
                auto it = std::find_if(next.begin(), next.end(), [&](auto& e) { return e.first == half; });
                if (it == next.end()) {
                    next.push_back({half, cnt});
                } else {
                    it->second += cnt;
                }
            }
        }
        std::swap(level, next);
    }
    return total;
}

RowSelector::RowSelector(const double* input, std::size_t n, std::size_t dim)
    : dim_(dim), rows_(input, input + n * dim), order_(n) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
}

void RowSelector::select(std::size_t start, std::size_t end, std::size_t m, const double* keys) {
    const std::size_t count = end - start;
    pairs_.resize(count);
    for (std::size_t i = 0; i < count; ++i) pairs_[i] = {keys[i], i};
    std::nth_element(pairs_.begin(), pairs_.begin() + static_cast<std::ptrdiff_t>(m), pairs_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Gather rows and row numbers into the selected arrangement.
    scratch_rows_.resize(count * dim_);
    scratch_order_.resize(count);
    const double* src = rows_.data() + start * dim_;
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = pairs_[j].second;
        std::copy_n(src + i * dim_, dim_, scratch_rows_.data() + j * dim_);
        scratch_order_[j] = order_[start + i];
    }
    std::copy(scratch_rows_.begin(), scratch_rows_.end(), rows_.begin() + static_cast<std::ptrdiff_t>(start * dim_));
    std::copy(scratch_order_.begin(), scratch_order_.end(), order_.begin() + static_cast<std::ptrdiff_t>(start));
}

void throw_nan_split() { throw Error("called `Option::unwrap()` on a `None` value"); }

void throw_index_error(std::size_t len, std::size_t index) {
    throw Error("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

}  // namespace lumi
