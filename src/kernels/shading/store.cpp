#include "kernels/shading/store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kernels/io/atomic_write.hpp"
#include "kernels/io/file_read.hpp"

namespace qm::shading {

namespace {

constexpr const char* kContentKey = "content";

std::string content_line(std::string_view product) { return "sha256:" + sha256_hex(product); }

bool is_present(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

const char* store_error_text(StoreError e) noexcept {
    switch (e) {
        case StoreError::none: return "none";
        case StoreError::no_product: return "no product file";
        case StoreError::unreadable: return "product or fingerprint unreadable";
        case StoreError::no_fingerprint: return "product without fingerprint";
        case StoreError::fingerprint_format: return "fingerprint not in key = value lines";
        case StoreError::stale: return "fingerprint differs from the expected one";
        case StoreError::content_changed: return "product changed since its fingerprint was written";
        case StoreError::write_failed: return "write failed";
    }
    return "unknown";
}

StoreLoad load_if_fresh(const std::string& path, const Fingerprint& expected) {
    StoreLoad out;
    io::FileText product, fp_file;
    io::FileStamp stamp;
    const io::ReadStatus ps = product.open(path, stamp);
    if (ps != io::ReadStatus::ok) {
        out.error = is_present(path) ? StoreError::unreadable : StoreError::no_product;
        return out;
    }
    const std::string fp_path = fingerprint_path(path);
    if (fp_file.open(fp_path, stamp) != io::ReadStatus::ok) {
        out.error = is_present(fp_path) ? StoreError::unreadable : StoreError::no_fingerprint;
        return out;
    }
    Fingerprint found;
    if (!Fingerprint::parse(fp_file.text(), found)) {
        out.error = StoreError::fingerprint_format;
        return out;
    }
    // The content line is checked on its own; the other entries against the expected ones.
    Fingerprint inputs;
    const std::string* content = nullptr;
    for (const auto& [key, value] : found.entries) {
        if (key == kContentKey) content = &value;
        else inputs.set(key, value);
    }
    out.changed = Fingerprint::differences(expected, inputs);
    if (!out.changed.empty()) {
        out.error = StoreError::stale;
        return out;
    }
    if (!content || *content != content_line(product.text())) {
        out.error = StoreError::content_changed;
        return out;
    }
    out.text.assign(product.text());
    return out;
}

StoreError save(const std::string& path, std::string_view product, const Fingerprint& fingerprint,
                int& error_number, const char*& step) {
    error_number = 0;
    step = "";
    // The old fingerprint goes first: whatever fails afterwards, no old
    // fingerprint is left beside a new product (or the reverse).
    const std::string fp_path = fingerprint_path(path);
    if (::unlink(fp_path.c_str()) != 0 && errno != ENOENT) {
        error_number = errno;
        step = "remove";
        return StoreError::write_failed;
    }
    if (!io::write_file_atomic(path, product, error_number, step, false)) return StoreError::write_failed;
    Fingerprint fp = fingerprint;
    fp.set(kContentKey, content_line(product));
    if (!io::write_file_atomic(fp_path, fp.text(), error_number, step, false)) return StoreError::write_failed;
    return StoreError::none;
}

StoreError save_output(const std::string& path, std::string_view product, const Fingerprint& fingerprint,
                       int& error_number, const char*& step) {
    error_number = 0;
    step = "";
    const std::string fp_path = fingerprint_path(path);
    if (::unlink(fp_path.c_str()) != 0 && errno != ENOENT) {
        error_number = errno;
        step = "remove";
        return StoreError::write_failed;
    }
    if (!io::write_file_atomic(path, product, error_number, step)) return StoreError::write_failed;
    if (!io::write_file_atomic(fp_path, fingerprint.text(), error_number, step)) return StoreError::write_failed;
    return StoreError::none;
}

}  // namespace qm::shading
