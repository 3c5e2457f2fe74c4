// The service program end to end: Tessik_VDM runs in a program folder of the test's own (its
// App_Data with ports of the test), with the DM stub and the enrolment client on loopback and the
// scripted fingerprint library loaded in place of the capture library; the real capture library
// runs simulated PloverA and VireoA scanners.
#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"
#include "peers/ServiceProcess.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "ImageMessageCodec.h"
#include "NetTestSupport.h"
#include "platform/ThreadName.h"
#include "sim/EyeRender.h"
#include "zarn/ZarnDib.h"
#include "zarn/ZarnTraceLogger.h"

// The bitmap reader reports through the capture libraries' trace writer.
const ZarnTraceLibrary kZarnTraceLibrary = {TraceSource::ZarnEssentialsApi, ""};

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class ServiceRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dm.Start(0, 4));  // a Ping every 2 s
        configPort = FreeLoopbackPort();
    }
    void TearDown() override { dm.Stop(); }
    void StartService(const std::string& script, const std::string& word = "console",
                      const std::vector<std::string>& environment = {},
                      const std::string& fpLibrary = TESSIK_ZARN_FP_STANDIN, const std::string& irisLibrary = "") {
        ASSERT_TRUE(service.Start(Setup(script, word, environment, fpLibrary, irisLibrary)));
    }
    peers::ServiceSetup Setup(const std::string& script, const std::string& word,
                              const std::vector<std::string>& environment = {},
                              const std::string& fpLibrary = TESSIK_ZARN_FP_STANDIN,
                              const std::string& irisLibrary = "") {
        peers::ServiceSetup setup;
        if (!irisLibrary.empty()) {
            setup.irisLibrary = irisLibrary;
            setup.iris = true;
            setup.fingerprint = false;
        }
        setup.program = TESSIK_VDM_PROGRAM;
        setup.appData = TESSIK_VDM_APP_DATA;
        setup.fpLibrary = fpLibrary;
        setup.script = script;
        setup.word = word;
        setup.dmPort = dm.Port();
        setup.configPort = configPort;
        setup.environment = environment;
        return setup;
    }
    std::string EventURI(const std::string& kind, int index) {
        int seen = 0;
        for (const auto& event : dm.Events()) {
            if (event.kind == kind && seen++ == index) return event.deviceURI;
        }
        return {};
    }
    // Number of lines of the service's fingerprint log holding `text`, once at least `count` are
    // there (the log is written by a thread of its own) or the wait is over.
    int FingerprintLogLines(const std::string& text, int count) { return ModuleLogLines("Fingerprint", text, count); }
    // The same in the log of `module` ("TessikVdm", "Fingerprint", "Iris").
    int ModuleLogLines(const std::string& module, const std::string& text, int count) {
        int lines = 0;
        for (int polls = 0; polls < 100; ++polls) {
            lines = 0;
            for (const auto& entry : fs::directory_iterator(fs::path(service.Dir()) / "Log")) {
                if (entry.path().filename().string().rfind(module + ".", 0) != 0) continue;
                std::ifstream in(entry.path());
                for (std::string line; std::getline(in, line);) lines += line.find(text) != std::string::npos;
            }
            if (lines >= count) break;
            std::this_thread::sleep_for(50ms);
        }
        return lines;
    }

    // Sends a controller command and returns its answer.
    std::string ControllerCommand(XmlPeer& controller, const std::string& id, const std::string& body) {
        EXPECT_TRUE(controller.Send("<VdmCommandRequest requestId=\"" + id + "\">" + body + "</VdmCommandRequest>"));
        for (;;) {
            const std::string document = controller.Read(5000);
            if (document.empty() || RequestIdOf(document) == id) return document;
        }
    }

    // Starts the service over the real capture library on the simulated scanners of `scenario`,
    // written into `work` (the caller's folder), with a trace slot of this process.
    void StartRealLibrary(const fs::path& work, const std::string& scenario,
                          const std::vector<std::string>& environment = {}) {
        const fs::path file = work / "scanner.txt";
        std::ofstream(file) << scenario;
        std::vector<std::string> all = {"TESSIK_USB=" + file.string(),
                                        "TESSIK_TRACE_SLOT=TessikE2eReal-" + std::to_string(::getpid())};
        all.insert(all.end(), environment.begin(), environment.end());
        StartService("", "console", all, TESSIK_ZARN_FP_LIBRARY_FILE);
    }

    peers::CDmStub dm;
    int configPort = 0;
    peers::CServiceProcess service;
};

}  // namespace

TEST_F(ServiceRoadTest, ArrivalCapturesAndTermination) {
    StartService("autoResultAfterFrames=40;previewIntervalMs=5");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    EXPECT_EQ(dm.Count("Connect"), 1);
    const std::string uri = EventURI("Arrival", 0);
    EXPECT_TRUE(std::regex_match(uri, std::regex("127\\.0\\.0\\.1:[0-9]+"))) << uri;
    for (const auto& event : dm.Events()) {
        if (event.kind == "Arrival") {
            EXPECT_EQ(event.deviceModel, "PloverA");
        }
    }

    // The stand-in shows the same preview every 5 ms and ends a capture after 40 of them (0.2 s),
    // which the client cannot learn a pace from: it asks at the stand-in's rate, so the previews it
    // counts before a stop or a leave come well before the capture ends by itself.
    peers::CaptureOptions fast;
    fast.previewRate = 200;
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(uri));
    peers::CaptureResult result = client.Capture(fast);
    EXPECT_EQ(result.startReason, "Success");
    ASSERT_TRUE(result.completed);
    const peers::FirView sample = peers::ReadFirstFirView(result.sample);
    EXPECT_EQ(sample.position, 13);  // right four fingers
    EXPECT_EQ(sample.width, 160);    // the stand-in's result image
    EXPECT_EQ(sample.height, 120);
    EXPECT_EQ(sample.pixels, std::vector<uint8_t>(160 * 120, 0x80));
    EXPECT_GE(result.previews, 1);

    peers::CaptureOptions options = fast;
    options.biometricPosition = "BothThumbs";
    result = client.Capture(options);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(peers::ReadFirstFirView(result.sample).position, 15);  // both thumbs

    options.biometricPosition = "LeftIndex";
    options.forceAfterFrames = 1;
    result = client.Capture(options);
    EXPECT_EQ(result.forceReason, "Success");
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(peers::ReadFirstFirView(result.sample).position, 7);  // left index finger

    options = fast;
    options.stopAfterFrames = 2;
    result = client.Capture(options);
    EXPECT_EQ(result.stopReason, "Success");
    EXPECT_FALSE(result.completed);

    // A client that leaves in the middle of a capture: the capture ends, the next client is served.
    options = fast;
    options.disconnectAfterFrames = 2;
    result = client.Capture(options);
    EXPECT_EQ(result.startReason, "Success");
    EXPECT_FALSE(result.completed);
    peers::CEnrolmentClient next;
    ASSERT_TRUE(next.Connect(uri));
    result = next.Capture(fast);
    EXPECT_TRUE(result.completed);
    next.Close();
    client.Close();

    // SIGTERM: the DM hears the device leave, the program ends by itself.
    EXPECT_EQ(service.Terminate(), 1);
    EXPECT_EQ(dm.Count("Removal"), 1);
    EXPECT_EQ(EventURI("Removal", 0), uri);
    const std::string text = service.ConsoleText();
    EXPECT_NE(text.find("Tessik Biometric Vendor Device Manager console started successfully."), std::string::npos);
    EXPECT_NE(text.find("Terminating VDM ...\nTerminate success."), std::string::npos) << text;
}

// The DM lost and found again; bad input from the DM; the scanner unplugged and plugged in again.
TEST_F(ServiceRoadTest, DmLossBadDmInputAndReplug) {
    StartService("previewIntervalMs=5");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    dm.DropConnection();
    // One reconnect for the one loss, and the device is announced again.
    ASSERT_TRUE(dm.WaitFor("Arrival", 2, 20000));
    EXPECT_EQ(dm.Count("Connect"), 2);
    EXPECT_EQ(dm.Connections(), 2);
    EXPECT_EQ(EventURI("Arrival", 1), EventURI("Arrival", 0));
    const std::string answered = "Received \"DeviceArrival\" response";
    ASSERT_EQ(FingerprintLogLines(answered, 2), 2);

    // Text that is no message, a message that never ends and is larger than any message, and a
    // cut one: dropped; the connection stays and later answers are read.
    dm.SendRaw("\x01\x02 garbage <<>> \xff");
    dm.SendRaw("<DeviceManagerEventResponse requestId=\"BIG\"><Return value=\"" + std::string(2 << 20, 'x'));
    dm.SendRaw("<DeviceManagerEventResponse requestId=\"CUT\"><Return value=\"Succ");
    std::this_thread::sleep_for(300ms);

    // Unplugged: Removal; plugged in again: Arrival at the next detection pass, and its answer read.
    const int pingsBefore = dm.Count("Ping");
    service.SetPlugged(false);
    ASSERT_TRUE(dm.WaitFor("Removal", 1, 10000));
    EXPECT_EQ(EventURI("Removal", 0), EventURI("Arrival", 0));
    service.SetPlugged(true);
    ASSERT_TRUE(dm.WaitFor("Arrival", 3, 10000));
    EXPECT_EQ(FingerprintLogLines(answered, 3), 3);
    EXPECT_EQ(dm.Connections(), 2);
    // The pings go on at their own interval, which can be longer than the unplug and replug took.
    EXPECT_TRUE(dm.WaitFor("Ping", pingsBefore + 1, 20000));
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 2)));
    peers::CaptureOptions options;
    options.stopAfterFrames = 1;  // no result scripted: previews are enough
    const peers::CaptureResult result = client.Capture(options);
    EXPECT_EQ(result.startReason, "Success");
    EXPECT_EQ(result.stopReason, "Success");
    client.Close();
    EXPECT_EQ(service.Terminate(), 1);
}

TEST_F(ServiceRoadTest, ControllerCommandsAndBadInputOnEverySocket) {
    // The automatic result comes after about 1 s of previews: the GetFrame that follows the bad
    // input on the preview channel below must find the capture still running (at 50 ms it often
    // came too late under the sanitizers, the capture already complete).
    StartService("autoResultAfterFrames=50;previewIntervalMs=20");
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
    const std::string uri = EventURI("Arrival", 2);
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

    // The preview channel of a running capture: garbage, a request that claims 2 GB, a cut
    // request; a GetFrame after them is answered.
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(uri));
    std::string answer;
    ASSERT_EQ(client.Command("<StartCapture biometricPosition=\"RightSlap\"/>", &answer), "Success");
    ASSERT_TRUE(peers::SplitUri(peers::ElementAttribute(answer, "Video", "videoURI"), ip, port));
    std::vector<uint8_t> request;
    ASSERT_TRUE(image_messages::EncodeRequest(0, 1, "GF", request));
    for (const std::string& junk : {std::string("\xde\xad\xbe\xef garbage", 13), std::string("\x30\x84\x7f\xff\xff\xff", 6),
                                    std::string(request.begin(), request.begin() + 5)}) {
        XmlPeer image;
        ASSERT_TRUE(image.Connect(port));
        image.Send(junk);
        image.Close();
    }
    XmlPeer image;  // the channel serves one peer at a time
    ASSERT_TRUE(image.Connect(port));
    image.Send(std::string(1 << 17, '\x30'));  // longer than any request may grow
    image.Close();
    // The channel closes a second peer at once: ask again until the closed peers are gone.
    std::vector<uint8_t> frame;
    for (int i = 0; i < 40 && frame.empty(); ++i) {
        XmlPeer good;
        if (good.Connect(port)) frame = peers::FetchImageRecord(good, 1, "GF" + std::to_string(i), 100);
    }
    EXPECT_EQ(peers::ReadFirstFirView(frame).width, 80);  // the stand-in's preview
    EXPECT_EQ(client.Command("<StopCapture/>"), "Success");

    const peers::CaptureResult result = client.Capture({});
    EXPECT_TRUE(result.completed) << result.startReason;
    EXPECT_EQ(peers::ReadFirstFirView(result.sample).position, 13);
    client.Close();
    XmlPeer again;
    ASSERT_TRUE(again.Connect(configPort));
    EXPECT_FALSE(ControllerCommand(again, "C5", fp + "<Calibration/></Device>").empty());
    EXPECT_EQ(service.Terminate(), 1);
}

// Lines of the program's log files of one module (`name`.<date>.log in its Log folder).
std::vector<std::string> LogLines(const std::string& dir, const std::string& name) {
    std::vector<std::string> lines;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fs::path(dir) / "Log", ignored)) {
        if (entry.path().filename().string().rfind(name + ".", 0) != 0) continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The notification socket systemd gives a service (an abstract name of the test's own); each
// datagram is one report.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& tag)
        : name("@tessik-e2e-" + tag + "-" + std::to_string(::getpid())), fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.c_str() + 1, name.size() - 1);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address),
                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
        const timeval wait{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() { ::close(fd); }
    // The next report; empty when none came within 10 s (or at once, when not waiting).
    std::string Receive(bool wait = true) {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, wait ? 0 : MSG_DONTWAIT);
        return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
    std::string Variable() const { return "NOTIFY_SOCKET=" + name; }

    const std::string name;
    const int fd;
    bool bound = false;
};

// Service mode as systemd runs it: readiness and stopping reported on the notification socket,
// SIGTERM as the stop control, exit code 0; a VireoA scanner captures single fingers.
TEST_F(ServiceRoadTest, ServiceModeWithVireoA) {
    NotifySocket notify("notify");
    ASSERT_TRUE(notify.bound);
    StartService("connectedFamily=3;autoResultAfterFrames=10;previewIntervalMs=5;resultWidth=64;resultHeight=80",
                 "service", {notify.Variable()});
    EXPECT_EQ(notify.Receive(), "READY=1");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    EXPECT_EQ(dm.Events().back().deviceModel, "VireoA");
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 0)));
    peers::CaptureOptions options;
    options.biometricPosition = "RightIndex";
    peers::CaptureResult result = client.Capture(options);
    ASSERT_TRUE(result.completed);
    const peers::FirView sample = peers::ReadFirstFirView(result.sample);
    EXPECT_EQ(sample.position, 2);  // right index finger
    EXPECT_EQ(sample.width, 64);
    EXPECT_EQ(sample.height, 80);
    // A single-finger scanner takes no slap.
    EXPECT_NE(client.Capture({}).startReason, "Success");
    client.Close();

    // Nothing but the stop control stops the service.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(notify.Receive(false), "");
    EXPECT_EQ(service.Terminate(), 0);  // the service's main returns
    EXPECT_EQ(notify.Receive(), "STOPPING=1\nSTATUS=Stopped");
    EXPECT_EQ(dm.Count("Removal"), 1);
    // Nothing is printed in service mode; every report reached the manager.
    EXPECT_EQ(service.ConsoleText().find("started successfully"), std::string::npos);
    for (const std::string& line : LogLines(service.Dir(), "TessikVdm"))
        EXPECT_EQ(line.find("SetServiceStatus failed"), std::string::npos) << line;
}

// The command word and the log level: no word or an unknown one prints the usage and then runs the
// console; the console words in any case, and "SERVICE" in upper case (the service word without
// service mode), run the console without it. Every typed character other than the line end asks for
// Enter again; Enter terminates the core object and ends the program with exit code 1. LOG_LEVEL
// missing logs from INFO up, an unknown word logs nothing.
TEST_F(ServiceRoadTest, CommandWordsLogLevelsAndTheEnterWait) {
    const std::string usage =
        "\nTessik NAVIK VDM help.\n\n\nUsage: TessikNavikVdm.exe [command]\n\n"
        "  -c (or create)           Create the new service.\n"
        "  -s (or start)            Start the service.\n"
        "  -p (or stop)             Stop the service.\n"
        "  -d (or delete)           Delete the service.\n"
        "  -o (or console)          Run the program in console mode.(default)\n\n";
    const std::string startLine =
        "VdmMain_InitLog: " + std::string(75, '*') + ". Start new log entry.";
    struct Case {
        const char* word;
        bool usage;
        const char* logLevel;  // "" no LOG_LEVEL line
        int level;             // what is logged: 0 nothing, 3 INFO and above, 4 DBG1 and above
    } cases[] = {
        {"", true, "", 3}, {"-x", true, "debug", 0}, {"CONSOLE", false, "DBG1", 4},
        {"-O", false, "info", 0}, {"SERVICE", false, "INFO", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        peers::ServiceSetup setup = Setup("previewIntervalMs=5", c.word);
        setup.logLevel = c.logLevel;
        peers::CServiceProcess program;
        ASSERT_TRUE(program.Start(setup));
        const std::string started = "Tessik Biometric Vendor Device Manager console started successfully.\n";
        for (int polls = 0; polls < 400 && program.ConsoleText().find(started) == std::string::npos; ++polls)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(program.WriteInput("abc\n"));
        EXPECT_EQ(program.Wait(30000), 1);
        const std::string text = program.ConsoleText();
        EXPECT_EQ(text.rfind(usage, 0) == 0, c.usage) << text;
        EXPECT_EQ(Occurrences(text, usage), c.usage ? 1u : 0u);
        EXPECT_NE(text.find(started + "Version Number = 3.0.0 (Windows)\n\nPress Enter to exit\n"), std::string::npos)
            << text;
        EXPECT_EQ(Occurrences(text, "Press Enter to exit\n"), 4u) << text;
        EXPECT_NE(text.find("Terminating VDM ...\nTerminate success.\n"), std::string::npos) << text;

        bool debugLines = false;
        for (const char* module : {"TessikVdm", "Fingerprint", "Iris"}) {
            const std::vector<std::string> lines = LogLines(program.Dir(), module);
            const auto has = [&](const std::string& part) {
                return std::any_of(lines.begin(), lines.end(),
                                   [&](const std::string& line) { return line.find(part) != std::string::npos; });
            };
            EXPECT_EQ(has(startLine), c.level >= 3) << module;
            // What the console shows is logged too.
            if (std::string(module) == "TessikVdm") {
                EXPECT_EQ(has("INFO   : " + started.substr(0, started.size() - 1)), c.level >= 3);
                EXPECT_EQ(has("INFO   : Terminate success."), c.level >= 3);
            }
            debugLines = debugLines || has("DBG1   ");
            if (c.level == 0) {
                EXPECT_TRUE(lines.empty()) << module << ": " << lines.front();
            }
        }
        EXPECT_EQ(debugLines, c.level >= 4);
    }
}

// Without VdmListenPort the configuration channel listens on 7901. With VdmListenPort = 0 it takes
// the first free port of 7901..7905 (the range the program uses when the settings name none), in
// order; the controller reaches the service there, and the channel takes one controller at a
// time. With all five in use the service logs that the controller cannot connect and still serves
// the DM.
TEST_F(ServiceRoadTest, ConfigurationPortWalk) {
    struct Case {
        int setting;            // VdmListenPort; negative: none in the settings
        std::vector<int> held;  // ports in use by others
        int expected;           // the port the service listens on; 0: none
    };
    const Case cases[] = {
        {-1, {}, 7901},
        {0, {7902}, 7901},
        {0, {7901, 7903}, 7902},
        {0, {7901, 7902}, 7903},
        {0, {7901, 7902, 7903, 7904}, 7905},
        {0, {7901, 7902, 7903, 7904, 7905}, 0},
    };
    int arrivals = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::vector<std::unique_ptr<nettest::PlainListener>> holders;
        for (int port = 7901; port <= 7906; ++port) {
            auto listener = std::make_unique<nettest::PlainListener>(port, true);
            if (!listener->ok()) GTEST_SKIP() << "port " << port << " is in use on this machine";
            if (std::find(c.held.begin(), c.held.end(), port) != c.held.end()) holders.push_back(std::move(listener));
        }
        configPort = c.setting;
        peers::CServiceProcess program;
        ASSERT_TRUE(program.Start(Setup("previewIntervalMs=5", "console")));
        // The DM hears from the service whatever port the controller gets.
        ASSERT_TRUE(dm.WaitFor("Arrival", ++arrivals, 20000)) << program.ConsoleText();
        // Only the expected port answers among the ports nobody else holds (7906 lies outside
        // the range).
        for (int port = 7901; port <= 7906; ++port) {
            if (port == c.expected || std::find(c.held.begin(), c.held.end(), port) != c.held.end()) continue;
            XmlPeer idle;
            EXPECT_FALSE(idle.Connect(port)) << port;
        }
        if (c.expected != 0) {
            XmlPeer controller;
            ASSERT_TRUE(controller.Connect(c.expected));
            // A controller that connects first hears the settings, among them the walked port 0.
            const std::string config = controller.Read(10000);
            EXPECT_EQ(config.rfind("<VdmEventRequest", 0), 0u) << config;
            EXPECT_EQ(config.find("key=\"VdmListenPort\" value=\"0\"") != std::string::npos, c.setting == 0) << config;
            // A second controller is turned away; the first one is still served.
            XmlPeer second;
            ASSERT_TRUE(second.Connect(c.expected));
            EXPECT_TRUE(second.ClosedByPeer(5000));
            const std::string answer = ControllerCommand(
                controller, "W1", "<Device deviceType=\"0\" deviceModel=\"PloverA\"><Calibration/></Device>");
            EXPECT_EQ(peers::ElementAttribute(answer, "Return", "value"), "Failure") << answer;
            controller.Close();
        }
        const std::vector<std::string> lines = LogLines(program.Dir(), "TessikVdm");
        EXPECT_EQ(std::any_of(lines.begin(), lines.end(),
                              [](const std::string& line) {
                                  return line.find("ERROR  : CNavikVdm::Initialize: Config socket failed to listen, Vdm "
                                                   "controller cannot be able to connect to VDM.") != std::string::npos;
                              }),
                  c.expected == 0);
        EXPECT_EQ(program.Terminate(), 1);
        EXPECT_EQ(dm.Count("Removal"), arrivals);
    }
}

// Start-up failures on the console wait for Enter and end with exit code 1: a missing settings
// file, and a data file missing from App_Data, which fails the self test (its message already
// starts with "Error: ", and the console adds the prefix again). In service mode a failed start is
// reported as stopped, and SIGINT (the shutdown control) stops a running service.
TEST_F(ServiceRoadTest, StartUpFailuresAndTheShutdownControl) {
    const fs::path appData = fs::temp_directory_path() / ("tessik-e2e-appdata-" + std::to_string(::getpid()));
    fs::remove_all(appData);
    fs::copy(TESSIK_VDM_APP_DATA, appData, fs::copy_options::recursive);
    fs::remove(appData / "VdmConfig.cfg");
    peers::ServiceSetup setup = Setup("", "console");
    setup.appData = appData.string();
    setup.writeConfig = false;
    peers::CServiceProcess noSettings;
    ASSERT_TRUE(noSettings.Start(setup));
    fs::copy_file(TESSIK_VDM_APP_DATA "/VdmConfig.cfg", appData / "VdmConfig.cfg");
    fs::remove(appData / "DeviceCapabilities.xsd");
    setup.writeConfig = true;
    peers::CServiceProcess noSchema;
    ASSERT_TRUE(noSchema.Start(setup));
    const std::pair<peers::CServiceProcess*, std::string> cases[] = {
        {&noSettings, "Error: Failed to load " + noSettings.Dir() + "/App_Data/VdmConfig.cfg.\n"},
        {&noSchema, "Error: Error: SelfTest failed, check the log file.\n"},
    };
    for (const auto& [program, message] : cases) {
        const std::string expected = message + "\nPress Enter to exit\n";
        for (int polls = 0; polls < 200 && program->ConsoleText() != expected; ++polls)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(program->ConsoleText(), expected);
        ASSERT_TRUE(program->WriteInput("\n"));
        EXPECT_EQ(program->Wait(30000), 1);
    }
    const std::vector<std::string> lines = LogLines(noSchema.Dir(), "TessikVdm");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("ERROR  : Error: SelfTest failed, check the log file.") != std::string::npos;
    }));
    // In service mode the failed start is reported as stopped at once, nothing is printed, and the
    // program ends by itself.
    NotifySocket notify("failed");
    ASSERT_TRUE(notify.bound);
    setup.word = "service";
    setup.environment = {notify.Variable()};
    peers::CServiceProcess stopped;
    ASSERT_TRUE(stopped.Start(setup));
    EXPECT_EQ(notify.Receive(), "READY=1");
    EXPECT_EQ(notify.Receive(), "STOPPING=1\nSTATUS=Stopped");
    EXPECT_EQ(stopped.Wait(30000), 0);
    EXPECT_EQ(stopped.ConsoleText(), "");
    EXPECT_EQ(dm.Connections(), 0);

    fs::copy_file(TESSIK_VDM_APP_DATA "/DeviceCapabilities.xsd", appData / "DeviceCapabilities.xsd");
    peers::CServiceProcess running;
    ASSERT_TRUE(running.Start(setup));
    EXPECT_EQ(notify.Receive(), "READY=1");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 20000));
    EXPECT_EQ(running.Terminate(10000, SIGINT), 0);
    EXPECT_EQ(notify.Receive(), "STOPPING=1\nSTATUS=Stopped");
    EXPECT_EQ(dm.Count("Removal"), 1);
    std::error_code ignored;
    fs::remove_all(appData, ignored);
}

// The real capture library on simulated scanners. The service calibrates with an empty platen, the
// client asks for a capture, the hand lands on the platen 40 frames into the capture's stream (after
// the empty-platen frames the library checks first; the streams of the calibration and of a stopped
// or forced capture end before that frame) and the automatic capture hands back a 19794-4 record. With debug level 1 the library writes every result image it delivers to its debug
// folder as a bitmap, rows top first: the record's pixels must be that image, row for row.
struct RealLibraryCase {
    const char* name;
    const char* scenario;  // the scanner and the hand
    const char* model;
    const char* position;  // biometricPosition asked for
    int recordPosition;    // finger position code of the record's view
    int width, height;     // the library's result image of that position
    const char* before;    // "stop" or "force": a capture ended so before the hand lands; "unplug":
                           // one ended by unplugging the scanner, then one forced after the replug
};

class RealLibraryRoadTest : public ServiceRoadTest, public ::testing::WithParamInterface<RealLibraryCase> {
protected:
    void SetUp() override {
        ServiceRoadTest::SetUp();
        work = fs::temp_directory_path() / ("tessik-e2e-real-" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work / "debug");
        std::string scenario = GetParam().scenario;
        // A scanner unplugged in a stream comes back within 2 s: a replug every 2 s (none does
        // anything while the scanner is plugged in).
        if (std::string(GetParam().before) == "unplug")
            for (int ms = 2000; ms <= 240000; ms += 2000) scenario += "at " + std::to_string(ms) + " s1 replug\n";
        StartRealLibrary(work, scenario, {"TESSIK_DEBUG_LEVEL=1", "TESSIK_DEBUG_DIR=" + (work / "debug").string()});
    }
    void TearDown() override {
        ServiceRoadTest::TearDown();
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }

    // The one result bitmap the library wrote since the last call, removed once read; width 0
    // when there is not exactly one.
    peers::FirView TakeLibraryResult() {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(work / "debug")) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 9 && name.compare(name.size() - 9, 9, "_Flat.bmp") == 0) found.push_back(entry.path());
        }
        peers::FirView image;
        ZarnDib dib;
        if (found.size() == 1 && dib.Load(found[0].c_str()) == 0) {
            image.width = dib.GetWidth();
            image.height = dib.GetHeight();
            for (int y = 0; y < image.height; ++y) {
                const uint8_t* row = dib.GetPixelAddress(0, y);
                image.pixels.insert(image.pixels.end(), row, row + image.width);
            }
        }
        for (const fs::path& path : found) fs::remove(path);
        return image;
    }

    // The record's first view is the library's result image of the case's position.
    void ExpectLibraryResult(const std::vector<uint8_t>& record) {
        const RealLibraryCase& c = GetParam();
        const peers::FirView view = peers::ReadFirstFirView(record);
        EXPECT_EQ(view.position, c.recordPosition);
        EXPECT_EQ(view.width, c.width);
        EXPECT_EQ(view.height, c.height);
        // General header: scan and image resolutions (x, y) at bytes 20 to 27, big-endian.
        ASSERT_GE(record.size(), 28u);
        for (size_t at = 20; at < 28; at += 2) EXPECT_EQ(record[at] << 8 | record[at + 1], 500) << at;
        const peers::FirView library = TakeLibraryResult();
        ASSERT_EQ(library.width, c.width);
        ASSERT_EQ(library.height, c.height);
        EXPECT_TRUE(view.pixels == library.pixels) << "the record's image is not the library's result";
    }

    fs::path work;
};

TEST_P(RealLibraryRoadTest, CaptureDeliversTheLibrarysResult) {
    const RealLibraryCase& c = GetParam();
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 60000)) << service.ConsoleText();
    EXPECT_EQ(dm.Events().back().deviceModel, c.model);
    // The ten-print scanner's serial comes from its device text (the simulated device's 1001); the
    // single-finger scanner's device record carries no serial.
    EXPECT_EQ(dm.Events().back().serialNumber, std::string(c.model) == "PloverA" ? "1001" : "");

    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 0)));
    peers::CaptureOptions options;
    options.biometricPosition = c.position;
    options.startWaitMs = 30000;  // the library sets the mode and checks the platen first
    options.timeoutMs = 40000;
    peers::CaptureResult result;
    // A capture stopped or forced on the empty platen: the hand lands only in a longer stream.
    if (std::string(c.before) == "stop") {
        options.stopAfterFrames = 2;
        result = client.Capture(options);
        EXPECT_EQ(result.startReason, "Success");
        EXPECT_EQ(result.stopReason, "Success");
        EXPECT_FALSE(result.completed);
        options.stopAfterFrames = -1;
    } else if (std::string(c.before) == "force") {
        options.forceAfterFrames = 2;
        result = client.Capture(options);
        EXPECT_EQ(result.forceReason, "Success");
        ASSERT_TRUE(result.completed);
        ExpectLibraryResult(result.sample);
        options.forceAfterFrames = -1;
    } else if (std::string(c.before) == "unplug") {
        // Unplugged in the middle of the capture: the DM hears the device leave, the client's
        // channel closes; plugged in again, the scanner arrives anew and captures.
        result = client.Capture(options);
        EXPECT_EQ(result.startReason, "Success");
        EXPECT_TRUE(result.deviceClosed);
        EXPECT_FALSE(result.completed);
        ASSERT_TRUE(dm.WaitFor("Removal", 1, 30000)) << service.ConsoleText();
        EXPECT_EQ(EventURI("Removal", 0), EventURI("Arrival", 0));
        ASSERT_TRUE(dm.WaitFor("Arrival", 2, 60000)) << service.ConsoleText();
        EXPECT_EQ(dm.Events().back().deviceModel, c.model);
        client.Close();
        ASSERT_TRUE(client.Connect(EventURI("Arrival", 1)));
        // The scanner works again: a capture forced on the empty platen (no hand lands).
        options.forceAfterFrames = 2;
    }
    result = client.Capture(options);
    EXPECT_EQ(result.startReason, "Success");
    ASSERT_TRUE(result.completed) << service.ConsoleText();
    EXPECT_GE(result.previews, 1);
    ExpectLibraryResult(result.sample);
    if (options.forceAfterFrames >= 0) {
        EXPECT_EQ(result.forceReason, "Success");
    } else {
        // The hand is in the image: a good share of ridge (dark) pixels, and light background too.
        const peers::FirView view = peers::ReadFirstFirView(result.sample);
        const auto dark = std::count_if(view.pixels.begin(), view.pixels.end(), [](uint8_t p) { return p < 128; });
        EXPECT_GT(dark, static_cast<long>(view.pixels.size() / 50));
        EXPECT_LT(dark, static_cast<long>(view.pixels.size() / 2));
    }
    if (std::string(c.model) == "VireoA") {
        // A single-finger scanner takes no slap and no thumbs.
        for (const char* position : {"RightSlap", "LeftSlap", "BothThumbs"}) {
            options.biometricPosition = position;
            EXPECT_EQ(client.Capture(options).startReason, "InvalidRequest_ParameterValueInvalid") << position;
        }
    }
    client.Close();
    EXPECT_EQ(service.Terminate(), 1);
    EXPECT_EQ(dm.Count("Removal"), std::string(c.before) == "unplug" ? 2 : 1);
    EXPECT_EQ(EventURI("Removal", dm.Count("Removal") - 1), EventURI("Arrival", dm.Count("Arrival") - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Scanners, RealLibraryRoadTest,
    ::testing::Values(
        RealLibraryCase{"PloverARightSlap",
                        "period-scale 0.5\ndevice s1 PloverA\nframe 0 * empty\nframe 40 * place right-slap\n", "PloverA",
                        "RightSlap", 13, 1600, 1500, "stop"},
        RealLibraryCase{"PloverAThumbs",
                        "period-scale 0.5\ndevice s1 PloverA\nframe 0 * empty\nframe 40 * place thumbs\n", "PloverA",
                        "BothThumbs", 15, 1600, 1500, "force"},
        // Unplugged 40 frames into the first capture's stream (later than the calibration's
        // streams reach); after the replug a capture forced on the empty platen.
        RealLibraryCase{"PloverAUnplugged",
                        "period-scale 0.5\ndevice s1 PloverA\nframe 0 * empty\nframe 40 s1 unplug\n", "PloverA",
                        "RightSlap", 13, 1600, 1500, "unplug"},
        RealLibraryCase{"VireoASingleFinger",
                        "period-scale 0.25\ndevice s1 VireoA\nframe 0 * empty\nframe 40 * place single\n",
                        "VireoA", "RightIndex", 2, 800, 750, ""}),
    [](const ::testing::TestParamInfo<RealLibraryCase>& info) { return std::string(info.param.name); });

// The real iris capture library on the simulated two-eye camera: the DM sees the camera arrive, the
// client captures both eyes automatically and receives a 19794-6 record with the two eyes, and the
// camera's removal is announced when the service ends.
TEST_F(ServiceRoadTest, RealIrisLibraryCapturesBothEyes) {
    const fs::path work = fs::temp_directory_path() / ("tessik-e2e-iris-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path scenario = work / "iris.txt";
    std::ofstream(scenario) << "period-scale 0.5\ndevice left IrisLeft serial 1001\ndevice right IrisRight serial 1002\n";
    StartService("", "console",
                 {"TESSIK_USB=" + scenario.string(), "TESSIK_TRACE_SLOT=TessikE2eIris-" + std::to_string(::getpid()),
                  "TESSIK_IRIS_WAIT_SCALE=0.2"},
                 TESSIK_ZARN_FP_STANDIN, TESSIK_ZARN_IRIS_LIBRARY_FILE);
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 30000)) << service.ConsoleText();
    EXPECT_EQ(dm.Events().back().deviceModel, "Egret");

    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 0)));
    peers::CaptureOptions options;
    options.biometricPosition = "BothIris";
    options.startWaitMs = 20000;
    options.timeoutMs = 40000;
    const peers::CaptureResult result = client.Capture(options);
    EXPECT_EQ(result.startReason, "Success");
    ASSERT_TRUE(result.completed) << service.ConsoleText();
    const peers::IirView view = peers::ReadIirRecord(result.sample);
    ASSERT_TRUE(view.valid);
    EXPECT_EQ(view.width, 640);
    EXPECT_EQ(view.height, 480);
    ASSERT_EQ(view.images.size(), 2u);
    for (const peers::IirImage& image : view.images) {
        ASSERT_EQ(image.pixels.size(), 640u * 480u);
        // Subtype 1 is the right eye, 2 the left one; each shows its eye: dark inside the true
        // pupil, lighter in the iris ring below it.
        EXPECT_TRUE(image.subtype == 1 || image.subtype == 2);
        sim::EyeSceneParams scene;
        scene.rightEye = image.subtype == 1;
        const sim::EyeTruth truth = sim::RenderEyeFrame(scene).truth;
        const sim::PupilAndRing m = sim::MeanPupilAndRing(image.pixels.data(), 640, 480, truth.pupil, truth.iris);
        ASSERT_GT(m.pupilCount, 0);
        ASSERT_GT(m.ringCount, 0);
        EXPECT_LT(m.pupil + 25, m.ring) << "subtype " << image.subtype;
    }
    EXPECT_NE(view.images[0].subtype, view.images[1].subtype);
    client.Close();
    EXPECT_EQ(service.Terminate(), 1);
    EXPECT_EQ(dm.Count("Removal"), 1);
    std::error_code ignored;
    fs::remove_all(work, ignored);
}

// Ordinary client behaviour on the real capture library with a simulated PloverA whose platen
// stays empty: a capture that ends in a forced result shows the scanner still works.
class RealLibraryClientTest : public ServiceRoadTest {
protected:
    static constexpr const char* kPloverA = "period-scale 0.5\ndevice s1 PloverA\nframe 0 * empty\n";
    void SetUp() override {
        ServiceRoadTest::SetUp();
        work = fs::temp_directory_path() / ("tessik-e2e-client-" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work);
    }
    void TearDown() override {
        ServiceRoadTest::TearDown();
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }
    // A right slap forced on the empty platen: the library's 1600 x 1500 result in the record.
    void ExpectForcedSlap(peers::CEnrolmentClient& client) {
        peers::CaptureOptions options;
        options.forceAfterFrames = 2;
        options.startWaitMs = 30000;
        options.timeoutMs = 40000;
        const peers::CaptureResult result = client.Capture(options);
        EXPECT_EQ(result.startReason, "Success");
        // Not the answer of the ForceCapture: under load the forced result may take longer than
        // the client waits for it, and its next ForceCapture then finds the capture complete.
        ASSERT_TRUE(result.completed) << service.ConsoleText();
        const peers::FirView view = peers::ReadFirstFirView(result.sample);
        EXPECT_EQ(view.position, 13);
        EXPECT_EQ(view.width, 1600);
        EXPECT_EQ(view.height, 1500);
    }
    static double SecondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    fs::path work;
};

// UserFeedback subscribed, then each capture stopped as soon as its start is answered: the
// library's image thread may be in the quality callback when the stop aborts the capture. No stop
// leaves the scanner unable to start: every start is answered Success within a few seconds, and a
// capture after them delivers its record.
TEST_F(RealLibraryClientTest, CapturesStoppedAtOnceAfterAFeedbackSubscription) {
    StartRealLibrary(work, kPloverA);
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 60000)) << service.ConsoleText();
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 0)));
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(client.Command("<Subscribe><Event eventCategory=\"UserFeedback\"/></Subscribe>"), "Success");
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(client.Command("<StartCapture biometricPosition=\"RightSlap\" allowManualCapture=\"false\"/>",
                                 nullptr, 40000),
                  "Success")
            << "round " << round;
        EXPECT_LT(SecondsSince(start), 6.0) << "round " << round;
        start = std::chrono::steady_clock::now();
        ASSERT_EQ(client.Command("<StopCapture/>", nullptr, 10000), "Success") << "round " << round;
        // An abort that waits for the quality callback gives up after 3 s.
        EXPECT_LT(SecondsSince(start), 2.5) << "round " << round;
    }
    ExpectForcedSlap(client);
    client.Close();
    EXPECT_EQ(service.Terminate(), 1);
}

// A client that comes back from the same address while its capture runs (one that crashed, say):
// the takeover closes the old channel and ends the old capture as the old client's own close
// does, so the new client captures at once.
TEST_F(RealLibraryClientTest, TakeoverDuringACaptureEndsTheOldCapture) {
    StartRealLibrary(work, kPloverA);
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 60000)) << service.ConsoleText();
    const std::string uri = EventURI("Arrival", 0);
    std::string ip;
    int port = 0;
    ASSERT_TRUE(peers::SplitUri(uri, ip, port));
    XmlPeer old;
    ASSERT_TRUE(old.Connect(port));
    ASSERT_TRUE(old.Send("<DeviceCommandRequest requestId=\"OLD\"><StartCapture biometricPosition=\"RightSlap\"/>"
                         "</DeviceCommandRequest>"));
    ASSERT_EQ(peers::ElementAttribute(old.Read(30000), "Return", "failureReason"), "Success");

    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(uri));
    EXPECT_TRUE(old.ClosedByPeer(5000));
    ExpectForcedSlap(client);
    client.Close();
    EXPECT_EQ(service.Terminate(), 1);
}

// A hand left on the glass when the operator stops and starts the scanner: its calibration
// cannot find the empty platen. The add gives up after its limit with a warning that says why and
// detection looks at the platen until it is empty; a termination meanwhile is prompt.
TEST_F(RealLibraryClientTest, HandOnTheGlassWhenTheScannerIsStartedAgain) {
    // The hand lands 40 frames into the capture's stream and stays.
    StartRealLibrary(work, "period-scale 0.5\ndevice s1 PloverA\nframe 0 * empty\nframe 40 * place right-slap\n");
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 60000)) << service.ConsoleText();
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 0)));
    // A capture long enough for the hand to land; whether its automatic result comes in time under
    // load does not matter here.
    peers::CaptureOptions options;
    options.startWaitMs = 30000;
    options.timeoutMs = 40000;
    EXPECT_EQ(client.Capture(options).startReason, "Success");
    client.Close();
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    const std::string fp = "<Device deviceType=\"0\" deviceModel=\"PloverA\">";
    ControllerCommand(controller, "C1", fp + "<Stop/></Device>");
    ASSERT_TRUE(dm.WaitFor("Removal", 1, 10000));
    ControllerCommand(controller, "C2", fp + "<Start/></Device>");
    const std::string warning = "did not finish its initialisation and calibration within 30 s";
    int warnings = 0;
    for (int waited = 0; waited < 90 && warnings == 0; ++waited) {
        std::this_thread::sleep_for(1s);
        warnings = FingerprintLogLines(warning, 1);
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(dm.Count("Arrival"), 1);
    // Detection looks at the platen instead of adding the scanner again: the look runs into its
    // calibration. The service ends about as fast as with the scanner added (releasing the scanner
    // takes a second of it), not after the calibration's walk.
    std::this_thread::sleep_for(10s);
    const auto stop = std::chrono::steady_clock::now();
    EXPECT_EQ(service.Terminate(), 1);
    EXPECT_LT(SecondsSince(stop), 3.0);
    EXPECT_GE(FingerprintLogLines("CFpDevice::LookAtPlaten: Looking at the platen of the scanner.", 1), 1);
    EXPECT_EQ(FingerprintLogLines("CNavikVdm::AddDeviceCallbackThread: Trying to initialize a fingerprint device.", 2), 2);
}

// A hand on the glass from the start, lifted 45 s later (well after the first add gave up): the
// scanner arrives at a later detection pass and captures.
TEST_F(RealLibraryClientTest, ScannerArrivesOnceTheHandIsLifted) {
    StartRealLibrary(work, "period-scale 0.5\ndevice s1 PloverA\nframe 0 * place right-slap\nat 45000 s1 lift\n");
    int warnings = 0;
    for (int waited = 0; waited < 90 && warnings == 0; ++waited) {
        std::this_thread::sleep_for(1s);
        warnings = FingerprintLogLines("did not finish its initialisation and calibration within 30 s", 1);
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(dm.Count("Arrival"), 0);
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 120000)) << service.ConsoleText();
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(EventURI("Arrival", 0)));
    ExpectForcedSlap(client);
    client.Close();
    EXPECT_EQ(service.Terminate(), 1);
}

// A DM that asked for a long heartbeat and then closes the connection: the service notices the
// close at once, whatever the heartbeat, logs the loss once, tells the controller the DM is gone
// and connects again a second later; the scanner is announced on the new connection.
class DmLossRoadTest : public RealLibraryClientTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        RealLibraryClientTest::SetUp();
        ASSERT_TRUE(dm.Start(0, GetParam()));
    }
    // The DM URI of the controller's next DeviceManager event; "<none>" when none comes in time.
    static std::string NextDeviceManagerURI(XmlPeer& controller) {
        for (;;) {
            const std::string document = controller.Read(5000);
            if (document.empty()) return "<none>";
            if (peers::HasElement(document, "DeviceManager"))
                return peers::ElementAttribute(document, "DeviceManager", "deviceManagerURI");
        }
    }
};

TEST_P(DmLossRoadTest, ClosedDmIsReconnectedAtOnce) {
    StartRealLibrary(work, kPloverA);
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 60000)) << service.ConsoleText();
    ASSERT_TRUE(dm.WaitFor("Ping", 1, 5000));  // the heartbeat thread waits for its next Ping
    XmlPeer controller;
    ASSERT_TRUE(controller.Connect(configPort));
    const std::string uri = NextDeviceManagerURI(controller);
    ASSERT_EQ(uri, "127.0.0.1:" + std::to_string(dm.Port()));

    dm.DropConnection();
    const auto dropped = std::chrono::steady_clock::now();
    // The reconnect waits 1 s after the loss.
    ASSERT_TRUE(dm.WaitFor("Connect", 2, 3000)) << "no new Connect " << SecondsSince(dropped) << " s after the close";
    EXPECT_GE(SecondsSince(dropped), 0.9);
    EXPECT_EQ(dm.Connections(), 2);
    // A controller that connects while the connect task runs hears of the DM twice: when it
    // connects and from the task.
    std::string lostURI = NextDeviceManagerURI(controller);
    if (lostURI == uri) lostURI = NextDeviceManagerURI(controller);
    EXPECT_EQ(lostURI, "");
    EXPECT_EQ(NextDeviceManagerURI(controller), uri);
    ASSERT_TRUE(dm.WaitFor("Arrival", 2, 10000)) << service.ConsoleText();
    EXPECT_EQ(EventURI("Arrival", 1), EventURI("Arrival", 0));
    const std::string lost = "WARNING: CNavikVdm::HandleDmConnectionLost: Connection lost with Device Manager.";
    EXPECT_EQ(ModuleLogLines("TessikVdm", lost, 1), 1);
    EXPECT_EQ(service.Terminate(), 1);
    EXPECT_EQ(ModuleLogLines("TessikVdm", lost, 1), 1);
}

INSTANTIATE_TEST_SUITE_P(Heartbeats, DmLossRoadTest,
                         ::testing::Values(2147483647,  // the largest value a DM can send
                                           120),        // a Ping every 60 s
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "HeartBeat" + std::to_string(info.param);
                         });

// A hand left on the PloverA from the start, beside the iris camera, lifted after about a minute.
// The scanner's first add runs out of time (half a minute); a controller that connects meanwhile
// sees both devices at once. After it the service waits for an empty platen without keeping the
// iris camera from its work: an iris calibration from the controller is done at once, and iris
// captures every 2 s give their records. The scanner arrives once the hand is lifted.
TEST_F(RealLibraryClientTest, HandOnTheScannerLeavesTheIrisCameraUsable) {
    constexpr int kLiftMs = 60000;
    const auto start = std::chrono::steady_clock::now();
    const fs::path file = work / "devices.txt";
    std::ofstream(file) << "period-scale 0.5\ndevice s1 PloverA\nframe 0 s1 place right-slap\nat " << kLiftMs
                        << " s1 lift\ndevice left IrisLeft serial 1001\ndevice right IrisRight serial 1002\n";
    peers::ServiceSetup setup = Setup("", "console",
                                      {"TESSIK_USB=" + file.string(),
                                       "TESSIK_TRACE_SLOT=TessikE2eHand-" + std::to_string(::getpid()),
                                       "TESSIK_IRIS_WAIT_SCALE=0.2"},
                                      TESSIK_ZARN_FP_LIBRARY_FILE, TESSIK_ZARN_IRIS_LIBRARY_FILE);
    setup.fingerprint = true;
    ASSERT_TRUE(service.Start(setup));

    // The scanner's add has begun (it holds the core object until it ends): a controller connects.
    bool adding = false;
    for (int polls = 0; polls < 600 && !adding; ++polls) {
        std::this_thread::sleep_for(50ms);
        for (const std::string& line : LogLines(service.Dir(), "Fingerprint"))
            adding = adding || line.find("Trying to initialize a fingerprint device.") != std::string::npos;
    }
    ASSERT_TRUE(adding) << service.ConsoleText();
    {
        XmlPeer controller;
        ASSERT_TRUE(controller.Connect(configPort));
        const auto connected = std::chrono::steady_clock::now();
        std::string fpModel, irisModel;
        while ((fpModel.empty() || irisModel.empty()) && SecondsSince(connected) < 3.0) {
            const std::string document = controller.Read(200);
            if (document.find("<DeviceInfo") == std::string::npos) continue;
            const std::string model = peers::ElementAttribute(document, "Device", "deviceModel");
            (peers::ElementAttribute(document, "Device", "deviceType") == "0" ? fpModel : irisModel) = model;
        }
        EXPECT_EQ(fpModel, "PloverA");
        EXPECT_EQ(irisModel, "Egret");
    }
    ASSERT_TRUE(dm.WaitFor("Arrival", 1, 60000)) << service.ConsoleText();
    ASSERT_EQ(dm.Events().back().deviceModel, "Egret");
    const std::string irisURI = EventURI("Arrival", 0);

    const std::string warning = "did not finish its initialisation and calibration within 30 s";
    int warnings = 0;
    for (int waited = 0; waited < 60 && warnings == 0; ++waited) {
        std::this_thread::sleep_for(1s);
        warnings = FingerprintLogLines(warning, 0);
    }
    ASSERT_EQ(warnings, 1) << service.ConsoleText();

    // An iris calibration while the scanner waits for an empty platen.
    {
        XmlPeer controller;
        ASSERT_TRUE(controller.Connect(configPort));
        const auto asked = std::chrono::steady_clock::now();
        const std::string answer =
            ControllerCommand(controller, "CAL", "<Device deviceType=\"1\" deviceModel=\"Egret\"><Calibration/></Device>");
        EXPECT_EQ(peers::ElementAttribute(answer, "Return", "value"), "Success") << answer;
        EXPECT_LT(SecondsSince(asked), 10.0);
    }

    // Iris captures every 2 s until just before the lift.
    peers::CEnrolmentClient client;
    ASSERT_TRUE(client.Connect(irisURI));
    peers::CaptureOptions options;
    options.biometricPosition = "BothIris";
    options.startWaitMs = 20000;
    options.timeoutMs = 20000;
    int attempts = 0, records = 0;
    std::string refusals;
    while (SecondsSince(start) < kLiftMs / 1000.0 - 3) {
        const auto round = std::chrono::steady_clock::now();
        const peers::CaptureResult result = client.Capture(options);
        ++attempts;
        if (result.completed && peers::ReadIirRecord(result.sample).images.size() == 2) ++records;
        else refusals += result.startReason + "; ";
        std::this_thread::sleep_until(round + 2s);
    }
    client.Close();
    std::printf("Iris captures with a hand on the scanner: %d records of %d attempts\n", records, attempts);
    EXPECT_GE(attempts, 6);
    EXPECT_GE(records * 10, attempts * 6) << refusals;

    // The hand lifted: the scanner arrives and captures. Its calibration starts from the exposure
    // that the walks with the hand on it reached, which takes the library a while to come back from.
    ASSERT_TRUE(dm.WaitFor("Arrival", 2, 90000)) << service.ConsoleText();
    const double arrived = SecondsSince(start) - kLiftMs / 1000.0;
    std::printf("The scanner arrived %.1f s after the hand was lifted\n", arrived);
    EXPECT_EQ(dm.Events().back().deviceModel, "PloverA");
    EXPECT_EQ(FingerprintLogLines("Waiting for an empty platen before the PloverA scanner is connected again.", 1), 1);
    peers::CEnrolmentClient scanner;
    ASSERT_TRUE(scanner.Connect(EventURI("Arrival", 1)));
    ExpectForcedSlap(scanner);
    scanner.Close();
    EXPECT_EQ(service.Terminate(), 1);
}

// Every thread of the service is named: with the real capture libraries on a simulated PloverA and
// the simulated iris camera, the DM connected, the system shows each thread the service, its
// runtime, the capture libraries, the driver and the simulated devices started under a name of its
// own, and none under the program's name, which only the main thread carries.
TEST_F(ServiceRoadTest, EveryThreadOfTheServiceIsNamed) {
    const fs::path work = fs::temp_directory_path() / ("tessik-e2e-names-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path scenario = work / "devices.txt";
    std::ofstream(scenario) << "device s1 PloverA\nframe 0 * empty\n"
                               "device left IrisLeft serial 1001\ndevice right IrisRight serial 1002\n";
    peers::ServiceSetup setup = Setup("", "console",
                                      {"TESSIK_USB=" + scenario.string(),
                                       "TESSIK_TRACE_SLOT=TessikE2eNames-" + std::to_string(::getpid()),
                                       "TESSIK_IRIS_WAIT_SCALE=0.2"},
                                      TESSIK_ZARN_FP_LIBRARY_FILE, TESSIK_ZARN_IRIS_LIBRARY_FILE);
    setup.fingerprint = true;
    ASSERT_TRUE(service.Start(setup));
    ASSERT_TRUE(dm.WaitFor("Arrival", 2, 60000)) << service.ConsoleText();
    // The heartbeat and clean-up threads start with the DM's ConnectResponse, before the Arrivals.
    const std::vector<platform::ThreadInfo> threads = platform::ProcessThreads(service.Pid());
    ASSERT_FALSE(threads.empty());
    std::multiset<std::string> names;
    std::string program;
    for (const platform::ThreadInfo& info : threads) {
        if (info.tid == service.Pid()) program = info.name;
        else names.insert(info.name);
    }
    std::string listed;
    for (const std::string& name : names) listed += name + ", ";
    EXPECT_EQ(program, "Tessik_VDM");
    EXPECT_EQ(names.count(program), 0u) << listed;
    EXPECT_EQ(names.count(""), 0u) << listed;
    for (const char* name : {"CPing", "CDetectDevices", "CCleanRequestId", "pool-1", "pool-2", "pool-3", "pool-4",
                             "pool-dispatch", "sk-DM", "sk-Config", "sk-FpDevice", "sk-IrisDevice", "log-writer",
                             "fp-imgproc", "fp-autocapture", "fp-footswitch", "iris-autocap-L", "iris-autocap-R"})
        EXPECT_EQ(names.count(name), 1u) << name << " in " << listed;
    // The simulated devices: at least three of their own each (each capture library sees the
    // simulated bus with its three devices).
    for (const char* name : {"sim-usb", "sim-frames", "sim-notify"})
        EXPECT_GE(names.count(name), 3u) << name << " in " << listed;
    EXPECT_EQ(service.Terminate(), 1);
    std::error_code ignored;
    fs::remove_all(work, ignored);
}
