#include "kernels/sim/schedule.hpp"

#include "kernels/check.hpp"

namespace qm::sim {

Schedule update_order(size_t n, const std::vector<Edge>& edges) {
    std::vector<std::vector<size_t>> successors(n);
    std::vector<size_t> indegree(n, 0);
    for (const Edge& e : edges) {
        if (e.from >= n || e.to >= n) continue;
        successors[e.from].push_back(e.to);
        ++indegree[e.to];
    }
    Schedule s;
    s.order.reserve(n);
    std::vector<bool> placed(n, false);
    for (size_t k = 0; k < n; ++k) {
        size_t pick = n;
        for (size_t i = 0; i < n && pick == n; ++i)
            if (!placed[i] && indegree[i] == 0) pick = i;
        if (pick == n) break;
        placed[pick] = true;
        s.order.push_back(pick);
        for (size_t t : successors[pick]) --indegree[t];
    }
    QM_DCHECK(s.order.size() <= n);
    if (s.order.size() != n) {
        s.cyclic = true;
        s.order.clear();
        for (size_t i = 0; i < n; ++i) s.order.push_back(i);
    }
    return s;
}

}  // namespace qm::sim
