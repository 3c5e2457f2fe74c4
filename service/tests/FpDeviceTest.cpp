// The fingerprint device over the scripted capture library: its library calls, the position and
// finger tables, the capture road as an enrolment-client double sees it on the device and image
// channels, quality feedback, and the bounded and sized paths (first preview, preview buffer,
// closing state).
#include "device/FpDevice.h"

#include "DeviceChannelTest.h"
#include "FakeVdm.h"
#include "FakeZarn.h"
#include "ImageMessageCodec.h"
#include "LogCapture.h"
#include "TestAppData.h"
#include "XmlPeer.h"
#include "device/ZarnApi.h"
#include "peers/EnrolmentClient.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using fakezarn::FakeFpLibrary;

namespace {

// Request codes of the image channels.
constexpr long kGetSample = 0;
constexpr long kGetFrame = 1;

// Sends one BER image request on an image channel and returns the decoded answer (empty data when
// none came within the wait).
image_messages::DecodedResponse FetchImage(int port, long code, const std::string& requestId, int waitMs = 1500) {
    image_messages::DecodedResponse response;
    XmlPeer peer;
    if (!peer.Connect(port)) return response;
    std::vector<uint8_t> request;
    if (!image_messages::EncodeRequest(0, code, requestId, request)) return response;
    peer.Send(std::string(request.begin(), request.end()));
    std::string bytes;
    for (int waited = 0; waited < waitMs; waited += 10) {
        pollfd p{peer.fd(), POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char chunk[65536];
            ssize_t n = ::recv(peer.fd(), chunk, sizeof chunk, 0);
            if (n <= 0) break;
            bytes.append(chunk, static_cast<size_t>(n));
        }
        size_t consumed = 0;
        if (!bytes.empty() &&
            image_messages::DecodeResponse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), response,
                                           consumed) == image_messages::DecodeStatus::Ok)
            break;
    }
    return response;
}

// The first view of a 19794-4 record: position, width, height and pixels.
struct FirView {
    int position = -1;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};
FirView FirstView(const std::vector<uint8_t>& record) {
    FirView view;
    if (record.size() < 46 || record[0] != 'F' || record[1] != 'I' || record[2] != 'R') return view;
    view.position = record[36];
    view.width = record[41] << 8 | record[42];
    view.height = record[43] << 8 | record[44];
    const size_t count = static_cast<size_t>(view.width) * view.height;
    if (record.size() >= 46 + count) view.pixels.assign(record.begin() + 46, record.begin() + 46 + count);
    return view;
}

class FpDeviceTest : public DeviceChannelTest {
protected:
    void TearDown() override {
        if (device) device->Close();
        FakeFpLibrary::Instance().Reset();
        device.reset();
        InstallZarnFpApi(nullptr);
    }
    void OpenDevice(int modelCode = 502) {
        FakeFpLibrary::Instance().Reset(script);
        FakeFpLibrary::Install();
        device = std::make_unique<CFpDevice>("Tessik Biometric VDM", &vdm, modelCode);
        ASSERT_EQ(device->Open(), 1);
        ConnectClient(*device);
    }
    bool WaitForState(int state) { return WaitForDeviceState(*device, state); }

    fakezarn::FpScript script;
    std::unique_ptr<CFpDevice> device;
};

}  // namespace

TEST(FpDevicePositions, CodesAndNames) {
    const struct {
        const char* text;
        int code;
    } table[] = {{"RightSlap", 2},   {"LeftSlap", 3},   {"BothThumbs", 4},  {"RightThumb", 23},
                 {"RightLittle", 27}, {"LeftThumb", 28}, {"LeftLittle", 32}, {"Unknown", 33},
                 {"rightslap", 33},  {"", 33}};
    for (const auto& row : table) {
        EXPECT_EQ(CFpDevice::PositionCode(row.text), row.code) << row.text;
        if (row.code != 33) {
            EXPECT_EQ(CFpDevice::PositionName(row.code), row.text);
        }
    }
    EXPECT_EQ(CFpDevice::PositionName(33), "Unknown");
    EXPECT_EQ(CFpDevice::PositionName(1), "Unknown");
}

TEST_F(FpDeviceTest, ConnectCallsTheLibraryInOrderAndSetsTheModality) {
    OpenDevice();
    auto& library = FakeFpLibrary::Instance();
    const std::vector<std::string> expected = {
        "Zarn_Main_DeInitialize()",
        "Zarn_Main_Initialize(502)",
        "Zarn_Capture_RegisterCallbackPreviewImage",
        "Zarn_Capture_RegisterCallbackTakingResultImage",
        "Zarn_Capture_RegisterCallbackResultImage",
        "Zarn_Capture_RegisterCallbackFootSwitch",
        "Zarn_Capture_RegisterCallbackObjectQuality",
        "Zarn_Capture_RegisterCallbackDeviceIsConnected",
        "Zarn_Capture_SetRollParameters(100,1,25000,0.202,36,-400,500)",
        "Zarn_Capture_Calibration()",
    };
    const std::vector<std::string> calls = library.Calls();
    ASSERT_GE(calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(calls[i].rfind(expected[i], 0), 0u) << calls[i];
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    EXPECT_EQ(device->GetCapabilities().modality, "FingerprintSlap");
    EXPECT_EQ(device->GetCapabilities().deviceModel, "PloverA");
    EXPECT_EQ(device->GetCapabilities().deviceMake, "Tessik Scanner");

    // A failed calibration undoes the initialisation and leaves the device closed.
    device->Close();
    EXPECT_EQ(device->GetState(), DEVICE_STATE_CLOSED);  // not "ready" after closing
    script.calibrationResult = -5;
    FakeFpLibrary::Instance().Reset(script);
    vdm.captureInterlock.fpCapturing = 1;  // a new device object starts not capturing
    auto vireo = std::make_unique<CFpDevice>("Tessik Biometric VDM", &vdm, CFpDevice::kModelVireoA);
    EXPECT_EQ(vdm.captureInterlock.fpCapturing, 0);
    EXPECT_EQ(vireo->GetCapabilities().modality, "Fingerprint");
    EXPECT_EQ(vireo->Open(), 0);
    EXPECT_EQ(vireo->GetState(), DEVICE_STATE_CLOSED);
    EXPECT_EQ(FakeFpLibrary::Instance().Calls().back(), "Zarn_Main_DeInitialize()");
}

TEST_F(FpDeviceTest, StartCaptureCountsTheFingersToCapture) {
    OpenDevice();
    auto& library = FakeFpLibrary::Instance();
    const struct {
        const char* position;
        const char* missing;
        const char* reason;  // empty: accepted
        const char* start;
    } table[] = {
        {"RightSlap", "RightRing,RightLittle", "", "Zarn_Capture_Start(2,1)"},
        {"RightSlap", "RightSlap", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"BothThumbs", "", "", "Zarn_Capture_Start(2,1)"},
        {"BothThumbs", "LeftThumb", "", "Zarn_Capture_Start(1,1)"},
        {"LeftIndex", "", "", "Zarn_Capture_Start(1,1)"},
        {"LeftIndex", "LeftIndex", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"LeftSlap", "Unknown", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"Nose", "", "InvalidRequest_ParameterValueInvalid", nullptr},
    };
    int id = 0;
    for (const auto& row : table) {
        const int starts = library.Count("Zarn_Capture_Start(");
        const std::string answer = Start(row.position, peers::NumberedId('S', ++id), row.missing);
        const std::string want = *row.reason ? row.reason : "Success";
        EXPECT_EQ(AttributeOf(answer, "failureReason"), want) << row.position << " " << row.missing;
        if (row.start != nullptr) {
            EXPECT_EQ(library.Count(row.start), 1) << row.start;
            EXPECT_EQ(device->GetState(), DEVICE_STATE_CAPTURING);
            EXPECT_EQ(AttributeOf(Command("<StopCapture/>", peers::NumberedId('T', id)), "value"), "Success");
        } else {
            EXPECT_EQ(library.Count("Zarn_Capture_Start("), starts);
        }
        EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
        FakeFpLibrary::Instance().Reset(script);  // a fresh start count per row
        device->Connect();
    }
}

TEST_F(FpDeviceTest, SingleFingerModelRefusesSlapsAndThumbs) {
    OpenDevice(CFpDevice::kModelVireoA);
    for (const char* position : {"BothThumbs", "RightSlap", "LeftSlap"}) {
        EXPECT_EQ(AttributeOf(Start(position, position), "failureReason"), "InvalidRequest_ParameterValueInvalid");
    }
    EXPECT_EQ(FakeFpLibrary::Instance().Count("Zarn_Capture_SetMode"), 0);
    EXPECT_EQ(AttributeOf(Start("RightThumb", "ONE"), "failureReason"), "Success");
    EXPECT_EQ(FakeFpLibrary::Instance().Count("Zarn_Capture_SetMode(23,500,1,0)"), 1);
}

TEST_F(FpDeviceTest, SlapCaptureGivesPreviewAndResultRecords) {
    script.autoResultAfterFrames = 6;
    script.previewWidth = 40;
    script.previewHeight = 3;
    script.previewRowOrder = -1;
    OpenDevice();
    ASSERT_TRUE(client.Send("<DeviceCommandRequest requestId=\"SUB\"><Subscribe><Event eventCategory=\"CaptureCompletion\"/>"
                            "</Subscribe></DeviceCommandRequest>"));
    client.Read();
    const std::string answer = Start("RightSlap", "START");
    ASSERT_EQ(AttributeOf(answer, "failureReason"), "Success") << answer;
    const std::string videoURI = AttributeOf(answer, "videoURI");

    const std::string event = ReadEvent();
    ASSERT_NE(event.find("<CaptureComplete sampleURI=\""), std::string::npos) << event;
    ASSERT_TRUE(WaitForState(DEVICE_STATE_RESULT_READY));
    EXPECT_GE(FakeFpLibrary::Instance().Count("Zarn_Controls_Beeper(3)"), 1);

    // Twice the same sample: the fake's result image, position 13 for the right slap.
    const int samplePort = PortOf(AttributeOf(event, "sampleURI"));
    for (const char* id : {"G1", "G2"}) {
        const auto response = FetchImage(samplePort, kGetSample, id);
        EXPECT_EQ(response.requestId, id);
        const FirView view = FirstView(response.data);
        EXPECT_EQ(view.position, 13);
        EXPECT_EQ(view.width, script.resultWidth);
        EXPECT_EQ(view.height, script.resultHeight);
        EXPECT_EQ(view.pixels, std::vector<uint8_t>(static_cast<size_t>(script.resultWidth) * script.resultHeight, 0x80));
    }
    // The result cleared the preview table: GetFrame has nothing to send.
    EXPECT_TRUE(FetchImage(PortOf(videoURI), kGetFrame, "F", 300).data.empty());
}

TEST_F(FpDeviceTest, PreviewFramesUpToTheBufferSizeReachGetFrame) {
    const struct {
        int width, height;
        bool kept;
    } table[] = {{40, 3, true}, {800, 800, true}, {801, 800, false}};
    for (const auto& row : table) {
        script.previewWidth = row.width;
        script.previewHeight = row.height;
        script.previewIntervalMs = 5;
        if (device) device->Close();
        device.reset();
        client.Close();
        OpenDevice();
        const std::string answer = Start("RightSlap", "S");
        ASSERT_EQ(AttributeOf(answer, "failureReason"), "Success") << answer;
        std::this_thread::sleep_for(50ms);  // a few frames
        const auto response = FetchImage(PortOf(AttributeOf(answer, "videoURI")), kGetFrame, "F", row.kept ? 1500 : 300);
        const FirView view = FirstView(response.data);
        if (row.kept) {
            ASSERT_GT(response.data.size(), 19u);
            EXPECT_EQ(response.data[19], 1);  // scale units: pixels per inch
            EXPECT_EQ(view.position, 13);
            EXPECT_EQ(view.width, row.width);
            EXPECT_EQ(view.height, row.height);
        } else {
            EXPECT_TRUE(response.data.empty()) << row.width << "x" << row.height;
        }
    }
}

TEST_F(FpDeviceTest, ForceAndStopCapture) {
    OpenDevice();
    // Nothing running yet.
    EXPECT_EQ(AttributeOf(Command("<ForceCapture/>", "F0"), "failureReason"), "UnableToPerformRequest");
    ASSERT_EQ(AttributeOf(Start("RightSlap", "S"), "failureReason"), "Success");
    EXPECT_EQ(AttributeOf(Command("<ForceCapture/>", "F1"), "failureReason"), "Success");
    const std::string event = ReadEvent();
    EXPECT_NE(event.find("<CaptureComplete"), std::string::npos) << event;
    // The event goes out just before the state changes.
    EXPECT_TRUE(WaitForState(DEVICE_STATE_RESULT_READY));
    auto& library = FakeFpLibrary::Instance();
    EXPECT_EQ(library.Count("Zarn_Capture_TakeResultImage()"), 1);
    EXPECT_EQ(library.Count("Zarn_Capture_SetCaptureOK()"), 1);

    // A stop while capturing aborts the library and closes the image channels.
    FakeFpLibrary::Instance().Reset(script);
    device->Connect();
    device->CloseImageChannels(0);
    ASSERT_EQ(AttributeOf(Start("LeftSlap", "S2"), "failureReason"), "Success");
    EXPECT_TRUE(device->GetPreviewSocket().IsRunning());
    EXPECT_EQ(AttributeOf(Command("<StopCapture/>", "T"), "value"), "Success");
    EXPECT_EQ(library.Count("Zarn_Capture_Abort()"), 1);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    EXPECT_FALSE(device->GetPreviewSocket().IsRunning());
}

TEST_F(FpDeviceTest, QualityFeedbackAtMostOncePerSecond) {
    script.previewIntervalMs = 5;
    script.quality = {0, 2, 3, 5};
    // Shared with the device: its preview thread may read the clock until the fixture closes it.
    auto now = std::make_shared<std::atomic<int64_t>>(100000);
    OpenDevice();
    device->SetClock([now] { return now->load(); });
    // No subscription: no feedback however much time passes.
    ASSERT_EQ(AttributeOf(Start("RightSlap", "S1", "RightMiddle"), "failureReason"), "Success");
    *now += 5000;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(AttributeOf(Command("<StopCapture/>", "T1"), "value"), "Success");
    EXPECT_TRUE(events.empty());

    Command("<Subscribe><Event eventCategory=\"UserFeedback\"/></Subscribe>", "SUB");
    ASSERT_EQ(AttributeOf(Start("RightSlap", "S2", "RightMiddle"), "failureReason"), "Success");
    // Within the first second after the start: nothing.
    *now += 999;
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(events.empty());
    *now += 1;
    const std::string event = ReadEvent();
    EXPECT_XML_EQ(WithoutRequestId(event),
              "<DeviceEventRequest requestId=\"*\"><UserFeedback><Message biometricPosition=\"RightIndex\" action=\"PresentBiometric\"/>"
              "<Message biometricPosition=\"Unknown\" action=\"PressHarder\"/>"
              "<Message biometricPosition=\"RightRing\" action=\"PressLighter\"/>"
              "<Message biometricPosition=\"RightLittle\" action=\"Other\" description=\"Press harder or move the "
              "finger to center.\"/></UserFeedback></DeviceEventRequest>");
    // Many more quality callbacks within the next second send nothing more.
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(client.Read(100), "");
}

// The quality callback runs on the library's image thread, which a stop's abort waits for while it
// holds the device lock: with the lock busy the callback drops its feedback instead of waiting, and
// a later frame's quality brings it.
TEST_F(FpDeviceTest, QualityFeedbackNeverWaitsForABusyDeviceLock) {
    script.previewIntervalMs = 5;
    script.quality = {0};
    auto now = std::make_shared<std::atomic<int64_t>>(100000);
    OpenDevice();
    device->SetClock([now] { return now->load(); });
    Command("<Subscribe><Event eventCategory=\"UserFeedback\"/></Subscribe>", "SUB");
    ASSERT_EQ(AttributeOf(Start("RightSlap", "S"), "failureReason"), "Success");
    device->GetDeviceLock().lock();
    *now += 1000;  // feedback is due
    const int before = FakeFpLibrary::Instance().PreviewsDelivered();
    std::this_thread::sleep_for(200ms);
    const int during = FakeFpLibrary::Instance().PreviewsDelivered() - before;
    device->GetDeviceLock().unlock();
    EXPECT_GE(during, 5) << "the library's thread waited for the device lock";
    EXPECT_NE(ReadEvent().find("<UserFeedback>"), std::string::npos);
}

TEST_F(FpDeviceTest, FirstPreviewWaitIsBounded) {
    script.previewIntervalMs = 700;  // the first frame comes long after the bound
    OpenDevice();
    device->SetFirstPreviewTimeoutMs(100);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(AttributeOf(Start("RightSlap", "S"), "failureReason"), "UnableToPerformRequest");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    EXPECT_EQ(FakeFpLibrary::Instance().Count("Zarn_Capture_Abort()"), 1);
}

TEST_F(FpDeviceTest, LostScannerIsReportedOnce) {
    OpenDevice();
    FakeFpLibrary::Instance().SetConnected(false);
    ASSERT_TRUE(vdm.WaitForCalls(1));
    std::this_thread::sleep_for(250ms);  // further polls report nothing more
    EXPECT_EQ(vdm.Calls(), std::vector<std::string>{"DeviceLost 0 1"});
    EXPECT_EQ(device->IsOpen(), 0);
}

TEST_F(FpDeviceTest, ClientChannelHandlersLogUnderTheirOwnNames) {
    OpenDevice();
    const std::string log = ClientChannelGoneLog(*device, "Fingerprint");
    EXPECT_NE(log.find("CFpDevice::ProcessSocketDeviceCloseEventCallback: Fp Device Socket: Connection closed from "
                       "client, channel Id = "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CFpDevice::ProcessSocketDeviceErrorEventCallback: Fp Device Socket: Connection lost with "
                       "client, channel Id = "),
              std::string::npos)
        << log;
    const std::vector<std::string> calls = vdm.Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const std::string& call : calls) EXPECT_EQ(call.rfind("ClientGone 0 ", 0), 0u) << call;
}

// Only a connect that runs out of time (something on the glass) counts as timed out; one that
// fails at once does not. A look at the platen is true only when the scanner initialises and its
// calibration ends in success within the limit, and never once the service terminates.
TEST_F(FpDeviceTest, TimedOutConnectAndTheLookAtThePlaten) {
    FakeFpLibrary::Install();
    CFpDevice::SetConnectLimitMs(1000);
    const struct {
        const char* what;
        bool handOnPlaten;
        int initializeResult;
        int calibrationResult;
        int opened;
        bool timedOut;
        bool empty;
    } table[] = {
        {"empty platen", false, ZARN_OK, ZARN_OK, 1, false, true},
        {"hand on the glass", true, ZARN_OK, ZARN_OK, 0, true, false},
        {"calibration fails at once", false, ZARN_OK, ZARN_ERR_CAMERA_STEP, 0, false, false},
        {"initialisation fails", false, ZARN_ERR_NO_SCANNER, ZARN_OK, 0, false, false},
    };
    for (const auto& row : table) {
        LogCapture log;
        script.handOnPlaten = row.handOnPlaten;
        script.initializeResult = row.initializeResult;
        script.calibrationResult = row.calibrationResult;
        FakeFpLibrary::Instance().Reset(script);
        device = std::make_unique<CFpDevice>("Tessik Biometric VDM", &vdm, 502);
        EXPECT_EQ(device->Open(), row.opened) << row.what;
        EXPECT_EQ(device->ConnectTimedOut(), row.timedOut) << row.what;
        device.reset();
        FakeFpLibrary::Instance().Reset(script);
        EXPECT_EQ(CFpDevice::LookAtPlaten(&vdm, 502), row.empty) << row.what;
        // A scanner that initialised is released after the look.
        if (row.initializeResult == ZARN_OK)
            EXPECT_EQ(FakeFpLibrary::Instance().Calls().back(), "Zarn_Main_DeInitialize()") << row.what;
        const bool warned =
            log.Read("Fingerprint").find("calibration within 1 s: something on its glass") != std::string::npos;
        EXPECT_EQ(warned, row.timedOut) << row.what;
    }

    // Termination ends a look at a covered platen long before the limit, as not empty.
    class TerminatingVdm : public FakeVdm {
    public:
        bool IsTerminating() const override { return true; }
    } terminating;
    CFpDevice::SetConnectLimitMs(CFpDevice::kConnectLimitMs);
    script = fakezarn::FpScript();
    script.handOnPlaten = true;
    FakeFpLibrary::Instance().Reset(script);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(CFpDevice::LookAtPlaten(&terminating, 502));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
}
