// The exact double-precision tracer against Embree 3 (when installed), from
// file to table: parse, build, cast and total for the 54-position sun table
// (altitudes 0..75 step 15, azimuths 0..360 step 45), rays per second, the
// share of rays the float pre-test decided, memory per triangle; optionally
// the hourly sun positions of a year. Embree casts float32 occlusion rays
// (rtcOccluded1) through the same centroids in the same directions, with a
// filter that ignores each ray's own triangle, build quality medium, on one
// thread; its build time includes filling its vertex buffer. Both tracers read
// the file with the same parser. Every figure is the median of --reps runs,
// the tracers interleaved within each run. Benchmark only; the package never
// links Embree.
//
//   bench_occlusion [--reps N] [--year DAYS] [--check RAYS] [--cpu] [--portable] MODEL.stl [NAME... | @NAMES_FILE]
//
// NAME: the analysed solids (a file with one name per line after @). --year
// DAYS: sun positions of every hour of every DAYS-th day of 2026 at 31.23 N
// 121.47 E (UTC+8) with the sun above the horizon. --check RAYS: compare that
// many rays against the brute-force test of every triangle. --cpu: one-thread
// figures (both tracers) in processor time of the thread instead of wall-clock
// time, for a machine shared with other work. --portable: the exact tracer
// walks with the code compiled for any x86-64 processor instead of AVX2.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/io/file_read.hpp"
#include "kernels/sun/spa.hpp"

#ifdef QM_HAVE_EMBREE
#include <embree3/rtcore.h>
#endif

using namespace qm;

namespace {

double wall() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// --cpu: single-thread figures in the thread's processor time (less noisy on a
// shared machine); two-thread figures stay wall-clock.
bool cpu_clock = false;
double now(unsigned threads = 1) {
    if (!cpu_clock || threads != 1) return wall();
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The rays of a set of sun directions: per direction the centroids of the
// analysed faces that face the sun, and their own triangle numbers.
struct RaySet {
    std::vector<std::array<double, 3>> dirs;
    std::vector<std::vector<double>> origins;
    std::vector<std::vector<int64_t>> owner;
    size_t rays = 0;
};

RaySet make_rays(const geom::Model& model, const std::vector<size_t>& faces,
                 const std::vector<std::array<double, 3>>& dirs) {
    RaySet s;
    s.dirs = dirs;
    s.origins.resize(dirs.size());
    s.owner.resize(dirs.size());
    for (size_t i = 0; i < dirs.size(); ++i)
        for (size_t id : faces) {
            if (!geom::is_face_visible(&model.normals[3 * id], dirs[i].data())) continue;
            double g[3];
            geom::centroid(model.scene->tri(id), g);
            s.origins[i].insert(s.origins[i].end(), g, g + 3);
            s.owner[i].push_back(static_cast<int64_t>(id));
            ++s.rays;
        }
    return s;
}

#ifdef QM_HAVE_EMBREE
struct SelfContext {
    RTCIntersectContext ctx;
    unsigned self;
};

void skip_self(const RTCFilterFunctionNArguments* args) {
    const auto* c = reinterpret_cast<const SelfContext*>(args->context);
    if (RTCHitN_primID(args->hit, args->N, 0) == c->self) args->valid[0] = 0;
}

RTCScene embree_build(RTCDevice device, const geom::Scene& scene) {
    RTCScene es = rtcNewScene(device);
    rtcSetSceneFlags(es, RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION);
    rtcSetSceneBuildQuality(es, RTC_BUILD_QUALITY_MEDIUM);
    RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    const size_t T = scene.size();
    auto* vb = static_cast<float*>(
        rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), 3 * T));
    auto* ib = static_cast<unsigned*>(
        rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), T));
    for (size_t k = 0; k < T; ++k) {
        for (int j = 0; j < 9; ++j) vb[9 * k + j] = static_cast<float>(scene.tri(k)[j]);
        for (int j = 0; j < 3; ++j) ib[3 * k + j] = static_cast<unsigned>(3 * k + j);
    }
    rtcCommitGeometry(geom);
    rtcAttachGeometry(es, geom);
    rtcReleaseGeometry(geom);
    rtcCommitScene(es);
    return es;
}

void embree_cast(RTCScene es, const RaySet& s, std::vector<std::vector<unsigned char>>& out) {
    for (size_t i = 0; i < s.dirs.size(); ++i) {
        const auto& d = s.dirs[i];
        for (size_t f = 0; f < s.owner[i].size(); ++f) {
            const double* g = &s.origins[i][3 * f];
            SelfContext c;
            rtcInitIntersectContext(&c.ctx);
            c.ctx.filter = skip_self;
            c.self = static_cast<unsigned>(s.owner[i][f]);
            RTCRay ray;
            ray.org_x = static_cast<float>(g[0]), ray.org_y = static_cast<float>(g[1]),
            ray.org_z = static_cast<float>(g[2]);
            ray.dir_x = static_cast<float>(d[0]), ray.dir_y = static_cast<float>(d[1]),
            ray.dir_z = static_cast<float>(d[2]);
            ray.tnear = 1e-6f;
            ray.tfar = 1e6f;
            ray.mask = ~0u;
            ray.flags = 0;
            ray.time = 0;
            ray.id = 0;
            rtcOccluded1(es, &c.ctx, &ray);
            out[i][f] = ray.tfar < 0;
        }
    }
}
#endif

struct Casts {
    std::vector<std::vector<unsigned char>> hit;
    explicit Casts(const RaySet& s) : hit(s.dirs.size()) {
        for (size_t i = 0; i < s.dirs.size(); ++i) hit[i].resize(s.owner[i].size());
    }
};

void exact_cast(const geom::Scene& scene, const RaySet& s, Casts& c, unsigned threads, const double* lo,
                const double* hi, geom::CastStats* stats = nullptr, bool packet = true) {
    for (size_t i = 0; i < s.dirs.size(); ++i)
        scene.cast(s.origins[i].data(), s.owner[i].data(), s.owner[i].size(), s.dirs[i].data(), c.hit[i].data(),
                   threads, lo, hi, false, packet, stats);
}

void print_row(const char* name, double parse, double build, double cast, size_t rays) {
    std::printf("  %-22s %9.1f %9.1f %9.1f %9.1f %10.2f\n", name, parse * 1e3, build * 1e3, cast * 1e3,
                (parse + build + cast) * 1e3, rays / cast / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5, year_every = 0;
    bool portable = false;
    size_t check = 0;
    std::vector<std::string> args;
    for (int a = 1; a < argc; ++a) {
        const std::string s = argv[a];
        if (s == "--reps" && a + 1 < argc) reps = std::max(1, std::atoi(argv[++a]));
        else if (s == "--year" && a + 1 < argc) year_every = std::max(1, std::atoi(argv[++a]));
        else if (s == "--cpu") cpu_clock = true;
        else if (s == "--portable") portable = true;
        else if (s == "--check" && a + 1 < argc) check = static_cast<size_t>(std::atol(argv[++a]));
        else args.push_back(s);
    }
    geom::use_portable_walk(portable);
    if (args.empty()) {
        std::fprintf(stderr,
                     "usage: %s [--reps N] [--year DAYS] [--check RAYS] [--cpu] [--portable] MODEL.stl "
                     "[NAME... | @FILE]\n",
                     argv[0]);
        return 2;
    }
    std::vector<std::string> names;
    for (size_t a = 1; a < args.size(); ++a) {
        if (args[a].size() > 1 && args[a][0] == '@') {
            std::ifstream in(args[a].substr(1));
            for (std::string line; std::getline(in, line);)
                if (!line.empty()) names.push_back(line);
        } else {
            names.push_back(args[a]);
        }
    }
    io::FileText map;
    io::FileStamp key;
    if (map.open(args[0].c_str(), key) != io::ReadStatus::ok || !stl::utf8_valid(map.text())) {
        std::fprintf(stderr, "cannot read %s\n", args[0].c_str());
        return 1;
    }
    const std::string_view text = map.text();

    // Parse and build, both thread counts, medians; the model of the last run is kept.
    std::vector<double> parse1, parse2, build1, build2, ebuild;
    std::shared_ptr<const geom::Model> model;
#ifdef QM_HAVE_EMBREE
    RTCDevice device = rtcNewDevice("threads=1");
    RTCScene es = nullptr;
#endif
    for (int rep = 0; rep < reps; ++rep) {
        for (unsigned threads : {1u, 2u}) {
            stl::Solids solids;
            stl::ParseError err;
            model.reset();  // releasing the previous model is not part of building this one
            double t0 = now(threads);
            if (!stl::read_blocks_parallel(text, {}, solids, err, threads)) {
                std::fprintf(stderr, "%s: parse error at line %zu\n", args[0].c_str(), err.line);
                return 1;
            }
            double t1 = now(threads);
            model = geom::make_model(solids, threads);
            double t2 = now(threads);
            (threads == 1 ? parse1 : parse2).push_back(t1 - t0);
            (threads == 1 ? build1 : build2).push_back(t2 - t1);
            if (!model->scene) {
                std::fprintf(stderr, "%s: irregular model\n", args[0].c_str());
                return 1;
            }
        }
#ifdef QM_HAVE_EMBREE
        if (es) rtcReleaseScene(es);
        const double b0 = now();
        es = embree_build(device, *model->scene);
        ebuild.push_back(now() - b0);
#endif
    }
    const geom::Scene& scene = *model->scene;
    std::vector<size_t> faces;
    for (const auto& name : names)
        for (size_t s = 0; s < model->names.size(); ++s)
            if (model->names[s] == name)
                for (size_t k = 0; k < model->count[s]; ++k) faces.push_back(model->first[s] + k);
    std::printf("%s: %zu triangles, %.1f MB, %zu analysed faces; median of %d runs; %s walk\n", args[0].c_str(),
                scene.size(), text.size() / 1e6, faces.size(), reps,
                geom::avx2_walk_available() && !portable ? "AVX2" : "portable");
    if (faces.empty()) {
        std::printf("  parse %.1f ms (1 thread), %.1f ms (2 threads); build %.1f ms, %.1f ms\n",
                    median(parse1) * 1e3, median(parse2) * 1e3, median(build1) * 1e3, median(build2) * 1e3);
        return 0;
    }
    // The origin box of the scans (all analysed faces): one float tree for every direction.
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (size_t id : faces) {
        double g[3];
        geom::centroid(scene.tri(id), g);
        for (int j = 0; j < 3; ++j) lo[j] = std::min(lo[j], g[j]), hi[j] = std::max(hi[j], g[j]);
    }

    std::vector<std::array<double, 3>> table;
    for (int alt = 0; alt < 90; alt += 15)
        for (int az = 0; az <= 360; az += 45) {
            std::array<double, 3> d;
            geom::sun_direction(alt, az, d.data());
            table.push_back(d);
        }
    // Interleaved runs of one ray set: the exact tracer on one thread (and,
    // with one_by_one, rays one by one), on two threads, and Embree.
    struct CastTimes {
        std::vector<double> one, single, two, embree;
    };
    auto time_casts = [&](const RaySet& rs, Casts& h1, Casts& h2, int runs, bool one_by_one) {
        CastTimes ct;
        for (int rep = 0; rep < runs; ++rep) {
            double t = now();
            exact_cast(scene, rs, h1, 1, lo, hi);
            ct.one.push_back(now() - t);
            if (one_by_one) {
                t = now();
                exact_cast(scene, rs, h1, 1, lo, hi, nullptr, false);
                ct.single.push_back(now() - t);
            }
            t = now(2);
            exact_cast(scene, rs, h2, 2, lo, hi);
            ct.two.push_back(now(2) - t);
#ifdef QM_HAVE_EMBREE
            Casts he(rs);
            t = now();
            embree_cast(es, rs, he.hit);
            ct.embree.push_back(now() - t);
#endif
        }
        return ct;
    };
    const RaySet rays = make_rays(*model, faces, table);
    Casts c1(rays), c2(rays);
    const CastTimes tt = time_casts(rays, c1, c2, reps, true);
    const std::vector<double>&cast1 = tt.one, &cast2 = tt.two, &single = tt.single;
    std::printf("  54 sun positions, %zu rays   parse ms  build ms   cast ms  total ms    Mrays/s\n", rays.rays);
    const double p1 = median(parse1), p2 = median(parse2), b1 = median(build1), b2 = median(build2);
    const double k1 = median(cast1), k2 = median(cast2);
    print_row("exact, 1 thread", p1, b1, k1, rays.rays);
    print_row("exact, 2 threads", p2, b2, k2, rays.rays);
    std::printf("  (exact, 1 thread, rays one by one instead of packets of 16: cast %.1f ms)\n", median(single) * 1e3);
#ifdef QM_HAVE_EMBREE
    const std::vector<double>& ecast = tt.embree;
    const double eb = median(ebuild), ek = median(ecast);
    print_row("Embree 3, 1 thread", p1, eb, ek, rays.rays);
    std::printf("  exact / Embree: 1 thread total %.2fx (build %.2fx, cast %.2fx); 2 threads total %.2fx "
                "(build %.2fx, cast %.2fx)\n",
                (p1 + b1 + k1) / (p1 + eb + ek), b1 / eb, k1 / ek, (p2 + b2 + k2) / (p1 + eb + ek), b2 / eb, k2 / ek);
    // Best runs: on a shared machine noise only adds time, and it comes in
    // phases of seconds that medians of a few runs do not average out.
    {
        auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
        const double P = best(parse1), B = best(build1), K = best(cast1), EB = best(ebuild), EK = best(ecast);
        std::printf("  best runs, exact / Embree: 1 thread total %.2fx (build %.2fx, cast %.2fx)\n",
                    (P + B + K) / (P + EB + EK), B / EB, K / EK);
    }
    {
        Casts ce(rays);
        embree_cast(es, rays, ce.hit);
        size_t agree = 0;
        for (size_t i = 0; i < table.size(); ++i)
            for (size_t f = 0; f < ce.hit[i].size(); ++f) agree += ce.hit[i][f] == c1.hit[i][f];
        std::printf("  same occlusion answer as Embree on %.3f%% of rays\n", 100.0 * agree / rays.rays);
    }
#else
    std::printf("  (Embree 3 not found at build time: no comparison)\n");
#endif
    {
        geom::CastStats st;
        Casts cs(rays), cp(rays);
        exact_cast(scene, rays, cs, 1, lo, hi, &st);
        exact_cast(scene, rays, cp, 1, lo, hi, nullptr, false);
        bool same = c1.hit == c2.hit && c1.hit == cs.hit && c1.hit == cp.hit;
        size_t hits = 0;
        for (const auto& h : cs.hit) hits += static_cast<size_t>(std::count(h.begin(), h.end(), 1));
        std::printf("  float tests: %.2f%% of rays decided without an exact test (%.2f%% of hits confirmed by the "
                    "accept test); %.2f%% of %.2f leaf triangles "
                    "per ray rejected; %.2f node tests per ray (one per packet); packets equal single rays and 1 thread equals 2: %s\n",
                    100.0 * st.pretest_only / std::max<uint64_t>(1, st.rays),
                    100.0 * st.accepted / std::max<size_t>(1, hits),
                    100.0 * (st.candidates - st.exact_tests) / std::max<uint64_t>(1, st.candidates),
                    static_cast<double>(st.candidates) / std::max<uint64_t>(1, st.rays),
                    static_cast<double>(st.node_tests) / std::max<uint64_t>(1, st.rays), same ? "yes" : "NO");
        std::printf("  memory: %.0f bytes per triangle (triangles, tree, float tree of the call), %zu wide nodes, "
                    "%zu leaves\n",
                    static_cast<double>(scene.memory_bytes()) / scene.size(), scene.node_count(), scene.leaf_count());
    }
    if (check) {
        size_t tested = 0, equal = 0;
        const size_t stride = std::max<size_t>(1, rays.rays / check);
        size_t r = 0;
        for (size_t i = 0; i < table.size(); ++i)
            for (size_t f = 0; f < rays.owner[i].size(); ++f, ++r) {
                if (r % stride) continue;
                ++tested;
                equal += scene.occluded(&rays.origins[i][3 * f], table[i].data(), rays.owner[i][f], true) ==
                         static_cast<bool>(c1.hit[i][f]);
            }
        std::printf("  brute force (every triangle) on %zu rays: %zu equal%s\n", tested, equal,
                    tested == equal ? "" : "  MISMATCH");
    }

    if (year_every) {
        std::vector<std::array<double, 3>> dirs;
        size_t hours = 0;
        for (int day = 0; day < 365; day += year_every) {
            // Day of 2026 to month and day.
            static const int mdays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            int m = 0, dd = day;
            while (dd >= mdays[m]) dd -= mdays[m++];
            for (int h = 0; h < 24; ++h) {
                const double dt[6] = {2026, static_cast<double>(m + 1), static_cast<double>(dd + 1),
                                      static_cast<double>(h), 0, 0};
                solar::SunPosition sp;
                if (solar::sun_position(121.47, 31.23, 8, dt, sp) != solar::SpaError::none || sp.height <= 0) continue;
                std::array<double, 3> d;
                geom::sun_direction(sp.height, sp.azimuth, d.data());
                dirs.push_back(d);
            }
            ++hours;
        }
        const RaySet yr = make_rays(*model, faces, dirs);
        Casts y1(yr), y2(yr);
        const CastTimes ty = time_casts(yr, y1, y2, std::min(reps, 3), false);
        const std::vector<double>&t1v = ty.one, &t2v = ty.two;
        const double full = yr.rays * 365.0 / hours;
        std::printf("  year: every %d-th day of 2026 (%zu days), %zu hourly sun positions above the horizon, %zu rays "
                    "(a whole year: about %.1f M rays)\n",
                    year_every, hours, dirs.size(), yr.rays, full / 1e6);
        std::printf("    exact 1 thread %.2f Mrays/s (whole year %.1f s), 2 threads %.2f Mrays/s (%.1f s)", 
                    yr.rays / median(t1v) / 1e6, full / (yr.rays / median(t1v)), yr.rays / median(t2v) / 1e6,
                    full / (yr.rays / median(t2v)));
#ifdef QM_HAVE_EMBREE
        const std::vector<double>& tev = ty.embree;
        std::printf("; Embree 1 thread %.2f Mrays/s (%.1f s)", yr.rays / median(tev) / 1e6,
                    full / (yr.rays / median(tev)));
#endif
        std::printf("\n");
    }
#ifdef QM_HAVE_EMBREE
    rtcReleaseScene(es);
    rtcReleaseDevice(device);
#endif
    return 0;
}
