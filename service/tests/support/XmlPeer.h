#pragma once
// Comparison helpers for the service's XML documents, over the loopback peers of tools/.

// Relative, so that tests of other folders that include this header need no further path.
#include "../../../tools/include/peers/XmlPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

// The document with its first requestId value replaced by "*", for comparing whole texts.
inline std::string WithoutRequestId(const std::string& document) {
    const std::string key = "requestId=\"";
    size_t at = document.find(key);
    if (at == std::string::npos) return document;
    at += key.size();
    size_t end = document.find('"', at);
    if (end == std::string::npos) return document;
    return document.substr(0, at) + "*" + document.substr(end);
}

// True for a fresh id as the service makes them: 36 upper-case hexadecimal digits and hyphens
// in groups of 8-4-4-4-12.
inline bool IsServiceRequestId(const std::string& id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = id[i];
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// The text with the attributes of every start tag in name order: the XML library writes
// attributes in its own order, which carries no meaning.
inline std::string CanonicalXml(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const bool startTag = text[i] == '<' && i + 1 < text.size() &&
                              (std::isalpha(static_cast<unsigned char>(text[i + 1])) != 0);
        if (!startTag) {
            out.push_back(text[i++]);
            continue;
        }
        size_t nameEnd = text.find_first_of(" />", i + 1);
        if (nameEnd == std::string::npos) return out + text.substr(i);
        out += text.substr(i, nameEnd - i);
        i = nameEnd;
        std::vector<std::string> attributes;
        for (;;) {
            while (i < text.size() && text[i] == ' ') ++i;
            if (i >= text.size() || text[i] == '/' || text[i] == '>') break;
            size_t equals = text.find('=', i);
            if (equals == std::string::npos || equals + 1 >= text.size() || text[equals + 1] != '"') break;
            size_t close = text.find('"', equals + 2);
            if (close == std::string::npos) break;
            attributes.push_back(text.substr(i, close + 1 - i));
            i = close + 1;
        }
        std::sort(attributes.begin(), attributes.end());
        for (const std::string& attribute : attributes) out += " " + attribute;
    }
    return out;
}

#define EXPECT_XML_EQ(actual, expected) EXPECT_EQ(CanonicalXml(actual), CanonicalXml(expected))
