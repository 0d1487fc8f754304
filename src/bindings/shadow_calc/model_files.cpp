#include "bindings/shadow_calc/model_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bindings/support/common.hpp"
#include "kernels/geometry/model_read.hpp"

namespace qm::py {

namespace {

const char* what_text(geom::ReadError e) {
    switch (e) {
        case geom::ReadError::syntax: return "格式错误";
        case geom::ReadError::bad_number: return "数值无法解析";
        case geom::ReadError::bad_index: return "索引超出范围";
        case geom::ReadError::bad_face: return "面的顶点少于三个";
        case geom::ReadError::bad_structure: return "缺少成员或成员类型错误";
        case geom::ReadError::unsupported: return "不支持的功能";
        case geom::ReadError::buffer: return "缓冲区缺失或长度不足";
        default: return "未知错误";
    }
}

// The host's text of an OSError for a failed read ("[Errno 2] No such file ...: 'path'").
std::string os_error_text(io::ReadStatus st, int error, nb::handle path) {
    if (st == io::ReadStatus::not_regular) return "不是普通文件（设备、管道或套接字不读取）: " + to_text(check(PyObject_Repr(path.ptr())));
    if (st == io::ReadStatus::changed) return "文件在读取过程中被修改，请在写入完成后重试: " + to_text(check(PyObject_Repr(path.ptr())));
    if (st == io::ReadStatus::directory) error = EISDIR;
    nb::object exc = check(PyObject_CallFunction(PyExc_OSError, "isO", error ? error : EIO,
                                                 std::strerror(error ? error : EIO), path.ptr()));
    return to_text(check(PyObject_Str(exc.ptr())));
}

// Reads the file; false after a printed line for a file that cannot be read.
bool read_checked(nb::handle path, const std::string& fs, const char* prefix, geom::MeshModel& mm,
                  io::FileStamp& stamp, uint64_t& hash, const std::string& lod) {
    geom::ReadProblem err;
    int error = 0;
    io::ReadStatus st;
    {
        nb::gil_scoped_release release;
        st = geom::read_mesh_file(fs, mm, err, stamp, error, &hash, lod);
    }
    if (st != io::ReadStatus::ok) {
        if (st == io::ReadStatus::open_failed && error == ENOENT) {
            print("错误：未找到文件 " + to_text(check(PyObject_Str(path.ptr()))));
        } else {
            print(std::string(prefix) + os_error_text(st, error, path));
        }
        return false;
    }
    if (err.failed()) raise(PyExc_ValueError, model_problem_text(to_text(check(PyObject_Str(path.ptr()))), err));
    if (std::string problem = lod_problem(to_text(check(PyObject_Str(path.ptr()))), fs, lod, mm.lods); !problem.empty())
        raise(PyExc_ValueError, problem);
    return true;
}

}  // namespace

bool mesh_file_arg(nb::handle path, std::string& fs) {
    if (path.is_none()) return false;
    PyObject* p = PyOS_FSPath(path.ptr());
    if (!p) {
        PyErr_Clear();
        return false;
    }
    nb::object owned = nb::steal(p);
    if (!PyUnicode_Check(p)) return false;
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(p, &bytes)) {
        PyErr_Clear();
        return false;
    }
    nb::object b = nb::steal(bytes);
    fs.assign(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    return fs.find('\0') == std::string::npos && geom::is_mesh_file(fs);
}

std::string model_problem_text(const std::string& path, const geom::ReadProblem& e) {
    std::string s = "模型文件 " + path + " 无法读取：" + what_text(e.kind) + "（";
    s += e.where.empty() ? std::string("文件") : e.where;
    if (e.line) s += "，第 " + std::to_string(e.line) + " 行";
    if (e.byte != SIZE_MAX) s += "，第 " + std::to_string(e.byte) + " 字节";
    s += "）";
    if (!e.detail.empty()) s += "：" + e.detail;
    return s;
}

std::string lod_problem(const std::string& path_text, const std::string& fs, const std::string& lod,
                        const std::vector<std::string>& lods) {
    if (lod.empty()) return {};
    const geom::ModelFormat f = geom::format_of_path(fs);
    if (f != geom::ModelFormat::cityjson && f != geom::ModelFormat::cityjson_seq)
        return "lod \"" + lod + "\" 只适用于 CityJSON 模型（.json、.jsonl），" + path_text + " 不是";
    if (std::find(lods.begin(), lods.end(), lod) != lods.end()) return {};
    std::string have;
    for (const std::string& l : lods) have += (have.empty() ? "\"" : "、\"") + l + "\"";
    return "模型 " + path_text + " 中没有 LoD \"" + lod + "\" 的几何（" +
           (have.empty() ? std::string("模型中没有带面的几何") : "模型中有 " + have) + "）";
}

bool read_mesh_solids(nb::handle path, const std::string& fs, const char* prefix, stl::Solids& out,
                      const std::string& lod) {
    geom::MeshModel mm;
    io::FileStamp stamp;
    uint64_t hash = 0;
    if (!read_checked(path, fs, prefix, mm, stamp, hash, lod)) return false;
    out = std::move(mm.solids);
    return true;
}

std::shared_ptr<const geom::Model> load_mesh_model(nb::handle path, const std::string& fs, geom::ModelCache& cache,
                                                   const std::string& lod) {
    const bool cacheable = geom::format_of_path(fs) != geom::ModelFormat::gltf;
    geom::ModelCache::Hit hit;
    geom::FileKey seen;
    if (cacheable && io::stat_stamp(fs, seen)) hit = cache.find(seen, lod);
    if (hit.model && !hit.verify) return hit.model;
    geom::MeshModel mm;
    io::FileStamp key;
    uint64_t hash = 0;
    const bool ok = read_checked(path, fs, "读取文件时出现错误: ", mm, key, hash, lod);
    if (ok && hit.model && key == seen && hash == hit.hash) {
        cache.confirm(seen, geom::wall_clock_ns(), lod);
        return hit.model;
    }
    std::shared_ptr<const geom::Model> model;
    {
        nb::gil_scoped_release release;
        model = geom::make_model(mm.solids, 0, mm.origin);
    }
    if (ok && cacheable && key.ino) cache.put(key, model, hash, geom::wall_clock_ns(), lod);
    return model;
}

nb::object statistics_dict(const std::vector<stl::SolidStats>& records) {
    nb::object result = check(PyDict_New());
    nb::object zero = check(PyLong_FromLong(0));
    auto py_float = [](double v) { return check(PyFloat_FromDouble(v)); };
    for (const auto& r : records) {
        nb::object rec = check(PyDict_New());
        set_item(rec, "area", r.has_triangles ? py_float(r.area) : zero);
        nb::object normal;
        if (r.has_triangles && !r.zero_normal) {
            nb::object x = py_float(r.normal[0]), y = py_float(r.normal[1]), z = py_float(r.normal[2]);
            normal = check(PyTuple_Pack(3, x.ptr(), y.ptr(), z.ptr()));
        } else {
            normal = check(PyTuple_Pack(3, zero.ptr(), zero.ptr(), zero.ptr()));
        }
        set_item(rec, "normal", normal);
        nb::object name = check(PyUnicode_DecodeUTF8(r.name.data(), static_cast<Py_ssize_t>(r.name.size()),
                                                     "surrogateescape"));
        set_item(result, name, rec);
    }
    return result;
}

}  // namespace qm::py
