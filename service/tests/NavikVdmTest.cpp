// The core object on its manual clock: the heartbeat's loss limit and the request-id clean-up run
// through minutes of the clock's time in no real time; the iris side found, added, calibrated,
// lost and found again over the scripted iris library, with a DM and a controller on loopback; the
// two clocks themselves.
#include "NavikVdm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <memory>
#include <string>

#include "DeviceChannelTest.h"
#include "FakeZarn.h"
#include "LogCapture.h"
#include "TestAppData.h"
#include "VdmClock.h"
#include "XmlPeer.h"
#include "platform/ThreadName.h"
#include "runtime/Log.h"

namespace {

using fakezarn::FakeFpLibrary;
using fakezarn::FakeIrisLibrary;

// An iris device over the iris function table with what the core object relies on: connect,
// channels, Arrival body, calibration, the lost report; it serves no capture.
class TableIrisDevice : public IDevice, public CIrisDeviceBase {
public:
    TableIrisDevice(const std::string& vdmName, CBaseNavikVdm* owner)
        : CIrisDeviceBase(vdmName, owner, "CIrisDevice", "Iris Device Socket", "Iris Preview Socket",
                          "Iris Result Socket", VDM_LOG_IRIS) {
        AttachChannels(this);
        capabilities.modality = "TwoIris";
    }
    ~TableIrisDevice() override {
        if (IsOpen() != 0) Close();
    }
    int Close() override {
        deviceSocket.Close(1);
        deviceLock.lock();
        openFlag.store(0);
        CBaseDevice::CloseImageChannels(0);
        ReleaseArrivalDocument();
        IrisApi().Zarn_IRIS_Main_DeInitialize();
        SetState(DEVICE_STATE_CLOSED);
        deviceLock.unlock();
        return 1;
    }
    int SetState(int state) override {
        stateLock.lock();
        deviceState = state;
        owner->statusLock.lock();
        owner->captureInterlock.irisCapturing = state == DEVICE_STATE_CAPTURING;
        owner->statusLock.unlock();
        stateLock.unlock();
        return 1;
    }
    int Connect() override {
        const ZarnIrisApi& api = IrisApi();
        api.Zarn_IRIS_Main_DeInitialize();
        if (api.Zarn_IRIS_Main_Initialize() != 0) return 0;
        api.Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&OnConnected, this);
        return GetDeviceInfo() != 0 && GetApiVersion() != 0;
    }
    int CalibrateDevice() override {
        owner->statusLock.lock();
        owner->captureInterlock.irisCalibrating = 1;
        owner->statusLock.unlock();
        const int rc = IrisApi().Zarn_IRIS_Capture_Calibration(3);
        owner->statusLock.lock();
        owner->captureInterlock.irisCalibrating = 0;
        owner->statusLock.unlock();
        return rc == 0 ? 1 : 0;
    }
    int GetApiVersion() override {
        ZarnApiVersion version{};
        if (IrisApi().Zarn_IRIS_Main_GetAPIVersion(&version) != 0) return 0;
        StoreApiVersion(version);
        return 1;
    }
    int GetDeviceInfo() override {
        ZarnDeviceInfo info{};
        if (IrisApi().Zarn_IRIS_Main_GetDeviceInfo(&info) != 0) return 0;
        StoreDeviceInfo(info);
        return 1;
    }
    int StartCapture(int, std::string& reason) override { return Refuse(reason); }
    int ForceCapture(std::string& reason) override { return Refuse(reason); }
    int StopCapture(std::string& reason) override { return Refuse(reason); }
    void StopCaptureIgnoreError() override { SetState(DEVICE_STATE_READY); }
    int SetMissingBiometric(const std::string&) override { return 0; }

    int ProcessSubscribeCallback(const xercesc::DOMElement*, const std::string&, std::string& reason,
                                 std::map<int, int>&) override { return Refuse(reason); }
    int ProcessStartCaptureCallback(const xercesc::DOMElement*, const std::string&, std::string& reason,
                                    std::string&) override { return Refuse(reason); }
    int ProcessForceCaptureCallback(const std::string&, std::string& reason) override { return Refuse(reason); }
    int ProcessStopCaptureCallback(const std::string&, std::string& reason) override { return Refuse(reason); }
    int ProcessClientConnectedCallback() override { return _ProcessClientConnectedCallback(1); }
    int ProcessSocketDeviceCloseEventCallback() override { return 1; }
    int ProcessSocketDeviceErrorEventCallback() override { return 1; }
    int ProcessClientGoneCallback() override { return 1; }
    int ProcessGetFrameCallback(const std::string&) override { return 0; }
    int ProcessGetSampleImageCallback(const std::string&) override { return 0; }
    int ProcessSocketPreviewCloseEventCallback() override { return 1; }
    int ProcessSocketResultCloseEventCallback() override { return 1; }
    int ProcessSocketPreviewErrorEventCallback() override { return 1; }
    int ProcessSocketResultErrorEventCallback() override { return 1; }

private:
    static int Refuse(std::string& reason) {
        reason = "UnableToPerformRequest";
        return 0;
    }
    static void OnConnected(void* context, int connected) {
        auto* device = static_cast<TableIrisDevice*>(context);
        if (connected == 0 && !device->lostReported.exchange(true)) device->owner->ProcessDeviceLostEventCallback(1, 1);
    }
    std::atomic<bool> lostReported{false};
};

IrisDeviceKind TableIrisKind() {
    IrisDeviceKind kind;
    kind.create = [](const std::string& vdmName, CBaseNavikVdm* owner) {
        return std::make_unique<TableIrisDevice>(vdmName, owner);
    };
    return kind;
}

// The core object on a manual clock, its DM on a loopback listener and its configuration.
class CoreTest : public ::testing::Test {
protected:
    void Start(const std::string& enabled, int interval = 60) {
        configPort = FreeLoopbackPort();
        appData = std::make_unique<TestAppData>(
            "VdmIP = 127.0.0.1\nDmIP = 127.0.0.1\nDmPort = " + std::to_string(dm.port()) +
            "\nVdmListenPort = " + std::to_string(configPort) + "\nDeviceDetectionInterval = " +
            std::to_string(interval) + "\n" + enabled);
        core = std::make_unique<CNavikVdm>();
        core->SetClock(clock);
        core->SetIrisDeviceKind(TableIrisKind());
        ASSERT_EQ(core->Initialize(), 1);
        ConnectDm();
    }
    // Takes the service's DM connection and its Connect.
    void ConnectDm() {
        const int fd = dm.Accept(5000);
        ASSERT_GE(fd, 0);
        dmPeer = std::make_unique<XmlPeer>(fd);
        connectDocument = dmPeer->Read(5000);
        ASSERT_NE(connectDocument.find("<Connect "), std::string::npos) << connectDocument;
    }
    void Answer(const std::string& document, const std::string& extra = "") {
        dmPeer->Send("<DeviceManagerEventResponse requestId=\"" + RequestIdOf(document) +
                     "\"><Return value=\"Success\" failureReason=\"Success\"/>" + extra +
                     "</DeviceManagerEventResponse>");
    }
    void ConnectResponse(int heartBeat) {
        dmPeer->Send("<DeviceManagerEventResponse requestId=\"" + RequestIdOf(connectDocument) + "\"><Return value=\"Success\" failureReason=\"Success\"/>"
                     "<ConnectResponse apiVersion=\"3.0.0\" vendor=\"V\" dmName=\"DM\" dmVersion=\"1\" heartBeat=\"" +
                     std::to_string(heartBeat) + "\"/></DeviceManagerEventResponse>");
    }
    // The next DM document holding `element` (others are skipped); empty when none came.
    std::string NextDm(const std::string& element, int timeoutMs = 5000) {
        for (;;) {
            const std::string document = dmPeer->Read(timeoutMs);
            if (document.empty() || document.find("<" + element + " ") != std::string::npos) return document;
        }
    }
    // Both devices on the scripted libraries, added and announced to the DM; no detection pass
    // for ten minutes after.
    void StartBothAnnounced() {
        FakeFpLibrary::Install();
        FakeFpLibrary::Instance().Reset();
        FakeIrisLibrary::Install();
        FakeIrisLibrary::Instance().Reset();
        Start("Fingerprint = 1\nIris = 1\n", 600);
        ConnectResponse(20);
        ASSERT_FALSE(NextDm("Arrival").empty());
        ASSERT_FALSE(NextDm("Arrival").empty());
    }
    void TearDown() override {
        if (core) core->Terminate();
        core.reset();
        FakeIrisLibrary::Instance().Reset();
        FakeFpLibrary::Instance().Reset();
        appData.reset();
    }

    std::shared_ptr<CManualClock> clock = std::make_shared<CManualClock>(static_cast<int64_t>(std::time(nullptr)));
    XmlListener dm;
    int configPort = 0;
    std::unique_ptr<TestAppData> appData;
    std::unique_ptr<CNavikVdm> core;
    std::unique_ptr<XmlPeer> dmPeer;
    std::string connectDocument;
};

struct LossCase {
    int heartBeat;      // the DM's value
    int intervalS;      // Ping interval: half of it, at least 1 s
    int pingsBeforeLoss;
    int64_t lostAtS;    // first Ping wake-up past the loss limit max(10 x interval, 300)
};

class PingLossTest : public CoreTest, public ::testing::WithParamInterface<LossCase> {};

// A silent DM: Pings every interval of the clock, the loss strictly after the limit, one reconnect
// 1 s after it; the unanswered Pings' ids are dropped by the clean-up at 300 s, not before.
TEST_P(PingLossTest, SilentDmIsLostAfterTheLimitAndReconnected) {
    const LossCase c = GetParam();
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    Start("Fingerprint = 0\nIris = 0\n");
    const int64_t start = clock->NowMs();
    ConnectResponse(c.heartBeat);
    std::string ping = NextDm("Ping");
    ASSERT_FALSE(ping.empty());
    const std::string firstId = RequestIdOf(ping);
    const int channel = core->GetDmSocket().GetChannelId();
    EXPECT_EQ(core->GetDmSocket().FindSentRequestId(channel, firstId), MID_Ping);
    int pings = 1;
    while (clock->NowMs() - start < c.lostAtS * 1000LL) {
        // The heartbeat and the clean-up wait on the clock.
        ASSERT_TRUE(clock->AwaitPendingWaits(2, 5000));
        if ((clock->NowMs() - start) / 1000 == 290) {
            EXPECT_EQ(core->GetDmSocket().FindSentRequestId(channel, firstId), MID_Ping);
        }
        clock->Advance(c.intervalS * 1000LL);
        if (clock->NowMs() - start < c.lostAtS * 1000LL) {
            ASSERT_FALSE(NextDm("Ping").empty()) << "at " << (clock->NowMs() - start) / 1000 << " s";
            ++pings;
        }
        if ((clock->NowMs() - start) / 1000 == 300) {
            // The clean-up ran at 300 s: the first Ping's id (sent at 0 s) is gone.
            for (int i = 0; i < 500 && core->GetDmSocket().FindSentRequestId(channel, firstId) == MID_Ping; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(core->GetDmSocket().FindSentRequestId(channel, firstId), MID_Unknown);
        }
    }
    EXPECT_EQ(pings, c.pingsBeforeLoss);
    ASSERT_TRUE(dmPeer->ClosedByPeer(5000));
    EXPECT_FALSE(core->IsDmConnected());
    // The reconnect waits 1 s of the clock.
    EXPECT_EQ(dm.Accept(300), -1);
    ASSERT_TRUE(clock->AwaitPendingWaits(2, 5000));
    clock->Advance(1000);
    ConnectDm();
    EXPECT_TRUE(core->IsDmConnected());
}

INSTANTIATE_TEST_SUITE_P(Heartbeats, PingLossTest,
                         ::testing::Values(LossCase{20, 10, 31, 310},    // limit 300 s
                                           LossCase{9, 4, 76, 304},      // half of an odd value
                                           // The largest value a DM can send: no overflow.
                                           LossCase{2147483647, 1073741823, 11, 11811160053LL},
                                           LossCase{120, 60, 11, 660},   // limit 600 s
                                           LossCase{1, 1, 301, 301}),   // 0 s asked, 1 s kept
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                             return "HeartBeat" + std::to_string(info.param.heartBeat);
                         });

// A DM that answers keeps the connection however long the clock runs.
TEST_F(CoreTest, AnsweringDmIsKept) {
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    Start("Fingerprint = 0\nIris = 0\n");
    ConnectResponse(20);
    const int channel = core->GetDmSocket().GetChannelId();
    for (int i = 0; i < 40; ++i) {
        const std::string ping = NextDm("Ping");
        ASSERT_FALSE(ping.empty()) << i;
        Answer(ping);
        // A real DM's answer arrives within milliseconds of a 10 s heartbeat. The manual clock
        // moves on as fast as this loop runs, so the clock waits until the service has read the
        // answer (its Ping is no longer awaited); otherwise a service thread that lags a few
        // milliseconds behind would see minutes of the clock pass without an answer.
        for (int polls = 0; polls < 1000 && core->GetDmSocket().FindSentRequestId(channel, RequestIdOf(ping)) == MID_Ping;
             ++polls)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(core->GetDmSocket().FindSentRequestId(channel, RequestIdOf(ping)), MID_Unknown) << i;
        ASSERT_TRUE(clock->AwaitPendingWaits(2, 5000));
        clock->Advance(10000);
    }
    EXPECT_TRUE(core->IsDmConnected());
}

std::string Attribute(const std::string& document, const std::string& name) {
    const std::string key = name + "=\"";
    const size_t at = document.find(key);
    if (at == std::string::npos) return "<none>";
    return document.substr(at + key.size(), document.find('"', at + key.size()) - at - key.size());
}

// The heartbeat's first line names the interval the Pings actually keep: half the DM's value, at
// least a second.
TEST_F(CoreTest, PingIntervalIsLoggedAsKept) {
    struct {
        int heartBeat;
        int intervalMs;
    } const cases[] = {{0, 1000}, {1, 1000}, {3, 1000}, {9, 4000}};
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    for (const auto& c : cases) {
        LogCapture log;
        Start("Fingerprint = 0\nIris = 0\n");
        ConnectResponse(c.heartBeat);
        ASSERT_FALSE(NextDm("Ping").empty()) << c.heartBeat;
        ASSERT_EQ(core->Terminate(), 1);
        core.reset();
        const std::string text = log.Read("TessikVdm");
        EXPECT_NE(text.find("INFO   : CNavikVdm::CPing::run: Start sending Ping message to Device Manager every: " +
                            std::to_string(c.intervalMs) + " milliseconds."),
                  std::string::npos)
            << c.heartBeat;
        EXPECT_EQ(text.find("every: 0 milliseconds"), std::string::npos) << c.heartBeat;
    }
}

// A DM that closes the connection is lost at once, however long the heartbeat it asked for: the
// heartbeat thread's wait does not hold the loss up. The clock stands still until the reconnect's
// 1 s wait, so nothing here waits for a Ping interval to pass. A device added after the loss is
// announced to the new connection's ConnectResponse, not before it.
class DmCloseTest : public CoreTest, public ::testing::WithParamInterface<int> {};

TEST_P(DmCloseTest, ClosedDmIsLostAtOnceAndReconnected) {
    LogCapture log;
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    FakeIrisLibrary::Instance().Reset();
    FakeIrisLibrary::Instance().SetConnected(false);
    Start("Fingerprint = 0\nIris = 1\n");
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    auto nextDeviceManager = [&controller]() -> std::string {
        for (std::string document = controller.Read(5000); !document.empty(); document = controller.Read(5000)) {
            if (document.find("<DeviceManager ") != std::string::npos) return Attribute(document, "deviceManagerURI");
        }
        return "<no event>";
    };
    const std::string uri = nextDeviceManager();
    ASSERT_EQ(uri, "127.0.0.1:" + std::to_string(dm.port()));
    ConnectResponse(GetParam());
    ASSERT_FALSE(NextDm("Ping").empty());
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // heartbeat, clean-up and detection wait on the clock

    dmPeer->Close();
    // A controller that connects while the connect task runs hears of the DM twice: when it
    // connects and from the task.
    std::string lostURI = nextDeviceManager();
    if (lostURI == uri) lostURI = nextDeviceManager();
    EXPECT_EQ(lostURI, "");
    EXPECT_FALSE(core->IsDmConnected());
    // The reconnect waits 1 s of the clock, not the heartbeat's interval.
    EXPECT_EQ(dm.Accept(300), -1);
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // clean-up, detection and the reconnect
    clock->Advance(1000);
    ASSERT_NO_FATAL_FAILURE(ConnectDm());
    EXPECT_TRUE(core->IsDmConnected());
    EXPECT_EQ(nextDeviceManager(), uri);

    // The iris unit plugged in and added before the DM answers the new Connect.
    FakeIrisLibrary::Instance().SetConnected(true);
    ASSERT_TRUE(clock->AwaitPendingWaits(2, 5000));  // clean-up and detection
    clock->Advance(60000);
    std::string deviceURI;
    for (int polls = 0; polls < 500 && deviceURI.empty(); ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        deviceURI = core->GetDeviceURI(1);
    }
    ASSERT_NE(deviceURI, "");
    EXPECT_EQ(NextDm("Arrival", 300), "") << "Arrival before the ConnectResponse";
    ConnectResponse(GetParam());
    EXPECT_EQ(Attribute(NextDm("Arrival"), "deviceURI"), deviceURI);

    ASSERT_EQ(core->Terminate(), 1);
    const std::string text = log.Read("TessikVdm");
    const std::string lost = "WARNING: CNavikVdm::HandleDmConnectionLost: Connection lost with Device Manager.";
    const size_t first = text.find(lost);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(lost, first + 1), std::string::npos) << "lost more than once";
}

INSTANTIATE_TEST_SUITE_P(Heartbeats, DmCloseTest, ::testing::Values(2147483647, 120));

// How many threads of this process the system shows under `name`.
int ThreadsNamed(const std::string& name) {
    int count = 0;
    for (const platform::ThreadInfo& info : platform::ProcessThreads()) count += info.name == name;
    return count;
}

// Waits (up to 5 s) until the system shows `count` threads named `name`.
bool AwaitThreadsNamed(const std::string& name, int count) {
    for (int polls = 0; polls < 500; ++polls) {
        if (ThreadsNamed(name) == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The heartbeat, detection and clean-up run as threads of the runtime under their own names:
// each is started with the runtime's log lines, shown by the system, and ended and joined at
// termination; the pool's workers and the two channels' loops are named as well.
TEST_F(CoreTest, BackgroundThreadsAreNamedRuntimeThreads) {
    LogCapture log;
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    Start("Fingerprint = 1\nIris = 0\n");
    EXPECT_TRUE(AwaitThreadsNamed("CDetectDevices", 1));
    EXPECT_EQ(ThreadsNamed("CPing"), 0);  // not before the DM's ConnectResponse
    ConnectResponse(20);
    EXPECT_TRUE(AwaitThreadsNamed("CPing", 1));
    EXPECT_TRUE(AwaitThreadsNamed("CCleanRequestId", 1));  // the system keeps 15 bytes
    // A thread takes its creator's name until it names itself: a thread just started from a pool
    // worker shows that worker's name for a moment, so each count is awaited.
    for (const char* name : {"pool-1", "pool-2", "pool-3", "pool-4", "pool-dispatch", "sk-DM", "sk-Config"}) {
        const bool found = AwaitThreadsNamed(name, 1);
        std::string listed;
        for (const platform::ThreadInfo& info : platform::ProcessThreads()) listed += info.name + ", ";
        EXPECT_TRUE(found) << name << " in " << listed;
    }
    ASSERT_EQ(core->Terminate(), 1);
    for (const char* name : {"CPing", "CDetectDevices", "CCleanRequestId"}) EXPECT_EQ(ThreadsNamed(name), 0) << name;
    const std::string text = log.Read("TessikVdm");
    for (const std::string name : {"CPing", "CDetectDevices", "CCleanRequestIds"}) {
        EXPECT_NE(text.find("DBG2   : thread_starter: " + name + ": started, tid:"), std::string::npos) << name;
        EXPECT_NE(text.find("DBG2   : thread_starter: " + name + ": ended, tid:"), std::string::npos) << name;
        EXPECT_NE(text.find("DBG2   : Thread::join: " + name + ": joined thread successfully"), std::string::npos)
            << name;
    }
}

// With neither modality enabled the detection thread ends at once, without a detection pass.
TEST_F(CoreTest, DetectionThreadEndsWithoutModalities) {
    LogCapture log;
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    Start("Fingerprint = 0\nIris = 0\n");
    ASSERT_EQ(core->Terminate(), 1);
    const std::string text = log.Read("TessikVdm");
    EXPECT_NE(text.find("thread_starter: CDetectDevices: ended, tid:"), std::string::npos) << text;
    EXPECT_EQ(text.find("CheckConnected"), std::string::npos) << text;
}

// The iris unit: found with two cameras, added, announced, calibrated; unplugged: removed and
// reported gone; plugged in again: found at the next detection pass.
TEST_F(CoreTest, IrisUnitIsAddedCalibratedLostAndFoundAgain) {
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    FakeIrisLibrary::Instance().Reset();
    Start("Fingerprint = 0\nIris = 1\n");
    ConnectResponse(20);
    const std::string arrival = NextDm("Arrival");
    ASSERT_FALSE(arrival.empty());
    EXPECT_EQ(Attribute(arrival, "deviceModel"), "Egret");
    EXPECT_NE(arrival.find("\"TwoIris\""), std::string::npos) << arrival;
    const std::string uri = core->GetDeviceURI(1);
    EXPECT_EQ(Attribute(arrival, "deviceURI"), uri);
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Main_Initialize"), 1);

    // Calibration: of the iris unit only, never during a capture, -4 when the library fails.
    EXPECT_EQ(core->CalibrateDeviceCallback(0), -2);
    EXPECT_EQ(core->CalibrateDeviceCallback(1), 0);
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Capture_Calibration(3)"), 1);
    core->statusLock.lock();
    core->captureInterlock.fpCapturing = 1;
    core->statusLock.unlock();
    EXPECT_EQ(core->CalibrateDeviceCallback(1), -3);
    core->statusLock.lock();
    core->captureInterlock.fpCapturing = 0;
    core->statusLock.unlock();
    FakeIrisLibrary::Instance().SetCalibrationResult(ZARN_ERR_IRIS_CALIBRATION);
    EXPECT_EQ(core->CalibrateDeviceCallback(1), -4);

    // A controller that connects learns of the unit.
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    std::string info;
    for (int i = 0; i < 5 && info.find("deviceType=\"1\"") == std::string::npos; ++i) info = controller.Read(3000);
    EXPECT_EQ(Attribute(info, "deviceURI"), uri) << info;

    // Unplugged: DM Removal with the unit's URI, the controller hears it gone.
    FakeIrisLibrary::Instance().SetConnected(false);
    const std::string removal = NextDm("Removal");
    EXPECT_EQ(Attribute(removal, "deviceURI"), uri) << removal;
    std::string gone;
    for (int i = 0; i < 5 && gone.find("<Removal") == std::string::npos; ++i) gone = controller.Read(3000);
    EXPECT_NE(gone.find("deviceType=\"1\""), std::string::npos) << gone;
    EXPECT_EQ(core->GetDeviceURI(1), "");

    // Plugged in again: the next detection pass adds it.
    FakeIrisLibrary::Instance().SetConnected(true);
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // heartbeat, clean-up, detection
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    const std::string again = NextDm("Arrival");
    ASSERT_FALSE(again.empty());
    EXPECT_NE(Attribute(again, "deviceURI"), "<none>");

    // The controller's Stop: only modalities 0 and 1; the unit, still plugged in, is reported
    // again without a URI.
    while (!controller.Read(300).empty()) {
    }
    EXPECT_EQ(core->StopDeviceCallback(2, 0), 0);
    EXPECT_EQ(core->StopDeviceCallback(1, 0), 1);
    EXPECT_EQ(Attribute(NextDm("Removal"), "deviceURI"), Attribute(again, "deviceURI"));
    std::string report;
    for (int i = 0; i < 8 && report.find("deviceURI=\"\"") == std::string::npos; ++i) report = controller.Read(3000);
    EXPECT_NE(report.find("<DeviceInfo "), std::string::npos) << report;
    EXPECT_NE(report.find("deviceType=\"1\""), std::string::npos) << report;
}

// One camera of two is no iris unit; without an iris device object a found unit is reported as
// failed to start.
size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The next controller documents within `ms`, as one text.
std::string ControllerDocuments(XmlPeer& controller, int ms) {
    std::string all;
    for (std::string document = controller.Read(ms); !document.empty(); document = controller.Read(ms)) all += document;
    return all;
}

// A hand on the scanner's glass: its add runs out of time. A controller that connects during the
// add is told both devices at once; afterwards the scanner is not added again while the hand lies
// there, only looked at, first a detection interval after the add and then at every pass, while
// the iris unit calibrates; a look that finds the platen empty adds the scanner. A controller's
// Start adds it at once whatever lies on it; seen absent, it is added as any other scanner.
TEST_F(CoreTest, HandOnTheScannerIsWaitedForWithoutBlockingTheIrisUnit) {
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    fakezarn::FpScript script;
    script.handOnPlaten = true;
    FakeFpLibrary::Instance().Reset(script);
    CFpDevice::SetConnectLimitMs(6000);
    FakeFpLibrary& fp = FakeFpLibrary::Instance();
    Start("Fingerprint = 1\nIris = 1\n");
    ConnectResponse(20);
    for (int i = 0; i < 1000 && fp.Count("Zarn_Capture_Calibration()") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(fp.Count("Zarn_Capture_Calibration()"), 1);

    // The add holds the core object: the controller learns what is known, before the add ends.
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    std::string told;
    for (int i = 0; i < 20 && Occurrences(told, "<DeviceInfo ") < 2; ++i) told += controller.Read(100);
    EXPECT_EQ(fp.Count("Zarn_Capture_Abort()"), 0) << "the add ended first";
    EXPECT_NE(told.find("deviceModel=\"PloverA\" deviceType=\"0\"><DeviceInfo deviceURI=\"\" isDeviceConnecting=\"true\""),
              std::string::npos) << told;
    // The iris unit, added before the scanner or after it.
    EXPECT_NE(told.find("deviceModel=\"Egret\" deviceType=\"1\"><DeviceInfo "), std::string::npos) << told;
    const std::string irisArrival = NextDm("Arrival", 15000);
    EXPECT_EQ(Attribute(irisArrival, "deviceModel"), "Egret");

    // Out of time: no add again before the platen is empty.
    std::string failed;
    for (int i = 0; i < 50 && failed.find("isStartDeviceFailed=\"true\"") == std::string::npos; ++i)
        failed += controller.Read(200);
    ASSERT_NE(failed.find("isStartDeviceFailed=\"true\""), std::string::npos) << failed;
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 1);
    // The first pass after the add only reports; the look comes one interval later.
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // heartbeat, clean-up, detection
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 1);
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    for (int i = 0; i < 500 && fp.Count("Zarn_Main_Initialize(502)") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 2);
    // While the look runs, the iris unit calibrates and the controller is answered at once.
    EXPECT_EQ(core->CalibrateDeviceCallback(1), 0);
    // A controller connecting during the look hears of the scanner without the library being
    // asked while the look has it.
    controller.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int probes = fp.Count("Zarn_Main_GetConnectedScanner");
    XmlPeer second;
    ASSERT_TRUE(second.Connect(configPort));
    const std::string report = ControllerDocuments(second, 300);
    EXPECT_NE(report.find("deviceModel=\"PloverA\" deviceType=\"0\"><DeviceInfo deviceURI=\"\""), std::string::npos)
        << report;
    EXPECT_EQ(fp.Count("Zarn_Main_GetConnectedScanner"), probes);
    // The look runs out of time as the add did (the detection thread waits again): no add.
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 10000));
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 2);
    EXPECT_EQ(core->GetDeviceURI(0), "");

    // The hand lifted: the next look finds the platen empty, and the scanner is added.
    fp.SetHandOnPlaten(false);
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    const std::string fpArrival = NextDm("Arrival");
    ASSERT_FALSE(fpArrival.empty());
    EXPECT_EQ(Attribute(fpArrival, "deviceModel"), "PloverA");
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 4);  // the look's and the add's
    CFpDevice::SetConnectLimitMs(CFpDevice::kConnectLimitMs);
}

// A scanner plugged in during a capture of the other modality is not started before the capture
// has ended: the detection pass that finds it leaves it, the first pass after the capture adds it.
TEST_F(CoreTest, ScannerFoundDuringTheOtherCaptureIsAddedOnlyAfterIt) {
    FakeFpLibrary::Install();
    FakeFpLibrary::Instance().Reset();
    FakeIrisLibrary::Install();
    FakeIrisLibrary::Instance().Reset();
    FakeIrisLibrary& iris = FakeIrisLibrary::Instance();
    iris.SetConnected(false);
    Start("Fingerprint = 1\nIris = 1\n");
    ConnectResponse(20);
    ASSERT_EQ(Attribute(NextDm("Arrival"), "deviceModel"), "PloverA");
    // A pass that finds nothing changed tells the controller nothing.
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    ControllerDocuments(controller, 300);
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // heartbeat, clean-up, detection
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));
    const std::string told = ControllerDocuments(controller, 300);
    EXPECT_EQ(told.find("deviceType="), std::string::npos) << told;

    auto setFpCapturing = [this](int value) {
        core->statusLock.lock();
        core->captureInterlock.fpCapturing = value;
        core->statusLock.unlock();
    };
    setFpCapturing(1);
    iris.SetConnected(true);
    const int probes = iris.Count("Zarn_IRIS_Main_GetConnectedDevice");
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // the pass is over
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // an add it posted has begun
    EXPECT_GT(iris.Count("Zarn_IRIS_Main_GetConnectedDevice"), probes);
    EXPECT_EQ(iris.Count("Zarn_IRIS_Main_Initialize"), 0);
    EXPECT_EQ(core->GetDeviceURI(1), "");

    setFpCapturing(0);
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    EXPECT_EQ(Attribute(NextDm("Arrival"), "deviceModel"), "Egret");
}

// A look at a covered platen streams the scanner as an add does: it waits while the iris unit
// captures and runs at the first pass after the capture.
TEST_F(CoreTest, PlatenIsNotLookedAtDuringAnIrisCapture) {
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    FakeIrisLibrary::Instance().Reset();
    fakezarn::FpScript script;
    script.handOnPlaten = true;
    FakeFpLibrary::Instance().Reset(script);
    FakeFpLibrary& fp = FakeFpLibrary::Instance();
    CFpDevice::SetConnectLimitMs(1000);
    Start("Fingerprint = 1\nIris = 1\n");
    ConnectResponse(20);
    ASSERT_EQ(Attribute(NextDm("Arrival"), "deviceModel"), "Egret");
    for (int i = 0; i < 1000 && fp.Count("Zarn_Capture_Abort()") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(fp.Count("Zarn_Capture_Abort()"), 1);  // the add ran out of time
    auto setIrisCapturing = [this](int value) {
        core->statusLock.lock();
        core->captureInterlock.irisCapturing = value;
        core->statusLock.unlock();
    };
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    ControllerDocuments(controller, 300);
    // Two passes: the first only reports; at the second a look falls due, but the iris unit
    // captures. Neither tells the controller anything new.
    setIrisCapturing(1);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // heartbeat, clean-up, detection
        clock->Advance(60000);
        Answer(NextDm("Ping"));
    }
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 1);
    const std::string told = ControllerDocuments(controller, 300);
    EXPECT_EQ(told.find("deviceType=\"0\""), std::string::npos) << told;

    setIrisCapturing(0);
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    for (int i = 0; i < 500 && fp.Count("Zarn_Main_Initialize(502)") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fp.Count("Zarn_Main_Initialize(502)"), 2);
    CFpDevice::SetConnectLimitMs(CFpDevice::kConnectLimitMs);
}

// A scanner whose connect fails at once, not for lack of time, is tried again at the next pass:
// only a connect that ran out of time makes detection wait for an empty platen.
TEST_F(CoreTest, ScannerFailingAtOnceIsTriedAgainAtTheNextPass) {
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    fakezarn::FpScript script;
    script.calibrationResult = ZARN_ERR_CAMERA_STEP;
    FakeFpLibrary::Instance().Reset(script);
    FakeFpLibrary& fp = FakeFpLibrary::Instance();
    Start("Fingerprint = 1\nIris = 0\n");
    ConnectResponse(20);
    for (int i = 0; i < 1000 && fp.Count("Zarn_Capture_Calibration()") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(fp.Count("Zarn_Capture_Calibration()"), 1);
    ASSERT_TRUE(clock->AwaitPendingWaits(3, 5000));  // heartbeat, clean-up, detection
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the failed add has ended
    EXPECT_EQ(core->GetDeviceURI(0), "");
    clock->Advance(60000);
    Answer(NextDm("Ping"));
    for (int i = 0; i < 500 && fp.Count("Zarn_Capture_Calibration()") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fp.Count("Zarn_Capture_Calibration()"), 2);
    EXPECT_EQ(fp.Count("Zarn_Capture_RegisterCallbackPreviewImage"), 2);  // an add, not a look
}

// A controller that connects while a removal holds the core object (it waits for the capture of
// the other modality to end) is told at once of the device that stays and of the client on it.
class KnownClientTest : public CoreTest, public ::testing::WithParamInterface<int> {};

TEST_P(KnownClientTest, ControllerConnectingDuringARemovalHearsOfTheClientOnTheOtherDevice) {
    const int modality = GetParam();  // the device with a client; the other one is removed
    const std::string type = "deviceType=\"" + std::to_string(modality) + "\">";
    ASSERT_NO_FATAL_FAILURE(StartBothAnnounced());
    const std::string uri = core->GetDeviceURI(modality);
    ASSERT_NE(uri, "");

    // An enrolment client on the device, announced to the controller of the moment.
    XmlPeer first;
    ASSERT_TRUE(first.Connect(configPort));
    ControllerDocuments(first, 300);
    XmlPeer client;
    ASSERT_TRUE(client.Connect(PortOf(uri)));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    const std::string clientEvent = type + "<Client clientURI=\"127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + "\"";
    std::string announced;
    for (int i = 0; i < 30 && announced.find(clientEvent) == std::string::npos; ++i) announced += first.Read(100);
    ASSERT_NE(announced.find(clientEvent), std::string::npos) << announced;
    first.Close();

    // The other device's removal waits for this modality's capture, holding the core object.
    core->statusLock.lock();
    (modality == 0 ? core->captureInterlock.fpCapturing : core->captureInterlock.irisCapturing) = 1;
    core->statusLock.unlock();
    ASSERT_EQ(core->StopDeviceCallback(1 - modality, 1), 1);
    ASSERT_FALSE(NextDm("Removal").empty());
    ASSERT_TRUE(clock->AwaitPendingWaits(4, 5000));  // heartbeat, clean-up, detection, the removal's wait
    XmlPeer second;
    ASSERT_TRUE(second.Connect(configPort));
    const std::string report = ControllerDocuments(second, 1500);
    EXPECT_NE(report.find(type + "<DeviceInfo deviceURI=\"" + uri + "\""), std::string::npos) << report;
    EXPECT_NE(report.find(clientEvent), std::string::npos) << report;

    // The capture ends, and with it the removal.
    core->statusLock.lock();
    core->captureInterlock.fpCapturing = core->captureInterlock.irisCapturing = 0;
    core->statusLock.unlock();
    clock->Advance(500);
}

INSTANTIATE_TEST_SUITE_P(Modalities, KnownClientTest, ::testing::Values(0, 1));

TEST_F(CoreTest, IrisUnitNeedsBothCamerasAndADeviceObject) {
    FakeFpLibrary::Install();
    FakeIrisLibrary::Install();
    fakezarn::IrisScript one;
    one.connectedCount = 1;
    FakeIrisLibrary::Instance().Reset(one);
    Start("Fingerprint = 0\nIris = 1\n", 1);
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    std::string report;
    for (int i = 0; i < 5 && report.find("<Removal") == std::string::npos; ++i) report = controller.Read(3000);
    EXPECT_NE(report.find("deviceType=\"1\""), std::string::npos) << report;
    EXPECT_EQ(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Main_Initialize"), 0);
    EXPECT_GE(FakeIrisLibrary::Instance().Count("Zarn_IRIS_Main_GetConnectedDevice"), 1);

    // Both cameras, but no iris device object in the program.
    core->Terminate();
    FakeIrisLibrary::Instance().Reset();
    core = std::make_unique<CNavikVdm>();
    core->SetClock(clock);
    ASSERT_EQ(core->Initialize(), 1);
    ConnectDm();
    XmlPeer second;
    ASSERT_TRUE(second.Connect(configPort));
    // The first detection pass runs beside the connection: its report may come before the
    // controller's Config or after it.
    std::vector<std::string> documents;
    auto document = [&](const char* text) -> std::string {
        for (int i = 0; i < 8; ++i) {
            for (const std::string& d : documents)
                if (d.find(text) != std::string::npos) return d;
            documents.push_back(second.Read(3000));
        }
        return {};
    };
    ASSERT_NE(document("<Config "), "");
    ASSERT_TRUE(clock->AwaitPendingWaits(1, 5000));  // detection; the next pass tries again
    clock->Advance(1000);
    const std::string failed = document("isStartDeviceFailed=\"true\"");
    EXPECT_NE(failed.find("deviceType=\"1\""), std::string::npos) << failed;
    EXPECT_EQ(core->GetDeviceURI(1), "");
}

}  // namespace

namespace {

// A fingerprint removal waits, with the object lock held, until the iris capture ends; a capture
// that never ends holds it at most 120 polls of 500 ms.
TEST_F(CoreTest, RemovalWaitsForTheOtherCaptureAndNoLonger) {
    ASSERT_NO_FATAL_FAILURE(StartBothAnnounced());
    ASSERT_NE(core->GetDeviceURI(0), "");
    ASSERT_NE(core->GetDeviceURI(1), "");
    auto setIrisCapturing = [this](int value) {
        core->statusLock.lock();
        core->captureInterlock.irisCapturing = value;
        core->statusLock.unlock();
    };
    for (const bool captureEnds : {true, false}) {
        const std::string uri = core->GetDeviceURI(0);
        const int closes = FakeFpLibrary::Instance().Count("Zarn_Main_DeInitialize");
        setIrisCapturing(1);
        ASSERT_EQ(core->StopDeviceCallback(0, 1), 1);
        // The DM hears of the removal first; the device is closed once the iris capture ended.
        EXPECT_EQ(Attribute(NextDm("Removal"), "deviceURI"), uri);
        // Heartbeat, clean-up, detection and the removal's wait.
        ASSERT_TRUE(clock->AwaitPendingWaits(4, 5000));
        const int64_t start = clock->NowMs();
        for (int poll = 1; poll < CNavikVdm::kOtherCapturePolls; ++poll) {
            ASSERT_TRUE(clock->AwaitPendingWaits(4, 5000)) << poll;
            clock->Advance(500);
            if (clock->NowMs() - start >= 10000 && captureEnds) break;
        }
        ASSERT_TRUE(clock->AwaitPendingWaits(4, 5000));
        EXPECT_EQ(FakeFpLibrary::Instance().Count("Zarn_Main_DeInitialize"), closes) << "closed during the capture";
        if (captureEnds) setIrisCapturing(0);
        clock->Advance(500);
        EXPECT_EQ(core->GetDeviceURI(0), "");  // waits for the removal's end
        EXPECT_EQ(FakeFpLibrary::Instance().Count("Zarn_Main_DeInitialize"), closes + 1);
        // Back for the next round: started again (the hold is cleared by the start).
        setIrisCapturing(0);
        core->StartDeviceCallback(0);
        std::string arrival;
        while (arrival.empty()) {
            const std::string document = dmPeer->Read(5000);
            if (document.empty()) break;
            if (document.find("<Ping ") != std::string::npos) Answer(document);
            if (document.find("<Arrival ") != std::string::npos) arrival = document;
        }
        ASSERT_FALSE(arrival.empty());
    }
}

// The real clock: a wait lasts its time unless the stop flag is set, before it or while it runs.
TEST(VdmClockTest, SystemClockWaitsUntilStopped) {
    CSystemClock clock;
    EXPECT_LE(std::abs(clock.NowSeconds() - static_cast<int64_t>(std::time(nullptr))), 1);
    std::atomic<bool> stop{false};
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(clock.WaitFor(30, stop));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(30));
    stop = true;
    EXPECT_FALSE(clock.WaitFor(60000, stop));
    stop = false;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
        clock.WakeAll();
    });
    const auto waited = std::chrono::steady_clock::now();
    EXPECT_FALSE(clock.WaitFor(60000, stop));
    EXPECT_LT(std::chrono::steady_clock::now() - waited, std::chrono::seconds(30));
    stopper.join();
}

// The manual clock: a wait ends when the clock has been moved past its end, or when stopped; a
// negative wait is no wait.
TEST(VdmClockTest, ManualClockMovesOnlyWhenAdvanced) {
    CManualClock clock(100);
    EXPECT_EQ(clock.NowSeconds(), 100);
    EXPECT_EQ(clock.NowMs(), 100000);
    std::atomic<bool> stop{false};
    EXPECT_TRUE(clock.WaitFor(-5, stop));
    EXPECT_FALSE(clock.AwaitPendingWaits(1, 20));
    std::atomic<int> ended{0};
    std::thread waiter([&] { ended = clock.WaitFor(1500, stop) ? 1 : 2; });
    ASSERT_TRUE(clock.AwaitPendingWaits(1, 5000));
    clock.Advance(1499);
    EXPECT_EQ(clock.NowMs(), 101499);
    EXPECT_TRUE(clock.AwaitPendingWaits(1, 20));
    EXPECT_EQ(ended.load(), 0);
    clock.Advance(1);
    waiter.join();
    EXPECT_EQ(ended.load(), 1);
    EXPECT_EQ(clock.NowSeconds(), 101);

    std::thread stopped([&] { ended = clock.WaitFor(1000, stop) ? 1 : 2; });
    ASSERT_TRUE(clock.AwaitPendingWaits(1, 5000));
    stop = true;
    clock.WakeAll();
    stopped.join();
    EXPECT_EQ(ended.load(), 2);
    EXPECT_EQ(clock.NowMs(), 101500);
}

}  // namespace
