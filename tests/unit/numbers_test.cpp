// Numeric value tests and conversions used for legacy ids, orders, ICMP
// numbers and protocol numbers.
#include "common.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// Shows a C string in a failure message, null included, with its control
// characters spelled out.
std::string show(const char* text) {
    if (text == nullptr) {
        return "(null)";
    }
    std::string shown = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        switch (*c) {
        case '\t':
            shown += "\\t";
            break;
        case '\n':
            shown += "\\n";
            break;
        case '\v':
            shown += "\\v";
            break;
        case '\f':
            shown += "\\f";
            break;
        case '\r':
            shown += "\\r";
            break;
        default:
            shown += *c;
        }
    }
    return shown + "\"";
}

TEST(IsDigit, AcceptsOnlyNonEmptyAsciiDigitStrings) {
    struct Case {
        std::string text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"", false},
        {"0", true},
        {"007", true},
        {"0123456789", true},
        {"99999999999999999999999999", true},
        {"-1", false},
        {"+1", false},
        {"1.5", false},
        {" 1", false},
        {"1 ", false},
        {"12a", false},
        {"/", false}, // the bytes next to '0' and '9'
        {":", false},
        {"\xd9\xa3", false}, // a non-ASCII digit in UTF-8
        {std::string("1\0"
                     "2",
                     3),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.text.c_str()) + " length " + std::to_string(c.text.size()));
        EXPECT_EQ(isDigit(c.text), c.expected);
    }
}

struct IntCase {
    const char* text;
    int result;
    bool ok;
};

TEST(StrToInt, ConvertsDigitStringsWithinIntRangeOnly) {
    const std::vector<IntCase> cases = {
        {nullptr, -1, false},
        {"", -1, false},
        {"12", 12, true},
        {"0", 0, true},
        {"007", 7, true},
        {"8", 8, true},
        {"abc", 0, false},
        {"-5", 0, false},
        {"-1", 0, false},
        {"+3", 0, false},
        {" 12", 0, false},
        {"12 ", 0, false},
        {"1.5", 0, false},
        {"2147483647", INT_MAX, true},
        {"00000000002147483647", INT_MAX, true},
        {"2147483648", 0, false},
        {"4294967297", 0, false}, // 2^32 + 1 must not wrap to 1
        {"99999999999999999999", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.text));
        // The flag is cleared on entry, whatever the caller left in it.
        for (const bool before : {true, false}) {
            bool ok = before;
            EXPECT_EQ(strToInt(c.text, &ok), c.result);
            EXPECT_EQ(ok, c.ok);
        }
        EXPECT_EQ(strToInt(c.text), c.result);
    }
}

struct ULongCase {
    const char* text;
    unsigned long result;
    bool ok;
};

TEST(StrToULong, ReadsTheNumberAtTheStartOfTheFirstWord) {
    const std::vector<ULongCase> cases = {
        {nullptr, 0, false},
        {"", 0, false},
        {"   ", 0, false},
        {" \t\n\v\f\r", 0, false},
        {"42", 42, true},
        {"  42  ", 42, true},
        {"\t\n7\r", 7, true},
        {"42 17", 42, true},
        {"42abc", 42, true},
        {"42,43", 42, true},
        {"12abc", 12, true},
        {"+42", 42, true},
        {"007", 7, true},
        {"0", 0, true},
        {"0x10", 0, true},
        {"-42", 0, false},
        {"-0", 0, false},
        {" -1", 0, false},
        {"abc", 0, false},
        {"abc 42", 0, false}, // only the first word counts
        {"+", 0, false},
        {"+ 5", 0, false},
        {"+-1", 0, false},
        {"18446744073709551615", ULONG_MAX, true},
        {"000000000018446744073709551615", ULONG_MAX, true},
        {"18446744073709551615x", ULONG_MAX, true},
        {"18446744073709551616", 0, false},
        {"18446744073709551620", 0, false},
        {"184467440737095516150", 0, false},
        {"99999999999999999999999", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.text));
        for (const bool before : {true, false}) {
            bool ok = before;
            EXPECT_EQ(strToULong(c.text, &ok), c.result);
            EXPECT_EQ(ok, c.ok);
        }
        EXPECT_EQ(strToULong(c.text), c.result);
    }
}

} // namespace
