// The controller's channel client against a loopback service double that writes raw XML.
#include "SocketVdm.h"

#include "CallLog.h"
#include "ControllerTestSupport.h"
#include "XmlPeer.h"

#include <gtest/gtest.h>

namespace {

// Records every notification of the client.
class RecordingController : public INavikVdmController {
public:
    bool OnVdmDisconnected() override { return Record("Disconnected"); }
    bool OnVdmSocketError() override { return Record("SocketError"); }
    bool OnConfigReceived(const std::string& key, const std::string& value) override {
        return Record("Config " + key + "=" + value);
    }
    bool OnDeviceInfo(int type, const std::string& model, const std::string& uri, bool connecting,
                      bool failed) override {
        return Record("DeviceInfo " + std::to_string(type) + " " + model + " " + uri + " " +
                      (connecting ? "1" : "0") + (failed ? "1" : "0"));
    }
    bool OnDeviceRemoval(int type, const std::string& model) override {
        return Record("Removal " + std::to_string(type) + " " + model);
    }
    bool OnDeviceClient(int type, const std::string& model, const std::string& uri) override {
        return Record("Client " + std::to_string(type) + " " + model + " " + uri);
    }
    bool OnDeviceManager(const std::string& uri) override { return Record("DeviceManager " + uri); }
    bool OnCalibrationResult(bool success, const std::string& text) override {
        return Record(std::string("Calibration ") + (success ? "1" : "0") + " " + text);
    }
    CallLog log;

private:
    bool Record(const std::string& call) {
        log.Record(call);
        return true;
    }
};

class SocketVdmTest : public ::testing::Test {
protected:
    void SetUp() override {
        socket.SetController(&controller);
        ASSERT_TRUE(socket.ConnectTo("127.0.0.1", listener.port(), 0, 0, 1));
        const int fd = listener.Accept();
        ASSERT_GE(fd, 0);
        service = std::make_unique<XmlPeer>(fd);
    }
    void TearDown() override {
        socket.SetController(nullptr);
        socket.Close(1);
    }

    static std::string Event(const std::string& id, const std::string& body) {
        return "<VdmEventRequest requestId=\"" + id + "\">" + body + "</VdmEventRequest>";
    }
    static std::string Answer(const std::string& id, const std::string& value = "Success",
                              const std::string& reason = "Success") {
        return "<VdmEventResponse requestId=\"" + id + "\"><Return value=\"" + value + "\" failureReason=\"" +
               reason + "\"/></VdmEventResponse>";
    }
    static std::string Response(const std::string& id, const std::string& body) {
        return "<VdmCommandResponse requestId=\"" + id + "\">" + body + "</VdmCommandResponse>";
    }

    ControllerAppData appData{"LOG_LEVEL = NONE\n"};
    XmlListener listener;
    RecordingController controller;
    CSocketVdm socket;
    std::unique_ptr<XmlPeer> service;
};

}  // namespace

TEST_F(SocketVdmTest, RequestsAreWrittenInTheirWireForm) {
    ASSERT_TRUE(socket.SendConfigVdmCommandRequest({{"VdmListenPort", "0"}, {"DmIP", "10.1.2.3"}, {"DmPort", ""}}));
    const std::string config = service->Read();
    EXPECT_TRUE(IsServiceRequestId(RequestIdOf(config))) << config;
    // Pairs in ascending key order, attributes key then value, no XML declaration.
    EXPECT_XML_EQ(WithoutRequestId(config),
              "<VdmCommandRequest requestId=\"*\"><Config key=\"DmIP\" value=\"10.1.2.3\"/>"
              "<Config key=\"DmPort\" value=\"\"/><Config key=\"VdmListenPort\" value=\"0\"/></VdmCommandRequest>");

    const struct {
        int type;
        const char* model;
        int command;
        const char* element;
    } commands[] = {{0, "PloverA", CSocketVdm::Start, "Start"},
                    {0, "PloverA", CSocketVdm::Stop, "Stop"},
                    {1, "Egret", CSocketVdm::Restart, "Restart"},
                    {1, "Egret", CSocketVdm::Calibration, "Calibration"},
                    {12345, "Big", CSocketVdm::Start, "Start"}};
    for (const auto& c : commands) {
        ASSERT_TRUE(socket.SendDeviceVdmCommandRequest(c.type, c.model, c.command));
        EXPECT_XML_EQ(WithoutRequestId(service->Read()),
                  std::string("<VdmCommandRequest requestId=\"*\"><Device deviceType=\"") + std::to_string(c.type) +
                      "\" deviceModel=\"" + c.model + "\"><" + c.element + "/></Device></VdmCommandRequest>");
    }
    EXPECT_FALSE(socket.SendDeviceVdmCommandRequest(0, "PloverA", 4));

    // An empty map is a request without Config children.
    ASSERT_TRUE(socket.SendConfigVdmCommandRequest({}));
    char raw[256] = {};
    ASSERT_GT(::recv(service->fd(), raw, sizeof raw - 1, 0), 0);
    EXPECT_EQ(WithoutRequestId(raw), "<VdmCommandRequest requestId=\"*\"/>");
}

TEST_F(SocketVdmTest, EventsReachTheDialogAndAreAnswered) {
    struct Case {
        const char* what;
        std::string body;
        std::vector<std::string> calls;
        int answers;
    } const cases[] = {
        {"config pairs trimmed",
         "<Config key=\"DmIP\" value=\" &quot;host&quot;\t\"/><Config key=\"VdmName\" value=\"Tessik Biometric VDM\"/>",
         {"Config DmIP=host", "Config VdmName=Tessik Biometric VDM"}, 1},
        {"config wins over devices",
         "<Config key=\"A\" value=\"1\"/><Device deviceType=\"0\" deviceModel=\"PloverA\"><Removal/></Device>",
         {"Config A=1"}, 1},
        {"device info, connecting only when exactly true",
         "<Device deviceType=\"1\" deviceModel=\"Egret\"><DeviceInfo deviceURI=\"127.0.0.1:7000\" "
         "isDeviceConnecting=\"TRUE\" isStartDeviceFailed=\"true\"/></Device>",
         {"DeviceInfo 1 Egret 127.0.0.1:7000 01"}, 1},
        {"two devices answered twice",
         "<Device deviceType=\"0\" deviceModel=\"PloverA\"><Removal/></Device>"
         "<Device deviceType=\"1\" deviceModel=\"Egret\"><Client clientURI=\"127.0.0.1:9\"/></Device>",
         {"Removal 0 PloverA", "Client 1 Egret 127.0.0.1:9"}, 2},
        {"device manager", "<DeviceManager deviceManagerURI=\"127.0.0.1:4401\"/>", {"DeviceManager 127.0.0.1:4401"}, 1},
        {"nothing at all", "", {}, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        controller.log.Clear();
        const std::string id = "EV-" + std::to_string(n++);
        ASSERT_TRUE(service->Send(Event(id, c.body)));
        for (int i = 0; i < c.answers; ++i) EXPECT_XML_EQ(service->Read(), Answer(id)) << c.what;
        EXPECT_EQ(service->Read(100), "") << c.what;
        EXPECT_EQ(controller.log.Calls(), c.calls) << c.what;
    }

    // A device event without its event element shows nothing and is refused.
    controller.log.Clear();
    ASSERT_TRUE(service->Send(Event("EV-X", "<Device deviceType=\"0\" deviceModel=\"PloverA\"/>")));
    EXPECT_XML_EQ(service->Read(), Answer("EV-X", "Failure", "InvalidRequest_ParameterValueInvalid"));
    EXPECT_TRUE(controller.log.Calls().empty());
}

TEST_F(SocketVdmTest, DocumentsSplitOrJoinedInReadsAreRejoined) {
    // An answer and an event in one read: both handled, in order.
    ASSERT_TRUE(socket.SendDeviceVdmCommandRequest(1, "Egret", CSocketVdm::Calibration));
    const std::string id = RequestIdOf(service->Read());
    ASSERT_TRUE(service->Send(Response(id, "<Return value=\"Success\" failureReason=\"Success\"/>") +
                              Event("J1", "<DeviceManager deviceManagerURI=\"dm\"/>")));
    EXPECT_XML_EQ(service->Read(), Answer("J1"));
    EXPECT_EQ(controller.log.Calls(), (std::vector<std::string>{"Calibration 1 ", "DeviceManager dm"}));

    // One event cut in two reads: handled once, after the second.
    controller.log.Clear();
    const std::string event = Event("S1", "<DeviceManager deviceManagerURI=\"x\"/>");
    ASSERT_TRUE(service->Send(event.substr(0, 25)));
    EXPECT_EQ(service->Read(200), "");
    ASSERT_TRUE(service->Send(event.substr(25)));
    EXPECT_XML_EQ(service->Read(), Answer("S1"));
    EXPECT_EQ(controller.log.Calls(), (std::vector<std::string>{"DeviceManager x"}));

    // A kept fragment is dropped when the next read starts a document after blanks.
    controller.log.Clear();
    ASSERT_TRUE(service->Send(event.substr(0, 25)));
    EXPECT_EQ(service->Read(200), "");
    ASSERT_TRUE(service->Send("   " + Event("S2", "<DeviceManager deviceManagerURI=\"y\"/>")));
    EXPECT_XML_EQ(service->Read(), Answer("S2"));
    EXPECT_EQ(controller.log.Calls(), (std::vector<std::string>{"DeviceManager y"}));

    // Text that never becomes a document is not kept without bound: once dropped, the next
    // document is read as usual.
    const std::string junk(64 * 1024, 'x');
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(service->Send(junk));
    controller.log.Clear();
    ASSERT_TRUE(service->Send(Event("S3", "<DeviceManager deviceManagerURI=\"z\"/>")));
    EXPECT_XML_EQ(service->Read(), Answer("S3"));
    EXPECT_EQ(controller.log.Calls(), (std::vector<std::string>{"DeviceManager z"}));

    // Another root is dropped without an answer.
    ASSERT_TRUE(service->Send("<VdmOther requestId=\"O\"><Return value=\"x\"/></VdmOther>"));
    EXPECT_EQ(service->Read(200), "");
}

TEST_F(SocketVdmTest, CalibrationAnswersBecomeResults) {
    struct Case {
        std::string returnElement;
        std::vector<std::string> calls;
    } const cases[] = {
        {"<Return value=\"Success\" failureReason=\"Success\"/>", {"Calibration 1 "}},
        {"<Return value=\"Failure\" failureReason=\"UnableToPerformRequest\"/>",
         {"Calibration 0 Calibration failed. Fingerprint or Iris device is in use."}},
        {"<Return value=\"Failure\" failureReason=\"InvalidRequest_CaptureAlreadyInProgress\"/>",
         {"Calibration 0 Calibration failed. Fingerprint or Iris capture is in progress."}},
        {"<Return value=\"Failure\" failureReason=\"Aborted\"/>",
         {"Calibration 0 Calibration failed. Please check the lid is covered."}},
        {"<Return value=\"Failure\" failureReason=\"InvalidRequest_ParameterValueInvalid\"/>", {}},
        // Without its Return element an answer is no success.
        {"", {}},
    };
    for (const Case& c : cases) {
        controller.log.Clear();
        ASSERT_TRUE(socket.SendDeviceVdmCommandRequest(1, "Egret", CSocketVdm::Calibration));
        const std::string id = RequestIdOf(service->Read());
        ASSERT_TRUE(service->Send(Response(id, c.returnElement)));
        // A later event shows that the answer has been handled.
        ASSERT_TRUE(service->Send(Event("after", "")));
        EXPECT_XML_EQ(service->Read(), Answer("after"));
        EXPECT_EQ(controller.log.Calls(), c.calls) << c.returnElement;
    }
    // Answers to other requests, and answers whose request is unknown, show nothing.
    controller.log.Clear();
    ASSERT_TRUE(socket.SendDeviceVdmCommandRequest(0, "PloverA", CSocketVdm::Start));
    ASSERT_TRUE(service->Send(Response(RequestIdOf(service->Read()), "<Return value=\"Success\" failureReason=\"Success\"/>")));
    ASSERT_TRUE(service->Send(Response("unknown", "<Return value=\"Success\" failureReason=\"Success\"/>")));
    ASSERT_TRUE(service->Send(Event("end", "")));
    EXPECT_XML_EQ(service->Read(), Answer("end"));
    EXPECT_TRUE(controller.log.Calls().empty());
}

TEST_F(SocketVdmTest, EventAnswersAreWrittenAsGiven) {
    ASSERT_TRUE(socket.SendVdmEventResponse("E-1", "Failure", "Aborted", MID_Unknown));
    EXPECT_XML_EQ(service->Read(), Answer("E-1", "Failure", "Aborted"));
    socket.Close(1);
    EXPECT_FALSE(socket.SendVdmEventResponse("E-2", "Success", "Success", MID_Unknown));
    EXPECT_FALSE(socket.SendDeviceVdmCommandRequest(0, "PloverA", CSocketVdm::Start));
}

TEST_F(SocketVdmTest, ServiceClosingTheLinkIsReported) {
    service->Close();
    EXPECT_TRUE(controller.log.WaitFor(1, "Disconnected"));
}
