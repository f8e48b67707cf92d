// The output rules of the file layer: what a write does to a regular file, a link, a device, a
// FIFO and a directory; temporary names beside long names; stopping a write half-way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>

#include "fs/Files.h"

namespace quillon {
namespace {

namespace stdfs = std::filesystem;

class FsOutputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (stdfs::temp_directory_path() / "quillon-fsout-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { stdfs::remove_all(dir_); }
    std::string P(const std::string& name) const { return (dir_ / name).string(); }
    std::string Read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void Put(const std::string& path, const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
    std::size_t Entries() const {
        return static_cast<std::size_t>(std::distance(stdfs::directory_iterator(dir_), stdfs::directory_iterator{}));
    }
    int WriteError(const std::string& path, const std::string& data) {
        try {
            WriteFileAtomically(path, data);
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        return 0;
    }

    stdfs::path dir_;
};

TEST_F(FsOutputsTest, RegularFilesAndLinks) {
    Put(P("old.bin"), "previous, longer contents");

    // A link stays a link and its target gets the bytes, also a dangling one and a chain.
    stdfs::create_symlink("old.bin", P("link.bin"));
    stdfs::create_symlink("link.bin", P("chain.bin"));
    stdfs::create_symlink("sub/absent.bin", P("dangling.bin"));
    stdfs::create_directory(P("sub"));
    ASSERT_EQ(WriteError(P("chain.bin"), "through two links"), 0);
    ASSERT_EQ(WriteError(P("dangling.bin"), "created"), 0);
    EXPECT_TRUE(stdfs::is_symlink(P("link.bin")));
    EXPECT_TRUE(stdfs::is_symlink(P("chain.bin")));
    EXPECT_TRUE(stdfs::is_symlink(P("dangling.bin")));
    EXPECT_EQ(Read(P("old.bin")), "through two links");
    EXPECT_EQ(Read(P("sub/absent.bin")), "created");

    stdfs::create_symlink("loop2", P("loop1"));
    stdfs::create_symlink("loop1", P("loop2"));
    EXPECT_EQ(WriteError(P("loop1"), "x"), ELOOP);
    EXPECT_EQ(WriteError(P("sub"), "x"), EISDIR);
    EXPECT_TRUE(stdfs::is_directory(P("sub")));
    EXPECT_EQ(Entries(), 7u);  // no temporary left by any of them
}

// A null device of the test's own where it may make one: a faulty build run as root must not be
// able to replace the system's /dev/null. Without privileges /dev cannot be written anyway.
std::string NullDevice(const std::string& dir) {
    if (::geteuid() != 0) return "/dev/null";
    const std::string path = dir + "/null";
    return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? path : std::string();
}

TEST_F(FsOutputsTest, NodesAreWrittenNotReplaced) {
    if (const std::string null = NullDevice(dir_.string()); !null.empty()) {
        ASSERT_EQ(WriteError(null, "into the void"), 0);
        struct stat st {};
        ASSERT_EQ(::stat(null.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }

    ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = Read(P("fifo")); });
    ASSERT_EQ(WriteError(P("fifo"), "through the pipe"), 0);
    reader.join();
    EXPECT_EQ(got, "through the pipe");
    EXPECT_EQ(NonRegularKind(P("fifo")), "a FIFO");
    EXPECT_EQ(NonRegularKind("/dev/zero"), "a character device");
    EXPECT_EQ(NonRegularKind(P("")), "a directory");

    // A FIFO that nobody reads does not hang a write that can be cancelled.
    int asked = 0;
    try {
        WriteFileAtomically(P("fifo"), "nobody listens", [&] { return ++asked > 3; });
        ADD_FAILURE() << "write to a FIFO without a reader finished";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ECANCELED);
    }
}

TEST_F(FsOutputsTest, LongNamesAndCancelledWrites) {
    const long max = ::pathconf(dir_.c_str(), _PC_NAME_MAX);
    ASSERT_GT(max, 8);
    for (long length : {max - 8, max - 1, max}) {
        SCOPED_TRACE(length);
        const std::string name = P(std::string(static_cast<std::size_t>(length) - 4, 'n') + ".bin");
        ASSERT_EQ(WriteError(name, "long"), 0);
        EXPECT_EQ(Read(name), "long");
        stdfs::remove(name);
    }
    EXPECT_EQ(Entries(), 0u);

    // Stopped between chunks: the old file stays whole and no temporary is left.
    Put(P("keep.bin"), "old");
    const std::string big(3u << 20, 'B');
    int asked = 0;
    try {
        WriteFileAtomically(P("keep.bin"), big, [&] { return ++asked == 2; });
        ADD_FAILURE() << "cancelled write finished";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ECANCELED);
    }
    EXPECT_EQ(Read(P("keep.bin")), "old");
    EXPECT_EQ(Entries(), 1u);

    stdfs::create_hard_link(P("keep.bin"), P("hard.bin"));
    EXPECT_TRUE(SameFile(P("hard.bin"), P("keep.bin")));
    EXPECT_FALSE(SameFile(P("keep.bin"), P("absent.bin")));
}

}  // namespace
}  // namespace quillon
