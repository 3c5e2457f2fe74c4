// Self test of the data files listed in App_Data/SelfTest.xml.

#include <memory>

#include <xercesc/dom/DOM.hpp>

#include "runtime/ConfigFile.h"
#include "runtime/Log.h"
#include "runtime/Utilities.h"

using namespace xercesc;

namespace {

struct DocumentRelease {
    void operator()(DOMDocument* document) const { document->release(); }
};
using DocumentHolder = std::unique_ptr<DOMDocument, DocumentRelease>;

std::vector<DOMElement*> ChildElements(const DOMElement* parent, const char* name) {
    std::vector<DOMElement*> result;
    for (DOMNode* node = parent->getFirstChild(); node != nullptr; node = node->getNextSibling()) {
        if (node->getNodeType() != DOMNode::ELEMENT_NODE) continue;
        auto* element = static_cast<DOMElement*>(node);
        if (name == nullptr || CFromXmlCh(element->getTagName()).str() == name) result.push_back(element);
    }
    return result;
}

// The one child element of that name, or null when there is none or more than one.
DOMElement* OnlyChild(const DOMElement* parent, const char* name) {
    std::vector<DOMElement*> found = ChildElements(parent, name);
    return found.size() == 1 ? found.front() : nullptr;
}

std::string PathOf(const std::string& appData, const DOMElement* element) {
    return appData + "/" + CFromXmlCh(element->getTextContent()).str();
}

}  // namespace

bool CUtilities::SelfTest() {
    const std::string appData = GetAppDataDir();
    DocumentHolder list(ReadXMLConfigFile({appData + "/SelfTest.xsd"}, appData + "/SelfTest.xml"));
    if (list == nullptr || list->getDocumentElement() == nullptr) return false;
    const DOMElement* root = list->getDocumentElement();
    bool result = true;

    if (const DOMElement* xsds = OnlyChild(root, "Xsds")) {
        std::vector<DOMElement*> entries = ChildElements(xsds, "Xsd");
        std::vector<std::string> schemas;
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) schemas.push_back(PathOf(appData, *it));
        DOMLSParser* parser = nullptr;
        XMLGrammarPool* pool = nullptr;
        bool loaded = LoadGrammars(parser, pool, schemas);
        ReleaseParser(parser, pool);
        if (!loaded) return false;
    }

    if (const DOMElement* xmls = OnlyChild(root, "Xmls")) {
        std::vector<DOMElement*> entries = ChildElements(xmls, "Xml");
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            // Each file against its own schema only: no-namespace grammars of several schemas
            // would replace one another in one pool.
            std::vector<DOMElement*> parts = ChildElements(*it, nullptr);
            if (parts.size() != 2) {
                TSK_LOG(LOGLEVEL_ERROR, 0, "CUtilities::SelfTest: Xml entry needs a file and a schema element");
                result = false;
                continue;
            }
            try {
                DocumentHolder document(ReadXMLConfigFile({PathOf(appData, parts[1])}, PathOf(appData, parts[0])));
                if (document == nullptr) result = false;
            } catch (const std::exception& e) {
                TSK_LOG(LOGLEVEL_ERROR, 0, "CUtilities::SelfTest: ReadXMLConfigFile: Error parsing file " << e.what());
                result = false;
            }
        }
    }
    if (!result) return false;

    if (const DOMElement* cfgs = OnlyChild(root, "Cfgs")) {
        std::vector<DOMElement*> entries = ChildElements(cfgs, "Cfg");
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            try {
                CConfigFile::TestLoadingConfigFile(PathOf(appData, *it));
            } catch (const CConfigureFailure& failure) {
                TSK_LOG(LOGLEVEL_ERROR, 0, "CUtilities::SelfTest: Failed to load " << failure.what());
                result = false;
            }
        }
    }
    return result;
}
