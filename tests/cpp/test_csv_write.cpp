#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kernels/text/csv_write.hpp"

using namespace qm::text;

namespace {
std::string shortest(double v) {
    std::string s;
    append_shortest(s, v);
    return s;
}
std::string shortest32(float v) {
    std::string s;
    append_shortest(s, v);
    return s;
}
std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
}  // namespace

// The layout is the host's repr(float): the texts on the right are what
// repr() gives for the same doubles.
TEST(CsvWrite, DoublesAsTheHostWritesThem) {
    EXPECT_EQ(shortest(20.1), "20.1");
    EXPECT_EQ(shortest(-5.0), "-5.0");
    EXPECT_EQ(shortest(0.0), "0.0");
    EXPECT_EQ(shortest(-0.0), "-0.0");
    EXPECT_EQ(shortest(0.0001), "0.0001");
    EXPECT_EQ(shortest(1e-05), "1e-05");
    EXPECT_EQ(shortest(2.5e-7), "2.5e-07");
    EXPECT_EQ(shortest(1.5e16), "1.5e+16");
    EXPECT_EQ(shortest(1e16), "1e+16");
    EXPECT_EQ(shortest(1234567890123456.0), "1234567890123456.0");
    EXPECT_EQ(shortest(100000.0), "100000.0");
    EXPECT_EQ(shortest(123.456), "123.456");
    EXPECT_EQ(shortest(1e22), "1e+22");
    EXPECT_EQ(shortest(5e-324), "5e-324");
    EXPECT_EQ(shortest(1.7976931348623157e308), "1.7976931348623157e+308");
    EXPECT_EQ(shortest(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(shortest(std::nan("")), "nan");
    EXPECT_EQ(shortest(-INFINITY), "-inf");
}

TEST(CsvWrite, FloatsGetTheShortestFloatText) {
    // 20.1f widened to a double is 20.100000381469727; as a float it is 20.1.
    EXPECT_EQ(shortest(double(20.1f)), "20.100000381469727");
    EXPECT_EQ(shortest32(20.1f), "20.1");
    EXPECT_EQ(shortest32(0.1f), "0.1");
    EXPECT_EQ(shortest32(1e-5f), "1e-05");
    EXPECT_EQ(shortest32(7.0f), "7.0");
    EXPECT_EQ(shortest32(std::numeric_limits<float>::max()), "3.4028235e+38");
    EXPECT_EQ(shortest32(std::numeric_limits<float>::denorm_min()), "1e-45");
}

TEST(CsvWrite, EveryTextReadsBackToTheSameValue) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<uint64_t> bits;
    for (int i = 0; i < 50000; ++i) {
        uint64_t b = bits(rng);
        double d;
        std::memcpy(&d, &b, sizeof d);
        if (!std::isfinite(d)) continue;
        std::string s = shortest(d);
        ASSERT_EQ(std::strtod(s.c_str(), nullptr), d) << s;
        // never longer than 17 significant digits plus layout
        ASSERT_LE(s.size(), 24u) << s;
        uint32_t fb = uint32_t(b);
        float f;
        std::memcpy(&f, &fb, sizeof f);
        if (!std::isfinite(f)) continue;
        std::string t = shortest32(f);
        ASSERT_EQ(std::strtof(t.c_str(), nullptr), f) << t;
        // the float text is never longer than the text of the widened double
        ASSERT_LE(t.size(), shortest(double(f)).size()) << t;
    }
}

TEST(CsvWrite, Float32Exactness) {
    EXPECT_TRUE(is_float32_exact(double(20.1f)));
    EXPECT_FALSE(is_float32_exact(20.1));
    EXPECT_TRUE(is_float32_exact(0.75));
    EXPECT_TRUE(is_float32_exact(std::nan("")));
    EXPECT_FALSE(is_float32_exact(1e300));
    EXPECT_FALSE(is_float32_exact(1e-300));  // underflows to 0 as a float
}

TEST(CsvWrite, DateTimes) {
    std::string s;
    EXPECT_TRUE(append_datetime(s, 0));
    EXPECT_EQ(s, "1970-01-01 00:00:00");
    s.clear();
    // 2024-02-29 23:30:00 and the first second of 2025
    EXPECT_TRUE(append_datetime(s, 1709249400));
    EXPECT_EQ(s, "2024-02-29 23:30:00");
    s.clear();
    EXPECT_TRUE(append_datetime(s, 1735689600));
    EXPECT_EQ(s, "2025-01-01 00:00:00");
    s.clear();
    EXPECT_TRUE(append_datetime(s, -1));  // before the epoch
    EXPECT_EQ(s, "1969-12-31 23:59:59");
    s.clear();
    EXPECT_TRUE(append_datetime(s, -62135596800LL));
    EXPECT_EQ(s, "0001-01-01 00:00:00");
    s.clear();
    EXPECT_FALSE(append_datetime(s, -62135596801LL));
    EXPECT_FALSE(append_datetime(s, 253402300800LL));
    EXPECT_TRUE(s.empty());
}

TEST(CsvWrite, TableWithQuotingAndMissingValues) {
    CsvTable t;
    t.has_times = true;
    t.times = {1735689600, std::numeric_limits<int64_t>::min()};
    CsvColumn a{"pv.power", CsvColumn::Kind::f64, {1.5, std::nan("")}, {}, {}};
    CsvColumn b{"w.temp", CsvColumn::Kind::f32, {double(20.1f), double(-3.7f)}, {}, {}};
    CsvColumn c{"n", CsvColumn::Kind::i64, {}, {3, -4}, {}};
    CsvColumn d{"lab,\"x\"", CsvColumn::Kind::text, {}, {}, {"a,b", ""}};
    t.columns = {a, b, c, d};
    std::string out;
    ASSERT_EQ(format_csv(t, out), CsvError::none);
    EXPECT_EQ(out,
              "timestamp,pv.power,w.temp,n,\"lab,\"\"x\"\"\"\n"
              "2025-01-01 00:00:00,1.5,20.1,3,\"a,b\"\n"
              ",,-3.7,-4,\n");
    t.columns[2].integers.pop_back();
    out.clear();
    EXPECT_EQ(format_csv(t, out), CsvError::ragged);
    t.columns.pop_back();
    t.columns.pop_back();
    t.times[1] = 253402300800LL;
    out.clear();
    EXPECT_EQ(format_csv(t, out), CsvError::bad_time);
}

TEST(CsvWrite, FileIsReplacedWholeAndFailuresLeaveItAlone) {
    char tmpl[] = "/tmp/qm_csv_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string folder = tmpl, path = folder + "/r.csv";
    int detail = 0;
    ASSERT_EQ(write_file_replacing(path, "old\n", detail), WriteError::none);
    ASSERT_EQ(write_file_replacing(path, "new,table\n", detail), WriteError::none);
    EXPECT_EQ(read_all(path), "new,table\n");
    // a folder in place of the file: the rename fails, nothing is left behind
    std::string dir_path = folder + "/sub";
    ASSERT_EQ(mkdir(dir_path.c_str(), 0700), 0);
    std::string marker = dir_path + "/keep";
    ASSERT_EQ(write_file_replacing(marker, "k", detail), WriteError::none);
    EXPECT_EQ(write_file_replacing(dir_path, "x", detail), WriteError::rename);
    EXPECT_NE(detail, 0);
    EXPECT_EQ(read_all(marker), "k");
    EXPECT_EQ(write_file_replacing(folder + "/missing/r.csv", "x", detail), WriteError::open);
    std::string cmd = "ls -A " + folder + " | wc -l";
    FILE* p = popen(cmd.c_str(), "r");
    int n = -1;
    ASSERT_EQ(fscanf(p, "%d", &n), 1);
    pclose(p);
    EXPECT_EQ(n, 2);  // r.csv and sub: no temporary file left
    std::remove(marker.c_str());
    rmdir(dir_path.c_str());
    std::remove(path.c_str());
    rmdir(folder.c_str());
}

TEST(CsvWrite, ReplacingKeepsTheModeAndTheLinkAsTheAtomicWriterDoes) {
    char tmpl[] = "/tmp/qm_csv_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string folder = tmpl, path = folder + "/r.csv", link = folder + "/latest.csv";
    int detail = 0;
    ASSERT_EQ(write_file_replacing(path, "old\n", detail), WriteError::none);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(symlink("r.csv", link.c_str()), 0);
    // written through the link: the file it names is replaced, keeping its mode; the link stays a link
    ASSERT_EQ(write_file_replacing(link, "new\n", detail), WriteError::none);
    struct stat st, lst;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(read_all(path), "new\n");
    std::remove(link.c_str());
    std::remove(path.c_str());
    rmdir(folder.c_str());
}
