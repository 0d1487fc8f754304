#include "kernels/pv/layout.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qm::pv {
namespace {

struct V3 {
    double x, y, z;
};
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator*(double s, V3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double norm(V3 a) { return std::sqrt(dot(a, a)); }
V3 load(const double* p) { return {p[0], p[1], p[2]}; }
void store(V3 a, double* p) { p[0] = a.x, p[1] = a.y, p[2] = a.z; }

V3 vertex(std::span<const double> t, std::size_t facet, int k) { return load(&t[facet * 9 + std::size_t(k) * 3]); }

double extent(const SurfaceFrame& f) { return std::max({f.u_max, f.w_max, 1e-9}); }

// The facet that holds p (within tol of its plane, inside its edges), or -1.
int facet_of(std::span<const double> tris, V3 p, double tol) {
    const std::size_t n = tris.size() / 9;
    for (std::size_t f = 0; f < n; ++f) {
        const V3 a = vertex(tris, f, 0), b = vertex(tris, f, 1), c = vertex(tris, f, 2);
        const V3 e0 = b - a, e1 = c - a, d = p - a;
        const V3 nf = cross(e0, e1);
        const double area2 = norm(nf);
        if (!(area2 > 0.0)) continue;
        if (std::fabs(dot(d, nf)) / area2 > tol) continue;
        const double d00 = dot(e0, e0), d01 = dot(e0, e1), d11 = dot(e1, e1), d20 = dot(d, e0), d21 = dot(d, e1);
        const double den = d00 * d11 - d01 * d01;
        if (!(den > 0.0)) continue;
        const double v = (d11 * d20 - d01 * d21) / den, w = (d00 * d21 - d01 * d20) / den, u = 1.0 - v - w;
        const double lmax = std::sqrt(std::max({d00, d11, dot(c - b, c - b)}));
        const double eps = tol * lmax / area2;
        if (u >= -eps && v >= -eps && w >= -eps) return int(f);
    }
    return -1;
}

V3 at(const SurfaceFrame& f, double u, double w) {
    return load(f.origin) + u * load(f.right) + w * load(f.up);
}

// A lattice at half a cell's pitch over the rectangle: corners, edge
// midpoints, cell corners and cell centres.
bool rect_on_surface(std::span<const double> tris, const SurfaceFrame& f, double u, double w, double du, double dw,
                     int nu, int nw) {
    const double tol = 1e-6 * extent(f);
    for (int i = 0; i <= 2 * nu; ++i)
        for (int j = 0; j <= 2 * nw; ++j)
            if (facet_of(tris, at(f, u + du * i / (2 * nu), w + dw * j / (2 * nw)), tol) < 0) return false;
    return true;
}

bool finite_nonneg(double v) { return std::isfinite(v) && v >= 0.0; }

bool settings_ok(const LayoutSettings& s) {
    if (!(std::isfinite(s.module_length) && std::isfinite(s.module_width) && s.module_length > 0.0 &&
          s.module_width > 0.0 && s.module_length <= 100.0 && s.module_width <= 100.0))
        return false;
    if (!(finite_nonneg(s.setback) && finite_nonneg(s.gap_u) && finite_nonneg(s.gap_w) &&
          finite_nonneg(s.offset_u) && finite_nonneg(s.offset_w)))
        return false;
    if (s.rows < 0 || s.columns < 0 || s.rows > 10000 || s.columns > 10000) return false;
    if (!s.fill && (s.rows < 1 || s.columns < 1 || long(s.rows) * s.columns > 100000)) return false;
    if (s.cells_across < 1 || s.cells_across > 64 || s.cells_along < 1 || s.cells_along > 256) return false;
    if (s.samples < 1 || s.samples > 16) return false;
    return s.modules_per_string >= 0 && s.strings_per_tracker >= 0;
}

// Cells of the module along right (u) and up (w).
void cells_uw(const LayoutSettings& s, int& nu, int& nw) {
    nu = s.portrait ? s.cells_across : s.cells_along;
    nw = s.portrait ? s.cells_along : s.cells_across;
}

}  // namespace

const char* layout_error_text(LayoutError e) noexcept {
    switch (e) {
        case LayoutError::none: return "none";
        case LayoutError::no_surface: return "surface has no facet with an area";
        case LayoutError::settings_out_of_range: return "layout setting out of range";
        case LayoutError::nothing_fits: return "no module fits on the surface";
        case LayoutError::module_off_surface: return "module does not lie on its surface";
    }
    return "unknown";
}

void orient_facets(std::span<double> triangles, std::span<const double> normals) noexcept {
    const size_t n = std::min(triangles.size() / 9, normals.size() / 3);
    for (size_t k = 0; k < n; ++k) {
        double* t = triangles.data() + 9 * k;
        const double* fn = normals.data() + 3 * k;
        const double u[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, v[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
        const double c[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        if (c[0] * fn[0] + c[1] * fn[1] + c[2] * fn[2] < 0.0)
            for (int j = 0; j < 3; ++j) std::swap(t[3 + j], t[6 + j]);
    }
}

LayoutError surface_frame(std::span<const double> tris, SurfaceFrame& out) noexcept {
    const std::size_t n = tris.size() / 9;
    V3 sum{0, 0, 0}, centroid{0, 0, 0};
    double area = 0.0;
    for (std::size_t f = 0; f < n; ++f) {
        const V3 a = vertex(tris, f, 0), b = vertex(tris, f, 1), c = vertex(tris, f, 2);
        const V3 nf = cross(b - a, c - a);
        const double af = norm(nf);
        if (!std::isfinite(af)) return LayoutError::no_surface;
        sum = sum + nf;
        centroid = centroid + (af / 3.0) * (a + b + c);
        area += af;
    }
    const double len = norm(sum);
    if (!(area > 0.0) || !(len > 1e-12 * area)) return LayoutError::no_surface;
    const V3 nrm = (1.0 / len) * sum;
    centroid = (1.0 / area) * centroid;
    V3 up = V3{0, 0, 1} - nrm.z * nrm;
    if (norm(up) < 1e-9) up = V3{0, 1, 0} - nrm.y * nrm;
    up = (1.0 / norm(up)) * up;
    const V3 right = cross(up, nrm);
    double umin = INFINITY, umax = -INFINITY, wmin = INFINITY, wmax = -INFINITY;
    for (std::size_t k = 0; k < n * 3; ++k) {
        const V3 p = load(&tris[k * 3]);
        umin = std::min(umin, dot(p, right)), umax = std::max(umax, dot(p, right));
        wmin = std::min(wmin, dot(p, up)), wmax = std::max(wmax, dot(p, up));
    }
    store(umin * right + wmin * up + dot(centroid, nrm) * nrm, out.origin);
    store(right, out.right);
    store(up, out.up);
    store(nrm, out.normal);
    out.u_max = umax - umin;
    out.w_max = wmax - wmin;
    return LayoutError::none;
}

int module_off_surface(std::span<const double> tris, const Layout& layout, const LayoutSettings& s) {
    int nu = 1, nw = 1;
    cells_uw(s, nu, nw);
    for (std::size_t m = 0; m < layout.modules.size(); ++m) {
        const PlacedModule& p = layout.modules[m];
        if (!rect_on_surface(tris, layout.frame, p.u, p.w, p.du, p.dw, nu, nw)) return int(m);
    }
    return -1;
}

LayoutError place_modules(std::span<const double> tris, const LayoutSettings& s, Layout& out, int& offending) {
    offending = -1;
    out = Layout{};
    if (!settings_ok(s)) return LayoutError::settings_out_of_range;
    const LayoutError fe = surface_frame(tris, out.frame);
    if (fe != LayoutError::none) return fe;
    const double du = s.portrait ? s.module_width : s.module_length;
    const double dw = s.portrait ? s.module_length : s.module_width;
    const double u0 = s.setback + s.offset_u, w0 = s.setback + s.offset_w;
    if (!s.fill) {
        for (int r = 0; r < s.rows; ++r)
            for (int c = 0; c < s.columns; ++c)
                out.modules.push_back({u0 + c * (du + s.gap_u), w0 + r * (dw + s.gap_w), du, dw, r, c});
        offending = module_off_surface(tris, out, s);
        if (offending >= 0) return LayoutError::module_off_surface;
    } else {
        int nu = 1, nw = 1;
        cells_uw(s, nu, nw);
        const long cols = std::lround(std::floor((out.frame.u_max - u0 - s.setback + s.gap_u) / (du + s.gap_u)));
        const long rows = std::lround(std::floor((out.frame.w_max - w0 - s.setback + s.gap_w) / (dw + s.gap_w)));
        const long rmax = s.rows > 0 ? std::min<long>(rows, s.rows) : rows;
        const long cmax = s.columns > 0 ? std::min<long>(cols, s.columns) : cols;
        if (rmax * cmax > 100000) return LayoutError::settings_out_of_range;
        for (long r = 0; r < rmax; ++r)
            for (long c = 0; c < cmax; ++c) {
                const double u = u0 + double(c) * (du + s.gap_u), w = w0 + double(r) * (dw + s.gap_w);
                if (rect_on_surface(tris, out.frame, u - s.setback, w - s.setback, du + 2 * s.setback,
                                    dw + 2 * s.setback, nu, nw))
                    out.modules.push_back({u, w, du, dw, int(r), int(c)});
            }
        if (out.modules.empty()) return LayoutError::nothing_fits;
    }
    const int n = int(out.modules.size());
    const int per_string = s.modules_per_string > 0 ? s.modules_per_string : n;
    out.strings = (n + per_string - 1) / per_string;
    for (int m = 0; m < n; ++m) out.string_of_module.push_back(m / per_string);
    const int per_tracker = s.strings_per_tracker > 0 ? s.strings_per_tracker : out.strings;
    out.trackers = (out.strings + per_tracker - 1) / per_tracker;
    for (int st = 0; st < out.strings; ++st) out.tracker_of_string.push_back(st / per_tracker);
    return LayoutError::none;
}

void cell_points(std::span<const double> tris, const Layout& layout, const LayoutSettings& s,
                 std::vector<double>& xyz, std::vector<int>& facet) {
    const int ns = s.samples;
    const std::size_t per_module = std::size_t(s.cells_across) * std::size_t(s.cells_along) * std::size_t(ns * ns);
    xyz.assign(layout.modules.size() * per_module * 3, 0.0);
    facet.assign(layout.modules.size() * per_module, -1);
    const double tol = 1e-6 * extent(layout.frame);
    std::size_t k = 0;
    for (const PlacedModule& m : layout.modules) {
        const double cu = m.du / (s.portrait ? s.cells_across : s.cells_along);
        const double cw = m.dw / (s.portrait ? s.cells_along : s.cells_across);
        for (int a = 0; a < s.cells_across; ++a)
            for (int b = 0; b < s.cells_along; ++b) {
                const int iu = s.portrait ? a : b, iw = s.portrait ? b : a;
                for (int i = 0; i < ns; ++i)
                    for (int j = 0; j < ns; ++j, ++k) {
                        const double u = m.u + cu * (iu + (j + 0.5) / ns);
                        const double w = m.w + cw * (iw + (i + 0.5) / ns);
                        const V3 p = at(layout.frame, u, w);
                        store(p, &xyz[k * 3]);
                        facet[k] = facet_of(tris, p, tol);
                    }
            }
    }
}

}  // namespace qm::pv
