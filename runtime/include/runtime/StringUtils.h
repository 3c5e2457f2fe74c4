#pragma once
// Small text helpers of the configuration reader and the message receivers.

#include <string>
#include <vector>

// Cleans a configuration key or value, each step only while more than one character remains:
// leading blanks and tabs, trailing blanks, tabs, LF and CR, then one leading and one trailing '"'.
void Trim(std::string& text);

// Removes the leading characters that belong to `characters` (blanks by default).
void TrimLeft(std::string& text, const char* characters = " ");

// The non-empty pieces between occurrences of `delimiter`, which is removed; an empty delimiter
// gives the whole text as one piece.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter);

// A decimal number as atoi reads it: leading blanks, an optional sign, the digits up to the first
// other character; no digits read as 0; clamped to the int range.
int ParseDecimal(const std::string& text);
