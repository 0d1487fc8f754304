// File kernels: whole-file reads of regular files only, with change
// detection; atomic replacement; the model cache's identity and content checks.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "kernels/geometry/model.hpp"
#include "kernels/io/atomic_write.hpp"
#include "kernels/io/file_read.hpp"

using namespace qm;

namespace {

// A fresh folder under the test's temporary directory, removed at the end.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qm_io_XXXXXX";
        path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t entries(const std::string& folder) {
    std::string cmd = "ls -A '" + folder + "' | wc -l";
    FILE* p = ::popen(cmd.c_str(), "r");
    size_t n = 0;
    if (p && std::fscanf(p, "%zu", &n) != 1) n = 0;
    if (p) ::pclose(p);
    return n;
}

TEST(FileText, RegularFilesOnly) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string f = dir.file("model.stl");
    put(f, "solid a\nendsolid a\n");
    io::FileText t;
    io::FileStamp stamp;
    ASSERT_EQ(t.open(f, stamp), io::ReadStatus::ok);
    EXPECT_EQ(t.text(), "solid a\nendsolid a\n");
    EXPECT_EQ(stamp.size, 19u);
    EXPECT_NE(stamp.ino, 0u);

    EXPECT_EQ(t.open(dir.file("missing"), stamp), io::ReadStatus::open_failed);
    EXPECT_EQ(t.error(), ENOENT);
    EXPECT_EQ(t.open(dir.path(), stamp), io::ReadStatus::directory);
    // Devices and FIFOs are refused at once (reading them may never end;
    // opening a FIFO would wait for a writer).
    EXPECT_EQ(t.open("/dev/zero", stamp), io::ReadStatus::not_regular);
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(t.open(fifo, stamp), io::ReadStatus::not_regular);
    EXPECT_TRUE(t.text().empty());
    EXPECT_EQ(t.open(std::string("a\0b", 3), stamp), io::ReadStatus::open_failed);

    EXPECT_EQ(io::utf8_bom_length("\xEF\xBB\xBFsolid"), 3u);
    EXPECT_EQ(io::utf8_bom_length("\xEF\xBBsolid"), 0u);
}

TEST(FileText, StampSeesRewritesWithRestoredTimes) {
    TempDir dir;
    const std::string f = dir.file("m.stl");
    put(f, "version one\n");
    io::FileStamp first, again, later;
    ASSERT_TRUE(io::stat_stamp(f, first));
    ASSERT_TRUE(io::stat_stamp(f, again));
    EXPECT_EQ(first, again);
    ::usleep(20000);  // past the file system's time stamp granularity
    put(f, "version two\n");
    struct timespec times[2] = {{0, UTIME_OMIT}, {first.mtime_ns / 1000000000, first.mtime_ns % 1000000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
    ASSERT_TRUE(io::stat_stamp(f, later));
    EXPECT_EQ(later.size, first.size);
    EXPECT_EQ(later.mtime_ns, first.mtime_ns);
    EXPECT_EQ(later.ino, first.ino);
    EXPECT_NE(later, first);  // the status change time moved
}

TEST(AtomicFile, ReplacesWholeOrNothing) {
    TempDir dir;
    const std::string f = dir.file("table.csv");
    int err = 0;
    const char* step = "";
    ASSERT_TRUE(io::write_file_atomic(f, "new\n", err, step));
    EXPECT_EQ(get(f), "new\n");

    put(f, "old\n");
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    {
        io::AtomicFile a;
        ASSERT_TRUE(a.create(f));
        EXPECT_EQ(a.temp_path().rfind(dir.path() + "/.table.csv.", 0), 0u);
        ASSERT_TRUE(a.write("half"));
        EXPECT_EQ(get(f), "old\n");  // nothing shows before commit
        EXPECT_EQ(entries(dir.path()), 2u);
    }  // abandoned: the temporary goes, the old file stays
    EXPECT_EQ(get(f), "old\n");
    EXPECT_EQ(entries(dir.path()), 1u);

    {
        io::AtomicFile a;
        ASSERT_TRUE(a.create(f));
        put(a.temp_path(), "written by another writer\n");  // e.g. a host library given the path
        ASSERT_TRUE(a.commit());
    }
    EXPECT_EQ(get(f), "written by another writer\n");
    struct stat st;
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // permissions of the replaced file
    EXPECT_EQ(entries(dir.path()), 1u);

    // A folder that does not exist: nothing is written anywhere.
    EXPECT_FALSE(io::write_file_atomic(dir.file("no/such/table.csv"), "x", err, step));
    EXPECT_EQ(err, ENOENT);
    EXPECT_STREQ(step, "create");
    // A directory in the target's place is not replaced.
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    EXPECT_FALSE(io::write_file_atomic(dir.file("sub"), "x", err, step));
    EXPECT_STREQ(step, "rename");
    EXPECT_EQ(entries(dir.path()), 2u);
}

TEST(AtomicFile, LinkedTargetReplacesTheFileItNames) {
    TempDir dir;
    const std::string real = dir.file("real.csv"), link = dir.file("link.csv");
    put(real, "old");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    int err = 0;
    const char* step = "";
    ASSERT_TRUE(io::write_file_atomic(link, "new", err, step));
    EXPECT_EQ(get(real), "new");
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(AtomicFile, DevicesAndFifosAreNeverReplaced) {
    TempDir dir;
    const std::string fifo = dir.file("pipe"), link = dir.file("null.csv");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
    int err = 0;
    const char* step = "";
    for (const std::string& target : {std::string("/dev/null"), fifo, link}) {
        EXPECT_FALSE(io::write_file_atomic(target, "x", err, step)) << target;
        EXPECT_STREQ(step, "not_regular");
        EXPECT_EQ(err, EEXIST);
    }
    struct stat st;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(entries(dir.path()), 2u);  // no temporary left behind
}

// The identity of a file of 10 bytes last changed at t = 1000 s.
io::FileStamp stamp_of(const char* path, uint64_t ino) {
    io::FileStamp key;
    key.path = path;
    key.size = 10;
    key.mtime_ns = key.ctime_ns = 1'000'000'000'000LL;
    key.ino = ino;
    return key;
}

TEST(ModelCache, RecentEntriesAreCheckedByContent) {
    geom::ModelCache cache(2);
    const io::FileStamp key = stamp_of("/m.stl", 7);
    auto model = std::make_shared<geom::Model>();
    // Read long after the last change: trusted on its stamp.
    cache.put(key, model, 42, key.ctime_ns + 10 * geom::ModelCache::kRecentNs);
    auto hit = cache.find(key);
    EXPECT_EQ(hit.model, model);
    EXPECT_FALSE(hit.verify);
    // Read right after a change: a rewrite within the clock's granularity
    // would keep the stamp, so the contents decide.
    cache.put(key, model, 42, key.ctime_ns + 1000);
    hit = cache.find(key);
    EXPECT_TRUE(hit.verify);
    EXPECT_EQ(hit.hash, 42u);
    cache.confirm(key, key.ctime_ns + 10 * geom::ModelCache::kRecentNs);
    EXPECT_FALSE(cache.find(key).verify);
    io::FileStamp other = key;
    other.ctime_ns += 1;
    EXPECT_EQ(cache.find(other).model, nullptr);

    EXPECT_NE(geom::content_hash("solid a\nendsolid a\n"), geom::content_hash("solid b\nendsolid a\n"));
    std::string big(1000, 'x'), big2 = big;
    big2[999] = 'y';
    EXPECT_NE(geom::content_hash(big), geom::content_hash(big2));
    EXPECT_NE(geom::content_hash("ab"), geom::content_hash(std::string_view("ab\0", 3)));
}

TEST(ModelCache, OneFileReadTwoWaysIsTwoEntries) {
    geom::ModelCache cache(4);
    const io::FileStamp key = stamp_of("/city.json", 9);
    const int64_t later = key.ctime_ns + 10 * geom::ModelCache::kRecentNs;
    auto highest = std::make_shared<geom::Model>(), lod1 = std::make_shared<geom::Model>();
    cache.put(key, highest, 1, later);
    EXPECT_EQ(cache.find(key, "1").model, nullptr);  // not the highest level's model
    cache.put(key, lod1, 1, later, "1");
    EXPECT_EQ(cache.find(key).model, highest);
    EXPECT_EQ(cache.find(key, "1").model, lod1);
    // A new version of the file replaces the entry of its own level only.
    io::FileStamp edited = key;
    edited.mtime_ns += 5;
    auto lod1b = std::make_shared<geom::Model>();
    cache.put(edited, lod1b, 2, later, "1");
    EXPECT_EQ(cache.find(edited, "1").model, lod1b);
    EXPECT_EQ(cache.find(key, "1").model, nullptr);
    EXPECT_EQ(cache.find(key).model, highest);
    cache.put(edited, highest, 1, key.ctime_ns + 1000, "2");
    EXPECT_TRUE(cache.find(edited, "2").verify);
    cache.confirm(edited, later, "2");
    EXPECT_FALSE(cache.find(edited, "2").verify);
}

}  // namespace
