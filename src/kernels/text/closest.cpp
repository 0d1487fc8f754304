#include "kernels/text/closest.hpp"

#include <algorithm>
#include <utility>

namespace qm::text {

size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::vector<std::string> closest_names(std::string_view word, const std::vector<std::string>& names, size_t n) {
    const size_t limit = std::max<size_t>(2, word.size() / 2);
    std::vector<std::pair<size_t, size_t>> ranked;  // (distance, position)
    for (size_t i = 0; i < names.size(); ++i)
        if (size_t d = edit_distance(word, names[i]); d <= limit) ranked.emplace_back(d, i);
    std::stable_sort(ranked.begin(), ranked.end(), [](auto& x, auto& y) { return x.first < y.first; });
    std::vector<std::string> out;
    for (size_t k = 0; k < ranked.size() && k < n; ++k) out.push_back(names[ranked[k].second]);
    return out;
}

}  // namespace qm::text
