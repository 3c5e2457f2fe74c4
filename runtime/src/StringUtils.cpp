#include "runtime/StringUtils.h"

#include <climits>

void Trim(std::string& text) {
    size_t lead = 0;
    while (text.size() - lead > 1 && (text[lead] == ' ' || text[lead] == '\t'))
        ++lead;
    text.erase(0, lead);
    while (text.size() > 1 &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.size() > 1 && text.front() == '"')
        text.erase(0, 1);
    if (text.size() > 1 && text.back() == '"')
        text.pop_back();
}

void TrimLeft(std::string& text, const char* characters) {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::string::npos)
        text.clear();
    else
        text.erase(0, first);
}

std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter) {
    if (delimiter.empty())
        return {text};
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t hit = text.find(delimiter, pos);
        const size_t end = hit == std::string::npos ? text.size() : hit;
        if (end > pos)
            pieces.push_back(text.substr(pos, end - pos));
        if (hit == std::string::npos)
            break;
        pos = hit + delimiter.size();
    }
    return pieces;
}

int ParseDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;  // saturate; clamped below
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    return static_cast<int>(v);
}
