// The two peer programs' cores against the service's own channel and device code: the DM stub
// against the DM channel, the enrolment client against a fingerprint device over the scripted
// capture library.
#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"

#include "FakeVdm.h"
#include "FakeZarn.h"
#include "ImageMessageCodec.h"
#include "TestAppData.h"
#include "device/FpDevice.h"
#include "device/ZarnApi.h"
#include "dm/SocketDm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using fakezarn::FakeFpLibrary;

TEST(XmlDocumentScan, CompleteDocumentsAndAttributes) {
    const struct {
        const char* text;
        size_t length;
    } table[] = {
        {"<A x=\"1\"><B/></A>", 17},   {"  <A/>tail", 6},         {"<A><B/>", 0},       {"", 0},
        {"<?xml version=\"1.0\"?><A></A>", 28}, {"garbage<A/>", std::string::npos}, {"<", 0},
        {"< A/>", std::string::npos},
    };
    for (const auto& row : table) EXPECT_EQ(peers::CompleteDocumentLength(row.text), row.length) << row.text;

    const std::string document = "<R requestId=\"7\"><Arrivals/><Arrival xdeviceURI=\"no\" deviceURI='1.2.3.4:5'/></R>";
    EXPECT_EQ(peers::ElementAttribute(document, "Arrival", "deviceURI"), "1.2.3.4:5");
    EXPECT_EQ(peers::ElementAttribute(document, "R", "requestId"), "7");
    EXPECT_EQ(peers::ElementAttribute(document, "Removal", "deviceURI"), "");
    EXPECT_TRUE(peers::HasElement(document, "Arrival"));
    EXPECT_FALSE(peers::HasElement(document, "Arriv"));
}

TEST(DmStub, AnswersTheServiceAndRecordsArrivalsAndRemovals) {
    TestAppData appData;
    peers::CDmStub stub;
    ASSERT_TRUE(stub.Start(0, 9));
    FakeVdm vdm;
    CSocketDm dm("DM Socket");
    dm.SetOwner(&vdm);
    ASSERT_TRUE(dm.ConnectTo("127.0.0.1", stub.Port(), 0, 0, 1));

    ASSERT_TRUE(dm.SendConnectDeviceManagerEventRequest("3.0.0", "Tessik Systems, Inc", "3.0.0",
                                                        "Tessik Biometric VDM", "3.0.0"));
    ASSERT_TRUE(vdm.WaitForCalls(1));
    EXPECT_EQ(vdm.Calls()[0], "ConnectResponse apiVersion=3.0.0 vendor=Tessik dmName=DM stub dmVersion=1.0 heartBeat=9");

    CXmlMessage arrival("DeviceManagerEventRequest");
    SetXmlAttribute(arrival.Root(), "requestId", "");
    xercesc::DOMElement* element = arrival.Add(arrival.Root(), "Arrival");
    SetXmlAttribute(element, "deviceURI", "127.0.0.1:6001");
    SetXmlAttribute(element, "deviceModel", "PloverA");
    ASSERT_TRUE(dm.SendArrivalDeviceManagerEventRequest(arrival.Document(), 0));
    ASSERT_TRUE(dm.SendRemovalDeviceManagerEventRequest(0, "127.0.0.1:6001"));
    ASSERT_TRUE(stub.WaitFor("Removal", 1, 3000));
    const auto events = stub.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, "Connect");
    EXPECT_EQ(events[1].kind, "Arrival");
    EXPECT_EQ(events[1].deviceURI, "127.0.0.1:6001");
    EXPECT_EQ(events[1].deviceModel, "PloverA");
    EXPECT_EQ(events[2].kind, "Removal");
    EXPECT_EQ(events[2].deviceURI, "127.0.0.1:6001");
    dm.Close(1);

    // Input that is no document drops that connection only; the next one is served.
    XmlPeer bad;
    ASSERT_TRUE(bad.Connect(stub.Port()));
    ASSERT_TRUE(bad.Send("this is not XML"));
    EXPECT_TRUE(bad.ClosedByPeer());
    XmlPeer good;
    ASSERT_TRUE(good.Connect(stub.Port()));
    ASSERT_TRUE(good.Send("<DeviceManagerEventRequest requestId=\"P1\"><Ping vdmName=\"x\"/></DeviceManagerEventRequest>"));
    EXPECT_EQ(good.Read(), "<DeviceManagerEventResponse requestId=\"P1\"><Return value=\"Success\" "
                           "failureReason=\"Success\"/></DeviceManagerEventResponse>");
    EXPECT_EQ(stub.Count("Ping"), 1);
}

namespace {

class EnrolmentClientTest : public ::testing::Test {
protected:
    void SetUp() override { script.previewIntervalMs = 5; }
    void TearDown() override {
        client.Close();
        if (device) device->Close();
        FakeFpLibrary::Instance().Reset();
        device.reset();
        InstallZarnFpApi(nullptr);
    }
    void OpenDevice() {
        FakeFpLibrary::Instance().Reset(script);
        FakeFpLibrary::Install();
        device = std::make_unique<CFpDevice>("Tessik Biometric VDM", &vdm, 502);
        ASSERT_EQ(device->Open(), 1);
        ASSERT_TRUE(client.Connect(device->GetDeviceURI()));
    }

    TestAppData appData;
    fakezarn::FpScript script;
    FakeVdm vdm;
    std::unique_ptr<CFpDevice> device;
    peers::CEnrolmentClient client;
};

}  // namespace

TEST_F(EnrolmentClientTest, SlapCaptureDeliversTheLibrarysResult) {
    script.autoResultAfterFrames = 60;
    OpenDevice();
    peers::CaptureOptions options;
    options.timeoutMs = 3000;
    const peers::CaptureResult result = client.Capture(options);
    EXPECT_EQ(result.startReason, "Success");
    ASSERT_TRUE(result.completed);
    const peers::FirView sample = peers::ReadFirstFirView(result.sample);
    EXPECT_EQ(sample.position, 13);
    EXPECT_EQ(sample.width, script.resultWidth);
    EXPECT_EQ(sample.height, script.resultHeight);
    EXPECT_EQ(sample.pixels, std::vector<uint8_t>(static_cast<size_t>(script.resultWidth) * script.resultHeight, 0x80));
    EXPECT_GE(result.previews, 1);
    const peers::FirView preview = peers::ReadFirstFirView(result.lastPreview);
    EXPECT_EQ(preview.width, script.previewWidth);
    EXPECT_EQ(preview.height, script.previewHeight);
    // The acknowledgement lets the device close the result channel.
    for (int i = 0; i < 200 && device->GetState() != DEVICE_STATE_READY; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
}

TEST_F(EnrolmentClientTest, ForceStopAndDisconnect) {
    OpenDevice();
    peers::CaptureOptions force;
    force.forceAfterFrames = 2;
    peers::CaptureResult result = client.Capture(force);
    EXPECT_EQ(result.forceReason, "Success");
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(peers::ReadFirstFirView(result.sample).position, 13);

    peers::CaptureOptions stop;
    stop.biometricPosition = "LeftIndex";
    stop.stopAfterFrames = 2;
    result = client.Capture(stop);
    EXPECT_EQ(result.startReason, "Success");
    EXPECT_EQ(result.stopReason, "Success");
    EXPECT_FALSE(result.completed);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);

    // A client that leaves during a capture: the device stops it and serves the next client.
    peers::CaptureOptions leave;
    leave.disconnectAfterFrames = 2;
    result = client.Capture(leave);
    EXPECT_FALSE(result.completed);
    for (int i = 0; i < 200 && device->GetState() != DEVICE_STATE_READY; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    ASSERT_TRUE(client.Connect(device->GetDeviceURI()));
    peers::CaptureOptions again;
    again.forceAfterFrames = 1;
    EXPECT_TRUE(client.Capture(again).completed);
}

// The client asks at the device's preview pace: about one request per preview, yet it sees each
// preview the library delivered. Before it asked every few milliseconds, whatever the pace.
TEST_F(EnrolmentClientTest, PreviewsAreAskedForAtTheDevicesPace) {
    script.previewIntervalMs = 100;
    script.autoResultAfterFrames = 20;
    OpenDevice();
    peers::CaptureOptions options;
    options.timeoutMs = 10000;
    const peers::CaptureResult result = client.Capture(options);
    ASSERT_TRUE(result.completed);
    const int delivered = FakeFpLibrary::Instance().PreviewsDelivered();
    EXPECT_EQ(delivered, 20);
    // The first preview or two go by while the client learns the pace.
    EXPECT_GE(result.distinctPreviews, delivered - 3);
    EXPECT_LE(result.distinctPreviews, delivered);
    EXPECT_LE(result.frameRequests, 3 * delivered);
    EXPECT_LE(result.previews, result.frameRequests);
}

// A rate the user sets spaces the requests evenly, whatever the device delivers.
TEST_F(EnrolmentClientTest, PreviewRateSetByTheUser) {
    script.previewIntervalMs = 20;
    script.autoResultAfterFrames = 75;  // about 1.5 s
    OpenDevice();
    peers::CaptureOptions options;
    options.timeoutMs = 10000;
    options.previewRate = 4;
    const auto start = std::chrono::steady_clock::now();
    const peers::CaptureResult result = client.Capture(options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(result.completed);
    EXPECT_LE(result.frameRequests, 4 * seconds + 2);
    EXPECT_GE(result.frameRequests, 4 * seconds - 3);
    // Each answer is a newer preview of the fast device.
    EXPECT_EQ(result.distinctPreviews, result.previews);
}

// The pacing alone, against a device whose previews come at a fixed period (the answer to a request
// is the latest preview delivered, none before the first): nearly every preview is seen, at two to
// three requests each, for the iris camera's and the scanners' periods alike, also when the device
// slows down or speeds up during the capture.
TEST(PreviewPacer, FollowsTheDevicesPeriod) {
    const struct {
        int64_t firstPeriod, laterPeriod;
    } table[] = {{33, 33}, {100, 100}, {267, 267}, {33, 267}, {267, 100}};
    for (const auto& row : table) {
        SCOPED_TRACE(std::to_string(row.firstPeriod) + " then " + std::to_string(row.laterPeriod));
        const int64_t switchAt = 40 * row.firstPeriod, end = switchAt + 40 * row.laterPeriod;
        auto latest = [&](int64_t t) -> int64_t {  // index of the latest preview at t, -1 none
            const int64_t first = 70;
            if (t < first) return -1;
            if (t < switchAt) return (t - first) / row.firstPeriod;
            return (switchAt - first) / row.firstPeriod + 1 + (t - switchAt) / row.laterPeriod;
        };
        peers::PreviewPacer pacer;
        int requests = 0, distinct = 0;
        int64_t seen = -1;
        for (int64_t t = 0; t < end;) {
            const int64_t index = latest(t);
            ++requests;
            const bool answered = index >= 0, fresh = answered && index != seen;
            if (fresh) ++distinct, seen = index;
            t += pacer.Next(t, answered, fresh);
        }
        const int64_t delivered = latest(end - 1) + 1;
        // A few previews go by while the pace is learnt.
        EXPECT_GE(distinct, delivered - 8);
        EXPECT_LE(requests, 3 * delivered + 10);
    }
    // A scene that stands still (an empty platen) gives the same preview every time, so its pace
    // cannot be seen: ten requests a second, not more. Once the pace is known, a scene that
    // stops changing is asked for at least every quarter of a second.
    peers::PreviewPacer still;
    int stillRequests = 0;
    for (int64_t t = 0; t < 10000; t += still.Next(t, true, t == 0)) ++stillRequests;
    EXPECT_LE(stillRequests, 101);
    peers::PreviewPacer stopped;
    int64_t t = 0;
    for (int i = 0; i < 20; ++i, t += 100) stopped.Next(t, true, true);
    int64_t longest = 0;
    for (int64_t at = t; at < t + 10000;) {
        const int64_t wait = stopped.Next(at, true, false);
        longest = std::max(longest, wait);
        at += wait;
    }
    EXPECT_EQ(longest, 250);

    // A rate the user set is kept as it is.
    peers::PreviewPacer fixed(4);
    EXPECT_EQ(fixed.Next(0, false, false), 250);
    EXPECT_EQ(fixed.Next(250, true, true), 250);
    EXPECT_EQ(fixed.Next(500, true, false), 250);
}

// The device goes away in the middle of a capture (its channel closed by the service): the client
// ends the capture at once and says so.
TEST_F(EnrolmentClientTest, DeviceClosedDuringCapture) {
    OpenDevice();
    std::thread unplug([this] {
        for (int i = 0; i < 1000 && device->GetState() != DEVICE_STATE_CAPTURING; ++i) std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(50ms);
        device->Close();
    });
    peers::CaptureOptions options;
    options.timeoutMs = 60000;
    const peers::CaptureResult result = client.Capture(options);
    unplug.join();
    EXPECT_EQ(result.startReason, "Success");
    EXPECT_TRUE(result.deviceClosed);
    EXPECT_FALSE(result.completed);
}

// A preview answer that comes after the next request went out: a preview fetch takes it, a fetch
// of one request's own answer skips it; the bytes after an answer wait for the next fetch.
TEST(FetchImageRecord, LateAnswersOfEarlierRequests) {
    for (const bool anyAnswer : {true, false}) {
        SCOPED_TRACE(anyAnswer);
        XmlListener listener;
        XmlPeer client;
        ASSERT_TRUE(client.Connect(listener.port()));
        XmlPeer server(listener.Accept());
        const std::vector<uint8_t> early = {1, 2, 3}, own = {4, 5};
        std::vector<uint8_t> answers, second;
        ASSERT_TRUE(image_messages::EncodeResponse("F0", early.data(), early.size(), answers));
        ASSERT_TRUE(image_messages::EncodeResponse("F1", own.data(), own.size(), second));
        answers.insert(answers.end(), second.begin(), second.end());
        // Both answers wait on the connection when the request of F1 goes out.
        ASSERT_TRUE(server.Send(std::string(answers.begin(), answers.end())));
        std::string carry;
        EXPECT_EQ(peers::FetchImageRecord(client, 1, "F1", 1000, &carry, anyAnswer), anyAnswer ? early : own);
        // What was read past the answer is kept for the next fetch.
        EXPECT_EQ(peers::FetchImageRecord(client, 1, "F1", 100, &carry, anyAnswer),
                  anyAnswer ? own : std::vector<uint8_t>{});
    }
}
