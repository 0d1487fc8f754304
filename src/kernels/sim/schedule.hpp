// The order in which the run manager updates its modules within one step.
#pragma once
#include <cstddef>
#include <utility>
#include <vector>

namespace qm::sim {

// A link from module `from` (its output) into module `to` (its input).
struct Edge {
    size_t from, to;
};

struct Schedule {
    std::vector<size_t> order;  // module indices, each once
    bool cyclic = false;        // the links form a loop: `order` is the file order
};

// Modules 0..n-1 in file order. A module comes after every module it reads
// from; among modules that are free to go, the one earliest in the file goes
// first, so independent modules keep the file order. When the links form a
// loop no such order exists and the file order is returned with `cyclic` set
// (the manager then iterates the step until it converges). Edges naming an
// index >= n are ignored.
Schedule update_order(size_t n, const std::vector<Edge>& edges);

}  // namespace qm::sim
