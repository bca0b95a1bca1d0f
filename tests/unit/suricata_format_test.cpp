// Formatting of address lists, port lists, subjects and objects as pieces of
// a Suricata rule line. Every formatter appends to the line it is given, so
// each case starts from a non-empty line and checks that it is kept.

#include "convertationToNew.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kLineStart = "drop tcp";

struct ListCase {
    std::string value;
    std::string appended;
};

TEST(SuricataAddressFormat, AppendsBracketedItemsWithoutSpaces) {
    const std::vector<ListCase> cases = {
        {"10.0.0.1", " [10.0.0.1]"},
        {"10.0.0.1,10.0.0.2", " [10.0.0.1, 10.0.0.2]"},
        {" 10.0.0.1 , 10.0.0.2", " [10.0.0.1, 10.0.0.2]"},
        {"1 0.0. 0.1", " [10.0.0.1]"},
        // Empty items are kept, at the start, in the middle and at the end.
        {"a,,b", " [a, , b]"},
        {"a,", " [a, ]"},
        {",a", " [, a]"},
        {",", " [, ]"},
        {" ", " []"},
        // Only the space character is deleted; a tab stays.
        {"10.0.0.1\t", " [10.0.0.1\t]"},
        {"\t10.0.0.1 ,\t10.0.0.2", " [\t10.0.0.1, \t10.0.0.2]"},
        // Masks, ranges and negation marks pass through as text.
        {"!10.0.0.0/8,10.0.0.1-10.0.0.5,fe80::1", " [!10.0.0.0/8, 10.0.0.1-10.0.0.5, fe80::1]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("addresses '" + c.value + "'");
        std::string line = kLineStart;
        EXPECT_TRUE(formatIPAddress(c.value, line));
        EXPECT_EQ(line, kLineStart + c.appended);
    }
}

TEST(SuricataPortFormat, AppendsBracketedPortsAndColonRanges) {
    const std::vector<ListCase> cases = {
        {"80", " [80]"},
        {"80,443", " [80, 443]"},
        {"80,1024-2048", " [80, 1024: 2048]"},
        {"1024 - 2048", " [1024: 2048]"},
        {" 8 0 , 4 4 3 ", " [80, 443]"},
        // An item with two or more dashes keeps only its first part.
        {"1-2-3", " [1]"},
        {"1 -2- 3, 7", " [1, 7]"},
        {"--", " []"},
        // A range with a missing end keeps the colon.
        {"-5", " [: 5]"},
        {"5-", " [5: ]"},
        {"-", " [: ]"},
        // Empty items are kept.
        {"80,,443", " [80, , 443]"},
        {"80,", " [80, ]"},
        {",", " [, ]"},
        // Only the space character is deleted; a tab stays, in both parts.
        {"80\t", " [80\t]"},
        {"\t1-2\t", " [\t1: 2\t]"},
        // Item contents other than the dash are not interpreted.
        {"!80,$HTTP_PORTS", " [!80, $HTTP_PORTS]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("ports '" + c.value + "'");
        std::string line = kLineStart;
        EXPECT_TRUE(formatPorts(c.value, line));
        EXPECT_EQ(line, kLineStart + c.appended);
    }
}

struct SubjectsCase {
    std::string subjects;
    std::string protocol;
    bool accepted;
    std::string appended; // empty when refused
};

TEST(SuricataSubjectsFormat, ChoosesOptionByKeyAndProtocol) {
    const std::vector<SubjectsCase> cases = {
        {"users:alice,bob", "tcp", true, " user:\"alice,bob\";"},
        {"users:alice", "smb", true, " smb.user:\"alice\";"},
        {"groups:admins", "smb", true, " smb.group:\"admins\";"},
        {"groups:admins", "udp", true, " group:\"admins\";"},
        // The protocol comparison is case-sensitive.
        {"groups:admins", "SMB", true, " group:\"admins\";"},
        {"users:alice", "", true, " user:\"alice\";"},
        // Spaces are deleted from the key and from every name.
        {" users : a b ", "tcp", true, " user:\"ab\";"},
        {"us ers:a", "tcp", true, " user:\"a\";"},
        // Empty names are kept as empty elements.
        {"users:", "tcp", true, " user:\"\";"},
        {"users:a,,b", "tcp", true, " user:\"a,,b\";"},
        {"users:a,", "tcp", true, " user:\"a,\";"},
        {"users:,", "tcp", true, " user:\",\";"},
        // Text after a second ":" is dropped.
        {"users:a:b", "tcp", true, " user:\"a\";"},
        {"users:a,b:c,d", "tcp", true, " user:\"a,b\";"},
        // A backslash in a name is doubled.
        {"users:DOMAIN\\alice", "tcp", true, " user:\"DOMAIN\\\\alice\";"},
        {"groups:a\\\\b,\\c", "smb", true, " smb.group:\"a\\\\\\\\b,\\\\c\";"},
        // A tab is not a space character: it stays in a name.
        {"users:\ta", "tcp", true, " user:\"\ta\";"},
        // Refused keys.
        {"Users:alice", "tcp", false, ""},
        {"GROUPS:admins", "smb", false, ""},
        {"user:alice", "tcp", false, ""},
        {"shares:docs", "smb", false, ""},
        {":alice", "tcp", false, ""},
        {"\tusers:alice", "tcp", false, ""},
        // No ":" at all: there is no name list.
        {"users", "tcp", false, ""},
        {"groups admins", "smb", false, ""},
        {"", "tcp", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("subjects '" + c.subjects + "' protocol '" + c.protocol + "'");
        RuleInfo rule;
        rule.subjects = c.subjects;
        rule.protocol = c.protocol;
        std::string line = kLineStart;
        EXPECT_EQ(formatSubjects(rule, line), c.accepted);
        EXPECT_EQ(line, kLineStart + c.appended);
    }
}

struct ObjectsCase {
    std::string objects;
    bool accepted;
    std::string appended; // empty when refused
};

TEST(SuricataObjectsFormat, AppendsAnchoredPatternOfEscapedNames) {
    const std::vector<ObjectsCase> cases = {
        {"channels:spoolss", true, " smb.named_pipe; pcre:\"/^(?:spoolss)$/\";"},
        {"shares:docs", true, " smb.share; pcre:\"/^(?:docs)$/\";"},
        // Names are trimmed; inner whitespace becomes \s, and a special
        // character is escaped before that, so the inserted backslash stays single.
        {"shares: public , my docs,IPC$", true,
         " smb.share; pcre:\"/^(?:public|my\\sdocs|IPC\\$)$/\";"},
        {"shares:a .b", true, " smb.share; pcre:\"/^(?:a\\s\\.b)$/\";"},
        {"shares:a  b\tc\nd\re\vf\fg", true,
         " smb.share; pcre:\"/^(?:a\\s\\sb\\sc\\sd\\se\\sf\\sg)$/\";"},
        // Whitespace of all six kinds around the key and around names.
        {"\t\n\v\f\r shares \r\n:\t x \v\f, y\n", true, " smb.share; pcre:\"/^(?:x|y)$/\";"},
        // All fourteen special characters, each escaped.
        {"shares:a.b,c(d)", true, " smb.share; pcre:\"/^(?:a\\.b|c\\(d\\))$/\";"},
        {"channels:^$*+?{}[]\\|().", true,
         " smb.named_pipe; pcre:\"/^(?:\\^\\$\\*\\+\\?\\{\\}\\[\\]\\\\\\|\\(\\)\\.)$/\";"},
        {"shares:a\\b", true, " smb.share; pcre:\"/^(?:a\\\\b)$/\";"},
        // The delimiter, quote, semicolon and dash are not escaped.
        {"shares:a/b\"c;d-e", true, " smb.share; pcre:\"/^(?:a/b\"c;d-e)$/\";"},
        // Empty names are empty alternatives.
        {"shares:a,,b", true, " smb.share; pcre:\"/^(?:a||b)$/\";"},
        {"shares:a,", true, " smb.share; pcre:\"/^(?:a|)$/\";"},
        {"shares:", true, " smb.share; pcre:\"/^(?:)$/\";"},
        // Text after a second ":" is dropped.
        {"shares:a:b", true, " smb.share; pcre:\"/^(?:a)$/\";"},
        // Refused keys.
        {"Shares:docs", false, ""},
        {"CHANNELS:spoolss", false, ""},
        {"share:docs", false, ""},
        {"users:alice", false, ""},
        {"sha res:docs", false, ""},
        {":docs", false, ""},
        // No ":" at all: there is no name list.
        {"shares", false, ""},
        {"channels spoolss", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("objects '" + c.objects + "'");
        std::string line = kLineStart;
        EXPECT_EQ(formatObjects(c.objects, line), c.accepted);
        EXPECT_EQ(line, kLineStart + c.appended);
    }
}

} // namespace
