// The configuration channel with a controller double on a loopback port of its own.
#include "config/SocketConfig.h"

#include "FakeVdm.h"
#include "LogCapture.h"
#include "TestAppData.h"
#include "XmlPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kId = "1B4E28BA-2FA1-11D2-883F-0016D3CCA427";

class SocketConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        config.SetOwner(&vdm);
        ASSERT_TRUE(config.Listen("127.0.0.1", FreeLoopbackPort(), 1, 60, 0, 0, 0, 1));
        ASSERT_TRUE(controller.Connect(config.GetPort()));
        ASSERT_TRUE(vdm.WaitForCalls(1));
        EXPECT_EQ(vdm.Calls()[0], "ControllerConnected");
        vdm.ClearCalls();
    }
    void TearDown() override { config.Close(1); }

    static std::string Request(const std::string& body, const std::string& id = kId) {
        return "<VdmCommandRequest requestId=\"" + id + "\">" + body + "</VdmCommandRequest>";
    }
    static std::string Answer(const std::string& value, const std::string& reason, const std::string& id = kId) {
        return "<VdmCommandResponse requestId=\"" + id + "\"><Return value=\"" + value + "\" failureReason=\"" +
               reason + "\"/></VdmCommandResponse>";
    }
    static std::string Success(const std::string& id = kId) { return Answer("Success", "Success", id); }

    TestAppData appData;
    FakeVdm vdm;
    CSocketConfig config{"Config Socket"};
    XmlPeer controller;
};

}  // namespace

TEST_F(SocketConfigTest, CommandsAreAnsweredWithTheirResultWords) {
    // `count` pairs K0=v .. K<count-1>=v, and the calls they make.
    auto pairs = [](size_t count, std::vector<std::string>* calls = nullptr) {
        std::string body;
        for (size_t i = 0; i < count; ++i) {
            body += "<Config key=\"K" + std::to_string(i) + "\" value=\"v\"/>";
            if (calls) calls->push_back("Config K" + std::to_string(i) + "=v");
        }
        return body;
    };
    std::vector<std::string> mostPairCalls;
    const std::string mostPairs = pairs(64, &mostPairCalls);
    struct Case {
        const char* what;
        std::string body;
        int start = 1, calibrate = 0;
        std::string value, reason;
        std::vector<std::string> calls;
    } const cases[] = {
        {"nothing", "", 1, 0, "Success", "Success", {}},
        {"start", "<Device deviceType=\"0\" deviceModel=\"PloverA\"><Start/></Device>", 1, 0, "Success", "Success",
         {"Start 0"}},
        {"start refused", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Start/></Device>", 0, 0, "Failure",
         "UnableToPerformRequest", {"Start 1"}},
        {"stop holds the device", "<Device deviceType=\"0\" deviceModel=\"PloverA\"><Stop/></Device>", 1, 0,
         "Success", "Success", {"Stop 0 1"}},
        {"restart", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Restart/></Device>", 1, 0, "Success", "Success",
         {"Restart 1"}},
        {"calibration", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Calibration/></Device>", 1, 0, "Success",
         "Success", {"Calibrate 1"}},
        {"calibration unable", "<Device deviceType=\"0\" deviceModel=\"x\"><Calibration/></Device>", 1, -2,
         "Failure", "UnableToPerformRequest", {"Calibrate 0"}},
        {"calibration during a capture", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Calibration/></Device>", 1,
         -3, "Failure", "InvalidRequest_CaptureAlreadyInProgress", {"Calibrate 1"}},
        {"calibration failed", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Calibration/></Device>", 1, -4,
         "Failure", "Aborted", {"Calibrate 1"}},
        {"calibration result below -4", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Calibration/></Device>", 1,
         -9, "Success", "Success", {"Calibrate 1"}},
        {"unknown type as a number", "<Device deviceType=\"5\" deviceModel=\"x\"><Start/></Device>", 1, 0,
         "Success", "Success", {"Start 5"}},
        {"type that is not a number", "<Device deviceType=\"abc\" deviceModel=\"x\"><Start/></Device>", 1, 0,
         "Success", "Success", {"Start 0"}},
        {"two devices", "<Device deviceType=\"0\" deviceModel=\"a\"><Start/></Device>"
                        "<Device deviceType=\"1\" deviceModel=\"b\"><Start/></Device>", 1, 0, "Success", "Success",
         {}},
        {"unknown command", "<Device deviceType=\"0\" deviceModel=\"a\"><Jump/><Start/></Device>", 1, 0, "Success",
         "Success", {}},
        {"config pairs, one empty", "<Config key=\"DmIP\" value=\"a\"/><Config key=\"DmPort\" value=\"\"/>"
                                    "<Config key=\"DmMinPort\" value=\"4402\"/>", 1, 0, "Failure",
         "InvalidRequest_ParameterValueInvalid", {"Config DmIP=a", "Config DmMinPort=4402"}},
        {"config values trimmed", "<Config key=\"A\" value=\"   \"/><Config key=\"B\" value=\"&quot;x y&quot;\"/>",
         1, 0, "Success", "Success", {"Config A= ", "Config B=x y"}},
        {"empty value and a start", "<Config key=\"A\" value=\"\"/><Device deviceType=\"0\" deviceModel=\"a\"><Start/>"
                                    "</Device>", 1, 0, "Failure", "InvalidRequest_ParameterValueInvalid",
         {"Start 0"}},
        {"empty value and a calibration", "<Config key=\"A\" value=\"\"/><Device deviceType=\"1\" deviceModel=\"E\">"
                                          "<Calibration/></Device>", 1, 0, "Success", "Success", {"Calibrate 1"}},
        // Pairs that would add or break lines of the configuration file are refused like an empty
        // value; the others are still applied.
        {"config pairs that would break the file",
         "<Config key=\"DmIP\" value=\"1.2.3.4&#10;DmPort = 1\"/><Config key=\"A&#13;B\" value=\"x\"/>"
         "<Config key=\"K=V\" value=\"x\"/><Config key=\"#K\" value=\"x\"/><Config key=\"C\" value=\"x # y\"/>"
         "<Config key=\"D\" value=\"" + std::string(300, 'v') + "\"/><Config key=\"DmMaxPort\" value=\"4420\"/>",
         1, 0, "Failure", "InvalidRequest_ParameterValueInvalid", {"Config DmMaxPort=4420"}},
        // One request takes at most 64 pairs; more are refused whole, the device command still runs.
        {"most pairs", mostPairs, 1, 0, "Success", "Success", mostPairCalls},
        {"too many pairs", pairs(65) + "<Device deviceType=\"0\" deviceModel=\"a\"><Start/></Device>", 1, 0,
         "Failure", "InvalidRequest_ParameterValueInvalid", {"Start 0"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        vdm.ClearCalls();
        vdm.startResult = c.start;
        vdm.calibrateResult = c.calibrate;
        const std::string id = "ID-" + std::to_string(n++);
        ASSERT_TRUE(controller.Send(Request(c.body, id)));
        EXPECT_XML_EQ(controller.Read(), Answer(c.value, c.reason, id)) << c.what;
        EXPECT_EQ(vdm.Calls(), c.calls) << c.what;
    }
}

TEST_F(SocketConfigTest, RequestIdStillRecordedIsRefused) {
    // A request with this id is still being handled on the channel.
    ASSERT_TRUE(config.AddReceivedRequestId(config.GetControllerChannel(), kId, MID_VdmCommand));
    ASSERT_TRUE(controller.Send(Request("<Device deviceType=\"0\" deviceModel=\"a\"><Start/></Device>")));
    EXPECT_XML_EQ(controller.Read(), Answer("Failure", "InvalidRequest_ParameterValueInvalid"));
    EXPECT_TRUE(vdm.Calls().empty());
    // Answered, the id is free again.
    ASSERT_TRUE(controller.Send(Request("<Device deviceType=\"0\" deviceModel=\"a\"><Start/></Device>")));
    EXPECT_XML_EQ(controller.Read(), Success());
    EXPECT_EQ(vdm.Calls(), (std::vector<std::string>{"Start 0"}));
}

// Deeply nested text costs the parser time with the square of its depth: it is refused as
// invalid before it is parsed, and the next request is answered at once.
TEST_F(SocketConfigTest, DeeplyNestedDocumentIsRefusedWithoutHoldingUpTheChannel) {
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<a>";
    for (int i = 0; i < 20000; ++i) deep += "</a>";
    ASSERT_TRUE(controller.Send(Request(deep, "DEEP")));
    ASSERT_TRUE(controller.Send(Request("<Config key=\"A\" value=\"1\"/>", "AFTER")));
    EXPECT_XML_EQ(controller.Read(), Success("AFTER"));
    EXPECT_EQ(vdm.Calls(), (std::vector<std::string>{"Config A=1"}));
}

TEST_F(SocketConfigTest, DocumentsSplitMergedAndMalformed) {
    // Split over two reads: answered once, after the second.
    const std::string request = Request("<Config key=\"A\" value=\"1\"/>", "S1");
    ASSERT_TRUE(controller.Send(request.substr(0, 30)));
    EXPECT_XML_EQ(controller.Read(300), "");
    ASSERT_TRUE(controller.Send(request.substr(30)));
    EXPECT_XML_EQ(controller.Read(), Success("S1"));

    // Two in one read: both answered, in order.
    ASSERT_TRUE(controller.Send(Request("", "M1") + Request("", "M2")));
    EXPECT_XML_EQ(controller.Read(), Success("M1"));
    EXPECT_XML_EQ(controller.Read(), Success("M2"));

    // Malformed or schema-breaking documents are never answered; a new document after blanks
    // pushes the pending one out.
    ASSERT_TRUE(controller.Send(Request("<Config key=\"DmIP\"/>", "BAD1")));
    EXPECT_XML_EQ(controller.Read(300), "");
    ASSERT_TRUE(controller.Send("<VdmSomething requestId=\"BAD2\"><"));
    EXPECT_XML_EQ(controller.Read(300), "");
    ASSERT_TRUE(controller.Send("<VdmCommandResponse requestId=\"BAD3\"><Return value=\"Success\" "
                                "failureReason=\"Success\"/></VdmCommandResponse>"));
    EXPECT_XML_EQ(controller.Read(300), "");
    ASSERT_TRUE(controller.Send(std::string("\0\x01\x02\xfe", 4)));
    ASSERT_TRUE(controller.Send(" " + Request("", "GOOD")));
    EXPECT_XML_EQ(controller.Read(), Success("GOOD"));

    // An over-long document that never ends is dropped and the channel goes on.
    ASSERT_TRUE(controller.Send("<VdmCommandRequest requestId=\"LONG\"><Config key=\"A\" value=\""));
    const std::string block(16 * 1024, 'q');
    for (size_t sent = 0; sent < CXmlStreamAssembler::kDefaultMaxPending + block.size(); sent += block.size()) {
        ASSERT_TRUE(controller.Send(block));
    }
    ASSERT_TRUE(controller.Send(Request("", "AFTER")));
    EXPECT_XML_EQ(controller.Read(), Success("AFTER"));
    EXPECT_TRUE(vdm.Calls().size() == 1u && vdm.Calls()[0] == "Config A=1");
}

TEST_F(SocketConfigTest, EventsCarryTheirExactWords) {
    ASSERT_TRUE(config.SendConfigVdmEventRequest({{"VdmName", "Tessik Biometric VDM"}, {"DmPort", "4401"}}));
    std::string text = controller.Read();
    EXPECT_XML_EQ(WithoutRequestId(text),
              "<VdmEventRequest requestId=\"*\"><Config key=\"DmPort\" value=\"4401\"/>"
              "<Config key=\"VdmName\" value=\"Tessik Biometric VDM\"/></VdmEventRequest>");
    EXPECT_TRUE(IsServiceRequestId(RequestIdOf(text)));
    EXPECT_EQ(config.FindSentRequestId(config.GetControllerChannel(), RequestIdOf(text)), MID_Config);

    struct {
        bool sent;
        std::string expected;
        MessageId kind;
    } const events[] = {
        {config.SendDeviceVdmInfoEventRequest(0, "PloverA", "127.0.0.1:5123", false, false),
         "<VdmEventRequest requestId=\"*\"><Device deviceType=\"0\" deviceModel=\"PloverA\"><DeviceInfo "
         "deviceURI=\"127.0.0.1:5123\" isDeviceConnecting=\"false\" isStartDeviceFailed=\"false\"/></Device>"
         "</VdmEventRequest>",
         MID_FingerprintConfigDeviceInfo},
        {config.SendDeviceVdmInfoEventRequest(1, "Egret", "", true, true),
         "<VdmEventRequest requestId=\"*\"><Device deviceType=\"1\" deviceModel=\"Egret\"><DeviceInfo deviceURI=\"\" "
         "isDeviceConnecting=\"true\" isStartDeviceFailed=\"true\"/></Device></VdmEventRequest>",
         MID_IrisConfigDeviceInfo},
        {config.SendDeviceVdmRemovalEventRequest(1, "Egret"),
         "<VdmEventRequest requestId=\"*\"><Device deviceType=\"1\" deviceModel=\"Egret\"><Removal/></Device>"
         "</VdmEventRequest>",
         MID_IrisConfigDeviceRemoval},
        {config.SendDeviceVdmClientEventRequest(0, "VireoA", "127.0.0.1:40000"),
         "<VdmEventRequest requestId=\"*\"><Device deviceType=\"0\" deviceModel=\"VireoA\"><Client "
         "clientURI=\"127.0.0.1:40000\"/></Device></VdmEventRequest>",
         MID_FingerprintConfigDeviceClient},
        {config.SendDeviceVdmClientEventRequest(3, "X", ""),
         "<VdmEventRequest requestId=\"*\"><Device deviceType=\"3\" deviceModel=\"X\"><Client clientURI=\"\"/>"
         "</Device></VdmEventRequest>",
         MID_Unknown},
        {config.SendDeviceManagerVdmEventRequest("127.0.0.1:4401"),
         "<VdmEventRequest requestId=\"*\"><DeviceManager deviceManagerURI=\"127.0.0.1:4401\"/></VdmEventRequest>",
         MID_ConfigDeviceManager},
    };
    std::vector<std::string> ids;
    for (const auto& event : events) {
        EXPECT_TRUE(event.sent);
        text = controller.Read();
        EXPECT_XML_EQ(WithoutRequestId(text), event.expected);
        EXPECT_EQ(config.FindSentRequestId(config.GetControllerChannel(), RequestIdOf(text)), event.kind);
        ids.push_back(RequestIdOf(text));
    }

    // The controller's acknowledgements close the records, a failure included.
    ASSERT_TRUE(controller.Send("<VdmEventResponse requestId=\"" + ids[0] + "\"><Return value=\"Success\" "
                                "failureReason=\"Success\"/></VdmEventResponse><VdmEventResponse requestId=\"" +
                                ids[1] + "\"><Return value=\"Failure\" failureReason=\"Aborted\"/></VdmEventResponse>"));
    for (int i = 0; i < 300 && config.FindSentRequestId(config.GetControllerChannel(), ids[1]) != MID_Unknown; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(config.FindSentRequestId(config.GetControllerChannel(), ids[0]), MID_Unknown);
    EXPECT_EQ(config.FindSentRequestId(config.GetControllerChannel(), ids[1]), MID_Unknown);
    EXPECT_EQ(config.FindSentRequestId(config.GetControllerChannel(), ids[2]), MID_IrisConfigDeviceRemoval);
}

TEST_F(SocketConfigTest, RefusedSecondConnectionLeavesTheControllerConnected) {
    XmlPeer second;
    ASSERT_TRUE(second.Connect(config.GetPort()));
    EXPECT_TRUE(second.ClosedByPeer());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(config.SendDeviceManagerVdmEventRequest(""));
    EXPECT_XML_EQ(WithoutRequestId(controller.Read()),
              "<VdmEventRequest requestId=\"*\"><DeviceManager deviceManagerURI=\"\"/></VdmEventRequest>");

    // The controller leaving ends event delivery: nothing is sent or recorded.
    controller.Close();
    for (int i = 0; i < 300 && config.GetControllerChannel() >= 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(config.GetControllerChannel(), -1);
    EXPECT_FALSE(config.SendDeviceVdmRemovalEventRequest(0, "PloverA"));
    EXPECT_FALSE(config.SendVdmCommandResponse(kId, "Success", "Success", MID_VdmCommand));
}

TEST_F(SocketConfigTest, DeviceCommandsAreLoggedInTheirDevicesModule) {
    LogCapture logs;
    ASSERT_TRUE(controller.Send(Request("<Device deviceType=\"1\" deviceModel=\"Egret\"><Restart/></Device>", "L1")));
    EXPECT_XML_EQ(controller.Read(), Success("L1"));
    ASSERT_TRUE(controller.Send(Request("<Device deviceType=\"5\" deviceModel=\"X\"><Stop/></Device>", "L2")));
    EXPECT_XML_EQ(controller.Read(), Success("L2"));

    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(controller.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    const std::string prefix = "CSocketConfig::ParseVdmCommandRequest: Config Socket(127.0.0.1:" +
                               std::to_string(config.GetPort()) + ") ";
    const std::string from = " from channel Id = 0(127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + ")";
    const std::string iris = logs.Read("Iris");
    EXPECT_NE(iris.find(prefix + "Received \"RestartDevice\" request for Egret with requestId: L1" + from),
              std::string::npos)
        << iris;
    const std::string main = logs.Read("TessikVdm");
    EXPECT_NE(main.find(prefix + "Received \"StopDevice\" request for X with requestId: L2" + from), std::string::npos)
        << main;
    EXPECT_EQ(main.find("RestartDevice"), std::string::npos);
}
