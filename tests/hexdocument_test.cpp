// The hex view's byte model: resizing, block writes, file and stream transfer, and saving
// with the read-only refusal, the ".bak" backup and the exact messages the user sees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>

#include "image/HexDocument.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

Bytes Contents(const HexDocument& doc) { return {doc.Data().begin(), doc.Data().end()}; }

class HexDocumentFiles : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static void WriteFile(const std::string& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }
    static Bytes ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void MakeReadOnly(const std::string& path) {
        fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    template <typename F>
    static std::string MessageOf(F&& f) {
        try {
            f();
        } catch (const HexDocumentError& e) {
            return e.what();
        }
        return "(no error)";
    }

    test::ScratchDir scratch_{"quillon_hex"};
    const fs::path dir_ = scratch_.path();
};

TEST(HexDocument, SetDataSizeCutsOrZeroFillsAndTracksModified) {
    HexDocument doc;
    std::vector<HexChange> changes;
    doc.SetChangeCallback([&](const HexChange& c) { changes.push_back(c); });
    EXPECT_EQ(doc.GetDataSize(), 0u);
    EXPECT_FALSE(doc.Modified());

    doc.SetDataSize(8);
    const Bytes image = Pattern(8, 0xF0);
    doc.WriteBuffer(image.data(), 0, image.size());
    doc.SetDataSize(12);
    EXPECT_EQ(Contents(doc), (Bytes{0xF0, 0xF7, 0xFE, 0x05, 0x0C, 0x13, 0x1A, 0x21, 0, 0, 0, 0}));
    doc.SetDataSize(3);
    EXPECT_EQ(Contents(doc), (Bytes{0xF0, 0xF7, 0xFE}));
    EXPECT_TRUE(doc.Modified());

    ASSERT_EQ(changes.size(), 4u);
    EXPECT_TRUE(changes[2].sizeChanged);
    EXPECT_EQ(changes[2].offset, 8u);
    EXPECT_EQ(changes[2].count, 4u);
    EXPECT_EQ(changes[3].offset, 3u);
    EXPECT_EQ(changes[3].count, 9u);

    // The same size is no change at all.
    const auto revision = doc.Revision();
    doc.SetDataSize(3);
    EXPECT_EQ(doc.Revision(), revision);
    EXPECT_EQ(changes.size(), 4u);
}

TEST(HexDocument, SizeOutOfRangeIsRefusedWithoutChange) {
    HexDocument doc;
    doc.SetDataSize(5);
    const auto revision = doc.Revision();
    EXPECT_THROW(doc.SetDataSize(-1), HexDocumentError);
    EXPECT_THROW(doc.SetDataSize(static_cast<std::int64_t>(HexDocument::MaxDataSize) + 1), HexDocumentError);
    EXPECT_EQ(doc.GetDataSize(), 5u);
    EXPECT_EQ(doc.Revision(), revision);
}

TEST(HexDocument, WriteBufferStaysInsideTheData) {
    HexDocument doc;
    doc.SetDataSize(16);
    const Bytes four{1, 2, 3, 4};
    doc.WriteBuffer(four.data(), 12, 4);
    EXPECT_EQ(doc.ByteAt(12), 1);
    EXPECT_EQ(doc.ByteAt(15), 4);
    EXPECT_THROW(doc.WriteBuffer(four.data(), 13, 4), std::out_of_range);
    EXPECT_THROW(doc.WriteBuffer(four.data(), SIZE_MAX, 2), std::out_of_range);
    EXPECT_EQ(doc.GetDataSize(), 16u);
    EXPECT_EQ(doc.ByteAt(13), 2);

    Bytes out(4);
    doc.ReadBuffer(out.data(), 12, 4);
    EXPECT_EQ(out, four);
    EXPECT_THROW(doc.ReadBuffer(out.data(), 14, 4), std::out_of_range);
}

TEST(HexDocument, EditsAreMarkedAndCountedAsModifications) {
    HexDocument doc;
    doc.SetDataSize(4);
    EXPECT_FALSE(doc.IsChanged(2));
    doc.EditByte(2, 0xAB);
    EXPECT_EQ(doc.ByteAt(2), 0xAB);
    EXPECT_TRUE(doc.IsChanged(2));
    EXPECT_FALSE(doc.IsChanged(1));
    EXPECT_FALSE(doc.IsChanged(99));
    EXPECT_THROW(doc.EditByte(4, 0), std::out_of_range);
    doc.SetDataSize(2);  // the marked byte is cut off; growing again must not revive its mark
    doc.SetDataSize(4);
    EXPECT_FALSE(doc.IsChanged(2));
}

TEST(HexDocument, StreamRoundTripAsTheLoaderDoesIt) {
    HexDocument doc;
    const Bytes image = Pattern(100000, 3);
    doc.SetDataSize(static_cast<std::int64_t>(image.size()));
    doc.WriteBuffer(image.data(), 0, image.size());

    std::stringstream memory;
    doc.SaveToStream(memory);
    HexDocument copy;
    copy.SetDataSize(7);
    copy.LoadFromStream(memory);
    EXPECT_EQ(Contents(copy), image);
    EXPECT_EQ(memory.str().size(), image.size());

    std::stringstream broken;
    broken.setstate(std::ios::badbit);
    EXPECT_THROW(copy.LoadFromStream(broken), HexDocumentError);
    EXPECT_THROW(doc.SaveToStream(broken), HexDocumentError);
    EXPECT_EQ(Contents(copy), image);
}

TEST_F(HexDocumentFiles, LoadFromFileReplacesTheDataAndNamesTheFile) {
    const std::string path = Path("fw.bin");
    const Bytes image = Pattern(5000, 9);
    WriteFile(path, image);
    HexDocument doc;
    doc.SetDataSize(10);
    doc.LoadFromFile(path);
    EXPECT_EQ(Contents(doc), image);
    EXPECT_EQ(doc.FileName(), path);
    EXPECT_FALSE(doc.FileReadOnly());

    WriteFile(Path("empty.bin"), {});
    doc.LoadFromFile(Path("empty.bin"));
    EXPECT_EQ(doc.GetDataSize(), 0u);
}

TEST_F(HexDocumentFiles, LoadFailureNamesFileAndReasonAndKeepsTheData) {
    HexDocument doc;
    doc.SetDataSize(3);
    const std::string missing = Path("nope.bin");
    EXPECT_EQ(MessageOf([&] { doc.LoadFromFile(missing); }),
              "Cannot open " + missing + ".\n(No such file or directory.)");
    EXPECT_EQ(MessageOf([&] { doc.LoadFromFile(dir_.string()); }),
              "Cannot open " + dir_.string() + ".\n(Is a directory.)");
    EXPECT_EQ(doc.GetDataSize(), 3u);
    EXPECT_EQ(doc.FileName(), "");
}

TEST_F(HexDocumentFiles, SaveWritesExactlyTheDataAndClearsModifiedOnRequest) {
    HexDocument doc;
    const Bytes image = Pattern(5000, 1);
    doc.SetDataSize(5000);
    doc.WriteBuffer(image.data(), 0, image.size());
    doc.SetDataSize(16384);

    const std::string kept = Path("kept.bin");
    doc.SaveToFile(kept, false);
    EXPECT_TRUE(doc.Modified());
    EXPECT_EQ(doc.FileName(), "");

    const std::string out = Path("out.bin");
    WriteFile(out, Pattern(20000, 5));  // a longer older file is replaced, not overwritten in place
    doc.EditByte(0, 0x55);
    doc.SaveToFile(out, true);
    EXPECT_FALSE(doc.Modified());
    EXPECT_FALSE(doc.IsChanged(0));
    EXPECT_EQ(doc.FileName(), out);

    Bytes expected = image;
    expected.resize(16384, 0x00);
    EXPECT_EQ(ReadFile(kept), expected);
    expected[0] = 0x55;
    EXPECT_EQ(ReadFile(out), expected);
    EXPECT_FALSE(fs::exists(out + ".bak"));  // a different name from the document's: no backup
}

TEST_F(HexDocumentFiles, ResavingAModifiedDocumentKeepsTheOldFileAsBak) {
    const std::string out = Path("out.bin");
    const Bytes first = Pattern(64, 1);
    const Bytes chip = Pattern(128, 2);
    HexDocument doc;
    doc.SetDataSize(64);
    doc.WriteBuffer(first.data(), 0, first.size());
    doc.SaveToFile(out, true);

    // Saving again unmodified replaces the file without a backup.
    doc.SaveToFile(out, true);
    EXPECT_FALSE(fs::exists(out + ".bak"));

    // A chip read puts new bytes in: the next save moves the first one aside.
    WriteFile(out + ".bak", Pattern(3, 0));  // an older backup is replaced
    doc.SetDataSize(128);
    doc.WriteBuffer(chip.data(), 0, chip.size());
    doc.SaveToFile(out, true);
    EXPECT_EQ(ReadFile(out + ".bak"), first);
    EXPECT_EQ(ReadFile(out), chip);
}

TEST_F(HexDocumentFiles, BackupFailuresAreReportedAndTheFileIsKept) {
    const std::string out = Path("out.bin");
    const Bytes first = Pattern(10, 1);
    HexDocument doc;
    doc.SetDataSize(10);
    doc.WriteBuffer(first.data(), 0, first.size());
    doc.SaveToFile(out, true);
    doc.EditByte(0, 0);

    // A directory by the backup's name cannot be deleted as an older backup.
    fs::create_directories(out + ".bak/inside");
    EXPECT_EQ(MessageOf([&] { doc.SaveToFile(out, true); }),
              "Cannot delete previous backup " + out + ".bak. (Is a directory)");
    EXPECT_EQ(ReadFile(out), first);
    EXPECT_TRUE(doc.Modified());
}

TEST_F(HexDocumentFiles, ReadOnlyFilesAreRefused) {
    const std::string ro = Path("ro.bin");
    const Bytes original = Pattern(32, 4);
    WriteFile(ro, original);
    MakeReadOnly(ro);
    HexDocument doc;
    doc.LoadFromFile(ro);
    EXPECT_TRUE(doc.FileReadOnly());
    doc.SetDataSize(40);
    EXPECT_EQ(MessageOf([&] { doc.SaveToFile(ro, true); }), "Cannot save readonly file " + ro + ".");
    EXPECT_EQ(ReadFile(ro), original);
    EXPECT_FALSE(fs::exists(ro + ".bak"));

    // Saving under another name works and makes that the document's writable file.
    const std::string copy = Path("copy.bin");
    doc.SaveToFile(copy, true);
    EXPECT_FALSE(doc.FileReadOnly());
    EXPECT_EQ(ReadFile(copy).size(), 40u);

    // A read-only file that the document did not load is not replaced either.
    HexDocument other;
    other.SetDataSize(1);
    EXPECT_EQ(MessageOf([&] { other.SaveToFile(ro, true); }), "Cannot create file " + ro);
    EXPECT_EQ(ReadFile(ro), original);
}

TEST_F(HexDocumentFiles, UncreatableFileIsReportedAndNothingChanges) {
    HexDocument doc;
    doc.SetDataSize(4);
    const std::string bad = Path("missing/dir/out.bin");
    try {
        doc.SaveToFile(bad, true);
        FAIL() << "save into a missing directory succeeded";
    } catch (const HexDocumentError& e) {
        EXPECT_STREQ(e.what(), ("Cannot create file " + bad).c_str());
        EXPECT_EQ(e.reason(), "No such file or directory");
    }
    EXPECT_TRUE(doc.Modified());
    EXPECT_EQ(doc.FileName(), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 0);
}

}  // namespace
}  // namespace quillon
