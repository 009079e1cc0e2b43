// The messages callers see, in one table: the core's errors, the binding's
// argument-parsing and conversion errors, and the option names.
//
// Kept word for word on purpose: callers and tests match these texts exactly,
// quirks and capitalisation included ("Array must be 1d" next to "Input must
// be 1D").  Do not reword, reformat or "fix" any of them.  Parameterised
// messages are the small functions below; they format numbers with
// std::to_string and take already-rendered shapes and floats as text.
//
// Messages the library adds on its own (pickle state, batch queries, NumPy
// loading, sizes that cannot be stored) stay next to their raise sites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumi::msg {

// ---------------------------------------------------------------------------
// Arrays, broadcasting and constructors.

inline constexpr const char* kShapesNotBroadcast = "Shapes are not broadcast-compatible";
inline constexpr const char* kInputNot1D = "Input must be 1D";
inline constexpr const char* kInputNot2D = "Input must be 2D";
inline constexpr const char* kNoArrays = "Need at least one array";
inline constexpr const char* kColumnStackRank = "column_stack only supports 1D and 2D arrays";
inline constexpr const char* kColumnStackRows = "All arrays must have the same number of rows";

// "Storage length N doesn't match shape size C"
inline std::string storage_length(std::size_t data_len, std::size_t element_count) {
    return "Storage length " + std::to_string(data_len) + " doesn't match shape size " +
           std::to_string(element_count);
}

// "Data length N doesn't match shape S (expected P)"
inline std::string data_length(std::size_t data_len, std::string_view shape_text, std::size_t expected) {
    std::string m = "Data length " + std::to_string(data_len) + " doesn't match shape ";
    m += shape_text;
    m += " (expected " + std::to_string(expected) + ")";
    return m;
}

// "index out of bounds: the len is LEN but the index is INDEX"
inline std::string index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}
inline std::string index_out_of_bounds(std::size_t len, std::string_view index_digits) {
    std::string m = "index out of bounds: the len is " + std::to_string(len) + " but the index is ";
    m += index_digits;
    return m;
}

// ---------------------------------------------------------------------------
// Subscripting.

inline constexpr const char* kIndexNotInteger = "indices must be integers, slices, or tuples of integers";
inline constexpr const char* kAssignIndexNotInteger = "indices must be integers or tuples of integers for assignment";
inline constexpr const char* kSingleIndexAssignment =
    "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays";
inline constexpr const char* kZeroDimIndexed = "too many indices for array: array is 0-dimensional, but 1 were indexed";
inline constexpr const char* kCannotDelete = "can't delete item";
inline constexpr const char* kGetOutOfBounds = "Index out of bounds";

// "index K is out of bounds for axis J with size S"
inline std::string axis_out_of_bounds(std::int64_t index, std::size_t axis, std::size_t size) {
    return "index " + std::to_string(index) + " is out of bounds for axis " + std::to_string(axis) + " with size " +
           std::to_string(size);
}

// "too many indices for array: array is R-dimensional, but W were indexed"
inline std::string too_many_indices(std::size_t rank, std::size_t given) {
    return "too many indices for array: array is " + std::to_string(rank) + "-dimensional, but " +
           std::to_string(given) + " were indexed";
}

// "cannot set item: expected R indices, got W"
inline std::string set_item_index_count(std::size_t rank, std::size_t given) {
    return "cannot set item: expected " + std::to_string(rank) + " indices, got " + std::to_string(given);
}

// ---------------------------------------------------------------------------
// Linear algebra.

inline constexpr const char* kVectorLengths = "Vectors must have same length";
inline constexpr const char* kInnerDims = "Inner dimensions must match";
inline constexpr const char* kMatmulRank = "matmul requires 1D or 2D arrays";
inline constexpr const char* kFirstNot1D = "First input must be 1D";
inline constexpr const char* kSecondNot1D = "Second input must be 1D";
inline constexpr const char* kTransposeRank = "transpose requires 2D array";
inline constexpr const char* kDiagonalRank = "diagonal requires a 2D array";
inline constexpr const char* kCholeskyRank = "Cholesky decomposition requires a 2D matrix";
inline constexpr const char* kCholeskySquare = "Cholesky decomposition requires a square matrix";
inline constexpr const char* kNotPositiveDefinite = "Matrix is not positive definite";
inline constexpr const char* kQrRank = "QR decomposition requires a 2D matrix";
inline constexpr const char* kEigRank = "Eigendecomposition requires a 2D matrix";
inline constexpr const char* kEigSquare = "Eigendecomposition requires a square matrix";
// A NaN where an ordered value was needed (an eigenvalue to sort, a split
// coordinate).
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// "Inner dimensions must match: X vs Y"
inline std::string inner_dims(std::size_t a_cols, std::size_t b_rows) {
    return "Inner dimensions must match: " + std::to_string(a_cols) + " vs " + std::to_string(b_rows);
}

// ---------------------------------------------------------------------------
// Statistics.

inline constexpr const char* kQuantileRange = "Quantile must be between 0 and 1";
inline constexpr const char* kArrayNot1d = "Array must be 1d";
inline constexpr const char* kArrayLengths = "Arrays must have same length";

// ---------------------------------------------------------------------------
// Random numbers.

inline constexpr const char* kClockBackwards = "Time went backwards";
inline constexpr const char* kLowNotBelowHigh = "low must be less than high";
inline constexpr const char* kShapeParamNotPositive = "shape parameter must be positive";
inline constexpr const char* kScaleNotPositive = "scale must be positive";
inline constexpr const char* kAlphaNotPositive = "alpha must be positive";
inline constexpr const char* kBetaNotPositive = "beta must be positive";

// ---------------------------------------------------------------------------
// Spatial indexes.

inline constexpr const char* kPointsNot2D = "Expected 2D array (n_points, dim)";
inline constexpr const char* kQueriesNot2D = "Expected 2D array (n_queries, dim)";
inline constexpr const char* kQueryWidth = "Query dimension must match tree dimension";
inline constexpr const char* kRtolValue = "rtol must be a non-negative number";
inline constexpr const char* kQueryForm = "query must be a scalar, list, or Array";
inline constexpr const char* kQueriesForm = "queries must be a scalar, list, or Array";
inline constexpr const char* kQueriesRank = "queries must be 1D or 2D array";

// "Query dimension N doesn't match tree dimension D"
inline std::string query_dimension(std::size_t len, std::size_t dim) {
    return "Query dimension " + std::to_string(len) + " doesn't match tree dimension " + std::to_string(dim);
}

// "Query vector length N doesn't match tree dimension D"
inline std::string query_vector_length(std::size_t len, std::size_t dim) {
    return "Query vector length " + std::to_string(len) + " doesn't match tree dimension " + std::to_string(dim);
}

// "PARAM parameter required for 'CRITERION' criterion"
inline std::string criterion_needs(std::string_view param, std::string_view criterion) {
    std::string m(param);
    m += " parameter required for '";
    m += criterion;
    m += "' criterion";
    return m;
}

// "min > max, or either was NaN. min = LO, max = HI" (bounds already
// rendered as the library renders floats)
inline std::string reversed_box(std::string_view lo, std::string_view hi) {
    std::string m = "min > max, or either was NaN. min = ";
    m += lo;
    m += ", max = ";
    m += hi;
    return m;
}

// ---------------------------------------------------------------------------
// Named options (metrics, kernels, criteria, vantage selection): what a
// caller's unknown text is reported against.  Matching is on the caller's
// lower-cased text; messages quote the text as passed.

struct OptionKind {
    const char* what;     // "distance metric"
    const char* choices;  // "'euclidean', 'manhattan', 'chebyshev'"
};

inline constexpr OptionKind kMetricOption{"distance metric", "'euclidean', 'manhattan', 'chebyshev'"};
inline constexpr OptionKind kKernelOption{"kernel type", "'gaussian', 'epanechnikov', 'uniform', 'triangular'"};
inline constexpr OptionKind kCriterionOption{"approximation criterion",
                                             "'none', 'min_samples', 'max_span', 'combined'"};
inline constexpr OptionKind kSelectionOption{"vantage point selection method", "'first', 'random'"};

// "Unknown WHAT 'NAME'. Valid options: CHOICES"
inline std::string unknown_option(const OptionKind& kind, std::string_view name) {
    std::string m = "Unknown ";
    m += kind.what;
    m += " '";
    m += name;
    m += "'. Valid options: ";
    m += kind.choices;
    return m;
}

// The same as a PyUnicode_FromFormat format (%s what, %U the name object,
// %s choices), for names that are not valid UTF-8.
inline constexpr const char* kUnknownOptionFormat = "Unknown %s '%U'. Valid options: %s";

// ---------------------------------------------------------------------------
// Argument parsing and conversion (binding).

inline constexpr const char* kBorrowed = "Already borrowed";
inline constexpr const char* kMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kNotContiguous = "The given array is not contiguous";
// Stands in for an exception whose str() itself failed.
inline constexpr const char* kStrFailed = "<exception str() failed>";
// Joins the exceptions of a cause chain: "TYPE: TEXT, caused by TYPE: TEXT".
inline constexpr const char* kCausedBy = ", caused by ";
// PyUnicode_FromFormat formats (%s the callable's display name, %U / %R the
// keyword), for keywords that need not be valid UTF-8.
inline constexpr const char* kUnexpectedKeywordFormat = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kUnexpectedKeywordReprFormat = "%s() got an unexpected keyword argument %R";

// Targets of cannot_cast below, as the caller sees them.
inline constexpr const char* kCastArray = "Array";
inline constexpr const char* kCastSequence = "Sequence";
inline constexpr const char* kCastNdarray = "ndarray";
inline constexpr const char* kCastStr = "PyString";

// The two-alternative conversions and their alternatives, as named in
// extract_field / extract_enum.
inline constexpr const char* kVecOrArray = "VecOrArray";
inline constexpr const char* kArrayOrScalar = "ArrayOrScalar";
inline constexpr const char* kVariantArray = "Array";
inline constexpr const char* kVariantVec = "Vec";
inline constexpr const char* kVariantScalar = "Scalar";

// "argument 'NAME': " (put before a conversion's TypeError)
inline std::string argument_prefix(std::string_view name) {
    std::string m = "argument '";
    m += name;
    m += "': ";
    return m;
}

// "'TYPE' object cannot be cast as 'TARGET'"
inline std::string cannot_cast(std::string_view type_name, std::string_view target) {
    std::string m = "'";
    m += type_name;
    m += "' object cannot be cast as '";
    m += target;
    m += '\'';
    return m;
}

// The argument-count and keyword errors name the callable as the
// interpreter does: its display name ("Array.get", "zeros") followed by "()".

// "NAME() takes N positional arguments but G were given", or "NAME() takes
// from MIN to MAX positional arguments but G was given"
inline std::string too_many_positional(std::string_view display, std::size_t required, std::size_t params,
                                       std::size_t given) {
    std::string m(display);
    m += "()";
    if (required != params) {
        m += " takes from " + std::to_string(required) + " to " + std::to_string(params);
    } else {
        m += " takes " + std::to_string(params);
    }
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return m;
}

// "NAME() got multiple values for argument 'ARG'"
inline std::string multiple_values(std::string_view display, std::string_view arg) {
    std::string m(display);
    m += "() got multiple values for argument '";
    m += arg;
    m += '\'';
    return m;
}

// "NAME() missing N required positional argument(s): 'x'", "'x' and 'y'",
// "'x', 'y', and 'z'"
inline std::string missing_positional(std::string_view display, const std::vector<const char*>& names) {
    const std::size_t n = names.size();
    std::string m(display);
    m += "() missing " + std::to_string(n) + " required positional " + (n == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < n; ++i) {
        if (i) {
            if (n > 2) m += ',';
            m += (i == n - 1) ? " and " : " ";
        }
        m += '\'';
        m += names[i];
        m += '\'';
    }
    return m;
}

// "failed to extract field ENUM::VARIANT.0"
inline std::string extract_field(std::string_view enum_name, std::string_view variant) {
    std::string m = "failed to extract field ";
    m += enum_name;
    m += "::";
    m += variant;
    m += ".0";
    return m;
}

// "failed to extract enum ENUM ('A | B')"
inline std::string extract_enum(std::string_view enum_name, std::string_view first, std::string_view second) {
    std::string m = "failed to extract enum ";
    m += enum_name;
    m += " ('";
    m += first;
    m += " | ";
    m += second;
    m += "')";
    return m;
}

// "\n- variant NAME (NAME): " (one line per failed alternative after
// extract_enum's text)
inline std::string variant_line(std::string_view variant) {
    std::string m = "\n- variant ";
    m += variant;
    m += " (";
    m += variant;
    m += "): ";
    return m;
}

}  // namespace lumi::msg
