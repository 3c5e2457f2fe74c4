// Every message of the service's and the controller's vocabularies validates against the schemas
// the receiving side loads, and documents the receiver must not act on fail.
#include "platform/ProgramDir.h"
#include "runtime/ConfigFile.h"
#include "runtime/Utilities.h"


#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kServiceData = TESSIK_SERVICE_APP_DATA;
const std::string kControllerData = TESSIK_CONTROLLER_APP_DATA;
const std::string kId = "1B4E28BA-2FA1-11D2-883F-0016D3CCA427";

struct Case {
    const char* what;
    std::string xml;
    bool valid;
};

// Validates each case with one parser loaded with both schemas of a channel, as the channel does.
void Check(const std::vector<std::string>& schemas, const std::vector<Case>& cases) {
    xercesc::DOMLSParser* parser = nullptr;
    xercesc::XMLGrammarPool* pool = nullptr;
    ASSERT_TRUE(CUtilities::LoadGrammars(parser, pool, schemas));
    for (const Case& c : cases) {
        bool failed = false;
        xercesc::DOMDocument* doc = CUtilities::ParseXmlText(parser, c.xml.data(), c.xml.size(), &failed);
        EXPECT_EQ(doc != nullptr, c.valid) << c.what << "\n" << c.xml;
        if (doc)
            doc->release();
    }
    CUtilities::ReleaseParser(parser, pool);
}

std::string Id(const std::string& id = kId) { return "requestId=\"" + id + "\""; }

}  // namespace

TEST(Schemas, DeviceManagerResponses) {
    Check({kServiceData + "/DeviceManagerEventResponse.xsd"},
          {
              {"connect answer",
               "<DeviceManagerEventResponse " + Id() + "><Return value=\"Success\" failureReason=\"Success\"/>"
               "<ConnectResponse apiVersion=\"3.0.0\" vendor=\"DM maker\" dmName=\"DM\" dmVersion=\"1.0\" "
               "heartBeat=\"30\"/></DeviceManagerEventResponse>",
               true},
              {"ping answer", "<DeviceManagerEventResponse " + Id() + "><Return value=\"Failure\" "
                              "failureReason=\"UnableToPerformRequest\"/></DeviceManagerEventResponse>", true},
              {"no children", "<DeviceManagerEventResponse " + Id() + "/>", true},
              {"request root", "<DeviceManagerEventRequest " + Id() + "><Ping vdmName=\"x\"/></DeviceManagerEventRequest>",
               false},
              {"unknown child", "<DeviceManagerEventResponse " + Id() + "><Other/></DeviceManagerEventResponse>", false},
              {"missing id", "<DeviceManagerEventResponse/>", false},
              {"over-long id", "<DeviceManagerEventResponse " + Id(std::string(65, 'A')) + "/>", false},
              {"doctype", "<!DOCTYPE x [<!ENTITY e \"x\">]><DeviceManagerEventResponse " + Id() + "/>", false},
          });
}

TEST(Schemas, ConfigurationChannelAsTheServiceReadsIt) {
    Check({kServiceData + "/VdmEventResponse.xsd", kServiceData + "/VdmCommandRequest.xsd"},
          {
              {"config pairs, one empty", "<VdmCommandRequest " + Id() + "><Config key=\"DmPort\" value=\"4402\"/>"
                                          "<Config key=\"DmIP\" value=\"\"/></VdmCommandRequest>", true},
              {"start", "<VdmCommandRequest " + Id() + "><Device deviceType=\"0\" deviceModel=\"PloverA\"><Start/>"
                        "</Device></VdmCommandRequest>", true},
              {"calibration of an unknown type", "<VdmCommandRequest " + Id() + "><Device deviceType=\"abc\" "
                                                 "deviceModel=\"Egret\"><Calibration/></Device></VdmCommandRequest>",
               true},
              {"two devices and an unknown command",
               "<VdmCommandRequest " + Id() + "><Device deviceType=\"0\" deviceModel=\"a\"><Jump/></Device>"
               "<Device deviceType=\"1\" deviceModel=\"b\"/></VdmCommandRequest>", true},
              {"nothing", "<VdmCommandRequest " + Id() + "/>", true},
              {"event answer", "<VdmEventResponse " + Id() + "><Return value=\"Success\" failureReason=\"Success\"/>"
                               "</VdmEventResponse>", true},
              {"response root", "<VdmCommandResponse " + Id() + "><Return value=\"Success\" "
                                "failureReason=\"Success\"/></VdmCommandResponse>", false},
              {"config without value", "<VdmCommandRequest " + Id() + "><Config key=\"DmIP\"/></VdmCommandRequest>",
               false},
              {"cut short", "<VdmCommandRequest " + Id() + "><Config key=\"DmIP\" value=\"x\"/>", false},
          });
}

TEST(Schemas, DeviceChannel) {
    Check({kServiceData + "/DeviceCommandRequest.xsd", kServiceData + "/DeviceEventResponse.xsd"},
          {
              {"subscribe", "<DeviceCommandRequest " + Id() + "><Subscribe><Event eventCategory=\"UserFeedback\"/>"
                            "<Event eventCategory=\"Anything\"/></Subscribe></DeviceCommandRequest>", true},
              {"start with missing fingers",
               "<DeviceCommandRequest " + Id() + "><StartCapture biometricPosition=\"RightSlap\" "
               "allowManualCapture=\"false\" sampleFormatId=\"ISO19794-4-Slap\"><MissingBiometrics>"
               "<MissingBiometric biometricPosition=\"RightRing\"/></MissingBiometrics></StartCapture>"
               "</DeviceCommandRequest>", true},
              {"start with an unknown position", "<DeviceCommandRequest " + Id() + "><StartCapture "
                                                 "biometricPosition=\"Nose\"/></DeviceCommandRequest>", true},
              {"force", "<DeviceCommandRequest " + Id() + "><ForceCapture/></DeviceCommandRequest>", true},
              {"stop", "<DeviceCommandRequest " + Id() + "><StopCapture/></DeviceCommandRequest>", true},
              {"no command", "<DeviceCommandRequest " + Id() + "/>", true},
              {"unknown command", "<DeviceCommandRequest " + Id() + "><Dance/></DeviceCommandRequest>", true},
              {"event answer", "<DeviceEventResponse " + Id() + "><Return value=\"Failure\" "
                               "failureReason=\"InternalError_Unknown\"/></DeviceEventResponse>", true},
              {"event answer without Return", "<DeviceEventResponse " + Id() + "/>", true},
              {"event root", "<DeviceEventRequest " + Id() + "><CaptureComplete sampleURI=\"127.0.0.1:5000\"/>"
                             "</DeviceEventRequest>", false},
              {"response root", "<DeviceCommandResponse " + Id() + "/>", false},
              {"start with a foreign attribute", "<DeviceCommandRequest " + Id() + "><StartCapture colour=\"red\"/>"
                                                 "</DeviceCommandRequest>", false},
          });
}

TEST(Schemas, ConfigurationChannelAsTheControllerReadsIt) {
    Check({kControllerData + "/VdmEventRequest.xsd", kControllerData + "/VdmCommandResponse.xsd"},
          {
              {"config", "<VdmEventRequest " + Id() + "><Config key=\"VdmName\" value=\"Tessik Biometric VDM\"/>"
                         "<Config key=\"DmPort\" value=\"4401\"/></VdmEventRequest>", true},
              {"device info", "<VdmEventRequest " + Id() + "><Device deviceType=\"0\" deviceModel=\"PloverA\">"
                              "<DeviceInfo deviceURI=\"127.0.0.1:5123\" isDeviceConnecting=\"false\" "
                              "isStartDeviceFailed=\"false\"/></Device></VdmEventRequest>", true},
              {"removal", "<VdmEventRequest " + Id() + "><Device deviceType=\"1\" deviceModel=\"Egret\"><Removal/>"
                          "</Device></VdmEventRequest>", true},
              {"client left", "<VdmEventRequest " + Id() + "><Device deviceType=\"1\" deviceModel=\"Egret\">"
                              "<Client clientURI=\"\"/></Device></VdmEventRequest>", true},
              {"device manager", "<VdmEventRequest " + Id() + "><DeviceManager deviceManagerURI=\"127.0.0.1:4401\"/>"
                                 "</VdmEventRequest>", true},
              {"command answer", "<VdmCommandResponse " + Id() + "><Return value=\"Failure\" "
                                 "failureReason=\"Aborted\"/></VdmCommandResponse>", true},
              {"request root", "<VdmCommandRequest " + Id() + "/>", false},
              {"event answer root", "<VdmEventResponse " + Id() + "/>", false},
          });
}

TEST(Schemas, DeviceCapabilitiesFileValidates) {
    xercesc::DOMDocument* doc = CUtilities::ReadXMLConfigFile({kServiceData + "/DeviceCapabilities.xsd"},
                                                              kServiceData + "/DeviceCapabilities.xml");
    ASSERT_NE(doc, nullptr);
    // Every model the capture libraries report has an entry.
    std::vector<std::string> models;
    xercesc::DOMNodeList* devices = doc->getElementsByTagName(CToXmlCh("Device"));
    for (XMLSize_t i = 0; i < devices->getLength(); ++i) {
        auto* e = static_cast<xercesc::DOMElement*>(devices->item(i));
        models.push_back(CFromXmlCh(e->getAttribute(CToXmlCh("deviceModel"))).str());
    }
    EXPECT_EQ(models, (std::vector<std::string>{"PloverA", "VireoA", "Egret"}));
    doc->release();
}

// Every model's preview and result formats as its scanner or camera delivers them: PloverA
// previews slaps and thumbs at 800 x 750, 250 ppi, and single fingers at half of that (400 x 375,
// 125 ppi), with 500 ppi results; VireoA previews and delivers single fingers at 800 x 750, 500
// ppi; the iris camera gives 640 x 480 or 752 x 480 frames at 500 ppi.
TEST(Schemas, DeviceCapabilitiesDescribeEveryModelsFormats) {
    xercesc::DOMDocument* doc = CUtilities::ReadXMLConfigFile({kServiceData + "/DeviceCapabilities.xsd"},
                                                              kServiceData + "/DeviceCapabilities.xml");
    ASSERT_NE(doc, nullptr);
    auto attribute = [](const xercesc::DOMElement* e, const char* name) {
        return CFromXmlCh(e->getAttribute(CToXmlCh(name))).str();
    };
    auto below = [](const xercesc::DOMElement* e, const char* name) {
        std::vector<const xercesc::DOMElement*> found;
        xercesc::DOMNodeList* list = e->getElementsByTagName(CToXmlCh(name));
        for (XMLSize_t i = 0; i < list->getLength(); ++i)
            found.push_back(static_cast<const xercesc::DOMElement*>(list->item(i)));
        return found;
    };
    std::map<std::string, std::vector<std::string>> video, samples;
    for (const auto* device : below(doc->getDocumentElement(), "Device")) {
        const std::string model = attribute(device, "deviceModel");
        for (const auto* format : below(device, "VideoFormat"))
            for (const auto* frame : below(format, "FrameType"))
                video[model].push_back(attribute(format, "videoFormatId") + " " + attribute(frame, "biometricPosition") +
                                       " " + attribute(frame, "size") + " " + attribute(frame, "pixelResolution"));
        for (const auto* sample : below(device, "SampleFormat"))
            samples[model].push_back(attribute(sample, "formatId") + " " + attribute(sample, "size") + " " +
                                     attribute(sample, "pixelResolution"));
    }
    doc->release();
    const std::vector<std::string> fingers = {"RightThumb", "RightIndex", "RightMiddle", "RightRing", "RightLittle",
                                              "LeftThumb",  "LeftIndex",  "LeftMiddle",  "LeftRing",  "LeftLittle"};
    std::vector<std::string> plover = {"PloverA-Preview RightSlap 800,750 250ppi",
                                       "PloverA-Preview LeftSlap 800,750 250ppi",
                                       "PloverA-Preview BothThumbs 800,750 250ppi"};
    std::vector<std::string> vireo;
    for (const std::string& finger : fingers) {
        plover.push_back("PloverA-Preview " + finger + " 400,375 125ppi");
        vireo.push_back("VireoA-Preview " + finger + " 800,750 500ppi");
    }
    std::vector<std::string> egret;
    for (const char* size : {"640,480", "752,480"})
        for (const char* eye : {"LeftIris", "RightIris", "BothIris"})
            egret.push_back(std::string(std::string(size) == "640,480" ? "Egret-Preview" : "Egret-Preview-752") + " " +
                            eye + " " + size + " 500ppi");
    EXPECT_EQ(video["PloverA"], plover);
    EXPECT_EQ(video["VireoA"], vireo);
    EXPECT_EQ(video["Egret"], egret);
    EXPECT_EQ(samples["PloverA"],
              (std::vector<std::string>{"ISO19794-4-Slap 1600,1500 500ppi", "ISO19794-4-Flat 800,750 500ppi"}));
    EXPECT_EQ(samples["VireoA"], (std::vector<std::string>{"ISO19794-4-Flat 800,750 500ppi"}));
    EXPECT_EQ(samples["Egret"],
              (std::vector<std::string>{"ISO19794-6 640,480 500ppi", "ISO19794-6-752 752,480 500ppi"}));
}

// The App_Data folder as shipped passes the service's start-up self test, and the sample
// configuration holds every key with the value the service takes when the key is missing.
TEST(ServiceDataFiles, PassTheSelfTestAndHoldTheDefaults) {
    namespace fs = std::filesystem;
    const fs::path program = fs::temp_directory_path() / ("tessik-selftest-" + std::to_string(getpid()));
    fs::remove_all(program);
    fs::create_directories(program / "App_Data");
    for (const auto& entry : fs::directory_iterator(kServiceData))
        fs::copy_file(entry.path(), program / "App_Data" / entry.path().filename());
    for (const char* name : {"SelfTest.xsd", "SelfTest.xml"})
        fs::copy_file(fs::path(TESSIK_RUNTIME_DATA) / name, program / "App_Data" / name);
    platform::SetProgramDirectoryOverride(program.string());
    EXPECT_TRUE(CUtilities::SelfTest());
    platform::SetProgramDirectoryOverride("");

    CConfigFile::ConfigMap* config = CConfigFile::GetLoadedInstance(kServiceData + "/VdmConfig.cfg");
    ASSERT_NE(config, nullptr);
    struct Key { const char* key; int value; } ints[] = {
        {"DmPort", 4401}, {"DmMinPort", 4401}, {"DmMaxPort", 4410}, {"DmRetryIntervalBetweenPortAttempts", 3},
        {"DmSleepTimeAfterTryingAllPorts", 10}, {"VdmListenPort", 7901}, {"VdmListenMinPort", 7901},
        {"VdmListenMaxPort", 7905}, {"DeviceDetectionInterval", 15}};
    for (const Key& k : ints) EXPECT_EQ(CConfigFile::GetInt(config, k.key, -1), k.value) << k.key;
    EXPECT_EQ(CConfigFile::GetString(config, "LOG_LEVEL", "?"), "INFO");
    EXPECT_EQ(CConfigFile::GetString(config, "DmIP", "?"), "localhost");
    EXPECT_EQ(CConfigFile::GetString(config, "VdmIP", "?"), "");
    EXPECT_TRUE(CConfigFile::GetBool(config, "Fingerprint"));
    EXPECT_TRUE(CConfigFile::GetBool(config, "Iris"));
    EXPECT_EQ(CConfigFile::GetString(config, "VdmName", "absent"), "absent");  // commented out: the default text is used
    CConfigFile::DeleteInstance(config);
    fs::remove_all(program);

    config = CConfigFile::GetLoadedInstance(kControllerData + "/VdmControllerConfig.cfg");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(CConfigFile::GetString(config, "LOG_LEVEL", "?"), "INFO");
    EXPECT_EQ(CConfigFile::GetString(config, "VdmConnectionIP", "?"), "127.0.0.1");
    EXPECT_EQ(CConfigFile::GetInt(config, "VdmConnectionPort", -1), 0);
    EXPECT_EQ(CConfigFile::GetInt(config, "VdmConnectionMinPort", -1), 7901);
    EXPECT_EQ(CConfigFile::GetInt(config, "VdmConnectionMaxPort", -1), 7905);
    CConfigFile::DeleteInstance(config);
}
