#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "TestSupport.h"
#include "runtime/ConfigFile.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class ConfigFileTest : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        CConfigFile::DeleteInstance(CConfigFile::GetInstance());
        path = (dir.path() / "VdmConfig.cfg").string();
    }
    void TearDown() override {
        CConfigFile::DeleteInstance(CConfigFile::GetInstance());
        LogFixture::TearDown();
    }
    CConfigFile::ConfigMap* LoadText(const std::string& text) {
        WriteFile(path, text);
        return CConfigFile::GetLoadedInstance(path);
    }
    std::vector<std::string> DirEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.is_regular_file())
                names.push_back(e.path().filename().string());
        return names;
    }

    std::string path;
};

TEST_F(ConfigFileTest, ParsesLinesByTheFileSyntax) {
    auto* map = LoadText(
        "# a comment line\n"
        "key=value # note\n"
        "#hidden=value\n"
        "  quoted = \"a b\"  \n"
        "Port=7901\n"
        "Port=7902\n"
        "no equals sign here\n"
        "=empty key\n"
        "Blank = \n"
        "Split = a=b\n"
        "Crlf = windows\r\n"
        "Case = lower\n"
        "case = other\n"
        "Tab\t=\tx\t\n"
        "Last=no newline");
    const CConfigFile::ConfigMap expected = {
        {"key", "value"},
        {"quoted", "a b"},
        {"Port", "7901"},  // the first occurrence wins
        {"", "empty key"},
        {"Blank", " "},    // a single blank stays
        {"Split", "a=b"},
        {"Crlf", "windows"},
        {"Case", "lower"},
        {"case", "other"},
        {"Tab", "x"},
        {"Last", "no newline"},
    };
    EXPECT_EQ(*map, expected);
    EXPECT_EQ(CConfigFile::GetAll(map), expected);
}

TEST_F(ConfigFileTest, ReadingStopsAtALineLongerThan255Characters) {
    auto* map = LoadText("A=1\nLong=" + std::string(250, 'x') + "\nB=2\nTooLong=" + std::string(250, 'y') + "\nC=3\n");
    EXPECT_EQ(map->size(), 3u);
    EXPECT_EQ(CConfigFile::GetString(map, "Long", ""), std::string(250, 'x'));  // 255 characters: kept
    EXPECT_EQ(CConfigFile::GetString(map, "B", ""), "2");
    EXPECT_EQ(map->count("TooLong"), 0u);
    EXPECT_EQ(map->count("C"), 0u);
}

TEST_F(ConfigFileTest, TypedGettersAndDefaults) {
    auto* map = LoadText(
        "Num=7901x\nText=abc\nNeg=  -12\nPlus=+5\nHuge=99999999999\nTiny=-99999999999\nEmpty=\n"
        "T1=TRUE\nT2=true\nF1=false\nF2=FALSE\nF3=0\nNo=no\nOne=1\nE=\n");
    struct IntCase {
        const char* key;
        int expected;
    } ints[] = {{"Num", 7901}, {"Text", 0}, {"Neg", -12}, {"Plus", 5}, {"Huge", INT_MAX},
                {"Tiny", INT_MIN}, {"Empty", 0}, {"Absent", 4711}};
    for (const auto& c : ints)
        EXPECT_EQ(CConfigFile::GetInt(map, c.key, 4711), c.expected) << c.key;

    struct BoolCase {
        const char* key;
        bool expected;
    } bools[] = {{"T1", true}, {"T2", true}, {"F1", false}, {"F2", false}, {"F3", false},
                 {"No", true}, {"One", true}, {"E", true}, {"Absent", true}};
    for (const auto& c : bools)
        EXPECT_EQ(CConfigFile::GetBool(map, c.key), c.expected) << c.key;

    EXPECT_EQ(CConfigFile::GetString(map, "Text", "d"), "abc");
    EXPECT_EQ(CConfigFile::GetString(map, "Absent", "d"), "d");

    std::string s = "Mixed case 1";
    CConfigFile::ToUpper(s);
    EXPECT_EQ(s, "MIXED CASE 1");
}

TEST_F(ConfigFileTest, SetValueRewritesEveryLineOfTheKeyKeepingTheRest) {
    const std::string longLine = "# " + std::string(300, 'z');
    auto* map = LoadText(
        "# settings\n"
        "\n"
        "Port = 7901 # the listen port\n"
        "Other=1\r\n"
        "  Port=7000\n" +
        longLine + "\n"
        "Port=1 # after the long line\n"
        "Tail = t");
    CConfigFile::SetValue(map, "Port", "7902");
    EXPECT_EQ(CConfigFile::GetInt(map, "Port", 0), 7902);
    EXPECT_EQ(ReadFile(path),
              "# settings\n"
              "\n"
              "Port = 7902# the listen port\n"
              "Other=1\n"
              "  Port= 7902\n" +
                  longLine + "\n"
                  "Port= 7902# after the long line\n"
                  "Tail = t\n");
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"VdmConfig.cfg"});  // no temporary file left

    CConfigFile::Load(path);
    EXPECT_EQ(CConfigFile::GetString(map, "Port", ""), "7902");
    EXPECT_EQ(map->count("Tail"), 0u);  // behind the over-long line: kept in the file, not loaded
}

TEST_F(ConfigFileTest, SetValueAppendsANewKey) {
    auto* map = LoadText("A = 1");  // no line end after the last line
    CConfigFile::SetValue(map, "New", "two words");
    CConfigFile::SetValue(map, "Count", 42);
    EXPECT_EQ(ReadFile(path), "A = 1\nNew = two words\nCount = 42\n");
    CConfigFile::Load(path);
    EXPECT_EQ(CConfigFile::GetString(map, "A", ""), "1");
    EXPECT_EQ(CConfigFile::GetString(map, "New", ""), "two words");
    EXPECT_EQ(CConfigFile::GetInt(map, "Count", 0), 42);
}

TEST_F(ConfigFileTest, SetValueRefusesKeysAndValuesThatWouldChangeOtherLines) {
    const std::string original = "Port = 7901\nVdmIP = 127.0.0.1\n";
    auto* map = LoadText(original);
    struct Case {
        std::string key, value;
    } cases[] = {
        {"Port", "1\nVdmIP = 10.0.0.1"},
        {"Port", "1\rVdmIP = 10.0.0.1"},
        {"Port", "1 # cut"},
        {"", "x"},
        {"Evil\nPort", "1"},
        {"Evil\r", "1"},
        {"VdmIP = 1.2.3.4 #", "1"},
        {"Port=", "1"},
        {"#Port", "1"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(CConfigFile::SetValue(map, c.key, c.value), CConfigureFailure) << c.key << " / " << c.value;
        EXPECT_EQ(ReadFile(path), original);
        EXPECT_EQ(map->size(), 2u);
        EXPECT_EQ(CConfigFile::GetString(map, "Port", ""), "7901");
    }
    // Blanks, quotes and '=' inside a value are harmless.
    CConfigFile::SetValue(map, "Name", "a = b");
    CConfigFile::Load(path);
    EXPECT_EQ(CConfigFile::GetString(map, "Name", ""), "a = b");
}

// The line checked is the one written, with the old spacing and trailing comment: a line the
// loader would stop at would lose every key after it.
TEST_F(ConfigFileTest, SetValueNeverWritesALineLongerThan255Characters) {
    const std::string comment = "# the Device Manager's address";  // 30 characters
    const std::string original = "DmIP    =  1.2.3.4  " + comment + "\nDmIP\nDmPort = 4401\n";  // "DmIP" alone: no key
    auto* map = LoadText(original);
    // "DmIP    =" (9) + " " + value + comment (30): 255 characters with a value of 215.
    const std::string fits(215, 'a');
    const std::string tooLong(216, 'b');
    EXPECT_THROW(CConfigFile::SetValue(map, "DmIP", tooLong), CConfigureFailure);
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(CConfigFile::GetString(map, "DmIP", ""), "1.2.3.4");  // neither stored nor written
    CConfigFile::SetValue(map, "DmIP", fits);
    EXPECT_EQ(ReadFile(path), "DmIP    = " + fits + comment + "\nDmIP\nDmPort = 4401\n");

    // A new key is written as key " = " value: 255 characters with "New" and a value of 249.
    EXPECT_THROW(CConfigFile::SetValue(map, "New", std::string(250, 'c')), CConfigureFailure);
    EXPECT_EQ(map->count("New"), 0u);
    CConfigFile::SetValue(map, "New", std::string(249, 'd'));

    CConfigFile::Load(path);
    EXPECT_EQ(CConfigFile::GetString(map, "DmIP", ""), fits);
    EXPECT_EQ(CConfigFile::GetInt(map, "DmPort", 0), 4401);  // still read after the long lines
    EXPECT_EQ(CConfigFile::GetString(map, "New", ""), std::string(249, 'd'));
    const std::string log = Text();
    EXPECT_NE(log.find("ERROR  : CConfigFile::SetValue: The line of key DmIP would hold 256 characters, more than 255\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ERROR  : CConfigFile::SetValue: The line of key New would hold 256 characters, more than 255\n"),
              std::string::npos);
}

TEST_F(ConfigFileTest, MissingFileThrowsOnceAndLeavesTheMapEmpty) {
    const std::string missing = (dir.path() / "absent.cfg").string();
    try {
        CConfigFile::GetLoadedInstance(missing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {  // CConfigureFailure is a std::runtime_error
        EXPECT_NE(dynamic_cast<const CConfigureFailure*>(&e), nullptr);
        EXPECT_STREQ(e.what(), ("Failed to open configuration file " + missing).c_str());
    }
    CConfigFile::ConfigMap* map = nullptr;
    EXPECT_NO_THROW(map = CConfigFile::GetLoadedInstance(missing));
    ASSERT_NE(map, nullptr);
    EXPECT_TRUE(map->empty());
    EXPECT_THROW(CConfigFile::TestLoadingConfigFile(missing), CConfigureFailure);
    EXPECT_THROW(CConfigFile::TestLoadingConfigFile(dir.path().string()), CConfigureFailure);  // a folder
    EXPECT_NE(Text().find(" ERROR  : CConfigFile::Load: Failed to open configuration file " + missing + "\n"),
              std::string::npos);
}

TEST_F(ConfigFileTest, LoadedOnceAndTestLoadingStoresNothing) {
    auto* map = LoadText("A=1\n");
    WriteFile(path, "A=2\n");
    EXPECT_EQ(CConfigFile::GetLoadedInstance(path), map);
    EXPECT_EQ(CConfigFile::GetString(map, "A", ""), "1");  // not read again

    const std::string other = (dir.path() / "other.cfg").string();
    WriteFile(other, "B=3\n");
    CConfigFile::TestLoadingConfigFile(other);
    EXPECT_EQ(map->count("B"), 0u);
    CConfigFile::SetValue(map, "A", "5");  // still writes the loaded file
    EXPECT_EQ(ReadFile(path), "A= 5\n");
    EXPECT_EQ(ReadFile(other), "B=3\n");
}

}  // namespace
