// Streams each simulated device through the camera driver for its default scenario and writes
// sample frames as PNG files, turned upright as the capture libraries see them.
//
//   tessik_driver_demo --out <folder> [--seconds <s per scenario>] [--period-scale <f>]
//                      [--scenario <name>]...   ("kestrel": the FireWire scanners)

#include <png.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/TessikDriver.h"
#include "sim/Models.h"
#include "sim/SimBus.h"
#include "sim/SimKestrel.h"

namespace {

using namespace tessik::driver;

bool WritePng(const std::string& path, const sim::GreyImage& img) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(img.width), png_uint_32(img.height), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    for (int y = 0; y < img.height; ++y) png_write_row(png, const_cast<png_bytep>(&img.pixels[size_t(y) * img.width]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

struct Options {
    std::string out = "demo-frames";
    double seconds = 5;
    double periodScale = 0.5;
    std::vector<std::string> scenarios;
};

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        try {
            if (a == "--out" && hasValue) o.out = argv[++i];
            else if (a == "--seconds" && hasValue) o.seconds = std::stod(argv[++i]);
            else if (a == "--period-scale" && hasValue) o.periodScale = std::stod(argv[++i]);
            else if (a == "--scenario" && hasValue) o.scenarios.push_back(argv[++i]);
            else return false;
        } catch (...) {
            return false;
        }
    }
    return o.seconds > 0 && o.seconds <= 600 && o.periodScale > 0 && o.periodScale <= 10;
}

// One device streaming: the frames it keeps for the PNG files.
struct Capture {
    std::string name;
    const sim::ModelTraits* traits = nullptr;
    int mode = 0;
    std::mutex mutex;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> kept;
    int width = 0, height = 0;
    std::atomic<uint64_t> frames{0};
};

int RunScenario(const std::string& name, const Options& o) {
    auto scenario = sim::BuiltInScenario(name);
    if (!scenario) {
        std::fprintf(stderr, "demo: no scenario '%s'\n", name.c_str());
        return 1;
    }
    for (auto& d : scenario->devices) d.config.framePeriodMs *= o.periodScale;
    auto bus = sim::CreateBus(*scenario);
    DeviceManager manager(bus);
    std::map<std::string, std::shared_ptr<sim::SimDevice>> byLocation;
    for (auto& s : bus->SimDevices()) byLocation[s->Location()] = s;

    std::vector<std::unique_ptr<Capture>> captures;
    std::vector<std::unique_ptr<FrameStream>> streams;
    for (auto& dev : manager.Devices()) {
        const DeviceIdentity id = dev->Identity();
        std::shared_ptr<sim::SimDevice> simDev;
        for (auto& [loc, s] : byLocation)
            if (id.devicePath.find("#" + loc + "#") != std::string::npos) simDev = s;
        if (!simDev) continue;
        auto cap = std::make_unique<Capture>();
        cap->traits = &simDev->traits();
        cap->name = name + "-" + cap->traits->name;
        // The ten-print scanners stream their preview size (mode 2) as the capture library
        // does for flat captures, KestrelA (no preview size) its roll size; the others their
        // full size.
        const sim::ModeGeometry& preview = cap->traits->modes[2];
        const sim::ModeGeometry& full = cap->traits->modes[0];
        const sim::ModeGeometry& roll = cap->traits->modes[1];
        auto smaller = [&](const sim::ModeGeometry& g) {
            return !g.plain && size_t(g.sceneWidth) * g.sceneHeight < size_t(full.sceneWidth) * full.sceneHeight;
        };
        cap->mode = smaller(preview) ? 2 : smaller(roll) && cap->traits->modes[2].rawWidth == full.rawWidth ? 1 : 0;
        if (!cap->traits->scanner) {
            // Both red LEDs at the capture library's default level.
            dev->SetProperty(PropertySet::VideoProcAmp, LedControl, {81 | (1 << 8), kFlagManual, 0});
            dev->SetProperty(PropertySet::VideoProcAmp, LedControl, {81 | (2 << 8), kFlagManual, 0});
            PropertyData status;
            dev->GetProperty(PropertySet::VideoProcAmp, LedControl, status);
            // The exposure the capture library sets for the 640 x 480 sensor.
            dev->SetProperty(PropertySet::CameraControl, kCameraControlExposure, {220, kFlagManual, 0});
        }
        auto stream = std::make_unique<FrameStream>(dev);
        Capture* c = cap.get();
        const NTSTATUS st = stream->Start(size_t(cap->mode), cap->mode, [c](const Frame& f) {
            const uint64_t n = c->frames++;
            // Keep every third frame, at most twelve: the scanner scenarios end by frame 33.
            if (n % 3 != 0) return;
            std::lock_guard lock(c->mutex);
            if (c->kept.size() >= 12) return;
            c->kept.emplace_back(n, std::vector<uint8_t>(f.data, f.data + f.length));
            c->width = f.width;
            c->height = f.height;
        });
        if (!NT_SUCCESS(st)) {
            std::fprintf(stderr, "demo: %s: stream start failed: 0x%08X\n", id.description.c_str(), unsigned(st));
            continue;
        }
        std::printf("demo: %-16s %s  %s\n", id.description.c_str(), id.hardwareId.c_str(), id.devicePath.c_str());
        captures.push_back(std::move(cap));
        streams.push_back(std::move(stream));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(o.seconds * 1000)));
    for (auto& s : streams) s->Stop();

    int written = 0;
    for (auto& c : captures) {
        std::lock_guard lock(c->mutex);
        for (auto& [n, data] : c->kept) {
            sim::GreyImage delivered(c->width, c->height);
            delivered.pixels = std::move(data);
            const sim::GreyImage upright = sim::LibraryDecode(*c->traits, c->mode, delivered);
            char file[64];
            std::snprintf(file, sizeof file, "-%03llu.png", static_cast<unsigned long long>(n));
            const std::string path = o.out + "/" + c->name + file;
            if (!WritePng(path, upright)) {
                std::fprintf(stderr, "demo: cannot write %s\n", path.c_str());
                return 1;
            }
            ++written;
        }
        std::printf("demo: %-22s %llu frames, %zu kept\n", c->name.c_str(), static_cast<unsigned long long>(c->frames.load()),
                    c->kept.size());
    }
    return written > 0 ? 0 : 1;
}

// The FireWire Kestrel scanners do not go through the driver: their preview frames come straight
// from the simulated cameras, and one full set of four tagged half-pixel views is interleaved
// into the double-resolution image the capture library builds.
int RunKestrel(const Options& o) {
    sim::SimFireWireBus bus;
    int written = 0;
    for (auto variant : {sim::KestrelVariant::B, sim::KestrelVariant::C, sim::KestrelVariant::D}) {
        sim::KestrelConfig c;
        c.variant = variant;
        c.layout = sim::FingerLayout::RightSlap;
        c.framePeriodMs = 266.6666 * o.periodScale;
        auto camera = bus.Add(c);
        const std::string name = "kestrel-" + camera->HardwareId();
        std::mutex m;
        std::vector<sim::GreyImage> previews, parts;
        std::atomic<uint64_t> frames{0};
        auto keepIn = [&](std::vector<sim::GreyImage>& kept, size_t most) {
            return [&, most](const uint8_t* data, size_t length, int w, int h) {
                ++frames;
                std::lock_guard lock(m);
                if (kept.size() >= most) return;
                sim::GreyImage img(w, h);
                img.pixels.assign(data, data + length);
                kept.push_back(std::move(img));
            };
        };
        camera->Start(2, keepIn(previews, 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(std::min(o.seconds, 3.0) * 1000)));
        camera->Stop();
        if (variant == sim::KestrelVariant::D) {
            camera->Start(0, keepIn(parts, 4));
            for (int i = 0; i < 600 && [&] { std::lock_guard l(m); return parts.size() < 4; }(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            camera->Stop();
        }
        std::lock_guard lock(m);
        for (size_t i = 0; i < previews.size(); ++i) {
            const std::string path = o.out + "/" + name + "-preview-" + std::to_string(i) + ".png";
            if (!WritePng(path, previews[i])) return 1;
            ++written;
        }
        if (parts.size() == 4) {
            // Interleave the four parts of the first set: a part of the grid around its centre.
            sim::GreyImage grid(1456, 2256);
            const int x0 = 2912 - 728, y0 = 4512 - 1128;
            for (const sim::GreyImage& part : parts) {
                const auto shift = sim::SimKestrel::ShiftOfTag(variant, part.pixels[sim::SimKestrel::kTagByte]);
                for (int y = 0; y < part.height; ++y)
                    for (int x = 0; x < part.width; ++x) {
                        const int gx = 2 * x + shift.dx - x0, gy = 2 * y + shift.dy - y0;
                        if (gx >= 0 && gy >= 0 && gx < grid.width && gy < grid.height) grid.at(gx, gy) = part.at(x, y);
                    }
            }
            if (!WritePng(o.out + "/" + name + "-full-grid.png", grid)) return 1;
            ++written;
        }
        std::printf("demo: %-26s %llu frames\n", name.c_str(), static_cast<unsigned long long>(frames.load()));
    }
    return written > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s --out <folder> [--seconds <s>] [--period-scale <f>] [--scenario <name>]...\n"
                     "scenarios:",
                     argv[0]);
        for (auto& n : sim::BuiltInScenarioNames()) std::fprintf(stderr, " %s", n.c_str());
        std::fprintf(stderr, " kestrel\n");
        return 2;
    }
    if (o.scenarios.empty())
        o.scenarios = {"plovera", "plovere", "ploverb", "ploverc", "ploverd", "kestrela", "vireoa", "vireob",
                       "single", "unnamed", "iris", "kestrel"};
    std::error_code ec;
    std::filesystem::create_directories(o.out, ec);
    if (ec) {
        std::fprintf(stderr, "demo: cannot create %s: %s\n", o.out.c_str(), ec.message().c_str());
        return 1;
    }
    int rc = 0;
    for (const auto& s : o.scenarios) rc |= s == "kestrel" ? RunKestrel(o) : RunScenario(s, o);
    std::printf("demo: frames written to %s\n", o.out.c_str());
    return rc;
}
