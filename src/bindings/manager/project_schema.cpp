#include "bindings/manager/project_schema.hpp"

#include "bindings/manager/internal.hpp"

namespace qm::py::mgr {

const std::vector<BuiltinType>& builtin_types() {
    // "WaetherFeed" is the weather reader's type name as stored project files spell it.
    static const std::vector<BuiltinType> types = {
        {"WaetherFeed", "quillmere.components.weather_feed", "WeatherFeed"},
        // The project types of the panel and the shading module extend the specified
        // SunPanelModule and SurfaceShadowModule (sun time, exact shading, free grids).
        {"SunPanel", "quillmere.components.sunpanel_timed", "TimedSunPanelModule"},
        {"WindTurbine", "quillmere.components.gale_module", "GaleModule"},
        {"SurfaceShadow", "quillmere.components.shade_exact", "ExactShadowModule"},
        // The panel with the conversion chain, and the inverter of such panels.
        {"PVArray", "quillmere.components.pv_array", "PVArrayModule"},
        {"Inverter", "quillmere.components.inverter", "InverterModule"},
        // The building's use of its power: the bus settles load, battery and grid every step.
        {"Load", "quillmere.components.load_module", "LoadModule"},
        {"Battery", "quillmere.components.battery_module", "BatteryModule"},
        {"Grid", "quillmere.components.grid_module", "GridModule"},
        {"Bus", "quillmere.components.bus_module", "BusModule"},
    };
    return types;
}

const BuiltinType* find_builtin(const std::string& name) {
    for (const BuiltinType& t : builtin_types())
        if (name == t.type_name) return &t;
    return nullptr;
}

nb::object builtin_class(const BuiltinType& t) { return import(t.py_module).attr(t.py_class); }

std::string known_type_list() {
    std::string s;
    for (const BuiltinType& t : builtin_types()) s += std::string(s.empty() ? "" : ", ") + t.type_name;
    return s + "，或用户类 \"包.模块:类名\"";
}

const char* expected_text(ValueKind k) {
    switch (k) {
        case ValueKind::number: return "数值";
        case ValueKind::text:
        case ValueKind::surface: return "非空文本";
        case ValueKind::path_in:
        case ValueKind::model:
        case ValueKind::weather: return "已存在文件的路径（文本）";
        case ValueKind::flag: return "布尔值（true 或 false）";
        case ValueKind::path_out: return "文件路径（文本）";
        case ValueKind::module_ref: return "阴影模块的实例名（文本）";
        case ValueKind::surfaces: return "表面名称（文本）";
        case ValueKind::choice: return "可选的文本之一";
        case ValueKind::grid: return "两个数值 [方位角步长, 高度角步长]（度）";
        case ValueKind::modules: return "模块实例名的数组（\"名称\" 或 \"名称.输出\"）";
    }
    return "";
}

bool declaration_of_unit(nb::handle unit, ModuleDeclaration& out) {
    return read_declaration(nb::handle((PyObject*)Py_TYPE(unit.ptr())), out);
}

bool provides_surfaces(nb::handle unit) {
    ModuleDeclaration d;
    if (declaration_of_unit(unit, d)) return d.find(ValueKind::surfaces) != nullptr;
    nb::object mn = nb::borrow(unit).attr("module_name");
    return PyUnicode_Check(mn.ptr()) && PyUnicode_CompareWithASCIIString(mn.ptr(), "SurfaceShadow") == 0;
}

}  // namespace qm::py::mgr
