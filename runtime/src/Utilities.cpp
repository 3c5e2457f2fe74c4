#include "runtime/Utilities.h"

#include <sys/stat.h>

#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/framework/XMLGrammarPoolImpl.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <memory>
#include <string_view>

#include "platform/ProgramDir.h"
#include "runtime/Log.h"

using namespace xercesc;

namespace {

const XMLCh kLs[] = u"LS";
const char* const kUtf8 = "UTF-8";

std::string MakeDirectory(const std::string& path) {
    ::mkdir(path.c_str(), 0775);  // an existing folder, or one we cannot make, is not an error here
    return path;
}

// Text of the exception being handled, for every kind the parser can throw.
std::string DescribeCurrentException() {
    try {
        throw;
    } catch (const XMLException& e) {
        return CFromXmlCh(e.getMessage()).str();
    } catch (const DOMException& e) {
        return CFromXmlCh(e.getMessage()).str();
    } catch (const SAXException& e) {
        return CFromXmlCh(e.getMessage()).str();
    } catch (const OutOfMemoryException&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// Parsers read text from peers: no DOCTYPE (and so no internal or external entities), no external
// DTD, and a bound on entity expansion should a DOCTYPE ever get through.
void HardenParser(DOMConfiguration* config) {
    struct Limits : SecurityManager {
        Limits() { setEntityExpansionLimit(100); }
    };
    static Limits securityManager;
    config->setParameter(XMLUni::fgDOMDisallowDoctype, true);
    config->setParameter(XMLUni::fgXercesLoadExternalDTD, false);
    config->setParameter(XMLUni::fgXercesSecurityManager, &securityManager);
}

DOMImplementationLS* LsImplementation() {
    return static_cast<DOMImplementationLS*>(DOMImplementationRegistry::getDOMImplementation(kLs));
}

}  // namespace

// --- error handler and transcoders --------------------------------------------------------------

bool error_handler::handleError(const DOMError& error) {
    bool warning = error.getSeverity() == DOMError::DOM_SEVERITY_WARNING;
    if (!warning) failed = true;
    if (LogEnabled(LOGLEVEL_DBG1)) {
        const DOMLocator* where = error.getLocation();
        CFromXmlCh uri(where != nullptr ? where->getURI() : nullptr);
        CFromXmlCh message(error.getMessage());
        TSK_LOG(LOGLEVEL_DBG1, 0,
                "URI=" << uri.str() << " :line=" << (where != nullptr ? where->getLineNumber() : 0)
                       << " :column=" << (where != nullptr ? where->getColumnNumber() : 0) << " "
                       << (warning ? "warning: " : "error: ") << message.str());
    }
    return true;
}

CToXmlCh::CToXmlCh(const char* text) {
    if (text == nullptr) return;
    const auto* bytes = reinterpret_cast<const XMLByte*>(text);
    XMLSize_t length = XMLString::stringLen(text);
    try {
        TranscodeFromStr wide(bytes, length, kUtf8);
        text_ = wide.adopt();
    } catch (...) {
        // Not UTF-8: keep every byte as the character of the same number (Latin-1) rather than
        // losing the text.
        text_ = static_cast<XMLCh*>(XMLPlatformUtils::fgMemoryManager->allocate((length + 1) * sizeof(XMLCh)));
        for (XMLSize_t i = 0; i < length; ++i) text_[i] = static_cast<XMLCh>(bytes[i]);
        text_[length] = 0;
    }
}

CToXmlCh::~CToXmlCh() {
    if (text_ != nullptr) XMLPlatformUtils::fgMemoryManager->deallocate(text_);
}

CFromXmlCh::CFromXmlCh(const XMLCh* text) {
    if (text == nullptr) return;
    try {
        TranscodeToStr narrow(text, kUtf8);
        text_ = reinterpret_cast<char*>(narrow.adopt());
    } catch (...) {
        // Unpaired surrogates: keep what fits in one byte, '?' for the rest.
        XMLSize_t length = XMLString::stringLen(text);
        text_ = static_cast<char*>(XMLPlatformUtils::fgMemoryManager->allocate(length + 1));
        for (XMLSize_t i = 0; i < length; ++i) text_[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
        text_[length] = '\0';
    }
}

CFromXmlCh::~CFromXmlCh() {
    if (text_ != nullptr) XMLPlatformUtils::fgMemoryManager->deallocate(text_);
}

// --- directories and names -----------------------------------------------------------------------

std::string CUtilities::GetModuleDir() {
    return platform::GetProgramDirectory();
}

std::string CUtilities::GetAppDataDir() {
    return MakeDirectory(GetModuleDir() + "/App_Data");
}

std::string CUtilities::GetLogDir() {
    return MakeDirectory(GetModuleDir() + "/Log");
}

std::string CUtilities::GetCommandName(MessageId messageId) {
    static const char* const kNames[] = {
        "ShutDown",         "ResetDevice",        "Connect",
        "DeviceArrival",    "DeviceRemoval",      "DeviceArrival",
        "DeviceRemoval",    "Ping",               "Subscribe",
        "StartCapture",     "ForceCapture",       "StopCapture",
        "Complete",         "Detection",          "UserFeedback",
        "GetFrame",         "GetSample",          "Unknown",
        "VdmCommand",       "Config",             "ConfigDeviceInfo",
        "ConfigDeviceRemoval", "ConfigDeviceClient", "ConfigDeviceInfo",
        "ConfigDeviceRemoval", "ConfigDeviceClient", "ConfigDeviceManager",
        "StartDevice",      "StopDevice",         "RestartDevice",
        "CalibrateDevice",
    };
    auto index = static_cast<int64_t>(messageId);
    if (index < 0 || index >= static_cast<int64_t>(std::size(kNames))) return "Unknown";
    return kNames[index];
}

// --- parsers -------------------------------------------------------------------------------------

DOMLSParser* CUtilities::CreateDOMParser(XMLGrammarPool* pool, bool validate) {
    DOMLSParser* parser = LsImplementation()->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr,
                                                             XMLPlatformUtils::fgMemoryManager, pool);
    DOMConfiguration* config = parser->getDomConfig();
    config->setParameter(XMLUni::fgDOMComments, false);
    config->setParameter(XMLUni::fgDOMDatatypeNormalization, true);
    config->setParameter(XMLUni::fgDOMEntities, false);
    config->setParameter(XMLUni::fgDOMElementContentWhitespace, false);
    config->setParameter(XMLUni::fgDOMValidate, validate);
    config->setParameter(XMLUni::fgXercesSchema, validate);
    config->setParameter(XMLUni::fgXercesUseCachedGrammarInParse, validate);
    if (validate) config->setParameter(XMLUni::fgXercesHandleMultipleImports, true);
    config->setParameter(XMLUni::fgXercesSchemaFullChecking, false);
    config->setParameter(XMLUni::fgXercesLoadSchema, false);
    config->setParameter(XMLUni::fgXercesUserAdoptsDOMDocument, true);
    HardenParser(config);
    return parser;
}

void CUtilities::ReleaseParser(DOMLSParser*& parser, XMLGrammarPool*& pool) {
    // The parser refers to the pool, so it goes first.
    if (parser != nullptr) parser->release();
    parser = nullptr;
    if (pool != nullptr) {
        pool->unlockPool();
        delete pool;
    }
    pool = nullptr;
}

bool CUtilities::LoadGrammars(DOMLSParser*& parser, XMLGrammarPool*& pool, const std::vector<std::string>& schemas) {
    pool = new XMLGrammarPoolImpl(XMLPlatformUtils::fgMemoryManager);
    parser = CreateDOMParser(pool, true);
    error_handler handler;
    DOMConfiguration* config = parser->getDomConfig();
    config->setParameter(XMLUni::fgDOMErrorHandler, &handler);
    bool ok = true;
    for (const std::string& schema : schemas) {
        Grammar* grammar = nullptr;
        std::string problem;
        try {
            grammar = parser->loadGrammar(schema.c_str(), Grammar::SchemaGrammarType, true);
        } catch (...) {
            problem = DescribeCurrentException();
        }
        if (grammar == nullptr || handler.failed) {
            if (!problem.empty()) TSK_LOG(LOGLEVEL_DBG1, 0, "Unable to load " << schema << ": " << problem);
            TSK_LOG(LOGLEVEL_ERROR, 0, "Unable to load " << schema);
            ok = false;
            break;
        }
    }
    config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(nullptr));
    if (ok) pool->lockPool();
    return ok;
}

DOMDocument* CUtilities::ReadXMLConfigFile(const std::vector<std::string>& schemas, std::string file) {
    DOMLSParser* parser = nullptr;
    XMLGrammarPool* pool = nullptr;
    if (schemas.empty()) {
        parser = CreateDOMParser(nullptr, false);
    } else if (!LoadGrammars(parser, pool, schemas)) {
        ReleaseParser(parser, pool);
        return nullptr;
    }
    error_handler handler;
    parser->getDomConfig()->setParameter(XMLUni::fgDOMErrorHandler, &handler);
    DOMDocument* document = nullptr;
    try {
        document = parser->parseURI(file.c_str());
    } catch (...) {
        TSK_LOG(LOGLEVEL_ERROR, 0,
                "CUtilities::ReadXMLConfigFile: ReadXMLConfigFile: Error parsing file "
                    << DescribeCurrentException());
        document = nullptr;
        handler.failed = true;
    }
    parser->getDomConfig()->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(nullptr));
    if (handler.failed && document != nullptr) {
        document->release();
        document = nullptr;
    }
    ReleaseParser(parser, pool);
    return document;
}

bool CUtilities::XmlNestingWithin(const char* data, size_t length, int maxDepth) {
    const std::string_view text(data != nullptr ? data : "", data != nullptr ? length : 0);
    // Skips past `end` from `from`; npos when the text stops first.
    auto skipPast = [&text](size_t from, std::string_view end) {
        const size_t at = text.find(end, from);
        return at == std::string_view::npos ? at : at + end.size();
    };
    int depth = 0;
    size_t i = 0;
    while ((i = text.find('<', i)) != std::string_view::npos) {
        const std::string_view rest = text.substr(i + 1);
        if (rest.starts_with("?")) {
            i = skipPast(i + 2, "?>");
        } else if (rest.starts_with("!--")) {
            i = skipPast(i + 4, "-->");
        } else if (rest.starts_with("![CDATA[")) {
            i = skipPast(i + 9, "]]>");
        } else if (rest.starts_with("!") || rest.starts_with("/")) {
            if (rest.starts_with("/")) --depth;
            i = skipPast(i + 1, ">");
        } else {
            // A start tag: up to its '>' outside quoted attribute values.
            char quote = 0;
            size_t j = i + 1;
            for (; j < text.size(); ++j) {
                const char c = text[j];
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (j >= text.size()) return true;  // unfinished: the parser refuses it anyway
            if (text[j - 1] != '/' && ++depth > maxDepth) return false;
            i = j + 1;
        }
        if (i == std::string_view::npos) return true;
    }
    return true;
}

DOMDocument* CUtilities::ParseXmlText(DOMLSParser* parser, const char* data, size_t length, bool* failed) {
    if (failed != nullptr) *failed = true;
    if (parser == nullptr || data == nullptr || length == 0) return nullptr;
    if (!XmlNestingWithin(data, length, kMaxReceivedXmlDepth)) {
        TSK_LOG(LOGLEVEL_DBG1, 0,
                "CUtilities::ParseXmlText: Refused received text nested deeper than " << kMaxReceivedXmlDepth
                                                                                     << " elements");
        return nullptr;
    }
    error_handler handler;
    DOMConfiguration* config = parser->getDomConfig();
    config->setParameter(XMLUni::fgDOMErrorHandler, &handler);
    DOMDocument* document = nullptr;
    try {
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(data), length, "received", false);
        Wrapper4InputSource input(&source, false);
        document = parser->parse(&input);
    } catch (...) {
        TSK_LOG(LOGLEVEL_DBG1, 0,
                "CUtilities::ParseXmlText: Error parsing received text " << DescribeCurrentException());
        document = nullptr;
        handler.failed = true;
    }
    config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(nullptr));
    if (failed != nullptr) *failed = handler.failed;
    if (handler.failed && document != nullptr) {
        document->release();
        document = nullptr;
    }
    return document;
}

std::string CUtilities::XmlDocumentToString(const DOMNode* node) {
    if (node != nullptr && node->getNodeType() == DOMNode::DOCUMENT_NODE) {
        node = static_cast<const DOMDocument*>(node)->getDocumentElement();
    }
    if (node == nullptr) return {};
    std::string text;
    try {
        DOMImplementationLS* implementation = LsImplementation();
        std::unique_ptr<DOMLSSerializer, void (*)(DOMLSSerializer*)> serializer(
            implementation->createLSSerializer(), [](DOMLSSerializer* s) { s->release(); });
        std::unique_ptr<DOMLSOutput, void (*)(DOMLSOutput*)> output(implementation->createLSOutput(),
                                                                    [](DOMLSOutput* o) { o->release(); });
        MemBufFormatTarget target;
        CToXmlCh encoding(kUtf8);
        output->setEncoding(encoding);
        output->setByteStream(&target);
        // An element is written without an XML declaration; UTF-8 bytes, whatever the locale.
        serializer->write(node, output.get());
        text.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
    } catch (...) {
        text.clear();
    }
    return text;
}
