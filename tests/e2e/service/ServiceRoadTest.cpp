// The service program end to end: Tessik_VDM runs in console mode in a program folder of the
// test's own (its App_Data with ports of the test), with the DM stub and the enrolment client on
// loopback and the scripted fingerprint library loaded in place of the capture library.
#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class ServiceRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dm.Start(0, 4));
        configPort = FreeLoopbackPort();
        dir = fs::temp_directory_path() / ("tessik-e2e-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy(TESSIK_VDM_APP_DATA, dir / "App_Data");
        // The program finds App_Data beside itself: a copy of the program lives in the folder.
        fs::copy_file(TESSIK_VDM_PROGRAM, dir / "Tessik_VDM");
        std::ofstream(dir / "App_Data" / "VdmConfig.cfg", std::ios::trunc)
            << "LOG_LEVEL = DBG1\nDmIP = 127.0.0.1\nDmPort = " << dm.Port()
            << "\nDmRetryIntervalBetweenPortAttempts = 1\nDmSleepTimeAfterTryingAllPorts = 1\n"
               "VdmListenPort = " << configPort << "\nVdmIP = 127.0.0.1\n"
               "DeviceDetectionInterval = 1\nFingerprint = TRUE\nIris = FALSE\n";
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);  // only after a failed test: a passing one ended it by SIGTERM
            ::waitpid(pid, nullptr, 0);
        }
        if (stdinPipe >= 0) ::close(stdinPipe);
        dm.Stop();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    void StartService(const std::string& script) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::dup2(fds[0], STDIN_FILENO);
            ::close(fds[1]);
            const std::string out = (dir / "console.txt").string();
            FILE* console = std::freopen(out.c_str(), "w", stdout);
            (void)console;
            ::setenv("TESSIK_ZARN_FP_LIBRARY", TESSIK_ZARN_FP_STANDIN, 1);
            ::setenv("TESSIK_ZARN_STANDIN_SCRIPT", script.c_str(), 1);
            const std::string program = (dir / "Tessik_VDM").string();
            ::execl(program.c_str(), program.c_str(), "console", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[0]);
        stdinPipe = fds[1];  // kept open: the end of the input would end the program
    }
    // Exit status after SIGTERM; -1 when it did not end within the wait.
    int Terminate(int waitMs = 10000) {
        ::kill(pid, SIGTERM);
        for (int waited = 0; waited < waitMs; waited += 20) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    std::string ArrivalURI(int index) {
        const auto events = dm.Events();
        int seen = 0;
        for (const auto& event : events) {
            if (event.kind == "Arrival" && seen++ == index) return event.deviceURI;
        }
        return {};
    }

    // Sends a controller command and returns its answer.
    std::string ControllerCommand(XmlPeer& controller, const std::string& id, const std::string& body) {
        EXPECT_TRUE(controller.Send("<VdmCommandRequest requestId=\"" + id + "\">" + body + "</VdmCommandRequest>"));
        for (;;) {
            const std::string document = controller.Read(5000);
            if (document.empty() || RequestIdOf(document) == id) return document;
        }
    }

    peers::CDmStub dm;
    int configPort = 0;
    fs::path dir;
    pid_t pid = -1;
    int stdinPipe = -1;
};

}  // namespace

TEST_F(ServiceRoadTest, ArrivalCaptureForceAndTermination) {
    StartService("autoResultAfterFrames=40;previewIntervalMs=5");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    EXPECT_EQ(dm.Count("Connect"), 1);
    const std::string uri = ArrivalURI(0);
    EXPECT_TRUE(std::regex_match(uri, std::regex("127\\.0\\.0\\.1:[0-9]+"))) << uri;
    for (const auto& event : dm.Events()) {
        if (event.kind == "Arrival") EXPECT_EQ(event.deviceModel, "PloverA");
    }

    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(uri));
    peers::CaptureResult result = client.Capture({});
    EXPECT_EQ(result.startReason, "Success");
    ASSERT_TRUE(result.completed);
    const peers::FirView sample = peers::ReadFirstFirView(result.sample);
    EXPECT_EQ(sample.position, 13);
    EXPECT_EQ(sample.width, 160);   // the stand-in's result image
    EXPECT_EQ(sample.height, 120);
    EXPECT_EQ(sample.pixels, std::vector<uint8_t>(160 * 120, 0x80));
    EXPECT_GE(result.previews, 1);

    peers::CaptureOptions force;
    force.biometricPosition = "LeftIndex";
    force.forceAfterFrames = 1;
    result = client.Capture(force);
    EXPECT_EQ(result.forceReason, "Success");
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(peers::ReadFirstFirView(result.sample).position, 7);  // left index finger
    client.Close();

    // SIGTERM: the DM hears the device leave, the program ends by itself.
    EXPECT_EQ(Terminate(), 1);
    EXPECT_EQ(dm.Count("Removal"), 1);
    for (const auto& event : dm.Events()) {
        if (event.kind == "Removal") EXPECT_EQ(event.deviceURI, uri);
    }
    std::ifstream console(dir / "console.txt");
    const std::string text((std::istreambuf_iterator<char>(console)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Tessik Biometric Vendor Device Manager console started successfully."), std::string::npos);
    EXPECT_NE(text.find("Terminating VDM ...\nTerminate success."), std::string::npos) << text;
}

TEST_F(ServiceRoadTest, LostDeviceManagerIsReconnectedAndToldAgain) {
    StartService("previewIntervalMs=5");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    dm.DropConnection();
    // One reconnect for the one loss, and the device is announced again.
    ASSERT_TRUE(dm.WaitFor("Arrival", 2, 20000));
    EXPECT_EQ(dm.Count("Connect"), 2);
    EXPECT_EQ(dm.Connections(), 2);
    EXPECT_EQ(ArrivalURI(1), ArrivalURI(0));
    EXPECT_EQ(Terminate(), 1);
}

TEST_F(ServiceRoadTest, ControllerCommandsAndBadInputOnEverySocket) {
    StartService("autoResultAfterFrames=10;previewIntervalMs=5");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    const std::string fp = "<Device deviceType=\"0\" deviceModel=\"PloverA\">";

    // Stop removes the device and holds it; Start adds it again; Restart does both.
    EXPECT_EQ(peers::ElementAttribute(ControllerCommand(controller, "C1", fp + "<Stop/></Device>"), "Return", "value"),
              "Success");
    ASSERT_TRUE(dm.WaitFor("Removal", 1, 10000));
    std::this_thread::sleep_for(1500ms);  // a detection pass: the held scanner is not added
    EXPECT_EQ(dm.Count("Arrival"), 1);
    ControllerCommand(controller, "C2", fp + "<Start/></Device>");
    ASSERT_TRUE(dm.WaitFor("Arrival", 2, 10000));
    ControllerCommand(controller, "C3", fp + "<Restart/></Device>");
    ASSERT_TRUE(dm.WaitFor("Removal", 2, 10000));
    ASSERT_TRUE(dm.WaitFor("Arrival", 3, 10000));
    // Only the iris device calibrates.
    EXPECT_EQ(peers::ElementAttribute(ControllerCommand(controller, "C4", fp + "<Calibration/></Device>"), "Return",
                                      "value"),
              "Failure");

    // Input that is not a message, and a message that never ends, on the device and the
    // configuration channels: dropped, and the service goes on serving.
    const std::string uri = ArrivalURI(2);
    std::string ip;
    int port = 0;
    ASSERT_TRUE(peers::SplitUri(uri, ip, port));
    XmlPeer bad;
    ASSERT_TRUE(bad.Connect(port));
    bad.Send("<<<< not xml >>>>");
    bad.Send("<DeviceCommandRequest requestId=\"X\">" + std::string(2 << 20, 'a'));
    bad.Close();
    controller.Close();  // the channel takes one controller at a time
    std::this_thread::sleep_for(200ms);
    XmlPeer badController;
    if (badController.Connect(configPort)) badController.Send("<VdmCommandRequest requestId=\"Z\"><Device>" + std::string(2 << 20, 'b'));
    badController.Close();
    std::this_thread::sleep_for(200ms);

    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(uri));
    const peers::CaptureResult result = client.Capture({});
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(peers::ReadFirstFirView(result.sample).position, 13);
    client.Close();
    XmlPeer again;
    ASSERT_TRUE(again.Connect(configPort));
    EXPECT_FALSE(ControllerCommand(again, "C5", fp + "<Calibration/></Device>").empty());
    EXPECT_EQ(Terminate(), 1);
}
