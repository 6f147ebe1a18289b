// The korva_core extension: converts Python arguments, checks their sizes,
// calls the computations of the headers beside this file and registers
// everything in the module's fixed order.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "argument_checks.hpp"
#include "scoring.hpp"

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
}
