// Fingerprints of generated shading files.
//
// A table (or a file of exact factors) that a run generates depends on the
// model's content, the surface list, the grid (and for exact factors also on
// the site, the period, the time step and the sun time). Its fingerprint is a
// small text file beside it listing those inputs, one "key = value" line each,
// the model by the SHA-256 of its bytes. A later run compares the lines it
// would write with the ones found: any difference means the file is stale.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::shading {

// SHA-256 (FIPS 180-4), incremental.
class Sha256 {
public:
    Sha256();
    void update(const void* data, size_t n);
    std::array<uint8_t, 32> finish();
    static std::string hex(const std::array<uint8_t, 32>& digest);

private:
    void block(const uint8_t* p);
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_ = 0;
    uint64_t bytes_ = 0;
};

std::string sha256_hex(std::string_view data);

// Ordered "key = value" entries. Values are single-line text.
struct Fingerprint {
    std::vector<std::pair<std::string, std::string>> entries;

    void set(const std::string& key, const std::string& value);
    const std::string* get(const std::string& key) const;

    // File text: a comment line, then one "key = value" line per entry.
    std::string text() const;
    // Reads what text() wrote (comment and blank lines skipped). False when a
    // line is not "key = value".
    static bool parse(std::string_view text, Fingerprint& out);

    // Keys whose values differ or that are present on only one side, in the
    // order of `expected`, then the extra keys of `found`.
    static std::vector<std::string> differences(const Fingerprint& expected, const Fingerprint& found);
};

// File name of the fingerprint of `path`: path + ".fingerprint".
std::string fingerprint_path(const std::string& path);

}  // namespace qm::shading
