// The iris device over the scripted iris library: its library calls, the eye positions, the
// capture road of one and both eyes as an enrolment-client double sees it on the device and image
// channels, the interlocks, and the bounded and sized paths (first preview, preview buffers,
// late results, closing state).
#include "device/IrisDevice.h"

#include "DeviceChannelTest.h"
#include "FakeVdm.h"
#include "FakeZarn.h"
#include "ImageMessageCodec.h"
#include "TestAppData.h"
#include "XmlPeer.h"
#include "device/ZarnApi.h"
#include "peers/EnrolmentClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using fakezarn::FakeIrisLibrary;

namespace {

// One image request on an image channel: the record of its answer, empty when none came.
std::vector<uint8_t> Fetch(const std::string& uri, long code, const std::string& id) {
    std::string ip;
    int port = 0;
    if (!peers::SplitUri(uri, ip, port)) return {};
    XmlPeer peer;
    if (!peer.Connect(port)) return {};
    return peers::FetchImageRecord(peer, code, id, 1000);
}

constexpr long kGetSample = 0;
constexpr long kGetFrame = 1;

class IrisDeviceTest : public DeviceChannelTest {
protected:
    void SetUp() override { CIrisDevice::AllocateIrisPreviewBuffers(); }
    void TearDown() override {
        if (device) device->Close();
        FakeIrisLibrary::Instance().Reset();
        device.reset();
        InstallZarnIrisApi(nullptr);
    }
    void OpenDevice() {
        FakeIrisLibrary::Instance().Reset(script);
        FakeIrisLibrary::Install();
        device = std::make_unique<CIrisDevice>("Tessik Biometric VDM", &vdm);
        device->SetFirstPreviewTimeoutMs(2000);
        ASSERT_EQ(device->Open(), 1);
        ConnectClient(*device);
    }
    bool WaitForState(int state) { return WaitForDeviceState(*device, state); }

    fakezarn::IrisScript script;
    std::unique_ptr<CIrisDevice> device;
};

}  // namespace

TEST(IrisDevicePositions, CodesAndNames) {
    const struct {
        const char* text;
        int code;
    } table[] = {{"LeftIris", 1}, {"RightIris", 2}, {"BothIris", 3}, {"leftiris", 0}, {"RightSlap", 0}, {"", 0}};
    for (const auto& row : table) {
        EXPECT_EQ(CIrisDevice::ParseEyePosition(row.text), row.code) << row.text;
        if (row.code != 0) {
            EXPECT_EQ(CIrisDevice::EyePositionName(row.code), row.text);
        }
    }
    EXPECT_EQ(CIrisDevice::EyePositionName(0), "Unknown");
    EXPECT_EQ(CIrisDevice::EyePositionName(4), "Unknown");
}

TEST_F(IrisDeviceTest, ConnectRegistersTheCallbacksAndCalibrationSetsTheInterlock) {
    OpenDevice();
    auto& library = FakeIrisLibrary::Instance();
    const std::vector<std::string> expected = {
        "Zarn_IRIS_Main_DeInitialize()",
        "Zarn_IRIS_Main_Initialize()",
        "Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1)",
        "Zarn_IRIS_Capture_RegisterCallbackPreviewImage(2)",
        "Zarn_IRIS_Capture_RegisterCallbackResultImage(1)",
        "Zarn_IRIS_Capture_RegisterCallbackResultImage(2)",
        "Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected()",
        "Zarn_IRIS_Main_GetDeviceInfo()",
        "Zarn_IRIS_Main_GetAPIVersion()",
    };
    const std::vector<std::string> calls = library.Calls();
    ASSERT_GE(calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(calls[i], expected[i]);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    EXPECT_EQ(device->GetCapabilities().modality, "TwoIris");
    EXPECT_EQ(device->GetCapabilities().deviceModel, "Egret");
    EXPECT_EQ(device->GetCapabilities().serialNumber, "0042");
    EXPECT_EQ(device->Connect(), 1) << "an open device is connected already";
    EXPECT_EQ(library.Count("Zarn_IRIS_Main_Initialize()"), 1);

    EXPECT_EQ(device->CalibrateDevice(), 1);
    EXPECT_EQ(library.Count("Zarn_IRIS_Capture_Calibration(3)"), 1);
    EXPECT_EQ(vdm.captureInterlock.irisCalibrating, 0);
    library.SetCalibrationResult(-614);
    EXPECT_EQ(device->CalibrateDevice(), 0);
    EXPECT_EQ(vdm.captureInterlock.irisCalibrating, 0);

    device->Close();
    EXPECT_EQ(device->GetState(), DEVICE_STATE_CLOSED) << "a closed device never reads as ready";
    EXPECT_EQ(library.Calls().back(), "Zarn_IRIS_Main_DeInitialize()");
    // A failed initialisation leaves the device closed.
    script.initializeResult = -602;
    FakeIrisLibrary::Instance().Reset(script);
    CIrisDevice other("Tessik Biometric VDM", &vdm);
    EXPECT_EQ(other.Open(), 0);
    EXPECT_EQ(other.GetState(), DEVICE_STATE_CLOSED);
}

TEST_F(IrisDeviceTest, StartCaptureCountsTheEyesToCapture) {
    OpenDevice();
    auto& library = FakeIrisLibrary::Instance();
    const struct {
        const char* position;
        const char* missing;
        const char* reason;   // "Success" when accepted
        const char* setMode;  // the library call, when one is made
    } table[] = {
        {"BothIris", "", "Success", "Zarn_IRIS_Capture_SetMode(3,1,1,0)"},
        {"BothIris", "LeftIris", "Success", "Zarn_IRIS_Capture_SetMode(2,1,1,0)"},
        {"BothIris", "RightIris", "Success", "Zarn_IRIS_Capture_SetMode(1,1,1,0)"},
        {"BothIris", "LeftIris,RightIris", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"BothIris", "BothIris", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"LeftIris", "", "Success", "Zarn_IRIS_Capture_SetMode(1,1,1,0)"},
        {"RightIris", "LeftIris", "Success", "Zarn_IRIS_Capture_SetMode(2,1,1,0)"},
        {"LeftIris", "LeftIris", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"LeftIris", "RightSlap", "InvalidRequest_ParameterValueInvalid", nullptr},
        {"Nose", "", "InvalidRequest_ParameterValueInvalid", nullptr},
    };
    int id = 0;
    for (const auto& row : table) {
        const int modes = library.Count(row.setMode ? row.setMode : "Zarn_IRIS_Capture_SetMode");
        const int allModes = library.Count("Zarn_IRIS_Capture_SetMode");
        const int starts = library.Count("Zarn_IRIS_Capture_Start()");
        const int aborts = library.Count("Zarn_IRIS_Capture_Abort()");
        const std::string answer = Start(row.position, peers::NumberedId('S', ++id), row.missing);
        EXPECT_EQ(AttributeOf(answer, "failureReason"), row.reason) << row.position << " / " << row.missing;
        if (row.setMode != nullptr) {
            EXPECT_EQ(library.Count(row.setMode), modes + 1) << row.setMode;
            EXPECT_EQ(library.Count("Zarn_IRIS_Capture_Start()"), starts + 1);
            EXPECT_EQ(device->GetState(), DEVICE_STATE_CAPTURING);
            EXPECT_EQ(vdm.captureInterlock.irisCapturing, 1);
            EXPECT_EQ(AttributeOf(Command("<StopCapture/>", peers::NumberedId('T', id)), "value"), "Success");
            EXPECT_EQ(library.Count("Zarn_IRIS_Capture_Abort()"), aborts + 2) << "the start's close and the stop";
        } else {
            EXPECT_EQ(library.Count("Zarn_IRIS_Capture_SetMode"), allModes);
        }
        EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
        EXPECT_EQ(vdm.captureInterlock.irisCapturing, 0);
    }
}

TEST_F(IrisDeviceTest, BothEyesCompleteOnceAndTheSampleCarriesBoth) {
    script.autoResultAfterFrames = 4;
    script.width = 64;
    script.height = 48;
    OpenDevice();
    ASSERT_TRUE(client.Send("<DeviceCommandRequest requestId=\"SUB\"><Subscribe><Event eventCategory=\"CaptureCompletion\"/>"
                            "</Subscribe></DeviceCommandRequest>"));
    client.Read();
    const std::string answer = Start("BothIris", "START");
    ASSERT_EQ(AttributeOf(answer, "failureReason"), "Success") << answer;
    const std::string videoURI = AttributeOf(answer, "videoURI");
    const std::string event = ReadEvent();
    ASSERT_NE(event.find("CaptureComplete"), std::string::npos) << event;
    // The event goes out just before the state changes.
    EXPECT_TRUE(WaitForState(DEVICE_STATE_RESULT_READY));
    EXPECT_TRUE(client.Read(300).empty()) << "one CaptureComplete for both eyes";
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Controls_Beeper(3)"), 2);

    const std::vector<uint8_t> sample = Fetch(AttributeOf(event, "sampleURI"), kGetSample, "GS");
    const peers::IirView view = peers::ReadIirRecord(sample);
    ASSERT_TRUE(view.valid);
    EXPECT_EQ(view.width, 64);
    EXPECT_EQ(view.height, 48);
    ASSERT_EQ(view.images.size(), 2u);
    // Subtype 1 is the right eye (the library's side 2, pixels 0x41), subtype 2 the left (0x40).
    for (const peers::IirImage& image : view.images) {
        ASSERT_EQ(image.pixels.size(), 64u * 48u);
        EXPECT_EQ(image.pixels.front(), image.subtype == 2 ? 0x40 : 0x41) << image.subtype;
        EXPECT_EQ(image.pixels.back(), image.subtype == 2 ? 0x40 : 0x41) << image.subtype;
    }
    // The previews were dropped with the last result: GetFrame answers nothing now.
    EXPECT_TRUE(Fetch(videoURI, kGetFrame, "GF").empty());

    // The client closed the result channel: the device is ready; a new start closes the old
    // channels and clears the results.
    ASSERT_TRUE(WaitForState(DEVICE_STATE_READY));
    ASSERT_EQ(AttributeOf(Start("LeftIris", "AGAIN", "", true), "failureReason"), "Success");
    EXPECT_TRUE(Fetch(AttributeOf(event, "sampleURI"), kGetSample, "GS2").empty());
}

TEST_F(IrisDeviceTest, PreviewOfBothEyesNeedsBothAndOversizedFramesAreDropped) {
    script.previewIntervalMs = 5;
    OpenDevice();
    const std::string answer = Start("BothIris", "START", "");
    ASSERT_EQ(AttributeOf(answer, "failureReason"), "Success");
    const std::string videoURI = AttributeOf(answer, "videoURI");
    std::vector<uint8_t> frame;
    for (int i = 0; i < 50 && frame.empty(); ++i) frame = Fetch(videoURI, kGetFrame, peers::NumberedId('F', i));
    const peers::IirView view = peers::ReadIirRecord(frame);
    ASSERT_TRUE(view.valid);
    EXPECT_EQ(view.images.size(), 2u);
    Command("<StopCapture/>", "STOP");
    device->Close();
    device.reset();

    // A camera frame larger than the preview buffer never reaches it.
    script.width = 1000;
    script.height = 700;
    client.Close();
    OpenDevice();
    const std::string big = Start("LeftIris", "BIG");
    ASSERT_EQ(AttributeOf(big, "failureReason"), "Success");
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Fetch(AttributeOf(big, "videoURI"), kGetFrame, "FB").empty());
}

TEST_F(IrisDeviceTest, ForcedCaptureAndLateResults) {
    script.previewIntervalMs = 5;
    OpenDevice();
    // Not capturing: nothing to force.
    EXPECT_EQ(AttributeOf(Command("<ForceCapture/>", "F0"), "failureReason"), "UnableToPerformRequest");
    ASSERT_EQ(AttributeOf(Start("RightIris", "START"), "failureReason"), "Success");
    EXPECT_EQ(AttributeOf(Command("<ForceCapture/>", "F1"), "failureReason"), "Success");
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_TakeResultImage(2)"), 1);
    ASSERT_TRUE(WaitForState(DEVICE_STATE_RESULT_READY));
    const peers::IirView forced = peers::ReadIirRecord(Fetch(device->GetResultSocket().GetUri(), kGetSample, "GS"));
    ASSERT_EQ(forced.images.size(), 1u);
    EXPECT_EQ(forced.images[0].subtype, 1) << "the right eye";
    ASSERT_TRUE(WaitForState(DEVICE_STATE_READY));
    // A manual capture the request did not allow is refused.
    ASSERT_EQ(AttributeOf(Start("LeftIris", "S2", "", false), "failureReason"), "Success");
    EXPECT_EQ(AttributeOf(Command("<ForceCapture/>", "F2"), "failureReason"), "UnableToPerformRequest");
    // After a stop a result is ignored: no beep, no completion.
    Command("<StopCapture/>", "STOP");
    const int beeps = FakeIrisLibrary::Instance().Count("Zarn_IRIS_Controls_Beeper");
    FakeIrisLibrary::Instance().TakeResultImage(1);
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Controls_Beeper"), beeps);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
}

TEST_F(IrisDeviceTest, InterlocksAndTheBoundedFirstPreview) {
    OpenDevice();
    // A device in state 0 (not initialised) refuses.
    device->SetState(DEVICE_STATE_CLOSED);
    EXPECT_EQ(AttributeOf(Start("LeftIris", "Z"), "failureReason"), "Aborted");
    device->SetState(DEVICE_STATE_READY);
    // A client gone while capturing stops the capture.
    ASSERT_EQ(AttributeOf(Start("LeftIris", "G"), "failureReason"), "Success");
    const int aborts = FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_Abort()");
    EXPECT_EQ(device->ProcessClientGoneCallback(), 1);
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_Abort()"), aborts + 1);
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    // The fingerprint device is being added: refused, the capturing word back at 0.
    vdm.captureInterlock.fpDeviceStatus = 1;
    EXPECT_EQ(AttributeOf(Start("LeftIris", "A"), "failureReason"), "Aborted");
    EXPECT_EQ(vdm.captureInterlock.irisCapturing, 0);
    vdm.captureInterlock.fpDeviceStatus = 0;
    // The fingerprint device still captures: the start waits for it to end before the camera starts.
    vdm.statusLock.lock();
    vdm.captureInterlock.fpCapturing = 1;
    vdm.statusLock.unlock();
    const int starts = FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_Start");
    int startsWhileBusy = -1;
    std::thread fingerprintEnds([&] {
        std::this_thread::sleep_for(300ms);
        startsWhileBusy = FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_Start");
        vdm.statusLock.lock();
        vdm.captureInterlock.fpCapturing = 0;
        vdm.statusLock.unlock();
    });
    EXPECT_EQ(AttributeOf(Start("LeftIris", "W"), "failureReason"), "Success");
    fingerprintEnds.join();
    EXPECT_EQ(startsWhileBusy, starts);
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_Start"), starts + 1);
    // A camera that never shows a frame does not hold the channel.
    device->Close();
    device.reset();
    client.Close();
    script.previewIntervalMs = 1200;
    OpenDevice();
    device->SetFirstPreviewTimeoutMs(200);
    EXPECT_EQ(AttributeOf(Start("LeftIris", "B"), "failureReason"), "UnableToPerformRequest");
    EXPECT_EQ(device->GetState(), DEVICE_STATE_READY);
    EXPECT_EQ(vdm.captureInterlock.irisCapturing, 0);
    // A lost camera is reported once to the core object.
    FakeIrisLibrary::Instance().SetConnected(false);
    ASSERT_TRUE(vdm.WaitForCalls(1));
    std::this_thread::sleep_for(250ms);
    int lost = 0;
    for (const std::string& call : vdm.Calls()) lost += call == "DeviceLost 1 1";
    EXPECT_EQ(lost, 1);
}

TEST_F(IrisDeviceTest, ClientChannelHandlersLogUnderTheirOwnNames) {
    OpenDevice();
    const std::string log = ClientChannelGoneLog(*device, "Iris");
    EXPECT_NE(log.find("CIrisDevice::ProcessSocketDeviceCloseEventCallback: Iris Device Socket: Connection closed "
                       "from client, channel Id = "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CIrisDevice::ProcessSocketDeviceErrorEventCallback: Iris Device Socket: Connection lost "
                       "with client, channel Id = "),
              std::string::npos)
        << log;
    const std::vector<std::string> calls = vdm.Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const std::string& call : calls) EXPECT_EQ(call.rfind("ClientGone 1 ", 0), 0u) << call;
}
