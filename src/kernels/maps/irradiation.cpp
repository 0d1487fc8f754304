#include "kernels/maps/irradiation.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "kernels/geometry/self_match.hpp"
#include "kernels/shading/sky_view.hpp"
#include "kernels/shading/step_sun.hpp"
#include "kernels/sky/isotropic.hpp"
#include "kernels/sky/perez.hpp"
#include "kernels/sun/airmass.hpp"
#include "kernels/sun/extraterrestrial.hpp"
#include "kernels/time/calendar.hpp"
#include "kernels/util/parallel.hpp"

namespace qm::maps {
namespace {

double tri_area(const double* t) {
    const double a[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
    const double b[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const double area = 0.5 * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    return std::isfinite(area) ? area : 0.0;
}

// What a step brings, independent of the plane.
struct StepSky {
    double d[3] = {0, 0, 0};
    double zenith = 90.0;
    double ghi = 0.0;
    bool up = false;     // sun above the horizon
    bool beam = false;   // cast towards the sun
    bool perez = false;  // a Perez sky with a clearness bin
    bool skip = false;   // non-finite inputs
    sky::PerezSky sky;
};

}  // namespace

const char* map_error_text(MapError e) noexcept {
    switch (e) {
        case MapError::none: return "none";
        case MapError::cancelled: return "cancelled";
        case MapError::bad_options: return "options out of range";
    }
    return "unknown";
}

StepsError make_steps(double longitude, double latitude, double time_zone, int64_t start_year,
                      const std::vector<double>& clock_times, double sun_offset, const std::vector<double>& dni,
                      const std::vector<double>& dhi, const std::vector<double>& albedo, double hours,
                      std::vector<Step>& out) {
    out.clear();
    const size_t n = clock_times.size();
    if (dni.size() != n || dhi.size() != n || albedo.size() != n) return StepsError::sizes;
    out.reserve(n);
    for (size_t k = 0; k < n; ++k) {
        Step s;
        s.dni = dni[k], s.dhi = dhi[k], s.albedo = albedo[k], s.hours = hours;
        std::array<int64_t, 6> clock{}, sun_date{};
        if (calendar::datetime_after(start_year, 1, 1, clock_times[k], clock) != calendar::DateTimeError::none ||
            calendar::datetime_after(start_year, 1, 1, clock_times[k] + sun_offset, sun_date) !=
                calendar::DateTimeError::none)
            return StepsError::bad_time;
        s.month = int(clock[1]);
        solar::SunPosition p;
        if (shading::step_sun(longitude, latitude, time_zone, start_year, clock_times[k], sun_offset, p) !=
            solar::SpaError::none) {
            s.altitude = NAN, s.azimuth = NAN;
        } else {
            s.altitude = p.height, s.azimuth = p.azimuth;
        }
        s.airmass = sun::relative_airmass_kastenyoung1989(90.0 - s.altitude);
        s.dni_extra = sun::dni_extra_spencer(sun::day_of_year(int(sun_date[0]), int(sun_date[1]), int(sun_date[2])));
        out.push_back(s);
    }
    return StepsError::none;
}

MapError irradiation_map(const geom::Scene& scene, const geom::FaceSet& faces, const std::vector<Step>& steps,
                         const MapOptions& options, MapResult& out) {
    out = {};
    if (options.sky_directions < 1 || options.sky_directions > (size_t(1) << 20) ||
        options.horizon_directions > (size_t(1) << 20) || options.block < 1)
        return MapError::bad_options;
    const size_t nf = faces.size(), nt = faces.first.size();

    // Per step: the sun's direction and the plane-independent sky.
    std::vector<StepSky> sky(steps.size());
    size_t beam_steps = 0;
    for (size_t k = 0; k < steps.size(); ++k) {
        const Step& s = steps[k];
        StepSky& q = sky[k];
        if (!std::isfinite(s.dni) || !std::isfinite(s.dhi) || !std::isfinite(s.albedo) || !std::isfinite(s.hours) ||
            s.month < 1 || s.month > 12) {
            q.skip = true;
            ++out.skipped_steps;
            continue;
        }
        q.up = s.altitude > 0.0;  // NaN: down
        q.zenith = 90.0 - s.altitude;
        const bool known = std::isfinite(s.altitude) && std::isfinite(s.azimuth);
        if (known) geom::sun_direction(s.altitude, s.azimuth, q.d);
        // As the panel: a step's beam (dni > 0) counts wherever its sun is, so the
        // hour that ends just after sunset lights what faces the set sun.
        q.beam = known && (s.dni > 0.0 || (options.perez && q.up && s.dhi > 0.0));
        q.ghi = options.global_ground ? sky::global_horizontal(s.dni, s.dhi, s.altitude) : s.dhi;
        if (options.perez)
            q.perez = sky::perez_sky(s.dhi, s.dni, s.dni_extra, q.zenith, s.airmass, q.sky) == sky::SkyError::none;
        beam_steps += q.beam;
    }

    // Progress in per mille of the estimated rays: views first, then the beam.
    const double view_est = double(nf) * double(options.sky_directions + options.horizon_directions / 2);
    const double beam_est = double(nf) * double(beam_steps) / 2.0;
    const size_t view_share =
        view_est + beam_est > 0 ? size_t(std::llround(1000.0 * view_est / (view_est + beam_est))) : 0;

    // Views of every sample (each sample its own surface of the view pass).
    geom::FaceSet samples = faces;
    samples.first.resize(nf), samples.count.assign(nf, 1);
    for (size_t f = 0; f < nf; ++f) samples.first[f] = f;
    shading::SkyViewOptions vo;
    vo.directions = options.sky_directions;
    vo.horizon_directions = options.horizon_directions;
    vo.horizon_band = options.horizon_band;
    vo.threads = options.threads;
    vo.cancel = options.cancel;
    vo.progress_seconds = options.progress_seconds;
    if (options.progress)
        vo.progress = [&](size_t d, size_t t) { options.progress(t ? d * view_share / t : 0, 1000); };
    shading::ViewFactors views;
    if (nf > 0 && !shading::view_factors(scene, samples, views, vo)) {
        if (options.cancel && options.cancel->load()) return MapError::cancelled;
        return MapError::bad_options;
    }
    if (views.horizon.empty()) views.horizon.assign(nf, 0.0);
    samples = {};
    // Rays of the view pass: every sky direction, and the band directions
    // each sample faces (those the pass casts).
    {
        const std::vector<double> band = shading::horizon_directions(options.horizon_directions, options.horizon_band);
        out.view_rays = uint64_t(nf) * options.sky_directions;
        for (size_t f = 0; f < nf; ++f) {
            const double* n = &faces.normals[3 * f];
            for (size_t k = 0; k < band.size(); k += 3)
                out.view_rays += (n[0] * band[k] + n[1] * band[k + 1] > 0.0) &&
                                 (n[0] * band[k] + n[1] * band[k + 1] + n[2] * band[k + 2] > 0.0);
        }
    }

    // The box of every sample's centroid (one float tree for every cast).
    std::vector<double> origins(3 * nf);
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (size_t f = 0; f < nf; ++f) {
        geom::centroid(&faces.tris[9 * f], &origins[3 * f]);
        for (int j = 0; j < 3; ++j)
            if (std::fabs(origins[3 * f + j]) <= 1e30)
                lo[j] = std::min(lo[j], origins[3 * f + j]), hi[j] = std::max(hi[j], origins[3 * f + j]);
    }
    for (int j = 0; j < 3; ++j)
        if (!(lo[j] <= hi[j])) lo[j] = hi[j] = 0.0;

    // Beam pass: blocks of samples, every step in order within a block.
    std::vector<double> annual(nf, 0.0), monthly(12 * nf, 0.0);
    const size_t blocks = (nf + options.block - 1) / options.block;
    std::vector<uint64_t> block_rays(blocks, 0);
    util::ParallelOptions po;
    po.threads = options.threads;
    po.cancel = options.cancel;
    po.progress_seconds = options.progress_seconds;
    if (options.progress)
        po.progress = [&](size_t d, size_t t) {
            options.progress(view_share + (t ? d * (1000 - view_share) / t : 0), 1000);
        };
    const bool complete = util::parallel_for(blocks, 1, [&](size_t b0, size_t b1) {
        std::vector<double> o, bf;
        std::vector<int64_t> self;
        std::vector<size_t> which;
        std::vector<unsigned char> hit;
        for (size_t b = b0; b < b1; ++b) {
            const size_t f0 = b * options.block, f1 = std::min(nf, f0 + options.block), m = f1 - f0;
            bf.assign(m, 0.0);
            for (size_t k = 0; k < steps.size(); ++k) {
                const StepSky& q = sky[k];
                if (q.skip) continue;
                const Step& s = steps[k];
                if (s.dni == 0.0 && s.dhi == 0.0) continue;  // night: nothing to add
                std::fill(bf.begin(), bf.end(), 0.0);
                if (q.beam) {
                    o.clear(), self.clear(), which.clear();
                    for (size_t i = 0; i < m; ++i) {
                        const double* n = &faces.normals[3 * (f0 + i)];
                        const double c = n[0] * q.d[0] + n[1] * q.d[1] + n[2] * q.d[2];
                        if (!(c > 0.0)) continue;
                        which.push_back(i);
                        bf[i] = c;
                        o.insert(o.end(), &origins[3 * (f0 + i)], &origins[3 * (f0 + i)] + 3);
                        self.push_back(faces.self[f0 + i]);
                    }
                    if (!which.empty()) {
                        hit.assign(which.size(), 0);
                        scene.cast(o.data(), self.data(), which.size(), q.d, hit.data(), 1, lo, hi);
                        block_rays[b] += which.size();
                        for (size_t j = 0; j < which.size(); ++j)
                            if (hit[j]) bf[which[j]] = 0.0;
                    }
                }
                const double w = s.hours / 1000.0;
                double* month = monthly.data() + size_t(s.month - 1) * nf + f0;
                for (size_t i = 0; i < m; ++i) {
                    const size_t f = f0 + i;
                    const double direct = s.dni > 0.0 ? s.dni * bf[i] : 0.0;
                    double iso = s.dhi * views.sky[f], circ = 0.0, hor = 0.0;
                    if (q.perez) {
                        const sky::SkyDiffuse parts =
                            sky::perez_on_plane(s.dhi, q.sky, {views.sky[f], views.horizon[f]}, bf[i], q.zenith);
                        iso = parts.isotropic, circ = parts.circumsolar, hor = parts.horizon;
                    }
                    const double ground = sky::ground_diffuse(q.ghi, s.albedo, views.ground[f]);
                    const double global = direct + (iso + circ + hor) + ground;
                    annual[f] += global * w;
                    month[i] += global * w;
                }
            }
        }
    }, po);
    if (!complete) return MapError::cancelled;
    for (uint64_t r : block_rays) out.beam_rays += r;

    // Per triangle: area-weighted means of its samples.
    std::vector<double> areas(nf);
    for (size_t f = 0; f < nf; ++f) areas[f] = tri_area(&faces.tris[9 * f]);
    out.annual.resize(nt), out.monthly.resize(12 * nt), out.sky_view.resize(nt), out.ground_view.resize(nt),
        out.horizon_view.resize(nt);
    std::vector<double> tmp;
    for (size_t t = 0; t < nt; ++t) {
        const size_t a = faces.first[t], c = faces.count[t];
        const double* w = areas.data() + a;
        out.annual[t] = geom::area_weighted_mean(annual.data() + a, w, c);
        for (size_t mo = 0; mo < 12; ++mo)
            out.monthly[12 * t + mo] = geom::area_weighted_mean(monthly.data() + mo * nf + a, w, c);
        out.sky_view[t] = geom::area_weighted_mean(views.sky.data() + a, w, c);
        out.ground_view[t] = geom::area_weighted_mean(views.ground.data() + a, w, c);
        out.horizon_view[t] = geom::area_weighted_mean(views.horizon.data() + a, w, c);
    }
    return MapError::none;
}

namespace {

void put(std::string& s, double v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

constexpr const char* kHeader =
    "triangle,annual,m01,m02,m03,m04,m05,m06,m07,m08,m09,m10,m11,m12,sky_view,ground_view,horizon_view";

}  // namespace

std::string map_table_text(const std::vector<int64_t>& triangles, const MapResult& map) {
    std::string s = kHeader;
    s += '\n';
    for (size_t t = 0; t < triangles.size() && t < map.annual.size(); ++t) {
        s += std::to_string(triangles[t]);
        s += ',';
        put(s, map.annual[t]);
        for (size_t m = 0; m < 12; ++m) s += ',', put(s, map.monthly[12 * t + m]);
        s += ',', put(s, map.sky_view[t]);
        s += ',', put(s, map.ground_view[t]);
        s += ',', put(s, map.horizon_view[t]);
        s += '\n';
    }
    return s;
}

bool read_map_table(const std::string& text, const std::vector<int64_t>& triangles, MapResult& out, size_t& line) {
    out = {};
    line = 1;
    size_t pos = text.find('\n');
    if (pos == std::string::npos || text.compare(0, pos, kHeader) != 0) return false;
    ++pos;
    const size_t n = triangles.size();
    out.annual.resize(n), out.monthly.resize(12 * n), out.sky_view.resize(n), out.ground_view.resize(n),
        out.horizon_view.resize(n);
    for (size_t t = 0; t < n; ++t) {
        ++line;
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos) return false;
        const char* p = text.data() + pos;
        const char* e = text.data() + end;
        int64_t id = 0;
        auto r = std::from_chars(p, e, id);
        if (r.ec != std::errc() || id != triangles[t]) return false;
        p = r.ptr;
        double v[16];
        for (double& x : v) {
            if (p >= e || *p != ',') return false;
            auto q = std::from_chars(p + 1, e, x);
            if (q.ec != std::errc() || !std::isfinite(x)) return false;
            p = q.ptr;
        }
        if (p != e) return false;
        out.annual[t] = v[0];
        std::copy_n(v + 1, 12, out.monthly.begin() + 12 * t);
        out.sky_view[t] = v[13], out.ground_view[t] = v[14], out.horizon_view[t] = v[15];
        pos = end + 1;
    }
    ++line;
    return pos == text.size();
}

}  // namespace qm::maps
