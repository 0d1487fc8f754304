// Writing a results table (a pandas DataFrame) as CSV without pandas' writer:
// the frame's columns are copied into the CSV kernel, formatted with the GIL
// released and written to a file that replaces the old one only when complete.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>

#include "bindings/support/common.hpp"
#include "kernels/text/csv_write.hpp"

namespace qm::py {
using namespace nb::literals;
namespace {

using qm::text::CsvColumn;
using qm::text::CsvTable;

nb::object import(const char* name) { return nb::module_::import_(name); }

// A numpy array as a contiguous 1-D array of T (copied by numpy when needed).
template <typename T>
std::vector<T> array_values(nb::handle np, nb::handle values, const char* dtype) {
    nb::object a = np.attr("ascontiguousarray")(values, "dtype"_a = dtype);
    auto view = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(a);
    return std::vector<T>(view.data(), view.data() + view.shape(0));
}

// Host text of one object cell: missing values (None, NaN) are empty, floats
// get the shortest round-trip text, everything else its str().
void append_cell(std::string& out, nb::handle v) {
    PyObject* o = v.ptr();
    if (o == Py_None) return;
    if (PyFloat_Check(o)) {
        double d = PyFloat_AS_DOUBLE(o);
        if (d == d) qm::text::append_shortest(out, d);
        return;
    }
    out += to_text(v);
}

CsvColumn column_of(nb::handle np, nb::handle series, std::string header) {
    CsvColumn c;
    c.header = std::move(header);
    nb::object values = series.attr("to_numpy")();
    std::string kind = nb::cast<std::string>(values.attr("dtype").attr("kind"));
    size_t item = nb::cast<size_t>(values.attr("dtype").attr("itemsize"));
    if (kind == "f" && item <= 8) {
        c.numbers = array_values<double>(np, values, "float64");
        if (item == 4) {
            c.kind = CsvColumn::Kind::f32;
        } else {
            // A column holding only floats widened to doubles (values read as
            // floats, such as the weather table's) is written as floats.
            bool all32 = true;
            for (double d : c.numbers) all32 = all32 && qm::text::is_float32_exact(d);
            c.kind = all32 ? CsvColumn::Kind::f32 : CsvColumn::Kind::f64;
        }
        return c;
    }
    if ((kind == "i" || kind == "u") && !(kind == "u" && item == 8)) {
        c.kind = CsvColumn::Kind::i64;
        c.integers = array_values<int64_t>(np, values, "int64");
        return c;
    }
    c.kind = CsvColumn::Kind::text;
    nb::object items = values.attr("tolist")();
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    c.cells.resize(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) append_cell(c.cells[size_t(i)], PyList_GET_ITEM(items.ptr(), i));
    return c;
}

}  // namespace

void write_results_csv(nb::handle frame, nb::handle path) {
    nb::object np = import("numpy"), pd = import("pandas"), os_mod = import("os");
    if (!PyObject_IsInstance(frame.ptr(), pd.attr("DataFrame").ptr()))
        raise(PyExc_TypeError, std::string("write_csv: frame 应为 pandas.DataFrame，实际为 ") + host_type_name(frame));
    nb::object fspath = os_mod.attr("fspath")(path);
    nb::bytes encoded = nb::borrow<nb::bytes>(os_mod.attr("fsencode")(fspath));
    std::string target(encoded.c_str(), encoded.size());

    CsvTable table;
    nb::object index = frame.attr("index");
    if (PyObject_IsInstance(index.ptr(), pd.attr("DatetimeIndex").ptr())) {
        // Wall-clock times of the index (in its own time zone), whole seconds.
        nb::object wall = index.attr("tz").is_none() ? index : index.attr("tz_localize")(nb::none());
        nb::object secs = wall.attr("to_numpy")().attr("astype")("datetime64[s]").attr("view")("int64");
        table.times = array_values<int64_t>(np, secs, "int64");  // NaT is INT64_MIN, written empty
        table.has_times = true;
        nb::object name = index.attr("name");
        table.time_header = name.is_none() ? "timestamp" : to_text(name);
    }
    nb::object columns = check(PySequence_List(frame.attr("columns").ptr()));
    nb::object iloc = frame.attr("iloc");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.ptr()); ++i) {
        nb::object series = iloc[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::int_(i))];
        table.columns.push_back(column_of(np, series, to_text(PyList_GET_ITEM(columns.ptr(), i))));
    }

    std::string text;
    qm::text::CsvError fe;
    qm::text::WriteError we;
    int err = 0;
    {
        nb::gil_scoped_release release;
        fe = qm::text::format_csv(table, text);
        we = fe == qm::text::CsvError::none ? qm::text::write_file_replacing(target, text, err)
                                            : qm::text::WriteError::none;
    }
    if (fe != qm::text::CsvError::none) raise(PyExc_ValueError, std::string("write_csv: ") + qm::text::csv_error_text(fe));
    if (we != qm::text::WriteError::none) {
        nb::object exc = check(PyObject_CallFunction(PyExc_OSError, "isO", err, std::strerror(err), fspath.ptr()));
        PyErr_SetObject((PyObject*)Py_TYPE(exc.ptr()), exc.ptr());
        throw nb::python_error();
    }
}

void bind_results_csv(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.core.manager");
    scope.def("write_csv", &write_results_csv, nb::arg("frame"), nb::arg("path"),
          nb::sig("def write_csv(frame: pandas.DataFrame, path: str | os.PathLike[str]) -> None"),
          "Writes a results DataFrame as CSV: a DatetimeIndex as the first column (wall-clock time of its time "
          "zone, named after the index, \"timestamp\" by default), then every column. Numbers get the shortest "
          "text that reads back to the same value; a column whose values are all floats widened to doubles is "
          "written with the shortest float text (20.1, not 20.100000381469727). Missing values are empty. The "
          "file is written beside its final place and renamed over it once complete.");
    m.attr("write_csv") = scope.attr("write_csv");
    scope.def(
        "write_text_file",
        [](nb::handle path, const std::string& text) {
            nb::object os_mod = import("os");
            nb::object fspath = os_mod.attr("fspath")(path);
            nb::bytes encoded = nb::borrow<nb::bytes>(os_mod.attr("fsencode")(fspath));
            std::string target(encoded.c_str(), encoded.size());
            int err = 0;
            qm::text::WriteError we;
            {
                nb::gil_scoped_release release;
                we = qm::text::write_file_replacing(target, text, err);
            }
            if (we != qm::text::WriteError::none) {
                nb::object exc = check(PyObject_CallFunction(PyExc_OSError, "isO", err, std::strerror(err), fspath.ptr()));
                PyErr_SetObject((PyObject*)Py_TYPE(exc.ptr()), exc.ptr());
                throw nb::python_error();
            }
        },
        nb::arg("path"), nb::arg("text"),
        nb::sig("def write_text_file(path: str | os.PathLike[str], text: str) -> None"),
        "Writes text (UTF-8) to a file beside path and renames it over path once complete: readers see the old "
        "file or the whole new one.");
    m.attr("write_text_file") = scope.attr("write_text_file");
}

}  // namespace qm::py
