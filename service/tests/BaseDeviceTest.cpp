// The device base through a small fingerprint device over the scripted capture library: opening,
// the Arrival body, subscriptions, StartCapture parsing, the manual-capture gate and the capture
// road as an enrolment-client double sees it on the device and image channels.
#include "device/BaseDevice.h"

#include "DeviceChannelTest.h"
#include "FakeVdm.h"
#include "FakeZarn.h"
#include "ImageMessageCodec.h"
#include "TestAppData.h"
#include "XmlPeer.h"
#include "device/ZarnApi.h"
#include "xml/XmlMessage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using fakezarn::FakeFpLibrary;

namespace {

// The least a fingerprint device needs on top of the base: library calls, state, callbacks.
class TestFpDevice : public IDevice, public CBaseDevice {
public:
    explicit TestFpDevice(CBaseNavikVdm* owner)
        : CBaseDevice("Tessik Biometric VDM", owner, "CTestFpDevice", "Fp Device Socket", "Fp Preview Socket",
                      "Fp Result Socket", VDM_LOG_FINGERPRINT) {
        AttachChannels(this);
        capabilities.modality = "FingerprintSlap";
    }
    ~TestFpDevice() override { TestFpDevice::Close(); }

    // --- CBaseDevice slots ---
    int Open() override {
        int result = CBaseDevice::Open();
        if (result != 0) SetState(DEVICE_STATE_READY);
        return result;
    }
    int Close() override {
        if (openFlag.load() == 0) return 1;
        FpApi().Zarn_Capture_Abort();
        FpApi().Zarn_Main_DeInitialize();
        CBaseDevice::Close();
        SetState(DEVICE_STATE_CLOSED);
        return 1;
    }
    void StopCaptureIgnoreError() override {
        FpApi().Zarn_Capture_Abort();
        SetState(DEVICE_STATE_READY);
    }
    int SetState(int state) override {
        stateLock.lock();
        deviceState = state;
        owner->statusLock.lock();
        owner->captureInterlock.fpCapturing = state == DEVICE_STATE_CAPTURING;
        owner->statusLock.unlock();
        stateLock.unlock();
        return 1;
    }
    int Connect() override {
        const ZarnFpApi& api = FpApi();
        api.Zarn_Main_DeInitialize();
        if (api.Zarn_Main_Initialize(502) != 0) return 0;
        api.Zarn_Capture_RegisterCallbackPreviewImage(&OnPreview, this);
        api.Zarn_Capture_RegisterCallbackResultImage(&OnResult, this);
        api.Zarn_Capture_RegisterCallbackDeviceIsConnected(&OnConnected, this);
        return GetDeviceInfo() && GetApiVersion();
    }
    int StartCapture(int, std::string& failureReason) override {
        int width = 0, height = 0, xres = 0, yres = 0;
        if (FpApi().Zarn_Capture_SetMode(imageType, 500, 1, 0, &width, &height, &xres, &yres) != 0) {
            failureReason = "InvalidRequest_ParameterValueInvalid";
            return 0;
        }
        FpApi().Zarn_Capture_SetAutoCapInfo(250, 230, 1.0, 12, 2, 10, 10, 15, 3000);
        if (FpApi().Zarn_Capture_Start(4 - static_cast<int>(missing.size()), 1) != 0) {
            failureReason = "UnableToPerformRequest";
            return 0;
        }
        return 1;
    }
    int ForceCapture(std::string& failureReason) override {
        if (GetState() != DEVICE_STATE_CAPTURING || FpApi().Zarn_Capture_TakeResultImage() != 0 ||
            FpApi().Zarn_Capture_AcquireResultImage() != 0) {
            failureReason = "UnableToPerformRequest";
            return 0;
        }
        FpApi().Zarn_Capture_SetCaptureOK();
        return 1;
    }
    int StopCapture(std::string&) override {
        FpApi().Zarn_Capture_Abort();
        CloseImageChannels(0);
        SetState(DEVICE_STATE_READY);
        return 1;
    }
    int GetApiVersion() override {
        ZarnApiVersion version{};
        if (FpApi().Zarn_Main_GetAPIVersion(&version) != 0) return 0;
        StoreApiVersion(version);
        return 1;
    }
    int GetDeviceInfo() override {
        ZarnDeviceInfo info{};
        if (FpApi().Zarn_Main_GetDeviceInfo(&info) != 0) return 0;
        StoreDeviceInfo(info);
        return 1;
    }
    int SetMissingBiometric(const std::string& position) override {
        static const std::set<std::string> kFingers = {"RightIndex", "RightMiddle", "RightRing", "RightLittle",
                                                       "LeftIndex",  "LeftMiddle",  "LeftRing",  "LeftLittle",
                                                       "RightThumb", "LeftThumb"};
        if (kFingers.count(position) == 0) return 0;
        missing.insert(position);
        return 1;
    }

    // --- IDevice ---
    int ProcessSubscribeCallback(const xercesc::DOMElement* element, const std::string&, std::string&,
                                 std::map<int, int>& categories) override {
        deviceLock.lock();
        int result = _ProcessSubscribeCallback(element, categories);
        deviceLock.unlock();
        return result;
    }
    int ProcessStartCaptureCallback(const xercesc::DOMElement* element, const std::string&, std::string& reason,
                                    std::string& videoURI) override {
        deviceLock.lock();
        int result = 0;
        const std::string position = GetXmlAttribute(element, "biometricPosition");
        if (GetState() == DEVICE_STATE_CAPTURING) {
            reason = "InvalidRequest_CaptureAlreadyInProgress";
        } else if (position != "RightSlap" && position != "LeftSlap") {
            reason = "InvalidRequest_ParameterValueInvalid";
        } else {
            imageType = position == "RightSlap" ? ZARN_IMAGE_SLAP_RIGHT : ZARN_IMAGE_SLAP_LEFT;
            missing.clear();
            CloseImageChannels(0);
            SetState(DEVICE_STATE_CAPTURING);
            result = _ProcessStartCaptureCallback(videoURI, element, reason);
            if (result == 0) SetState(DEVICE_STATE_READY);
        }
        deviceLock.unlock();
        return result;
    }
    int ProcessForceCaptureCallback(const std::string&, std::string& reason) override {
        return _ProcessForceCaptureCallback(reason);
    }
    int ProcessStopCaptureCallback(const std::string&, std::string& reason) override { return StopCapture(reason); }
    int ProcessClientConnectedCallback() override { return _ProcessClientConnectedCallback(0); }
    int ProcessSocketDeviceCloseEventCallback() override {
        std::string ignored;
        StopCapture(ignored);
        return owner->ProcessDeviceClientGoneCallback(0, GetModel());
    }
    int ProcessSocketDeviceErrorEventCallback() override { return ProcessSocketDeviceCloseEventCallback(); }
    int ProcessClientGoneCallback() override {
        CloseImageChannels(0);
        SetState(DEVICE_STATE_READY);
        return 1;
    }
    int ProcessGetFrameCallback(const std::string&) override { return 0; }
    int ProcessGetSampleImageCallback(const std::string& id) override {
        return resultSocket.SendImage(result.image, static_cast<unsigned>(result.width * result.height), id,
                                      MID_GetSample);
    }
    int ProcessSocketPreviewCloseEventCallback() override { return 1; }
    int ProcessSocketResultCloseEventCallback() override { return 1; }
    int ProcessSocketPreviewErrorEventCallback() override { return 1; }
    int ProcessSocketResultErrorEventCallback() override { return 1; }

    std::atomic<int> previews{0};
    std::set<std::string> missing;

private:
    static void OnPreview(void* context, ZarnImageInfo) {
        auto* self = static_cast<TestFpDevice*>(context);
        self->firstPreview.store(1);
        self->previews.fetch_add(1);
    }
    static void OnResult(void* context, int status, ZarnImageInfo image, int, int) {
        auto* self = static_cast<TestFpDevice*>(context);
        if (status < 0 || self->GetState() != DEVICE_STATE_CAPTURING) return;
        self->result = image;  // the pixels stay the library's until the next capture
        if (self->OpenResultChannel() == 0) return;
        self->deviceSocket.SendCaptureCompleteDeviceEventRequest(self->resultSocket.GetUri());
        self->SetState(DEVICE_STATE_RESULT_READY);
    }
    static void OnConnected(void* context, int connected) {
        auto* self = static_cast<TestFpDevice*>(context);
        if (connected == 0 && !self->lostReported.exchange(true)) self->owner->ProcessDeviceLostEventCallback(0, 1);
    }

    int imageType = ZARN_IMAGE_SLAP_RIGHT;
    ZarnImageInfo result{};
    std::atomic<bool> lostReported{false};
};

class BaseDeviceTest : public DeviceChannelTest {
protected:
    void SetUp() override {
        FakeFpLibrary::Instance().Reset(script);
        FakeFpLibrary::Install();
    }
    void TearDown() override {
        if (device) device->Close();
        FakeFpLibrary::Instance().Reset();  // ends the library's threads before the device goes
        device.reset();
        InstallZarnFpApi(nullptr);
    }
    void OpenDevice() {
        FakeFpLibrary::Instance().Reset(script);
        device = std::make_unique<TestFpDevice>(&vdm);
        ASSERT_EQ(device->Open(), 1);
    }
    static std::string Answer(const std::string& value, const std::string& reason, const std::string& id,
                              const std::string& extra = "") {
        return "<DeviceCommandResponse requestId=\"" + id + "\"><Return value=\"" + value + "\" failureReason=\"" +
               reason + "\"/>" + extra + "</DeviceCommandResponse>";
    }

    fakezarn::FpScript script;
    std::unique_ptr<TestFpDevice> device;
};

}  // namespace

TEST_F(BaseDeviceTest, OpenConnectsTheLibraryAndBuildsTheArrivalBody) {
    // The firmware word of this scanner holds a control byte after "V1".
    script.hardwareWord = 0x39073156u;  // bytes 'V', '1', 0x07, '9'
    OpenDevice();
    auto& library = FakeFpLibrary::Instance();
    EXPECT_EQ(library.Count("Zarn_Main_Initialize(502)"), 1);
    EXPECT_EQ(library.Count("Zarn_Capture_RegisterCallback"), 3);
    const std::string uri = device->GetDeviceURI();
    EXPECT_EQ(uri.rfind("127.0.0.1:", 0), 0u);
    EXPECT_GE(PortOf(uri), 5000);
    EXPECT_LT(PortOf(uri), 10000);

    const std::string arrival = CanonicalXml(CUtilities::XmlDocumentToString(device->GetArrivalDocument()));
    const std::string head = "<DeviceManagerEventRequest requestId=\"\"><Arrival vdmName=\"Tessik Biometric VDM\" "
                             "deviceURI=\"" + uri + "\" modality=\"FingerprintSlap\" deviceMake=\"Tessik Scanner\" "
                             "deviceModel=\"PloverA\" hardwareRev=\"2.16.120.1\" firmwareRev=\"V1\" "
                             "serialNumber=\"PA-000123\"><Capabilities detection=\"true\" video=\"true\" "
                             "autoCapture=\"true\" disableAutoCapture=\"true\" userFeedback=\"true\" "
                             "graphicalFeedback=\"false\">";
    EXPECT_EQ(arrival.substr(0, head.size()), CanonicalXml(head));
    EXPECT_NE(arrival.find(CanonicalXml("<SampleFormat formatId=\"ISO19794-4-Slap\" format=\"ISO/IEC 19794-4\" "
                                        "views=\"1\" size=\"1600,1500\" pixelResolution=\"500ppi\"/>")),
              std::string::npos);
    const std::string tail = "</Capabilities></Arrival></DeviceManagerEventRequest>";
    ASSERT_GT(arrival.size(), tail.size());
    EXPECT_EQ(arrival.substr(arrival.size() - tail.size()), tail);

    const CDeviceArrival& record = device->GetCapabilities();
    ASSERT_EQ(record.sampleFormats.size(), 2u);
    EXPECT_EQ(record.sampleFormats[1]->formatId, "ISO19794-4-Flat");
    EXPECT_EQ(record.sampleFormats[0]->width, 1600);
    EXPECT_EQ(record.sampleFormats[0]->height, 1500);
    ASSERT_EQ(record.videoFormats.size(), 1u);
    EXPECT_EQ(record.videoFormats[0]->frameTypes.size(), 13u);
    EXPECT_EQ(record.videoFormats[0]->frameTypes[0].pixelResolution, 250);

    // Opening an open device does nothing more.
    EXPECT_EQ(device->Open(), 1);
    EXPECT_EQ(library.Count("Zarn_Main_Initialize"), 1);
}

TEST_F(BaseDeviceTest, CapabilityFileDecidesWhatTheDeviceAnnounces) {
    auto file = [](const std::string& devices) {
        return "<DeviceCapabilities><Devices>" + devices + "</Devices></DeviceCapabilities>";
    };
    auto entry = [](const std::string& model, const std::string& flags, const std::string& formats) {
        return "<Device deviceModel=\"" + model + "\"><Capabilities " + flags + "><VideoFormats/><SampleFormats>" +
               formats + "</SampleFormats></Capabilities></Device>";
    };
    const std::string sample = "<SampleFormat formatId=\"S\" format=\"F\" views=\"2\" size=\"10\" "
                               "pixelResolution=\"1000ppi\"/>";
    {
        // The later entry of a model wins; unknown words keep their defaults.
        appData.Write("DeviceCapabilities.xml",
                      file(entry("PloverA", "graphicalFeedback=\"true\"", "") +
                           entry("PloverA", "video=\"yes\" userFeedback=\"false\" graphicalFeedback=\"maybe\"",
                                 sample)));
        OpenDevice();
        const CDeviceArrival& record = device->GetCapabilities();
        EXPECT_EQ(record.video, 1);
        EXPECT_EQ(record.userFeedback, 0);
        EXPECT_EQ(record.graphicalFeedback, 0);
        ASSERT_EQ(record.sampleFormats.size(), 1u);
        EXPECT_EQ(record.sampleFormats[0]->views, 2);
        EXPECT_EQ(record.sampleFormats[0]->width, 10);
        EXPECT_EQ(record.sampleFormats[0]->height, 0);  // no second part
        EXPECT_EQ(record.sampleFormats[0]->pixelResolution, 1000);
        device->Close();
    }
    {
        // No entry for the model: not opened, and the Arrival body has no Arrival.
        appData.Write("DeviceCapabilities.xml", file(entry("VireoA", "", sample)));
        FakeFpLibrary::Instance().Reset(script);
        device = std::make_unique<TestFpDevice>(&vdm);
        EXPECT_EQ(device->Open(), 0);
        EXPECT_EQ(device->IsOpen(), 0);
        EXPECT_FALSE(device->GetDeviceSocket().IsRunning());
        ASSERT_NE(device->GetArrivalDocument(), nullptr);
        EXPECT_XML_EQ(CUtilities::XmlDocumentToString(device->GetArrivalDocument()),
                  "<DeviceManagerEventRequest requestId=\"\"/>");
    }
    {
        // A file that does not validate: not opened.
        appData.Write("DeviceCapabilities.xml", "<DeviceCapabilities><Wrong/></DeviceCapabilities>");
        FakeFpLibrary::Instance().Reset(script);
        device = std::make_unique<TestFpDevice>(&vdm);
        EXPECT_EQ(device->Open(), 0);
        EXPECT_EQ(device->GetArrivalDocument(), nullptr);
    }
}

TEST_F(BaseDeviceTest, CaptureRoadFromStartToSample) {
    script.autoResultAfterFrames = 5;
    OpenDevice();
    ConnectClient(*device);

    // Subscriptions answered from the capability record.
    EXPECT_XML_EQ(Command("<Subscribe><Event eventCategory=\"UserFeedback\"/><Event eventCategory=\"GraphicalFeedback\"/>"
                      "<Event eventCategory=\"CaptureCompletion\"/><Event eventCategory=\"Smell\"/></Subscribe>",
                      "SUB"),
              Answer("Success", "Success", "SUB",
                     "<State userFeedback=\"true\" graphicalFeedback=\"false\" captureCompletion=\"true\"/>"));

    // An unknown sample format falls back to the first one.
    std::string answer = Command("<StartCapture biometricPosition=\"RightSlap\" sampleFormatId=\"Nope\">"
                                 "<MissingBiometrics><MissingBiometric biometricPosition=\"RightRing\"/>"
                                 "</MissingBiometrics></StartCapture>",
                                 "START");
    const std::string videoURI = AttributeOf(answer, "videoURI");
    EXPECT_XML_EQ(answer, Answer("Success", "Success", "START", "<Video videoURI=\"" + videoURI + "\"/>"));
    EXPECT_GE(PortOf(videoURI), 5000);
    EXPECT_LT(PortOf(videoURI), 10000);
    ASSERT_NE(device->GetChosenSampleFormat(), nullptr);
    EXPECT_EQ(device->GetChosenSampleFormat()->formatId, "ISO19794-4-Slap");
    auto& library = FakeFpLibrary::Instance();
    EXPECT_EQ(library.Count("Zarn_Capture_SetMode(2,500,1,0)"), 1);
    EXPECT_EQ(library.Count("Zarn_Capture_SetAutoCapInfo(250,230,1,12,2,10,10,15,3000)"), 1);
    EXPECT_EQ(library.Count("Zarn_Capture_Start(3,1)"), 1);

    // The automatic result arrives from the library's thread.
    std::string event = ReadEvent();
    ASSERT_EQ(WithoutRequestId(event).rfind("<DeviceEventRequest requestId=\"*\"><CaptureComplete sampleURI=\"", 0),
              0u)
        << event;
    EXPECT_GE(device->previews.load(), 5);
    EXPECT_TRUE(WaitForDeviceState(*device, DEVICE_STATE_RESULT_READY));
    EXPECT_NE(library.LastResultThread(), std::this_thread::get_id());

    // The sample is fetched before the event is acknowledged.
    XmlPeer sampleClient;
    ASSERT_TRUE(sampleClient.Connect(PortOf(AttributeOf(event, "sampleURI"))));
    std::vector<uint8_t> request;
    ASSERT_TRUE(image_messages::EncodeRequest(0, 0, "SAMPLE", request));
    ASSERT_TRUE(sampleClient.Send(std::string(request.begin(), request.end())));
    std::string bytes;
    image_messages::DecodedResponse response;
    for (int i = 0; i < 300; ++i) {
        pollfd p{sampleClient.fd(), POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char chunk[65536];
            ssize_t n = ::recv(sampleClient.fd(), chunk, sizeof chunk, 0);
            if (n <= 0) break;
            bytes.append(chunk, static_cast<size_t>(n));
        }
        size_t consumed = 0;
        if (!bytes.empty() && image_messages::DecodeResponse(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                             bytes.size(), response, consumed) ==
                                  image_messages::DecodeStatus::Ok)
            break;
    }
    EXPECT_EQ(response.requestId, "SAMPLE");
    EXPECT_EQ(response.data.size(), static_cast<size_t>(script.resultWidth * script.resultHeight));

    ASSERT_TRUE(client.Send("<DeviceEventResponse requestId=\"" + RequestIdOf(event) +
                            "\"><Return value=\"Success\" failureReason=\"Success\"/></DeviceEventResponse>"));
    EXPECT_TRUE(WaitForDeviceState(*device, DEVICE_STATE_READY));
    EXPECT_FALSE(device->GetResultSocket().IsRunning());
    EXPECT_FALSE(device->GetPreviewSocket().IsRunning());
}

TEST_F(BaseDeviceTest, StartCaptureRefusalsAndTheManualCaptureGate) {
    OpenDevice();
    ConnectClient(*device);
    auto& library = FakeFpLibrary::Instance();

    // A missing biometric the device does not know refuses the whole request.
    EXPECT_XML_EQ(Command("<StartCapture biometricPosition=\"LeftSlap\"><List><MissingBiometric biometricPosition="
                      "\"LeftIndex\"/><MissingBiometric biometricPosition=\"Nose\"/></List></StartCapture>",
                      "R1"),
              Answer("Failure", "InvalidRequest_ParameterValueInvalid", "R1"));
    EXPECT_XML_EQ(Command("<StartCapture biometricPosition=\"LeftSlap\"><List><MissingBiometric biometricPosition=\"\"/>"
                      "</List></StartCapture>",
                      "R2"),
              Answer("Failure", "InvalidRequest_ParameterValueInvalid", "R2"));
    EXPECT_EQ(library.Count("Zarn_Capture_SetMode"), 0);

    // Only "false" exactly forbids manual capture.
    std::string answer = Command("<StartCapture biometricPosition=\"LeftSlap\" allowManualCapture=\"false\"/>", "S1");
    EXPECT_EQ(AttributeOf(answer, "value"), "Success");
    EXPECT_XML_EQ(Command("<StartCapture biometricPosition=\"LeftSlap\"/>", "S2"),
              Answer("Failure", "InvalidRequest_CaptureAlreadyInProgress", "S2"));
    EXPECT_XML_EQ(Command("<ForceCapture/>", "F1"), Answer("Failure", "UnableToPerformRequest", "F1"));
    EXPECT_EQ(library.Count("Zarn_Capture_TakeResultImage"), 0);
    EXPECT_XML_EQ(Command("<StopCapture/>", "STOP"), Answer("Success", "Success", "STOP"));

    answer = Command("<StartCapture biometricPosition=\"LeftSlap\" allowManualCapture=\"False\"/>", "S3");
    EXPECT_EQ(AttributeOf(answer, "value"), "Success");
    // The result is delivered inside the library call, so the event comes before the answer.
    ASSERT_TRUE(client.Send("<DeviceCommandRequest requestId=\"F2\"><ForceCapture/></DeviceCommandRequest>"));
    std::string first = client.Read(), second = client.Read();
    EXPECT_EQ(first.rfind("<DeviceEventRequest", 0), 0u) << first;
    EXPECT_XML_EQ(second, Answer("Success", "Success", "F2"));
    EXPECT_EQ(library.Count("Zarn_Capture_AcquireResultImage()"), 1);
    EXPECT_EQ(library.Count("Zarn_Capture_SetCaptureOK()"), 1);
}

TEST_F(BaseDeviceTest, ClientsAndConnectionReportsReachTheOwner) {
    OpenDevice();
    XmlPeer first;
    ASSERT_TRUE(first.Connect(PortOf(device->GetDeviceURI())));
    ASSERT_TRUE(vdm.WaitForCalls(1));
    // A client of the same address takes over: the owner learns that the old client is gone, as
    // when it closes itself, then the new client's own address.
    XmlPeer second;
    ASSERT_TRUE(second.Connect(PortOf(device->GetDeviceURI())));
    ASSERT_TRUE(vdm.WaitForCalls(3));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(second.fd(), reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(vdm.Calls()[1], "ClientGone 0 PloverA");
    EXPECT_EQ(vdm.Calls()[2], "ClientConnected 0 PloverA 127.0.0.1:" + std::to_string(ntohs(local.sin_port)));

    second.Close();
    ASSERT_TRUE(vdm.WaitForCalls(4));
    EXPECT_EQ(vdm.Calls()[3], "ClientGone 0 PloverA");

    // The library's connection poll reports the scanner gone.
    FakeFpLibrary::Instance().SetConnected(false);
    ASSERT_TRUE(vdm.WaitForCalls(5));
    EXPECT_EQ(vdm.Calls()[4], "DeviceLost 0 1");
}
