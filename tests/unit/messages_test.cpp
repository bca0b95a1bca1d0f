// How messages quote values and paths, and how a message line is written.
#include "common.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct QuoteCase {
    std::string text;
    std::string quoted;
};

// Control bytes and the backslash are escaped, every other byte stays.
const std::vector<QuoteCase> escapeCases = {
    {"", ""},
    {"plain /opt/varno-firewall", "plain /opt/varno-firewall"},
    {"tab\there", "tab\\there"},
    {"two\nlines", "two\\nlines"},
    {"cr\rlf", "cr\\rlf"},
    {std::string("nul\0byte", 8), "nul\\x00byte"},
    {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
    {"\x1b[2J\x1b[1;1HConversion completed!", "\\x1b[2J\\x1b[1;1HConversion completed!"},
    {"back\\slash \\n", "back\\\\slash \\\\n"},
    {"space ' \" ; stay", "space ' \" ; stay"},
    {"\x80\xff caf\xc3\xa9", "\x80\xff caf\xc3\xa9"},
};

TEST(MessagePath, EscapesControlBytesAndBackslashesOnly) {
    for (const auto& c : escapeCases) {
        EXPECT_EQ(messagePath(c.text), c.quoted) << c.quoted;
    }
    // A path is never cut.
    const std::string longPath(5000, 'p');
    EXPECT_EQ(messagePath(longPath), longPath);
}

TEST(MessageValue, CutsAt256BytesThenEscapes) {
    for (const auto& c : escapeCases) {
        EXPECT_EQ(messageValue(c.text), c.quoted) << c.quoted;
    }
    const std::string exactly(256, 'v');
    EXPECT_EQ(messageValue(exactly), exactly);
    EXPECT_EQ(messageValue(exactly + "w"), exactly + "...");
    // Cut first, then escaped: 255 plain bytes and a newline make 256 bytes,
    // whose escaped form is longer than the cut.
    const std::string newlineLast = std::string(255, 'v') + "\n" + "tail";
    EXPECT_EQ(messageValue(newlineLast), std::string(255, 'v') + "\\n...");
    // A value of a megabyte gives a line of a few hundred bytes.
    EXPECT_EQ(messageValue(std::string(1 << 20, '\t')).size(), 2 * 256 + 3);
}

TEST(PrintMessage, WritesTheLineAndTellsWhetherItWasWritten) {
    testing::internal::CaptureStdout();
    std::printf("buffered first, ");
    const bool written = printMessage("then the message");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "buffered first, then the message\n");
    EXPECT_TRUE(written);

    // Standard output closed.
    const int saved = ::dup(STDOUT_FILENO);
    ::close(STDOUT_FILENO);
    EXPECT_FALSE(printMessage("nobody reads this"));
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
}

// Messages of a thread that holds them are kept in order and not written;
// another thread's messages, and the thread's own once the hold is gone, are
// written at once.
TEST(HeldMessages, KeepTheThreadsMessagesInOrderUntilItGoes) {
    testing::internal::CaptureStdout();
    std::vector<std::string> held;
    std::thread side([&held] {
        const HeldMessages hold;
        EXPECT_TRUE(printMessage("first"));
        {
            const HeldMessages inner;
            printMessage("inner");
            EXPECT_EQ(inner.lines(), std::vector<std::string>{"inner"});
        }
        printMessage("second");
        held = hold.lines();
    });
    side.join();
    printMessage("written");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "written\n");
    EXPECT_EQ(held, (std::vector<std::string>{"first", "second"}));
}

} // namespace
