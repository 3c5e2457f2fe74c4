// The controller's dialog model against the service's real configuration channel on loopback.
#include "NavikVdmControllerApp.h"
#include "NavikVdmControllerDlg.h"

#include "ControllerTestSupport.h"
#include "NetTestSupport.h"
#include "ServiceDouble.h"
#include "runtime/Log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace {

const char* kConnectFailure = "Cannot connect to Tessik Biometrics Vdm.";

class ControllerDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(base, 0);
        boxes.SetPresenter(&presenter);
        dialog = std::make_unique<CNavikVdmControllerDlg>(appData.ConfigPath(), boxes);
        dialog->OnInitDialog();
        // Every change of the status line, in order, as the window would show it.
        dialog->SetWake([this] {
            const std::set<int> dirty = dialog->TakeDirty();
            if (dirty.count(IDC_STATUS) == 0) return;
            std::lock_guard lock(statusMutex);
            const std::string text = dialog->Text(IDC_STATUS);
            if (statuses.empty() || statuses.back() != text) statuses.push_back(text);
        });
    }
    void TearDown() override {
        dialog.reset();
        service.reset();
    }

    void StartService(int port) {
        service = std::make_unique<ServiceDouble>();
        ASSERT_TRUE(service->Listen(port));
    }
    // Clicks Connect and waits for the port walk to end.
    void ClickConnect() {
        ASSERT_TRUE(dialog->Click(IDC_CONNECT));
        dialog->WaitForConnect();
    }
    void Connect() {
        ClickConnect();
        ASSERT_TRUE(dialog->IsConnected());
        // The service's events fill the window.
        ASSERT_TRUE(WaitUntil([&] {
            return dialog->Text(IDC_VDM_VERSION) == "3.0.0" && dialog->Text(IDC_DM_URI) == "127.0.0.1:4401" &&
                   dialog->Enabled(IDC_FP_STOP) && dialog->Enabled(IDC_CALIBRATION);
        }));
    }
    // Disconnects, waits until the service has seen it, and connects again.
    void Reconnect() {
        ASSERT_TRUE(dialog->Click(IDC_DISCONNECT));
        ASSERT_TRUE(WaitUntil([&] { return service->Channel().GetConnectedChannelCount() == 0; }));
        Connect();
    }
    std::vector<std::string> Statuses() {
        std::lock_guard lock(statusMutex);
        return statuses;
    }
    void ClearStatuses() {
        std::lock_guard lock(statusMutex);
        statuses.clear();
    }
    std::string Connecting(int port) {
        return "Connecting to Tessik Biometrics VDM on URI 127.0.0.1:" + std::to_string(port);
    }
    // True when the window is in its not-connected state.
    void ExpectNotConnected(const std::string& what) {
        EXPECT_EQ(dialog->Text(IDC_STATUS), "Not Connected To Tessik Biometrics VDM") << what;
        EXPECT_TRUE(dialog->Enabled(IDC_CONNECT)) << what;
        EXPECT_FALSE(dialog->Enabled(IDC_DISCONNECT)) << what;
        for (int id : {IDC_UPDATE_DM, IDC_UPDATE_VDM, IDC_FP_START, IDC_FP_STOP, IDC_FP_RESTART, IDC_IRIS_START,
                       IDC_IRIS_STOP, IDC_IRIS_RESTART, IDC_CALIBRATION, IDC_DM_IP, IDC_DM_PORT, IDC_VDM_LISTEN_PORT}) {
            EXPECT_FALSE(dialog->Enabled(id)) << what << " control " << id;
        }
        for (int id : {IDC_DM_URI, IDC_DM_IP, IDC_VDM_NAME, IDC_VDM_LISTEN_PORT, IDC_FP_MODEL, IDC_IRIS_URI}) {
            EXPECT_EQ(dialog->Text(id), "") << what << " control " << id;
        }
    }
    std::vector<ui::BoxRequest> Shown(const std::string& caption) {
        std::vector<ui::BoxRequest> all = presenter.Shown(), matching;
        for (const auto& box : all) {
            if (box.caption == caption) matching.push_back(box);
        }
        return matching;
    }

    const int base = nettest::FreePortRange(6);
    ControllerAppData appData{"LOG_LEVEL = NONE\nVdmConnectionIP = 127.0.0.1\nVdmConnectionPort = 0\n"
                              "VdmConnectionMinPort = " + std::to_string(base) +
                              "\nVdmConnectionMaxPort = " + std::to_string(base + 4) + "\n"};
    ui::ScriptedPresenter presenter;
    ui::MessageBoxes boxes;
    std::unique_ptr<CNavikVdmControllerDlg> dialog;
    std::unique_ptr<ServiceDouble> service;
    std::mutex statusMutex;
    std::vector<std::string> statuses;
};

}  // namespace

TEST_F(ControllerDialogTest, ConnectWalksThePortsAndShowsTheService) {
    EXPECT_EQ(dialog->Text(IDC_VDM_CONNECTION_IP), "127.0.0.1");
    EXPECT_EQ(dialog->Text(IDC_VDM_CONNECTION_PORT), "0");
    ExpectNotConnected("at start");
    StartService(base + 2);
    // Leading zeros go when the ports are written back.
    dialog->SetText(IDC_VDM_CONNECTION_MIN_PORT, "0" + std::to_string(base));
    Connect();
    EXPECT_EQ(Statuses(), (std::vector<std::string>{Connecting(base), Connecting(base + 1), Connecting(base + 2),
                                                    "Connected To Tessik Biometrics VDM on URI 127.0.0.1:" +
                                                        std::to_string(base + 2)}));
    const std::string config = appData.ReadConfig();
    EXPECT_NE(config.find("VdmConnectionPort = 0\n"), std::string::npos) << config;
    EXPECT_NE(config.find("VdmConnectionMinPort = " + std::to_string(base) + "\n"), std::string::npos) << config;
    EXPECT_NE(config.find("VdmConnectionMaxPort = " + std::to_string(base + 4) + "\n"), std::string::npos) << config;

    // The service's settings, its Device Manager and both devices.
    const std::pair<int, const char*> fields[] = {
        {IDC_DM_IP, "127.0.0.1"}, {IDC_DM_PORT, "4401"}, {IDC_DM_MIN_PORT, "4401"}, {IDC_DM_MAX_PORT, "4410"},
        {IDC_DM_RETRY_INTERVAL, "3"}, {IDC_DM_SLEEP_TIME, "10"}, {IDC_VDM_NAME, "Tessik Biometric VDM"},
        {IDC_VDM_LISTEN_PORT, "0"}, {IDC_VDM_LISTEN_MIN_PORT, "7901"}, {IDC_VDM_LISTEN_MAX_PORT, "7905"},
        {IDC_FP_MODEL, "PloverA"}, {IDC_FP_URI, "127.0.0.1:5101"}, {IDC_IRIS_MODEL, "Egret"},
        {IDC_IRIS_URI, "127.0.0.1:5102"}};
    for (const auto& [id, text] : fields) EXPECT_EQ(dialog->Text(id), text) << id;
    for (int id : {IDC_DISCONNECT, IDC_UPDATE_DM, IDC_UPDATE_VDM, IDC_DM_IP, IDC_VDM_LISTEN_PORT, IDC_FP_STOP,
                   IDC_FP_RESTART, IDC_IRIS_STOP, IDC_IRIS_RESTART, IDC_CALIBRATION}) {
        EXPECT_TRUE(dialog->Enabled(id)) << id;
    }
    for (int id : {IDC_CONNECT, IDC_FP_START, IDC_IRIS_START, IDC_DM_MIN_PORT, IDC_VDM_NAME}) {
        EXPECT_FALSE(dialog->Enabled(id)) << id;
    }
    EXPECT_TRUE(presenter.Shown().empty());

    // Disconnect resets the window without a box.
    ASSERT_TRUE(dialog->Click(IDC_DISCONNECT));
    ExpectNotConnected("after Disconnect");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(presenter.Shown().empty());
}

TEST_F(ControllerDialogTest, BadConnectionInputIsRefusedOrFails) {
    StartService(base + 2);
    const std::string lo = std::to_string(base), hi = std::to_string(base + 4);
    struct Case {
        std::string port, low, high;
        std::string caption, text;
        std::vector<std::string> statuses;  // after the first
    } const cases[] = {
        {"", lo, hi, "Warning   ", "VDM Connection Port should not be empty.", {}},
        {"0", "", hi, "Warning   ", "VDM Connection Port Range's value cannot be empty.", {}},
        {"0", lo, "", "Warning   ", "VDM Connection Port Range's value cannot be empty.", {}},
        {"0", "0", hi, "Warning   ", "VDM Connection Port Range's value cannot be 0.", {}},
        {"0", lo, "x", "Warning   ", "VDM Connection Port Range's value cannot be 0.", {}},
        {"0", hi, lo, "Warning   ", "VDM Connection Min Port cannot be greater than VDM Connection Max Port.", {}},
        {"0", lo, std::to_string(base + 10), "Warning   ", "VDM Connection Port Range should be no more than 10.", {}},
        // A port given alone is tried once, even with a range that would reach the service.
        {std::to_string(base + 1), lo, hi, "Connection Failure   ", kConnectFailure,
         {Connecting(base + 1), "Not Connected To Tessik Biometrics VDM"}},
        // Ports outside 1..65535 are failed attempts, never cut down to another port.
        {std::to_string(65536 + base + 2), lo, hi, "Connection Failure   ", kConnectFailure,
         {Connecting(65536 + base + 2), "Not Connected To Tessik Biometrics VDM"}},
        {"0", "70000", "70003", "Connection Failure   ", kConnectFailure,
         {Connecting(70000), Connecting(70001), Connecting(70002), Connecting(70003),
          "Not Connected To Tessik Biometrics VDM"}},
    };
    for (const Case& c : cases) {
        const std::string what = c.port + " " + c.low + ".." + c.high;
        presenter.ClearShown();
        ClearStatuses();
        dialog->SetText(IDC_VDM_CONNECTION_PORT, c.port);
        dialog->SetText(IDC_VDM_CONNECTION_MIN_PORT, c.low);
        dialog->SetText(IDC_VDM_CONNECTION_MAX_PORT, c.high);
        ClickConnect();
        ASSERT_EQ(presenter.Shown().size(), 1u) << what;
        EXPECT_EQ(presenter.Shown()[0].caption, c.caption) << what;
        EXPECT_EQ(presenter.Shown()[0].text, c.text) << what;
        EXPECT_EQ(presenter.Shown()[0].icon, c.caption == "Warning   " ? ui::BoxIcon::Warning : ui::BoxIcon::Error);
        EXPECT_EQ(Statuses(), c.statuses) << what;
        EXPECT_FALSE(dialog->IsConnected()) << what;
        ExpectNotConnected(what);
    }
    EXPECT_EQ(service->calls.Count("ControllerConnected"), 0);

    // A port that is not a number reads as 0: the range is walked. Ten ports are allowed.
    presenter.ClearShown();
    dialog->SetText(IDC_VDM_CONNECTION_PORT, "abc");
    dialog->SetText(IDC_VDM_CONNECTION_MIN_PORT, lo);
    dialog->SetText(IDC_VDM_CONNECTION_MAX_PORT, std::to_string(base + 9));
    Connect();
    EXPECT_TRUE(presenter.Shown().empty());
}

TEST_F(ControllerDialogTest, SettingsGoToTheServiceAndComeBack) {
    StartService(base);
    Connect();
    // Bad input: nothing is sent.
    struct Case {
        int button;
        std::vector<std::pair<int, std::string>> fields;
        std::string warning;
    } const invalid[] = {
        {IDC_UPDATE_DM, {{IDC_DM_PORT, ""}}, "DM Connection Port should not be empty"},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_PORT, ""}}, "VDM Listen Port should not be empty"},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_MIN_PORT, ""}}, "VDM Listen Port Range's value cannot be empty."},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_MAX_PORT, ""}}, "VDM Listen Port Range's value cannot be empty."},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_MIN_PORT, "0"}}, "VDM Listen Port Range's value cannot be 0."},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_MAX_PORT, "0"}}, "VDM Listen Port Range's value cannot be 0."},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_MIN_PORT, "7906"}},
         "VDM Listen Min Port cannot be greater than VDM Listen Max Port."},
        {IDC_UPDATE_VDM, {{IDC_VDM_LISTEN_MAX_PORT, "7911"}}, "VDM Listen Port Range should be no more than 10."},
    };
    for (const Case& c : invalid) {
        presenter.ClearShown();
        std::vector<std::pair<int, std::string>> before;
        for (const auto& [id, text] : c.fields) {
            before.emplace_back(id, dialog->Text(id));
            dialog->SetText(id, text);
        }
        ASSERT_TRUE(dialog->Click(c.button));
        ASSERT_EQ(presenter.Shown().size(), 1u) << c.warning;
        EXPECT_EQ(presenter.Shown()[0].caption, "Warning   ");
        EXPECT_EQ(presenter.Shown()[0].text, c.warning);
        for (const auto& [id, text] : before) dialog->SetText(id, text);
    }
    service->calls.Clear();

    // Confirmation answered No: nothing is sent.
    presenter.SetScript([](const ui::BoxRequest& box) -> std::optional<ui::BoxResult> {
        return box.caption == "Confirmation   " ? ui::BoxResult::No : ui::BoxResult::Ok;
    });
    ASSERT_TRUE(dialog->Click(IDC_UPDATE_DM));
    ASSERT_TRUE(dialog->Click(IDC_UPDATE_VDM));
    presenter.SetScript(nullptr);

    // Yes: one request each, with the texts as typed, an empty one included.
    dialog->SetText(IDC_DM_IP, "dm.example");
    dialog->SetText(IDC_DM_PORT, "0");
    dialog->SetText(IDC_DM_RETRY_INTERVAL, "");
    dialog->SetText(IDC_DM_SLEEP_TIME, "20");
    ASSERT_TRUE(dialog->Click(IDC_UPDATE_DM));
    dialog->SetText(IDC_VDM_LISTEN_PORT, "0");
    dialog->SetText(IDC_VDM_LISTEN_MIN_PORT, "7901");
    dialog->SetText(IDC_VDM_LISTEN_MAX_PORT, "7910");
    ASSERT_TRUE(dialog->Click(IDC_UPDATE_VDM));
    ASSERT_TRUE(service->calls.WaitFor(6, "Config"));
    // The service refuses the empty value and applies the rest.
    EXPECT_EQ(service->calls.Calls(),
              (std::vector<std::string>{"Config DmIP=dm.example", "Config DmPort=0",
                                        "Config DmSleepTimeAfterTryingAllPorts=20", "Config VdmListenMaxPort=7910",
                                        "Config VdmListenMinPort=7901", "Config VdmListenPort=0"}));
    const auto confirmations = Shown("Confirmation   ");
    ASSERT_EQ(confirmations.size(), 4u);
    EXPECT_EQ(confirmations[2].text,
              "If you make change on IP or port, you need to restart the Tessik Biometrics VDM service to take "
              "affect.\nAre you sure want to update?");
    EXPECT_EQ(confirmations[3].text,
              "If you make change on port number, you need to restart the Tessik Biometrics VDM service to take "
              "affect.\nAre you sure want to update?");
    EXPECT_EQ(confirmations[3].buttons, ui::BoxButtons::YesNo);

    // The next connection shows the stored settings.
    Reconnect();
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_DM_IP) == "dm.example"; }));
    EXPECT_EQ(dialog->Text(IDC_DM_SLEEP_TIME), "20");
    EXPECT_EQ(dialog->Text(IDC_VDM_LISTEN_MAX_PORT), "7910");
}

TEST_F(ControllerDialogTest, DeviceButtonsCommandTheDevices) {
    StartService(base);
    Connect();
    auto waitFor = [&](int id, const std::string& text) {
        return WaitUntil([&] { return dialog->Text(id) == text; });
    };

    // Stop: the group waits, then the stopped device can be started.
    ASSERT_TRUE(dialog->Click(IDC_FP_STOP));
    ASSERT_TRUE(service->calls.WaitFor(1, "Stop 0"));
    ASSERT_TRUE(waitFor(IDC_FP_URI, ""));
    EXPECT_TRUE(dialog->Enabled(IDC_FP_START));
    EXPECT_FALSE(dialog->Enabled(IDC_FP_STOP));
    EXPECT_EQ(dialog->Text(IDC_FP_STATUS), "");
    // Stop and Restart need a listening URI.
    EXPECT_FALSE(dialog->Click(IDC_FP_STOP));
    dialog->OnBnClickedFpStop();
    dialog->OnBnClickedFpRestart();
    EXPECT_EQ(service->calls.Count("Stop 0"), 1);
    EXPECT_EQ(service->calls.Count("Restart 0"), 0);

    ASSERT_TRUE(dialog->Click(IDC_FP_START));
    ASSERT_TRUE(waitFor(IDC_FP_URI, "127.0.0.1:5101"));
    EXPECT_TRUE(WaitUntil([&] { return dialog->Enabled(IDC_FP_STOP); }));
    EXPECT_FALSE(dialog->Enabled(IDC_FP_START));

    // Restart: the device is down for a while; the group keeps "Restarting ..." until it runs.
    ASSERT_TRUE(dialog->Click(IDC_FP_RESTART));
    ASSERT_TRUE(service->calls.WaitFor(1, "Restart 0"));
    ASSERT_TRUE(waitFor(IDC_FP_URI, ""));
    EXPECT_EQ(dialog->Text(IDC_FP_STATUS), "Restarting ...");
    EXPECT_FALSE(dialog->Enabled(IDC_FP_START));
    service->SetUri(0, "127.0.0.1:5101");
    service->SendInfo(0);
    ASSERT_TRUE(waitFor(IDC_FP_STATUS, ""));
    EXPECT_TRUE(WaitUntil([&] { return dialog->Enabled(IDC_FP_RESTART); }));

    // A start that fails.
    ASSERT_TRUE(dialog->Click(IDC_FP_STOP));
    ASSERT_TRUE(waitFor(IDC_FP_URI, ""));
    service->startFails = true;
    ASSERT_TRUE(dialog->Click(IDC_FP_START));
    ASSERT_TRUE(waitFor(IDC_FP_STATUS, "Failed to start"));
    EXPECT_TRUE(dialog->Enabled(IDC_FP_START));
    EXPECT_EQ(service->calls.Count("Start 0"), 2);

    // Iris stop and start.
    service->startFails = false;
    ASSERT_TRUE(dialog->Click(IDC_IRIS_STOP));
    ASSERT_TRUE(waitFor(IDC_IRIS_URI, ""));
    EXPECT_TRUE(dialog->Enabled(IDC_IRIS_START));
    EXPECT_FALSE(dialog->Enabled(IDC_CALIBRATION));
    ASSERT_TRUE(dialog->Click(IDC_IRIS_START));
    ASSERT_TRUE(waitFor(IDC_IRIS_URI, "127.0.0.1:5102"));
    EXPECT_TRUE(WaitUntil([&] { return dialog->Enabled(IDC_CALIBRATION); }));

    // Calibration, with each result shown in its box.
    struct Case {
        int result;
        std::string caption, text;
        ui::BoxIcon icon;
    } const calibrations[] = {
        {0, "Calibration Success   ", "Calibration finished", ui::BoxIcon::Information},
        {-2, "Calibration Failure   ", "Calibration failed. Fingerprint or Iris device is in use.",
         ui::BoxIcon::Warning},
        {-3, "Calibration Failure   ", "Calibration failed. Fingerprint or Iris capture is in progress.",
         ui::BoxIcon::Warning},
        {-4, "Calibration Failure   ", "Calibration failed. Please check the lid is covered.", ui::BoxIcon::Warning},
    };
    for (const auto& c : calibrations) {
        presenter.ClearShown();
        service->calibrateResult = c.result;
        ASSERT_TRUE(dialog->Click(IDC_CALIBRATION));
        ASSERT_TRUE(presenter.WaitForShown(c.caption)) << c.result;
        const auto shown = presenter.Shown();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0].caption, "Confirmation   ");
        EXPECT_EQ(shown[0].text, "Please cover the lid. Press OK to continue.");
        EXPECT_EQ(shown[0].buttons, ui::BoxButtons::OkCancel);
        EXPECT_EQ(shown[1].text, c.text);
        EXPECT_EQ(shown[1].icon, c.icon);
        EXPECT_TRUE(dialog->Enabled(IDC_CALIBRATION));
        EXPECT_TRUE(dialog->Enabled(IDC_IRIS_STOP));
        EXPECT_EQ(dialog->Text(IDC_IRIS_STATUS), "");
    }
    EXPECT_EQ(service->calls.Count("Calibrate 1"), 4);

    // Cancelled at the lid question: nothing is sent.
    presenter.SetScript([](const ui::BoxRequest&) -> std::optional<ui::BoxResult> { return ui::BoxResult::Cancel; });
    ASSERT_TRUE(dialog->Click(IDC_CALIBRATION));
    EXPECT_EQ(dialog->Text(IDC_IRIS_STATUS), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(service->calls.Count("Calibrate 1"), 4);
}

TEST_F(ControllerDialogTest, ClientRemovalAndDeviceManagerEvents) {
    StartService(base);
    Connect();
    CSocketConfig& channel = service->Channel();
    ASSERT_TRUE(channel.SendDeviceVdmClientEventRequest(1, "PloverA", "127.0.0.1:6000"));  // by model, not type
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_FP_CLIENT_URI) == "127.0.0.1:6000"; }));
    ASSERT_TRUE(channel.SendDeviceVdmClientEventRequest(1, "Unknown", "127.0.0.1:6001"));
    ASSERT_TRUE(channel.SendDeviceVdmClientEventRequest(1, "Egret", "127.0.0.1:6002"));
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_IRIS_CLIENT_URI) == "127.0.0.1:6002"; }));
    EXPECT_EQ(dialog->Text(IDC_FP_CLIENT_URI), "127.0.0.1:6000");

    ASSERT_TRUE(channel.SendDeviceVdmRemovalEventRequest(1, "Egret"));
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_IRIS_MODEL).empty(); }));
    EXPECT_EQ(dialog->Text(IDC_IRIS_URI), "");
    EXPECT_EQ(dialog->Text(IDC_IRIS_CLIENT_URI), "");
    for (int id : {IDC_IRIS_START, IDC_IRIS_STOP, IDC_IRIS_RESTART, IDC_CALIBRATION}) EXPECT_FALSE(dialog->Enabled(id));
    EXPECT_FALSE(dialog->Click(IDC_IRIS_START));

    // The device comes back while connecting; then runs.
    service->SetDevice(1, {"Egret", "", true});
    service->SendInfo(1, true, false);
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_IRIS_STATUS) == "Starting ..."; }));
    EXPECT_FALSE(dialog->Enabled(IDC_IRIS_START));
    // A fingerprint start failure shows; the iris group does not show that word.
    service->SendInfo(1, false, true);
    ASSERT_TRUE(WaitUntil([&] { return dialog->Enabled(IDC_IRIS_START); }));
    EXPECT_EQ(dialog->Text(IDC_IRIS_STATUS), "");

    ASSERT_TRUE(channel.SendDeviceManagerVdmEventRequest(""));
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_DM_URI).empty(); }));
    // Device events of other types change nothing.
    ASSERT_TRUE(channel.SendDeviceVdmRemovalEventRequest(2, "PloverA"));
    ASSERT_TRUE(channel.SendDeviceManagerVdmEventRequest("dm2"));
    ASSERT_TRUE(WaitUntil([&] { return dialog->Text(IDC_DM_URI) == "dm2"; }));
    EXPECT_EQ(dialog->Text(IDC_FP_MODEL), "PloverA");
}

TEST_F(ControllerDialogTest, ServiceGoingAwayAndComingBack) {
    StartService(base + 1);
    Connect();
    // The lid question is open when the service goes: it is closed as Cancel, then the failure is shown.
    presenter.SetScript([](const ui::BoxRequest& box) -> std::optional<ui::BoxResult> {
        if (box.caption == "Confirmation   ") return std::nullopt;
        return ui::BoxResult::Ok;
    });
    std::thread clicker([&] { dialog->Click(IDC_CALIBRATION); });
    std::shared_ptr<ui::OpenBox> question = presenter.WaitForOpen("Confirmation   ");
    ASSERT_NE(question, nullptr);
    service->Stop();
    clicker.join();
    EXPECT_EQ(question->Result(), ui::BoxResult::Cancel);
    ASSERT_TRUE(presenter.WaitForShown("Connection Failure   "));
    const auto shown = presenter.Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].text, kConnectFailure);
    EXPECT_EQ(shown[1].icon, ui::BoxIcon::Error);
    EXPECT_FALSE(dialog->IsConnected());
    ExpectNotConnected("after the service went");
    EXPECT_EQ(service->calls.Count("Calibrate"), 0);
    // A calibration result that arrives now shows no box.
    dialog->OnCalibrationResult(true, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(presenter.Shown().size(), 2u);

    // It comes back on another port of the range.
    presenter.SetScript(nullptr);
    presenter.ClearShown();
    StartService(base + 3);
    Connect();
    EXPECT_EQ(dialog->Text(IDC_STATUS), "Connected To Tessik Biometrics VDM on URI 127.0.0.1:" + std::to_string(base + 3));
    EXPECT_TRUE(presenter.Shown().empty());
}

TEST(ControllerAppTest, StartsWithItsConfigurationOrSaysWhatIsMissing) {
    {
        ControllerAppData appData("", false);
        ui::ScriptedPresenter presenter;
        ui::MessageBoxes boxes(&presenter);
        bool ran = false;
        EXPECT_EQ(CNavikVdmControllerApp().InitInstance(boxes, [&](CNavikVdmControllerDlg&) { return ran = true; }), 1);
        EXPECT_FALSE(ran);
        ASSERT_EQ(presenter.Shown().size(), 1u);
        EXPECT_EQ(presenter.Shown()[0].text, "Cannot find the ./App_Data/VdmControllerConfig.cfg configuration file.");
    }
    {
        ControllerAppData appData("LOG_LEVEL = NONE\nVdmConnectionIP = host.example\nVdmConnectionMaxPort = 7909\n");
        ui::MessageBoxes boxes;
        std::string shown;
        EXPECT_EQ(CNavikVdmControllerApp().InitInstance(boxes,
                                                        [&](CNavikVdmControllerDlg& dialog) {
                                                            shown = dialog.Text(IDC_VDM_CONNECTION_IP) + " " +
                                                                    dialog.Text(IDC_VDM_CONNECTION_PORT) + " " +
                                                                    dialog.Text(IDC_VDM_CONNECTION_MIN_PORT) + " " +
                                                                    dialog.Text(IDC_VDM_CONNECTION_MAX_PORT);
                                                            dialog.Click(IDC_CLOSE);
                                                            return dialog.EndedWith();
                                                        }),
                  0);
        EXPECT_EQ(shown, "host.example 0 7901 7909");
    }
}

// Closing the window waits only for the threads that ran: one that never started (no connect, no
// calibration result) is no reason for a warning in the log.
TEST(ControllerAppTest, ClosingLogsNoWarningForThreadsThatNeverRan) {
    const int port = nettest::FreePortRange(1);
    ASSERT_NE(port, 0);
    struct Case {
        const char* what;
        bool connect;
    } cases[] = {{"closed at once", false}, {"closed after a connect", true}};
    for (const Case& c : cases) {
        ControllerAppData appData("LOG_LEVEL = DBG3\nVdmConnectionIP = 127.0.0.1\nVdmConnectionPort = " +
                                  std::to_string(port) + "\nVdmConnectionMinPort = 7901\nVdmConnectionMaxPort = 7905\n");
        ServiceDouble service;
        ASSERT_TRUE(service.Listen(port)) << c.what;
        ui::ScriptedPresenter presenter;
        ui::MessageBoxes boxes(&presenter);
        bool connected = false;
        EXPECT_EQ(CNavikVdmControllerApp().InitInstance(boxes,
                                                        [&](CNavikVdmControllerDlg& dialog) {
                                                            TSK_LOG(LOGLEVEL_INFO, kControllerLogModule,
                                                                    "test: the window runs");
                                                            if (c.connect) {
                                                                dialog.Click(IDC_CONNECT);
                                                                EXPECT_TRUE(WaitUntil([&] {
                                                                    return dialog.IsConnected() &&
                                                                           !dialog.IsConnecting();
                                                                }));
                                                                connected = dialog.IsConnected();
                                                            }
                                                            dialog.Click(IDC_CLOSE);
                                                            return dialog.EndedWith();
                                                        }),
                  0)
            << c.what;
        EXPECT_EQ(connected, c.connect) << c.what;
        const std::string log = appData.ReadLogs();
        // The log was open while the window ran.
        EXPECT_NE(log.find("test: the window runs"), std::string::npos) << c.what << "\n" << log;
        EXPECT_EQ(log.find("WARNING:"), std::string::npos) << c.what << "\n" << log;
        EXPECT_EQ(log.find("ERROR  :"), std::string::npos) << c.what << "\n" << log;
        ASSERT_TRUE(WaitUntil([&] { return service.Channel().GetConnectedChannelCount() == 0; })) << c.what;
    }
}

TEST(ControllerDialogTemplate, ControlsAtTheirPlaces) {
    const ui::DialogSpec def = ControllerDialogSpec();
    EXPECT_EQ(def.caption, "Tessik Biometrics VDM Controller");
    EXPECT_EQ(def.width, 615);
    EXPECT_EQ(def.height, 446);
    struct Place {
        int id;
        const char* text;  // group boxes by their text
        int x, y, width, height;
        bool disabled, number;
    } const places[] = {
        {1037, "", 7, 6, 601, 15, false, false},     {1014, "", 146, 66, 143, 14, false, false},
        {1012, "", 146, 83, 48, 14, false, true},    {1013, "", 146, 101, 48, 14, false, true},
        {1035, "", 218, 101, 48, 14, false, true},   {1015, "", 43, 40, 106, 18, false, false},
        {1016, "", 155, 40, 103, 18, true, false},   {1008, "", 146, 150, 143, 14, true, false},
        {1009, "", 146, 167, 143, 14, true, false},  {1010, "", 146, 184, 48, 14, false, true},
        {1011, "", 146, 202, 48, 14, false, true},   {1034, "", 218, 202, 48, 14, false, true},
        {1026, "", 241, 223, 50, 17, false, false},  {1000, "", 455, 36, 143, 14, true, false},
        {1001, "", 455, 54, 143, 14, false, false},  {1002, "", 455, 72, 48, 14, false, true},
        {1003, "", 455, 90, 48, 14, true, true},     {1004, "", 527, 90, 45, 14, true, true},
        {1005, "", 455, 107, 48, 14, false, true},   {1006, "", 455, 125, 48, 14, false, true},
        {1018, "", 548, 221, 50, 18, false, false},  {1038, "", 145, 285, 143, 14, true, false},
        {1024, "", 145, 302, 143, 14, true, false},  {1025, "", 145, 319, 143, 14, true, false},
        {1021, "", 58, 342, 50, 17, false, false},   {1022, "", 132, 342, 50, 18, false, false},
        {1023, "", 206, 342, 50, 18, false, false},  {1042, "", 29, 369, 264, 8, false, false},
        {1039, "", 437, 285, 143, 14, true, false},  {1027, "", 437, 302, 143, 14, true, false},
        {1028, "", 437, 319, 143, 14, true, false},  {1031, "", 329, 342, 50, 18, false, false},
        {1032, "", 397, 342, 50, 18, false, false},  {1033, "", 463, 342, 50, 18, false, false},
        {1046, "", 528, 342, 50, 18, false, false},  {1043, "", 321, 369, 264, 8, false, false},
        {1047, "", 558, 415, 50, 20, false, false},
        {0, "Connect To Vender Device Manager (VDM)", 7, 24, 293, 101, false, false},
        {0, "Setup Vender Device Manager (VDM)", 7, 133, 293, 114, false, false},
        {0, "Device Manager (DM) Configuration", 313, 24, 295, 223, false, false},
        {0, "Device Status", 7, 256, 601, 150, false, false},
        {0, "Fingerprint Scanner", 21, 270, 279, 123, false, false},
        {0, "Iris Scanner", 313, 270, 280, 123, false, false},
    };
    for (const Place& p : places) {
        int found = 0;
        for (const ui::ControlSpec& c : def.controls) {
            if (c.id != p.id || (p.id == 0 && c.text != p.text)) continue;
            ++found;
            EXPECT_EQ(c.place.x, p.x) << p.id << p.text;
            EXPECT_EQ(c.place.y, p.y) << p.id << p.text;
            EXPECT_EQ(c.place.width, p.width) << p.id << p.text;
            EXPECT_EQ(c.place.height, p.height) << p.id << p.text;
            EXPECT_EQ((c.flags & ui::kDisabled) != 0, p.disabled) << p.id;
            EXPECT_EQ((c.flags & ui::kNumber) != 0, p.number) << p.id;
        }
        EXPECT_EQ(found, 1) << p.id << p.text;
    }
}

TEST_F(ControllerDialogTest, PortsOutsideTheTcpRangeAreNeverTried) {
    // Which ports were tried shows in the channel's warnings.
    nettest::LogCapture log;
    for (const char* port : {"65535", "65536", "-5", "4294967297"}) {
        dialog->SetText(IDC_VDM_CONNECTION_PORT, port);
        ClickConnect();
        EXPECT_FALSE(dialog->IsConnected());
    }
    const std::string text = log.Text();
    EXPECT_NE(text.find("127.0.0.1:65535."), std::string::npos) << text;
    EXPECT_EQ(text.find("127.0.0.1:65536"), std::string::npos) << text;
    EXPECT_EQ(text.find("127.0.0.1:-5"), std::string::npos) << text;
    EXPECT_EQ(text.find("127.0.0.1:1."), std::string::npos) << text;  // nothing cut down to 1
    EXPECT_EQ(Shown("Connection Failure   ").size(), 4u);
}
