// WeatherFeed: reads an hourly weather table once and publishes the values
// of the current simulation hour as five outputs.
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "bindings/support/common.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/core/util.hpp"
#include "kernels/weather/epw_table.hpp"
#include "kernels/text/ascii.hpp"
#include "kernels/text/number_parse.hpp"
#include "kernels/io/file_read.hpp"

namespace qm::py {
namespace {

nb::handle numpy() {
    static PyObject* np = PyImport_ImportModule("numpy");  // kept for the life of the host
    if (!np) throw_pending();
    return np;
}

nb::object float32_dtype() { return numpy().attr("float32"); }

// A new float32 array of the given shape filled from `values` (rows * cols floats).
nb::object new_float32_array(const float* values, size_t rows, size_t cols, bool two_d = true) {
    nb::object shape = two_d ? nb::object(nb::make_tuple(rows, cols)) : nb::object(nb::make_tuple(cols));
    nb::object arr = numpy().attr("empty")(shape, float32_dtype());
    if (rows != 0 && cols != 0) {
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) throw_pending();
        std::memcpy(view.buf, values, rows * cols * sizeof(float));
        PyBuffer_Release(&view);
    }
    return arr;
}

// Read-only view of the `data` table as float32 rows. Refuses anything that
// is not a 2-D float32 buffer with a clear host exception.
class DataView {
public:
    explicit DataView(nb::handle data) {
        if (!PyObject_CheckBuffer(data.ptr())) {
            PyErr_Format(PyExc_TypeError, "WeatherFeed.data must be a 2-D float32 array, got %.200s",
                         host_type_name(data));
            throw_pending();
        }
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_RECORDS_RO) < 0) throw_pending();
        held_ = true;
        const char* fmt = view_.format ? view_.format : "B";
        if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
        if (std::strcmp(fmt, "f") != 0) {
            std::string got = view_.format ? view_.format : "B";
            if (PyObject_HasAttrString(data.ptr(), "dtype")) got = to_text(data.attr("dtype"));
            raise(PyExc_ValueError, "Buffer dtype mismatch: WeatherFeed.data must hold float32 values, got " + got);
        }
        if (view_.ndim != 2) {
            PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 2, got %d)", view_.ndim);
            throw_pending();
        }
        rows_ = view_.shape[0];
        cols_ = view_.shape[1];
    }
    ~DataView() {
        if (held_) PyBuffer_Release(&view_);
    }
    DataView(const DataView&) = delete;
    DataView& operator=(const DataView&) = delete;

    Py_ssize_t rows() const { return rows_; }
    Py_ssize_t cols() const { return cols_; }
    void row(Py_ssize_t i, float* out) const {
        const char* base = static_cast<const char*>(view_.buf) + i * view_.strides[0];
        for (Py_ssize_t k = 0; k < cols_; ++k) std::memcpy(out + k, base + k * view_.strides[1], sizeof(float));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    Py_ssize_t rows_ = 0, cols_ = 0;
};

// The separator as the kernel takes it; `storage` keeps the UTF-8 text alive.
epw::Delimiter delimiter_of(nb::handle delimiter, std::string& storage) {
    epw::Delimiter d;
    if (delimiter.is_none()) {
        d.whitespace = true;
        return d;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(delimiter.ptr(), &size);
    if (!utf8) {
        // A lone surrogate cannot occur in UTF-8 text read from a file: a
        // byte that is never part of valid UTF-8 matches nothing either.
        PyErr_Clear();
        storage = "\xff";
    } else {
        storage.assign(utf8, static_cast<size_t>(size));
    }
    d.sep = storage;
    return d;
}

// target_cols as 64-bit indices (huge values clamp: they lie outside every row).
std::vector<epw::Column> columns_of(nb::handle target_cols) {
    std::vector<epw::Column> cols;
    nb::object it = check(PyObject_GetIter(target_cols.ptr()));  // None: "'NoneType' object is not iterable"
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object index = check(PyNumber_Index(item.ptr()));
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw_pending();
        if (overflow > 0) v = std::numeric_limits<long long>::max();
        if (overflow < 0) v = std::numeric_limits<long long>::min();
        cols.push_back(v);
    }
    if (PyErr_Occurred()) throw_pending();
    return cols;
}

[[noreturn]] void raise_list_index() { raise(PyExc_IndexError, "list index out of range"); }

// The host's own rules for one line (used for text with non-ASCII characters).
nb::object host_strip(nb::handle s) { return check(PyObject_CallMethod(s.ptr(), "strip", nullptr)); }

nb::object host_split(nb::handle s, nb::handle delimiter) {
    return check(PyUnicode_Split(s.ptr(), delimiter.is_none() ? nullptr : delimiter.ptr(), -1));
}

// Values of the columns of a line, by the host's str and float rules.
void host_parse(nb::handle line, nb::handle delimiter, const std::vector<epw::Column>& cols, float* out) {
    nb::object parts = host_split(host_strip(line), delimiter);
    const Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    for (size_t k = 0; k < cols.size(); ++k) {
        epw::Column c = cols[k];
        if (c >= n) {
            out[k] = std::numeric_limits<float>::quiet_NaN();
            continue;
        }
        if (c < 0) c += n;
        if (c < 0) raise_list_index();
        nb::object field = host_strip(PyList_GET_ITEM(parts.ptr(), static_cast<Py_ssize_t>(c)));
        PyObject* number = PyFloat_FromString(field.ptr());
        if (!number) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_pending();
            PyErr_Clear();
            out[k] = std::numeric_limits<float>::quiet_NaN();
            continue;
        }
        double v = PyFloat_AS_DOUBLE(number);
        Py_DECREF(number);
        out[k] = epw::to_float32(v);
    }
}

// Whether a (non-ASCII) line is a data line by the host's rules; the stripped
// line when it is, an invalid object otherwise.
nb::object host_select(nb::handle raw_line, nb::handle delimiter) {
    nb::object line = host_strip(raw_line);
    if (PyUnicode_GET_LENGTH(line.ptr()) == 0 || PyUnicode_READ_CHAR(line.ptr(), 0) == '#') return nb::object();
    nb::object parts = host_split(line, delimiter);
    if (PyList_GET_SIZE(parts.ptr()) < 1) return nb::object();
    nb::object first = host_strip(PyList_GET_ITEM(parts.ptr(), 0));
    nb::object digits = check(PyObject_CallMethod(first.ptr(), "isdigit", nullptr));
    if (digits.ptr() != Py_True || PyUnicode_GET_LENGTH(first.ptr()) != 4) return nb::object();
    return line;
}

// A 1-D float32 array's values (the result of a host parse_line).
void row_values(nb::handle result, std::vector<float>& out) {
    Py_buffer view;
    if (!PyObject_CheckBuffer(result.ptr()) || PyObject_GetBuffer(result.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "parse_line must return a 1-D float32 array, got %.200s",
                     host_type_name(result));
        throw_pending();
    }
    const char* fmt = view.format ? view.format : "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    const bool ok = std::strcmp(fmt, "f") == 0 && view.ndim == 1;
    if (ok) {
        out.resize(static_cast<size_t>(view.shape[0]));
        for (Py_ssize_t k = 0; k < view.shape[0]; ++k)
            std::memcpy(&out[k], static_cast<const char*>(view.buf) + k * view.strides[0], sizeof(float));
    }
    PyBuffer_Release(&view);
    if (!ok) raise(PyExc_ValueError, "parse_line must return a 1-D float32 array");
}

// Rows read from the file, appended to `data` in runs of equal width, with
// the semantics of stacking them one at a time: an empty table is replaced,
// a non-empty one grows below (numpy's vstack, with its errors).
class RowStacker {
public:
    explicit RowStacker(nb::object& data) : data_(data) {}
    void add(const float* values, size_t n) {
        if (rows_ && n != width_) flush();
        width_ = n;
        buffer_.insert(buffer_.end(), values, values + n);
        ++rows_;
    }
    void flush() {
        if (!rows_) return;
        nb::object block = new_float32_array(buffer_.data(), width_ ? rows_ : 1, width_);
        nb::object size = numpy().attr("size")(data_);
        if (nb::cast<Py_ssize_t>(size) == 0)
            data_ = block;
        else
            data_ = numpy().attr("vstack")(nb::make_tuple(data_, block));
        buffer_.clear();
        rows_ = 0;
    }
    size_t total() const { return total_; }
    void count() { ++total_; }

private:
    nb::object& data_;
    std::vector<float> buffer_;
    size_t width_ = 0, rows_ = 0, total_ = 0;
};

PyObject* g_native_parse_line = nullptr;  // the bound WeatherFeed.parse_line (kept for the host's life)

}  // namespace

class WeatherFeed : public SimUnit {
public:
    nb::object filename = nb::str("");
    nb::object delimiter = nb::str(",");
    nb::object target_cols = nb::none();
    nb::object data = nb::none();

    void set_defaults() {
        filename = nb::str("");
        delimiter = nb::str(",");
        target_cols = nb::steal(Py_BuildValue("[iiiii]", 6, 21, 13, 14, 15));
        if (!target_cols.is_valid()) throw_pending();
        data = numpy().attr("empty")(nb::make_tuple(0, 5), float32_dtype());
    }

    nb::object _get_module_info() override;
    void update(nb::handle time, nb::handle state) override;
    void awake(nb::handle state) override;
    virtual void read_file();
    // Internal: the weather values at an hour of the year (wrapped and interpolated).
    virtual std::vector<float> get_data_at_hour(double hour);

    // Host-level parse_line (not in the method table).
    nb::object parse_line(nb::handle line);

    int traverse(visitproc visit, void* arg) override {
        for (nb::object* o : {&filename, &delimiter, &target_cols, &data}) Py_VISIT(o->ptr());
        return SimUnit::traverse(visit, arg);
    }
    void clear() override {
        for (nb::object* o : {&filename, &delimiter, &target_cols, &data}) *o = nb::none();
        SimUnit::clear();
    }
};

class PyWeatherFeed final : public UnitTrampoline<WeatherFeed> {
public:
    void read_file() override { NB_OVERRIDE(read_file); }
};

namespace {
struct OutputKeys {
    Key names[5] = {Key("dry_bulb_temp"), Key("wind_speed"), Key("rad1"), Key("rad2"), Key("rad3")};
    Key file_path{"file_path"};
};
const OutputKeys& output_keys() {
    static OutputKeys* k = new OutputKeys();  // interned for the life of the host
    return *k;
}
}  // namespace

nb::object WeatherFeed::_get_module_info() {
    return module_info_record("WaetherFeed",
                              {{1, "param", "file_path", "string", nb::str(""), "-"},
                               {2, "output", "dry_bulb_temp", "number", nb::float_(0.0), "c"},
                               {3, "output", "wind_speed", "number", nb::float_(0.0), "m/s"},
                               {4, "output", "rad1", "number", nb::float_(0.0), "w/m2"},
                               {5, "output", "rad2", "number", nb::float_(0.0), "w/m2"},
                               {6, "output", "rad3", "number", nb::float_(0.0), "w/m2"}},
                              3, "EPW天气参数模块");
}

// The project values awake reads, in in_file_params order.
ModuleDeclaration weather_feed_declaration() {
    ModuleDeclaration d;
    // in_file_params[1] (missing_codes) is the manager's, the reader takes entry 0 only.
    d.values = {required_value("file", ValueKind::weather), optional_flag("missing_codes", true)};
    // EPW missing-value codes of the columns read (target_cols 6, 21, 13, 14, 15).
    d.missing_codes = {{"dry_bulb_temp", 99.9}, {"wind_speed", 999.0}, {"rad1", 9999.0}, {"rad2", 9999.0},
                       {"rad3", 9999.0}};
    d.missing_codes_flag = "missing_codes";
    return d;
}

void WeatherFeed::awake(nb::handle) {
    try {
        nb::object entry = check(PyObject_GetItem(in_file_params.ptr(), nb::int_(0).ptr()));
        nb::object path = convert_to_valid_path(entry);
        set_record_value(params, output_keys().file_path, path);
        nb::object stored = record_value(params, output_keys().file_path);
        if (!stored.is_none() && !PyUnicode_Check(stored.ptr())) raise_expected("str", stored);
        filename = stored;
        print("天气文件路径:", filename);
        read_file();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        print("处理天气模块 的 输入文件参数错误");
    }
}

void WeatherFeed::read_file() {
    // 1. The whole file, which must be a regular file (a device or FIFO
    // might never end) read with plain reads; it must be valid UTF-8.
    if (filename.is_none()) raise(PyExc_TypeError, "expected str, bytes or os.PathLike object, not NoneType");
    const std::string path = fs_path(filename, "filename");
    io::FileText file;
    io::FileStamp stamp;
    io::ReadStatus st;
    {
        nb::gil_scoped_release unlocked;
        st = file.open(path, stamp);
    }
    if (st == io::ReadStatus::not_regular)
        raise(PyExc_OSError, "不是普通文件（设备、管道或套接字不读取）: " + to_text(check(PyObject_Repr(filename.ptr()))));
    if (st == io::ReadStatus::changed)
        raise(PyExc_OSError, "文件在读取过程中被修改，请在写入完成后重试: " + to_text(check(PyObject_Repr(filename.ptr()))));
    if (st != io::ReadStatus::ok) {
        errno = file.error() ? file.error() : EIO;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
        throw nb::python_error();
    }
    const char* utf8 = file.text().data();
    const Py_ssize_t size = static_cast<Py_ssize_t>(file.text().size());
    const bool ascii = text::is_ascii(std::string_view(utf8, static_cast<size_t>(size)));
    if (!ascii) check(PyUnicode_DecodeUTF8(utf8, size, "strict"));  // the host's UnicodeDecodeError when invalid

    // 2. Line selection and (unless parse_line is redefined) parsing in C++.
    nb::object delim_obj = delimiter;
    std::string delim_storage;
    epw::Delimiter delim = delimiter_of(delim_obj, delim_storage);
    nb::object bound_parse = nb::getattr(handle(), "parse_line");
    nb::object parse_func = nb::getattr(bound_parse, "__func__", nb::none());
    const bool native_parse = parse_func.ptr() == g_native_parse_line;
    std::vector<epw::Column> cols;
    if (native_parse) cols = columns_of(target_cols);

    epw::Table table;
    {
        nb::gil_scoped_release unlocked;  // `text` keeps the buffer alive
        epw::read_table(std::string_view(utf8, static_cast<size_t>(size)), delim, cols.data(), cols.size(), table,
                        ascii);
    }

    // Common case: every line was judged and parsed in C++: one block.
    bool any_deferred = false;
    for (const epw::Entry& entry : table.entries) any_deferred |= entry.deferred;
    if (native_parse && !any_deferred && table.error == epw::TableError::none) {
        if (table.entries.empty()) raise(PyExc_ValueError, "文件中没有有效数据行");
        nb::object block = cols.empty() ? new_float32_array(nullptr, 1, 0)
                                        : new_float32_array(table.values.data(), table.entries.size(), cols.size());
        if (nb::cast<Py_ssize_t>(numpy().attr("size")(data)) == 0)
            data = block;
        else
            data = numpy().attr("vstack")(nb::make_tuple(data, block));
        data = numpy().attr("asarray")(data, nb::arg("dtype") = float32_dtype());
        return;
    }

    // Lines whose text needs the host's rules are judged now, in file order.
    struct Accepted {
        size_t entry;
        nb::object line;  // stripped line for host parsing (invalid: use the kernel's values)
    };
    std::vector<Accepted> accepted;
    const size_t judged = table.error == epw::TableError::none ? table.entries.size() : table.error_entry;
    accepted.reserve(judged);
    for (size_t e = 0; e < judged; ++e) {
        const epw::Entry& entry = table.entries[e];
        if (!entry.deferred) {
            accepted.push_back({e, nb::object()});
            continue;
        }
        nb::object raw = check(PyUnicode_DecodeUTF8(utf8 + entry.begin, static_cast<Py_ssize_t>(entry.length), "strict"));
        nb::object line = host_select(raw, delim_obj);
        if (line.is_valid()) accepted.push_back({e, line});
    }
    if (table.error == epw::TableError::empty_separator) raise(PyExc_ValueError, "empty separator");
    if (accepted.empty() && table.error == epw::TableError::none) raise(PyExc_ValueError, "文件中没有有效数据行");

    // 3. Rows appended to `data` in file order.
    RowStacker stacker(data);
    std::vector<float> row;
    try {
        for (const Accepted& a : accepted) {
            const epw::Entry& entry = table.entries[a.entry];
            if (native_parse) {
                if (!a.line.is_valid()) {
                    stacker.add(table.values.data() + a.entry * cols.size(), cols.size());
                } else {
                    row.resize(cols.size());
                    host_parse(a.line, delim_obj, cols, row.data());
                    stacker.add(row.data(), row.size());
                }
            } else {
                nb::object line = a.line.is_valid()
                                      ? a.line
                                      : check(PyUnicode_DecodeUTF8(utf8 + entry.begin,
                                                                   static_cast<Py_ssize_t>(entry.length), "strict"));
                nb::object result = bound_parse(line);
                row_values(result, row);
                stacker.add(row.data(), row.size());
            }
        }
        if (table.error == epw::TableError::index_out_of_range) raise_list_index();
    } catch (...) {
        // The rows before the failing one stay appended.
        try {
            stacker.flush();
        } catch (nb::python_error&) {
            // report the first failure
        }
        throw;
    }
    stacker.flush();
    // 4. The table as float32.
    data = numpy().attr("asarray")(data, nb::arg("dtype") = float32_dtype());
}

nb::object WeatherFeed::parse_line(nb::handle line) {
    nb::object delim_obj = delimiter;
    std::vector<epw::Column> cols = columns_of(target_cols);
    std::vector<float> values(cols.size());
    if (PyUnicode_IS_ASCII(line.ptr())) {
        if (!delim_obj.is_none() && PyUnicode_GET_LENGTH(delim_obj.ptr()) == 0)
            raise(PyExc_ValueError, "empty separator");
        std::string storage;
        epw::Delimiter delim = delimiter_of(delim_obj, storage);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
        if (!utf8) throw_pending();
        std::vector<std::string_view> scratch;
        std::string_view stripped = qm::py_strip(std::string_view(utf8, static_cast<size_t>(size)));
        if (epw::parse_fields(stripped, delim, cols.data(), cols.size(), values.data(), scratch) !=
            epw::FieldError::none)
            raise_list_index();
    } else {
        host_parse(line, delim_obj, cols, values.data());
    }
    return new_float32_array(values.data(), 1, values.size(), false);
}

std::vector<float> WeatherFeed::get_data_at_hour(double hour) {
    DataView view(data);
    epw::HourLookup at = epw::locate_hour(hour, view.rows());
    auto rows = [&] { return std::to_string(view.rows()); };
    std::vector<float> out(static_cast<size_t>(view.cols()));
    switch (at.kind) {
        case epw::HourLookup::not_finite:
            raise(PyExc_ValueError, "WeatherFeed: the hour to look up must be a finite number, got " +
                                        to_text(nb::float_(hour)));
        case epw::HourLookup::out_of_range_exact:
            raise(PyExc_IndexError, "索引 " + std::to_string(at.i) + " 超出数据范围（数据长度为 " + rows() + "）");
        case epw::HourLookup::out_of_range_pair:
            raise(PyExc_IndexError, "索引 " + std::to_string(at.i) + " 或 " + std::to_string(at.j) +
                                        " 超出数据范围（数据长度为 " + rows() + "）");
        case epw::HourLookup::exact:
            view.row(at.i, out.data());
            return out;
        case epw::HourLookup::interpolate: {
            float small[16];
            std::vector<float> big;
            float* b = small;
            if (out.size() > 16) {
                big.resize(out.size());
                b = big.data();
            }
            view.row(at.i, out.data());
            view.row(at.j, b);
            epw::interpolate_rows(out.data(), b, at.f, out.data(), out.size());
            return out;
        }
    }
    return out;
}

void WeatherFeed::update(nb::handle time, nb::handle) {
    SimClock* clock = clock_arg(time, "time");
    if (!clock) raise(PyExc_TypeError, "WeatherFeed.update needs the simulation clock (a SimClock), got None");
    const double hour = clock->current_time / 3600.0;
    std::vector<float> values = get_data_at_hour(hour);
    if (values.size() < 5) {
        PyErr_Format(PyExc_IndexError, "index %zu is out of bounds for axis 0 with size %zu", values.size(),
                     values.size());
        throw_pending();
    }
    const OutputKeys& k = output_keys();
    for (int i = 0; i < 5; ++i) set_record_value(outputs, k.names[i], nb::float_(static_cast<double>(values[i])));
}

void bind_weather_feed(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.components.weather_feed");
    auto cls = nb::class_<WeatherFeed, SimUnit, PyWeatherFeed>(scope, "WeatherFeed", nb::type_slots(unit_type_slots()),
                                                               "通用型天气文件读取器，支持任意表格格式");
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<WeatherFeed> v, arg_as<"str"> name) {
            construct_unit<WeatherFeed, PyWeatherFeed>(v, name);
            v.p->set_defaults();
        },
        nb::arg("name").none(), kUnitInitDoc);
    cls.def("_get_module_info", [](WeatherFeed& u) { return info_result(u.WeatherFeed::_get_module_info()); },
            "The module information record of the weather reader.");
    def_update<WeatherFeed>(cls,
                            "Publishes the weather of hour time.current_time / 3600 (wrapped into the year, "
                            "interpolated between whole hours).");
    def_awake<WeatherFeed>(cls, "Takes the file path from in_file_params[0] and reads the table.");
    cls.def("read_file", [](WeatherFeed& u) { u.WeatherFeed::read_file(); }, "读取文件并提取目标列数据");
    cls.def(
        "parse_line",
        [](WeatherFeed& u, arg_as<"str"> line) {
            if (!PyUnicode_Check(line.ptr())) raise_arg_type("line", "str", line);
            return u.parse_line(line);
        },
        nb::arg("line").none(), "解析单行数据，提取目标列并转换为浮点数");
    // The signature lines are for inspect.signature; __doc__ is the text after them.
    static PyMethodDef read_file_doc = {"read_file", nullptr, 0, "read_file(self, /)\n--\n\n读取文件并提取目标列数据"};
    static PyMethodDef parse_line_doc = {"parse_line", nullptr, 0,
                                         "parse_line(self, line)\n--\n\n解析单行数据，提取目标列并转换为浮点数"};
    set_exact_doc(cls, &read_file_doc);
    set_exact_doc(cls, &parse_line_doc);

    def_typed_object_attrs<WeatherFeed>(
        cls, {{"filename", &WeatherFeed::filename, PyUnicode_Check_fn, "str", "str | None",
               "The weather file read_file reads (an absolute path after awake)."},
              {"delimiter", &WeatherFeed::delimiter, PyUnicode_Check_fn, "str", "str | None",
               "The text between the entries of a line (\",\" for EPW files)."},
              {"target_cols", &WeatherFeed::target_cols, PyList_Check_fn, "list", "list[int] | None",
               "The positions of the entries each data line contributes, in the order of the table's columns."}});
    def_attr<WeatherFeed>(
        cls, "data", "numpy.typing.NDArray[numpy.float32] | None",
        "The weather table: a 2-D float32 array, one row per data line, one column per entry of target_cols.",
        [](WeatherFeed& u) -> nb::object { return u.data; },
        [](WeatherFeed& u, nb::handle v) { u.data = nb::borrow(v); }, [](WeatherFeed& u) { u.data = nb::none(); });

    g_native_parse_line = nb::getattr(cls, "parse_line").inc_ref().ptr();
    publish_declaration(cls, weather_feed_declaration());
    m.attr("WeatherFeed") = cls;
}

}  // namespace qm::py
