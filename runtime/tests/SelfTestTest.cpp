#include <filesystem>

#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "platform/ProgramDir.h"
#include "runtime/Utilities.h"

using namespace nettest;

namespace {

const char* const kDeviceSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="Devices"><xs:complexType><xs:sequence>
    <xs:element name="Device" type="xs:string" maxOccurs="unbounded"/>
  </xs:sequence></xs:complexType></xs:element>
</xs:schema>)";

const char* const kModelSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="Models"><xs:complexType><xs:sequence>
    <xs:element name="Model" type="xs:int" maxOccurs="unbounded"/>
  </xs:sequence></xs:complexType></xs:element>
</xs:schema>)";

// A program folder whose App_Data holds the shipped SelfTest.xsd and the data files of a case.
class SelfTestFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetProgramDirectoryOverride(dir_.path().string());
        appData_ = dir_.path().string() + "/App_Data";
        std::filesystem::create_directories(appData_);
        std::filesystem::copy_file(std::string(RUNTIME_DATA_DIR) + "/SelfTest.xsd", appData_ + "/SelfTest.xsd");
        Put("Devices.xsd", kDeviceSchema);
        Put("Models.xsd", kModelSchema);
        Put("Devices.xml", "<Devices><Device>PloverA</Device></Devices>");
        Put("Models.xml", "<Models><Model>501</Model><Model>602</Model></Models>");
        Put("Vdm.cfg", "LOG_LEVEL = INFO\n");
        Put("Controller.cfg", "VdmConnectionPort = 7901\n");
    }
    void TearDown() override { platform::SetProgramDirectoryOverride(""); }

    void Put(const std::string& name, const std::string& text) { PutFile(appData_ + "/" + name, text); }
    void List(const std::string& body) { Put("SelfTest.xml", "<SelfTest>" + body + "</SelfTest>"); }

    TempDir dir_;
    std::string appData_;
};

const char* const kAll =
    "<Xsds><Xsd>Devices.xsd</Xsd><Xsd>Models.xsd</Xsd></Xsds>"
    "<Xmls><Xml><File>Devices.xml</File><Schema>Devices.xsd</Schema></Xml>"
    "<Xml><File>Models.xml</File><Schema>Models.xsd</Schema></Xml></Xmls>"
    "<Cfgs><Cfg>Vdm.cfg</Cfg><Cfg>Controller.cfg</Cfg></Cfgs>";

}  // namespace

TEST_F(SelfTestFixture, ShippedListMatchesItsSchema) {
    std::filesystem::copy_file(std::string(RUNTIME_DATA_DIR) + "/SelfTest.xml", appData_ + "/Shipped.xml");
    xercesc::DOMDocument* document =
        CUtilities::ReadXMLConfigFile({appData_ + "/SelfTest.xsd"}, appData_ + "/Shipped.xml");
    ASSERT_NE(document, nullptr);
    document->release();
}

TEST_F(SelfTestFixture, PassesWhenEveryListedFileIsUsable) {
    // Two XML files with schemas of no namespace: each is checked against its own schema.
    List(kAll);
    EXPECT_TRUE(CUtilities::SelfTest());
    List("");
    EXPECT_TRUE(CUtilities::SelfTest());
    List("<Cfgs/>");
    EXPECT_TRUE(CUtilities::SelfTest());
}

TEST_F(SelfTestFixture, FailsWithoutAValidList) {
    EXPECT_FALSE(CUtilities::SelfTest());  // no SelfTest.xml
    List("<Unknown/>");
    EXPECT_FALSE(CUtilities::SelfTest());
    List("<Cfgs><Cfg></Cfg></Cfgs>");  // a file name cannot be empty
    EXPECT_FALSE(CUtilities::SelfTest());
    List("<Xmls><Xml><File>Devices.xml</File></Xml></Xmls>");  // schema missing
    EXPECT_FALSE(CUtilities::SelfTest());
    Put("SelfTest.xml", "<SelfTest><Cfgs>");
    EXPECT_FALSE(CUtilities::SelfTest());
}

TEST_F(SelfTestFixture, MissingSchemaFails) {
    LogCapture log;
    List("<Xsds><Xsd>Devices.xsd</Xsd><Xsd>Gone.xsd</Xsd></Xsds>");
    EXPECT_FALSE(CUtilities::SelfTest());
    EXPECT_NE(log.Text().find("ERROR  : Unable to load " + appData_ + "/Gone.xsd"), std::string::npos);
}

TEST_F(SelfTestFixture, InvalidOrMissingDataFileFailsBeforeTheConfigurationFiles) {
    LogCapture log;
    Put("Bad.xml", "<Models><Model>five</Model></Models>");
    const char* entries[] = {
        "<Xml><File>Bad.xml</File><Schema>Models.xsd</Schema></Xml>",
        "<Xml><File>Absent.xml</File><Schema>Models.xsd</Schema></Xml>",
        "<Xml><File>Models.xml</File><Schema>Absent.xsd</Schema></Xml>",
        "<Xml><File>Devices.xml</File><Schema>Models.xsd</Schema></Xml>",  // the wrong schema
    };
    for (const char* entry : entries) {
        List(std::string("<Xmls><Xml><File>Models.xml</File><Schema>Models.xsd</Schema></Xml>") + entry +
             "</Xmls><Cfgs><Cfg>Gone.cfg</Cfg></Cfgs>");
        EXPECT_FALSE(CUtilities::SelfTest()) << entry;
    }
    EXPECT_EQ(log.Text().find("Gone.cfg"), std::string::npos);  // never checked
}

TEST_F(SelfTestFixture, EveryConfigurationFileIsCheckedAndEachFailureNamed) {
    LogCapture log;
    List("<Cfgs><Cfg>Gone1.cfg</Cfg><Cfg>Vdm.cfg</Cfg><Cfg>Gone2.cfg</Cfg></Cfgs>");
    EXPECT_FALSE(CUtilities::SelfTest());
    std::string text = log.Text();
    for (const char* name : {"Gone1.cfg", "Gone2.cfg"}) {
        EXPECT_NE(text.find("ERROR  : CUtilities::SelfTest: Failed to load Failed to open configuration file " +
                            appData_ + "/" + name + "\n"),
                  std::string::npos)
            << text;
    }
    EXPECT_EQ(text.find("Vdm.cfg"), std::string::npos);
}
