#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "kernels/text/number_parse.hpp"

using qm::parse_py_float;

namespace {
double ok(const std::string& s) {
    double v = -12345.678;
    EXPECT_TRUE(parse_py_float(s, v)) << "'" << s << "'";
    return v;
}
void bad(const std::string& s) {
    double v = 42.0;
    EXPECT_FALSE(parse_py_float(s, v)) << "'" << s << "'";
    EXPECT_EQ(v, 42.0);
}
}  // namespace

TEST(NumberParse, DecimalForms) {
    EXPECT_EQ(ok("0"), 0.0);
    EXPECT_EQ(ok("20.1"), 20.1);
    EXPECT_EQ(ok("-3.5"), -3.5);
    EXPECT_EQ(ok("+7"), 7.0);
    EXPECT_EQ(ok("1."), 1.0);
    EXPECT_EQ(ok(".5"), 0.5);
    EXPECT_EQ(ok("1e3"), 1000.0);
    EXPECT_EQ(ok("1.e3"), 1000.0);
    EXPECT_EQ(ok("2.5E-3"), 0.0025);
    EXPECT_EQ(ok("-1e+2"), -100.0);
    EXPECT_EQ(ok("000123"), 123.0);
    EXPECT_TRUE(std::signbit(ok("-0")));
    // Correct rounding of a long mantissa.
    EXPECT_EQ(ok("0.1000000000000000055511151231257827021181583404541015625"), 0.1);
    EXPECT_EQ(ok(std::string(400, '1') + "e-400"), 0.1111111111111111);
}

TEST(NumberParse, WhitespaceIsStrippedAsTheHostDoes) {
    EXPECT_EQ(ok("  12.5\t"), 12.5);
    EXPECT_EQ(ok("\n\r\v\f3\x1c\x1f"), 3.0);
    bad("   ");
    bad("");
    bad("1 2");
}

TEST(NumberParse, SpecialValuesInAnyCase) {
    EXPECT_TRUE(std::isinf(ok("inf")));
    EXPECT_TRUE(std::isinf(ok("Infinity")));
    EXPECT_LT(ok("-INF"), 0.0);
    EXPECT_TRUE(std::isnan(ok("nan")));
    EXPECT_TRUE(std::isnan(ok("-NaN")));
    EXPECT_TRUE(std::isnan(ok("+nan")));
    bad("infinit");
    bad("nan(1)");
    bad("infx");
    bad("in");
}

TEST(NumberParse, UnderscoresOnlyBetweenDigits) {
    EXPECT_EQ(ok("1_000"), 1000.0);
    EXPECT_EQ(ok("1_0.2_5e1_0"), 10.25e10);
    bad("_1");
    bad("1_");
    bad("1__0");
    bad("1_.5");
    bad("1._5");
    bad("1e_5");
    bad("1_e5");
}

TEST(NumberParse, MalformedTextIsRefused) {
    for (const char* s : {".", "-", "+", "e5", "1e", "1e+", "--1", "+-1", "0x10", "1,5", "N/A", "1.2.3", "12a", "1e5.0"})
        bad(s);
    bad(std::string("1\0", 2));
    bad("\xc2\xa0" "1");  // non-ASCII text is left to the host
}

TEST(NumberParse, OverflowAndUnderflowSaturateLikeTheHost) {
    EXPECT_EQ(ok("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(ok("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(ok("1e-999"), 0.0);
    EXPECT_TRUE(std::signbit(ok("-1e-999")));
    EXPECT_EQ(ok("4.9e-324"), 4.9406564584124654e-324);
    EXPECT_EQ(ok("1e99999999999999999999"), std::numeric_limits<double>::infinity());
}
