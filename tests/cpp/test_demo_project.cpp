#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "kernels/demo/demo_project.hpp"

namespace {

struct Facet {
    double n[3];
    double v[3][3];
};

// Minimal reader of the generated text: solid name -> facets.
std::map<std::string, std::vector<Facet>> parse(const std::string& stl) {
    std::map<std::string, std::vector<Facet>> out;
    std::istringstream in(stl);
    std::string word, solid;
    Facet f{};
    int vi = 0;
    while (in >> word) {
        if (word == "solid") in >> solid;
        else if (word == "normal") in >> f.n[0] >> f.n[1] >> f.n[2], vi = 0;
        else if (word == "vertex") in >> f.v[vi][0] >> f.v[vi][1] >> f.v[vi][2], ++vi;
        else if (word == "endfacet") out[solid].push_back(f);
    }
    return out;
}

TEST(DemoHouse, NamedSolidsWithOutwardNormals) {
    auto solids = parse(qm::demo::house_stl());
    std::vector<std::string> names = qm::demo::house_surface_names();
    ASSERT_EQ(solids.size(), names.size());
    for (const auto& n : names) EXPECT_TRUE(solids.count(n)) << n;
    EXPECT_EQ(solids["roof_south_east"].size(), 5u * 4u * 2u);
    EXPECT_EQ(solids["roof_north"].size(), 10u * 4u * 2u);
    EXPECT_EQ(solids["neighbour_tower"].size(), 12u);
    for (const Facet& f : solids["roof_south_west"]) {
        EXPECT_NEAR(f.n[1], -0.6, 1e-6);  // atan(3/4) tilt facing south
        EXPECT_NEAR(f.n[2], 0.8, 1e-6);
    }
    for (const Facet& f : solids["roof_north"]) EXPECT_NEAR(f.n[1], 0.6, 1e-6);
    for (const Facet& f : solids["wall_east"]) EXPECT_NEAR(f.n[0], 1.0, 1e-6);
    for (const Facet& f : solids["wall_west"]) EXPECT_NEAR(f.n[0], -1.0, 1e-6);
    // Boxes are closed and wound outwards: the normals' area-weighted sum vanishes
    // and every face points away from the centre.
    for (const char* box : {"neighbour_tower", "neighbour_tree"}) {
        double c[3] = {0, 0, 0};
        for (const Facet& f : solids[box])
            for (auto& v : f.v)
                for (int k = 0; k < 3; ++k) c[k] += v[k] / (3.0 * solids[box].size());
        for (const Facet& f : solids[box]) {
            double d = 0;
            for (int k = 0; k < 3; ++k) d += f.n[k] * (f.v[0][k] - c[k]);
            EXPECT_GT(d, 0.0) << box;
        }
    }
    // The roof halves together cover the footprint: 2 x 10 m x 5 m slope length.
    double area = 0;
    for (const char* roof : {"roof_south_east", "roof_south_west", "roof_north"})
        for (const Facet& f : solids[roof]) {
            double a[3], b[3];
            for (int k = 0; k < 3; ++k) a[k] = f.v[1][k] - f.v[0][k], b[k] = f.v[2][k] - f.v[0][k];
            double cx = a[1] * b[2] - a[2] * b[1], cy = a[2] * b[0] - a[0] * b[2], cz = a[0] * b[1] - a[1] * b[0];
            area += 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
        }
    EXPECT_NEAR(area, 100.0, 1e-6);
    EXPECT_EQ(qm::demo::house_stl({0}), "");
    EXPECT_EQ(parse(qm::demo::house_stl({3}))["roof_north"].size(), 48u);
}

TEST(DemoWeather, ClearSkyModel) {
    EXPECT_EQ(qm::demo::clear_sky(-5.0, 10).ghi, 0.0);
    EXPECT_EQ(qm::demo::clear_sky(std::nan(""), 10).dni, 0.0);
    auto high = qm::demo::clear_sky(60.0, 172), low = qm::demo::clear_sky(10.0, 172);
    EXPECT_GT(high.dni, 800.0);
    EXPECT_LT(high.dni, 1050.0);
    EXPECT_LT(low.dni, high.dni);
    EXPECT_NEAR(high.ghi, high.dni * std::sin(60.0 * M_PI / 180.0) * 1.1, 1e-9);
}

std::vector<std::vector<std::string>> rows(const std::string& epw) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(epw);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 5 || !std::isdigit((unsigned char)line[0])) continue;
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string field;
        while (std::getline(ls, field, ',')) f.push_back(field);
        out.push_back(f);
    }
    return out;
}

TEST(DemoWeather, EpwYear) {
    qm::demo::WeatherOptions o;
    o.latitude = 48.2, o.longitude = 16.4, o.time_zone = 1, o.year = 2024;  // leap year: 29 Feb left out
    std::string epw = qm::demo::clear_sky_epw(o);
    EXPECT_EQ(epw.rfind("LOCATION,", 0), 0u);
    auto r = rows(epw);
    ASSERT_EQ(r.size(), 8760u);
    for (const auto& f : r) ASSERT_EQ(f.size(), 35u);
    EXPECT_EQ(r[0][1] + "/" + r[0][2] + " " + r[0][3], "1/1 1");
    EXPECT_EQ(r[59 * 24][1] + "/" + r[59 * 24][2], "3/1");
    double wind = 0, t_jan = 0, t_jul = 0, ghi_jun = 0, ghi_dec = 0;
    for (size_t i = 0; i < r.size(); ++i) {
        double ghi = std::stod(r[i][13]), dni = std::stod(r[i][14]), dhi = std::stod(r[i][15]);
        int hour = std::stoi(r[i][3]);
        if (hour == 1 || hour == 24) {
            EXPECT_EQ(ghi, 0.0);  // night at this site
        }
        EXPECT_GE(dni, 0.0);
        EXPECT_NEAR(dhi, 0.1 * (ghi - dhi), 1.0);  // diffuse is a tenth of the beam on the horizontal
        wind += std::stod(r[i][21]) / 8760;
        EXPECT_GE(std::stod(r[i][21]), 0.0);
        int month = std::stoi(r[i][1]);
        if (month == 1) t_jan += std::stod(r[i][6]) / (31 * 24);
        if (month == 7) t_jul += std::stod(r[i][6]) / (31 * 24);
        if (month == 6) ghi_jun += ghi;
        if (month == 12) ghi_dec += ghi;
    }
    EXPECT_NEAR(wind, 4.5, 0.6);
    EXPECT_GT(t_jul - t_jan, 12.0);
    EXPECT_GT(ghi_jun, 3.0 * ghi_dec);
    // Deterministic, and the seed matters.
    EXPECT_EQ(qm::demo::clear_sky_epw(o), epw);
    o.seed = 2;
    EXPECT_NE(qm::demo::clear_sky_epw(o), epw);
}

TEST(DemoWeather, SouthernHemisphereAndOptions) {
    qm::demo::WeatherOptions o;
    o.latitude = -34.0, o.longitude = 151.0, o.time_zone = 10;
    auto r = rows(qm::demo::clear_sky_epw(o));
    ASSERT_EQ(r.size(), 8760u);
    double t_jan = 0, t_jul = 0;
    for (auto& f : r) {
        if (f[1] == "1") t_jan += std::stod(f[6]);
        if (f[1] == "7") t_jul += std::stod(f[6]);
    }
    EXPECT_GT(t_jan, t_jul);
    for (auto bad : {qm::demo::WeatherOptions{91.0}, qm::demo::WeatherOptions{0.0, 181.0},
                     qm::demo::WeatherOptions{0.0, 0.0, 15}, qm::demo::WeatherOptions{0.0, 0.0, 0, 0},
                     qm::demo::WeatherOptions{0.0, 0.0, 0, 2025, -1.0},
                     qm::demo::WeatherOptions{std::nan(""), 0.0}}) {
        EXPECT_FALSE(qm::demo::check_weather_options(bad).empty());
        EXPECT_EQ(qm::demo::clear_sky_epw(bad), "");
    }
}

}  // namespace
