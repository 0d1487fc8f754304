#include "kernels/sun/spa.hpp"

#include <cmath>
#include <cstddef>

namespace qm::solar {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

inline double rad(double d) { return d * kDeg; }
inline double deg(double r) { return r / kDeg; }

// Reduces an angle to [0, 360).
inline double limit_degrees(double d) {
    double r = std::fmod(d, 360.0);
    if (r < 0) r += 360.0;
    if (r >= 360.0) r = 0.0;  // -tiny + 360 may round up to 360
    return r;
}

// One periodic term A cos(B + C x) of the earth's heliocentric series.
struct Term {
    double a, b, c;
};

// Earth heliocentric longitude terms L0..L5.
constexpr Term L0[] = {
    {175347046.0, 0, 0}, {3341656.0, 4.6692568, 6283.07585}, {34894.0, 4.6261, 12566.1517},
    {3497.0, 2.7441, 5753.3849}, {3418.0, 2.8289, 3.5231}, {3136.0, 3.6277, 77713.7715},
    {2676.0, 4.4181, 7860.4194}, {2343.0, 6.1352, 3930.2097}, {1324.0, 0.7425, 11506.7698},
    {1273.0, 2.0371, 529.691}, {1199.0, 1.1096, 1577.3435}, {990, 5.233, 5884.927},
    {902, 2.045, 26.298}, {857, 3.508, 398.149}, {780, 1.179, 5223.694},
    {753, 2.533, 5507.553}, {505, 4.583, 18849.228}, {492, 4.205, 775.523},
    {357, 2.92, 0.067}, {317, 5.849, 11790.629}, {284, 1.899, 796.298},
    {271, 0.315, 10977.079}, {243, 0.345, 5486.778}, {206, 4.806, 2544.314},
    {205, 1.869, 5573.143}, {202, 2.458, 6069.777}, {156, 0.833, 213.299},
    {132, 3.411, 2942.463}, {126, 1.083, 20.775}, {115, 0.645, 0.98},
    {103, 0.636, 4694.003}, {102, 0.976, 15720.839}, {102, 4.267, 7.114},
    {99, 6.21, 2146.17}, {98, 0.68, 155.42}, {86, 5.98, 161000.69},
    {85, 1.3, 6275.96}, {85, 3.67, 71430.7}, {80, 1.81, 17260.15},
    {79, 3.04, 12036.46}, {75, 1.76, 5088.63}, {74, 3.5, 3154.69},
    {74, 4.68, 801.82}, {70, 0.83, 9437.76}, {62, 3.98, 8827.39},
    {61, 1.82, 7084.9}, {57, 2.78, 6286.6}, {56, 4.39, 14143.5},
    {56, 3.47, 6279.55}, {52, 0.19, 12139.55}, {52, 1.33, 1748.02},
    {51, 0.28, 5856.48}, {49, 0.49, 1194.45}, {41, 5.37, 8429.24},
    {41, 2.4, 19651.05}, {39, 6.17, 10447.39}, {37, 6.04, 10213.29},
    {37, 2.57, 1059.38}, {36, 1.71, 2352.87}, {36, 1.78, 6812.77},
    {33, 0.59, 17789.85}, {30, 0.44, 83996.85}, {30, 2.74, 1349.87},
    {25, 3.16, 4690.48}};
constexpr Term L1[] = {
    {628331966747.0, 0, 0}, {206059.0, 2.678235, 6283.07585}, {4303.0, 2.6351, 12566.1517},
    {425.0, 1.59, 3.523}, {119.0, 5.796, 26.298}, {109.0, 2.966, 1577.344},
    {93, 2.59, 18849.23}, {72, 1.14, 529.69}, {68, 1.87, 398.15},
    {67, 4.41, 5507.55}, {59, 2.89, 5223.69}, {56, 2.17, 155.42},
    {45, 0.4, 796.3}, {36, 0.47, 775.52}, {29, 2.65, 7.11},
    {21, 5.34, 0.98}, {19, 1.85, 5486.78}, {19, 4.97, 213.3},
    {17, 2.99, 6275.96}, {16, 0.03, 2544.31}, {16, 1.43, 2146.17},
    {15, 1.21, 10977.08}, {12, 2.83, 1748.02}, {12, 3.26, 5088.63},
    {12, 5.27, 1194.45}, {12, 2.08, 4694}, {11, 0.77, 553.57},
    {10, 1.3, 6286.6}, {10, 4.24, 1349.87}, {9, 2.7, 242.73},
    {9, 5.64, 951.72}, {8, 5.3, 2352.87}, {6, 2.65, 9437.76},
    {6, 4.67, 4690.48}};
constexpr Term L2[] = {
    {52919.0, 0, 0}, {8720.0, 1.0721, 6283.0758}, {309.0, 0.867, 12566.152},
    {27, 0.05, 3.52}, {16, 5.19, 26.3}, {16, 3.68, 155.42},
    {10, 0.76, 18849.23}, {9, 2.06, 77713.77}, {7, 0.83, 775.52},
    {5, 4.66, 1577.34}, {4, 1.03, 7.11}, {4, 3.44, 5573.14},
    {3, 5.14, 796.3}, {3, 6.05, 5507.55}, {3, 1.19, 242.73},
    {3, 6.12, 529.69}, {3, 0.31, 398.15}, {3, 2.28, 553.57},
    {2, 4.38, 5223.69}, {2, 3.75, 0.98}};
constexpr Term L3[] = {{289.0, 5.844, 6283.076}, {35, 0, 0}, {17, 5.49, 12566.15}, {3, 5.2, 155.42},
                       {1, 4.72, 3.52}, {1, 5.3, 18849.23}, {1, 5.97, 242.73}};
constexpr Term L4[] = {{114.0, 3.142, 0}, {8, 4.13, 6283.08}, {1, 3.84, 12566.15}};
constexpr Term L5[] = {{1, 3.14, 0}};

// Earth heliocentric latitude terms B0..B1.
constexpr Term B0[] = {{280.0, 3.199, 84334.662}, {102.0, 5.422, 5507.553}, {80, 3.88, 5223.69},
                       {44, 3.7, 2352.87}, {32, 4, 1577.34}};
constexpr Term B1[] = {{9, 3.9, 5507.55}, {6, 1.73, 5223.69}};

// Earth radius vector terms R0..R4.
constexpr Term R0[] = {
    {100013989.0, 0, 0}, {1670700.0, 3.0984635, 6283.07585}, {13956.0, 3.05525, 12566.1517},
    {3084.0, 5.1985, 77713.7715}, {1628.0, 1.1739, 5753.3849}, {1576.0, 2.8469, 7860.4194},
    {925.0, 5.453, 11506.77}, {542.0, 4.564, 3930.21}, {472.0, 3.661, 5884.927},
    {346.0, 0.964, 5507.553}, {329.0, 5.9, 5223.694}, {307.0, 0.299, 5573.143},
    {243.0, 4.273, 11790.629}, {212.0, 5.847, 1577.344}, {186.0, 5.022, 10977.079},
    {175.0, 3.012, 18849.228}, {110.0, 5.055, 5486.778}, {98, 0.89, 6069.78},
    {86, 5.69, 15720.84}, {86, 1.27, 161000.69}, {65, 0.27, 17260.15},
    {63, 0.92, 529.69}, {57, 2.01, 83996.85}, {56, 5.24, 71430.7},
    {49, 3.25, 2544.31}, {47, 2.58, 775.52}, {45, 5.54, 9437.76},
    {43, 6.01, 6275.96}, {39, 5.36, 4694}, {38, 2.39, 8827.39},
    {37, 0.83, 19651.05}, {37, 4.9, 12139.55}, {36, 1.67, 12036.46},
    {35, 1.84, 2942.46}, {33, 0.24, 7084.9}, {32, 0.18, 5088.63},
    {32, 1.78, 398.15}, {28, 1.21, 6286.6}, {28, 1.9, 6279.55},
    {26, 4.59, 10447.39}};
constexpr Term R1[] = {{103019.0, 1.10749, 6283.07585}, {1721.0, 1.0644, 12566.1517}, {702.0, 3.142, 0},
                       {32, 1.02, 18849.23}, {31, 2.84, 5507.55}, {25, 1.32, 5223.69},
                       {18, 1.42, 1577.34}, {10, 5.91, 10977.08}, {9, 1.42, 6275.96},
                       {9, 0.27, 5486.78}};
constexpr Term R2[] = {{4359.0, 5.7846, 6283.0758}, {124.0, 5.579, 12566.152}, {12, 3.14, 0},
                       {9, 3.63, 77713.77}, {6, 1.87, 5573.14}, {3, 5.47, 18849.23}};
constexpr Term R3[] = {{145.0, 4.273, 6283.076}, {7, 3.92, 12566.15}};
constexpr Term R4[] = {{4, 2.56, 6283.08}};

// Nutation: multiples of the five fundamental arguments X0..X4 ...
constexpr signed char kNutationY[63][5] = {
    {0, 0, 0, 0, 1},   {-2, 0, 0, 2, 2},  {0, 0, 0, 2, 2},   {0, 0, 0, 0, 2},   {0, 1, 0, 0, 0},
    {0, 0, 1, 0, 0},   {-2, 1, 0, 2, 2},  {0, 0, 0, 2, 1},   {0, 0, 1, 2, 2},   {-2, -1, 0, 2, 2},
    {-2, 0, 1, 0, 0},  {-2, 0, 0, 2, 1},  {0, 0, -1, 2, 2},  {2, 0, 0, 0, 0},   {0, 0, 1, 0, 1},
    {2, 0, -1, 2, 2},  {0, 0, -1, 0, 1},  {0, 0, 1, 2, 1},   {-2, 0, 2, 0, 0},  {0, 0, -2, 2, 1},
    {2, 0, 0, 2, 2},   {0, 0, 2, 2, 2},   {0, 0, 2, 0, 0},   {-2, 0, 1, 2, 2},  {0, 0, 0, 2, 0},
    {-2, 0, 0, 2, 0},  {0, 0, -1, 2, 1},  {0, 2, 0, 0, 0},   {2, 0, -1, 0, 1},  {-2, 2, 0, 2, 2},
    {0, 1, 0, 0, 1},   {-2, 0, 1, 0, 1},  {0, -1, 0, 0, 1},  {0, 0, 2, -2, 0},  {2, 0, -1, 2, 1},
    {2, 0, 1, 2, 2},   {0, 1, 0, 2, 2},   {-2, 1, 1, 0, 0},  {0, -1, 0, 2, 2},  {2, 0, 0, 2, 1},
    {2, 0, 1, 0, 0},   {-2, 0, 2, 2, 2},  {-2, 0, 1, 2, 1},  {2, 0, -2, 0, 1},  {2, 0, 0, 0, 1},
    {0, -1, 1, 0, 0},  {-2, -1, 0, 2, 1}, {-2, 0, 0, 0, 1},  {0, 0, 2, 2, 1},   {-2, 0, 2, 0, 1},
    {-2, 1, 0, 2, 1},  {0, 0, 1, -2, 0},  {-1, 0, 1, 0, 0},  {-2, 1, 0, 0, 0},  {1, 0, 0, 0, 0},
    {0, 0, 1, 2, 0},   {0, 0, -2, 2, 2},  {-1, -1, 1, 0, 0}, {0, 1, 1, 0, 0},   {0, -1, 1, 2, 2},
    {2, -1, -1, 2, 2}, {0, 0, 3, 2, 2},   {2, -1, 0, 2, 2}};
// ... and their coefficients (a + b JCE) sin for psi, (c + d JCE) cos for epsilon [0.0001 arcsec].
constexpr double kNutationPE[63][4] = {
    {-171996, -174.2, 92025, 8.9}, {-13187, -1.6, 5736, -3.1}, {-2274, -0.2, 977, -0.5},
    {2062, 0.2, -895, 0.5},        {1426, -3.4, 54, -0.1},     {712, 0.1, -7, 0},
    {-517, 1.2, 224, -0.6},        {-386, -0.4, 200, 0},       {-301, 0, 129, -0.1},
    {217, -0.5, -95, 0.3},         {-158, 0, 0, 0},            {129, 0.1, -70, 0},
    {123, 0, -53, 0},              {63, 0, 0, 0},              {63, 0.1, -33, 0},
    {-59, 0, 26, 0},               {-58, -0.1, 32, 0},         {-51, 0, 27, 0},
    {48, 0, 0, 0},                 {46, 0, -24, 0},            {-38, 0, 16, 0},
    {-31, 0, 13, 0},               {29, 0, 0, 0},              {29, 0, -12, 0},
    {26, 0, 0, 0},                 {-22, 0, 0, 0},             {21, 0, -10, 0},
    {17, -0.1, 0, 0},              {16, 0, -8, 0},             {-16, 0.1, 7, 0},
    {-15, 0, 9, 0},                {-13, 0, 7, 0},             {-12, 0, 6, 0},
    {11, 0, 0, 0},                 {-10, 0, 5, 0},             {-8, 0, 3, 0},
    {7, 0, -3, 0},                 {-7, 0, 0, 0},              {-7, 0, 3, 0},
    {-7, 0, 3, 0},                 {6, 0, 0, 0},               {6, 0, -3, 0},
    {6, 0, -3, 0},                 {-6, 0, 3, 0},              {-6, 0, 3, 0},
    {5, 0, 0, 0},                  {-5, 0, 3, 0},              {-5, 0, 3, 0},
    {-5, 0, 3, 0},                 {4, 0, 0, 0},               {4, 0, 0, 0},
    {4, 0, 0, 0},                  {-4, 0, 0, 0},              {-4, 0, 0, 0},
    {-4, 0, 0, 0},                 {3, 0, 0, 0},               {-3, 0, 0, 0},
    {-3, 0, 0, 0},                 {-3, 0, 0, 0},              {-3, 0, 0, 0},
    {-3, 0, 0, 0},                 {-3, 0, 0, 0},              {-3, 0, 0, 0}};

// cos(x) for |x| < 1e6 to about 1e-15 absolute: Cody-Waite reduction by
// pi/2 in three parts (each product k * part is exact for |k| < 2^20), then
// Taylor polynomials on [-pi/4, pi/4]. The series below call it a few
// hundred times per instant; the library cos costs several times as much.
inline double fast_cos(double x) noexcept {
    constexpr double kTwoOverPi = 6.36619772367581382433e-01;
    constexpr double kPio2_1 = 1.57079632673412561417e+00;   // first 33 bits of pi/2
    constexpr double kPio2_2 = 6.07710050630396597660e-11;   // next 33 bits
    constexpr double kPio2_2t = 2.02226624879595063154e-21;  // pi/2 - kPio2_1 - kPio2_2
    constexpr double kRound = 6755399441055744.0;            // 1.5 * 2^52: adding it rounds to an integer
    const double k = (x * kTwoOverPi + kRound) - kRound;
    const double r = ((x - k * kPio2_1) - k * kPio2_2) - k * kPio2_2t;
    const double r2 = r * r;
    const double c =
        1.0 + r2 * (-1.0 / 2 + r2 * (1.0 / 24 + r2 * (-1.0 / 720 + r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 + r2 * (1.0 / 479001600 + r2 * (-1.0 / 87178291200.0 + r2 * (1.0 / 20922789888000.0))))))));
    const double sn =
        r * (1.0 + r2 * (-1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 + r2 * (1.0 / 362880 + r2 * (-1.0 / 39916800 + r2 * (1.0 / 6227020800.0 + r2 * (-1.0 / 1307674368000.0))))))));
    const int32_t q = static_cast<int32_t>(k) & 3;
    const double v = (q & 1) ? sn : c;
    return ((q + 1) & 2) ? -v : v;
}

// e^(ia) * e^(ib) without the library's NaN/inf handling of complex products.
inline void phasor_mul(double& re, double& im, double bre, double bim) noexcept {
    const double r = re * bre - im * bim;
    im = re * bim + im * bre;
    re = r;
}

// Sum of A cos(B + C x) over a table; the cosines are formed in a loop of
// their own (no dependency between iterations), then summed in table order.
template <size_t N>
double series(const Term (&t)[N], double jme) {
    double v[N];
    for (size_t i = 0; i < N; ++i) v[i] = fast_cos(t[i].b + t[i].c * jme);
    double s = 0.0;
    for (size_t i = 0; i < N; ++i) s += t[i].a * v[i];
    return s;
}

// Polynomial in x with the series sums as coefficients, divided by 1e8.
double earth_value(const double* sums, int count, double jme) {
    double v = 0.0;
    for (int i = count - 1; i >= 0; --i) v = v * jme + sums[i];
    return v / 1.0e8;
}

// Julian day of a calendar date whose day may carry a fraction (any real,
// negative included: the formula is linear in the day).
double julian_day(double year, double month, double day_fraction) {
    if (month < 3) {
        month += 12;
        year -= 1;
    }
    double jd = std::floor(365.25 * (year + 4716.0)) + std::floor(30.6001 * (month + 1)) + day_fraction - 1524.5;
    if (jd > 2299160.0) {
        double a = std::floor(year / 100);
        jd += 2 - a + std::floor(a / 4);
    }
    return jd;
}

// The part of the algorithm that depends only on the instant: geocentric sun
// position and sidereal time. Cached per thread because every panel of a
// simulation asks for the same instant in turn.
struct Geocentric {
    double jd = NAN, delta_t = NAN;
    double L, B, R, delta_psi, delta_epsilon, epsilon, lambda, alpha, delta, nu;
};

void geocentric(double jd, double delta_t, Geocentric& g) {
    g.jd = jd;
    g.delta_t = delta_t;
    const double jde = jd + delta_t / 86400.0;
    const double jc = (jd - 2451545.0) / 36525.0;
    const double jce = (jde - 2451545.0) / 36525.0;
    const double jme = jce / 10.0;

    // Earth heliocentric position.
    const double l_sums[6] = {series(L0, jme), series(L1, jme), series(L2, jme),
                              series(L3, jme), series(L4, jme), series(L5, jme)};
    const double b_sums[2] = {series(B0, jme), series(B1, jme)};
    const double r_sums[5] = {series(R0, jme), series(R1, jme), series(R2, jme), series(R3, jme), series(R4, jme)};
    g.L = limit_degrees(deg(earth_value(l_sums, 6, jme)));
    g.B = deg(earth_value(b_sums, 2, jme));
    g.R = earth_value(r_sums, 5, jme);

    // Geocentric longitude and latitude.
    double theta = limit_degrees(g.L + 180.0);
    double beta = -g.B;

    // Nutation in longitude and obliquity.
    const double jce2 = jce * jce, jce3 = jce2 * jce;
    const double x[5] = {
        297.85036 + 445267.111480 * jce - 0.0019142 * jce2 + jce3 / 189474.0,  // moon elongation
        357.52772 + 35999.050340 * jce - 0.0001603 * jce2 - jce3 / 300000.0,   // sun mean anomaly
        134.96298 + 477198.867398 * jce + 0.0086972 * jce2 + jce3 / 56250.0,   // moon mean anomaly
        93.27191 + 483202.017538 * jce - 0.0036825 * jce2 + jce3 / 327270.0,   // moon argument of latitude
        125.04452 - 1934.136261 * jce + 0.0020708 * jce2 + jce3 / 450000.0};   // moon ascending node
    // Each term's argument is an integer combination (multiples -2..3) of the
    // five arguments: its sine and cosine come from products of the unit
    // phasors e^(i m X_j), computed once, instead of 63 sin/cos evaluations.
    double pre[5][6], pim[5][6];  // e^(i m X_j) for m = -2..3 at index m + 2
    for (int j = 0; j < 5; ++j) {
        const double xr = rad(limit_degrees(x[j]));
        const double c1 = std::cos(xr), s1 = std::sin(xr);
        const double c2 = c1 * c1 - s1 * s1, s2 = 2.0 * s1 * c1;
        pre[j][2] = 1.0, pim[j][2] = 0.0;
        pre[j][3] = c1, pim[j][3] = s1;
        pre[j][4] = c2, pim[j][4] = s2;
        pre[j][5] = c2 * c1 - s2 * s1, pim[j][5] = s2 * c1 + c2 * s1;
        pre[j][1] = c1, pim[j][1] = -s1;
        pre[j][0] = c2, pim[j][0] = -s2;
    }
    double sum_psi = 0.0, sum_eps = 0.0;
    for (int i = 0; i < 63; ++i) {
        double re = 1.0, im = 0.0;
        for (int j = 0; j < 5; ++j) {
            const int m = kNutationY[i][j];
            if (m != 0) phasor_mul(re, im, pre[j][m + 2], pim[j][m + 2]);
        }
        sum_psi += (kNutationPE[i][0] + kNutationPE[i][1] * jce) * im;
        sum_eps += (kNutationPE[i][2] + kNutationPE[i][3] * jce) * re;
    }
    g.delta_psi = sum_psi / 36000000.0;
    g.delta_epsilon = sum_eps / 36000000.0;

    // True obliquity of the ecliptic.
    const double u = jme / 10.0;
    const double eps0 =
        84381.448 +
        u * (-4680.93 +
             u * (-1.55 + u * (1999.25 + u * (-51.38 + u * (-249.67 + u * (-39.05 + u * (7.12 + u * (27.87 + u * (5.79 + u * 2.45)))))))));
    g.epsilon = eps0 / 3600.0 + g.delta_epsilon;

    // Aberration correction and apparent sun longitude.
    const double delta_tau = -20.4898 / (3600.0 * g.R);
    g.lambda = theta + g.delta_psi + delta_tau;

    // Apparent sidereal time at Greenwich.
    double nu0 = limit_degrees(280.46061837 + 360.98564736629 * (jd - 2451545.0) + 0.000387933 * jc * jc -
                               jc * jc * jc / 38710000.0);
    g.nu = nu0 + g.delta_psi * std::cos(rad(g.epsilon));

    // Geocentric right ascension and declination.
    const double lam = rad(g.lambda), eps = rad(g.epsilon), bet = rad(beta);
    g.alpha = limit_degrees(deg(std::atan2(std::sin(lam) * std::cos(eps) - std::tan(bet) * std::sin(eps), std::cos(lam))));
    g.delta = deg(std::asin(std::sin(bet) * std::cos(eps) + std::cos(bet) * std::sin(eps) * std::sin(lam)));
}

bool is_whole(double v) { return v == std::floor(v); }

SpaError validate(const SpaInput& in) {
    const double all[] = {in.year,     in.month,     in.day,       in.hour,      in.minute,
                          in.second,   in.timezone,  in.delta_t,   in.longitude, in.latitude,
                          in.elevation, in.pressure, in.temperature, in.atmos_refract};
    for (double v : all)
        if (!std::isfinite(v)) return SpaError::not_finite;
    if (in.year < -2000 || in.year > 6000) return SpaError::bad_year;
    if (in.month < 1 || in.month > 12 || !is_whole(in.month)) return SpaError::bad_month;
    if (in.day < 1 || in.day > 31 || !is_whole(in.day)) return SpaError::bad_day;
    if (in.hour < 0 || in.hour > 24) return SpaError::bad_hour;
    if (in.minute < 0 || in.minute >= 60) return SpaError::bad_minute;
    if (in.second < 0 || in.second >= 61) return SpaError::bad_second;
    if (in.timezone < -18 || in.timezone > 18) return SpaError::bad_timezone;
    if (in.longitude < -180 || in.longitude > 180) return SpaError::bad_longitude;
    if (in.latitude < -90 || in.latitude > 90) return SpaError::bad_latitude;
    if (in.pressure < 0 || in.pressure > 5000 || in.temperature <= -273 || in.temperature > 6000 ||
        std::fabs(in.atmos_refract) > 5 || std::fabs(in.delta_t) > 8000 || std::fabs(in.elevation) > 6.5e6)
        return SpaError::bad_atmosphere;
    return SpaError::none;
}

}  // namespace

const char* spa_error_text(SpaError e) noexcept {
    switch (e) {
        case SpaError::none: return "no error";
        case SpaError::not_finite: return "every input must be a finite number";
        case SpaError::bad_year: return "the year must lie between -2000 and 6000";
        case SpaError::bad_month: return "the month must be a whole number from 1 to 12";
        case SpaError::bad_day: return "the day must be a whole number from 1 to 31";
        case SpaError::bad_hour: return "the hour must lie between 0 and 24";
        case SpaError::bad_minute: return "the minute must be at least 0 and below 60";
        case SpaError::bad_second: return "the second must be at least 0 and below 61 (a leap second included)";
        case SpaError::bad_timezone: return "the time zone must lie between -18 and 18 hours";
        case SpaError::bad_longitude: return "the longitude must lie between -180 and 180 degrees";
        case SpaError::bad_latitude: return "the latitude must lie between -90 and 90 degrees";
        case SpaError::bad_atmosphere: return "pressure, temperature, elevation or delta T out of range";
    }
    return "unknown error";
}

double delta_t_estimate(double year, double month) noexcept {
    const double y = year + (month - 0.5) / 12.0;
    double t, u;
    if (y < -500 || y >= 2150) {
        u = (y - 1820.0) / 100.0;
        return -20.0 + 32.0 * u * u;
    }
    if (y < 500) {
        u = y / 100.0;
        return 10583.6 + u * (-1014.41 + u * (33.78311 + u * (-5.952053 + u * (-0.1798452 + u * (0.022174192 + u * 0.0090316521)))));
    }
    if (y < 1600) {
        u = (y - 1000.0) / 100.0;
        return 1574.2 + u * (-556.01 + u * (71.23472 + u * (0.319781 + u * (-0.8503463 + u * (-0.005050998 + u * 0.0083572073)))));
    }
    if (y < 1700) {
        t = y - 1600.0;
        return 120.0 + t * (-0.9808 + t * (-0.01532 + t / 7129.0));
    }
    if (y < 1800) {
        t = y - 1700.0;
        return 8.83 + t * (0.1603 + t * (-0.0059285 + t * (0.00013336 - t / 1174000.0)));
    }
    if (y < 1860) {
        t = y - 1800.0;
        return 13.72 + t * (-0.332447 + t * (0.0068612 + t * (0.0041116 + t * (-0.00037436 + t * (0.0000121272 + t * (-0.0000001699 + t * 0.000000000875))))));
    }
    if (y < 1900) {
        t = y - 1860.0;
        return 7.62 + t * (0.5737 + t * (-0.251754 + t * (0.01680668 + t * (-0.0004473624 + t / 233174.0))));
    }
    if (y < 1920) {
        t = y - 1900.0;
        return -2.79 + t * (1.494119 + t * (-0.0598939 + t * (0.0061966 - t * 0.000197)));
    }
    if (y < 1941) {
        t = y - 1920.0;
        return 21.20 + t * (0.84493 + t * (-0.076100 + t * 0.0020936));
    }
    if (y < 1961) {
        t = y - 1950.0;
        return 29.07 + t * (0.407 + t * (-1.0 / 233.0 + t / 2547.0));
    }
    if (y < 1986) {
        t = y - 1975.0;
        return 45.45 + t * (1.067 + t * (-1.0 / 260.0 - t / 718.0));
    }
    if (y < 2005) {
        t = y - 2000.0;
        return 63.86 + t * (0.3345 + t * (-0.060374 + t * (0.0017275 + t * (0.000651814 + t * 0.00002373599))));
    }
    if (y < 2050) {
        t = y - 2000.0;
        return 62.92 + t * (0.32217 + t * 0.005589);
    }
    u = (y - 1820.0) / 100.0;
    return -20.0 + 32.0 * u * u - 0.5628 * (2150.0 - y);
}

SpaError spa_calculate(const SpaInput& in, SpaResult& out) noexcept {
    SpaError err = validate(in);
    if (err != SpaError::none) return err;

    const double day_fraction =
        in.day + (in.hour - in.timezone + (in.minute + in.second / 60.0) / 60.0) / 24.0;
    const double jd = julian_day(in.year, in.month, day_fraction);

    thread_local Geocentric cache;
    if (!(cache.jd == jd && cache.delta_t == in.delta_t)) geocentric(jd, in.delta_t, cache);
    const Geocentric& g = cache;

    out.jd = jd;
    out.L = g.L;
    out.B = g.B;
    out.R = g.R;
    out.delta_psi = g.delta_psi;
    out.delta_epsilon = g.delta_epsilon;
    out.epsilon = g.epsilon;
    out.lambda = g.lambda;
    out.alpha = g.alpha;
    out.delta = g.delta;

    // Observer local hour angle.
    const double h = limit_degrees(g.nu + in.longitude - g.alpha);
    out.hour_angle = h;

    // Topocentric sun position: parallax in right ascension and declination.
    const double xi = rad(8.794 / (3600.0 * g.R));  // equatorial horizontal parallax
    const double phi = rad(in.latitude);
    const double u = std::atan(0.99664719 * std::tan(phi));
    const double x = std::cos(u) + in.elevation / 6378140.0 * std::cos(phi);
    const double y = 0.99664719 * std::sin(u) + in.elevation / 6378140.0 * std::sin(phi);
    const double hr = rad(h), dr = rad(g.delta);
    const double denom = std::cos(dr) - x * std::sin(xi) * std::cos(hr);
    const double delta_alpha = std::atan2(-x * std::sin(xi) * std::sin(hr), denom);
    const double delta_prime = std::atan2((std::sin(dr) - y * std::sin(xi)) * std::cos(delta_alpha), denom);
    const double h_prime = hr - delta_alpha;

    // Topocentric elevation, refraction, zenith and azimuth.
    const double e0 = deg(std::asin(std::sin(phi) * std::sin(delta_prime) + std::cos(phi) * std::cos(delta_prime) * std::cos(h_prime)));
    double de = 0.0;
    constexpr double kSunRadius = 0.26667;
    if (e0 >= -1.0 * (kSunRadius + in.atmos_refract))
        de = (in.pressure / 1010.0) * (283.0 / (273.0 + in.temperature)) * 1.02 /
             (60.0 * std::tan(rad(e0 + 10.3 / (e0 + 5.11))));
    out.e0 = e0;
    out.elevation = e0 + de;
    out.zenith = 90.0 - out.elevation;
    const double gamma = deg(std::atan2(std::sin(h_prime), std::cos(h_prime) * std::sin(phi) - std::tan(delta_prime) * std::cos(phi)));
    out.azimuth = limit_degrees(gamma + 180.0);
    return SpaError::none;
}

double series_cos(double x) noexcept { return fast_cos(x); }

SpaError sun_position(double longitude, double latitude, double timezone, const double datetime[6],
                      SunPosition& out) noexcept {
    SpaInput in;
    in.year = datetime[0];
    in.month = datetime[1];
    in.day = datetime[2];
    in.hour = datetime[3];
    in.minute = datetime[4];
    in.second = datetime[5];
    in.timezone = timezone;
    in.longitude = longitude;
    in.latitude = latitude;
    in.delta_t = std::isfinite(in.year) && std::isfinite(in.month) ? delta_t_estimate(in.year, in.month) : 0.0;
    SpaResult r;
    SpaError err = spa_calculate(in, r);
    if (err != SpaError::none) return err;
    out.height = r.elevation;
    out.azimuth = r.azimuth;
    return SpaError::none;
}

}  // namespace qm::solar
