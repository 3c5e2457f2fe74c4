#include "xml/XmlMessage.h"

#include "runtime/Utilities.h"

using namespace xercesc;

DOMImplementation* GetCoreDomImplementation() {
    static const XMLCh kCore[] = {u'c', u'o', u'r', u'e', 0};
    return DOMImplementationRegistry::getDOMImplementation(kCore);
}

CXmlMessage::CXmlMessage(const char* rootName) {
    DOMImplementation* implementation = GetCoreDomImplementation();
    if (implementation == nullptr) return;
    try {
        document_ = implementation->createDocument(nullptr, CToXmlCh(rootName), nullptr);
        root_ = document_->getDocumentElement();
    } catch (...) {
        if (document_ != nullptr) document_->release();
        document_ = nullptr;
        root_ = nullptr;
    }
}

CXmlMessage::~CXmlMessage() {
    if (document_ != nullptr) document_->release();
}

DOMElement* CXmlMessage::Add(DOMElement* parent, const char* name) {
    DOMElement* element = document_->createElement(CToXmlCh(name));
    parent->appendChild(element);
    return element;
}

DOMDocument* CXmlMessage::Detach() {
    DOMDocument* document = document_;
    document_ = nullptr;
    root_ = nullptr;
    return document;
}

void SetXmlAttribute(DOMElement* element, const char* name, const std::string& value) {
    element->setAttribute(CToXmlCh(name), CToXmlCh(value));
}

std::string GetXmlAttribute(const DOMElement* element, const char* name) {
    if (element == nullptr) return {};
    return CFromXmlCh(element->getAttribute(CToXmlCh(name))).str();
}

bool HasXmlAttribute(const DOMElement* element, const char* name) {
    return element != nullptr && element->hasAttribute(CToXmlCh(name));
}

std::string GetXmlTagName(const DOMElement* element) {
    if (element == nullptr) return {};
    return CFromXmlCh(element->getTagName()).str();
}

std::vector<DOMElement*> GetXmlElementsByTagName(const DOMElement* element, const char* name) {
    std::vector<DOMElement*> found;
    if (element == nullptr) return found;
    DOMNodeList* list = element->getElementsByTagName(CToXmlCh(name));
    for (XMLSize_t i = 0; list != nullptr && i < list->getLength(); ++i) {
        found.push_back(static_cast<DOMElement*>(list->item(i)));
    }
    return found;
}
