// Single-thread occlusion rays per second of the exact double-precision
// scan, optionally against Embree 3 (float32 occlusion rays through the same
// centroids in the same directions, with a filter that ignores each ray's own
// triangle). Benchmark only; the package never links Embree.
//
//   bench_occlusion MODEL.stl [NAME...]    (NAME: the analysed solids; none: reading only)
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/io/file_read.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef QM_HAVE_EMBREE
#include <embree3/rtcore.h>
#endif

using namespace qm;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Rays {
    std::vector<double> faces, normals;
    std::vector<int64_t> self;
};

#ifdef QM_HAVE_EMBREE
struct SelfContext {
    RTCIntersectContext ctx;
    unsigned self;
};

void skip_self(const RTCFilterFunctionNArguments* args) {
    const auto* c = reinterpret_cast<const SelfContext*>(args->context);
    if (RTCHitN_primID(args->hit, args->N, 0) == c->self) args->valid[0] = 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODEL.stl [NAME...]\n", argv[0]);
        return 2;
    }
    io::FileText map;
    io::FileStamp key;
    if (map.open(argv[1], key) != io::ReadStatus::ok) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    {
        // File to parsed solids on one thread: plain reads (the readers' way)
        // against a memory map (the earlier way, which a truncating writer
        // turns into SIGBUS), best of three, interleaved.
        double best_read = 1e30, best_map = 1e30;
        for (int rep = 0; rep < 3; ++rep) {
            double a = now();
            {
                io::FileText f;
                io::FileStamp k;
                stl::Solids s;
                stl::ParseError e;
                if (f.open(argv[1], k) != io::ReadStatus::ok || !stl::utf8_valid(f.text()) ||
                    !stl::read_blocks_parallel(f.text(), {}, s, e, 1))
                    return 1;
            }
            double b = now();
            {
                const int fd = ::open(argv[1], O_RDONLY);
                struct stat st;
                if (fd < 0 || ::fstat(fd, &st) != 0) return 1;
                void* p = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
                ::close(fd);
                if (p == MAP_FAILED) return 1;
                ::madvise(p, size_t(st.st_size), MADV_SEQUENTIAL);
                std::string_view text(static_cast<const char*>(p), size_t(st.st_size));
                stl::Solids s;
                stl::ParseError e;
                const bool ok = stl::utf8_valid(text) && stl::read_blocks_parallel(text, {}, s, e, 1);
                ::munmap(p, size_t(st.st_size));
                if (!ok) return 1;
            }
            double c = now();
            best_read = std::min(best_read, b - a);
            best_map = std::min(best_map, c - b);
        }
        const double mb = map.text().size() / 1e6;
        std::printf("C++ file -> solids, 1 thread: plain reads %.0f MB/s, memory map %.0f MB/s (ratio %.2f)\n",
                    mb / best_read, mb / best_map, best_map / best_read);
    }
    const double mb = map.text().size() / 1e6;
    double v0 = now();
    const bool valid = stl::utf8_valid(map.text());
    double v1 = now();
    stl::Solids solids;
    stl::ParseError err;
    double t0 = now();
    if (!valid || !stl::read_blocks_parallel(map.text(), {}, solids, err, 1)) return 1;
    double t1 = now();
    {
        stl::Solids again;
        double p0 = now();
        stl::read_blocks_parallel(map.text(), {}, again, err, 0);
        double p1 = now();
        std::printf("C++: %.1f MB; UTF-8 check %.0f MB/s; block reader 1 thread %.0f MB/s, all threads %.0f MB/s\n", mb,
                    mb / (v1 - v0), mb / (t1 - t0), mb / (p1 - p0));
    }
    t1 = now();
    auto model = geom::make_model(solids);
    double t2 = now();
    const auto& scene = *model->scene;
    std::printf("     %zu triangles; model + tree build %.0f ms (%zu binary nodes)\n", scene.size(), (t2 - t1) * 1e3,
                scene.node_count());
    if (argc < 3) return 0;

    Rays r;
    for (int a = 2; a < argc; ++a)
        for (size_t s = 0; s < model->names.size(); ++s)
            if (model->names[s] == argv[a])
                for (size_t k = 0; k < model->count[s]; ++k) {
                    const size_t id = model->first[s] + k;
                    r.faces.insert(r.faces.end(), scene.tri(id), scene.tri(id) + 9);
                    r.normals.insert(r.normals.end(), &model->normals[3 * id], &model->normals[3 * id + 3]);
                    r.self.push_back(static_cast<int64_t>(id));
                }
    const size_t n = r.self.size();
    std::vector<std::array<double, 3>> dirs;
    for (int alt = 0; alt < 90; alt += 15)
        for (int az = 0; az <= 360; az += 45) {
            std::array<double, 3> d;
            geom::sun_direction(alt, az, d.data());
            dirs.push_back(d);
        }
    // Rays: faces towards the sun (the others cast nothing).
    size_t rays = 0;
    for (const auto& d : dirs)
        for (size_t f = 0; f < n; ++f) rays += geom::is_face_visible(&r.normals[3 * f], d.data());

    // Per direction: the centroids of the faces towards the sun (the others
    // cast nothing), prepared outside the timed loops of both tracers.
    std::vector<std::vector<double>> origins(dirs.size());
    std::vector<std::vector<int64_t>> owner(dirs.size());
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (size_t i = 0; i < dirs.size(); ++i)
        for (size_t f = 0; f < n; ++f) {
            double g[3];
            geom::centroid(&r.faces[9 * f], g);
            for (int j = 0; j < 3; ++j) lo[j] = std::min(lo[j], g[j]), hi[j] = std::max(hi[j], g[j]);
            if (!geom::is_face_visible(&r.normals[3 * f], dirs[i].data())) continue;
            origins[i].insert(origins[i].end(), g, g + 3);
            owner[i].push_back(r.self[f]);
        }
    std::vector<std::vector<unsigned char>> ours(dirs.size());
    for (size_t i = 0; i < dirs.size(); ++i) ours[i].resize(owner[i].size());
    double best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        const double s = now();
        for (size_t i = 0; i < dirs.size(); ++i)
            scene.cast(origins[i].data(), owner[i].data(), owner[i].size(), dirs[i].data(), ours[i].data(), 1, lo, hi);
        best = std::min(best, now() - s);
    }
    const double ours_rate = rays / best;
    std::printf("exact double BVH, 1 thread: %zu rays in %.3f s = %.2f Mrays/s\n", rays, best, ours_rate / 1e6);
    {
        std::vector<double> illum(n), areas(n);
        const double s = now();
        for (const auto& d : dirs)
            scene.scan(r.faces.data(), r.normals.data(), r.self.data(), n, d.data(), illum.data(), areas.data(), 1);
        std::printf("  whole scans (areas, facing test, casting) of %zu faces x %zu directions, 1 thread: %.3f s\n", n,
                    dirs.size(), now() - s);
    }

#ifdef QM_HAVE_EMBREE
    RTCDevice device = rtcNewDevice("threads=1");
    RTCScene es = rtcNewScene(device);
    rtcSetSceneFlags(es, RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION);
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
    const double b0 = now();
    rtcCommitScene(es);
    const double b1 = now();
    size_t agree = 0, total = 0;
    double ebest = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        const double s = now();
        for (size_t i = 0; i < dirs.size(); ++i) {
            const auto& d = dirs[i];
            for (size_t f = 0; f < owner[i].size(); ++f) {
                const double* g = &origins[i][3 * f];
                SelfContext c;
                rtcInitIntersectContext(&c.ctx);
                c.ctx.filter = skip_self;
                c.self = static_cast<unsigned>(owner[i][f]);
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
                rtcOccluded1(es, &c.ctx, &ray);
                if (rep == 0) {
                    const bool blocked = ray.tfar < 0;
                    agree += blocked == static_cast<bool>(ours[i][f]);
                    ++total;
                }
            }
        }
        ebest = std::min(ebest, now() - s);
    }
    const double erate = rays / ebest;
    std::printf("Embree 3 float32, 1 thread: build %.0f ms, %.3f s = %.2f Mrays/s; exact/Embree = %.2f; "
                "same occlusion answer on %.3f%% of rays\n",
                (b1 - b0) * 1e3, ebest, erate / 1e6, ours_rate / erate, 100.0 * agree / total);
    rtcReleaseScene(es);
    rtcReleaseDevice(device);
#else
    std::printf("Embree 3 not found at build time: no comparison\n");
#endif
    return 0;
}
