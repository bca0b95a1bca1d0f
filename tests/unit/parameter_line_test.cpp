// Splitting of one legacy parameter line into key and cleaned value.
#include "common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LineCase {
    std::string line;
    std::string valueBefore; // what the caller's value string holds on entry
    std::string key;
    std::string value;
};

TEST(GetParameterValue, SplitsAtFirstSpaceAndCleansValueByKey) {
    const std::vector<LineCase> cases = {
        {"id 42", "", "id", "42"},
        {"id  42", "", "id", "42"},
        {"local_addrs 10.0.0.1, 10.0.0.2", "", "local_addrs", "10.0.0.1,10.0.0.2"},
        {"message   Allow web  ", "", "message", "Allow web"},
        {"schedule Mon 08:00 - Fri 18:00 ", "", "schedule", "Mon 08:00 - Fri 18:00"},
        {"message ", "old", "message", ""},
        {"schedule  \t ", "old", "schedule", ""},
        // Without a space the value string is left as the caller passed it.
        {"message", "old", "message", "old"},
        {"enable", "", "enable", ""},
        {"", "old", "", "old"},
        {" id 42", "", "", "id42"},
        {"id\t42", "old", "id\t42", "old"},
        {"id=42 x", "", "id=42", "x"},
        {"#comment x y", "", "#comment", "xy"},
        // Only spaces are removed from ordinary values; tabs and CRs stay.
        {"proto tcp\r", "", "proto", "tcp\r"},
        {"content a\tb c", "", "content", "a\tbc"},
        {"access a b c", "", "access", "abc"},
        // message and schedule are trimmed of all six C-locale white space
        // characters at both ends, inner ones kept.
        {"message hi\r", "", "message", "hi"},
        {"message \t\v\f\r\n x \t y \t\r", "", "message", "x \t y"},
        {"Message a b", "", "Message", "ab"},
        {"messages a b", "", "messages", "ab"},
        // Bytes of 0x80 and above are never white space.
        {"message \240caf\303\251 ok\240", "", "message", "\240caf\303\251 ok\240"},
        {"exefile C:\\Program Files\\a b.exe", "", "exefile", "C:\\ProgramFiles\\ab.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("line [" + c.line + "]");
        std::string key = "stale";
        std::string value = c.valueBefore;
        getParameterValue(&key, &value, c.line);
        EXPECT_EQ(key, c.key);
        EXPECT_EQ(value, c.value);
    }
}

TEST(GetParameterValue, NullPointerLeavesTheOtherStringAlone) {
    std::string key = "key";
    std::string value = "value";
    getParameterValue(nullptr, &value, "id 42");
    EXPECT_EQ(value, "value");
    getParameterValue(&key, nullptr, "id 42");
    EXPECT_EQ(key, "key");
}

} // namespace
