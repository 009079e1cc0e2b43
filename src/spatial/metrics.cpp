// Option names, the Euclidean radius edge, the reference route switch and
// the query checks.
#include "spatial/metrics.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>

#include <strings.h>

#include "base/error.hpp"
#include "base/messages.hpp"

namespace lumi {

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

bool reference_route() noexcept {
    static const bool reference = [] {
        const char* v = std::getenv("LUMIVANDER_SPATIAL");
        return v && strcasecmp(v, "reference") == 0;
    }();
    return reference;
}

void check_query_length(std::size_t query_len, std::size_t dim) {
    if (query_len > dim) throw_index_error(dim, dim);
    if (query_len < dim) throw_index_error(query_len, query_len);
}

void throw_index_error(std::size_t len, std::size_t index) {
    throw Error(msg::index_out_of_bounds(len, index));
}

}  // namespace lumi
