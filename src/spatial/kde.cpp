// Kernel density entry points of the three trees, and the approximation
// criterion's parsing.
#include "spatial/kde.hpp"

#include <cmath>

#include "base/error.hpp"
#include "base/messages.hpp"
#include "spatial/kde_recursion.hpp"
#include "spatial/kinds.hpp"

namespace lumi {

std::optional<ApproxCriterion::Tag> criterion_from_name(std::string_view lowered) {
    using Tag = ApproxCriterion::Tag;
    if (lowered == "none") return Tag::None;
    if (lowered == "min_samples") return Tag::MinSamples;
    if (lowered == "max_span") return Tag::MaxSpan;
    if (lowered == "combined") return Tag::Combined;
    return std::nullopt;
}

ApproxCriterion make_criterion(ApproxCriterion::Tag tag, std::optional<std::uint64_t> min_samples,
                               std::optional<double> max_span) {
    using Tag = ApproxCriterion::Tag;
    switch (tag) {
        case Tag::MinSamples:
            if (!min_samples) throw Error(msg::criterion_needs("min_samples", "min_samples"));
            return {tag, *min_samples, 0.0};
        case Tag::MaxSpan:
            if (!max_span) throw Error(msg::criterion_needs("max_span", "max_span"));
            return {tag, 0, *max_span};
        case Tag::Combined:
            if (!min_samples) throw Error(msg::criterion_needs("min_samples", "combined"));
            if (!max_span) throw Error(msg::criterion_needs("max_span", "combined"));
            return {tag, *min_samples, *max_span};
        case Tag::None:
        default:
            return {};
    }
}

namespace {

// Picks the metric and kernel policies once and runs the rows with them.
template <class Kind>
void dispatch_density_rows(const SpatialTree<Kind>& tree, const double* queries, std::size_t n_queries,
                           KernelType kernel, double h,
                 const ApproxCriterion& criterion, double* out, const std::size_t* scatter) {
    const bool approx = criterion.tag != ApproxCriterion::Tag::None;
    const bool plain = reference_route();
    if (!plain && !approx && kernel == KernelType::Gaussian) {
        // the common case, with the small dimensions unrolled
        with_metric_dim(tree.metric(), tree.dim(), [&](auto metric) {
            using M = decltype(metric);
            const kde::TreeView<Kind, M> view{tree};
            kde::density_rows<false, M, kde::Gaussian>(view, queries, n_queries, h, criterion, out, scatter);
        });
        return;
    }
    with_metric(tree.metric(), [&](auto metric) {
        using M = decltype(metric);
        const kde::TreeView<Kind, M> view{tree};
        auto go = [&](auto kernel_policy) {
            using K = decltype(kernel_policy);
            const kde::TreeView<Kind, M, true> plain_view{tree};
            if (plain && approx) {
                kde::plain_density_rows<true, M, K>(plain_view, queries, n_queries, h, criterion, out, scatter);
            } else if (plain) {
                kde::plain_density_rows<false, M, K>(plain_view, queries, n_queries, h, criterion, out, scatter);
            } else if (approx) {
                kde::density_rows<true, M, K>(view, queries, n_queries, h, criterion, out, scatter);
            } else {
                kde::density_rows<false, M, K>(view, queries, n_queries, h, criterion, out, scatter);
            }
        };
        switch (kernel) {
            case KernelType::Epanechnikov: go(kde::Epanechnikov{}); break;
            case KernelType::Uniform: go(kde::Uniform{}); break;
            case KernelType::Triangular: go(kde::Triangular{}); break;
            case KernelType::Gaussian:
            default: go(kde::Gaussian{}); break;
        }
    });
}

}  // namespace

template <class Tree>
void kernel_density_rows(const Tree& tree, const double* queries, std::size_t n_queries, std::size_t width,
                         KernelType kernel, double h, const ApproxCriterion& criterion, double* out) {
    if (width != tree.dim()) throw Error(msg::kQueryWidth);
    dispatch_density_rows(tree, queries, n_queries, kernel, h, criterion, out, nullptr);
}

template <class Tree>
void kernel_density_at_points(const Tree& tree, KernelType kernel, double h, const ApproxCriterion& criterion,
                              double* out) {
    dispatch_density_rows(tree, tree.points(), tree.n_points(), kernel, h, criterion, out, tree.order().data());
}

#define LUMI_KDE_INSTANTIATE(A, Kind, ...)                                                                   \
    template void kernel_density_rows(const SpatialTree<Kind>&, const double*, std::size_t, std::size_t,       \
                                      KernelType, double, const ApproxCriterion&, double*);                    \
    template void kernel_density_at_points(const SpatialTree<Kind>&, KernelType, double, const ApproxCriterion&, \
                                           double*);
LUMI_SPATIAL_KINDS(LUMI_KDE_INSTANTIATE, )

#undef LUMI_KDE_INSTANTIATE

}  // namespace lumi
