// What the bindings of korva's compiled modules share beyond the conversions
// of casters.hpp: the optional penalty matrices and the Ctrl-C polling of
// long calls. Only the modules' binding sources include this.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

#include "argument_checks.hpp"
#include "casters.hpp"
#include "common.hpp"

namespace korva {
namespace binding __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // None means the penalty is absent; anything else is copied into `storage`.
    // Complex input raises TypeError; another failed conversion raises pybind11's
    // cast error (RuntimeError) with its usual start, which names the type
    // received, followed by the argument's name.
    inline const MatrixXd* optional_matrix(const char* fn, const char* name, const py::object& obj,
                                           std::optional<MatrixXd>& storage) {
        if (obj.is_none()) return nullptr;
        ComplexInput complex;
        const py::object array = array_to_convert(obj, true, complex);
        complex.refuse(fn, name);
        py::detail::make_caster<MatrixXd> caster;
        if (!caster.load(array, true))
            throw py::cast_error("Unable to cast Python instance of type " +
                                 std::string(py::str(py::type::handle_of(obj))) + " to a float64 matrix: " + name +
                                 " of " + fn + " must be None or a 2-D array of real numbers");
        storage = std::move(*py::detail::cast_op<MatrixXd*>(caster));
        return &*storage;
    }

    inline std::string column_count(const char* design, Eigen::Index cols) {
        return std::string(design) + " has " + std::to_string(cols) + " columns";
    }

    // The optional penalty pair of a fit, resolved into `r1`/`r2`, with every size
    // checked against the design (`design` names it in messages).
    inline std::pair<const MatrixXd*, const MatrixXd*> checked_penalties(
        const char* fn, const char* design, Eigen::Index rows, Eigen::Index cols, Eigen::Index y_size,
        const py::object& R1, const py::object& R2, double gamma1, double gamma2, std::optional<MatrixXd>& r1,
        std::optional<MatrixXd>& r2) {
        const MatrixXd* p1 = optional_matrix(fn, "R1", R1, r1);
        const MatrixXd* p2 = optional_matrix(fn, "R2", R2, r2);
        require_rows_match(fn, design, rows, y_size);
        require_penalty_shape(fn, "R1", p1, gamma1, cols, column_count(design, cols));
        require_penalty_shape(fn, "R2", p2, gamma2, cols, column_count(design, cols));
        return {p1, p2};
    }

    // Long computations poll for Ctrl-C on the calling thread, which holds the GIL.
    // A pending KeyboardInterrupt stops them and is re-raised as it stands.
    template <class Compute>
    auto interruptible(Compute && compute) {
        const StopCheck python_signals([] { return PyErr_CheckSignals() != 0; });
        try {
            return compute(python_signals);
        } catch (const Interrupted&) {
            throw py::error_already_set();
        }
    }

    // An instance of a bound class T as a method's `self` or an argument: the caster below
    // refuses an instance whose __init__ never ran (made by T.__new__ alone), which holds no
    // T, before anything reads it.
    template <class T>
    struct Constructed {
        const T* object = nullptr;

        const T& operator*() const { return *object; }
        const T* operator->() const { return object; }
    };

}  // namespace binding
}  // namespace korva

namespace pybind11::detail {

template <class T>
struct type_caster<korva::binding::Constructed<T>> {
    PYBIND11_TYPE_CASTER(korva::binding::Constructed<T>, make_caster<T>::name);

    bool load(handle src, bool) {
        const type_info* info = get_type_info(typeid(T));
        if (info == nullptr || !PyObject_TypeCheck(src.ptr(), info->type)) return false;
        const value_and_holder held = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(info);
        // A pointer to the C++ object, owned or (for a reference into another object) not;
        // none until __init__ runs.
        value.object = held.template value_ptr<T>();
        if (value.object == nullptr)
            throw type_error(std::string(info->type->tp_name) +
                             ": this instance was never initialised (it was made by __new__ alone) and holds nothing");
        return true;
    }
};

}  // namespace pybind11::detail
