#pragma once
// Building and reading the service's XML messages: attributes only, no namespace, one document per
// message whose root element alone is sent.

#include <cstdint>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>

// One message document made through the DOM implementation "core". Released with the holder.
class CXmlMessage {
public:
    // Makes the document with its root element; IsValid() is false when the XML library offers no
    // "core" implementation.
    explicit CXmlMessage(const char* rootName);
    CXmlMessage(const CXmlMessage&) = delete;
    CXmlMessage& operator=(const CXmlMessage&) = delete;
    ~CXmlMessage();

    bool IsValid() const { return document_ != nullptr; }
    xercesc::DOMDocument* Document() const { return document_; }
    xercesc::DOMElement* Root() const { return root_; }
    // Appends a new child element to `parent` and returns it.
    xercesc::DOMElement* Add(xercesc::DOMElement* parent, const char* name);
    // Hands the document over to the caller, who releases it.
    xercesc::DOMDocument* Detach();

private:
    xercesc::DOMDocument* document_ = nullptr;
    xercesc::DOMElement* root_ = nullptr;
};

// The DOM implementation "core", or null.
xercesc::DOMImplementation* GetCoreDomImplementation();

void SetXmlAttribute(xercesc::DOMElement* element, const char* name, const std::string& value);
// The attribute's value; empty when absent.
std::string GetXmlAttribute(const xercesc::DOMElement* element, const char* name);
bool HasXmlAttribute(const xercesc::DOMElement* element, const char* name);
std::string GetXmlTagName(const xercesc::DOMElement* element);
// Every element of that name below `element` (at any depth), in document order.
std::vector<xercesc::DOMElement*> GetXmlElementsByTagName(const xercesc::DOMElement* element, const char* name);
