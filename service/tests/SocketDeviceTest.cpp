// The device channel with an enrolment-client double and a scripted device behind IDevice.
#include "device/SocketDevice.h"

#include "CallLog.h"
#include "TestAppData.h"
#include "XmlPeer.h"
#include "xml/XmlMessage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kId = "1B4E28BA-2FA1-11D2-883F-0016D3CCA427";

// Answers each command as scripted and records what the channel asks.
class ScriptedDevice : public IDevice {
public:
    int ProcessSubscribeCallback(const xercesc::DOMElement* element, const std::string& id, std::string& reason,
                                 std::map<int, int>& categories) override {
        Record("Subscribe " + id + " events=" +
               std::to_string(GetXmlElementsByTagName(element, "Event").size()));
        categories = subscribeCategories;
        reason = failureReason;
        return result;
    }
    int ProcessStartCaptureCallback(const xercesc::DOMElement* element, const std::string& id, std::string& reason,
                                    std::string& videoURI) override {
        Record("StartCapture " + id + " " + GetXmlAttribute(element, "biometricPosition"));
        reason = failureReason;
        videoURI = previewURI;
        return result;
    }
    int ProcessForceCaptureCallback(const std::string& id, std::string& reason) override {
        Record("ForceCapture " + id);
        reason = failureReason;
        return result;
    }
    int ProcessStopCaptureCallback(const std::string& id, std::string& reason) override {
        Record("StopCapture " + id);
        reason = failureReason;
        return result;
    }
    int ProcessClientConnectedCallback() override { return Record("ClientConnected"); }
    int ProcessSocketDeviceCloseEventCallback() override { return Record("Close"); }
    int ProcessSocketDeviceErrorEventCallback() override { return Record("Error"); }
    int ProcessClientGoneCallback() override { return Record("ClientGone"); }
    int ProcessGetFrameCallback(const std::string&) override { return 0; }
    int ProcessGetSampleImageCallback(const std::string&) override { return 0; }
    int ProcessSocketPreviewCloseEventCallback() override { return 0; }
    int ProcessSocketResultCloseEventCallback() override { return 0; }
    int ProcessSocketPreviewErrorEventCallback() override { return 0; }
    int ProcessSocketResultErrorEventCallback() override { return 0; }

    std::vector<std::string> Calls() const { return log_.Calls(); }
    void Clear() { log_.Clear(); }
    bool WaitFor(size_t count) const { return log_.WaitFor(count); }

    int result = 1;
    std::string failureReason;
    std::string previewURI;
    std::map<int, int> subscribeCategories;

private:
    int Record(const std::string& call) {
        log_.Record(call);
        return 1;
    }
    CallLog log_;
};

class SocketDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        channel.SetDevice(&device);
        ASSERT_TRUE(channel.Listen("127.0.0.1", 0, 1, 30, 5000, 10000, 1, 1000));
        ASSERT_GE(channel.GetPort(), 5000);
        ASSERT_LT(channel.GetPort(), 10000);
        ASSERT_TRUE(client.Connect(channel.GetPort()));
        ASSERT_TRUE(device.WaitFor(1));
        device.Clear();
    }
    void TearDown() override { channel.Close(1); }

    static std::string Request(const std::string& command, const std::string& id = kId) {
        return "<DeviceCommandRequest requestId=\"" + id + "\">" + command + "</DeviceCommandRequest>";
    }
    static std::string Answer(const std::string& value, const std::string& reason, const std::string& extra = "",
                              const std::string& id = kId) {
        return "<DeviceCommandResponse requestId=\"" + id + "\"><Return value=\"" + value + "\" failureReason=\"" +
               reason + "\"/>" + extra + "</DeviceCommandResponse>";
    }

    TestAppData appData;
    ScriptedDevice device;
    CSocketDevice channel{"Fp Device Socket", 1};
    XmlPeer client;
};

}  // namespace

TEST_F(SocketDeviceTest, CommandsAreAnsweredWithTheDevicesWords) {
    struct Case {
        const char* what;
        std::string command;
        int result;
        std::string reason, previewURI;
        std::map<int, int> categories;
        std::string call, answer;
    } const cases[] = {
        {"subscribe", "<Subscribe><Event eventCategory=\"UserFeedback\"/><Event eventCategory=\"CaptureCompletion\"/>"
                      "<Event eventCategory=\"Detection\"/></Subscribe>", 1, "", "", {{3, 1}, {1, 1}, {0, 0}},
         "Subscribe " + kId + " events=3",
         Answer("Success", "Success", "<State detected=\"false\" userFeedback=\"true\" captureCompletion=\"true\"/>")},
        {"subscribe to nothing", "<Subscribe/>", 1, "", "", {}, "Subscribe " + kId + " events=0",
         Answer("Success", "Success")},
        {"start", "<StartCapture biometricPosition=\"RightSlap\"/>", 1, "", "127.0.0.1:6123", {},
         "StartCapture " + kId + " RightSlap",
         Answer("Success", "Success", "<Video videoURI=\"127.0.0.1:6123\"/>")},
        {"start refused for a bad position", "<StartCapture biometricPosition=\"Nose\"/>", 0,
         "InvalidRequest_ParameterValueInvalid", "127.0.0.1:6123", {}, "StartCapture " + kId + " Nose",
         Answer("Failure", "InvalidRequest_ParameterValueInvalid")},
        {"start while capturing", "<StartCapture biometricPosition=\"LeftSlap\"/>", 0,
         "InvalidRequest_CaptureAlreadyInProgress", "", {}, "StartCapture " + kId + " LeftSlap",
         Answer("Failure", "InvalidRequest_CaptureAlreadyInProgress")},
        {"force", "<ForceCapture/>", 1, "", "", {}, "ForceCapture " + kId, Answer("Success", "Success")},
        {"force refused", "<ForceCapture/>", 0, "UnableToPerformRequest", "", {}, "ForceCapture " + kId,
         Answer("Failure", "UnableToPerformRequest")},
        {"stop", "<StopCapture/>", 1, "", "", {}, "StopCapture " + kId, Answer("Success", "Success")},
        {"stop aborted", "<StopCapture/>", 0, "Aborted", "", {}, "StopCapture " + kId, Answer("Failure", "Aborted")},
    };
    for (const Case& c : cases) {
        device.Clear();
        device.result = c.result;
        device.failureReason = c.reason;
        device.previewURI = c.previewURI;
        device.subscribeCategories = c.categories;
        ASSERT_TRUE(client.Send(Request(c.command)));
        EXPECT_XML_EQ(client.Read(), c.answer) << c.what;
        EXPECT_EQ(device.Calls(), std::vector<std::string>{c.call}) << c.what;
    }
}

TEST_F(SocketDeviceTest, RequestsTheChannelRefusesItself) {
    // No command: refused without asking the device.
    ASSERT_TRUE(client.Send("<DeviceCommandRequest requestId=\"E1\"/>"));
    EXPECT_XML_EQ(client.Read(), Answer("Failure", "InvalidRequest_XMLError", "", "E1"));
    // An unknown command gets no answer.
    ASSERT_TRUE(client.Send(Request("<Dance/>", "E2")));
    EXPECT_XML_EQ(client.Read(300), "");
    // An id still recorded on the channel: refused; once answered, accepted again.
    ASSERT_TRUE(channel.AddReceivedRequestId(channel.GetClientChannel(), kId, MID_StopCapture));
    ASSERT_TRUE(client.Send(Request("<StopCapture/>")));
    EXPECT_XML_EQ(client.Read(), Answer("Failure", "InvalidRequest_ParameterValueInvalid"));
    EXPECT_TRUE(device.Calls().empty());
    ASSERT_TRUE(client.Send(Request("<StopCapture/>")));
    EXPECT_XML_EQ(client.Read(), Answer("Success", "Success"));
    EXPECT_EQ(device.Calls(), std::vector<std::string>{"StopCapture " + kId});
}

TEST_F(SocketDeviceTest, DocumentsSplitMergedAndMalformed) {
    ASSERT_TRUE(client.Send(Request("<StopCapture/>", "M1") + Request("<ForceCapture/>", "M2")));
    EXPECT_XML_EQ(client.Read(), Answer("Success", "Success", "", "M1"));
    EXPECT_XML_EQ(client.Read(), Answer("Success", "Success", "", "M2"));

    const std::string request = Request("<StopCapture/>", "S1");
    ASSERT_TRUE(client.Send(request.substr(0, 25)));
    EXPECT_XML_EQ(client.Read(300), "");
    ASSERT_TRUE(client.Send(request.substr(25)));
    EXPECT_XML_EQ(client.Read(), Answer("Success", "Success", "", "S1"));

    // A complete document that breaks the schema waits until the next document pushes it out.
    ASSERT_TRUE(client.Send(Request("<StartCapture colour=\"red\"/>", "BAD")));
    EXPECT_XML_EQ(client.Read(300), "");
    ASSERT_TRUE(client.Send(std::string("\x00\xff<<>>&", 7)));
    ASSERT_TRUE(client.Send("<DeviceEventRequest requestId=\"X\"><CaptureComplete sampleURI=\"a\"/></DeviceEventRequest>"));
    EXPECT_XML_EQ(client.Read(300), "");
    ASSERT_TRUE(client.Send("  " + Request("<StopCapture/>", "GOOD")));
    EXPECT_XML_EQ(client.Read(), Answer("Success", "Success", "", "GOOD"));

    // A document type declaration is refused.
    ASSERT_TRUE(client.Send("<!DOCTYPE DeviceCommandRequest [<!ENTITY e \"x\">]>" +
                            Request("<StartCapture biometricPosition=\"&e;\"/>", "DTD")));
    EXPECT_XML_EQ(client.Read(300), "");

    // A text that never completes is capped; the channel goes on.
    ASSERT_TRUE(client.Send("<DeviceCommandRequest requestId=\"LONG\"><StartCapture biometricPosition=\""));
    const std::string block(64 * 1024, 'p');
    for (size_t sent = 0; sent < CXmlStreamAssembler::kDefaultMaxPending + block.size(); sent += block.size()) {
        ASSERT_TRUE(client.Send(block));
    }
    ASSERT_TRUE(client.Send(Request("<StopCapture/>", "AFTER")));
    EXPECT_XML_EQ(client.Read(5000), Answer("Success", "Success", "", "AFTER"));
    std::vector<std::string> expected = {"StopCapture M1", "ForceCapture M2", "StopCapture S1", "StopCapture GOOD",
                                         "StopCapture AFTER"};
    EXPECT_EQ(device.Calls(), expected);
}

TEST_F(SocketDeviceTest, EventsAndTheirAcknowledgements) {
    ASSERT_TRUE(channel.SendCaptureCompleteDeviceEventRequest("127.0.0.1:7123"));
    std::string complete = client.Read();
    EXPECT_XML_EQ(WithoutRequestId(complete),
              "<DeviceEventRequest requestId=\"*\"><CaptureComplete sampleURI=\"127.0.0.1:7123\"/></DeviceEventRequest>");
    EXPECT_TRUE(IsServiceRequestId(RequestIdOf(complete)));

    EXPECT_FALSE(channel.SendUserFeedbackDeviceEventRequest({}));
    ASSERT_TRUE(channel.SendUserFeedbackDeviceEventRequest(
        {{"RightIndex", 5, ""}, {"", 0, ""}, {"Unknown", 8, "Too many fingers detected."}, {"", 7, "Other"}}));
    std::string feedback = client.Read();
    EXPECT_XML_EQ(WithoutRequestId(feedback),
              "<DeviceEventRequest requestId=\"*\"><UserFeedback><Message biometricPosition=\"RightIndex\" "
              "action=\"PressHarder\"/><Message action=\"PresentBiometric\"/><Message biometricPosition=\"Unknown\" "
              "description=\"Too many fingers detected.\"/><Message action=\"Other\" description=\"Other\"/>"
              "</UserFeedback></DeviceEventRequest>");

    // Acknowledging the feedback does not end the client's capture; acknowledging CaptureComplete
    // does, even with a failure.
    ASSERT_TRUE(client.Send("<DeviceEventResponse requestId=\"" + RequestIdOf(feedback) + "\"/>"));
    ASSERT_TRUE(client.Send("<DeviceEventResponse requestId=\"" + RequestIdOf(complete) +
                            "\"><Return value=\"Failure\" failureReason=\"InternalError_Unknown\"/>"
                            "</DeviceEventResponse>"));
    ASSERT_TRUE(device.WaitFor(1));
    EXPECT_EQ(device.Calls(), std::vector<std::string>{"ClientGone"});
    EXPECT_EQ(channel.FindSentRequestId(channel.GetClientChannel(), RequestIdOf(complete)), MID_Unknown);
}

TEST_F(SocketDeviceTest, OneClientAtATime) {
    // Another address is turned away while the first client keeps working.
    XmlPeer other;
    ASSERT_TRUE(other.Connect(channel.GetPort(), "127.0.0.1", "127.0.0.2"));
    EXPECT_TRUE(other.ClosedByPeer());
    ASSERT_TRUE(client.Send(Request("<StopCapture/>", "A")));
    EXPECT_XML_EQ(client.Read(), Answer("Success", "Success", "", "A"));
    EXPECT_EQ(device.Calls(), std::vector<std::string>{"StopCapture A"});

    // The same address takes over at once; the old connection is closed, and the device hears of
    // it as of the old client's own close (which ends its capture) before the new client comes.
    device.Clear();
    XmlPeer same;
    ASSERT_TRUE(same.Connect(channel.GetPort()));
    ASSERT_TRUE(device.WaitFor(2));
    EXPECT_EQ(device.Calls(), (std::vector<std::string>{"Close", "ClientConnected"}));
    EXPECT_TRUE(client.ClosedByPeer());
    std::string uri = channel.GetClientURI();
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(same.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(uri, "127.0.0.1:" + std::to_string(ntohs(local.sin_port)));
    ASSERT_TRUE(same.Send(Request("<StopCapture/>", "B")));
    EXPECT_XML_EQ(same.Read(), Answer("Success", "Success", "", "B"));

    // The current client leaving tells the device.
    device.Clear();
    same.Close();
    ASSERT_TRUE(device.WaitFor(1));
    EXPECT_EQ(device.Calls(), std::vector<std::string>{"Close"});
    EXPECT_FALSE(channel.IsClientConnected());
}
