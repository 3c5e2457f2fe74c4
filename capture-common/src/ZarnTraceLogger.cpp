#include "zarn/ZarnTraceLogger.h"

#include "zarn/ZarnDib.h"

#include "platform/Mailslot.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

int64_t SteadyNanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path;
}

std::string DebugRoot() {
    const char* env = std::getenv("TESSIK_DEBUG_DIR");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    std::error_code ec;
    std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    if (ec) {
        tmp = "/tmp";
    }
    return (tmp / "tessik").string();
}

int InitialDebugLevel() {
    const char* env = std::getenv("TESSIK_DEBUG_LEVEL");
    return env != nullptr ? std::atoi(env) : 0;
}

}  // namespace

TraceRecord MakeTraceRecord(TraceSource source, int level, const platform::LocalTime& time, const char* text) {
    TraceRecord record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.magic, kTraceMagic, sizeof record.magic);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ", time.year, time.month, time.day,
                  time.hour, time.minute, time.second, time.millisecond);
    std::memcpy(record.time, stamp, sizeof record.time);
    record.source = static_cast<uint8_t>(source);
    record.level = static_cast<uint8_t>(level & 0xFF);
    if (text != nullptr) {
        std::memcpy(record.text, text, strnlen(text, sizeof record.text));
    }
    return record;
}

ZarnTraceLogger::ZarnTraceLogger(TraceSource source, std::string slotName, std::string debugSubFolder)
    : source_(source), slotName_(slotName.empty() ? platform::TraceSlotName() : std::move(slotName)) {
    std::string base = DebugRoot();
    if (!debugSubFolder.empty()) {
        base = WithSlash(base) + debugSubFolder;
    }
    defaultBase_ = WithSlash(base);
    // Nothing is created here: a folder appears when a debug writer first needs it.
    SetBaseFolder(InitialDebugLevel(), nullptr);
}

int ZarnTraceLogger::Log(int level, const char* format, ...) {
    // Each call formats and builds its record in its own storage, so lines from several threads
    // never mix; a text longer than the buffer is cut.
    char text[kFormatBufferSize];
    text[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    return LogText(level, text);
}

int ZarnTraceLogger::LogText(int level, const char* text) {
    const TraceRecord record = MakeTraceRecord(source_, level, platform::GetLocalTime(), text);
    platform::MailslotWrite(slotName_, &record, sizeof record);  // dropped when no viewer reads
    return 0;
}

int ZarnTraceLogger::SetBaseFolder(int level, const char* path) {
    std::error_code ec;
    std::string base = defaultBase_;
    if (path != nullptr && path[0] != '\0' && std::filesystem::is_directory(path, ec)) {
        base = WithSlash(path);
    }
    std::lock_guard<std::mutex> lock(foldersLock_);
    debugLevel_ = level;
    for (auto& f : folders_) {
        f.clear();
    }
    folders_[0] = base;
    if (level >= 1) {
        folders_[1] = base + "ResultImage/";
    }
    if (level >= 3) {
        folders_[2] = base + "RollingLog/";
        folders_[3] = base + "RollingImage_Source/";
        folders_[4] = base + "RollingImage_Constructed/";
    }
    return 0;
}

int ZarnTraceLogger::GetFolder(int index, std::string& out) {
    if (index < 0 || index >= kFolderCount) {
        return -10;
    }
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(foldersLock_);
        folder = folders_[index];
    }
    if (folder.empty()) {
        return -10;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder, ec)) {
        return -11;
    }
    out = folder;
    return 0;
}

bool ZarnTraceLogger::DebugOff(int requiredLevel) const {
    const int level = debugLevel_.load();
    return level < 1 || level < requiredLevel;
}

int ZarnTraceLogger::WriteRawFile(const char* path, const void* buffer, long length, int overwrite) {
    if (DebugOff(1)) {
        return -9;
    }
    FILE* f = path == nullptr ? nullptr : std::fopen(path, overwrite != 0 ? "wb" : "ab");
    if (f == nullptr) {
        return -4;
    }
    const size_t n = length > 0 && buffer != nullptr ? size_t(length) : 0;
    const bool written = std::fwrite(buffer, 1, n, f) == n;
    return std::fclose(f) == 0 && written ? 0 : -4;
}

int ZarnTraceLogger::ReportSpeed(int level, int stop, int frames) {
    const int64_t now = SteadyNanoseconds();
    if (stop == 0) {
        speedStartNs_ = now;
        return 0;
    }
    const double seconds = double(now - speedStartNs_.load()) / 1e9;
    const double speed = seconds > 0.0 ? frames / seconds : 0.0;
    Log(level, "Frame = %d, Total Time = %lf, Speed = %lf f/s", frames, seconds, speed);
    return 0;
}

int ZarnTraceLogger::SaveDebugBitmap(int requiredLevel, int folderIndex, const char* tag, const uint8_t* image,
                                     int width, int height) {
    if (DebugOff(requiredLevel)) {
        return -9;
    }
    std::string folder;
    const int r = GetFolder(folderIndex, folder);
    if (r != 0) {
        return r;
    }
    const platform::LocalTime t = platform::GetLocalTime();
    char name[64];
    std::snprintf(name, sizeof name, "%d%02d%02d%02d%02d%02d_", t.year, t.month, t.day, t.hour, t.minute, t.second);
    const std::string path = folder + name + (tag != nullptr ? tag : "") + ".bmp";
    return SaveDibFile(path.c_str(), image, width, height);
}

int ZarnTraceLogger::SaveDibFile(const char* path, const uint8_t* image, int width, int height) {
    // The image is copied into the bitmap's padded rows rather than attached: its rows are packed
    // (width bytes, not the bitmap's 4-byte stride), and the caller's buffer stays untouched while
    // other threads may be reading it.
    ZarnDib dib;
    if (image == nullptr || dib.Create(width, height < 0 ? -height : height) != 1) {
        return -1;
    }
    const int rows = dib.GetHeight();
    for (int y = 0; y < rows; ++y) {
        const int srcRow = height < 0 ? rows - 1 - y : y;
        std::memcpy(dib.GetPixelAddress(0, y), image + size_t(srcRow) * size_t(width), size_t(width));
    }
    return dib.Save(path) == 0 ? 0 : -4;
}

ZarnTraceLogger& ZarnTrace() {
    static ZarnTraceLogger logger(kZarnTraceLibrary.source, {},
                                  kZarnTraceLibrary.debugSubFolder != nullptr ? kZarnTraceLibrary.debugSubFolder : "");
    return logger;
}

void ZarnShowMessage(const char* text) {
    ZarnTrace().LogText(static_cast<int>(TraceLevel::Error), text);
    std::fprintf(stderr, "%s\n", text);
}
