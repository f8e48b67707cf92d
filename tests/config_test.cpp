// The settings file: defaults, integer and boolean syntax, case-insensitive names, files
// copied from Windows (CRLF, byte-order marks, UTF-16), saves that change only the eight
// values and keep every other byte (also through links), targets that are refused (directories,
// FIFOs, devices, files over 1 MiB), and saves that never destroy the file when they fail.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

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

TEST_F(ConfigFile, Utf16SaveTurnsEveryInvalidUtf8ByteIntoAReplacementCharacter) {
    auto utf16le = [](const std::u16string& s) {
        std::string out;
        for (char16_t c : s) {
            out += static_cast<char>(c & 0xFF);
            out += static_cast<char>(c >> 8);
        }
        return out;
    };
    struct Case {
        std::string value;     // bytes the program holds (a file name from a POSIX system)
        std::u16string saved;  // what the UTF-16 file must then hold
    };
    const Case cases[] = {
        {"a\xC0\xAF" "b", u"a\uFFFD\uFFFDb"},                 // an overlong '/' is no slash
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},             // a surrogate is no character
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // nor is a value past U+10FFFF
        {"cut \xE4\xB8", u"cut \uFFFD\uFFFD"},
        {"\xF0\x9F\x98\x80 \xE4\xB8\xAD", u"\U0001F600 \u4E2D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TIniOptions options = Loaded("\xFF\xFE" + utf16le(u"[CONFIG]\r\nchipidx=2\r\n"));
        options.file = c.value;
        options.Save(path_);
        EXPECT_NE(Read().find(utf16le(u"file=" + c.saved + u"\r\n")), std::string::npos);
    }
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

// Fills {name} markers of a template; {eol} is the line end under test.
std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
        const std::string marker = "{" + name + "}";
        for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size())) {
            text.replace(at, marker.size(), value);
        }
    }
    return text;
}

std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// Everything that is not one of the eight values: comments of both kinds, blank lines, another
// section holding a key of the same name, a lower-case CONFIG with odd spacing and case, a
// foreign key, a duplicate (Load reads the first), a line without '=', a second CONFIG header
// and a last line without a line end.
const char* const kForeignTemplate =
    "; station 3 settings{eol}# kept as written{eol}{eol}[Window]{eol}left=10{eol}chipidx=99{eol}{eol}"
    "[config]{eol}  ChipIdx =  {chipidx}   {eol}file={file}{eol}extra = keep me {eol}; inside{eol}"
    "CHIPIDX=7{eol}Verify\t=\t{verify}{eol}{added}{eol}[Tail]{eol}x = y{eol}no equals sign here{eol}"
    "lang=not this one{eol}[ CONFIG ]{eol}lang={lang}{eol}tail without line end";

TEST_F(ConfigFile, SaveChangesOnlyTheEightValuesDirectlyAndThroughLinks) {
    QUILLON_SKIP_ON_WINDOWS("symbolic links are POSIX (and Wine has no symlinks)");
    struct Case {
        const char* name;
        std::string eol;
        int links;  // config.ini -> ... -> the real file in another folder
    };
    const Case cases[] = {
        {"LF", "\n", 0}, {"CR LF", "\r\n", 0}, {"LF, link", "\n", 1},
        {"CR LF, link", "\r\n", 1}, {"LF, link to a link", "\n", 2}, {"CR LF, link to a link", "\r\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "real");
        const fs::path real = dir_ / "real" / "settings.txt";
        if (c.links == 0) {
            fs::remove_all(dir_ / "real");
        } else {
            fs::create_symlink(c.links == 1 ? "real/settings.txt" : "hop.ini", path_);
            if (c.links == 2) fs::create_symlink(real, dir_ / "hop.ini");
        }
        const std::string file = c.links == 0 ? path_ : real.string();
        Write(file, Fill(kForeignTemplate, {{"eol", c.eol},
                                            {"chipidx", "1"},
                                            {"file", "C:\\fw\\old.hex"},
                                            {"verify", "$0"},
                                            {"lang", "cn"},
                                            {"added", ""}}));
        const auto before = Names(dir_);

        TIniOptions options;
        ASSERT_EQ(options.Load(path_), IniLoadResult::Loaded);
        EXPECT_EQ(options.chipidx, 1);
        EXPECT_EQ(options.file, "C:\\fw\\old.hex");
        EXPECT_FALSE(options.verify);
        EXPECT_EQ(options.lang, "cn");
        options.chipidx = -1;
        options.file = "/home/u/new fw.hex";
        options.verify = true;
        options.reload = false;
        options.encry = false;
        options.Save(path_);

        const std::string added = "reload=0" + c.eol + "erase=1" + c.eol + "encry=0" + c.eol + "rstrun=1" + c.eol;
        EXPECT_EQ(Read(file), Fill(kForeignTemplate, {{"eol", c.eol},
                                                      {"chipidx", "-1"},
                                                      {"file", "/home/u/new fw.hex"},
                                                      {"verify", "1"},
                                                      {"lang", "cn"},
                                                      {"added", added}}));
        EXPECT_EQ(Names(dir_), before);  // links stay links, nothing left beside them
        if (c.links > 0) {
            EXPECT_TRUE(fs::is_symlink(path_));
            EXPECT_EQ(Names(dir_ / "real"), std::set<std::string>{"settings.txt"});
        }
        TIniOptions again;
        ASSERT_EQ(again.Load(path_), IniLoadResult::Loaded);
        EXPECT_EQ(again.chipidx, -1);
        EXPECT_EQ(again.file, options.file);
        EXPECT_TRUE(again.verify);
        EXPECT_FALSE(again.reload);
        EXPECT_FALSE(again.encry);
        EXPECT_EQ(again.lang, "cn");
    }
}

TEST_F(ConfigFile, TextWithoutTheSectionKeepsEveryLineAndGetsItAtTheEnd) {
    struct Case {
        std::string original;
        std::string joint;  // what comes between the original text and the added section
        std::string eol;
    };
    std::string poem;
    for (int line = 1; line <= 24; ++line) poem += "line " + std::to_string(line) + " of a note\n";
    const Case cases[] = {
        {poem, "", "\n"},
        {"first\r\nsecond\r\nno line end", "\r\n", "\r\n"},
        {"", "", "\n"},
        {"only\rlone carriage returns\r", "", "\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.original);
        Write(c.original);
        TIniOptions options;
        options.Load(path_);
        options.chipidx = 2;
        options.Save(path_);
        const std::string& e = c.eol;
        EXPECT_EQ(Read(), c.original + c.joint + "[CONFIG]" + e + "file=" + e + "chipidx=2" + e + "reload=1" + e +
                              "erase=1" + e + "encry=1" + e + "verify=1" + e + "rstrun=1" + e + "lang=" + e);
    }
}

TEST_F(ConfigFile, SaveEditsTheEntryThatLoadReads) {
    // Odd layouts that SimpleIni reads in its own way; whichever entry it takes is the one
    // that must change, so that the saved value is read back.
    const char* const layouts[] = {
        "[CONFIG]\nchipidx=1\nchipidx=2\n",
        "chipidx=5\n[CONFIG]\nchipidx=1\n",
        "[CONFIG]\n[Other]\nchipidx=5\n[config]\nchipidx=1\n",
        "[\nCONFIG]\nchipidx=1\n",
        "[CONFIG\nchipidx=5\n[CONFIG]\nchipidx=1\n",
        "[CONFIG]  trailing words\n=5\nchipidx\n chipidx\t=\t1\t\r\n",
        "[CONFIG]\r\rchipidx=1\r[x]\rchipidx=5",
        "[CONFIG]\n;chipidx=5\n  # chipidx=6\nCHIPIDX=1",
        "[CONFIG]\nchipidx=\n",
        "[CONFIG]\nchipidx   ",
    };
    for (const char* layout : layouts) {
        SCOPED_TRACE(layout);
        Write(layout);
        TIniOptions options;
        ASSERT_EQ(options.Load(path_), IniLoadResult::Loaded);
        options.chipidx = 42;
        options.Save(path_);
        TIniOptions again;
        again.Load(path_);
        EXPECT_EQ(again.chipidx, 42) << Read();
        EXPECT_EQ(Read().find("42"), Read().rfind("42")) << Read();  // written once
    }
}

TEST_F(ConfigFile, TargetsThatAreNotRegularFilesAreRefusedAndLeftAlone) {
    QUILLON_SKIP_ON_WINDOWS("FIFOs, devices and symbolic links are POSIX");
    struct Case {
        const char* name;
        std::function<std::string()> make;  // returns the path given to Save
    };
    const Case cases[] = {
        {"directory", [&] { fs::create_directory(path_); return path_; }},
        {"FIFO", [&] { return test::MakeFifo(path_) ? path_ : std::string(); }},
        {"link to a directory",
         [&] {
             fs::create_directory(dir_ / "folder");
             fs::create_symlink("folder", path_);
             return path_;
         }},
        {"link to a FIFO",
         [&] {
             if (!test::MakeFifo((dir_ / "pipe").string())) return std::string();
             fs::create_symlink("pipe", path_);
             return path_;
         }},
        {"character device",
         [&] {
             // Only a node made in the scratch folder (as root); never the system's own.
             const std::string node = test::NullDeviceFor(dir_.string());
             return node.rfind(dir_.string(), 0) == 0 ? node : std::string();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        const std::string path = c.make();
        if (path.empty()) continue;  // not available here
        const auto before = Names(dir_);
        const auto type = fs::symlink_status(path).type();
        TIniOptions options;
        // Loading does not open it (a FIFO would block until someone writes).
        EXPECT_EQ(options.Load(path), IniLoadResult::Unreadable);
        options.chipidx = 1;
        try {
            options.Save(path);
            ADD_FAILURE() << "saved into " << c.name;
        } catch (const IniWriteError& e) {
            EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
            EXPECT_FALSE(e.reason().empty());
        }
        EXPECT_EQ(Names(dir_), before);
        EXPECT_EQ(fs::symlink_status(path).type(), type);
        if (fs::is_directory(path)) {
            EXPECT_TRUE(fs::is_empty(path));
        }
    }
}

TEST_F(ConfigFile, FilesOverOneMebibyteAreNeitherReadNorRewritten) {
    const std::string head = "[CONFIG]\nchipidx=1\n;";
    struct Case {
        std::uintmax_t size;
        IniLoadResult expected;
    };
    const Case cases[] = {
        {TIniOptions::MaxFileSize, IniLoadResult::Loaded},
        {TIniOptions::MaxFileSize + 1, IniLoadResult::TooLarge},
        {200u << 20, IniLoadResult::TooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        if (c.size <= TIniOptions::MaxFileSize) {
            Write(head + std::string(c.size - head.size() - 1, 'x') + "\n");
        } else {
            Write(head);
            fs::resize_file(path_, c.size);  // sparse: no room taken on the disk
        }
        const auto stamp = fs::last_write_time(path_);
        TIniOptions options;
        options.chipidx = 5;
        ASSERT_EQ(options.Load(path_), c.expected);
        if (c.expected == IniLoadResult::Loaded) {
            EXPECT_EQ(options.chipidx, 1);
            continue;
        }
        EXPECT_EQ(options.chipidx, 5);  // left alone
        EXPECT_THROW(options.Save(path_), IniWriteError);
        EXPECT_EQ(fs::file_size(path_), c.size);
        EXPECT_EQ(fs::last_write_time(path_), stamp);
        std::ifstream in(path_, std::ios::binary);
        std::string start(head.size(), '\0');
        in.read(start.data(), static_cast<std::streamsize>(start.size()));
        EXPECT_EQ(start, head);
    }
}

TEST_F(ConfigFile, Utf16WithoutByteOrderMarkStaysWithoutIt) {
    std::string bytes;
    for (char c : std::string("[CONFIG]\r\n; note\r\nchipidx=1\r\n")) {
        bytes += c;
        bytes += '\0';
    }
    TIniOptions options = Loaded(bytes);
    EXPECT_EQ(options.chipidx, 1);
    options.Save(path_);
    const std::string text = Read();
    ASSERT_GE(text.size(), bytes.size());
    EXPECT_EQ(text.substr(0, 2), bytes.substr(0, 2));  // '[' then zero: no mark put in front
    TIniOptions again;
    EXPECT_EQ(again.Load(path_), IniLoadResult::Loaded);
    EXPECT_EQ(again.chipidx, 1);
    EXPECT_EQ(again.reload, options.reload);
}

}  // namespace
}  // namespace quillon
