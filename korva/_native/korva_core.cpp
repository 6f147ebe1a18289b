// The korva_core extension: converts Python arguments, checks their sizes,
// calls the computations of the headers beside this file and registers
// everything in the module's fixed order.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "argument_checks.hpp"
#include "basis.hpp"
#include "ensemble.hpp"
#include "scoring.hpp"
#include "solvers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using Eigen::MatrixXd;
using Eigen::VectorXd;

static_assert(PYBIND11_INTERNALS_VERSION == 11,
              "korva_core is built against pybind11 3.0 (internals version 11); "
              "a newer pybind11 was picked up");

namespace {

// None means the penalty is absent; anything else is copied into `storage`.
// A failed conversion raises pybind11's cast error (RuntimeError).
const MatrixXd* optional_matrix(const py::object& obj, std::optional<MatrixXd>& storage) {
    if (obj.is_none()) return nullptr;
    storage = obj.cast<MatrixXd>();
    return &*storage;
}

std::string beta_length(const VectorXd& beta) {
    return "beta has " + std::to_string(beta.size()) + " elements";
}

std::string column_count(const char* design, const MatrixXd& X) {
    return std::string(design) + " has " + std::to_string(X.cols()) + " columns";
}

}  // namespace

PYBIND11_MODULE(korva_core, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "KORVA-P performans-kritik cekirdegi (C++/Eigen).";

    m.def("mad", [](const VectorXd& y) { return korva::mad(y); }, "y"_a);

    m.def(
        "compute_sr",
        [](const VectorXd& yp, const VectorXd& yt, double eps) {
            korva::require_covers("compute_sr", yp, yt);
            return korva::compute_SR(yp, yt, eps);
        },
        "yp"_a, "yt"_a, "eps"_a);

    m.def(
        "mdl_score",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H) {
            korva::require_covers("mdl_score", yp, yt);
            return korva::mdl_score(yp, yt, k, H, nullptr, nullptr);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a = 20);

    m.def(
        "mdl_score_reg",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd& beta, const MatrixXd& R1,
           const MatrixXd& R2, double gamma1, double gamma2) {
            korva::require_covers("mdl_score_reg", yp, yt);
            korva::require_penalty_shape("mdl_score_reg", "R1", &R1, gamma1, beta.size(), beta_length(beta));
            korva::require_penalty_shape("mdl_score_reg", "R2", &R2, gamma2, beta.size(), beta_length(beta));
            const korva::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return korva::mdl_score(yp, yt, k, H, &beta, &pen);
        },
        "yp"_a, "yt"_a, "k"_a, "H"_a, "beta"_a, "R1"_a, "R2"_a, "gamma1"_a = 0.0, "gamma2"_a = 0.0);

    m.def("design_matrix_1d", &korva::design_matrix_1d, "deg"_a, "x"_a);

    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max, int n_grid) {
            korva::PenaltyMatrices1D R = korva::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            return std::make_tuple(std::move(R.R1), std::move(R.R2));
        },
        "deg"_a, "x_min"_a, "x_max"_a, "n_grid"_a = 600);

    m.def("boundary_reduce_1d", &korva::boundary_reduce_1d, "deg"_a, "x_min"_a, "x_max"_a);

    m.def(
        "design_matrix_nd",
        [](const korva::MultiIndexList& multi_indices, const std::vector<VectorXd>& X_cols) {
            korva::require_design_inputs(multi_indices, X_cols);
            return korva::design_matrix_nd(multi_indices, X_cols);
        },
        "multi_indices"_a, "X_cols"_a);

    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim) {
            korva::PenaltyMatricesND R = korva::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            return std::make_tuple(std::move(R.R1), std::move(R.R2), std::move(R.multi_indices));
        },
        "degrees"_a, "bounds"_a, "n_grid_per_dim"_a = 30);

    m.def(
        "ols",
        [](const MatrixXd& X, const VectorXd& y) {
            korva::require_rows_match("ols", "X", X, y);
            return korva::ols(X, y);
        },
        "X"_a, "y"_a);

    m.def(
        "fit_regularized_linear",
        [](const MatrixXd& Phi, const VectorXd& y, const py::object& R1, const py::object& R2, double gamma1,
           double gamma2, double ridge) {
            std::optional<MatrixXd> r1, r2;
            const MatrixXd* p1 = optional_matrix(R1, r1);
            const MatrixXd* p2 = optional_matrix(R2, r2);
            korva::require_rows_match("fit_regularized_linear", "Phi", Phi, y);
            korva::require_penalty_shape("fit_regularized_linear", "R1", p1, gamma1, Phi.cols(),
                                         column_count("Phi", Phi));
            korva::require_penalty_shape("fit_regularized_linear", "R2", p2, gamma2, Phi.cols(),
                                         column_count("Phi", Phi));
            return korva::fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge);
        },
        "Phi"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0, "gamma2"_a = 0.0,
        "ridge"_a = 1e-10);

    using korva::GibbsResult;
    py::class_<GibbsResult>(m, "GibbsResult")
        .def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T);

    m.def("gibbs_entropy", &korva::gibbs_entropy, "energies"_a, "T"_a = 1.0);

    using korva::MCMCResult;
    py::class_<MCMCResult>(m, "MCMCResult")
        .def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
        .def_readonly("energy", &MCMCResult::energy)
        .def_readonly("gibbs", &MCMCResult::gibbs)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite);

    using korva::TournamentMCMC;
    py::class_<TournamentMCMC>(m, "TournamentMCMC")
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), "n_chains"_a = 25, "n_warmup"_a = 200,
             "n_deep"_a = 2000, "n_elite"_a = 5, "step_size"_a = 0.05, "H_piH"_a = 20, "seed"_a = 42)
        .def(
            "fit",
            [](const TournamentMCMC& self, const MatrixXd& X, const VectorXd& y, const py::object& R1,
               const py::object& R2, double gamma1, double gamma2) {
                std::optional<MatrixXd> r1, r2;
                const MatrixXd* p1 = optional_matrix(R1, r1);
                const MatrixXd* p2 = optional_matrix(R2, r2);
                korva::require_rows_match("TournamentMCMC.fit", "X", X, y);
                korva::require_penalty_shape("TournamentMCMC.fit", "R1", p1, gamma1, X.cols(), column_count("X", X));
                korva::require_penalty_shape("TournamentMCMC.fit", "R2", p2, gamma2, X.cols(), column_count("X", X));
                return self.fit(X, y, p1, p2, gamma1, gamma2);
            },
            "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0, "gamma2"_a = 0.0);
}
