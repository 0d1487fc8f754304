// Helpers of the project shading module's binding (shade_exact_files.cpp):
// host paths, whole-file reads and atomic writes, one-line notices, progress.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "bindings/support/common.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/store.hpp"
#include "kernels/shading/sun_grid.hpp"

namespace qm::py::shade_exact_detail {

nb::object str_obj(const std::string& s);
nb::module_ os_path();
bool is_file(nb::handle p);
bool exists(nb::handle p);
// The file-system bytes of a host path (str), for the C++ file functions.
std::string fs_path(nb::handle p);
bool read_whole(const std::string& path, std::string& out);
void remove_if_file(nb::handle p);
// Shortest round-trip text of a number (fingerprint values).
std::string number_text(double v);
// Chinese names of fingerprint keys, joined for a notice.
std::string key_names(const std::vector<std::string>& keys);
// Users' wording of the kernels' errors: a grid's steps ("" when valid; the
// grid is filled), why a stored product is not used, a factor file's fault.
std::string grid_words(double azimuth_step, double altitude_step, shading::SunGrid& grid);
std::string store_words(const shading::StoreLoad& got);
std::string factor_file_words(shading::FactorFileError e, size_t line);
// Saves a product and its fingerprint (kernels/shading/store): "" or the error.
std::string save_product(const std::string& path, const std::string& text, const shading::Fingerprint& fp);
// Saves a table a user names and its fingerprint (store's save_output): "" or the error.
std::string save_table_files(const std::string& path, const std::string& text, const shading::Fingerprint& fp);
// Casts the factors of n sun positions (exact_factors) with progress on the
// terminal (none unless `show`), the GIL released and Ctrl-C honoured; true
// when cancelled (the KeyboardInterrupt is then pending).
bool cast_factors(const char* label, bool show, const geom::Scene& scene, const geom::FaceSet& faces,
                  const double* alt, const double* az, size_t n, double* out);

// Progress on standard error, when it is a terminal; also watches for Ctrl-C,
// which stops the batch (the KeyboardInterrupt is raised once it returns).
struct Progress {
    nb::object stream;
    std::string label;
    std::atomic<bool>* cancel = nullptr;
    static Progress make(const std::string& label) {
        Progress p;
        p.label = label;
        nb::object err = nb::module_::import_("sys").attr("stderr");
        if (err.is_none()) return p;
        try {
            if (PyObject_IsTrue(err.attr("isatty")().ptr()) == 1) p.stream = err;
        } catch (nb::python_error&) {
        }
        return p;
    }
    // Safe to call without the GIL.
    void operator()(size_t done, size_t total) const {
        nb::gil_scoped_acquire gil;
        if (cancel) {
            if (cancel->load()) return;
            if (PyErr_CheckSignals() < 0) {  // the KeyboardInterrupt stays set for the caller
                cancel->store(true);
                return;
            }
        }
        if (!stream.is_valid()) return;
        try {
            std::string line = "\r" + label + ": " + std::to_string(done) + "/" + std::to_string(total) +
                               (done == total ? "\n" : "");
            stream.attr("write")(line);
            stream.attr("flush")();
        } catch (nb::python_error&) {
        }
    }
};

}  // namespace qm::py::shade_exact_detail
