// Shell-style patterns for selecting surfaces by name ("*/RoofSurface/*").
//
// `*` matches any run of bytes, `/` included (a surface name is one string,
// not a path); `?` one byte; `[abc]`, `[a-z]` one byte of the set, `[!...]`
// one byte outside it (a `]` right after `[` or `[!` is part of the set); an
// unclosed `[` matches itself. Bytes, not characters: `?` matches one byte
// of a multi-byte UTF-8 character. Matching is iterative (backtracks to the
// last `*` only), linear in practice, O(|pattern| * |name|) at worst.
#pragma once
#include <string_view>

namespace qm::text {

// True when `s` contains `*`, `?` or `[`.
bool has_glob(std::string_view s) noexcept;

bool glob_match(std::string_view pattern, std::string_view name) noexcept;

}  // namespace qm::text
