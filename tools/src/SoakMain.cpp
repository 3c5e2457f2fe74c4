// tessik_soak: runs the service program for a long round of consecutive captures, Device Manager
// restarts and scanner unplug/replug cycles, with the DM stub, the enrolment client and the
// scripted capture library (scaled frame periods), and reports the captures done, the records
// that were valid, and the service's resident memory before and after.
//
//   tessik_soak PROGRAM APP_DATA STANDIN_LIBRARY [--captures N] [--dm-restarts N] [--unplugs N]
//               [--preview WxH] [--result WxH]
//
// The exit status is 0 when every capture delivered a valid record, every restart and replug was
// followed by the device's Arrival, and the service ended cleanly on SIGTERM.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"
#include "peers/ServiceProcess.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tessik_soak PROGRAM APP_DATA STANDIN_LIBRARY [--captures N] [--dm-restarts N] "
                 "[--unplugs N] [--preview WxH] [--result WxH]\n");
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

}  // namespace

int main(int argc, char** argv) {
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
