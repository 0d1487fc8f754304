// Solar maps: the light model per triangle against the sky kernels, shade,
// splitting into subsets and threads, resolution, the stored table.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/maps/irradiation.hpp"
#include "kernels/shading/sky_view.hpp"
#include "kernels/shading/step_sun.hpp"
#include "kernels/sky/isotropic.hpp"
#include "kernels/sky/perez.hpp"

namespace maps = qm::maps;
namespace geom = qm::geom;
namespace sh = qm::shading;

namespace {

void normal_of(const double* t, double n[3]) {
    const double a[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
    const double b[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    n[0] = a[1] * b[2] - a[2] * b[1], n[1] = a[2] * b[0] - a[0] * b[2], n[2] = a[0] * b[1] - a[1] * b[0];
    const double l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int j = 0; j < 3; ++j) n[j] /= l;
}

void quad(std::vector<double>& t, const double a[3], const double b[3], const double c[3], const double d[3]) {
    for (const double* p : {a, b, c, a, c, d}) t.insert(t.end(), p, p + 3);
}

// Each listed model triangle as its own map row, subdivided at `resolution`.
geom::FaceSet rows_of(const std::vector<double>& tris, const std::vector<size_t>& which, double resolution = 0.0) {
    geom::FaceSet set;
    for (size_t k : which) {
        double n[3];
        normal_of(&tris[9 * k], n);
        const int64_t self = int64_t(k);
        EXPECT_TRUE(geom::add_surface(set, &tris[9 * k], n, &self, 1, resolution, 1000000));
    }
    return set;
}

// A week of hourly steps in June at 48 N with a clear-ish sky, two cloudy hours.
std::vector<maps::Step> june_week() {
    std::vector<double> times, dni, dhi, albedo;
    for (int h = 0; h < 24 * 7; ++h) {
        times.push_back((151 * 24 + h) * 3600.0);
        const int hour = h % 24;
        const bool day = hour >= 5 && hour <= 19;
        dni.push_back(day ? (hour == 12 ? 40.0 : 650.0) : 0.0);
        dhi.push_back(day ? 120.0 + 5.0 * hour : 0.0);
        albedo.push_back(0.2);
    }
    std::vector<maps::Step> steps;
    EXPECT_EQ(maps::make_steps(16.37, 48.21, 1, 2025, times, 1800.0, dni, dhi, albedo, 1.0, steps),
              maps::StepsError::none);
    return steps;
}

maps::MapOptions small_options() {
    maps::MapOptions o;
    o.sky_directions = 512;
    o.horizon_directions = 256;
    o.threads = 2;
    return o;
}

}  // namespace

TEST(MapSteps, SunAtTheOffsetMonthOfTheClockAndSizesChecked) {
    const std::vector<double> times = {0.0, 31 * 86400.0 - 3600.0, 181 * 86400.0 + 12 * 3600.0};
    const std::vector<double> v = {100.0, 200.0, 300.0};
    std::vector<maps::Step> steps;
    ASSERT_EQ(maps::make_steps(16.37, 48.21, 1, 2025, times, 1800.0, v, v, v, 0.5, steps), maps::StepsError::none);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].month, 1);
    EXPECT_EQ(steps[1].month, 1);  // 31 January 23:00, its sun at 23:30
    EXPECT_EQ(steps[2].month, 7);
    qm::solar::SunPosition p;
    ASSERT_EQ(sh::step_sun(16.37, 48.21, 1, 2025, times[2], 1800.0, p), qm::solar::SpaError::none);
    EXPECT_EQ(steps[2].altitude, p.height);
    EXPECT_EQ(steps[2].azimuth, p.azimuth);
    EXPECT_GT(steps[2].altitude, 60.0);
    EXPECT_EQ(steps[2].hours, 0.5);
    EXPECT_TRUE(std::isnan(steps[0].airmass));  // midnight: sun down
    EXPECT_NEAR(steps[2].dni_extra, 1322.0, 5.0);
    const std::vector<double> short_v = {1.0};
    EXPECT_EQ(maps::make_steps(16.37, 48.21, 1, 2025, times, 1800.0, v, short_v, v, 1.0, steps),
              maps::StepsError::sizes);
}

TEST(IrradiationMap, FreePlaneIsThePanelLightSummedStepByStep) {
    // A south roof tilted 30 deg, alone: every sun step lights it fully.
    const double b = 30.0 * 3.14159265358979323846 / 180.0;
    std::vector<double> tris;
    const double p0[3] = {0, 0, 0}, p1[3] = {4, 0, 0}, p2[3] = {4, 3 * std::cos(b), 3 * std::sin(b)},
                 p3[3] = {0, 3 * std::cos(b), 3 * std::sin(b)};
    quad(tris, p0, p1, p2, p3);
    geom::Scene scene(tris, 1);
    const auto steps = june_week();
    for (bool perez : {true, false}) {
        for (bool global : {true, false}) {
            maps::MapOptions o = small_options();
            o.perez = perez, o.global_ground = global;
            const geom::FaceSet rows = rows_of(tris, {0, 1});
            maps::MapResult got;
            ASSERT_EQ(maps::irradiation_map(scene, rows, steps, o, got), maps::MapError::none);
            // The same views through the view kernel, the light through the sky kernels.
            sh::SkyViewOptions vo;
            vo.directions = o.sky_directions, vo.horizon_directions = o.horizon_directions;
            sh::ViewFactors v;
            ASSERT_TRUE(sh::view_factors(scene, rows, v, vo));
            double n[3];
            normal_of(&tris[0], n);
            double expected = 0.0, june = 0.0;
            for (const maps::Step& s : steps) {
                double d[3] = {0, 0, 0}, cos_aoi = 0.0;
                if (s.altitude > 0.0 || s.dni > 0.0) {  // the beam counts wherever its sun is
                    geom::sun_direction(s.altitude, s.azimuth, d);
                    cos_aoi = std::max(0.0, n[0] * d[0] + n[1] * d[1] + n[2] * d[2]);
                }
                const double direct = s.dni > 0.0 ? s.dni * cos_aoi : 0.0;
                double sky_part = s.dhi * v.sky[0];
                qm::sky::SkyDiffuse parts;
                if (perez && qm::sky::perez(s.dhi, s.dni, s.dni_extra, 90.0 - s.altitude, s.airmass,
                                            {v.sky[0], v.horizon[0]}, cos_aoi, parts) == qm::sky::SkyError::none)
                    sky_part = parts.total();
                const double ghi = global ? qm::sky::global_horizontal(s.dni, s.dhi, s.altitude) : s.dhi;
                const double h = (direct + sky_part + qm::sky::ground_diffuse(ghi, s.albedo, v.ground[0])) / 1000.0;
                expected += h;
                if (s.month == 6) june += h;
            }
            EXPECT_NEAR(got.annual[0], expected, 1e-9 * expected) << perez << global;
            EXPECT_NEAR(got.monthly[5], june, 1e-9 * expected);
            EXPECT_NEAR(got.monthly[5] + got.monthly[6], got.annual[0], 1e-9 * expected);
            EXPECT_EQ(got.annual[0], got.annual[1]);  // same plane, nothing in the way
            EXPECT_EQ(got.sky_view[0], v.sky[0]);
            EXPECT_EQ(got.horizon_view[0], v.horizon[0]);
            EXPECT_GT(got.beam_rays, 0u);
            EXPECT_GT(got.view_rays, 2u * 512u);
        }
    }
}

TEST(IrradiationMap, ShadeFromARoofAboveRemovesBeamAndSky) {
    std::vector<double> tris;
    const double g0[3] = {-1, -1, 0}, g1[3] = {1, -1, 0}, g2[3] = {1, 1, 0}, g3[3] = {-1, 1, 0};
    quad(tris, g0, g1, g2, g3);  // triangles 0, 1: a small horizontal patch
    const double r0[3] = {-500, -500, 1}, r1[3] = {-500, 500, 1}, r2[3] = {500, 500, 1}, r3[3] = {500, -500, 1};
    quad(tris, r0, r1, r2, r3);  // triangles 2, 3: a huge canopy 1 m above (facing down)
    geom::Scene scene(tris, 1);
    std::vector<double> free_tris(tris.begin(), tris.begin() + 18);
    geom::Scene free_scene(free_tris, 1);
    const auto steps = june_week();
    maps::MapResult shaded, open;
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}), steps, small_options(), shaded), maps::MapError::none);
    ASSERT_EQ(maps::irradiation_map(free_scene, rows_of(free_tris, {0}), steps, small_options(), open),
              maps::MapError::none);
    EXPECT_GT(open.annual[0], 30.0);
    EXPECT_LT(shaded.annual[0], 0.01 * open.annual[0]);
    EXPECT_LT(shaded.sky_view[0], 0.01);
}

TEST(IrradiationMap, SubsetsAndThreadCountsGiveTheSameValuesBitForBit) {
    // A small street: two blocks and a ground plate, every triangle mapped.
    std::vector<double> tris;
    auto box = [&](double x0, double y0, double x1, double y1, double h) {
        const double a[3] = {x0, y0, 0}, b[3] = {x1, y0, 0}, c[3] = {x1, y1, 0}, d[3] = {x0, y1, 0};
        const double A[3] = {x0, y0, h}, B[3] = {x1, y0, h}, C[3] = {x1, y1, h}, D[3] = {x0, y1, h};
        quad(tris, A, B, C, D);
        quad(tris, a, b, B, A);
        quad(tris, b, c, C, B);
        quad(tris, c, d, D, C);
        quad(tris, d, a, A, D);
    };
    box(0, 0, 6, 8, 9);
    box(10, -3, 14, 12, 5);
    const double g0[3] = {-20, -20, -0.01}, g1[3] = {30, -20, -0.01}, g2[3] = {30, 30, -0.01}, g3[3] = {-20, 30, -0.01};
    quad(tris, g0, g1, g2, g3);
    geom::Scene scene(tris, 2);
    const size_t nt = tris.size() / 9;
    std::vector<size_t> all(nt);
    for (size_t k = 0; k < nt; ++k) all[k] = k;
    const auto steps = june_week();
    maps::MapOptions o = small_options();
    o.block = 3;  // several blocks per subset
    maps::MapResult whole;
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, all, 1.5), steps, o, whole), maps::MapError::none);
    ASSERT_EQ(whole.annual.size(), nt);
    // Walls facing the other block get less than the same walls would alone; the roof most.
    EXPECT_GT(whole.annual[0], whole.annual[2]);
    // Units of any split, on other thread counts, concatenate to the whole map.
    const std::vector<std::vector<size_t>> units = {{0, 1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12, 13, 14}, {15, 16},
                                                   {17, 18, 19, 20, 21}};
    size_t row = 0;
    for (size_t u = 0; u < units.size(); ++u) {
        maps::MapOptions ou = o;
        ou.threads = unsigned(1 + u % 3);
        ou.block = 1 + u;
        maps::MapResult part;
        ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, units[u], 1.5), steps, ou, part), maps::MapError::none);
        for (size_t i = 0; i < units[u].size(); ++i, ++row) {
            EXPECT_EQ(part.annual[i], whole.annual[row]) << row;
            for (size_t m = 0; m < 12; ++m) EXPECT_EQ(part.monthly[12 * i + m], whole.monthly[12 * row + m]);
            EXPECT_EQ(part.sky_view[i], whole.sky_view[row]);
        }
    }
    EXPECT_EQ(row, nt);
}

TEST(IrradiationMap, ResolutionSplitsAHalfShadedTriangle) {
    // A ground triangle crossed by a tall east-west wall: its north part lies in the wall's shadow.
    std::vector<double> tris = {0, -4, 0, 8, -4, 0, 0, 4, 0};
    const double w0[3] = {-50, 1, 0}, w1[3] = {50, 1, 0}, w2[3] = {50, 1, 30}, w3[3] = {-50, 1, 30};
    quad(tris, w0, w1, w2, w3);
    geom::Scene scene(tris, 1);
    const auto steps = june_week();
    maps::MapResult coarse, fine;
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}, 0.0), steps, small_options(), coarse),
              maps::MapError::none);
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}, 0.25), steps, small_options(), fine),
              maps::MapError::none);
    EXPECT_NE(coarse.annual[0], fine.annual[0]);
    EXPECT_GT(fine.annual[0], 0.0);
}

TEST(IrradiationMap, SkipsNonFiniteStepsCancelsAndRefusesBadOptions) {
    std::vector<double> tris = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    geom::Scene scene(tris, 1);
    auto steps = june_week();
    maps::MapResult a, b;
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}), steps, small_options(), a), maps::MapError::none);
    EXPECT_EQ(a.skipped_steps, 0u);
    // Noon of the first day without a diffuse value: that step adds nothing.
    steps[12].dhi = NAN;
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}), steps, small_options(), b), maps::MapError::none);
    EXPECT_EQ(b.skipped_steps, 1u);
    EXPECT_LT(b.annual[0], a.annual[0]);
    EXPECT_TRUE(std::isfinite(b.annual[0]));

    std::atomic<bool> cancel{true};
    maps::MapOptions o = small_options();
    o.cancel = &cancel;
    EXPECT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}), steps, o, b), maps::MapError::cancelled);
    o = small_options();
    o.sky_directions = 0;
    EXPECT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}), steps, o, b), maps::MapError::bad_options);
    size_t reports = 0, last = 0;
    o = small_options();
    o.progress = [&](size_t d, size_t t) {
        EXPECT_EQ(t, 1000u);
        EXPECT_GE(d, last);
        last = d, ++reports;
    };
    ASSERT_EQ(maps::irradiation_map(scene, rows_of(tris, {0}), steps, o, b), maps::MapError::none);
    EXPECT_GT(reports, 0u);
    EXPECT_EQ(last, 1000u);
}

TEST(MapTable, RoundTripsAndRefusesOtherTrianglesOrDamage) {
    maps::MapResult m;
    m.annual = {1012.5, 0.1 + 0.2};
    for (int i = 0; i < 24; ++i) m.monthly.push_back(i * 1.1);
    m.sky_view = {0.9, 1.0 / 3.0}, m.ground_view = {0.05, 0.0}, m.horizon_view = {0.5, 0.25};
    const std::vector<int64_t> ids = {7, 12};
    const std::string text = maps::map_table_text(ids, m);
    maps::MapResult back;
    size_t line = 0;
    ASSERT_TRUE(maps::read_map_table(text, ids, back, line));
    EXPECT_EQ(back.annual, m.annual);
    EXPECT_EQ(back.monthly, m.monthly);
    EXPECT_EQ(back.sky_view, m.sky_view);
    EXPECT_FALSE(maps::read_map_table(text, {7, 13}, back, line));
    EXPECT_EQ(line, 3u);
    EXPECT_FALSE(maps::read_map_table(text, {7}, back, line));  // an extra row
    std::string bad = text;
    bad.replace(bad.find("1012.5"), 6, "nan");
    EXPECT_FALSE(maps::read_map_table(bad, ids, back, line));
    EXPECT_EQ(line, 2u);
    EXPECT_FALSE(maps::read_map_table(text.substr(0, text.size() - 5), ids, back, line));
    EXPECT_FALSE(maps::read_map_table("", ids, back, line));
}
