// tessik_soak: runs the service program for a long round and reports the captures done, the
// records that were valid and the service's resident memory along the way.
//
//   tessik_soak PROGRAM APP_DATA STANDIN_LIBRARY [--captures N] [--dm-restarts N] [--unplugs N]
//               [--preview WxH] [--result WxH]
//
// Consecutive captures, Device Manager restarts and scanner unplug/replug cycles, with the DM stub,
// the enrolment client and the scripted capture library (scaled frame periods). The exit status is
// 0 when every capture delivered a valid record, every restart and replug was followed by the
// device's Arrival, and the service ended cleanly on SIGTERM.
//
//   tessik_soak --real PROGRAM APP_DATA FP_LIBRARY IRIS_LIBRARY [--captures N] [--warm-up N] [--compare]
//
// The real capture libraries on a simulated PloverA and the simulated iris camera (frame periods
// halved, the iris library's waits scaled by 0.2): captures alternate between a right slap, forced
// after two previews on the empty platen, and both eyes, captured automatically, each through the
// device, preview and result channels as an enrolment client takes them (300 captures by default).
// Prints the service's resident memory after the warm-up captures (20 by default), at every tenth
// of the round and at the end, and its processor time. With --compare a second service runs beside
// the first with MALLOC_ARENA_MAX at the allocator's own default limit (eight arenas a processor):
// the footprint without the service's arena cap. The exit status is 0 when every capture delivered
// a valid record and every service ended cleanly on SIGTERM.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"
#include "peers/ServiceProcess.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tessik_soak PROGRAM APP_DATA STANDIN_LIBRARY [--captures N] [--dm-restarts N] "
                 "[--unplugs N] [--preview WxH] [--result WxH]\n"
                 "       tessik_soak --real PROGRAM APP_DATA FP_LIBRARY IRIS_LIBRARY [--captures N] [--warm-up N] "
                 "[--compare]\n");
    return 2;
}

bool ParseSize(const char* text, int& width, int& height) {
    return std::sscanf(text, "%dx%d", &width, &height) == 2 && width > 0 && height > 0 && width * height <= 640000 * 4;
}

std::string LastArrivalURI(peers::CDmStub& dm) {
    std::string uri;
    for (const auto& event : dm.Events()) {
        if (event.kind == "Arrival") uri = event.deviceURI;
    }
    return uri;
}

int StandInRound(int argc, char** argv) {
    if (argc < 4) return Usage();
    int captures = 500, dmRestarts = 50, unplugs = 50;
    int previewWidth = 200, previewHeight = 150, resultWidth = 400, resultHeight = 300;
    for (int i = 4; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--captures") == 0 && hasValue) captures = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--dm-restarts") == 0 && hasValue) dmRestarts = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--unplugs") == 0 && hasValue) unplugs = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--preview") == 0 && hasValue) {
            if (!ParseSize(argv[++i], previewWidth, previewHeight)) return Usage();
        } else if (std::strcmp(argv[i], "--result") == 0 && hasValue) {
            if (!ParseSize(argv[++i], resultWidth, resultHeight)) return Usage();
        } else {
            return Usage();
        }
    }
    if (captures < 1 || dmRestarts < 0 || unplugs < 0) return Usage();

    peers::CDmStub dm;
    if (!dm.Start(0, 4)) {
        std::fprintf(stderr, "tessik_soak: the DM stub cannot listen\n");
        return 1;
    }
    const int dmPort = dm.Port();
    peers::ServiceSetup setup;
    setup.program = argv[1];
    setup.appData = argv[2];
    setup.fpLibrary = argv[3];
    setup.script = "autoResultAfterFrames=3;previewIntervalMs=2;previewWidth=" + std::to_string(previewWidth) +
                   ";previewHeight=" + std::to_string(previewHeight) + ";resultWidth=" + std::to_string(resultWidth) +
                   ";resultHeight=" + std::to_string(resultHeight);
    setup.dmPort = dmPort;
    setup.configPort = FreeLoopbackPort();
    setup.logLevel = std::getenv("TESSIK_SOAK_LOG") ? std::getenv("TESSIK_SOAK_LOG") : "WARNING";
    peers::CServiceProcess service;
    if (!service.Start(setup) || !dm.WaitFor("Arrival", 1, 30000)) {
        std::fprintf(stderr, "tessik_soak: the service did not announce its scanner\n");
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const long residentAtStart = service.ResidentKiB();
    long residentAfterFirst = -1;
    int done = 0, valid = 0, restartsDone = 0, unplugsDone = 0, failures = 0;
    peers::CEnrolmentClient client;
    bool connected = client.Connect(LastArrivalURI(dm));
    const std::vector<uint8_t> expected(static_cast<size_t>(resultWidth) * resultHeight, 0x80);
    for (int i = 0; i < captures; ++i) {
        if (!connected) connected = client.Connect(LastArrivalURI(dm));
        const peers::CaptureResult result = client.Capture({});
        ++done;
        const peers::FirView view = peers::ReadFirstFirView(result.sample);
        if (result.completed && view.position == 13 && view.width == resultWidth && view.height == resultHeight &&
            view.pixels == expected)
            ++valid;
        if (i == 0) residentAfterFirst = service.ResidentKiB();
        // Spread the restarts and the unplugs over the round.
        if (dmRestarts > 0 && restartsDone < dmRestarts && (i + 1) * dmRestarts / captures > restartsDone) {
            const int arrivals = dm.Count("Arrival");
            dm.Stop();
            // The port may stay taken for a moment while the old connection closes.
            bool listening = false;
            for (int tries = 0; tries < 100 && !(listening = dm.Start(dmPort, 4)); ++tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (listening && dm.WaitFor("Arrival", arrivals + 1, 30000)) {
                ++restartsDone;
            } else {
                std::fprintf(stderr, "tessik_soak: no Arrival after DM restart %d (%s)\n", restartsDone + 1,
                             listening ? "listening" : "cannot listen again");
                ++failures;
            }
        }
        if (unplugs > 0 && unplugsDone < unplugs && (i + 1) * unplugs / captures > unplugsDone) {
            const int arrivals = dm.Count("Arrival");
            const int removals = dm.Count("Removal");
            client.Close();
            service.SetPlugged(false);
            const bool removed = dm.WaitFor("Removal", removals + 1, 30000);
            service.SetPlugged(true);
            if (removed && dm.WaitFor("Arrival", arrivals + 1, 30000)) {
                ++unplugsDone;
            } else {
                std::fprintf(stderr, "tessik_soak: no %s in unplug cycle %d\n", removed ? "Arrival" : "Removal",
                             unplugsDone + 1);
                ++failures;
            }
            connected = false;
        }
    }
    client.Close();
    const long residentAtEnd = service.ResidentKiB();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int exitStatus = service.Terminate(30000);
    std::printf("captures done: %d\nrecords valid: %d\nDM restarts: %d of %d\nunplug/replug cycles: %d of %d\n"
                "resident memory (KiB): %ld at start, %ld after the first capture, %ld at the end\n"
                "time: %.1f s\nservice exit status after SIGTERM: %d\n",
                done, valid, restartsDone, dmRestarts, unplugsDone, unplugs, residentAtStart, residentAfterFirst,
                residentAtEnd, seconds, exitStatus);
    dm.Stop();
    return valid == captures && failures == 0 && exitStatus == 1 ? 0 : 1;
}

// One service of the real-library round and what it showed.
struct RealLane {
    std::string name;                      // column title
    std::vector<std::string> environment;  // more for the service's environment
    int done = 0;
    int valid = 0;
    int slaps = 0;
    int irises = 0;
    long residentAtStart = -1;  // KiB, once both devices arrived
    long residentAfterWarmUp = -1;
    long residentAtEnd = -1;
    double cpuSeconds = 0;  // the service's processor time up to the end of the round
    double seconds = 0;
    int exitStatus = -1;
    std::string failure;  // why the round could not run
};

struct RealSetup {
    std::string program, appData, fpLibrary, irisLibrary;
    int captures = 300;
    int warmUp = 20;
};

std::mutex printMutex;

// The URI of the last Arrival of a device model.
std::string ArrivalURI(peers::CDmStub& dm, const std::string& model) {
    std::string uri;
    for (const auto& event : dm.Events()) {
        if (event.kind == "Arrival" && event.deviceModel == model) uri = event.deviceURI;
    }
    return uri;
}

// A right slap of the PloverA: the library's 1600 x 1500 result as the record's first view.
bool ValidSlap(const std::vector<uint8_t>& record) {
    const peers::FirView view = peers::ReadFirstFirView(record);
    return view.position == 13 && view.width == 1600 && view.height == 1500;
}

// Both eyes of the camera: a complete iris record of two 640 x 480 images, one right eye
// (subtype 1) and one left eye (subtype 2).
bool ValidIrises(const std::vector<uint8_t>& record) {
    const peers::IirView view = peers::ReadIirRecord(record);
    if (!view.valid || view.width != 640 || view.height != 480 || view.images.size() != 2) return false;
    int subtypes = 0;
    for (const peers::IirImage& image : view.images) {
        if (image.pixels.size() != 640u * 480u || (image.subtype != 1 && image.subtype != 2)) return false;
        subtypes |= image.subtype;
    }
    return subtypes == 3;
}

void RunRealLane(const RealSetup& real, int index, RealLane& lane) {
    namespace fs = std::filesystem;
    peers::CDmStub dm;
    if (!dm.Start(0)) {
        lane.failure = "the DM stub cannot listen";
        return;
    }
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(index);
    const fs::path scenario = fs::temp_directory_path() / ("tessik-soak-" + tag + ".txt");
    std::ofstream(scenario, std::ios::trunc) << "period-scale 0.5\n"
                                                "device s1 PloverA\n"
                                                "frame 0 s1 empty\n"
                                                "device left IrisLeft serial 1001\n"
                                                "device right IrisRight serial 1002\n";
    peers::ServiceSetup setup;
    setup.program = real.program;
    setup.appData = real.appData;
    setup.fpLibrary = real.fpLibrary;
    setup.irisLibrary = real.irisLibrary;
    setup.iris = true;
    setup.dmPort = dm.Port();
    setup.configPort = FreeLoopbackPort();
    setup.logLevel = std::getenv("TESSIK_SOAK_LOG") ? std::getenv("TESSIK_SOAK_LOG") : "WARNING";
    // The libraries' trace records go to a slot of the round's own, not to a trace viewer running.
    setup.environment = {"TESSIK_USB=" + scenario.string(), "TESSIK_TRACE_SLOT=TessikSoak-" + tag,
                         "TESSIK_IRIS_WAIT_SCALE=0.2"};
    setup.environment.insert(setup.environment.end(), lane.environment.begin(), lane.environment.end());
    peers::CServiceProcess service;
    const bool started = service.Start(setup);
    // The scanner arrives after its calibration; the camera after its own.
    if (!started || !dm.WaitFor("Arrival", 2, 120000)) {
        lane.failure = "the service did not announce both devices";
        std::error_code ignored;
        fs::remove(scenario, ignored);
        return;
    }
    const auto begin = std::chrono::steady_clock::now();
    lane.residentAtStart = service.ResidentKiB();
    peers::CEnrolmentClient scanner, camera;
    bool scannerConnected = scanner.Connect(ArrivalURI(dm, "PloverA"));
    bool cameraConnected = camera.Connect(ArrivalURI(dm, "Egret"));
    const int every = std::max(1, real.captures / 10);
    for (int i = 0; i < real.captures; ++i) {
        const bool slap = i % 2 == 0;
        peers::CEnrolmentClient& client = slap ? scanner : camera;
        bool& connected = slap ? scannerConnected : cameraConnected;
        if (!connected) connected = client.Connect(ArrivalURI(dm, slap ? "PloverA" : "Egret"));
        peers::CaptureOptions options;
        options.timeoutMs = 40000;
        if (slap) {
            options.forceAfterFrames = 2;
            options.startWaitMs = 30000;  // the library sets the mode and checks the platen first
        } else {
            options.biometricPosition = "BothIris";
            options.startWaitMs = 20000;
        }
        const peers::CaptureResult result = client.Capture(options);
        ++lane.done;
        if (result.completed && (slap ? ValidSlap(result.sample) : ValidIrises(result.sample))) {
            ++lane.valid;
            ++(slap ? lane.slaps : lane.irises);
        } else {
            // A channel in an unknown state: the next capture of the device starts on a new one.
            client.Close();
            connected = false;
            std::lock_guard guard(printMutex);
            std::printf("[%s] capture %d (%s) gave no valid record (start: %s)\n", lane.name.c_str(), i + 1,
                        slap ? "RightSlap" : "BothIris", result.startReason.c_str());
        }
        const long resident = service.ResidentKiB();
        if (i + 1 == real.warmUp) lane.residentAfterWarmUp = resident;
        if ((i + 1) % every == 0 || i + 1 == real.warmUp) {
            std::lock_guard guard(printMutex);
            std::printf("[%s] %d captures: resident %ld KiB\n", lane.name.c_str(), i + 1, resident);
            std::fflush(stdout);
        }
    }
    scanner.Close();
    camera.Close();
    lane.residentAtEnd = service.ResidentKiB();
    lane.cpuSeconds = service.CpuSeconds();
    lane.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    lane.exitStatus = service.Terminate(30000);
    dm.Stop();
    std::error_code ignored;
    fs::remove(scenario, ignored);
}

int RealRound(int argc, char** argv) {
    if (argc < 6) return Usage();
    RealSetup real;
    real.program = argv[2];
    real.appData = argv[3];
    real.fpLibrary = argv[4];
    real.irisLibrary = argv[5];
    bool compare = false;
    for (int i = 6; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--captures") == 0 && hasValue) real.captures = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--warm-up") == 0 && hasValue) real.warmUp = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--compare") == 0) compare = true;
        else return Usage();
    }
    if (real.captures < 1 || real.warmUp < 1 || real.warmUp > real.captures) return Usage();

    std::vector<RealLane> lanes(1);
    lanes[0].name = "as built";
    if (compare) {
        // glibc's own limit when none is set: eight arenas for each processor online.
        const std::string limit = std::to_string(8 * ::sysconf(_SC_NPROCESSORS_ONLN));
        lanes.emplace_back();
        lanes[1].name = "MALLOC_ARENA_MAX=" + limit;
        lanes[1].environment = {lanes[1].name};
    }
    std::vector<std::thread> threads;
    for (size_t i = 1; i < lanes.size(); ++i) threads.emplace_back(RunRealLane, std::cref(real), int(i), std::ref(lanes[i]));
    RunRealLane(real, 0, lanes[0]);
    for (std::thread& thread : threads) thread.join();

    bool good = true;
    auto row = [&](const char* title, auto value) {
        std::printf("%-34s", title);
        for (const RealLane& lane : lanes) std::printf("  %22s", value(lane).c_str());
        std::printf("\n");
    };
    auto number = [](long value) { return std::to_string(value); };
    std::printf("\n");
    row("service", [](const RealLane& lane) { return lane.name; });
    for (const RealLane& lane : lanes) {
        if (!lane.failure.empty()) std::printf("[%s] %s\n", lane.name.c_str(), lane.failure.c_str());
        good = good && lane.failure.empty() && lane.valid == real.captures && lane.exitStatus == 1;
    }
    row("captures done", [&](const RealLane& lane) { return number(lane.done); });
    row("records valid (slaps + both eyes)", [&](const RealLane& lane) {
        return number(lane.valid) + " (" + number(lane.slaps) + " + " + number(lane.irises) + ")";
    });
    row("resident KiB, both devices arrived", [&](const RealLane& lane) { return number(lane.residentAtStart); });
    const std::string afterWarmUp = "resident KiB after " + std::to_string(real.warmUp) + " captures";
    row(afterWarmUp.c_str(), [&](const RealLane& lane) { return number(lane.residentAfterWarmUp); });
    row("resident KiB at the end", [&](const RealLane& lane) { return number(lane.residentAtEnd); });
    row("growth after the warm-up, KiB", [&](const RealLane& lane) {
        return number(lane.residentAtEnd - lane.residentAfterWarmUp);
    });
    char text[64];
    row("service processor time, s", [&](const RealLane& lane) {
        std::snprintf(text, sizeof text, "%.1f", lane.cpuSeconds);
        return std::string(text);
    });
    row("time of the round, s", [&](const RealLane& lane) {
        std::snprintf(text, sizeof text, "%.1f", lane.seconds);
        return std::string(text);
    });
    row("service exit status after SIGTERM", [&](const RealLane& lane) { return number(lane.exitStatus); });
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--real") == 0) return RealRound(argc, argv);
    return StandInRound(argc, argv);
}
