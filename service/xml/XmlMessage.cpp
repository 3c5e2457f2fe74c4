#include "xml/XmlMessage.h"

#include <climits>

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

int ParseDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}
