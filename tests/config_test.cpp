// The settings file: defaults, integer and boolean syntax, case-insensitive names, files
// copied from Windows (CRLF, byte-order marks, UTF-16), and saves that keep everything else
// in the file and never destroy it when they fail.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "config/Config.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { path_ = (dir_ / "config.ini").string(); }
    void Write(const std::string& bytes) const { Write(path_, bytes); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string Read() const { return Read(path_); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    TIniOptions Loaded(const std::string& bytes) const {
        Write(bytes);
        TIniOptions options;
        EXPECT_EQ(options.Load(path_), IniLoadResult::Loaded);
        return options;
    }

    test::ScratchDir scratch_{"quillon_cfg"};
    const fs::path dir_ = scratch_.path();
    std::string path_;
};

TEST_F(ConfigFile, MissingFileChangesNothingAndIsNotCreated) {
    TIniOptions options;
    options.chipidx = 5;
    options.file = "kept";
    EXPECT_EQ(options.Load(path_), IniLoadResult::NoFile);
    EXPECT_EQ(options.chipidx, 5);
    EXPECT_EQ(options.file, "kept");
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(ConfigFile, HeaderOnlyGivesDefaultsAndSaveWritesAllKeysInOrder) {
    TIniOptions options = Loaded("[CONFIG]\n");
    EXPECT_EQ(options.file, "");
    EXPECT_EQ(options.chipidx, -1);
    EXPECT_TRUE(options.reload);
    EXPECT_TRUE(options.erase);
    EXPECT_TRUE(options.encry);
    EXPECT_TRUE(options.verify);
    EXPECT_TRUE(options.rstrun);
    EXPECT_EQ(options.lang, "");

    options.Save(path_);
    EXPECT_EQ(Read(),
              "[CONFIG]\nfile=\nchipidx=-1\nreload=1\nerase=1\nencry=1\nverify=1\nrstrun=1\nlang=\n");
}

TEST_F(ConfigFile, IntegersAcceptDecimalAndBothHexForms) {
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=0x2\n").chipidx, 2);
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=$A\n").chipidx, 10);
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=0X1f\n").chipidx, 31);
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=-7\n").chipidx, -7);
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=  1  \n").chipidx, 1);
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=\"2\"\n").chipidx, 2);
    for (const char* bad : {"abc", "2x", "", "0x", "$", "-", "1.0", "2147483648", "0x100000000"}) {
        EXPECT_EQ(Loaded(std::string("[CONFIG]\nchipidx=") + bad + "\n").chipidx, -1) << bad;
    }
}

TEST(ParseInteger, RangeAndSyntax) {
    EXPECT_EQ(ParseInteger("2147483647"), INT32_MAX);
    EXPECT_EQ(ParseInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseInteger("$7FFFFFFF"), INT32_MAX);
    EXPECT_EQ(ParseInteger("-$10"), -16);
    EXPECT_EQ(ParseInteger("+0x4000"), 16384);
    EXPECT_EQ(ParseInteger("\t16384\r\n"), 16384);
    EXPECT_EQ(ParseInteger("-2147483649"), std::nullopt);
    EXPECT_EQ(ParseInteger("$80000000"), std::nullopt);
    EXPECT_EQ(ParseInteger("99999999999999999999999"), std::nullopt);
    EXPECT_EQ(ParseInteger("1 2"), std::nullopt);
    EXPECT_EQ(ParseInteger("--1"), std::nullopt);
    EXPECT_EQ(ParseInteger("0xG"), std::nullopt);
}

TEST_F(ConfigFile, BooleansAreIntegersWithDefaultForAnythingElse) {
    TIniOptions options =
        Loaded("[CONFIG]\nverify=yes\nerase=0\nencry=7\nreload=$0\nrstrun=-1\n");
    EXPECT_TRUE(options.verify);  // not an integer: the default
    EXPECT_FALSE(options.erase);
    EXPECT_TRUE(options.encry);
    EXPECT_FALSE(options.reload);
    EXPECT_TRUE(options.rstrun);
    EXPECT_FALSE(Loaded("[CONFIG]\nverify=0\n").verify);
    EXPECT_TRUE(Loaded("[CONFIG]\nverify=true\n").verify);
}

TEST_F(ConfigFile, UnknownLanguageIsKeptAndWrittenBackUnchanged) {
    TIniOptions options = Loaded("[CONFIG]\nlang=de\n");
    EXPECT_EQ(options.lang, "de");
    EXPECT_EQ(ChooseLanguage(options.lang, true), "de");
    options.Save(path_);
    EXPECT_NE(Read().find("\nlang=de\n"), std::string::npos);
    TIniOptions again;
    again.Load(path_);
    EXPECT_EQ(again.lang, "de");
}

TEST(ChooseLanguage, EmptyFollowsTheSystem) {
    EXPECT_EQ(ChooseLanguage("", true), "cn");
    EXPECT_EQ(ChooseLanguage("", false), "en");
    EXPECT_EQ(ChooseLanguage("CN", false), "CN");
    EXPECT_EQ(ChooseLanguage("en", true), "en");
}

TEST(ConfigFilePath, JoinsWithExactlyOneSeparator) {
    EXPECT_EQ(ConfigFilePath("/opt/quillon/"), "/opt/quillon/config.ini");
    EXPECT_EQ(ConfigFilePath("/opt/quillon"), "/opt/quillon/config.ini");
    EXPECT_EQ(ConfigFilePath(""), "config.ini");
}

TEST_F(ConfigFile, NamesMatchRegardlessOfCaseAndAreNotDuplicatedOnSave) {
    TIniOptions options = Loaded("[config]\nCHIPIDX=1\nFile=x.hex\nVeRiFy=0\n");
    EXPECT_EQ(options.chipidx, 1);
    EXPECT_EQ(options.file, "x.hex");
    EXPECT_FALSE(options.verify);

    options.chipidx = 2;
    options.Save(path_);
    const std::string text = Read();
    EXPECT_EQ(text.find("[CONFIG]"), std::string::npos) << text;  // the existing section is used
    EXPECT_NE(text.find("CHIPIDX=2"), std::string::npos) << text;
    EXPECT_EQ(text.find("chipidx"), std::string::npos) << text;
    TIniOptions again;
    again.Load(path_);
    EXPECT_EQ(again.chipidx, 2);
}

TEST_F(ConfigFile, FirstOfDuplicateKeysWins) {
    EXPECT_EQ(Loaded("[CONFIG]\nchipidx=1\nchipidx=2\n").chipidx, 1);
}

TEST_F(ConfigFile, SaveKeepsOtherKeysSectionsAndComments) {
    Write("; written by hand\n\n[Window]\nleft=10\n\n; chip settings\n[CONFIG]\nchipidx=2\nextra=keep me\n"
          "\n[Tail]\nx=y\n");
    TIniOptions options;
    options.Load(path_);
    options.chipidx = 0;
    options.file = "/home/u/fw.hex";
    options.Save(path_);
    const std::string text = Read();
    for (const char* kept : {"; written by hand", "[Window]\nleft=10\n", "; chip settings", "extra=keep me",
                             "[Tail]\nx=y\n", "chipidx=0\n", "file=/home/u/fw.hex\n"}) {
        EXPECT_NE(text.find(kept), std::string::npos) << kept << "\n---\n" << text;
    }
    EXPECT_EQ(text.find("chipidx=2"), std::string::npos);
    // Keys new to the section follow the existing ones in table order.
    EXPECT_LT(text.find("file="), text.find("reload="));
    EXPECT_LT(text.find("reload="), text.find("lang="));
    EXPECT_LT(text.find("[CONFIG]"), text.find("lang="));
    EXPECT_LT(text.find("lang="), text.find("[Tail]"));
}

TEST_F(ConfigFile, ReadOnlyFileIsRefusedAndLeftUntouched) {
    const std::string original = "[CONFIG]\nchipidx=1\n";
    Write(original);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    TIniOptions options;
    options.Load(path_);
    options.chipidx = 2;
    try {
        options.Save(path_);
        FAIL() << "save of a read-only file succeeded";
    } catch (const IniWriteError& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + path_).c_str());
        EXPECT_EQ(e.path(), path_);
    }
    EXPECT_EQ(Read(), original);
}

TEST_F(ConfigFile, UnwritableLocationRaisesTheWriteError) {
    const std::string path = (dir_ / "missing" / "config.ini").string();
    TIniOptions options;
    try {
        options.Save(path);
        FAIL() << "save into a missing directory succeeded";
    } catch (const IniWriteError& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
        EXPECT_FALSE(e.reason().empty());
    }
    // A directory where the file should be is refused, and nothing is left beside it.
    fs::create_directories(path_);  // a directory where the file should be
    EXPECT_THROW(options.Save(path_), IniWriteError);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ConfigFile, UnreadableFileGivesDefaultsAndIsNotOverwritten) {
    fs::create_directories(path_);
    TIniOptions options;
    options.chipidx = 3;
    EXPECT_EQ(options.Load(path_), IniLoadResult::Unreadable);
    EXPECT_EQ(options.chipidx, -1);
    EXPECT_TRUE(options.verify);

    fs::remove(path_);
    // Zero bytes mean a format that cannot be read safely: saving would drop content.
    Write("[CONFIG]\nchipidx=1\n\0junk\n"s);
    const std::string before = Read();
    EXPECT_EQ(options.Load(path_), IniLoadResult::Unreadable);
    EXPECT_THROW(options.Save(path_), IniWriteError);
    EXPECT_EQ(Read(), before);
}

TEST_F(ConfigFile, CrlfFileReadsCleanValuesAndKeepsItsLineEnds) {
    TIniOptions options =
        Loaded("[Other]\r\nk=v\r\n[CONFIG]\r\nfile=C:\\fw\\app.hex\r\nchipidx=1\r\nlang=cn\r\n");
    EXPECT_EQ(options.file, "C:\\fw\\app.hex");
    EXPECT_EQ(options.chipidx, 1);
    EXPECT_EQ(options.lang, "cn");
    options.Save(path_);
    const std::string text = Read();
    EXPECT_NE(text.find("[Other]\r\nk=v\r\n"), std::string::npos);
    EXPECT_NE(text.find("rstrun=1\r\n"), std::string::npos);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at " << i;
        }
    }
}

TEST_F(ConfigFile, Utf8ByteOrderMarkIsReadAndKept) {
    TIniOptions options = Loaded("\xEF\xBB\xBF[CONFIG]\nchipidx=1\nfile=/固件/a.hex\n");
    EXPECT_EQ(options.chipidx, 1);
    EXPECT_EQ(options.file, "/固件/a.hex");
    options.Save(path_);
    EXPECT_EQ(Read().rfind("\xEF\xBB\xBF[CONFIG]\n", 0), 0u);
}

TEST_F(ConfigFile, Utf16FileIsReadAndWrittenBackAsUtf16) {
    auto utf16le = [](const std::u16string& s) {
        std::string out = "\xFF\xFE";
        for (char16_t c : s) {
            out += static_cast<char>(c & 0xFF);
            out += static_cast<char>(c >> 8);
        }
        return out;
    };
    TIniOptions options = Loaded(utf16le(u"[CONFIG]\r\nchipidx=2\r\nfile=D:\\固件\\a.hex\r\n"));
    EXPECT_EQ(options.chipidx, 2);
    EXPECT_EQ(options.file, "D:\\固件\\a.hex");
    options.verify = false;
    options.Save(path_);
    const std::string text = Read();
    EXPECT_EQ(text.rfind(utf16le(u"[CONFIG]\r\nchipidx=2\r\nfile=D:\\固件\\a.hex\r\nreload=1\r\n"), 0), 0u);
    EXPECT_NE(text.find(utf16le(u"\r\nverify=0\r\n").substr(2)), std::string::npos);
    TIniOptions again;
    EXPECT_EQ(again.Load(path_), IniLoadResult::Loaded);
    EXPECT_FALSE(again.verify);
    EXPECT_EQ(again.file, options.file);

    Write("\xFF\xFE[\0C"s);  // odd length: not UTF-16 at all
    EXPECT_EQ(again.Load(path_), IniLoadResult::Unreadable);
}

TEST_F(ConfigFile, LongTextIsCutAt2047Characters) {
    const std::string longPath(3000, 'p');
    TIniOptions options = Loaded("[CONFIG]\nfile=" + longPath + "\nchipidx=1\n");
    EXPECT_EQ(options.file, longPath.substr(0, 2047));
    EXPECT_EQ(options.chipidx, 1);  // the long line did not disturb the next key
}

TEST_F(ConfigFile, TextsRoundTripThroughQuotingAndLineBreaksCannotInjectKeys) {
    Write("[CONFIG]\nfile=\"C:\\My Files\\a.hex\"\nlang='cn'\n");
    TIniOptions options;
    options.Load(path_);
    EXPECT_EQ(options.file, "C:\\My Files\\a.hex");
    EXPECT_EQ(options.lang, "cn");

    for (const std::string& text : {std::string("  padded  "), std::string("\"quoted\""), std::string("'x'")}) {
        options.file = text;
        options.Save(path_);
        TIniOptions again;
        again.Load(path_);
        EXPECT_EQ(again.file, text);
    }

    options.file = "a.hex\nchipidx=2";
    options.chipidx = 0;
    options.Save(path_);
    TIniOptions again;
    again.Load(path_);
    EXPECT_EQ(again.file, "a.hex");
    EXPECT_EQ(again.chipidx, 0);
}

TEST_F(ConfigFile, SaveCreatesAMissingFile) {
    TIniOptions options;
    options.chipidx = 1;
    options.Save(path_);
    TIniOptions again;
    EXPECT_EQ(again.Load(path_), IniLoadResult::Loaded);
    EXPECT_EQ(again.chipidx, 1);
}

TEST_F(ConfigFile, SaveKeepsModeAndSymlinks) {
    QUILLON_SKIP_ON_WINDOWS("permission bits and symbolic links are POSIX (and Wine has no symlinks)");
    TIniOptions options;
    options.chipidx = 1;
    options.Save(path_);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::string link = (dir_ / "link.ini").string();
    fs::create_symlink(path_, link);
    options.chipidx = 2;
    options.Save(link);
    EXPECT_TRUE(fs::is_symlink(link));
    TIniOptions again;
    again.Load(path_);
    EXPECT_EQ(again.chipidx, 2);
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
}  // namespace quillon
