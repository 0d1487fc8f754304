// The names closest to a misspelt one, for "did you mean" hints.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::text {

// Edit distance (insertions, deletions, substitutions of bytes).
size_t edit_distance(std::string_view a, std::string_view b);

// Up to `n` of `names`, nearest first (ties in the given order); only names
// within half the word's length (at least 2 edits) of it.
std::vector<std::string> closest_names(std::string_view word, const std::vector<std::string>& names, size_t n = 3);

}  // namespace qm::text
