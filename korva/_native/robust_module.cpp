// The korva._robust extension: the robust finish of a fit (m_scale.hpp,
// reweighting.hpp, covariance_moments.hpp, row_statistics.hpp), the elemental starts
// (elemental.hpp), the concentration of starts (concentration.hpp) and the estimator's
// medians (selection.hpp, weighted_median.hpp) for korva.robust.
// Converts and checks the arguments as korva_core does and registers the
// functions; the computations hold no Python.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "argument_checks.hpp"
#include "binding_helpers.hpp"
#include "casters.hpp"
#include "concentration.hpp"
#include "covariance_moments.hpp"
#include "elemental.hpp"
#include "m_scale.hpp"
#include "monomial_design.hpp"
#include "reweighting.hpp"
#include "row_statistics.hpp"
#include "selection.hpp"
#include "solvers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using korva::VectorRef;

namespace {

using korva::binding::checked_penalties;
using korva::binding::DesignMatrix;
using korva::binding::interruptible;
using korva::binding::RealArray;
using Vector = RealArray<VectorRef>;

// A per-row vector, read (complex input refused) and checked to have `rows` elements.
const VectorRef& checked_rows(const char* fn, const char* name, const Vector& arg, Eigen::Index rows,
                              const char* rows_of) {
    const VectorRef& v = arg.get(fn, name);
    korva::require_length(fn, name, v.size(), rows, rows_of);
    return v;
}

const VectorRef* optional_rows(const char* fn, const char* name, const std::optional<Vector>& arg, Eigen::Index rows,
                               const char* rows_of) {
    return arg ? &checked_rows(fn, name, *arg, rows, rows_of) : nullptr;
}

// The residuals and the optional case weights, one per residual, of a statistic of the rows.
struct RowStatisticArguments {
    const VectorRef& residuals;
    const VectorRef* case_weights;
};

RowStatisticArguments residuals_and_weights(const char* fn, const Vector& residuals_arg,
                                            const std::optional<Vector>& case_weights_arg) {
    const VectorRef& residuals = residuals_arg.get(fn, "residuals");
    return {residuals, optional_rows(fn, "case_weights", case_weights_arg, residuals.size(), "residuals")};
}

// A vector of at least one value, read (complex input refused).
const VectorRef& nonempty(const char* fn, const char* name, const Vector& arg) {
    const VectorRef& v = arg.get(fn, name);
    korva::require_nonempty(fn, name, v.size());
    return v;
}

// A design formed where it is read, with the input columns it reads, kept alive with it.
struct HeldMonomials {
    korva::binding::ColumnList columns;
    korva::MonomialDesign design;

    Eigen::Index rows() const { return design.rows(); }
    Eigen::Index cols() const { return design.cols(); }
};

// A MonomialDesign argument (see korva::binding::Constructed).
using FormedDesign = korva::binding::Constructed<HeldMonomials>;

// Runs compute(X) on the design as the kernels take it: a stored matrix in its storage
// order, or one formed where it is read.
template <class Compute>
auto with_design(const DesignMatrix& design, Compute&& compute) {
    if (design.row_major) return compute(*design.row_major);
    return compute(design.cols_view());
}

template <class Compute>
auto with_design(const FormedDesign& formed, Compute&& compute) {
    return compute(formed->design);
}

void refuse_complex_design(const char* fn, const DesignMatrix& design) { design.complex.refuse(fn, "design"); }
void refuse_complex_design(const char*, const FormedDesign&) {}

Eigen::Index rows_of(const DesignMatrix& design) { return design.rows(); }
Eigen::Index rows_of(const FormedDesign& design) { return design->rows(); }
Eigen::Index cols_of(const DesignMatrix& design) { return design.cols(); }
Eigen::Index cols_of(const FormedDesign& design) { return design->cols(); }

template <class Design>
Eigen::VectorXd reweight_call(const Design& design, const Vector& target_arg, const Vector& beta_arg, double scale,
                              const py::object& R1, const py::object& R2, double gamma1, double gamma2,
                              const std::optional<Vector>& sample_weight_arg, int max_steps, double tolerance,
                              double tuning, double ridge, bool newton, bool refine, const py::object& matrix_arg) {
    constexpr const char* fn = "reweight";
    refuse_complex_design(fn, design);
    const VectorRef& target = target_arg.get(fn, "target");
    const VectorRef& beta = beta_arg.get(fn, "beta");
    std::optional<Eigen::MatrixXd> r1, r2;
    const auto [p1, p2] = checked_penalties(fn, "design", rows_of(design), cols_of(design), target.size(), R1, R2,
                                            gamma1, gamma2, r1, r2);
    korva::require_coefficients(fn, "design", beta.size(), cols_of(design));
    korva::ReweightSettings settings;
    settings.scale = scale;
    settings.R1 = p1;
    settings.R2 = p2;
    settings.gamma1 = gamma1;
    settings.gamma2 = gamma2;
    settings.prior = optional_rows(fn, "sample_weight", sample_weight_arg, rows_of(design), "design");
    settings.max_steps = max_steps;
    settings.tolerance = tolerance;
    settings.tuning = tuning;
    settings.ridge = ridge;
    settings.newton = newton;
    settings.refine = refine;
    std::optional<Eigen::MatrixXd> matrix_storage;
    settings.matrix = korva::binding::optional_matrix(fn, "matrix", matrix_arg, matrix_storage);
    if (settings.matrix != nullptr) korva::require_term_matrix(fn, "matrix", *settings.matrix, cols_of(design));
    return interruptible([&](const korva::StopCheck& stop) {
        return with_design(design, [&](const auto& X) { return korva::reweight(X, target, beta, settings, stop); });
    });
}

template <class Design>
korva::BisquareMoments bisquare_moments_call(const Design& design, const Vector& residuals_arg, double scale,
                                             double tuning, const std::optional<Vector>& case_weights_arg,
                                             bool slopes) {
    constexpr const char* fn = "bisquare_moments";
    refuse_complex_design(fn, design);
    const VectorRef& residuals = checked_rows(fn, "residuals", residuals_arg, rows_of(design), "design");
    const VectorRef* case_weights = optional_rows(fn, "case_weights", case_weights_arg, rows_of(design), "design");
    return interruptible([&](const korva::StopCheck& stop) {
        return with_design(design, [&](const auto& X) {
            return korva::bisquare_moments(X, residuals, scale, tuning, case_weights, slopes, stop);
        });
    });
}

// The settings of a concentration over `design` and `target`, each argument checked: finite
// values, case weights of one per row, finite and not negative, a k x k penalty, the kept
// weight, the step count and the ridge. A penalty given is copied into `penalty_storage`.
korva::ConcentrationSettings checked_concentration(const char* fn, const DesignMatrix& design, const VectorRef& target,
                                                   double keep, const std::optional<Vector>& weights_arg,
                                                   const py::object& penalty_arg, int max_steps, double ridge,
                                                   std::optional<Eigen::MatrixXd>& penalty_storage) {
    const Eigen::Index n = design.rows(), k = design.cols();
    korva::ConcentrationSettings settings;
    settings.weights = optional_rows(fn, "weights", weights_arg, n, "design");
    settings.penalty = korva::binding::optional_matrix(fn, "penalty", penalty_arg, penalty_storage);
    if (settings.penalty != nullptr) korva::require_term_matrix(fn, "penalty", *settings.penalty, k);
    with_design(design, [&](const auto& X) { korva::require_concentration_values(fn, X, target, settings.weights); });
    const double mass = settings.weights != nullptr ? settings.weights->sum() : static_cast<double>(n);
    korva::require_kept_weight(fn, keep, settings.weights != nullptr, mass);
    korva::require_step_count(fn, max_steps);
    korva::require_ridge(fn, ridge);
    settings.keep = keep;
    settings.max_steps = max_steps;
    settings.ridge = ridge;
    return settings;
}

using SubsetMatrix = Eigen::Matrix<std::int64_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// An array of integers of `ndim` dimensions as int64, read in place where it holds int64
// already. Unsigned indices from `limit` on are refused through `out_of_range` first: the
// conversion would read those from 2**63 on as negative ones.
template <class OutOfRange>
py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> integer_array(const std::string& what,
                                                                                   const py::object& arg, int ndim,
                                                                                   std::uint64_t limit,
                                                                                   OutOfRange out_of_range) {
    const py::array given = py::array::ensure(arg);
    const char kind = given ? given.dtype().kind() : '?';
    if (!given || given.ndim() != ndim || (kind != 'i' && kind != 'u'))
        throw py::type_error(what + " must be a " + std::to_string(ndim) + "-D array of integers");
    if (kind == 'u') {
        const auto unsigned_values =
            py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>::ensure(given);
        for (py::ssize_t t = 0; t < unsigned_values.size(); ++t)
            if (unsigned_values.data()[t] >= limit) out_of_range(unsigned_values.data()[t]);
    }
    return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(given);
}

// The subsets of elemental_starts, copied (a signal handler run at a check for a stop could
// write to the caller's array) and checked: an (m, k) array of integers, each row k distinct
// row indices from 0 to n - 1; none with every_subset, which must be given otherwise.
std::optional<SubsetMatrix> checked_subsets(const char* fn, const py::object& subsets_arg, bool every_subset,
                                            Eigen::Index n, Eigen::Index k) {
    if (subsets_arg.is_none() == !every_subset)
        throw std::invalid_argument(std::string(fn) + (every_subset ? ": subsets must be None with every_subset=True"
                                                                    : ": subsets are needed unless every_subset=True"));
    if (every_subset) return std::nullopt;
    const auto out_of_range = [&](auto index) {
        throw std::invalid_argument(std::string(fn) + ": subsets holds the row index " + std::to_string(index) +
                                    ", out of range for " + std::to_string(n) + " rows");
    };
    const auto given =
        integer_array(std::string(fn) + ": subsets", subsets_arg, 2, static_cast<std::uint64_t>(n), out_of_range);
    if (given.shape(1) != k)
        throw std::invalid_argument(std::string(fn) + ": subsets has " + std::to_string(given.shape(1)) +
                                    " columns but design has " + std::to_string(k));
    SubsetMatrix subsets = Eigen::Map<const SubsetMatrix>(given.data(), given.shape(0), k);
    std::vector<Eigen::Index> seen_in(static_cast<std::size_t>(n), -1);  // the last subset each row was seen in
    for (Eigen::Index s = 0; s < subsets.rows(); ++s)
        for (Eigen::Index i = 0; i < k; ++i) {
            const std::int64_t row = subsets(s, i);
            if (row < 0 || row >= n) out_of_range(row);
            Eigen::Index& seen = seen_in[static_cast<std::size_t>(row)];
            if (seen == s)
                throw std::invalid_argument(std::string(fn) + ": subsets row " + std::to_string(s) +
                                            " holds the row index " + std::to_string(row) + " twice");
            seen = s;
        }
    return subsets;
}

// A record's array as a NumPy view of it that keeps the record alive, writable as the
// arrays of a returned tuple were: def_property_readonly returns it by reference_internal.
template <class Record, class Array>
auto array_of(Array Record::* member) {
    return [member](Record& record) -> Array& { return record.*member; };
}

// The records that the functions return, bound as classes of read-only attributes.
void bind_records(py::module_& m) {
    py::class_<korva::BisquareMoments>(
        m, "BisquareMoments",
        "What bisquare_moments returns: the matrix and the sums over the rows (with case weights c) of a bisquare "
        "fit at a fixed scale.")
        .def_property_readonly("gram", array_of(&korva::BisquareMoments::gram),
                               "X^T diag(c w) X, or with slopes X^T diag(c psi') X (k x k, both triangles)")
        .def_readonly("total", &korva::BisquareMoments::total, "sum c")
        .def_readonly("in_use", &korva::BisquareMoments::in_use, "sum c over the rows with w > 0")
        .def_readonly("slope", &korva::BisquareMoments::slope, "sum c psi'")
        .def_readonly("slope_square", &korva::BisquareMoments::slope_square, "sum c psi'^2")
        .def_readonly("weight", &korva::BisquareMoments::weight, "sum c w")
        .def_readonly("psi_square", &korva::BisquareMoments::psi_square, "sum c psi^2");
    py::class_<korva::ConcentrationResult>(m, "Concentration", "What concentrate_starts returns, one row per start.")
        .def_property_readonly("betas", array_of(&korva::ConcentrationResult::betas),
                               "(starts, k): the coefficients each start ends at")
        .def_property_readonly("trimmed", array_of(&korva::ConcentrationResult::trimmed),
                               "(starts,): the weighted sum of the squared residuals of the rows each start keeps")
        .def_property_readonly("kept", array_of(&korva::ConcentrationResult::kept),
                               "(starts, rows) with kept_rows, else empty: the weight each row keeps at the end");
    py::class_<korva::RowsWithin>(m, "RowsWithin", "What rows_within returns: the rows within the cut-off.")
        .def_property_readonly(
            "count", [](const korva::RowsWithin& rows) { return static_cast<std::int64_t>(rows.count); },
            "how many rows lie within")
        .def_readonly("weight", &korva::RowsWithin::weight, "their total case weight (the count without case weights)")
        .def_property_readonly("sample", array_of(&korva::RowsWithin::sample),
                               "every step-th of them from the first, step = ceil(count / max_rows), as row indices");
    py::class_<korva::ResidualBand>(m, "ResidualBand", "What residual_band returns: the residuals about the band.")
        .def_readonly("inner_weight", &korva::ResidualBand::inner_weight,
                      "the total case weight of the rows with abs(residuals) <= inner (their count without case "
                      "weights)")
        .def_readonly("inner_squares", &korva::ResidualBand::inner_squares, "their weighted sum of squares")
        .def_property_readonly("between", array_of(&korva::ResidualBand::between),
                               "abs(residuals) of the rows within the band, in order")
        .def_property_readonly(
            "between_weights",
            [](py::object self) -> py::object {
                std::optional<Eigen::VectorXd>& weights = self.cast<korva::ResidualBand&>().between_weights;
                if (!weights) return py::none();
                return py::cast(*weights, py::return_value_policy::reference_internal, self);
            },
            "their case weights, None without case_weights");
}

// Registers `name` for a MonomialDesign and then for a stored design: anything that is
// not a MonomialDesign reaches the second, which converts it as the other functions do.
// The doc goes with the first.
template <class ForMonomials, class ForStored, class... Arguments>
void def_for_both_designs(py::module_& m, const char* name, ForMonomials for_monomials, ForStored for_stored,
                          const char* doc, const Arguments&... arguments) {
    m.def(name, for_monomials, doc, arguments...);
    m.def(name, for_stored, arguments...);
}

}  // namespace

PYBIND11_MODULE(_robust, m, py::multiple_interpreters::not_supported()) {
    bind_records(m);
    m.doc() =
        "The robust stages of korva's fits: concentration of many starts, the biweight M-scale, the bisquare "
        "reweighting, weighted least squares, the moments of a bisquare fit's covariance and exact medians.";

    py::class_<HeldMonomials>(
        m, "MonomialDesign",
        "The design matrix whose column j is the product over d of columns[d] ** exponents[j][d], formed a few "
        "rows at a time where reweight, bisquare_moments and the product with coefficients read it, never stored: "
        "the same doubles as the stored design of the basis, korva_core.design_matrix_1d(deg, columns[0]) for the "
        "exponents 0, 1, ..., deg of one column, else korva_core.design_matrix_nd(exponents, columns). The columns "
        "are read in place and must keep their values: of several inputs, the powers formed from them are kept.")
        .def(py::init([](korva::binding::ColumnList columns, korva::MultiIndexList exponents) {
                 columns.complex.refuse("MonomialDesign", "columns");
                 std::vector<VectorRef> views = columns.views;
                 return HeldMonomials{std::move(columns),
                                      korva::MonomialDesign(std::move(views), std::move(exponents))};
             }),
             "columns"_a, "exponents"_a)
        .def_property_readonly(
            "shape", [](const FormedDesign& self) { return std::make_pair(self->rows(), self->cols()); },
            "(rows, columns)")
        .def(
            "__matmul__",
            [](const FormedDesign& self, const Vector& beta_arg) {
                const VectorRef& beta = beta_arg.get("MonomialDesign @", "beta");
                korva::require_coefficients("MonomialDesign @", "the design", beta.size(), self->cols());
                return interruptible(
                    [&](const korva::StopCheck& stop) { return korva::fitted_values(self->design, beta, stop); });
            },
            "beta"_a, "The design times beta: each row's sum in the order of reweight's own fitted values.")
        .def(
            "__getitem__",
            [](const FormedDesign& self, const py::object& rows_arg) {
                const auto index =
                    integer_array("MonomialDesign[rows]: rows", rows_arg, 1, static_cast<std::uint64_t>(self->rows()),
                                  [&](std::uint64_t row) { throw korva::row_out_of_range(row, self->rows()); });
                return self->design.rows_at(std::vector<std::int64_t>(index.data(), index.data() + index.size()));
            },
            "rows"_a, "The rows at the indices given (each from 0 to the number of rows - 1), as a 2-D array.");

    m.def(
        "m_scale",
        [](const Vector& residuals_arg, double guess, const std::optional<Vector>& weights_arg, std::int64_t n_terms,
           double tuning, double breakdown) {
            constexpr const char* fn = "m_scale";
            const VectorRef& residuals = residuals_arg.get(fn, "residuals");
            const VectorRef* weights = optional_rows(fn, "weights", weights_arg, residuals.size(), "residuals");
            return interruptible([&](const korva::StopCheck& stop) {
                return korva::m_scale(residuals, guess, weights, static_cast<double>(n_terms), tuning, breakdown, stop);
            });
        },
        "residuals"_a, "guess"_a = 0.0, "weights"_a = py::none(), "n_terms"_a = 0, py::kw_only(), "tuning"_a,
        "breakdown"_a);

    def_for_both_designs(
        m, "reweight", &reweight_call<FormedDesign>, &reweight_call<DesignMatrix>,
        "The bisquare reweighting of design (a 2-D array or a MonomialDesign) and target from beta at a fixed "
        "scale (see korva.robust.reweight).",
        "design"_a, "target"_a, "beta"_a, "scale"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
        "gamma2"_a = 0.0, "sample_weight"_a = py::none(), py::kw_only(), "max_steps"_a, "tolerance"_a, "tuning"_a,
        "ridge"_a, "newton"_a = false, "refine"_a = false, "matrix"_a = py::none());

    m.def(
        "concentrate_starts",
        [](const DesignMatrix& design, const Vector& target_arg, const RealArray<korva::MatrixRef>& starts_arg,
           double keep, const std::optional<Vector>& weights_arg, const py::object& penalty_arg, int max_steps,
           double ridge, bool kept_rows) {
            constexpr const char* fn = "concentrate_starts";
            design.complex.refuse(fn, "design");
            const VectorRef& target = target_arg.get(fn, "target");
            const korva::MatrixRef& starts = starts_arg.get(fn, "starts");
            korva::require_rows_match(fn, "design", design.rows(), target.size());
            korva::require_start_columns(fn, starts.cols(), design.cols());
            korva::require_finite_entries(fn, "starts", korva::largest_magnitude(starts));
            std::optional<Eigen::MatrixXd> penalty_storage;
            korva::ConcentrationSettings settings = checked_concentration(
                fn, design, target, keep, weights_arg, penalty_arg, max_steps, ridge, penalty_storage);
            settings.keep_rows = kept_rows;
            if (kept_rows)
                korva::checked_product(starts.rows(), design.rows(), "concentrate_starts: starts times rows");
            return interruptible([&](const korva::StopCheck& stop) {
                return with_design(design, [&](const auto& X) {
                    return korva::concentrate_starts(X, target, starts, settings, stop);
                });
            });
        },
        "design"_a, "target"_a, "starts"_a, "keep"_a, "weights"_a = py::none(), "penalty"_a = py::none(), py::kw_only(),
        "max_steps"_a, "ridge"_a, "kept_rows"_a = false,
        "Concentration steps from every start: least squares on the rows nearest the fit, the nearest up to the "
        "weight keep (ties at the last distance by row number), with the penalty weighed by the rows' weight and "
        "a ridge relative to the mean diagonal of the normal equations, until the rows kept repeat or after "
        "max_steps solutions.");

    m.def(
        "elemental_starts",
        [](const DesignMatrix& design, const Vector& target_arg, double keep, const py::object& subsets_arg,
           const std::optional<Vector>& weights_arg, const py::object& penalty_arg, bool every_subset, int max_steps,
           double ridge, std::int64_t finalists) {
            constexpr const char* fn = "elemental_starts";
            design.complex.refuse(fn, "design");
            const VectorRef& target = target_arg.get(fn, "target");
            korva::require_rows_match(fn, "design", design.rows(), target.size());
            if (design.cols() < 1) throw std::invalid_argument("elemental_starts: design must have at least 1 column");
            const std::optional<SubsetMatrix> subsets =
                checked_subsets(fn, subsets_arg, every_subset, design.rows(), design.cols());
            std::optional<Eigen::MatrixXd> penalty_storage;
            const korva::ConcentrationSettings settings = checked_concentration(
                fn, design, target, keep, weights_arg, penalty_arg, max_steps, ridge, penalty_storage);
            if (finalists < 1)
                throw std::invalid_argument("elemental_starts: finalists must be at least 1, got " +
                                            std::to_string(finalists));
            const korva::SubsetRows* listed = nullptr;
            std::optional<korva::SubsetRows> listed_rows;
            if (subsets) listed = &listed_rows.emplace(*subsets);
            korva::ElementalResult result = interruptible([&](const korva::StopCheck& stop) {
                return with_design(design, [&](const auto& X) {
                    return korva::elemental_starts(X, target, listed, settings, finalists, stop);
                });
            });
            return std::make_pair(std::move(result.betas), result.tried);
        },
        "design"_a, "target"_a, "keep"_a, "subsets"_a = py::none(), "weights"_a = py::none(), "penalty"_a = py::none(),
        py::kw_only(), "every_subset"_a = false, "max_steps"_a, "ridge"_a, "finalists"_a,
        "The elemental starts of a robust fit: for each subset of k rows (k = the design's columns), a row of "
        "subsets (an (m, k) array of distinct row indices) or, with every_subset, each k-subset of the rows in the "
        "order of itertools.combinations, the exact fit through those rows (their normal equations plus k times the "
        "penalty and the ridge relative to their mean diagonal; the zero start when they are singular), "
        "concentrated as concentrate_starts does. Returns the coefficients of the finalists best of them by "
        "trimmed sum of squares, one for each distinct result (bit for bit), best first (ties in subset order), "
        "as a (finalists found, k) array, and the number of subsets tried. Raises ValueError for subsets given "
        "with every_subset or neither, indices out of range or repeated in a row, finalists below 1, or what "
        "concentrate_starts refuses, and TypeError for subsets not an array of integers.");

    m.def(
        "weighted_least_squares",
        [](const DesignMatrix& design, const Vector& target_arg, const Vector& weights_arg, const py::object& R1,
           const py::object& R2, double gamma1, double gamma2, double ridge) {
            constexpr const char* fn = "weighted_least_squares";
            design.complex.refuse(fn, "design");
            const VectorRef& target = target_arg.get(fn, "target");
            std::optional<Eigen::MatrixXd> r1, r2;
            const auto [p1, p2] = checked_penalties(fn, "design", design.rows(), design.cols(), target.size(), R1, R2,
                                                    gamma1, gamma2, r1, r2);
            const VectorRef& weights = checked_rows(fn, "weights", weights_arg, design.rows(), "design");
            return interruptible([&, p1 = p1, p2 = p2](const korva::StopCheck& stop) {
                if (design.row_major)
                    return korva::weighted_least_squares(*design.row_major, target, weights, p1, p2, gamma1, gamma2,
                                                         ridge, stop);
                return korva::weighted_least_squares(design.cols_view(), target, weights, p1, p2, gamma1, gamma2, ridge,
                                                     stop);
            });
        },
        "design"_a, "target"_a, "weights"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0,
        "gamma2"_a = 0.0, py::kw_only(), "ridge"_a,
        "The solution of (X^T W X + ridge I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X^T W y, W = diag(weights), in "
        "one pass over the rows.");

    def_for_both_designs(
        m, "bisquare_moments", &bisquare_moments_call<FormedDesign>, &bisquare_moments_call<DesignMatrix>,
        "The Gram matrix X^T diag(c w) X and the sums over the rows (with case weights c) that the covariance of "
        "a bisquare fit at a fixed scale needs, as a BisquareMoments: total (c), in_use (c where w > 0), slope "
        "(c psi'), slope_square (c psi'^2), weight (c w) and psi_square (c psi^2), with z = residuals / scale, s = "
        "min((z / tuning)^2, 1), "
        "w = (1 - s)^2, psi' = (1 - s)(1 - 5 s), psi = z w; an infinite tuning gives least squares. With slopes, "
        "the matrix is X^T diag(c psi') X instead: the slope matrix of the fit's equations. The design is a 2-D "
        "array or a MonomialDesign.",
        "design"_a, "residuals"_a, "scale"_a, "tuning"_a, "case_weights"_a = py::none(), "slopes"_a = false);

    m.def(
        "rows_within",
        [](const Vector& residuals_arg, double scale, double tuning, std::int64_t max_rows,
           const std::optional<Vector>& case_weights_arg) {
            constexpr const char* fn = "rows_within";
            const RowStatisticArguments given = residuals_and_weights(fn, residuals_arg, case_weights_arg);
            return interruptible([&](const korva::StopCheck& stop) {
                return korva::rows_within(given.residuals, scale, tuning, max_rows, given.case_weights, stop);
            });
        },
        "residuals"_a, "scale"_a, "tuning"_a, "max_rows"_a, "case_weights"_a = py::none(),
        "The rows whose residual lies within tuning scales, abs(residuals / scale) < tuning (every row when scale "
        "is 0), as a RowsWithin: their count, their total case weight (the count without case_weights) and every "
        "step-th of them from the first, step = ceil(count / max_rows), as an index array of at most max_rows rows. "
        "Raises "
        "ValueError for NaN residuals, a negative or non-finite scale, tuning not above 0, max_rows below 1, or "
        "case weights that are negative, not finite, of an overflowing sum or of a different length.");

    m.def(
        "residual_band",
        [](const Vector& residuals_arg, double inner, double outer, const std::optional<Vector>& case_weights_arg) {
            constexpr const char* fn = "residual_band";
            const RowStatisticArguments given = residuals_and_weights(fn, residuals_arg, case_weights_arg);
            return interruptible([&](const korva::StopCheck& stop) {
                return korva::residual_band(given.residuals, inner, outer, given.case_weights, stop);
            });
        },
        "residuals"_a, "inner"_a, "outer"_a, "case_weights"_a = py::none(),
        "The residuals about the band (inner, outer] of sizes, as a ResidualBand: the total case weight of the rows "
        "with "
        "abs(residuals) <= inner and their weighted sum of squares, then abs(residuals) of the rows within the band, "
        "in order, and their case weights (None without case_weights). Without case_weights every row weighs 1. "
        "Raises ValueError for NaN residuals, inner negative or not finite, outer below inner, or case weights that "
        "are negative, not finite, of an overflowing sum or of a different length.");

    m.def(
        "bisquare_weights",
        [](const Vector& residuals_arg, double scale, double tuning, const std::optional<Vector>& case_weights_arg) {
            constexpr const char* fn = "bisquare_weights";
            const RowStatisticArguments given = residuals_and_weights(fn, residuals_arg, case_weights_arg);
            return interruptible([&](const korva::StopCheck& stop) {
                return korva::bisquare_weights(given.residuals, scale, tuning, given.case_weights, stop);
            });
        },
        "residuals"_a, "scale"_a, "tuning"_a, "case_weights"_a = py::none(),
        "Tukey's bisquare weights (1 - u^2)^2 with u = min(abs(residuals / scale) / tuning, 1), times the case "
        "weights where given: the same doubles as that arithmetic in NumPy, element by element (an infinite "
        "residual weighs 0). Raises ValueError for NaN residuals, a scale or tuning not a finite number above 0, "
        "or case weights that are negative, not finite, of an overflowing sum or of a different length.");

    m.def(
        "median", [](const Vector& values) { return korva::unweighted_median(nonempty("median", "values", values)); },
        "values"_a,
        "The median of values: the middle value, or halfway between the two middle ones, low + (high - low) / 2 "
        "(low / 2 + high / 2 where high - low is not finite). NaN ranks "
        "after every number, as in numpy.sort. Reads the values once (twice when a sample of them misjudges where "
        "the middle lies); raises ValueError when values is empty.");

    m.def(
        "weighted_median",
        [](const Vector& values_arg, const Vector& weights_arg) {
            constexpr const char* fn = "weighted_median";
            const VectorRef& values = nonempty(fn, "values", values_arg);
            const VectorRef& weights = checked_rows(fn, "weights", weights_arg, values.size(), "values");
            return interruptible(
                [&](const korva::StopCheck& stop) { return korva::weighted_median(values, weights, stop); });
        },
        "values"_a, "weights"_a,
        "The median of values with each counted weights times: the smallest value at which the cumulative weight "
        "in ascending order reaches half the total, or, when it meets half exactly there, halfway between it and "
        "the next value that adds weight, as median takes halfway. NaN ranks after every number. Selection, not a "
        "sort: expected time linear in the number of values. Raises ValueError when values is empty, for weights "
        "of another length, negative, NaN or infinite, or whose sum overflows or is 0.");

    m.def(
        "median_abs_deviation",
        [](const Vector& values, double center) {
            return korva::median_abs_deviation(nonempty("median_abs_deviation", "values", values), center);
        },
        "values"_a, "center"_a,
        "The median of abs(values - center), taken as median takes it, without forming the deviations; NaN when "
        "a deviation is NaN or infinite. Raises ValueError when values is empty.");
}
