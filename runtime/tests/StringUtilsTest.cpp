#include <gtest/gtest.h>

#include <climits>

#include "runtime/StringUtils.h"

namespace {

TEST(StringUtils, TrimCleansKeysAndValues) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {" \t\"a b\" \r", "a b"},
        {"\"\"", "\""},          // never shortened below one character
        {" ", " "},              // a lone blank stays
        {"", ""},
        {"  value  ", "value"},
        {"\t\tx\n", "x"},
        {"\"\"a\"\"", "\"a\""},  // only one pair of quotes goes
        {"a\"", "a"},
        {"\"a", "a"},
        {"  \"", "\""},
        {"x \t\r\n", "x"},
        {"a b\tc", "a b\tc"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        Trim(s);
        EXPECT_EQ(s, c.out) << "input [" << c.in << "]";
    }
}

TEST(StringUtils, TrimLeftRemovesOnlyTheGivenCharacters) {
    struct Case {
        std::string in;
        const char* set;
        std::string out;
    } cases[] = {
        {"   x", " ", "x"},
        {"\tx", " ", "\tx"},   // tabs count as text by default
        {"   ", " ", ""},
        {"", " ", ""},
        {"x  ", " ", "x  "},
        {"\r\n \tx y", " \t\r\n", "x y"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        TrimLeft(s, c.set);
        EXPECT_EQ(s, c.out) << "input [" << c.in << "]";
    }
    std::string s = "  y";
    TrimLeft(s);
    EXPECT_EQ(s, "y");
}

TEST(StringUtils, SplitStringDropsDelimiterAndEmptyPieces) {
    using V = std::vector<std::string>;
    struct Case {
        std::string text, delim;
        V pieces;
    } cases[] = {
        {"<Device a=\"1\"/><Device b=\"2\"/>", "<Device", {" a=\"1\"/>", " b=\"2\"/>"}},
        {"no delimiter here", "<Vdm", {"no delimiter here"}},
        {"", "<Vdm", {}},
        {"abc", "", {"abc"}},
        {",,a,,b,", ",", {"a", "b"}},
        {"<Device", "<Device", {}},
        {"x<device y", "<Device", {"x<device y"}},  // case-sensitive
        {"aXYbXYXYc", "XY", {"a", "b", "c"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitString(c.text, c.delim), c.pieces) << "text [" << c.text << "] at [" << c.delim << "]";
}

// Configuration values, ports typed in the controller and numbers in the messages' attributes are
// read as atoi reads them.
TEST(StringUtils, ParseDecimalReadsLikeAtoi) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {
        {"7901", 7901},
        {"07901", 7901},          // leading zeros
        {"  \t\n\v\f\r42", 42},   // every blank of isspace before the number
        {"+5", 5},
        {"-12", -12},
        {"12abc", 12},            // digits up to the first other character
        {"1 2", 1},
        {"abc", 0},               // no digits
        {"", 0},
        {"-", 0},
        {"- 5", 0},               // the sign must touch the digits
        {"+-5", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},  // clamped
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << "text [" << c.text << "]";
}

}  // namespace
