// The service program on loopback, with the DM stub, the enrolment client's requests and the
// scripted capture library: the GetFrame round trip for an 800x750 preview (target: at most 2 ms),
// and the service's processor use while idle with a scanner attached (target: under 1% of a core)
// and while a capture streams previews at 30 frames a second. Beside it the idle service with the
// real capture libraries on a simulated PloverA and the simulated iris camera, its processor use
// split by thread name into the simulated devices ("sim-" threads, which stand for hardware) and
// the rest (target for the rest: under 1% of a core).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "peers/DmStub.h"
#include "peers/EnrolmentClient.h"
#include "peers/ServiceProcess.h"
#include "platform/ThreadName.h"

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

// The service with the real capture libraries, both devices arrived at the DM, no client.
struct RealLibrariesService {
    peers::CDmStub dm;
    peers::CServiceProcess service;
    std::filesystem::path work;
    bool arrived = false;

    RealLibrariesService() {
        work = std::filesystem::temp_directory_path() / ("tessik-bench-idle-" + std::to_string(::getpid()));
        std::filesystem::create_directories(work);
        const std::filesystem::path scenario = work / "devices.txt";
        std::ofstream(scenario) << "device s1 PloverA\nframe 0 * empty\n"
                                   "device left IrisLeft serial 1001\ndevice right IrisRight serial 1002\n";
        dm.Start(0, 20);
        peers::ServiceSetup setup;
        setup.program = TESSIK_VDM_PROGRAM;
        setup.appData = TESSIK_VDM_APP_DATA;
        setup.fpLibrary = TESSIK_ZARN_FP_LIBRARY_FILE;
        setup.irisLibrary = TESSIK_ZARN_IRIS_LIBRARY_FILE;
        setup.iris = true;
        setup.dmPort = dm.Port();
        setup.configPort = FreeLoopbackPort();
        setup.logLevel = "WARNING";
        setup.environment = {"TESSIK_USB=" + scenario.string(),
                             "TESSIK_TRACE_SLOT=TessikBenchIdle-" + std::to_string(::getpid())};
        arrived = service.Start(setup) && dm.WaitFor("Arrival", 2, 120000);
    }
    ~RealLibrariesService() {
        service.Terminate();
        std::error_code ignored;
        std::filesystem::remove_all(work, ignored);
    }
};

// The group of a thread by its name: the simulated devices, the driver, each capture library, the
// service's sockets, pool and background threads.
std::string ThreadGroup(const std::string& name) {
    for (const char* prefix : {"sim-", "drv-", "vcap-", "fp-", "iris-", "sk-", "pool-"}) {
        if (name.rfind(prefix, 0) == 0) return std::string(prefix).substr(0, std::string(prefix).size() - 1);
    }
    return "service";  // CPing, CDetectDevices, CCleanRequestId, log-writer, the main thread
}

// Processor time per thread group over `seconds` of wall time, in percent of one core; threads
// that ended meanwhile are not counted.
std::map<std::string, double> CpuPercentByGroup(pid_t pid, double seconds) {
    std::map<pid_t, platform::ThreadInfo> before;
    for (const platform::ThreadInfo& info : platform::ProcessThreads(pid)) before[info.tid] = info;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::map<std::string, double> groups;
    for (const platform::ThreadInfo& info : platform::ProcessThreads(pid)) {
        const auto was = before.find(info.tid);
        const double used = info.cpuSeconds - (was == before.end() ? 0.0 : was->second.cpuSeconds);
        groups[ThreadGroup(info.name)] += 100.0 * used / seconds;
    }
    return groups;
}

// Idle with the real libraries: cpu_percent is the service with its capture libraries and the
// driver, the simulated devices excluded; sim_cpu_percent the simulated devices; the others each
// group, from the scheduler's exact run time of each thread over 30 s.
void BM_IdleCpuRealLibraries(benchmark::State& state) {
    static RealLibrariesService running;
    if (!running.arrived) {
        state.SkipWithError("the devices did not arrive");
        return;
    }
    for (auto _ : state) {
        const std::map<std::string, double> groups = CpuPercentByGroup(running.service.Pid(), 30.0);
        double rest = 0;
        for (const auto& [group, percent] : groups) {
            state.counters[group + "_cpu_percent"] = percent;
            if (group != "sim") rest += percent;
        }
        state.counters["cpu_percent"] = rest;
    }
}
BENCHMARK(BM_IdleCpuRealLibraries)->Iterations(1)->Unit(benchmark::kMillisecond);

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
