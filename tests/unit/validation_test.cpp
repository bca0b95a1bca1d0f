// What makes a converted rule impossible to write as a rule line: the one
// classification of protocol values, and every value that validation
// refuses, with the exact message.
#include "convertationToNew.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ClassifyProtocol, HeaderWordIpProtoIcmpAndExpressible) {
    struct Case {
        std::string protocol;
        std::string headerWord;
        std::string ipProto;
        bool icmp;
        bool expressible;
    };
    const std::vector<Case> cases = {
        {"tcp", "tcp", "", false, true},
        {"udp", "udp", "", false, true},
        {"icmp", "icmp", "", true, true},
        {"ip", "ip", "", false, true},
        {"smb", "smb", "", false, true},
        {"any", "ip", "", false, true},
        {"1", "ip", "1", true, true},
        {"01", "ip", "01", true, true},
        {"001", "ip", "001", true, true},
        {"17", "ip", "17", false, true},
        {"0", "ip", "0", false, true},
        {"4294967297", "ip", "4294967297", false, true},
        {"99999999999999999999", "ip", "99999999999999999999", false, true},
        {"egp", "ip", "8", false, true},
        {"hmp", "ip", "20", false, true},
        {"xns-idp", "ip", "22", false, true},
        {"rdp", "ip", "27", false, true},
        {"rvd", "ip", "66", false, true},
        {"ICMP", "ip", "", false, false},
        {"Any", "ip", "", false, false},
        {"", "ip", "", false, false},
        {"+1", "ip", "", false, false},
        {"1 ", "ip", "", false, false},
        {"tcp\r", "ip", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("[" + c.protocol + "]");
        const ProtocolClass result = classifyProtocol(c.protocol);
        if (c.expressible) {
            EXPECT_EQ(result.headerWord, c.headerWord);
            EXPECT_EQ(result.ipProto, c.ipProto);
        }
        EXPECT_EQ(result.icmp, c.icmp);
        EXPECT_EQ(result.expressible, c.expressible);
    }
}

// Both writers agree with the classification on which rules are ICMP rules.
TEST(ClassifyProtocol, WritersFollowIt) {
    for (const std::string protocol : {"icmp", "1", "001", "tcp", "17", "any", "4294967297"}) {
        SCOPED_TRACE(protocol);
        RuleInfo rule;
        rule.id = 1;
        rule.order = 1;
        rule.action = "drop";
        rule.protocol = protocol;
        rule.direction = "in";
        rule.icmpType = 8;
        const bool icmp = classifyProtocol(protocol).icmp;
        const TempDir temp("mervex-classify");
        ASSERT_TRUE(writeToFileRules({rule}, temp.file("cfgRule")));
        ASSERT_TRUE(writeToSuricataFileRules({rule}, temp.file("cfg.rules")));
        const std::string u = TempDir::read(temp.file("cfgRule"));
        const std::string s = TempDir::read(temp.file("cfg.rules"));
        EXPECT_EQ(u.find("\nicmp_type          8\n") != std::string::npos, icmp) << u;
        EXPECT_EQ(s.find(" itype:8;") != std::string::npos, icmp) << s;
    }
}

SystemRuleInfo writableSystemRule() {
    SystemRuleInfo rule;
    rule.id = 3;
    rule.message = "m";
    rule.access = "allow";
    rule.proto = "tcp";
    return rule;
}

NetworkFlowRuleInfo writableFlowRule() {
    NetworkFlowRuleInfo rule;
    rule.id = 4;
    rule.message = "m";
    rule.access = "allow";
    rule.proto = "tcp";
    rule.direction = "in";
    return rule;
}

struct ValueCase {
    const char* name;
    void (*change)(SystemRuleInfo&, NetworkFlowRuleInfo&);
    std::string output; // every message, in order
};

const std::vector<ValueCase> valueCases = {
    {"every action word and allow",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.access = "alert";
         f.access = "reject";
     },
     ""},
    {"pass and drop",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.access = "pass";
         f.access = "drop";
     },
     ""},
    {"empty, capitalised and unknown actions",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.access = "";
         f.access = "Allow";
     },
     "Value '' of 'access' of system rule 3 can't be written as a rule!\n"
     "Value 'Allow' of 'access' of network flow rule 4 can't be written as a rule!\n"},
    {"quoted texts: a quote, a semicolon, a backslash at the end",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.exefile = "C:\\a\"b";
         s.adapters = "eth0;";
         s.schedule = "Mon\\";
         f.wildcard = "*\\";
         f.exefile = "C:\\Program Files\\app.exe"; // inner backslashes are fine
         f.schedule = "a;b";
     },
     "Value 'eth0;' of 'adapters' of system rule 3 can't be written as a rule!\n"
     "Value 'C:\\\\a\"b' of 'exefile' of system rule 3 can't be written as a rule!\n"
     "Value 'Mon\\\\' of 'schedule' of system rule 3 can't be written as a rule!\n"
     "Value 'a;b' of 'schedule' of network flow rule 4 can't be written as a rule!\n"
     "Value '*\\\\' of 'wildcard' of network flow rule 4 can't be written as a rule!\n"},
    {"address and port lists",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.localAddrs = "[10.0.0.1]";
         s.remoteAddrs = "10.0.0.1,(x)";
         f.localPorts = "80;";
         f.remotePorts = "\"443\"";
         f.remoteAddrs = "!10.0.0.0/8,$HOME_NET"; // passes through
     },
     "Value '[10.0.0.1]' of 'local_addrs' of system rule 3 can't be written as a rule!\n"
     "Value '10.0.0.1,(x)' of 'remote_addrs' of system rule 3 can't be written as a rule!\n"
     "Value '80;' of 'local_ports' of network flow rule 4 can't be written as a rule!\n"
     "Value '\"443\"' of 'remote_ports' of network flow rule 4 can't be written as a rule!\n"},
    {"control bytes in any carried value",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.message = "two\rlines";
         s.content = "tab\there";
         f.regexp = "a\x7f";
         f.localAddrs = "10.0.0.1\t";
     },
     "Value 'two\\rlines' of 'message' of system rule 3 can't be written as a rule!\n"
     "Value 'tab\\there' of 'content' of system rule 3 can't be written as a rule!\n"
     "Value '10.0.0.1\\t' of 'local_addrs' of network flow rule 4 can't be written as a rule!\n"
     "Value 'a\\x7f' of 'regexp' of network flow rule 4 can't be written as a rule!\n"},
    {"escaped on writing: message and content may hold anything printable",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.message = "a\"b;c\\";
         s.content = "x\"; msg:\"injected";
         f.content = "\\";
         f.regexp = "^a;b\"c\\d$";
     },
     ""},
    {"a pattern's backslash before a quote or a semicolon, or at its end",
     [](SystemRuleInfo&, NetworkFlowRuleInfo& f) { f.regexp = "a\\;b"; },
     "Value 'a\\\\;b' of 'regexp' of network flow rule 4 can't be written as a rule!\n"},
    {"pattern ending in a backslash",
     [](SystemRuleInfo&, NetworkFlowRuleInfo& f) { f.regexp = "a\\"; },
     "Value 'a\\\\' of 'regexp' of network flow rule 4 can't be written as a rule!\n"},
    {"long values are cut in the message",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo&) {
         static const std::string longValue = std::string(300, 'x') + ";";
         s.exefile = longValue;
     },
     "Value '" + std::string(256, 'x') +
         "...' of 'exefile' of system rule 3 can't be written as a rule!\n"},
    {"protocol and direction keep their own messages",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo& f) {
         s.proto = "tcp\r";
         f.direction = "in\t";
     },
     "Unknown protocol 'tcp\\r' of system rule 3!\n"
     "Invalid direction 'in\\t' of network flow rule 4!\n"},
    {"a system rule for no traffic is not checked",
     [](SystemRuleInfo& s, NetworkFlowRuleInfo&) {
         s.icmpSend = false;
         s.icmpReceive = false;
         s.access = "";
         s.exefile = "\"";
     },
     ""},
};

TEST(ValidateRules, RefusesEveryValueThatCannotBeWritten) {
    for (const auto& c : valueCases) {
        SCOPED_TRACE(c.name);
        SystemRuleInfo system = writableSystemRule();
        NetworkFlowRuleInfo flow = writableFlowRule();
        c.change(system, flow);
        testing::internal::CaptureStdout();
        const bool valid = validateRules({system}, {flow});
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        EXPECT_EQ(valid, c.output.empty());
    }
}

} // namespace
