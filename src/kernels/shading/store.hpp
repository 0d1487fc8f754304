// The store of generated shading products: a product file (the per-step
// exact factors, the surfaces' views) and its fingerprint beside it
// (path + ".fingerprint", fingerprint.hpp), saved and loaded as one pair.
//
// save(): removes the old fingerprint, writes the product, then writes the
// fingerprint with one more line, "content = sha256:<digest of the product's
// bytes>". Each write replaces the directory entry itself: a symbolic link
// there is replaced, never the file it names (a cache linked to the model or
// the weather file must not overwrite it).
//
// load_if_fresh(): the product's text only when its fingerprint parses, its
// entries equal the expected ones and its content line names the digest of
// the product as read. So an edited or damaged product (a factor of 5, NaN,
// two columns swapped) and a product and fingerprint that were not replaced
// together (a write failed between the two) are never used: the caller
// recomputes. Readers still check what they parse (ranges, column names).
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "kernels/shading/fingerprint.hpp"

namespace qm::shading {

enum class StoreError {
    none,
    no_product,          // no product file (nothing to load)
    unreadable,          // the product or its fingerprint cannot be read
    no_fingerprint,      // a product without a fingerprint
    fingerprint_format,  // the fingerprint is not "key = value" lines
    stale,               // the fingerprint's entries differ from the expected ones (see `changed`)
    content_changed,     // the product's bytes are not those the fingerprint was written for
    write_failed,        // save(): a write failed (errno in `error_number`)
};

// Developer text of an error (the bindings word it for users).
const char* store_error_text(StoreError e) noexcept;

struct StoreLoad {
    StoreError error = StoreError::none;
    std::vector<std::string> changed;  // stale: the keys that differ, in the order of the expected entries
    std::string text;                  // none: the product's text
};

StoreLoad load_if_fresh(const std::string& path, const Fingerprint& expected);

// Writes `product` and its fingerprint (`fingerprint` plus its content line).
// On failure `error_number` holds errno and `step` the failed step.
StoreError save(const std::string& path, std::string_view product, const Fingerprint& fingerprint,
                int& error_number, const char*& step);

// A product the user names and may edit (the cosine table): saved as save()
// does (old fingerprint removed first, product, then fingerprint), but a
// symbolic link at `path` is followed (an output path the user chose) and
// the fingerprint has no content line (a table edited by hand stays in use;
// only a change of what it depends on makes it stale).
StoreError save_output(const std::string& path, std::string_view product, const Fingerprint& fingerprint,
                       int& error_number, const char*& step);

}  // namespace qm::shading
