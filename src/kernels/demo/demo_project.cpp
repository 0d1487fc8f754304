#include "kernels/demo/demo_project.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "kernels/time/calendar.hpp"
#include "kernels/sun/spa.hpp"

namespace qm::demo {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSamplesPerHour = 12;  // radiation means: midpoints of 5-minute slices

struct V3 {
    double x, y, z;
};
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

class StlWriter {
public:
    void begin(const std::string& name) { out_ += "solid " + name + "\n"; }
    void end(const std::string& name) { out_ += "endsolid " + name + "\n"; }
    void triangle(V3 a, V3 b, V3 c) {
        V3 n = cross(b - a, c - a);
        double len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        if (len > 0) n = {n.x / len, n.y / len, n.z / len};
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "  facet normal %.6f %.6f %.6f\n    outer loop\n      vertex %.6f %.6f %.6f\n"
                      "      vertex %.6f %.6f %.6f\n      vertex %.6f %.6f %.6f\n    endloop\n  endfacet\n",
                      n.x + 0.0, n.y + 0.0, n.z + 0.0, a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z);
        out_ += buf;
    }
    // Corners counter-clockwise seen from outside.
    void quad(V3 a, V3 b, V3 c, V3 d) {
        triangle(a, b, c);
        triangle(a, c, d);
    }
    void box(const std::string& name, double x0, double x1, double y0, double y1, double z0, double z1) {
        begin(name);
        quad({x0, y0, z0}, {x0, y1, z0}, {x1, y1, z0}, {x1, y0, z0});  // bottom
        quad({x0, y0, z1}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1});  // top
        quad({x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}, {x0, y0, z1});  // south
        quad({x1, y1, z0}, {x0, y1, z0}, {x0, y1, z1}, {x1, y1, z1});  // north
        quad({x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {x1, y0, z1});  // east
        quad({x0, y1, z0}, {x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1});  // west
        end(name);
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// splitmix64: small, fast, and the same sequence on every platform.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return (double(next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }  // (0, 1)
    double normal() {  // Box-Muller
        double u1 = uniform(), u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
    }
};

// Dew point [C] for a temperature [C] and relative humidity [%] (Magnus formula).
double dew_point(double t, double rh) {
    const double a = 17.62, b = 243.12;
    double g = std::log(rh / 100.0) + a * t / (b + t);
    return b * g / (a - g);
}

}  // namespace

std::vector<std::string> house_surface_names() {
    return {"roof_south_east", "roof_south_west", "roof_north", "wall_south", "wall_north", "wall_east", "wall_west",
            "neighbour_tower", "neighbour_tree"};
}

std::string house_stl(const HouseOptions& options) {
    const int nx = options.roof_cells, ny = 4;
    if (nx < 1 || nx > 1000) return "";
    const double W = 10.0, D = 8.0, eave = 6.0, ridge = 9.0, half = D / 2;
    StlWriter w;
    // One roof part: x from xa to xb in `cells` columns; south parts rise
    // from the eaves (y 0) to the ridge (y 4), the north part falls from it.
    auto roof = [&](const char* name, double xa, double xb, int cells, bool south) {
        w.begin(name);
        for (int i = 0; i < cells; ++i)
            for (int j = 0; j < ny; ++j) {
                double x0 = xa + (xb - xa) * i / cells, x1 = xa + (xb - xa) * (i + 1) / cells;
                double v0 = double(j) / ny, v1 = double(j + 1) / ny;
                double y0 = south ? half * v0 : half + half * v0;
                double y1 = south ? half * v1 : half + half * v1;
                double z0 = south ? eave + (ridge - eave) * v0 : ridge - (ridge - eave) * v0;
                double z1 = south ? eave + (ridge - eave) * v1 : ridge - (ridge - eave) * v1;
                w.quad({x0, y0, z0}, {x1, y0, z0}, {x1, y1, z1}, {x0, y1, z1});
            }
        w.end(name);
    };
    roof("roof_south_east", W / 2, W, nx, true);
    roof("roof_south_west", 0.0, W / 2, nx, true);
    roof("roof_north", 0.0, W, 2 * nx, false);
    w.begin("wall_south");
    w.quad({0, 0, 0}, {W, 0, 0}, {W, 0, eave}, {0, 0, eave});
    w.end("wall_south");
    w.begin("wall_north");
    w.quad({W, D, 0}, {0, D, 0}, {0, D, eave}, {W, D, eave});
    w.end("wall_north");
    w.begin("wall_east");  // gable: pentagon as a fan
    w.triangle({W, 0, 0}, {W, D, 0}, {W, D, eave});
    w.triangle({W, 0, 0}, {W, D, eave}, {W, half, ridge});
    w.triangle({W, 0, 0}, {W, half, ridge}, {W, 0, eave});
    w.end("wall_east");
    w.begin("wall_west");
    w.triangle({0, D, 0}, {0, 0, 0}, {0, 0, eave});
    w.triangle({0, D, 0}, {0, 0, eave}, {0, half, ridge});
    w.triangle({0, D, 0}, {0, half, ridge}, {0, D, eave});
    w.end("wall_west");
    w.box("neighbour_tower", 10.0, 16.0, -14.0, -8.0, 0.0, 16.0);
    w.box("neighbour_tree", -9.0, -5.0, -6.0, -2.0, 0.0, 12.0);
    return w.take();
}

ClearSky clear_sky(double h, int n) noexcept {
    ClearSky out;
    if (!(h > 0.0)) return out;
    double i0 = 1367.0 * (1.0 + 0.033 * std::cos(2.0 * kPi * n / 365.0));
    double sinh = std::sin(h * kPi / 180.0);
    double am = 1.0 / (sinh + 0.50572 * std::pow(h + 6.07995, -1.6364));
    out.dni = i0 * std::pow(0.7, std::pow(am, 0.678));
    out.dhi = 0.1 * out.dni * sinh;
    out.ghi = out.dni * sinh + out.dhi;
    return out;
}

WeatherOptionError weather_option_error(const WeatherOptions& o) noexcept {
    if (!(o.latitude >= -90.0 && o.latitude <= 90.0)) return WeatherOptionError::bad_latitude;
    if (!(o.longitude >= -180.0 && o.longitude <= 180.0)) return WeatherOptionError::bad_longitude;
    if (!calendar::valid_time_zone(o.time_zone)) return WeatherOptionError::bad_time_zone;
    if (o.year < 1 || o.year > 9999) return WeatherOptionError::bad_year;
    if (!(o.mean_wind >= 0.0 && o.mean_wind <= 30.0)) return WeatherOptionError::bad_mean_wind;
    return WeatherOptionError::none;
}

const char* weather_option_error_text(WeatherOptionError e) noexcept {
    switch (e) {
        case WeatherOptionError::none: return "";
        case WeatherOptionError::bad_latitude: return "latitude outside -90 .. 90 degrees";
        case WeatherOptionError::bad_longitude: return "longitude outside -180 .. 180 degrees";
        case WeatherOptionError::bad_time_zone: return "time zone outside -12 .. 14 hours";
        case WeatherOptionError::bad_year: return "year outside 1 .. 9999";
        case WeatherOptionError::bad_mean_wind: return "mean wind speed outside 0 .. 30 m/s";
    }
    return "unknown option error";
}

std::string check_weather_options(const WeatherOptions& o) { return weather_option_error_text(weather_option_error(o)); }


double monthly_clearness(double latitude, int month) noexcept {
    const double alat = std::fabs(latitude);
    const double mean = 0.59 - 0.003 * alat, swing = std::min(0.12, 0.0024 * alat);
    const double mid = 30.44 * (month - 0.5);                  // middle day of the month
    const double summer = latitude >= 0 ? 172.0 : 355.0;       // local summer solstice
    return mean + swing * std::cos(2.0 * kPi * (mid - summer) / 365.0);
}

double erbs_diffuse_fraction(double kt) noexcept {
    if (!(kt > 0.22)) return 1.0 - 0.09 * std::max(kt, 0.0);
    if (kt > 0.80) return 0.165;
    return 0.9511 - 0.1604 * kt + 4.388 * kt * kt - 16.638 * kt * kt * kt + 12.336 * kt * kt * kt * kt;
}

namespace {

// Daily clearness for the 365 days of the generated year.
std::vector<double> daily_clearness(const WeatherOptions& o, Rng& rng) {
    std::vector<double> k;
    std::vector<int> month_of;
    double z = rng.normal();
    for (int month = 1; month <= 12; ++month) {
        int days = calendar::days_in_month(o.year, month);
        for (int day = 1; day <= days; ++day) {
            if (month == 2 && day == 29) continue;
            z = 0.3 * z + std::sqrt(1.0 - 0.09) * rng.normal();
            k.push_back(monthly_clearness(o.latitude, month) + 0.22 * z);
            month_of.push_back(month);
        }
    }
    for (int month = 1; month <= 12; ++month) {
        const double target = monthly_clearness(o.latitude, month);
        for (int pass = 0; pass < 6; ++pass) {
            double sum = 0.0;
            int n = 0;
            for (size_t d = 0; d < k.size(); ++d)
                if (month_of[d] == month) sum += std::clamp(k[d], 0.05, 0.78), ++n;
            const double shift = target - sum / n;
            for (size_t d = 0; d < k.size(); ++d)
                if (month_of[d] == month) k[d] = std::clamp(k[d], 0.05, 0.78) + shift;
        }
        for (size_t d = 0; d < k.size(); ++d)
            if (month_of[d] == month) k[d] = std::clamp(k[d], 0.05, 0.78);
    }
    return k;
}

std::string make_epw(const WeatherOptions& o, bool clouds);

}  // namespace

std::string clear_sky_epw(const WeatherOptions& o) { return make_epw(o, false); }
std::string cloudy_epw(const WeatherOptions& o) { return make_epw(o, true); }

namespace {

std::string make_epw(const WeatherOptions& o, bool clouds) {
    if (!check_weather_options(o).empty()) return "";
    std::string out;
    out.reserve(8760 * 160);
    char buf[640];
    std::snprintf(buf, sizeof buf,
                  "LOCATION,Demo site,-,-,synthetic,000000,%.4f,%.4f,%.1f,0.0\n"
                  "DESIGN CONDITIONS,0\nTYPICAL/EXTREME PERIODS,0\nGROUND TEMPERATURES,0\n"
                  "HOLIDAYS/DAYLIGHT SAVINGS,No,0,0,0\n"
                  "COMMENTS 1,%s\n"
                  "COMMENTS 2,Generated by quillmere demo (seed %llu)\n"
                  "DATA PERIODS,1,1,Data,Wednesday, 1/ 1,12/31\n",
                  o.latitude, o.longitude, double(o.time_zone),
                  clouds ? "Synthetic year with clouds (seeded daily clearness; Erbs diffuse fraction; clear-sky "
                           "cap from the Meinel beam with Kasten-Young air mass) with modelled temperature and wind; "
                           "not measured data"
                         : "Synthetic clear-sky year (Meinel beam with Kasten-Young air mass) with modelled "
                           "temperature and wind; not measured data",
                  (unsigned long long)o.seed);
    out += buf;

    Rng rng{o.seed};
    Rng cloud_rng{o.seed ^ 0x9E3779B97F4A7C15ull};
    const std::vector<double> day_k = clouds ? daily_clearness(o, cloud_rng) : std::vector<double>{};
    double z_hour = 0.0;
    const double alat = std::fabs(o.latitude);
    const double t_mean = 27.0 - 0.4 * alat, t_season = std::min(15.0, 0.22 * alat);
    const double warmest_day = o.latitude >= 0 ? 172.0 + 20.0 : 355.0 + 20.0;  // 20 days after the solstice
    const double k = 2.0, scale = o.mean_wind / std::tgamma(1.0 + 1.0 / k);
    double t_noise = 0.0, z_wind = rng.normal(), direction = 360.0 * rng.uniform();
    int day_index = 0;
    for (int month = 1; month <= 12; ++month) {
        int days = calendar::days_in_month(o.year, month);
        for (int day = 1; day <= days; ++day) {
            if (month == 2 && day == 29) continue;
            ++day_index;
            for (int hour = 0; hour < 24; ++hour) {
                // Radiation: the mean over the hour ending at the row's stamp
                // (hour .. hour + 1), as measured hourly tables hold it.
                double ghi = 0.0, dni = 0.0, dhi = 0.0, ext_h = 0.0, ext_n = 0.0;
                const double i0 = 1367.0 * (1.0 + 0.033 * std::cos(2.0 * kPi * day_index / 365.0));
                double kt = 0.0;
                if (clouds) {
                    z_hour = 0.7 * z_hour + std::sqrt(1.0 - 0.49) * cloud_rng.normal();
                    kt = std::clamp(day_k[day_index - 1] * (1.0 + 0.08 * z_hour), 0.0, 0.8);
                }
                for (int k = 0; k < kSamplesPerHour; ++k) {
                    const double seconds = (k + 0.5) * 3600.0 / kSamplesPerHour;
                    double dt[6] = {double(o.year), double(month), double(day), double(hour),
                                    std::floor(seconds / 60.0), std::fmod(seconds, 60.0)};
                    solar::SunPosition sun;
                    if (solar::sun_position(o.longitude, o.latitude, o.time_zone, dt, sun) != solar::SpaError::none)
                        sun.height = -90.0;
                    ClearSky sky = clear_sky(sun.height, day_index);
                    if (clouds && sun.height > 0) {
                        const double sinh = std::sin(sun.height * kPi / 180.0);
                        const double g = std::min(kt * i0 * sinh, sky.ghi);
                        double beam = g * (1.0 - erbs_diffuse_fraction(kt));
                        double dn = beam / sinh;
                        if (dn > sky.dni) dn = sky.dni, beam = dn * sinh;
                        sky = ClearSky{dn, g - beam, g};
                    }
                    ghi += sky.ghi;
                    dni += sky.dni;
                    dhi += sky.dhi;
                    if (sun.height > 0) {
                        ext_h += i0 * std::sin(sun.height * kPi / 180.0);
                        ext_n += i0;
                    }
                }
                const ClearSky sky{dni / kSamplesPerHour, dhi / kSamplesPerHour, ghi / kSamplesPerHour};
                ext_h /= kSamplesPerHour;
                ext_n /= kSamplesPerHour;

                t_noise = 0.97 * t_noise + 0.37 * rng.normal();  // stationary sd ~1.5 C
                double season = std::cos(2.0 * kPi * (day_index - warmest_day) / 365.0);
                double daily = std::cos(2.0 * kPi * (hour + 0.5 - 15.0) / 24.0);
                double temp = t_mean + t_season * season + 4.0 * daily + t_noise;
                double rh = std::clamp(70.0 - 15.0 * daily + 5.0 * rng.normal(), 20.0, 100.0);
                double dew = dew_point(temp, rh);

                z_wind = 0.9 * z_wind + std::sqrt(1.0 - 0.81) * rng.normal();
                double u = 0.5 * std::erfc(-z_wind / std::sqrt(2.0));
                u = std::clamp(u, 1e-12, 1.0 - 1e-12);
                double wind = scale * std::pow(-std::log(1.0 - u), 1.0 / k);
                wind *= 1.0 + 0.15 * std::cos(2.0 * kPi * (hour + 0.5 - 15.0) / 24.0);
                direction = std::fmod(direction + 10.0 * rng.normal() + 360.0, 360.0);

                std::snprintf(buf, sizeof buf,
                              "%d,%d,%d,%d,60,?9?9?9?9E0?9?9?9?9?9?9?9?9?9?9?9?9?9?9?9*9*9?9?9?9,"
                              "%.1f,%.1f,%.0f,101325,%.0f,%.0f,%.0f,%.0f,%.0f,%.0f,999999,999999,999999,9999,"
                              "%.0f,%.1f,0,0,9999,77777,9,999999999,0,0.0000,0,88,0.200,0.0,0.0\n",
                              o.year, month, day, hour + 1, temp, dew, rh, ext_h, ext_n, 300.0 + 5.0 * temp,
                              sky.ghi, sky.dni, sky.dhi, direction, wind);
                out += buf;
            }
        }
    }
    return out;
}

}  // namespace

}  // namespace qm::demo
