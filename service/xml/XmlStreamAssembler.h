#pragma once
// Finds XML documents in a stream of reads without framing, as the DM, configuration and device
// channels receive them. A document is recognised by the start of its root tag (the root prefix,
// "<Device" or "<Vdm"). A read that does not complete a document is kept as pending text and
// completed by the next read; a read that starts a new document (after leading blanks) while text
// is pending drops that text with a warning. Text that fails as a whole is cut at every root prefix
// and each piece is tried alone.
//
// Pending text is capped: text that would be kept beyond the cap is dropped with the same warning,
// so a peer that never completes a document cannot grow it without bound.
//
// Used on one socket thread only.

#include <cstddef>
#include <functional>
#include <string>

#include "runtime/Log.h"

class CXmlStreamAssembler {
public:
    enum KeepPolicy {
        // A failing piece becomes the pending text, replacing an earlier one; a later piece that
        // parses leaves it (DM and configuration channels).
        KeepLastFailedPiece,
        // The pending text is emptied before each piece: after the split it holds the last piece
        // when that one failed, else nothing (device channel).
        KeepTrailingFailedPiece,
    };

    static constexpr size_t kDefaultMaxPending = 256 * 1024;
    // Longest part of a received or dropped text written into a log line.
    static constexpr size_t kMaxLoggedText = 4096;

    // Tries a text: parses it and handles the document, false when it is not a valid document.
    using ParseFunction = std::function<bool(const std::string& text)>;
    // Writes one log line; the text starts with the blank that follows the caller's prefix.
    using LogFunction = std::function<void(int level, const std::string& text)>;

    // `detailLevel` is the level of the " Received: " and " Detected " lines (the service's channels
    // write them at DBG1, the controller at DBG2).
    CXmlStreamAssembler(std::string rootPrefix, KeepPolicy policy, size_t maxPending = kDefaultMaxPending,
                        int detailLevel = LOGLEVEL_DBG1);

    // Handles one read.
    void Feed(const char* data, size_t length, const ParseFunction& parse, const LogFunction& log);

    const std::string& Pending() const { return pending_; }
    void Clear() {
        pending_.clear();
        searched_ = 0;
    }

private:
    void Keep(std::string text, const LogFunction& log);
    void DropWithWarning(const std::string& text, const LogFunction& log);

    const std::string rootPrefix_;
    const KeepPolicy policy_;
    const size_t maxPending_;
    const int detailLevel_;
    std::string pending_;
    // Length of the start of the pending text known to hold no root after its first byte.
    size_t searched_ = 0;
};
