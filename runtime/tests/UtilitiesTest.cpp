#include "runtime/Utilities.h"

#include <sys/stat.h>

#include <chrono>

#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "platform/ProgramDir.h"

using namespace nettest;
using namespace xercesc;

namespace {

const char* const kSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="Order">
    <xs:complexType>
      <xs:sequence><xs:element name="Item" type="xs:string" maxOccurs="unbounded"/></xs:sequence>
      <xs:attribute name="count" type="xs:int" use="required"/>
    </xs:complexType>
  </xs:element>
</xs:schema>)";

struct DocumentRelease {
    void operator()(DOMDocument* d) const {
        if (d != nullptr) d->release();
    }
};
using Document = std::unique_ptr<DOMDocument, DocumentRelease>;

class Xml : public ::testing::Test {
protected:
    void SetUp() override {
        schema_ = dir_.path().string() + "/Order.xsd";
        PutFile(schema_, kSchema);
    }
    std::string File(const std::string& name, const std::string& text) {
        std::string path = dir_.path().string() + "/" + name;
        PutFile(path, text);
        return path;
    }

    TempDir dir_;
    std::string schema_;
};

}  // namespace

TEST(CommandNames, FollowTheMessageKinds) {
    const std::pair<int, const char*> cases[] = {
        {0, "ShutDown"},           {2, "Connect"},           {3, "DeviceArrival"},     {5, "DeviceArrival"},
        {4, "DeviceRemoval"},      {6, "DeviceRemoval"},     {9, "StartCapture"},      {16, "GetSample"},
        {17, "Unknown"},           {18, "VdmCommand"},       {20, "ConfigDeviceInfo"}, {23, "ConfigDeviceInfo"},
        {25, "ConfigDeviceClient"}, {26, "ConfigDeviceManager"}, {30, "CalibrateDevice"}, {31, "Unknown"},
        {-1, "Unknown"},           {1 << 30, "Unknown"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(CUtilities::GetCommandName(static_cast<MessageId>(value)), text) << value;
    }
}

TEST(Directories, AreBesideTheProgramAndCreated) {
    TempDir dir;
    platform::SetProgramDirectoryOverride(dir.path().string());
    EXPECT_EQ(CUtilities::GetModuleDir(), dir.path().string());
    EXPECT_EQ(CUtilities::GetAppDataDir(), dir.path().string() + "/App_Data");
    EXPECT_EQ(CUtilities::GetLogDir(), dir.path().string() + "/Log");
    struct stat info {};
    EXPECT_EQ(::stat((dir.path().string() + "/App_Data").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(::stat((dir.path().string() + "/Log").c_str(), &info), 0);
    platform::SetProgramDirectoryOverride("");
}

TEST_F(Xml, ValidFileIsReturnedAndBrokenOnesGiveNullWithTheirReports) {
    LogCapture log;
    Document good(CUtilities::ReadXMLConfigFile({schema_}, File("good.xml", R"(<Order count="2"><Item>a</Item></Order>)")));
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(CFromXmlCh(good->getDocumentElement()->getAttribute(CToXmlCh("count"))).str(), "2");

    std::string bad = File("bad.xml", "<Order count=\"x\">\n<Thing/></Order>");
    EXPECT_EQ(CUtilities::ReadXMLConfigFile({schema_}, bad), nullptr);
    EXPECT_EQ(CUtilities::ReadXMLConfigFile({schema_}, File("torn.xml", "<Order count=\"1\"><Item>")), nullptr);
    EXPECT_EQ(CUtilities::ReadXMLConfigFile({schema_}, dir_.path().string() + "/absent.xml"), nullptr);
    // Without schemas only well-formedness counts.
    EXPECT_NE(Document(CUtilities::ReadXMLConfigFile({}, bad)), nullptr);

    std::string missing = dir_.path().string() + "/Missing.xsd";
    EXPECT_EQ(CUtilities::ReadXMLConfigFile({missing}, File("good2.xml", "<Order count=\"1\"/>")), nullptr);

    std::string text = log.Text();
    EXPECT_NE(text.find("DBG1   : URI=" + bad + " :line=1 :column="), std::string::npos) << text;
    EXPECT_NE(text.find(" error: "), std::string::npos);
    EXPECT_NE(text.find("ERROR  : Unable to load " + missing + "\n"), std::string::npos) << text;
}

TEST_F(Xml, GrammarsLoadIntoAPoolThatValidatesReceivedText) {
    LogCapture log;
    DOMLSParser* parser = nullptr;
    XMLGrammarPool* pool = nullptr;
    ASSERT_TRUE(CUtilities::LoadGrammars(parser, pool, {schema_}));
    ASSERT_NE(parser, nullptr);
    ASSERT_NE(pool, nullptr);
    std::string text = R"(<Order count="1"><Item>z</Item></Order>)";
    Document parsed(CUtilities::ParseXmlText(parser, text.data(), text.size()));
    EXPECT_NE(parsed, nullptr);
    CUtilities::ReleaseParser(parser, pool);
    EXPECT_EQ(parser, nullptr);
    EXPECT_EQ(pool, nullptr);

    std::string broken = File("Broken.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:element");
    EXPECT_FALSE(CUtilities::LoadGrammars(parser, pool, {schema_, broken}));
    CUtilities::ReleaseParser(parser, pool);
    EXPECT_NE(log.Text().find("Unable to load " + broken), std::string::npos);
}

TEST_F(Xml, ReceivedTextIsValidatedAndNeverThrows) {
    DOMLSParser* parser = nullptr;
    XMLGrammarPool* pool = nullptr;
    ASSERT_TRUE(CUtilities::LoadGrammars(parser, pool, {schema_}));
    struct Case {
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {R"(<Order count="3"><Item>x</Item></Order>)", true},
        {R"(<Order count="3"><Item>x</Item>)", false},  // torn in the middle
        {R"(<Order count="three"><Item>x</Item></Order>)", false},
        {R"(<Other/>)", false},
        {std::string("<Order count=\"1\"><Item>\xff\xfe</Item></Order>"), false},  // not UTF-8
        {std::string("\0\0\0\0", 4), false},
        {"", false},
    };
    for (const Case& c : cases) {
        bool failed = false;
        Document document(CUtilities::ParseXmlText(parser, c.text.data(), c.text.size(), &failed));
        EXPECT_EQ(document != nullptr, c.accepted) << c.text;
        EXPECT_EQ(failed, !c.accepted) << c.text;
    }
    CUtilities::ReleaseParser(parser, pool);
}

TEST_F(Xml, DoctypeAndEntitiesAreRefused) {
    const std::string secret = File("secret.txt", "top secret");
    const std::string documents[] = {
        "<!DOCTYPE Order [<!ENTITY s SYSTEM \"file://" + secret + "\">]><Order count=\"1\"><Item>&s;</Item></Order>",
        "<!DOCTYPE Order SYSTEM \"http://192.0.2.1/evil.dtd\"><Order count=\"1\"><Item>a</Item></Order>",
        "<!DOCTYPE Order [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
        "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]><Order count=\"1\"><Item>&e;&e;&e;</Item></Order>",
    };
    DOMLSParser* validating = nullptr;
    XMLGrammarPool* pool = nullptr;
    ASSERT_TRUE(CUtilities::LoadGrammars(validating, pool, {schema_}));
    DOMLSParser* plain = CUtilities::CreateDOMParser(nullptr, false);
    int index = 0;
    for (const std::string& text : documents) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Document(CUtilities::ParseXmlText(validating, text.data(), text.size())), nullptr) << text;
        EXPECT_EQ(Document(CUtilities::ParseXmlText(plain, text.data(), text.size())), nullptr) << text;
        EXPECT_EQ(CUtilities::ReadXMLConfigFile({}, File("doctype" + std::to_string(index++) + ".xml", text)), nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    XMLGrammarPool* none = nullptr;
    CUtilities::ReleaseParser(plain, none);
    CUtilities::ReleaseParser(validating, pool);
}

// Received text nested deeper than any message of the channels is refused before the parser,
// as invalid text: the parser's cost grows with the square of the depth.
TEST_F(Xml, ReceivedTextNestedTooDeeplyIsRefusedBeforeTheParser) {
    auto nested = [](int depth, const std::string& inner = "x") {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "<a k=\"1>2\" q='/>'>";
        text += inner;
        for (int i = 0; i < depth; ++i) text += "</a>";
        return text;
    };
    const int limit = CUtilities::kMaxReceivedXmlDepth;
    EXPECT_EQ(limit, 16);
    struct Case {
        std::string text;
        bool within;
    } cases[] = {
        {nested(limit), true},
        {nested(limit + 1), false},
        {nested(limit - 1, "<b/><b/><b/>"), true},  // empty elements do not nest
        {nested(limit - 1, "<b><c>x</c></b>"), false},
        // Comments, processing instructions and character data hold no tags.
        {"<?xml version=\"1.0\"?>" + nested(limit, "<!-- <b><b><b> --><![CDATA[<b><b><b>]]><?pi <b>?>"), true},
        // Empty ones too, and a '>' in a quoted value does not end a tag.
        {"<r><!---->" + nested(limit), false},
        {"<r><?" "?>" + nested(limit), false},  // split: no trigraph
        {"<r><![CDATA[]]>" + nested(limit), false},
        {nested(limit, "<b k=\">\"/>"), true},
        {nested(limit - 1) + nested(limit - 1), true},  // siblings, not nested
        {std::string(200000, '<'), true},               // no finished tag at all
    };
    DOMLSParser* plain = CUtilities::CreateDOMParser(nullptr, false);
    for (const Case& c : cases) {
        EXPECT_EQ(CUtilities::XmlNestingWithin(c.text.data(), c.text.size(), limit), c.within) << c.text.substr(0, 300);
    }
    // Well formed, and parsed by a plain parser when shallow enough.
    for (int depth : {limit, limit + 1, 40000}) {
        const std::string text = nested(depth);
        bool failed = false;
        Document document(CUtilities::ParseXmlText(plain, text.data(), text.size(), &failed));
        EXPECT_EQ(document != nullptr, depth <= limit) << depth;
        EXPECT_EQ(failed, depth > limit) << depth;
    }
    XMLGrammarPool* none = nullptr;
    CUtilities::ReleaseParser(plain, none);
}

TEST_F(Xml, DocumentsAreWrittenAsTheirRootElementInUtf8) {
    const std::string source = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Order count=\"1\"><Item>Zo\xc3\xab \xe2\x82\xac</Item></Order>";
    Document document(CUtilities::ReadXMLConfigFile({}, File("utf8.xml", source)));
    ASSERT_NE(document, nullptr);
    const std::string expected = "<Order count=\"1\"><Item>Zo\xc3\xab \xe2\x82\xac</Item></Order>";
    EXPECT_EQ(CUtilities::XmlDocumentToString(document.get()), expected);
    EXPECT_EQ(CUtilities::XmlDocumentToString(document->getDocumentElement()), expected);
    EXPECT_EQ(CUtilities::XmlDocumentToString(nullptr), "");
}

TEST(Transcoders, RoundTripUtf8AndKeepBytesThatAreNot) {
    const std::string text = "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac";
    CToXmlCh wide(text);
    EXPECT_EQ(XMLString::stringLen(wide.get()), 7u);  // G r ü ß e blank €
    EXPECT_EQ(CFromXmlCh(wide.get()).str(), text);

    CToXmlCh latin("caf\xe9");  // a Latin-1 byte, not UTF-8
    ASSERT_NE(latin.get(), nullptr);
    EXPECT_EQ(latin.get()[3], 0xE9);

    EXPECT_EQ(CToXmlCh(static_cast<const char*>(nullptr)).get(), nullptr);
    EXPECT_EQ(CFromXmlCh(nullptr).get(), nullptr);
    EXPECT_EQ(CFromXmlCh(nullptr).str(), "");
}
