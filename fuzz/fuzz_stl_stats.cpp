// libFuzzer target: the statistics reader on arbitrary bytes, line by line.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kernels/geometry/stl_read.hpp"
#include "kernels/geometry/stl_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    qm::stl::StatsReader reader;
    qm::stl::ParseError err;
    qm::stl::LineCutter cut(text);
    std::string_view line;
    while (cut.next(line))
        if (!reader.feed(line, {}, err)) return 0;
    reader.finish();
    return 0;
}
