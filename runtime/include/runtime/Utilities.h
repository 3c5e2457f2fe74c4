#pragma once
// Program directories, message-kind names and XML handling over xerces-c: DOM parsers with cached
// schema grammars, validated parsing of files and received text, serialisation of documents, and
// the self test of the data files in App_Data.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLGrammarPool.hpp>

// Kind of a message or command, recorded with every request id. The pairs 3/5, 4/6, 20/23, 21/24
// and 22/25 are the fingerprint and iris variants of one message and print the same name.
enum MessageId : int32_t {
    MID_ShutDown = 0,
    MID_ResetDevice = 1,
    MID_Connect = 2,
    MID_FingerprintDeviceArrival = 3,
    MID_FingerprintDeviceRemoval = 4,
    MID_IrisDeviceArrival = 5,
    MID_IrisDeviceRemoval = 6,
    MID_Ping = 7,
    MID_Subscribe = 8,
    MID_StartCapture = 9,
    MID_ForceCapture = 10,
    MID_StopCapture = 11,
    MID_Complete = 12,
    MID_Detection = 13,
    MID_UserFeedback = 14,
    MID_GetFrame = 15,
    MID_GetSample = 16,
    MID_Unknown = 17,  // a kind that was not recorded
    MID_VdmCommand = 18,
    MID_Config = 19,
    MID_FingerprintConfigDeviceInfo = 20,
    MID_FingerprintConfigDeviceRemoval = 21,
    MID_FingerprintConfigDeviceClient = 22,
    MID_IrisConfigDeviceInfo = 23,
    MID_IrisConfigDeviceRemoval = 24,
    MID_IrisConfigDeviceClient = 25,
    MID_ConfigDeviceManager = 26,
    MID_StartDevice = 27,
    MID_StopDevice = 28,
    MID_RestartDevice = 29,
    MID_CalibrateDevice = 30,
};

// Collects the parser's reports of one load or parse: `failed` is set by errors and fatal errors,
// not by warnings; every report is logged at DBG1 (module 0).
class error_handler : public xercesc::DOMErrorHandler {
public:
    error_handler() = default;
    ~error_handler() override = default;
    bool handleError(const xercesc::DOMError& error) override;

    bool failed = false;
};

// UTF-8 text as the parser's 16-bit text, for the holder's lifetime. A null input gives null.
class CToXmlCh {
public:
    explicit CToXmlCh(const char* text);
    explicit CToXmlCh(const std::string& text) : CToXmlCh(text.c_str()) {}
    CToXmlCh(const CToXmlCh&) = delete;
    CToXmlCh& operator=(const CToXmlCh&) = delete;
    ~CToXmlCh();

    const XMLCh* get() const { return text_; }
    operator const XMLCh*() const { return text_; }

private:
    XMLCh* text_ = nullptr;
};

// The parser's 16-bit text as UTF-8, for the holder's lifetime. A null input gives null.
class CFromXmlCh {
public:
    explicit CFromXmlCh(const XMLCh* text);
    CFromXmlCh(const CFromXmlCh&) = delete;
    CFromXmlCh& operator=(const CFromXmlCh&) = delete;
    ~CFromXmlCh();

    const char* get() const { return text_; }
    operator const char*() const { return text_; }
    // The text as a string; empty for a null input.
    std::string str() const { return text_ != nullptr ? std::string(text_) : std::string(); }

private:
    char* text_ = nullptr;
};

class CUtilities {
public:
    // Directory of the running program, without a trailing '/'; empty when unknown.
    static std::string GetModuleDir();
    // "<program dir>/App_Data" and "<program dir>/Log", created when missing.
    static std::string GetAppDataDir();
    static std::string GetLogDir();

    // Name of a message kind; "Unknown" for 17 and for values outside 0..30.
    static std::string GetCommandName(MessageId messageId);

    // A new DOM parser on `pool` (may be null), validating against the pool's grammars when
    // `validate`. Every parser refuses DOCTYPE declarations and never loads external entities,
    // DTDs or schemas named by a document.
    static xercesc::DOMLSParser* CreateDOMParser(xercesc::XMLGrammarPool* pool, bool validate);

    // Makes a grammar pool and a validating parser on it, loads every schema into the pool and
    // locks it. False (with "Unable to load <path>") when a schema does not load; parser and pool
    // stay in the out arguments for the caller to free (ReleaseParser).
    static bool LoadGrammars(xercesc::DOMLSParser*& parser, xercesc::XMLGrammarPool*& pool,
                             const std::vector<std::string>& schemas);

    // Releases a parser made by CreateDOMParser/LoadGrammars, then its pool; both set to null.
    static void ReleaseParser(xercesc::DOMLSParser*& parser, xercesc::XMLGrammarPool*& pool);

    // Parses and validates a file against the schemas (none: well-formedness only). The caller
    // owns the document (release()); null on any error.
    static xercesc::DOMDocument* ReadXMLConfigFile(const std::vector<std::string>& schemas,
                                                   std::string file);

    // Deepest element nesting of a received message; no message of the channels comes near it.
    static constexpr int kMaxReceivedXmlDepth = 16;

    // True when no element of the text is nested deeper than `maxDepth` (the root is depth 1).
    // A linear scan of the tags, without parsing.
    static bool XmlNestingWithin(const char* data, size_t length, int maxDepth);

    // Parses received text with an endpoint's parser and a fresh error_handler. Null when the
    // text is not a valid document (`failed` tells whether the parser reported errors). Text
    // nested deeper than kMaxReceivedXmlDepth is refused the same way before it reaches the
    // parser, whose cost grows with the square of the depth. Never throws; the caller owns the
    // document.
    static xercesc::DOMDocument* ParseXmlText(xercesc::DOMLSParser* parser, const char* data,
                                              size_t length, bool* failed = nullptr);

    // The root element of a document (or the given element) as UTF-8 text, without an XML
    // declaration; empty when nothing was produced.
    static std::string XmlDocumentToString(const xercesc::DOMNode* node);

    // Checks the data files listed in App_Data/SelfTest.xml: schemas load, XML files validate,
    // configuration files open. True when all pass.
    static bool SelfTest();
};
