// A folder of its own for a test's files, under $TMPDIR (else /tmp), removed
// with everything in it when the test ends.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qm::test_support {

class TempFolder {
public:
    // `prefix`: the folder's name before its random part ("qm_plan").
    explicit TempFolder(const char* prefix) {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "_XXXXXX";
        path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempFolder() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace qm::test_support
