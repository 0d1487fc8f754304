#include "bindings/manager/loss_tree.hpp"

#include <cmath>
#include <cstdio>

#include "bindings/support/common.hpp"

namespace qm::py::mgr {
namespace {

// The stages of light (irradiance on the panel area) come before the first
// electrical one; the change into dc_stc is the conversion, not a loss.
bool first_electrical(const std::string& stage) { return stage == "dc_stc"; }

struct Row {
    std::string module, stage;
    double energy, change;  // change: NaN where the stage starts a new kind of energy
};

std::vector<Row> rows(nb::handle trees) {
    std::vector<Row> out;
    if (!PyDict_Check(trees.ptr())) return out;
    for (auto [name, tree] : nb::borrow<nb::dict>(trees)) {
        if (!PyDict_Check(tree.ptr())) continue;
        double prev = NAN;
        for (auto [stage, energy] : nb::borrow<nb::dict>(tree)) {
            const std::string s = to_text(stage);
            const double e = as_double(energy);
            out.push_back({to_text(name), s, e, std::isnan(prev) || first_electrical(s) ? NAN : e - prev});
            prev = e;
        }
    }
    return out;
}

std::string percent(double change, double energy) {
    const double before = energy - change;
    if (std::isnan(change) || before == 0.0) return "";
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", 100.0 * change / before);
    return b;
}

}  // namespace

nb::dict collect_loss_trees(const std::vector<nb::object>& units, const std::vector<nb::object>& names) {
    nb::dict out;
    for (size_t i = 0; i < units.size(); ++i) {
        if (!nb::hasattr(units[i], "loss_tree")) continue;
        nb::object tree = units[i].attr("loss_tree")();
        if (!PyDict_Check(tree.ptr())) raise_expected("dict", tree);
        out[names[i]] = tree;
    }
    return out;
}

std::vector<std::string> loss_tree_lines(nb::handle trees) {
    std::vector<std::string> lines;
    std::string current;
    for (const Row& r : rows(trees)) {
        if (r.module != current) {
            lines.push_back("损失树 " + r.module + "（各阶段的年能量；光照阶段为组件面积上的光能）：");
            current = r.module;
        }
        // Each line names its module: two arrays of the same light have equal lines, and the run
        // shows a repeated line once.
        char b[160];
        if (std::isnan(r.change))
            std::snprintf(b, sizeof b, " %12.2f kWh", r.energy);
        else
            std::snprintf(b, sizeof b, " %12.2f kWh  %+10.2f kWh  %+7s %%", r.energy, r.change,
                          percent(r.change, r.energy).c_str());
        std::string stage = r.module + "." + r.stage;
        if (stage.size() < 30) stage.resize(30, ' ');
        lines.push_back("  " + stage + b);
    }
    return lines;
}

std::string loss_tree_csv(nb::handle trees) {
    std::string text = "module,stage,energy_kwh,change_kwh,change_percent\n";
    for (const Row& r : rows(trees)) {
        char b[96];
        std::snprintf(b, sizeof b, ",%.17g,", r.energy);
        text += r.module + "," + r.stage + b;
        if (!std::isnan(r.change)) {
            std::snprintf(b, sizeof b, "%.17g", r.change);
            text += b;
        }
        text += "," + percent(r.change, r.energy) + "\n";
    }
    return text;
}

nb::object loss_tree_path(nb::handle csv_path) {
    nb::object os_path = nb::module_::import_("os.path");
    nb::object parts = os_path.attr("splitext")(nb::module_::import_("os").attr("fspath")(csv_path));
    return nb::str((to_text(parts[nb::int_(0)]) + ".loss_tree.csv").c_str());
}

}  // namespace qm::py::mgr
