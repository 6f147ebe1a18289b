// The korva_core extension: converts Python arguments, checks their sizes,
// calls the computations of the headers beside this file and registers
// everything in the module's fixed order.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "argument_checks.hpp"
#include "basis.hpp"
#include "binding_helpers.hpp"
#include "casters.hpp"
#include "ensemble.hpp"
#include "scoring.hpp"
#include "solvers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using Eigen::MatrixXd;
using Eigen::VectorXd;
using korva::MatrixRef;
using korva::VectorRef;

static_assert(PYBIND11_INTERNALS_VERSION == 11,
              "korva_core is built against pybind11 3.0 (internals version 11); "
              "a newer pybind11 was picked up");

namespace {

using korva::binding::checked_penalties;
using korva::binding::ColumnList;
using korva::binding::DesignMatrix;
using korva::binding::interruptible;
using korva::binding::RealArray;

// Array parameters as the bindings take them: converted as before, with complex input refused.
using Vector = RealArray<VectorRef>;
using Matrix = RealArray<MatrixRef>;

std::string beta_length(const VectorXd& beta) { return "beta has " + std::to_string(beta.size()) + " elements"; }

}  // namespace

PYBIND11_MODULE(korva_core, m, py::multiple_interpreters::not_supported()) {
    // The module's docstring is fixed text, kept word for word: the tests and
    // the generated stub carry it as it stands.
    m.doc() = "KORVA-P performans-kritik cekirdegi (C++/Eigen).";

    m.def("mad", [](const Vector& y) { return korva::mad(y.get("mad", "y")); }, "y"_a);

    m.def(
        "compute_sr",
        [](const Vector& yp_arg, const Vector& yt_arg, double eps) {
            const VectorRef& yp = yp_arg.get("compute_sr", "yp");
            const VectorRef& yt = yt_arg.get("compute_sr", "yt");
            korva::require_covers("compute_sr", yp, yt);
            return korva::compute_SR(yp, yt, eps);
        },
        "yp"_a, "yt"_a, "eps"_a);

    m.def(
        "mdl_score",
        [](const Vector& yp_arg, const Vector& yt_arg, int k, int H) {
            const VectorRef& yp = yp_arg.get("mdl_score", "yp");
            const VectorRef& yt = yt_arg.get("mdl_score", "yt");
            korva::require_covers("mdl_score", yp, yt);
            return korva::mdl_score(yp, yt, k, H, nullptr, nullptr);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a = 20);

    m.def(
        "mdl_score_reg",
        [](const Vector& yp_arg, const Vector& yt_arg, int k, int H, const RealArray<VectorXd>& beta_arg,
           const RealArray<MatrixXd>& R1_arg, const RealArray<MatrixXd>& R2_arg, double gamma1, double gamma2) {
            constexpr const char* fn = "mdl_score_reg";
            const VectorRef& yp = yp_arg.get(fn, "yp");
            const VectorRef& yt = yt_arg.get(fn, "yt");
            const VectorXd& beta = beta_arg.get(fn, "beta");
            const MatrixXd& R1 = R1_arg.get(fn, "R1");
            const MatrixXd& R2 = R2_arg.get(fn, "R2");
            korva::require_covers(fn, yp, yt);
            korva::require_penalty_shape(fn, "R1", &R1, gamma1, beta.size(), beta_length(beta));
            korva::require_penalty_shape(fn, "R2", &R2, gamma2, beta.size(), beta_length(beta));
            const korva::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return korva::mdl_score(yp, yt, k, H, &beta, &pen);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a, "beta"_a, "R1"_a, "R2"_a, "gamma1"_a = 0.0, "gamma2"_a = 0.0);

    m.def(
        "design_matrix_1d",
        [](int deg, const Vector& x) { return korva::design_matrix_1d(deg, x.get("design_matrix_1d", "x")); }, "deg"_a,
        "x"_a);

    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max, int n_grid) {
            korva::PenaltyMatrices1D R = interruptible([&](const korva::StopCheck& stop) {
                return korva::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid, stop);
            });
            return std::make_tuple(std::move(R.R1), std::move(R.R2));
        },
        "deg"_a, "x_min"_a, "x_max"_a, "n_grid"_a = 600);

    m.def("boundary_reduce_1d", &korva::boundary_reduce_1d, "deg"_a, "x_min"_a, "x_max"_a);

    m.def(
        "design_matrix_nd",
        [](const korva::MultiIndexList& multi_indices, const ColumnList& X_cols) {
            X_cols.complex.refuse("design_matrix_nd", "X_cols");
            korva::require_design_inputs(multi_indices, X_cols.views);
            return korva::design_matrix_nd(multi_indices, X_cols.views);
        },
        "multi_indices"_a, "X_cols"_a);

    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds, int n_grid_per_dim) {
            korva::PenaltyMatricesND R = interruptible([&](const korva::StopCheck& stop) {
                return korva::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim, stop);
            });
            return std::make_tuple(std::move(R.R1), std::move(R.R2), std::move(R.multi_indices));
        },
        "degrees"_a, "bounds"_a, "n_grid_per_dim"_a = 30);

    m.def(
        "ols",
        [](const Matrix& X_arg, const Vector& y_arg) {
            const MatrixRef& X = X_arg.get("ols", "X");
            const VectorRef& y = y_arg.get("ols", "y");
            korva::require_rows_match("ols", "X", X.rows(), y.size());
            return korva::ols(X, y);
        },
        "X"_a, "y"_a);

    m.def(
        "fit_regularized_linear",
        [](const DesignMatrix& Phi, const Vector& y_arg, const py::object& R1, const py::object& R2, double gamma1,
           double gamma2, double ridge) {
            Phi.complex.refuse("fit_regularized_linear", "Phi");
            const VectorRef& y = y_arg.get("fit_regularized_linear", "y");
            std::optional<MatrixXd> r1, r2;
            const auto [p1, p2] = checked_penalties("fit_regularized_linear", "Phi", Phi.rows(), Phi.cols(), y.size(),
                                                    R1, R2, gamma1, gamma2, r1, r2);
            if (Phi.row_major) return korva::fit_regularized_linear(*Phi.row_major, y, p1, p2, gamma1, gamma2, ridge);
            return korva::fit_regularized_linear(Phi.cols_view(), y, p1, p2, gamma1, gamma2, ridge);
        },
        "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0, "gamma2"_a = 0.0,
        "ridge"_a = 1e-10);

    using korva::GibbsResult;
    // The records' fields and the sampler's fit read `self` through Constructed, which
    // refuses an instance made by __new__ alone.
    using Gibbs = korva::binding::Constructed<GibbsResult>;
    py::class_<GibbsResult>(m, "GibbsResult")
        .def_property_readonly("H", [](const Gibbs& self) { return self->H; })
        .def_property_readonly("Hmax", [](const Gibbs& self) { return self->Hmax; })
        .def_property_readonly("He", [](const Gibbs& self) { return self->He; })
        .def_property_readonly("r_heat", [](const Gibbs& self) { return self->r_heat; })
        .def_property_readonly("var_E", [](const Gibbs& self) { return self->var_E; })
        .def_property_readonly("T", [](const Gibbs& self) { return self->T; });

    m.def(
        "gibbs_entropy",
        [](const Vector& energies, double T) {
            return korva::gibbs_entropy(energies.get("gibbs_entropy", "energies"), T);
        },
        "energies"_a, "T"_a = 1.0);

    using korva::MCMCResult;
    using Result = korva::binding::Constructed<MCMCResult>;
    py::class_<MCMCResult>(m, "MCMCResult")
        .def_property_readonly(
            "beta_mcmc", [](const Result& self) -> const VectorXd& { return self->beta_mcmc; },
            py::return_value_policy::reference_internal)
        .def_property_readonly("energy", [](const Result& self) { return self->energy; })
        .def_property_readonly(
            "gibbs", [](const Result& self) -> const GibbsResult& { return self->gibbs; },
            py::return_value_policy::reference_internal)
        .def_property_readonly("n_chains", [](const Result& self) { return self->n_chains; })
        .def_property_readonly("n_elite", [](const Result& self) { return self->n_elite; });

    using korva::TournamentMCMC;
    py::class_<TournamentMCMC>(m, "TournamentMCMC")
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), "n_chains"_a = 25, "n_warmup"_a = 200,
             "n_deep"_a = 2000, "n_elite"_a = 5, "step_size"_a = 0.05, "H_piH"_a = 20, "seed"_a = 42)
        .def(
            "fit",
            [](const korva::binding::Constructed<TournamentMCMC>& self, const Matrix& X_arg, const Vector& y_arg,
               const py::object& R1, const py::object& R2, double gamma1, double gamma2) {
                const MatrixRef& X = X_arg.get("TournamentMCMC.fit", "X");
                const VectorRef& y = y_arg.get("TournamentMCMC.fit", "y");
                std::optional<MatrixXd> r1, r2;
                const auto [p1, p2] = checked_penalties("TournamentMCMC.fit", "X", X.rows(), X.cols(), y.size(), R1, R2,
                                                        gamma1, gamma2, r1, r2);
                return interruptible([&, p1 = p1, p2 = p2](const korva::StopCheck& stop) {
                    return self->fit(X, y, p1, p2, gamma1, gamma2, stop);
                });
            },
            "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0, "gamma2"_a = 0.0);
}
