// quillmere.core.util: path normalisation, sun position, sky-diffuse split.
#include <cmath>
#include <string>

#include "bindings/support/common.hpp"
#include "bindings/core/util.hpp"
#include "kernels/sun/irradiance.hpp"
#include "kernels/sun/spa.hpp"

namespace qm::py {
namespace {

// Objects kept for the life of the host (never released: the module lives
// until the host ends, and releasing at exit would race finalisation).
PyObject* g_native_sky_fn = nullptr;   // the bound calculate_sky_diffuse_and_ground_reflection
PyObject* g_util_module = nullptr;     // quillmere.core.util once it was imported
PyObject* g_sky_fn_name = nullptr;     // interned attribute name
PyObject* g_base_folder = nullptr;     // str, or nullptr for the current folder

nb::module_ os_path() {
    static PyObject* m = PyImport_ImportModule("os.path");
    if (!m) throw_pending();
    return nb::borrow<nb::module_>(m);
}

nb::module_ os_module() {
    static PyObject* m = PyImport_ImportModule("os");
    if (!m) throw_pending();
    return nb::borrow<nb::module_>(m);
}

// os.fspath(path) as a str (bytes are decoded as the file system does).
nb::object fspath_str(nb::handle path, const char* what) {
    if (PyUnicode_Check(path.ptr())) return nb::borrow(path);
    if (path.is_none() || !(PyBytes_Check(path.ptr()) || PyObject_HasAttrString(path.ptr(), "__fspath__"))) {
        PyErr_Format(PyExc_TypeError, "%s must be a str or path-like object, got %.200s", what,
                     host_type_name(path));
        throw_pending();
    }
    nb::object p = check(PyOS_FSPath(path.ptr()));
    if (PyBytes_Check(p.ptr())) p = os_module().attr("fsdecode")(p);
    return p;
}

bool is_strip_char(Py_UCS4 c) { return c == '"' || c == '\'' || Py_UNICODE_ISSPACE(c); }

// Strips whitespace and quote characters from both ends.
nb::object strip_quotes_and_space(nb::handle s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t b = 0, e = n;
    while (b < e && is_strip_char(PyUnicode_READ_CHAR(s.ptr(), b))) ++b;
    while (e > b && is_strip_char(PyUnicode_READ_CHAR(s.ptr(), e - 1))) --e;
    return check(PyUnicode_Substring(s.ptr(), b, e));
}

// The datetime 6-tuple as doubles, with clear host errors.
void datetime_fields(nb::handle dt, double out[6]) {
    if (PyTuple_CheckExact(dt.ptr()) && PyTuple_GET_SIZE(dt.ptr()) == 6) {
        for (Py_ssize_t i = 0; i < 6; ++i) {
            PyObject* item = PyTuple_GET_ITEM(dt.ptr(), i);
            if (PyLong_CheckExact(item)) {
                double v = PyLong_AsDouble(item);
                if (v == -1.0 && PyErr_Occurred()) throw_pending();
                out[i] = v;
            } else {
                out[i] = as_double(item);
            }
        }
        return;
    }
    if (dt.is_none() || PyUnicode_Check(dt.ptr()) || PyBytes_Check(dt.ptr()) || !PySequence_Check(dt.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "datetime must be a sequence (year, month, day, hour, minute, second), got %.200s",
                     host_type_name(dt));
        throw_pending();
    }
    nb::object seq = check(PySequence_Fast(dt.ptr(), "datetime must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n != 6) {
        PyErr_Format(PyExc_ValueError,
                     "datetime must hold 6 items (year, month, day, hour, minute, second), got %zd", n);
        throw_pending();
    }
    for (Py_ssize_t i = 0; i < 6; ++i) out[i] = as_double(PySequence_Fast_GET_ITEM(seq.ptr(), i));
}

std::pair<double, double> sky_kernel(nb::handle normal, double diffuse, double ground_reflect) {
    double n[3] = {0.0, 0.0, 1.0};
    if (!normal.is_none()) {
        if (PyUnicode_Check(normal.ptr()) || PyBytes_Check(normal.ptr()) || !PySequence_Check(normal.ptr())) {
            PyErr_Format(PyExc_TypeError, "normal must be a sequence of 3 numbers or None, got %.200s",
                         host_type_name(normal));
            throw_pending();
        }
        nb::object seq = check(PySequence_Fast(normal.ptr(), "normal must be a sequence"));
        Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.ptr());
        if (len != 3) {
            PyErr_Format(PyExc_ValueError, "normal must hold 3 components (x, y, z), got %zd", len);
            throw_pending();
        }
        for (Py_ssize_t i = 0; i < 3; ++i) n[i] = as_double(PySequence_Fast_GET_ITEM(seq.ptr(), i));
    }
    irradiance::SkyAndGround r;
    if (irradiance::sky_diffuse_and_ground_reflection(n[0], n[1], n[2], diffuse, ground_reflect, r) !=
        irradiance::IrradianceError::none)
        raise(PyExc_ValueError,
              "calculate_sky_diffuse_and_ground_reflection: normal, diffuse_rad and ground_reflect must be "
              "finite numbers");
    return {r.sky, r.ground};
}

// Unpacks a host result into exactly two numbers, with the host's unpacking messages.
std::pair<double, double> unpack_two(nb::handle result) {
    auto [a, b] = unpack_pair(result);
    return {as_double(a), as_double(b)};
}

}  // namespace

std::pair<double, double> sun_position(double longitude, double latitude, int32_t time_zone,
                                       nb::handle datetime_tuple) {
    double dt[6];
    datetime_fields(datetime_tuple, dt);
    solar::SunPosition pos;
    solar::SpaError err = solar::sun_position(longitude, latitude, time_zone, dt, pos);
    if (err != solar::SpaError::none)
        raise(PyExc_ValueError, std::string("calculate_sun_position: ") + solar::spa_error_text(err));
    return {pos.height, pos.azimuth};
}

std::pair<double, double> sky_diffuse_and_ground_reflection(nb::handle normal, double diffuse_rad,
                                                            double ground_reflect) {
    // A host replacement on quillmere.core.util takes precedence over the kernel.
    if (!g_util_module) {
        PyObject* m = PyImport_GetModule(nb::str("quillmere.core.util").ptr());  // new ref or NULL
        if (!m && PyErr_Occurred()) throw_pending();
        g_util_module = m;  // kept for the life of the host
    }
    if (g_util_module) {
        nb::object fn = check(PyObject_GetAttr(g_util_module, g_sky_fn_name));
        if (fn.ptr() != g_native_sky_fn) {
            nb::object result = fn(normal, nb::float_(diffuse_rad), nb::float_(ground_reflect));
            return unpack_two(result);
        }
    }
    // A missing diffuse value or ground reflectance (an empty weather field, a
    // linked albedo that is NaN or infinite) gives unknown parts: the panel's
    // step power is then not finite and adds nothing to its energy, instead of
    // ending the run from the sky function.
    if (std::isnan(diffuse_rad)) return {diffuse_rad, diffuse_rad};
    if (!std::isfinite(ground_reflect)) return {NAN, NAN};
    return sky_kernel(normal, diffuse_rad, ground_reflect);
}

nb::object resolve_path(nb::handle path, nb::handle base_folder) {
    nb::object s = strip_quotes_and_space(fspath_str(path, "path"));
    if (PyUnicode_GET_LENGTH(s.ptr()) == 0) raise(PyExc_ValueError, "convert_to_valid_path: the path is empty");
    nb::module_ op = os_path();
    s = op.attr("expanduser")(op.attr("expandvars")(s));
    if (!nb::cast<bool>(op.attr("isabs")(s))) s = op.attr("join")(base_folder, s);
    nb::object result = op.attr("normpath")(s);
    if (!PyUnicode_Check(result.ptr())) raise_expected("str", result);
    return result;
}

nb::object convert_to_valid_path(nb::handle path) {
    nb::object base = g_base_folder ? nb::borrow(g_base_folder) : os_module().attr("getcwd")();
    return resolve_path(path, base);
}

void bind_util(nb::module_& m) {
    g_sky_fn_name = PyUnicode_InternFromString("calculate_sky_diffuse_and_ground_reflection");
    if (!g_sky_fn_name) throw_pending();
    nb::module_ scope = named_scope("quillmere.core.util");

    scope.def("convert_to_valid_path", [](nb::handle path) { return result_as<"str">(convert_to_valid_path(path)); },
              nb::arg("path").none(), nb::sig("def convert_to_valid_path(path: str | os.PathLike[str]) -> str"),
              "Normalises a path entry of a project: surrounding whitespace and quotes are stripped, "
              "environment variables and '~' expanded; a relative path is resolved against the base folder "
              "(see set_base_folder; the current folder when none is set). Returns a str; the file need not "
              "exist.");

    scope.def(
        "calculate_sun_position",
        [](nb::handle longitude, nb::handle latitude, nb::handle time_zone, nb::handle datetime) {
            double lon = as_double(longitude), lat = as_double(latitude);
            int32_t tz = as_int32(time_zone);
            auto [h, a] = sun_position(lon, lat, tz, datetime);
            return nb::make_tuple(nb::float_(h), nb::float_(a));
        },
        nb::arg("longitude").none(), nb::arg("latitude").none(), nb::arg("time_zone").none(),
        nb::arg("datetime").none(),
        nb::sig("def calculate_sun_position(longitude: float, latitude: float, time_zone: int, "
                "datetime: collections.abc.Sequence[float]) -> tuple[float, float]"),
        "Apparent sun position by the Solar Position Algorithm of Reda & Andreas (2004).\n\n"
        "longitude, latitude [deg] (east and north positive); time_zone [h east of UTC, int];\n"
        "datetime: local standard time (year, month, day, hour, minute, second).\n"
        "Returns (height, azimuth) [deg]: elevation with refraction for a standard atmosphere at sea\n"
        "level (1013.25 mbar, 15 C), azimuth clockwise from north (+y) towards east (+x) in [0, 360).\n"
        "TT - UT from the Espenak & Meeus polynomials.");

    scope.def(
        "calculate_sky_diffuse_and_ground_reflection",
        [](nb::handle normal, nb::handle diffuse_rad, nb::handle ground_reflect) {
            auto [s, g] = sky_kernel(normal, as_double(diffuse_rad), as_double(ground_reflect));
            return nb::make_tuple(nb::float_(s), nb::float_(g));
        },
        nb::arg("normal").none(), nb::arg("diffuse_rad").none(), nb::arg("ground_reflect").none(),
        nb::sig("def calculate_sky_diffuse_and_ground_reflection(normal: collections.abc.Sequence[float] | None, "
                "diffuse_rad: float, ground_reflect: float) -> tuple[float, float]"),
        "Isotropic sky (Liu & Jordan 1963) on a plane of tilt beta, cos beta = normal z / |normal|:\n"
        "sky = diffuse_rad (1 + cos beta) / 2, ground = ground_reflect diffuse_rad (1 - cos beta) / 2 [W/m2].\n"
        "Only the diffuse horizontal irradiance is handed over, so the ground term reflects the diffuse\n"
        "sky light only. A None or zero normal counts as horizontal. Returns (sky, ground).");

    scope.def(
        "set_base_folder",
        [](arg_as<"str | os.PathLike[str]"> folder) {
            if (folder.is_none()) {
                Py_CLEAR(g_base_folder);
                return;
            }
            nb::object s = fspath_str(folder, "folder");
            nb::module_ op = os_path();
            nb::object abs = op.attr("normpath")(op.attr("abspath")(op.attr("expanduser")(s)));
            PyObject* old = g_base_folder;
            g_base_folder = abs.release().ptr();
            Py_XDECREF(old);
        },
        nb::arg("folder").none(),
        "Sets the folder that relative paths of convert_to_valid_path resolve against (made absolute "
        "now); None returns to the current folder.");
    scope.def(
        "get_base_folder",
        []() { return result_as<"str | None">(g_base_folder ? nb::borrow(g_base_folder) : nb::none()); },
        "The folder set with set_base_folder, or None when relative paths resolve against the current folder.");

    // For the command line and the report: the package's one way of writing a user's file.
    m.def(
        "_write_file_atomic",
        [](arg_as<"str | os.PathLike[str]"> path, arg_as<"str | bytes"> data) {
            if (PyBytes_Check(data.ptr())) {
                write_file_atomic(path, std::string_view(PyBytes_AS_STRING(data.ptr()),
                                                         static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))),
                                  "文件");
                return;
            }
            if (!PyUnicode_Check(data.ptr())) raise_arg_type("data", "str", data);
            Py_ssize_t n = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &n);
            if (!utf8) throw_pending();
            write_file_atomic(path, std::string_view(utf8, static_cast<size_t>(n)), "文件");
        },
        nb::arg("path"), nb::arg("data"),
        "Replaces the file at path with data (str: written as UTF-8; bytes as they are) so that it is either "
        "the old file or the complete new one: a temporary file in the same folder, renamed when complete. "
        "OSError naming the file otherwise.");

    for (const char* name : {"convert_to_valid_path", "calculate_sun_position",
                             "calculate_sky_diffuse_and_ground_reflection", "set_base_folder", "get_base_folder"})
        m.attr(name) = scope.attr(name);
    g_native_sky_fn = scope.attr("calculate_sky_diffuse_and_ground_reflection").inc_ref().ptr();
}

}  // namespace qm::py
