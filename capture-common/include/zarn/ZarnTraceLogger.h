#pragma once
// The capture libraries' trace writer: every trace line becomes one TraceRecord sent to the trace
// slot, where the trace viewer reads it; with no viewer the line is dropped. The same object owns
// the debug folders and the debug writers (raw files, frame-rate lines, bitmap dumps).
//
// Each library that links this code chooses its source byte by defining kZarnTraceLibrary, e.g.
//     const ZarnTraceLibrary kZarnTraceLibrary = {TraceSource::ZarnEssentialsApi, ""};
// and traces through ZarnTrace().

#include "zarn/TraceRecord.h"

#include "platform/LocalTime.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// What a library tells the trace writer about itself.
struct ZarnTraceLibrary {
    TraceSource source;           // source byte of every record the library writes
    const char* debugSubFolder;   // default debug base folder below the debug root ("" or "iris")
};

// Defined once by each library (and test program) that links the trace writer.
extern const ZarnTraceLibrary kZarnTraceLibrary;

// Builds one record: magic, the first 23 characters of the time text, source, the low byte of
// level, and the text, NUL-padded when shorter than the text field and cut to it when longer.
TraceRecord MakeTraceRecord(TraceSource source, int level, const platform::LocalTime& time, const char* text);

class ZarnTraceLogger {
public:
    static constexpr int kFolderCount = 6;
    static constexpr size_t kFormatBufferSize = 1024;

    // slotName empty: the trace slot of this process (platform::TraceSlotName()). The debug base
    // folder defaults to <debug root>/<debugSubFolder>/, where the debug root is TESSIK_DEBUG_DIR
    // or <temp>/tessik; nothing is created until a debug writer first needs its folder. The debug
    // level starts at TESSIK_DEBUG_LEVEL, else 0, and at level 0 every debug writer is off.
    explicit ZarnTraceLogger(TraceSource source, std::string slotName = {}, std::string debugSubFolder = {});

    // printf-style trace line; a text longer than the record's text field is cut. Always 0.
    int Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int LogText(int level, const char* text);

    // Sets the debug level and the base folder: path when it names an existing directory, else the
    // default. Level >= 1 adds "ResultImage/"; level >= 3 adds "RollingLog/",
    // "RollingImage_Source/" and "RollingImage_Constructed/". Always 0.
    int SetBaseFolder(int level, const char* path);
    int DebugLevel() const { return debugLevel_.load(); }

    // Path of debug folder index (0 base, 1 ResultImage, 2 RollingLog, 3 RollingImage_Source,
    // 4 RollingImage_Constructed), ending in '/', created when missing. -10 for an index outside
    // 0..5 or a folder the level does not provide; -11 when it cannot be created.
    int GetFolder(int index, std::string& out);

    // Debug raw file: overwrite non-zero replaces the file, else appends. -9 while debugging is
    // off, -4 when the file cannot be opened or written, else 0.
    int WriteRawFile(const char* path, const void* buffer, long length, int overwrite);

    // Frame-rate measurement: stop 0 records the start time; otherwise traces
    // "Frame = %d, Total Time = %lf, Speed = %lf f/s" (seconds, frames per second). Always 0.
    int ReportSpeed(int level, int stop, int frames);

    // Bitmap dump of an 8-bit image (rows of width bytes, top row first; a negative height writes
    // the rows bottom first) into folder index, named "<folder><yyyymmddhhmmss>_<tag>.bmp".
    // -9 when the debug level is below requiredLevel or debugging is off; -10 bad folder;
    // -11 folder not creatable; -1 bad image; -4 file not written; 0.
    int SaveDebugBitmap(int requiredLevel, int folderIndex, const char* tag, const uint8_t* image, int width,
                        int height);

    // Writes an 8-bit image (as SaveDebugBitmap lays it out) to a BMP file. -1 bad image, -4 not
    // written, 0.
    static int SaveDibFile(const char* path, const uint8_t* image, int width, int height);

    TraceSource source() const { return source_; }
    const std::string& slotName() const { return slotName_; }

private:
    bool DebugOff(int requiredLevel) const;

    const TraceSource source_;
    const std::string slotName_;
    std::string defaultBase_;
    std::atomic<int> debugLevel_{0};
    std::mutex foldersLock_;
    std::string folders_[kFolderCount];
    std::atomic<int64_t> speedStartNs_{0};
};

// The library's trace writer, built on first use from kZarnTraceLibrary.
ZarnTraceLogger& ZarnTrace();

// What a message box said on the original platform: a trace line at level 0 and a line on stderr.
void ZarnShowMessage(const char* text);
