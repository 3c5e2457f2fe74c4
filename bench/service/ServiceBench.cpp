// The service program on loopback, with the DM stub, the enrolment client's requests and the
// scripted capture library: the GetFrame round trip for an 800x750 preview (target: at most 2 ms),
// and the service's processor use while idle with a scanner attached (target: under 1% of a core)
// and while a capture streams previews at 30 frames a second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"
#include "peers/ServiceProcess.h"

namespace {

struct RunningService {
    peers::CDmStub dm;
    peers::CServiceProcess service;
    std::string deviceURI;

    RunningService() {
        dm.Start(0, 20);
        peers::ServiceSetup setup;
        setup.program = TESSIK_VDM_PROGRAM;
        setup.appData = TESSIK_VDM_APP_DATA;
        setup.fpLibrary = TESSIK_ZARN_FP_STANDIN;
        setup.script = "previewIntervalMs=33;previewWidth=800;previewHeight=750";
        setup.dmPort = dm.Port();
        setup.configPort = FreeLoopbackPort();
        setup.logLevel = "WARNING";
        if (service.Start(setup) && dm.WaitFor("Arrival", 1, 30000)) {
            for (const auto& event : dm.Events()) {
                if (event.kind == "Arrival") deviceURI = event.deviceURI;
            }
        }
    }
};

RunningService& Service() {
    static RunningService running;
    return running;
}

// Processor use of the service in percent of one core over `seconds` of wall time.
double CpuPercent(double seconds) {
    const double before = Service().service.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 100.0 * (Service().service.CpuSeconds() - before) / seconds;
}

void BM_IdleCpuWithScanner(benchmark::State& state) {
    if (Service().deviceURI.empty()) {
        state.SkipWithError("the service did not start");
        return;
    }
    for (auto _ : state) state.counters["cpu_percent"] = CpuPercent(10.0);
}
BENCHMARK(BM_IdleCpuWithScanner)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_GetFrameRoundTrip800x750(benchmark::State& state) {
    peers::CEnrolmentClient client;
    std::string answer, ip;
    int port = 0;
    if (!client.Connect(Service().deviceURI) ||
        client.Command("<StartCapture biometricPosition=\"RightSlap\"/>", &answer) != "Success" ||
        !peers::SplitUri(peers::ElementAttribute(answer, "Video", "videoURI"), ip, port)) {
        state.SkipWithError("no capture");
        return;
    }
    XmlPeer preview;
    preview.Connect(port, ip.c_str());
    std::string carry;
    std::vector<uint8_t> record;
    for (int i = 0; i < 100 && record.empty(); ++i) record = peers::FetchImageRecord(preview, 1, "W", 100, &carry);
    const double cpuWhileCapturing = CpuPercent(5.0);
    size_t bytes = 0;
    int64_t frame = 0;
    for (auto _ : state) {
        record = peers::FetchImageRecord(preview, 1, peers::NumberedId('F', frame++), 2000, &carry);
        if (record.empty()) {
            state.SkipWithError("no answer");
            break;
        }
        bytes += record.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["record_bytes"] = static_cast<double>(record.size());
    state.counters["capture_cpu_percent"] = cpuWhileCapturing;
    client.Command("<StopCapture/>");
}
BENCHMARK(BM_GetFrameRoundTrip800x750)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
