// tavri._tavri: the engine for Python. One function runs tavri::Cluster on a
// C-contiguous float64 matrix and returns what the estimator keeps.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "tavri/tavri.hpp"

namespace py = pybind11;

namespace {

// Hands a vector to numpy without copying it: the array's base owns it.
template <class T>
py::array_t<T> Give(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    T* data = owned->data();
    py::capsule base(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    owned.release();  // the capsule deletes it from here on
    return py::array_t<T>(std::move(shape), data, base);
}

template <class T>
py::array_t<T> Give(std::vector<T>&& values) {
    const auto size = static_cast<py::ssize_t>(values.size());
    return Give(std::move(values), {size});
}

// The standardised coordinates of the clustered points, row after row.
std::vector<double> ClusteredPoints(const tavri::Result& result, std::size_t cols) {
    std::vector<double> points;
    points.reserve(result.clustered_rows.size() * cols);
    for (const int row : result.clustered_rows) {
        const double* first = result.standardised.data() + static_cast<std::size_t>(row) * cols;
        points.insert(points.end(), first, first + cols);
    }
    return points;
}

py::dict Cluster(const py::array_t<double, py::array::c_style | py::array::forcecast>& data, double u,
                 bool attach_noise, bool sampling) {
    if (data.ndim() != 2) throw py::value_error("expected a 2-D array of rows x columns");
    const auto rows = static_cast<std::size_t>(data.shape(0));
    const auto cols = static_cast<std::size_t>(data.shape(1));
    tavri::Options options;
    options.u = u;
    options.attach_noise = attach_noise;
    options.sampling = sampling;

    tavri::Result result;
    std::vector<double> points;
    {
        // The engine reads only its own copy of the values and keeps no
        // shared state, so other Python threads may run meanwhile.
        py::gil_scoped_release release;
        result = tavri::Cluster(data.data(), rows, cols, options);
        points = ClusteredPoints(result, cols);
        std::vector<double>().swap(result.standardised);  // the full copy is not kept
    }

    const auto n_points = static_cast<py::ssize_t>(result.clustered_rows.size());
    py::dict out;
    out["labels"] = Give(std::move(result.labels));
    out["n_clusters"] = result.n_clusters;
    out["has_noise"] = result.has_noise;
    out["mean"] = Give(std::move(result.mean));
    out["scale"] = Give(std::move(result.scale));
    out["clustered_rows"] = Give(std::move(result.clustered_rows));
    out["populations"] = Give(std::move(result.populations));
    out["densities"] = Give(std::move(result.densities));
    out["point_labels"] = Give(std::move(result.point_labels));
    out["points"] = Give(std::move(points), {n_points, static_cast<py::ssize_t>(cols)});
    return out;
}

}  // namespace

PYBIND11_MODULE(_tavri, m) {
    m.doc() = "The Tavri clustering engine (use the tavri package rather than this module).";

    // Refusals of the engine are bad input; running out of memory keeps the
    // C++ message.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const tavri::Error& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::bad_alloc& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });

    m.def("cluster", &Cluster, py::arg("data"), py::arg("u"), py::arg("attach_noise"), py::arg("sampling"),
          "Clusters the rows of a 2-D float64 array. Returns a dict: labels (-1 for noise), n_clusters, "
          "has_noise, mean, scale, clustered_rows, populations, densities, point_labels and points (the "
          "standardised coordinates of the clustered points).");
    m.def("version", &tavri::Version, "The version of the engine, \"MAJOR.MINOR.PATCH\".");
}
