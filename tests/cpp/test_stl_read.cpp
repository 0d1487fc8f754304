// stl_read: the one binary-STL test every caller uses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kernels/geometry/stl_read.hpp"

namespace {

std::string binary_stl(uint32_t triangles, char header_fill) {
    std::string s(80, header_fill);
    s.append(reinterpret_cast<const char*>(&triangles), 4);
    s.append(50 * size_t(triangles), '\0');
    return s;
}

}  // namespace

TEST(StlRead, LooksBinaryOnlyForTheBinaryLayoutWithBinaryBytes) {
    EXPECT_TRUE(qm::stl::looks_binary(binary_stl(2, ' ')));
    EXPECT_TRUE(qm::stl::looks_binary(binary_stl(0, '\xff')));  // no triangles, a header that is not UTF-8
    EXPECT_TRUE(qm::stl::looks_binary(binary_stl(0, ' ')));   // the count's zero bytes are not text
    std::string wrong_size = binary_stl(2, ' ');
    wrong_size.push_back('\0');
    EXPECT_FALSE(qm::stl::looks_binary(wrong_size));
    EXPECT_FALSE(qm::stl::looks_binary("solid a\nendsolid a\n"));
    EXPECT_FALSE(qm::stl::looks_binary(""));
}
