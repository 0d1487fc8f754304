#include "kernels/geometry/triangulate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace qm::geom {

namespace {

// Ring points as a doubly linked list in one array (indices, no pointers).
struct Node {
    uint32_t i;  // index of the input point
    double x, y;
    int32_t prev, next;
};

class EarClipper {
public:
    EarClipper(std::vector<uint32_t>& tris) : tris_(tris) {}

    std::vector<Node> n;

    // Links a ring in the wanted orientation; returns a node of it or -1.
    int32_t link_ring(const double* xy, const uint32_t* idx, size_t count, bool ccw) {
        double a = 0.0;
        for (size_t k = 0, j = count - 1; k < count; j = k++)
            a += xy[2 * j] * xy[2 * k + 1] - xy[2 * k] * xy[2 * j + 1];
        int32_t last = -1;
        auto push = [&](size_t k) { last = insert(idx[k], xy[2 * k], xy[2 * k + 1], last); };
        if ((a > 0) == ccw)
            for (size_t k = 0; k < count; ++k) push(k);
        else
            for (size_t k = count; k-- > 0;) push(k);
        if (last >= 0 && equals(last, n[last].next)) {
            const int32_t nx = n[last].next;
            remove(last);
            last = nx;
        }
        return last;
    }

    int32_t eliminate_holes(int32_t outer, std::vector<int32_t>& holes) {
        std::vector<int32_t> left;
        for (int32_t h : holes) left.push_back(leftmost(h));
        std::sort(left.begin(), left.end(), [&](int32_t a, int32_t b) {
            if (n[a].x != n[b].x) return n[a].x < n[b].x;
            return n[a].y < n[b].y;
        });
        for (int32_t h : left) outer = eliminate_hole(h, outer);
        return outer;
    }

    // Clips `start` and whatever its passes split off, with an explicit work
    // list (no recursion, so no stack depth grows with the polygon).
    void clip_all(int32_t start) {
        std::vector<std::pair<int32_t, int>> work = {{start, 0}};
        while (!work.empty()) {
            const auto [ear, pass] = work.back();
            work.pop_back();
            clip(ear, pass, work);
        }
    }

    void clip(int32_t ear, int pass, std::vector<std::pair<int32_t, int>>& work) {
        if (ear < 0) return;
        int32_t stop = ear;
        while (n[ear].prev != n[ear].next) {
            const int32_t prev = n[ear].prev, next = n[ear].next;
            if (pass == 4 ? area(prev, ear, next) < 0 : is_ear(ear)) {
                emit(prev, ear, next);
                remove(ear);
                ear = n[next].next;
                stop = ear;
                continue;
            }
            ear = next;
            if (ear == stop) {
                if (pass == 0) {
                    work.push_back({filter(ear, -1), 1});
                } else if (pass == 1) {
                    work.push_back({cure_local_intersections(filter(ear, -1)), 2});
                } else if (pass == 2) {
                    if (!split(ear, work)) work.push_back({ear, 4});
                }
                break;
            }
        }
    }

private:
    std::vector<uint32_t>& tris_;

    int32_t insert(uint32_t i, double x, double y, int32_t last) {
        const int32_t k = static_cast<int32_t>(n.size());
        n.push_back({i, x, y, k, k});
        if (last >= 0) {
            n[k].next = n[last].next;
            n[k].prev = last;
            n[n[last].next].prev = k;
            n[last].next = k;
        }
        return k;
    }
    void remove(int32_t p) {
        n[n[p].next].prev = n[p].prev;
        n[n[p].prev].next = n[p].next;
    }
    void emit(int32_t a, int32_t b, int32_t c) {
        tris_.push_back(n[a].i);
        tris_.push_back(n[b].i);
        tris_.push_back(n[c].i);
    }
    bool equals(int32_t a, int32_t b) const { return n[a].x == n[b].x && n[a].y == n[b].y; }
    // Negative for a left (counter-clockwise) turn p -> q -> r.
    double area(int32_t p, int32_t q, int32_t r) const {
        return (n[q].y - n[p].y) * (n[r].x - n[q].x) - (n[q].x - n[p].x) * (n[r].y - n[q].y);
    }
    static bool in_triangle(double ax, double ay, double bx, double by, double cx, double cy, double px,
                            double py) {
        return (cx - px) * (ay - py) >= (ax - px) * (cy - py) && (ax - px) * (by - py) >= (bx - px) * (ay - py) &&
               (bx - px) * (cy - py) >= (cx - px) * (by - py);
    }
    bool is_ear(int32_t ear) const {
        const int32_t a = n[ear].prev, b = ear, c = n[ear].next;
        if (area(a, b, c) >= 0) return false;  // reflex or flat
        for (int32_t p = n[c].next; p != a; p = n[p].next) {
            if (equals(p, a) || equals(p, c)) continue;  // bridge copies of the corners
            if (in_triangle(n[a].x, n[a].y, n[b].x, n[b].y, n[c].x, n[c].y, n[p].x, n[p].y) &&
                area(n[p].prev, p, n[p].next) >= 0)
                return false;
        }
        return true;
    }
    // Drops repeated and collinear points from start up to end (-1: the whole ring).
    int32_t filter(int32_t start, int32_t end) {
        if (start < 0) return start;
        if (end < 0) end = start;
        int32_t p = start;
        bool again;
        do {
            again = false;
            if (equals(p, n[p].next) || area(n[p].prev, p, n[p].next) == 0) {
                remove(p);
                p = end = n[p].prev;
                if (p == n[p].next) break;
                again = true;
            } else {
                p = n[p].next;
            }
        } while (again || p != end);
        return end;
    }
    static int sign(double v) { return (v > 0) - (v < 0); }
    bool on_segment(int32_t p, int32_t q, int32_t r) const {
        return n[q].x <= std::max(n[p].x, n[r].x) && n[q].x >= std::min(n[p].x, n[r].x) &&
               n[q].y <= std::max(n[p].y, n[r].y) && n[q].y >= std::min(n[p].y, n[r].y);
    }
    bool intersects(int32_t p1, int32_t q1, int32_t p2, int32_t q2) const {
        const int o1 = sign(area(p1, q1, p2)), o2 = sign(area(p1, q1, q2));
        const int o3 = sign(area(p2, q2, p1)), o4 = sign(area(p2, q2, q1));
        if (o1 != o2 && o3 != o4) return true;
        if (o1 == 0 && on_segment(p1, p2, q1)) return true;
        if (o2 == 0 && on_segment(p1, q2, q1)) return true;
        if (o3 == 0 && on_segment(p2, p1, q2)) return true;
        if (o4 == 0 && on_segment(p2, q1, q2)) return true;
        return false;
    }
    bool locally_inside(int32_t a, int32_t b) const {
        return area(n[a].prev, a, n[a].next) < 0 ? area(a, b, n[a].next) >= 0 && area(a, n[a].prev, b) >= 0
                                                 : area(a, b, n[a].prev) < 0 || area(a, n[a].next, b) < 0;
    }
    bool middle_inside(int32_t a, int32_t b) const {
        int32_t p = a;
        bool inside = false;
        const double px = (n[a].x + n[b].x) / 2, py = (n[a].y + n[b].y) / 2;
        do {
            const int32_t q = n[p].next;
            if (((n[p].y > py) != (n[q].y > py)) && n[q].y != n[p].y &&
                (px < (n[q].x - n[p].x) * (py - n[p].y) / (n[q].y - n[p].y) + n[p].x))
                inside = !inside;
            p = q;
        } while (p != a);
        return inside;
    }
    bool intersects_ring(int32_t a, int32_t b) const {
        int32_t p = a;
        do {
            const int32_t q = n[p].next;
            if (n[p].i != n[a].i && q != a && n[p].i != n[b].i && n[q].i != n[b].i && n[q].i != n[a].i &&
                intersects(p, q, a, b))
                return true;
            p = q;
        } while (p != a);
        return false;
    }
    bool valid_diagonal(int32_t a, int32_t b) const {
        return n[n[a].next].i != n[b].i && n[n[a].prev].i != n[b].i && !intersects_ring(a, b) &&
               ((locally_inside(a, b) && locally_inside(b, a) && middle_inside(a, b) &&
                 (area(n[a].prev, a, n[b].prev) != 0 || area(a, n[b].prev, b) != 0)) ||
                (equals(a, b) && area(n[a].prev, a, n[a].next) > 0 && area(n[b].prev, b, n[b].next) > 0));
    }
    // Joins a and b by two copies of the diagonal; returns b's copy.
    int32_t split_ring(int32_t a, int32_t b) {
        const int32_t a2 = static_cast<int32_t>(n.size());
        n.push_back(n[a]);
        const int32_t b2 = static_cast<int32_t>(n.size());
        n.push_back(n[b]);
        const int32_t an = n[a].next, bp = n[b].prev;
        n[a].next = b;
        n[b].prev = a;
        n[a2].next = an;
        n[an].prev = a2;
        n[b2].next = a2;
        n[a2].prev = b2;
        n[bp].next = b2;
        n[b2].prev = bp;
        return b2;
    }
    int32_t cure_local_intersections(int32_t start) {
        if (start < 0) return start;
        int32_t p = start;
        do {
            const int32_t a = n[p].prev, b = n[n[p].next].next;
            if (!equals(a, b) && intersects(a, p, n[p].next, b) && locally_inside(a, b) && locally_inside(b, a)) {
                emit(a, p, b);
                remove(p);
                remove(n[p].next);
                p = start = b;
            }
            p = n[p].next;
        } while (p != start);
        return filter(p, -1);
    }
    bool split(int32_t start, std::vector<std::pair<int32_t, int>>& work) {
        int32_t a = start;
        do {
            for (int32_t b = n[n[a].next].next; b != n[a].prev; b = n[b].next) {
                if (n[a].i != n[b].i && valid_diagonal(a, b)) {
                    int32_t c = split_ring(a, b);
                    a = filter(a, n[a].next);
                    c = filter(c, n[c].next);
                    work.push_back({a, 0});
                    work.push_back({c, 0});
                    return true;
                }
            }
            a = n[a].next;
        } while (a != start);
        return false;
    }
    int32_t leftmost(int32_t start) const {
        int32_t p = start, m = start;
        do {
            if (n[p].x < n[m].x || (n[p].x == n[m].x && n[p].y < n[m].y)) m = p;
            p = n[p].next;
        } while (p != start);
        return m;
    }
    bool sector_contains_sector(int32_t m, int32_t p) const {
        return area(n[m].prev, m, n[p].prev) < 0 && area(n[p].next, m, n[m].next) < 0;
    }
    // An outline point the hole's leftmost point h sees: the nearest edge
    // crossed by a ray from h towards -x, then its best visible endpoint.
    int32_t hole_bridge(int32_t h, int32_t outer) const {
        int32_t p = outer, m = -1;
        const double hx = n[h].x, hy = n[h].y;
        double qx = -std::numeric_limits<double>::infinity();
        do {
            const int32_t q = n[p].next;
            if (hy <= n[p].y && hy >= n[q].y && n[q].y != n[p].y) {
                const double x = n[p].x + (hy - n[p].y) * (n[q].x - n[p].x) / (n[q].y - n[p].y);
                if (x <= hx && x > qx) {
                    qx = x;
                    m = n[p].x < n[q].x ? p : q;
                    if (x == hx) return m;  // the hole touches the outline here
                }
            }
            p = q;
        } while (p != outer);
        if (m < 0) return -1;
        const int32_t stop = m;
        const double mx = n[m].x, my = n[m].y;
        double tan_min = std::numeric_limits<double>::infinity();
        p = m;
        do {
            if (hx >= n[p].x && n[p].x >= mx && hx != n[p].x &&
                in_triangle(hy < my ? hx : qx, hy, mx, my, hy < my ? qx : hx, hy, n[p].x, n[p].y)) {
                const double t = std::fabs(hy - n[p].y) / (hx - n[p].x);
                if (locally_inside(p, h) &&
                    (t < tan_min ||
                     (t == tan_min && (n[p].x > n[m].x || (n[p].x == n[m].x && sector_contains_sector(m, p)))))) {
                    m = p;
                    tan_min = t;
                }
            }
            p = n[p].next;
        } while (p != stop);
        return m;
    }
    int32_t eliminate_hole(int32_t h, int32_t outer) {
        const int32_t bridge = hole_bridge(h, outer);
        if (bridge < 0) return outer;  // a hole outside the outline: ignored
        const int32_t back = split_ring(bridge, h);
        filter(back, n[back].next);
        return filter(bridge, n[bridge].next);
    }
};

}  // namespace

void newell_normal(const double* p, size_t count, double out[3]) noexcept {
    out[0] = out[1] = out[2] = 0.0;
    for (size_t k = 0, j = count - 1; k < count; j = k++) {
        const double* a = p + 3 * j;
        const double* b = p + 3 * k;
        out[0] += (a[1] - b[1]) * (a[2] + b[2]);
        out[1] += (a[2] - b[2]) * (a[0] + b[0]);
        out[2] += (a[0] - b[0]) * (a[1] + b[1]);
    }
}

void triangulate_polygon(const double* pts, const uint32_t* ring_sizes, size_t rings, std::vector<uint32_t>& tris) {
    if (rings == 0 || ring_sizes[0] < 3) return;
    const uint32_t outer_n = ring_sizes[0];
    size_t total = 0;
    for (size_t r = 0; r < rings; ++r) total += ring_sizes[r];
    const size_t first_tri = tris.size();

    double nrm[3];
    newell_normal(pts, outer_n, nrm);
    if (!std::isfinite(nrm[0]) || !std::isfinite(nrm[1]) || !std::isfinite(nrm[2])) {
        for (uint32_t k = 1; k + 1 < outer_n; ++k) tris.insert(tris.end(), {0u, k, k + 1});
        return;
    }
    const double ax = std::fabs(nrm[0]), ay = std::fabs(nrm[1]), az = std::fabs(nrm[2]);
    if (ax == 0 && ay == 0 && az == 0) return;  // no area
    // Plane of projection: drop the axis of the largest normal component.
    int u = 0, v = 1;
    if (ax >= ay && ax >= az) u = 1, v = 2;
    else if (ay >= az) u = 2, v = 0;
    std::vector<double> xy(2 * total);
    std::vector<uint32_t> idx(total);
    for (size_t k = 0; k < total; ++k) {
        xy[2 * k] = pts[3 * k + u];
        xy[2 * k + 1] = pts[3 * k + v];
        idx[k] = static_cast<uint32_t>(k);
    }

    std::vector<uint32_t> out;
    EarClipper ec(out);
    ec.n.reserve(total + 4 * rings + 8);
    // Repeated consecutive points are dropped before linking.
    auto ring = [&](size_t start, size_t count, bool ccw) -> int32_t {
        std::vector<double> rxy;
        std::vector<uint32_t> ridx;
        for (size_t k = 0; k < count; ++k) {
            const size_t s = start + k;
            if (!ridx.empty() && xy[2 * s] == rxy[rxy.size() - 2] && xy[2 * s + 1] == rxy.back()) continue;
            rxy.push_back(xy[2 * s]);
            rxy.push_back(xy[2 * s + 1]);
            ridx.push_back(idx[s]);
        }
        if (ridx.size() < 3) return -1;
        return ec.link_ring(rxy.data(), ridx.data(), ridx.size(), ccw);
    };
    int32_t outer = ring(0, outer_n, true);
    if (outer < 0 || ec.n[outer].next == ec.n[outer].prev) return;
    std::vector<int32_t> holes;
    size_t start = outer_n;
    for (size_t r = 1; r < rings; ++r) {
        const int32_t h = ring(start, ring_sizes[r], false);
        if (h >= 0 && ec.n[h].next != ec.n[h].prev) holes.push_back(h);
        start += ring_sizes[r];
    }
    if (!holes.empty()) outer = ec.eliminate_holes(outer, holes);
    ec.clip_all(outer);

    // Turn each triangle to the outline's normal.
    for (size_t t = 0; t + 2 < out.size(); t += 3) {
        const double* a = pts + 3 * size_t(out[t]);
        const double* b = pts + 3 * size_t(out[t + 1]);
        const double* c = pts + 3 * size_t(out[t + 2]);
        const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const double cr[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                              e1[0] * e2[1] - e1[1] * e2[0]};
        const double dot = cr[0] * nrm[0] + cr[1] * nrm[1] + cr[2] * nrm[2];
        if (dot == 0) continue;  // flat: adds nothing
        if (dot < 0) std::swap(out[t + 1], out[t + 2]);
        tris.insert(tris.end(), {out[t], out[t + 1], out[t + 2]});
    }
    (void)first_tri;
}

}  // namespace qm::geom
