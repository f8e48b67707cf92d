// The output rules of the file layer: what a write does to a regular file, a link, a device, a
// FIFO and a directory; temporary names beside long names; stopping a write half-way.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>

#include "fs/Files.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace stdfs = std::filesystem;

class FsOutputsTest : public ::testing::Test {
protected:
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
            WriteFileAtomically(path, data, Durability::Durable);
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        return 0;
    }

    test::ScratchDir scratch_{"quillon-fsout"};
    const stdfs::path dir_ = scratch_.path();
};

TEST_F(FsOutputsTest, RegularFilesAreReplacedAndDirectoriesRefused) {
    Put(P("old.bin"), "previous, longer contents");
    ASSERT_EQ(WriteError(P("old.bin"), "short"), 0);
    EXPECT_EQ(Read(P("old.bin")), "short");
    ASSERT_EQ(WriteError(P("new.bin"), "created"), 0);
    EXPECT_EQ(Read(P("new.bin")), "created");
    stdfs::create_directory(P("sub"));
    EXPECT_EQ(WriteError(P("sub"), "x"), EISDIR);
    EXPECT_TRUE(stdfs::is_directory(P("sub")));
    EXPECT_EQ(NonRegularKind(P("")), "a directory");
    EXPECT_EQ(Entries(), 3u);  // no temporary left by any of them
}

TEST_F(FsOutputsTest, LinksAreFollowedAndKept) {
    QUILLON_SKIP_ON_WINDOWS("symbolic links are not implemented by Wine");
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

TEST_F(FsOutputsTest, DevicesAreWrittenNotReplaced) {
    // The system's null device, or for root one of the test's own: a faulty build run as root
    // must not be able to replace the system's /dev/null.
    const std::string null = test::NullDeviceFor(dir_.string());
    if (null.empty()) GTEST_SKIP() << "running as root where no device node may be made";
    ASSERT_EQ(WriteError(null, "into the void"), 0);
    EXPECT_TRUE(test::IsCharacterDevice(null));
}

TEST_F(FsOutputsTest, FifosAreWrittenNotReplaced) {
    QUILLON_SKIP_ON_WINDOWS("FIFOs and /dev/zero are POSIX nodes");
    ASSERT_TRUE(test::MakeFifo(P("fifo")));
    std::string got;
    std::thread reader([&] { got = Read(P("fifo")); });
    ASSERT_EQ(WriteError(P("fifo"), "through the pipe"), 0);
    reader.join();
    EXPECT_EQ(got, "through the pipe");
    EXPECT_EQ(NonRegularKind(P("fifo")), "a FIFO");
    EXPECT_EQ(NonRegularKind("/dev/zero"), "a character device");

    // A FIFO that nobody reads does not hang a write that can be cancelled.
    int asked = 0;
    try {
        WriteFileAtomically(P("fifo"), "nobody listens", Durability::Durable, [&] { return ++asked > 3; });
        ADD_FAILURE() << "write to a FIFO without a reader finished";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ECANCELED);
    }
}

TEST_F(FsOutputsTest, LongNamesAndCancelledWrites) {
    const long max = test::MaxNameLength(dir_.string());
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
        WriteFileAtomically(P("keep.bin"), big, Durability::Durable, [&] { return ++asked == 2; });
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
