// Kernels of the project shading: step sun positions, table grids, mesh
// subdivision, batch exact factors, fingerprints and the factor file.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/self_match.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/exact_factors.hpp"
#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/step_sun.hpp"
#include "kernels/shading/sun_grid.hpp"
#include "kernels/sun/spa.hpp"

namespace sh = qm::shading;
namespace geom = qm::geom;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void quad(std::vector<double>& t, const double a[3], const double b[3], const double c[3], const double d[3]) {
    for (const double* p : {a, b, c, a, c, d}) t.insert(t.end(), p, p + 3);
}

// A horizontal 4 x 4 roof at z = 0 (x, y in 0..4) meshed as cells x cells
// quads, and a thin vertical screen along x = 2 from y = -1 to 5, z 0..10,
// that shades the roof's west half for a sun in the east at low altitude.
struct RoofScene {
    std::vector<double> tris;  // roof first, then the screen
    size_t roof = 0;
};
RoofScene roof_scene(int cells) {
    RoofScene s;
    const double w = 4.0 / cells;
    for (int i = 0; i < cells; ++i)
        for (int j = 0; j < cells; ++j) {
            const double a[3] = {i * w, j * w, 0}, b[3] = {(i + 1) * w, j * w, 0}, c[3] = {(i + 1) * w, (j + 1) * w, 0},
                         d[3] = {i * w, (j + 1) * w, 0};
            quad(s.tris, a, b, c, d);
        }
    s.roof = s.tris.size() / 9;
    const double a[3] = {2.5, -1, 0.5}, b[3] = {2.5, 5, 0.5}, c[3] = {2.5, 5, 10}, d[3] = {2.5, -1, 10};
    quad(s.tris, a, b, c, d);
    return s;
}

geom::FaceSet roof_faces(const RoofScene& s, double resolution) {
    geom::FaceSet f;
    std::vector<double> normals;
    std::vector<int64_t> self;
    for (size_t k = 0; k < s.roof; ++k) {
        normals.insert(normals.end(), {0.0, 0.0, 1.0});
        self.push_back(int64_t(k));
    }
    EXPECT_TRUE(geom::add_surface(f, s.tris.data(), normals.data(), self.data(), s.roof, resolution, 10000000));
    return f;
}

}  // namespace

TEST(StepSun, MiddleIsHalfAnHourAfterTheClockAndStartIsTheClock) {
    sh::SunTime t;
    EXPECT_TRUE(sh::parse_sun_time("middle", t));
    EXPECT_EQ(t, sh::SunTime::middle);
    EXPECT_TRUE(sh::parse_sun_time("start", t));
    EXPECT_EQ(t, sh::SunTime::start);
    EXPECT_FALSE(sh::parse_sun_time("Middle", t));
    EXPECT_FALSE(sh::parse_sun_time("", t));
    EXPECT_EQ(sh::sun_offset(sh::SunTime::middle), 1800.0);
    EXPECT_EQ(sh::sun_offset(sh::SunTime::start), 0.0);

    // 21 June 2025 at 10:00 is 171 days and 10 hours after 1 January.
    const double clock = (171 * 24 + 10) * 3600.0;
    qm::solar::SunPosition mid, start, ref_mid, ref_start;
    ASSERT_EQ(sh::step_sun(16.37, 48.21, 1, 2025, clock, 1800.0, mid), qm::solar::SpaError::none);
    ASSERT_EQ(sh::step_sun(16.37, 48.21, 1, 2025, clock, 0.0, start), qm::solar::SpaError::none);
    const double at_half[6] = {2025, 6, 21, 10, 30, 0}, at_hour[6] = {2025, 6, 21, 10, 0, 0};
    qm::solar::sun_position(16.37, 48.21, 1, at_half, ref_mid);
    qm::solar::sun_position(16.37, 48.21, 1, at_hour, ref_start);
    EXPECT_TRUE(same_bits(mid.height, ref_mid.height) && same_bits(mid.azimuth, ref_mid.azimuth));
    EXPECT_TRUE(same_bits(start.height, ref_start.height) && same_bits(start.azimuth, ref_start.azimuth));
    EXPECT_GT(mid.height, start.height);  // morning: the sun climbs

    // The offset crosses midnight into the next day (31 December 23:45 -> 1 January 00:15).
    qm::solar::SunPosition late, ref_late;
    ASSERT_EQ(sh::step_sun(0, 0, 0, 2025, 364 * 86400.0 + 23.75 * 3600, 1800, late), qm::solar::SpaError::none);
    const double next[6] = {2026, 1, 1, 0, 15, 0};
    qm::solar::sun_position(0, 0, 0, next, ref_late);
    EXPECT_TRUE(same_bits(late.azimuth, ref_late.azimuth));
    EXPECT_EQ(sh::step_sun(0, 0, 0, 2025, std::nan(""), 0, late), qm::solar::SpaError::not_finite);
}

TEST(StepSun, TimesAreTheClocksRepeatedSums) {
    auto t = sh::step_times(100.0, 0.1, 1000);
    ASSERT_EQ(t.size(), 1000u);
    double c = 100.0;
    for (size_t k = 0; k < t.size(); ++k) {
        EXPECT_TRUE(same_bits(t[k], c)) << k;
        c += 0.1;
    }
    EXPECT_EQ(sh::step_count(365 * 86400.0, 3600.0), 8760u);
    EXPECT_EQ(sh::step_count(3601.0, 3600.0), 2u);  // the last step overruns the end
    EXPECT_EQ(sh::step_count(0.0, 3600.0), 0u);
    EXPECT_EQ(sh::step_count(10.0, 0.0), 0u);
}

TEST(SunGrid, SpecifiedAndFreeSteps) {
    sh::SunGrid g = sh::specified_grid();
    EXPECT_EQ(g.azimuths.size(), 9u);
    EXPECT_EQ(g.altitudes.size(), 6u);
    EXPECT_EQ(g.altitudes.back(), 75.0);
    EXPECT_EQ(g.size(), 54u);

    ASSERT_EQ(sh::make_grid(5, 5, g), "");
    EXPECT_EQ(g.azimuths.size(), 73u);
    EXPECT_EQ(g.altitudes.size(), 19u);
    EXPECT_EQ(g.altitudes.back(), 90.0);
    EXPECT_EQ(g.azimuths[71], 355.0);
    EXPECT_EQ(g.azimuths.back(), 360.0);

    ASSERT_EQ(sh::make_grid(7, 20, g), "");  // steps that do not divide the ranges end on the range's end
    EXPECT_EQ(g.azimuths[g.azimuths.size() - 2], 357.0);
    EXPECT_EQ(g.azimuths.back(), 360.0);
    EXPECT_EQ(g.altitudes, (std::vector<double>{0, 20, 40, 60, 80, 90}));

    ASSERT_EQ(sh::make_grid(0.1, 45, g), "");  // k * step, no accumulated drift, no near-duplicate end point
    EXPECT_EQ(g.azimuths.size(), 3601u);
    EXPECT_NEAR(g.azimuths[3599], 359.9, 1e-9);

    for (auto [a, h] : {std::pair{0.0, 15.0}, {45.0, -1.0}, {361.0, 15.0}, {45.0, 91.0}, {std::nan(""), 15.0},
                        {45.0, std::numeric_limits<double>::infinity()}, {0.05, 0.05}}) {
        sh::SunGrid bad;
        EXPECT_NE(sh::make_grid(a, h, bad), "") << a << " " << h;
    }
    EXPECT_EQ(sh::angle_text(45.0), "45");
    EXPECT_EQ(sh::angle_text(2.5), "2.5");
    EXPECT_EQ(sh::angle_text(-0.0), "0");
    EXPECT_EQ(sh::angle_text(0.1 * 3), "0.30000000000000004");
}

TEST(Subdivide, CongruentPartsCoverTheTriangleWithShortEdges) {
    const double tri[9] = {0, 0, 0, 3, 0, 0, 0.5, 2, 1};
    EXPECT_EQ(geom::subdivision_parts(tri, 0.0), 1u);
    EXPECT_EQ(geom::subdivision_parts(tri, -1.0), 1u);
    EXPECT_EQ(geom::subdivision_parts(tri, std::nan("")), 1u);
    EXPECT_EQ(geom::subdivision_parts(tri, 10.0), 1u);
    const size_t n = geom::subdivision_parts(tri, 0.25);
    EXPECT_EQ(n, 14u);  // longest edge sqrt(11.25) = 3.35
    std::vector<double> out;
    geom::subdivide_triangle(tri, n, out);
    ASSERT_EQ(out.size(), 9 * n * n);
    auto cross = [](const double* t, double c[3]) {
        const double u[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, v[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
        c[0] = u[1] * v[2] - u[2] * v[1], c[1] = u[2] * v[0] - u[0] * v[2], c[2] = u[0] * v[1] - u[1] * v[0];
    };
    double parent[3];
    cross(tri, parent);
    double area = 0;
    for (size_t k = 0; k < n * n; ++k) {
        const double* t = out.data() + 9 * k;
        double c[3];
        cross(t, c);
        EXPECT_GT(c[0] * parent[0] + c[1] * parent[1] + c[2] * parent[2], 0.0) << "winding of part " << k;
        area += 0.5 * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        for (int e = 0; e < 3; ++e) {
            const double* p = t + 3 * e;
            const double* q = t + 3 * ((e + 1) % 3);
            EXPECT_LE(std::hypot(q[0] - p[0], q[1] - p[1], q[2] - p[2]), 0.25 + 1e-12);
        }
    }
    EXPECT_NEAR(area, 0.5 * std::sqrt(parent[0] * parent[0] + parent[1] * parent[1] + parent[2] * parent[2]), 1e-12);

    out.clear();
    geom::subdivide_triangle(tri, 1, out);
    for (int j = 0; j < 9; ++j) EXPECT_TRUE(same_bits(out[j], tri[j]));

    // A surface that would exceed the face budget is refused and adds nothing.
    geom::FaceSet set;
    const double normal[3] = {0, 0, 1};
    const int64_t self = 7;
    EXPECT_FALSE(geom::add_surface(set, tri, normal, &self, 1, 0.25, 100));
    EXPECT_EQ(set.size(), 0u);
    EXPECT_TRUE(set.first.empty());
    ASSERT_TRUE(geom::add_surface(set, tri, normal, &self, 1, 0.25, 1000));
    EXPECT_EQ(set.count[0], 196u);
    EXPECT_EQ(set.self[195], 7);
}

TEST(ExactFactors, BatchEqualsOnePositionAtATimeOnAnyThreadCount) {
    RoofScene s = roof_scene(2);
    geom::Scene scene(s.tris);
    geom::FaceSet faces = roof_faces(s, 0.0);
    std::vector<double> alt, az;
    for (int k = 0; k < 97; ++k) {
        alt.push_back(-5.0 + k * 0.97);
        az.push_back(std::fmod(k * 37.3, 360.0));
    }
    std::vector<double> one(alt.size()), two(alt.size());
    sh::BatchOptions o1, o2;
    o1.threads = 1;
    o2.threads = 2;
    size_t last_done = 0, last_total = 0;
    o2.progress = [&](size_t d, size_t t) { last_done = d, last_total = t; };
    ASSERT_TRUE(sh::exact_factors(scene, faces, alt.data(), az.data(), alt.size(), one.data(), o1));
    ASSERT_TRUE(sh::exact_factors(scene, faces, alt.data(), az.data(), alt.size(), two.data(), o2));
    EXPECT_EQ(last_done, alt.size());
    EXPECT_EQ(last_total, alt.size());
    for (size_t p = 0; p < alt.size(); ++p) {
        // Reference: the scan of the model's roof triangles and the pairwise mean.
        double d[3];
        geom::sun_direction(alt[p], az[p], d);
        std::vector<double> illum(s.roof), areas(s.roof);
        scene.scan(faces.tris.data(), faces.normals.data(), faces.self.data(), s.roof, d, illum.data(), areas.data(), 1,
                   true);
        const double ref = geom::area_weighted_mean(illum.data(), areas.data(), s.roof);
        EXPECT_TRUE(same_bits(one[p], ref)) << p;
        EXPECT_TRUE(same_bits(two[p], ref)) << p;
    }
    // Straight up: the roof is fully lit; low in the east: the screen shades the part west of it.
    double up = 0, east = 0;
    const double a90 = 90, a0 = 0, a30 = 30, a_e = 90;
    sh::exact_factors(scene, faces, &a90, &a0, 1, &up);
    sh::exact_factors(scene, faces, &a30, &a_e, 1, &east);
    EXPECT_NEAR(up, 1.0, 1e-12);
    EXPECT_LT(east, 0.9 * std::sin(30 * M_PI / 180));

    std::atomic<bool> stop{true};
    sh::BatchOptions oc;
    oc.cancel = &stop;
    EXPECT_FALSE(sh::exact_factors(scene, faces, alt.data(), az.data(), alt.size(), one.data(), oc));
}

TEST(ExactFactors, SubdividedFactorsConvergeWhateverTheMesh) {
    // Sun in the east at 30 deg: rays from the roof west of the screen pass
    // under its lower edge (z = 0.5) unless they start west of
    // x = 2.5 - 0.5 / tan(alt), so the lit fraction is known exactly.
    const double alt = 30.0, az = 90.0;
    const double edge = 2.5 - 0.5 / std::tan(alt * M_PI / 180.0);  // 1.63: shadow of the screen's lower edge
    const double lit = (4.0 - edge) / 4.0;
    double d[3];
    geom::sun_direction(alt, az, d);
    auto factor = [&](int cells, double resolution) {
        RoofScene s = roof_scene(cells);
        geom::Scene scene(s.tris);
        geom::FaceSet faces = roof_faces(s, resolution);
        double out = 0;
        sh::factors_for_direction(scene, faces, d, &out);
        return out;
    };
    const double cos = d[2];
    const double coarse = factor(1, 0.02), fine = factor(8, 0.02);
    EXPECT_NEAR(coarse / fine, 1.0, 0.005);
    EXPECT_NEAR(fine, lit * cos, 0.005 * cos);
    // Without subdivision the two meshes disagree by much more.
    EXPECT_GT(std::fabs(factor(1, 0) - factor(8, 0)), 0.05 * cos);
}

TEST(Fingerprint, Sha256KnownVectorsAndIncrementalUse) {
    EXPECT_EQ(sh::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sh::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes: two blocks
    EXPECT_EQ(sh::sha256_hex(two), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    std::string big(100003, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + (i * 7) % 26);
    sh::Sha256 h;
    for (size_t i = 0; i < big.size(); i += 997) h.update(big.data() + i, std::min<size_t>(997, big.size() - i));
    EXPECT_EQ(sh::Sha256::hex(h.finish()), sh::sha256_hex(big));
}

TEST(Fingerprint, TextRoundTripAndDifferences) {
    sh::Fingerprint a;
    a.set("model", "abc123");
    a.set("surfaces", "roof_a, roof b");
    a.set("grid", "45 15");
    a.set("grid", "5 5");  // replaces, keeps the position
    ASSERT_EQ(a.entries.size(), 3u);
    sh::Fingerprint b;
    ASSERT_TRUE(sh::Fingerprint::parse(a.text(), b));
    EXPECT_EQ(b.entries, a.entries);
    EXPECT_TRUE(sh::Fingerprint::differences(a, b).empty());
    b.set("model", "other");
    b.set("extra", "1");
    EXPECT_EQ(sh::Fingerprint::differences(a, b), (std::vector<std::string>{"model", "extra"}));
    sh::Fingerprint c;
    EXPECT_FALSE(sh::Fingerprint::parse("not a fingerprint\n", c));
    EXPECT_TRUE(sh::Fingerprint::parse("# only a comment\r\n\r\nk = v = w\r\n", c));
    EXPECT_EQ(*c.get("k"), "v = w");
    sh::Fingerprint nl;
    nl.set("name", "two\nlines");
    ASSERT_TRUE(sh::Fingerprint::parse(nl.text(), c));
    EXPECT_EQ(*c.get("name"), "two lines");
    EXPECT_EQ(sh::fingerprint_path("/a/t.csv"), "/a/t.csv.fingerprint");
}

TEST(FactorFile, RoundTripKeepsEveryBitAndRefusesDamage) {
    sh::FactorTable t;
    t.surfaces = {"roof_a", "roof_b"};
    t.altitudes = {0.1, 45.123456789012345, 89.99999999999999};
    t.azimuths = {359.99999999999994, 6.123233995736766e-17, 180};
    t.factors = {0, 1, 6.123e-17, 0.30000000000000004, 1e-300, 0.7071067811865476};
    sh::FactorTable back;
    ASSERT_EQ(sh::parse_factor_table(sh::factor_table_text(t), 2, back), "");
    ASSERT_EQ(back.positions(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(same_bits(back.altitudes[i], t.altitudes[i]));
        EXPECT_TRUE(same_bits(back.azimuths[i], t.azimuths[i]));
    }
    for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(same_bits(back.factors[i], t.factors[i]));
    EXPECT_NE(sh::parse_factor_table(sh::factor_table_text(t), 3, back), "");
    EXPECT_NE(sh::parse_factor_table("altitude,azimuth,a\n1,2,x\n", 1, back), "");
    EXPECT_NE(sh::parse_factor_table("", 1, back), "");
    EXPECT_EQ(sh::parse_factor_table("altitude,azimuth,a\r\n1,2,0.5\r\n", 1, back), "");
    EXPECT_EQ(back.factors, (std::vector<double>{0.5}));
}
