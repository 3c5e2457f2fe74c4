// tessik_enrol: one capture through a device's channel. Writes the ISO/IEC 19794-4 record of the
// sample and PNG images of the sample and of the last preview into an output folder; for an iris
// capture the ISO/IEC 19794-6 record and a PNG of each eye.
#include <algorithm>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "peers/EnrolmentClient.h"

namespace {

bool WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& pixels) {
    if (width <= 0 || height <= 0 || pixels.size() < static_cast<size_t>(width) * static_cast<size_t>(height))
        return false;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < height; ++row)
        png_write_row(png, pixels.data() + static_cast<size_t>(row) * static_cast<size_t>(width));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --device IP:PORT [--position RightSlap] [--missing A,B] [--force FRAMES]\n"
                 "          [--stop FRAMES] [--out DIR] [--timeout MS] [--preview-rate PER_SECOND]\n"
                 "  --preview-rate: GetFrame requests a second (default: the device's own preview pace)\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string deviceURI;
    std::string out = "enrolment-output";
    peers::CaptureOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (i + 1 >= argc) return Usage(argv[0]);
        const std::string value = argv[++i];
        if (word == "--device") deviceURI = value;
        else if (word == "--position") options.biometricPosition = value;
        else if (word == "--missing") options.missing = value;
        else if (word == "--force") options.forceAfterFrames = std::atoi(value.c_str());
        else if (word == "--stop") options.stopAfterFrames = std::atoi(value.c_str());
        else if (word == "--out") out = value;
        else if (word == "--timeout") options.timeoutMs = std::atoi(value.c_str());
        else if (word == "--preview-rate") {
            options.previewRate = std::atof(value.c_str());
            if (!(options.previewRate > 0 && options.previewRate <= 1000)) return Usage(argv[0]);
        } else return Usage(argv[0]);
    }
    if (deviceURI.empty()) return Usage(argv[0]);
    // The wait bounds the start as well: a capture library may check the platen before it starts.
    options.startWaitMs = std::max(options.startWaitMs, options.timeoutMs);

    peers::CEnrolmentClient client;
    if (!client.Connect(deviceURI)) {
        std::fprintf(stderr, "Enrolment client: cannot connect to %s\n", deviceURI.c_str());
        return 1;
    }
    const peers::CaptureResult result = client.Capture(options);
    std::printf("Enrolment client: StartCapture %s, %d distinct preview(s) in %d GetFrame answer(s) to %d request(s)\n",
                result.startReason.c_str(), result.distinctPreviews, result.previews, result.frameRequests);
    if (!result.forceReason.empty()) std::printf("Enrolment client: ForceCapture %s\n", result.forceReason.c_str());
    if (!result.stopReason.empty()) std::printf("Enrolment client: StopCapture %s\n", result.stopReason.c_str());
    if (result.deviceClosed) std::fprintf(stderr, "Enrolment client: the service closed the device channel\n");
    if (!result.completed) {
        std::fprintf(stderr, "Enrolment client: no sample\n");
        return result.stopReason == "Success" ? 0 : 1;
    }
    std::filesystem::create_directories(out);
    const peers::IirView iris = peers::ReadIirRecord(result.sample);
    if (iris.valid) {
        const std::string iso = out + "/iris.iso";
        std::ofstream(iso, std::ios::binary)
            .write(reinterpret_cast<const char*>(result.sample.data()), static_cast<std::streamsize>(result.sample.size()));
        std::printf("Enrolment client: ISO 19794-6 record %s (%zu bytes, %zu eye(s), %dx%d)\n", iso.c_str(),
                    result.sample.size(), iris.images.size(), iris.width, iris.height);
        for (const peers::IirImage& eye : iris.images) {
            // Subtype 1 is the right eye, 2 the left one.
            const std::string png = out + (eye.subtype == 1 ? "/iris-right.png" : "/iris-left.png");
            if (WritePng(png, iris.width, iris.height, eye.pixels)) std::printf("Enrolment client: eye image %s\n", png.c_str());
        }
        return 0;
    }
    const std::string iso = out + "/sample.iso";
    std::ofstream(iso, std::ios::binary)
        .write(reinterpret_cast<const char*>(result.sample.data()), static_cast<std::streamsize>(result.sample.size()));
    const peers::FirView sample = peers::ReadFirstFirView(result.sample);
    const peers::FirView preview = peers::ReadFirstFirView(result.lastPreview);
    std::printf("Enrolment client: ISO 19794-4 record %s (%zu bytes, position %d, %dx%d)\n", iso.c_str(),
                result.sample.size(), sample.position, sample.width, sample.height);
    if (sample.position >= 0 && WritePng(out + "/sample.png", sample.width, sample.height, sample.pixels))
        std::printf("Enrolment client: sample image %s/sample.png\n", out.c_str());
    if (preview.position >= 0 && WritePng(out + "/preview.png", preview.width, preview.height, preview.pixels))
        std::printf("Enrolment client: last preview %s/preview.png\n", out.c_str());
    return 0;
}
