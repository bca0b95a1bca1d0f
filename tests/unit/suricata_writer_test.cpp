// The Suricata rule file writer: one rule line per unified rule, appended to
// the file; a rule that cannot be expressed stops the writer.

#include "convertationToNew.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class SuricataRuleFileWriterTest : public ::testing::Test {
  protected:
    std::string contents() const { return TempDir::read(path_); }

    // Runs the writer, keeping what it prints.
    bool write(const std::vector<RuleInfo>& rules, const std::string& path) {
        ::testing::internal::CaptureStdout();
        const bool result = writeToSuricataFileRules(rules, path);
        printed_ = ::testing::internal::GetCapturedStdout();
        return result;
    }
    bool write(const std::vector<RuleInfo>& rules) { return write(rules, path_); }

    TempDir temp_{"mervex-suricata"};
    const fs::path dir_{temp_.path()};
    const std::string path_ = temp_.file("cfg.rules");
    std::string printed_;
};

// An enabled, audited tcp rule with every optional value empty.
RuleInfo plainRule(uint64_t id = 1) {
    RuleInfo rule;
    rule.id = id;
    rule.order = 1;
    rule.action = "drop";
    rule.protocol = "tcp";
    rule.message = "m";
    rule.direction = "in";
    rule.icmpType = -1;
    rule.icmpCode = -1;
    rule.audit = true;
    rule.alarm = false;
    rule.enable = true;
    rule.substr = false;
    rule.nocase = false;
    return rule;
}

std::string plainLine(uint64_t id = 1) {
    return R"(drop tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:)" +
           std::to_string(id) + ";)\n";
}

struct LineCase {
    std::string name;
    std::function<void(RuleInfo&)> change; // applied to plainRule()
    std::string line;                      // without its line feed
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class SuricataRuleLine : public SuricataRuleFileWriterTest,
                         public ::testing::WithParamInterface<LineCase> {};

TEST_P(SuricataRuleLine, WritesExpectedLine) {
    RuleInfo rule = plainRule();
    GetParam().change(rule);
    bool result = false;
    EXPECT_NO_THROW(result = write({rule}));
    EXPECT_TRUE(result);
    EXPECT_EQ(contents(), GetParam().line + "\n");
    EXPECT_EQ(printed_, "");
}

const LineCase kLineCases[] = {
    {"WorkedExample",
     [](RuleInfo& r) {
         r.action = "allow";
         r.remoteAddrs = "10.0.0.1";
         r.remotePorts = "80,443";
         r.message = "web";
         r.order = 3;
         r.direction = "out";
         r.id = 5;
     },
     R"x(drop tcp any any <> [10.0.0.1] [80, 443] (msg:"web"; inverse; priority:3; iface:"*=out"; sid:5;))x"},
    {"PlainDrop", [](RuleInfo&) {},
     R"x(drop tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    // Actions: only "allow" is rewritten; any other text is copied.
    {"OtherActionCopied", [](RuleInfo& r) { r.action = "reject"; },
     R"x(reject tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"AllowIsCaseSensitive", [](RuleInfo& r) { r.action = "Allow"; },
     R"x(Allow tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"DisabledDrop", [](RuleInfo& r) { r.enable = false; },
     R"x(#drop tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"DisabledAllow",
     [](RuleInfo& r) {
         r.enable = false;
         r.action = "allow";
     },
     R"x(#drop tcp any any <> any any (msg:"m"; inverse; priority:1; iface:"*=in"; sid:1;))x"},
    // Named protocols of the header; ICMP fields matter only for ICMP rules.
    {"Udp",
     [](RuleInfo& r) {
         r.protocol = "udp";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop udp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"Ip",
     [](RuleInfo& r) {
         r.protocol = "ip";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop ip any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    // A protocol number longer than the room the writer makes for the start
    // of the option list at once: the line still comes out whole.
    {"LongProtocolNumber",
     [](RuleInfo& r) {
         static const std::string number = "6" + std::string(600, '0');
         r.protocol = number;
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:6)x" + std::string(600, '0') +
         R"x(; priority:1; iface:"*=in"; sid:1;))x"},
    {"Smb", [](RuleInfo& r) { r.protocol = "smb"; },
     R"x(drop smb any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"TcpIgnoresIcmpFields",
     [](RuleInfo& r) {
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"Any",
     [](RuleInfo& r) {
         r.protocol = "any";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop ip any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    // Numeric protocols: written as ip with the number as given.
    {"Number47", [](RuleInfo& r) { r.protocol = "47"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:47; priority:1; iface:"*=in"; sid:1;))x"},
    {"NumberKeepsLeadingZeros", [](RuleInfo& r) { r.protocol = "006"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:006; priority:1; iface:"*=in"; sid:1;))x"},
    {"Number1IsIcmp",
     [](RuleInfo& r) {
         r.protocol = "1";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:1; itype:8; icode:0; priority:1; iface:"*=in"; sid:1;))x"},
    {"Number01IsIcmp",
     [](RuleInfo& r) {
         r.protocol = "01";
         r.icmpType = 3;
         r.icmpCode = 1;
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:01; itype:3; icode:1; priority:1; iface:"*=in"; sid:1;))x"},
    {"Number17IsNotIcmp",
     [](RuleInfo& r) {
         r.protocol = "17";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:17; priority:1; iface:"*=in"; sid:1;))x"},
    // Beyond the int range: not ICMP, even when it would wrap around to 1.
    {"NumberBeyondIntIsNotIcmp",
     [](RuleInfo& r) {
         r.protocol = "4294967297";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:4294967297; priority:1; iface:"*=in"; sid:1;))x"},
    {"HugeNumber",
     [](RuleInfo& r) {
         r.protocol = "99999999999999999999999999";
         r.icmpType = 8;
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:99999999999999999999999999; priority:1; iface:"*=in"; sid:1;))x"},
    // Names with a protocol number of their own.
    {"Egp", [](RuleInfo& r) { r.protocol = "egp"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:8; priority:1; iface:"*=in"; sid:1;))x"},
    {"Hmp", [](RuleInfo& r) { r.protocol = "hmp"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:20; priority:1; iface:"*=in"; sid:1;))x"},
    {"XnsIdp", [](RuleInfo& r) { r.protocol = "xns-idp"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:22; priority:1; iface:"*=in"; sid:1;))x"},
    {"Rdp", [](RuleInfo& r) { r.protocol = "rdp"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:27; priority:1; iface:"*=in"; sid:1;))x"},
    {"Rvd", [](RuleInfo& r) { r.protocol = "rvd"; },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:66; priority:1; iface:"*=in"; sid:1;))x"},
    // ICMP type and code: -1 means not set; other values are signed.
    {"IcmpTypeAndCode",
     [](RuleInfo& r) {
         r.protocol = "icmp";
         r.icmpType = 8;
         r.icmpCode = 0;
     },
     R"x(drop icmp any any <> any any (msg:"m"; itype:8; icode:0; priority:1; iface:"*=in"; sid:1;))x"},
    {"IcmpCodeOnly",
     [](RuleInfo& r) {
         r.protocol = "icmp";
         r.icmpCode = 3;
     },
     R"x(drop icmp any any <> any any (msg:"m"; icode:3; priority:1; iface:"*=in"; sid:1;))x"},
    {"IcmpTypeOnly",
     [](RuleInfo& r) {
         r.protocol = "icmp";
         r.icmpType = 0;
     },
     R"x(drop icmp any any <> any any (msg:"m"; itype:0; priority:1; iface:"*=in"; sid:1;))x"},
    {"IcmpNegativeValues",
     [](RuleInfo& r) {
         r.protocol = "icmp";
         r.icmpType = -5;
         r.icmpCode = -2;
     },
     R"x(drop icmp any any <> any any (msg:"m"; itype:-5; icode:-2; priority:1; iface:"*=in"; sid:1;))x"},
    {"IcmpUnset", [](RuleInfo& r) { r.protocol = "icmp"; },
     R"x(drop icmp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    // Header columns: local first, remote second.
    {"AllColumns",
     [](RuleInfo& r) {
         r.localAddrs = " 10.0.0.1 , 10.0.0.2";
         r.localPorts = "1024 - 2048";
         r.remoteAddrs = "a,,b";
         r.remotePorts = "80,";
     },
     R"x(drop tcp [10.0.0.1, 10.0.0.2] [1024: 2048] <> [a, , b] [80, ] (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"LocalAddressOnly", [](RuleInfo& r) { r.localAddrs = "10.0.0.1"; },
     R"x(drop tcp [10.0.0.1] any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    {"RemotePortOnly", [](RuleInfo& r) { r.remotePorts = "53"; },
     R"x(drop tcp any any <> any [53] (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    // Subjects and objects, after inverse.
    {"AllowBeforeSubjects",
     [](RuleInfo& r) {
         r.action = "allow";
         r.protocol = "1";
         r.icmpType = 8;
         r.icmpCode = 0;
         r.subjects = "users:alice";
     },
     R"x(drop ip any any <> any any (msg:"m"; ip_proto:1; itype:8; icode:0; inverse; user:"alice"; priority:1; iface:"*=in"; sid:1;))x"},
    {"SmbSubjectsAndShares",
     [](RuleInfo& r) {
         r.protocol = "smb";
         r.subjects = "groups:admins";
         r.objects = "shares:docs, my files";
     },
     R"x(drop smb any any <> any any (msg:"m"; smb.group:"admins"; smb.share; pcre:"/^(?:docs|my\sfiles)$/"; priority:1; iface:"*=in"; sid:1;))x"},
    {"ChannelsWithoutSubjects", [](RuleInfo& r) { r.objects = "channels:spoolss"; },
     R"x(drop tcp any any <> any any (msg:"m"; smb.named_pipe; pcre:"/^(?:spoolss)$/"; priority:1; iface:"*=in"; sid:1;))x"},
    // Executable, with its substr and nocase flags.
    {"Exefile", [](RuleInfo& r) { r.exefile = "C:\\app.exe"; },
     R"x(drop tcp any any <> any any (msg:"m"; exefile:"C:\app.exe"; priority:1; iface:"*=in"; sid:1;))x"},
    {"ExefileSubstr",
     [](RuleInfo& r) {
         r.exefile = "app";
         r.substr = true;
     },
     R"x(drop tcp any any <> any any (msg:"m"; exefile:"app"; substr; priority:1; iface:"*=in"; sid:1;))x"},
    {"ExefileSubstrNocase",
     [](RuleInfo& r) {
         r.exefile = "app";
         r.substr = true;
         r.nocase = true;
     },
     R"x(drop tcp any any <> any any (msg:"m"; exefile:"app"; substr; nocase; priority:1; iface:"*=in"; sid:1;))x"},
    {"FlagsWithoutMatches",
     [](RuleInfo& r) {
         r.substr = true;
         r.nocase = true;
     },
     R"x(drop tcp any any <> any any (msg:"m"; priority:1; iface:"*=in"; sid:1;))x"},
    // Text matches, each with nocase when asked.
    {"MatchesWithNocase",
     [](RuleInfo& r) {
         r.exefile = "e";
         r.content = "c";
         r.wildcard = "w*";
         r.regexp = "r";
         r.nocase = true;
     },
     R"x(drop tcp any any <> any any (msg:"m"; exefile:"e"; nocase; content:"c"; nocase; wildcard:"w*"; nocase; pcre:"r"; nocase; priority:1; iface:"*=in"; sid:1;))x"},
    {"MatchesWithoutNocase",
     [](RuleInfo& r) {
         r.content = "c";
         r.wildcard = "w";
         r.regexp = "/r/i";
     },
     R"x(drop tcp any any <> any any (msg:"m"; content:"c"; wildcard:"w"; pcre:"/r/i"; priority:1; iface:"*=in"; sid:1;))x"},
    {"ScheduleHasNoNocase",
     [](RuleInfo& r) {
         r.schedule = "Mon 9-17";
         r.nocase = true;
     },
     R"x(drop tcp any any <> any any (msg:"m"; schedule:"Mon 9-17"; priority:1; iface:"*=in"; sid:1;))x"},
    // Alert flags, between the executable and the text matches.
    {"Noalert", [](RuleInfo& r) { r.audit = false; },
     R"x(drop tcp any any <> any any (msg:"m"; noalert; priority:1; iface:"*=in"; sid:1;))x"},
    {"Alarm", [](RuleInfo& r) { r.alarm = true; },
     R"x(drop tcp any any <> any any (msg:"m"; alarm; priority:1; iface:"*=in"; sid:1;))x"},
    {"AlertFlagsPlacement",
     [](RuleInfo& r) {
         r.exefile = "e";
         r.audit = false;
         r.alarm = true;
         r.content = "c";
     },
     R"x(drop tcp any any <> any any (msg:"m"; exefile:"e"; noalert; alarm; content:"c"; priority:1; iface:"*=in"; sid:1;))x"},
    // Priority, interface and sid.
    {"LargePriorityAndSid",
     [](RuleInfo& r) {
         r.order = 4294967296ULL;
         r.id = 18446744073709551615ULL;
     },
     R"x(drop tcp any any <> any any (msg:"m"; priority:4294967296; iface:"*=in"; sid:18446744073709551615;))x"},
    {"IfaceWithAdapters",
     [](RuleInfo& r) {
         r.adapters = "eth0,eth1";
         r.direction = "out";
     },
     R"x(drop tcp any any <> any any (msg:"m"; priority:1; iface:"eth0,eth1=out"; sid:1;))x"},
    {"IfaceEmpty", [](RuleInfo& r) { r.direction = ""; },
     R"x(drop tcp any any <> any any (msg:"m"; priority:1; iface:"*="; sid:1;))x"},
    {"DirectionVerbatim", [](RuleInfo& r) { r.direction = "In "; },
     R"x(drop tcp any any <> any any (msg:"m"; priority:1; iface:"*=In "; sid:1;))x"},
    // Only the message is escaped; every other value is written as stored.
    {"MessageEscaped", [](RuleInfo& r) { r.message = "say \"hi\"; C:\\dir\\"; },
     R"x(drop tcp any any <> any any (msg:"say \"hi\"\; C:\\dir\\"; priority:1; iface:"*=in"; sid:1;))x"},
    {"EmptyMessage", [](RuleInfo& r) { r.message = ""; },
     R"x(drop tcp any any <> any any (msg:""; priority:1; iface:"*=in"; sid:1;))x"},
    // exefile and schedule are written as they are (validation refuses what
    // would end them early); content is escaped like msg; a pattern keeps
    // its backslashes, its quotes and semicolons are escaped.
    {"QuotedValuesVerbatimOrEscaped",
     [](RuleInfo& r) {
         r.exefile = "a\\b\"c";
         r.content = "a\"b;c\\d";
         r.regexp = "/x\\;y\"z/";
         r.schedule = "s;\"t";
     },
     R"x(drop tcp any any <> any any (msg:"m"; exefile:"a\b"c"; content:"a\"b\;c\\d"; pcre:"/x\\;y\"z/"; schedule:"s;"t"; priority:1; iface:"*=in"; sid:1;))x"},
    {"ContentAndPatternEscapes",
     [](RuleInfo& r) {
         r.content = "x\"; msg:\"injected";
         r.regexp = "a;b\"c\\d";
         r.nocase = true;
     },
     R"x(drop tcp any any <> any any (msg:"m"; content:"x\"\; msg:\"injected"; nocase; pcre:"a\;b\"c\d"; nocase; priority:1; iface:"*=in"; sid:1;))x"},
    {"EveryOption",
     [](RuleInfo& r) {
         r.enable = false;
         r.action = "allow";
         r.protocol = "01";
         r.icmpType = 0;
         r.icmpCode = 5;
         r.localAddrs = "10.0.0.1";
         r.localPorts = "1-2";
         r.remoteAddrs = "10.0.0.2,10.0.0.3";
         r.remotePorts = "80";
         r.message = "a;b";
         r.subjects = "users:x\\y";
         r.objects = "channels:p.q";
         r.exefile = "e";
         r.substr = true;
         r.nocase = true;
         r.audit = false;
         r.alarm = true;
         r.content = "c";
         r.wildcard = "w";
         r.regexp = "r";
         r.schedule = "s";
         r.order = 9;
         r.adapters = "eth0";
         r.direction = "inout";
         r.id = 10;
     },
     R"x(#drop ip [10.0.0.1] [1: 2] <> [10.0.0.2, 10.0.0.3] [80] (msg:"a\;b"; ip_proto:01; itype:0; icode:5; inverse; user:"x\\y"; smb.named_pipe; pcre:"/^(?:p\.q)$/"; exefile:"e"; substr; nocase; noalert; alarm; content:"c"; nocase; wildcard:"w"; nocase; pcre:"r"; nocase; schedule:"s"; priority:9; iface:"eth0=inout"; sid:10;))x"},
};

INSTANTIATE_TEST_SUITE_P(Rules, SuricataRuleLine, ::testing::ValuesIn(kLineCases),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                             return info.param.name;
                         });

struct RefusalCase {
    std::string name;
    std::function<void(RuleInfo&)> change; // applied to the second rule
    std::string printed;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SuricataRuleRefusal : public SuricataRuleFileWriterTest,
                            public ::testing::WithParamInterface<RefusalCase> {};

// The refused rule and the rules after it are missing; the lines before it
// stay in the file.
TEST_P(SuricataRuleRefusal, StopsAtRefusedRule) {
    RuleInfo refused = plainRule(42);
    GetParam().change(refused);
    bool result = true;
    EXPECT_NO_THROW(result = write({plainRule(1), refused, plainRule(3)}));
    EXPECT_FALSE(result);
    EXPECT_EQ(contents(), plainLine(1));
    EXPECT_EQ(printed_, GetParam().printed);
}

const RefusalCase kRefusalCases[] = {
    {"EmptyProtocol", [](RuleInfo& r) { r.protocol = ""; }, "Unknown protocol '' of rule 42!\n"},
    {"UnknownProtocol", [](RuleInfo& r) { r.protocol = "gre"; },
     "Unknown protocol 'gre' of rule 42!\n"},
    {"NamedProtocolInCapitals", [](RuleInfo& r) { r.protocol = "EGP"; },
     "Unknown protocol 'EGP' of rule 42!\n"},
    {"AnyInCapitals", [](RuleInfo& r) { r.protocol = "ANY"; },
     "Unknown protocol 'ANY' of rule 42!\n"},
    {"ProtocolWithSpace", [](RuleInfo& r) { r.protocol = "tcp "; },
     "Unknown protocol 'tcp ' of rule 42!\n"},
    {"SignedNumber", [](RuleInfo& r) { r.protocol = "-1"; }, "Unknown protocol '-1' of rule 42!\n"},
    {"UnknownProtocolOfDisabledRule",
     [](RuleInfo& r) {
         r.enable = false;
         r.protocol = "gre";
     },
     "Unknown protocol 'gre' of rule 42!\n"},
    {"UnknownSubjectsKey", [](RuleInfo& r) { r.subjects = "Users:alice"; }, ""},
    {"SubjectsWithoutColon", [](RuleInfo& r) { r.subjects = "users"; }, ""},
    {"UnknownObjectsKey", [](RuleInfo& r) { r.objects = "Shares:docs"; }, ""},
    {"ObjectsWithoutColon", [](RuleInfo& r) { r.objects = "shares"; }, ""},
    {"ObjectsRefusedAfterSubjects",
     [](RuleInfo& r) {
         r.subjects = "users:alice";
         r.objects = "pipes:x";
     },
     ""},
};

INSTANTIATE_TEST_SUITE_P(Rules, SuricataRuleRefusal, ::testing::ValuesIn(kRefusalCases),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                             return info.param.name;
                         });

TEST_F(SuricataRuleFileWriterTest, AppendsLinesInListOrder) {
    {
        std::ofstream out(path_, std::ios::binary);
        out << "# kept\n";
    }
    EXPECT_TRUE(write({plainRule(2), plainRule(1)}));
    EXPECT_TRUE(write({plainRule(3)}));
    EXPECT_EQ(contents(), "# kept\n" + plainLine(2) + plainLine(1) + plainLine(3));
    EXPECT_EQ(printed_, "");
}

TEST_F(SuricataRuleFileWriterTest, CreatesEmptyFileForEmptyList) {
    EXPECT_TRUE(write({}));
    ASSERT_TRUE(fs::is_regular_file(path_));
    EXPECT_EQ(fs::file_size(path_), 0u);
}

TEST_F(SuricataRuleFileWriterTest, RefusedFirstRuleLeavesEmptyFile) {
    RuleInfo refused = plainRule(1);
    refused.subjects = "nobody:x";
    EXPECT_FALSE(write({refused, plainRule(2)}));
    ASSERT_TRUE(fs::is_regular_file(path_));
    EXPECT_EQ(fs::file_size(path_), 0u);
}

TEST_F(SuricataRuleFileWriterTest, RefusalKeepsEveryLineOfALongList) {
    // Megabytes of lines before the refused rule.
    std::vector<RuleInfo> rules;
    std::string expected;
    for (uint64_t id = 1; id <= 30000; ++id) {
        rules.push_back(plainRule(id));
        expected += plainLine(id);
    }
    RuleInfo refused = plainRule(30001);
    refused.protocol = "";
    rules.push_back(refused);
    rules.push_back(plainRule(30002));
    EXPECT_FALSE(write(rules));
    EXPECT_EQ(contents(), expected);
    EXPECT_EQ(printed_, "Unknown protocol '' of rule 30001!\n");
}

TEST_F(SuricataRuleFileWriterTest, ReportsFileThatCannotBeOpened) {
    const std::string path = (dir_ / "missing" / "cfg.rules").string();
    EXPECT_FALSE(write({plainRule(1)}, path));
    EXPECT_EQ(printed_, "Can't open Suricata file to write configuration: " + path + "\n");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(SuricataRuleFileWriterTest, ReportsFullDisk) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "needs a writable /dev/full";
    }
    for (const size_t count : {1u, 30000u}) {
        SCOPED_TRACE(std::to_string(count) + " rules");
        EXPECT_FALSE(write(std::vector<RuleInfo>(count, plainRule(1)), "/dev/full"));
        EXPECT_EQ(printed_, "Can't write file '/dev/full'!\n");
    }
}

} // namespace
