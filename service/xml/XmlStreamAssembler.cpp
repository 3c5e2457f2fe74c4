#include "xml/XmlStreamAssembler.h"

#include <utility>

#include "runtime/Log.h"
#include "runtime/StringUtils.h"

CXmlStreamAssembler::CXmlStreamAssembler(std::string rootPrefix, KeepPolicy policy, size_t maxPending,
                                         int detailLevel)
    : rootPrefix_(std::move(rootPrefix)), policy_(policy), maxPending_(maxPending), detailLevel_(detailLevel) {}

// The start of a long text with its size, so that a large message costs one short log line.
static std::string LoggedText(const std::string& text) {
    if (text.size() <= CXmlStreamAssembler::kMaxLoggedText) return text;
    return text.substr(0, CXmlStreamAssembler::kMaxLoggedText) + "... (" + std::to_string(text.size()) + " bytes)";
}

void CXmlStreamAssembler::DropWithWarning(const std::string& text, const LogFunction& log) {
    if (LogEnabled(LOGLEVEL_WARNING)) log(LOGLEVEL_WARNING, " Previous received XML is invalid: " + LoggedText(text));
}

void CXmlStreamAssembler::Keep(std::string text, const LogFunction& log) {
    if (text.size() > maxPending_) {
        DropWithWarning(text, log);
        pending_.clear();
        return;
    }
    pending_ = std::move(text);
}

// A document ends with the '>' of its root's end tag (or of a comment or processing instruction
// after it), followed at most by blanks. Text that ends otherwise is not handed to the parser: a
// peer that dribbles a long unfinished message would otherwise have the whole growing text parsed
// again on every read.
static bool CannotBeADocument(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' ||
                       text[end - 1] == '\n' || text[end - 1] == '\0'))
        --end;
    return end == 0 || text[end - 1] != '>';
}

void CXmlStreamAssembler::Feed(const char* data, size_t length, const ParseFunction& parse, const LogFunction& log) {
    std::string chunk(data != nullptr ? data : "", data != nullptr ? length : 0);
    std::string text;
    if (pending_.empty()) {
        text = std::move(chunk);
    } else {
        std::string stripped = chunk;
        TrimLeft(stripped, " ");
        if (stripped.compare(0, rootPrefix_.size(), rootPrefix_) == 0) {
            DropWithWarning(pending_, log);
            pending_.clear();
            text = std::move(chunk);
        } else {
            // The read continues the pending text. While the text still cannot be a document and
            // holds no root after its start, it stays as it is, appended to in place and searched
            // only where the read may have brought a root: a long unfinished text costs each read
            // its own bytes, not a copy or a search of all that came before.
            const size_t overlap = rootPrefix_.size() - 1;
            const size_t from = searched_ > overlap + 1 ? searched_ - overlap : 1;
            pending_ += chunk;
            if (CannotBeADocument(pending_) && pending_.find(rootPrefix_, from) == std::string::npos) {
                searched_ = pending_.size();
                if (LogEnabled(detailLevel_)) log(detailLevel_, " Received: " + LoggedText(pending_));
                if (pending_.size() > maxPending_) {
                    DropWithWarning(pending_, log);
                    Clear();
                }
                return;
            }
            text = std::move(pending_);
            pending_.clear();
        }
    }
    searched_ = 0;  // whatever is kept below has not been searched yet
    if (LogEnabled(detailLevel_)) log(detailLevel_, " Received: " + LoggedText(text));

    if (!CannotBeADocument(text) && parse(text)) return;

    std::vector<std::string> pieces = SplitString(text, rootPrefix_);
    if (pieces.size() <= 1) {
        Keep(std::move(text), log);
        return;
    }
    if (LogEnabled(detailLevel_)) {
        log(detailLevel_, " Detected " + std::to_string(pieces.size()) +
                               " multiple combined xml responses in one string. Trying to separate and parse each "
                               "one.");
    }
    for (std::string& piece : pieces) {
        piece.insert(0, rootPrefix_);
        if (policy_ == KeepTrailingFailedPiece) pending_.clear();
        if (LogEnabled(LOGLEVEL_DBG3)) log(LOGLEVEL_DBG3, " Seperated XML: " + piece);
        if (CannotBeADocument(piece) || !parse(piece)) Keep(std::move(piece), log);
    }
}
