// Conversions of korva_core's arguments and results: array arguments read in
// place where their layout allows, complex input refused by name, and large
// results handed to NumPy without a copy. Only the binding sources include this.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "paged_matrix.hpp"

// Hidden, as pybind11's own types are, since these hold some of them.
namespace korva {
namespace binding __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // Complex input met while converting an array argument. Converting it to
    // float64 would drop the imaginary parts with no more than a warning, so it
    // is not converted: the binding refuses it by name when it reads the argument.
    struct ComplexInput {
        std::string dtype;  // the complex dtype met, empty for real input
        std::string part;   // where within the argument, e.g. "[2]" for its third column

        void refuse(const char* fn, const char* name) const {
            if (dtype.empty()) return;
            const std::string arg = name + part;
            throw py::type_error(std::string(fn) + ": " + arg + " holds complex numbers (" + dtype +
                                 "), whose imaginary parts would be lost; pass real values, such as numpy.real(" + arg +
                                 ") or numpy.abs(" + arg + ")");
        }
    };

    // What the conversion of an array argument reads: src itself when it is a
    // NumPy array, else the array NumPy makes of it with the dtype it finds (so
    // that a list is still converted once), or src unchanged when NumPy makes
    // none (the conversion then refuses it as before). A complex dtype is noted
    // in `complex`.
    inline py::object array_to_convert(py::handle src, bool convert, ComplexInput& complex) {
        py::object array = py::reinterpret_borrow<py::object>(src);
        if (!py::array::check_(src)) {
            if (!convert) return array;
            py::array made = py::array::ensure(src);
            if (!made) return array;
            array = std::move(made);
        }
        const py::dtype dtype = py::reinterpret_borrow<py::array>(array).dtype();
        if (dtype.kind() == 'c') complex.dtype = py::str(dtype);
        return array;
    }

    // An array argument converted as T is, unless it is complex; `get` reads it.
    template <class T>
    struct RealArray {
        ComplexInput complex;
        std::shared_ptr<py::detail::make_caster<T>> caster;  // shared, so that the value may be moved

        const T& get(const char* fn, const char* name) const {
            complex.refuse(fn, name);
            return *py::detail::cast_op<T*>(*caster);
        }
    };

    // A design matrix read in place: a C-ordered float64 array (also one that
    // NumPy makes of a list) as a row-major view, anything else through the usual
    // column-major conversion.
    struct DesignMatrix {
        ComplexInput complex;
        std::optional<Eigen::Map<const korva::RowMatrixXd>> row_major;
        std::shared_ptr<py::detail::make_caster<MatrixRef>> col_major;  // owns a converted copy, if one was made
        py::object keep_alive;

        Eigen::Index rows() const { return row_major ? row_major->rows() : cols_view().rows(); }
        Eigen::Index cols() const { return row_major ? row_major->cols() : cols_view().cols(); }
        const MatrixRef& cols_view() const { return *py::detail::cast_op<MatrixRef*>(*col_major); }
    };

    // Input columns read in place where they already are aligned, contiguous
    // float64 vectors in a plain list or tuple; any other column goes through the
    // usual vector conversion into `copies`, and any other container through the
    // usual list conversion, so that the same arguments are accepted (complex
    // columns are refused).
    struct ColumnList {
        ComplexInput complex;  // the first complex column, when there is one; the columns after it are not read
        std::vector<VectorRef> views;
        std::vector<py::array> in_place;                // the arrays viewed, kept alive with the views
        std::vector<std::unique_ptr<VectorXd>> copies;  // converted columns, at fixed addresses

        void add_copy(VectorXd column) {
            copies.push_back(std::make_unique<VectorXd>(std::move(column)));
            views.emplace_back(*copies.back());
        }
    };

    // Arrays built over a byte buffer at an odd offset are converted, not read in place.
    inline bool is_aligned(const void* data) { return reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0; }

}  // namespace binding
}  // namespace korva

namespace pybind11::detail {

template <class T>
struct type_caster<korva::binding::RealArray<T>> {
    PYBIND11_TYPE_CASTER(korva::binding::RealArray<T>, make_caster<T>::name);

    bool load(handle src, bool convert) {
        const object converted = korva::binding::array_to_convert(src, convert, value.complex);
        if (!value.complex.dtype.empty()) return true;  // refused when read
        value.caster = std::make_shared<make_caster<T>>();
        return value.caster->load(converted, convert);
    }
};

template <>
struct type_caster<korva::binding::DesignMatrix> {
    PYBIND11_TYPE_CASTER(korva::binding::DesignMatrix, make_caster<Eigen::MatrixXd>::name);

    bool load(handle src, bool convert) {
        const object converted = korva::binding::array_to_convert(src, convert, value.complex);
        if (!value.complex.dtype.empty()) return true;  // refused when read
        src = converted;
        if (array_t<double>::check_(src)) {
            const auto a = reinterpret_borrow<array>(src);
            const int layout = a.flags() & (array::c_style | array::f_style);
            if (a.ndim() == 2 && layout == array::c_style && korva::binding::is_aligned(a.data())) {
                value.row_major.emplace(static_cast<const double*>(a.data()), a.shape(0), a.shape(1));
                value.keep_alive = a;
                return true;
            }
        }
        value.col_major = std::make_shared<make_caster<korva::MatrixRef>>();
        return value.col_major->load(src, convert);
    }
};

// A large result becomes a new F-contiguous float64 array that owns the
// storage (freed with it), shown in signatures as any returned matrix.
template <>
struct type_caster<korva::PagedMatrix> {
    static constexpr auto name = make_caster<Eigen::MatrixXd>::name;

    static handle cast(korva::PagedMatrix&& m, return_value_policy, handle) {
        const ssize_t rows = m.rows(), cols = m.cols(), step = sizeof(double);
        capsule owner(m.view().data(), [](void* p) { std::free(p); });
        double* data = m.release();  // now owned by `owner`
        return array_t<double>({rows, cols}, {step, step * rows}, data, owner).release();
    }
};

template <>
struct type_caster<korva::binding::ColumnList> {
    using Column = korva::binding::RealArray<Eigen::VectorXd>;
    PYBIND11_TYPE_CASTER(korva::binding::ColumnList, make_caster<std::vector<Eigen::VectorXd>>::name);

    bool load(handle src, bool convert) {
        // Subclasses may redefine how their items are reached; they take the usual path.
        if (!PyList_CheckExact(src.ptr()) && !PyTuple_CheckExact(src.ptr())) {
            make_caster<std::vector<Column>> all;
            if (!all.load(src, convert)) return false;
            for (Column& column : cast_op<std::vector<Column>&>(all))
                if (!add_converted(column)) break;
            return true;
        }
        for (handle item : reinterpret_borrow<iterable>(src)) {
            if (array_t<double>::check_(item)) {
                auto a = reinterpret_borrow<array>(item);
                if (a.ndim() == 1 && (a.flags() & array::c_style) && korva::binding::is_aligned(a.data())) {
                    const auto* data = static_cast<const double*>(a.data());
                    value.views.emplace_back(Eigen::Map<const Eigen::VectorXd>(data, a.shape(0)));
                    value.in_place.push_back(std::move(a));
                    continue;
                }
            }
            make_caster<Column> column;
            if (!column.load(item, convert)) return false;
            if (!add_converted(cast_op<Column&>(column))) break;
        }
        return true;
    }

private:
    // Takes a converted column; false, with the column noted, when it is complex.
    bool add_converted(Column& column) {
        if (!column.complex.dtype.empty()) {
            value.complex = column.complex;
            value.complex.part = "[" + std::to_string(value.views.size()) + "]";
            return false;
        }
        value.add_copy(std::move(*cast_op<Eigen::VectorXd*>(*column.caster)));
        return true;
    }
};
}  // namespace pybind11::detail
