// Conversion of legacy rules into unified rules, the checks that run before
// it, and the merging of both legacy lists into one ordered list.
#include "convertationToNew.h"
#include "record_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// What both converting constructors make at position 7, apart from the
// legacy rule's values: id 0, no subjects or objects, no alarm, the flags as
// given. The caller sets the rest.
RuleInfo convertedAt7(bool flags, std::string_view direction) {
    RuleInfo expected;
    expected.id = 0;
    expected.order = 7;
    expected.subjects = "";
    expected.objects = "";
    expected.direction = direction;
    expected.audit = flags;
    expected.alarm = false;
    expected.enable = flags;
    expected.substr = flags;
    expected.nocase = flags;
    return expected;
}

// A system rule with a distinct value in every field; the flags are all set
// to one value so that both values are seen to be copied.
SystemRuleInfo fullSystemRule(bool flags, bool send, bool receive) {
    SystemRuleInfo r;
    r.id = 77;
    r.order = 88;
    r.audit = flags;
    r.enable = flags;
    r.message = "Web  access";
    r.access = "allow";
    r.proto = "tcp";
    r.icmpType = 8;
    r.icmpCode = 3;
    r.icmpSend = send;
    r.icmpReceive = receive;
    r.localAddrs = "10.0.0.1,10.0.0.2";
    r.remoteAddrs = "192.168.1.0/24";
    r.adapters = "eth0,eth1";
    r.exefile = "/usr/bin/app";
    r.substr = flags;
    r.schedule = "Mon - Fri";
    r.content = "GET";
    r.nocase = flags;
    r.isDefault = flags;
    return r;
}

NetworkFlowRuleInfo fullNetworkFlowRule(bool flags, std::string_view direction) {
    NetworkFlowRuleInfo r;
    r.id = 55;
    r.order = 66;
    r.audit = flags;
    r.enable = flags;
    r.message = "Mail out";
    r.access = "deny";
    r.proto = "udp";
    r.localAddrs = "10.1.1.1";
    r.localPorts = "80,443";
    r.remoteAddrs = "1.2.3.4";
    r.remotePorts = "1024-65535";
    r.direction = direction;
    r.schedule = "Sat";
    r.exefile = "/bin/mail";
    r.substr = flags;
    r.content = "HELO";
    r.wildcard = "*.exe";
    r.regexp = "^a.*b$";
    r.nocase = flags;
    r.isDefault = flags;
    return r;
}

TEST(RuleInfoFromSystemRule, CopiesFieldsAndDerivesDirectionFromIcmpFlags) {
    struct Case {
        bool send;
        bool receive;
        std::string direction;
    };
    const std::vector<Case> cases = {
        {true, true, "inout"},
        {true, false, "out"},
        {false, true, "in"},
        {false, false, "inout"},
    };
    for (const auto& c : cases) {
        for (const bool flags : {true, false}) {
            SCOPED_TRACE("send " + std::to_string(c.send) + " receive " +
                         std::to_string(c.receive) + " flags " + std::to_string(flags));
            RuleInfo expected = convertedAt7(flags, c.direction);
            expected.icmpType = 8;
            expected.icmpCode = 3;
            expected.message = "Web  access";
            expected.action = "allow";
            expected.protocol = "tcp";
            expected.localAddrs = "10.0.0.1,10.0.0.2";
            expected.localPorts = "";
            expected.remoteAddrs = "192.168.1.0/24";
            expected.remotePorts = "";
            expected.adapters = "eth0,eth1";
            expected.exefile = "/usr/bin/app";
            expected.schedule = "Mon - Fri";
            expected.content = "GET";
            expected.wildcard = "";
            expected.regexp = "";

            const SystemRuleInfo legacy = fullSystemRule(flags, c.send, c.receive);
            EXPECT_EQ(records::text(RuleInfo(legacy, 7)), records::text(expected));
            // Whether the legacy rule was a default one makes no difference.
            SystemRuleInfo other = legacy;
            other.isDefault = !legacy.isDefault;
            EXPECT_EQ(records::text(RuleInfo(other, 7)), records::text(expected));
        }
    }
}

TEST(RuleInfoFromNetworkFlowRule, CopiesFieldsAndDirectionTextAsItIs) {
    for (const std::string direction : {"in", "out", "inout", "IN", "", "in ", "sideways"}) {
        for (const bool flags : {true, false}) {
            SCOPED_TRACE("direction [" + direction + "] flags " + std::to_string(flags));
            RuleInfo expected = convertedAt7(flags, direction);
            expected.icmpType = -1;
            expected.icmpCode = -1;
            expected.message = "Mail out";
            expected.action = "deny";
            expected.protocol = "udp";
            expected.localAddrs = "10.1.1.1";
            expected.localPorts = "80,443";
            expected.remoteAddrs = "1.2.3.4";
            expected.remotePorts = "1024-65535";
            expected.adapters = "";
            expected.exefile = "/bin/mail";
            expected.schedule = "Sat";
            expected.content = "HELO";
            expected.wildcard = "*.exe";
            expected.regexp = "^a.*b$";

            const NetworkFlowRuleInfo legacy = fullNetworkFlowRule(flags, direction);
            EXPECT_EQ(records::text(RuleInfo(legacy, 7)), records::text(expected));
            NetworkFlowRuleInfo other = legacy;
            other.isDefault = !legacy.isDefault;
            EXPECT_EQ(records::text(RuleInfo(other, 7)), records::text(expected));
        }
    }
}

TEST(RuleInfoFromLegacyRule, PositionBecomesOrderOverTheWholeRange) {
    for (const uint32_t position : {1u, 7u, 4294967295u}) {
        EXPECT_EQ(RuleInfo(fullSystemRule(true, true, true), position).order, position);
        EXPECT_EQ(RuleInfo(fullNetworkFlowRule(true, "in"), position).order, position);
    }
}

// Legacy rules named by their message, for following them through the merge.
SystemRuleInfo systemRule(std::string_view name, uint64_t order, bool send, bool receive) {
    SystemRuleInfo r;
    r.id = 100 + order;
    r.order = order;
    r.message = name;
    r.proto = "icmp";
    r.icmpSend = send;
    r.icmpReceive = receive;
    return r;
}

NetworkFlowRuleInfo flowRule(std::string_view name, uint64_t order, std::string_view direction) {
    NetworkFlowRuleInfo r;
    r.id = 200 + order;
    r.order = order;
    r.message = name;
    r.proto = "tcp";
    r.direction = direction;
    return r;
}

struct Merged {
    std::string name;
    std::string direction;
};

// Checks names and directions in list order, orders 1..n and ids 0.
void expectMerged(const std::vector<RuleInfo>& rules, const std::vector<Merged>& expected) {
    std::vector<std::string> actual;
    std::vector<std::string> wanted;
    for (size_t i = 0; i < rules.size(); ++i) {
        actual.push_back(std::string(rules[i].message) + " " + std::string(rules[i].direction) +
                         " order " + std::to_string(rules[i].order) + " id " +
                         std::to_string(rules[i].id));
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        wanted.push_back(expected[i].name + " " + expected[i].direction + " order " +
                         std::to_string(i + 1) + " id 0");
    }
    EXPECT_EQ(actual, wanted);
}

TEST(ConvertationRules, GroupsByDirectionWithFlowRulesFirstExceptOutgoing) {
    const std::vector<NetworkFlowRuleInfo> flows = {
        flowRule("A", 2, "in"),
        flowRule("B", 1, "out"),
        flowRule("C", 5, "inout"),
        flowRule("D", 4, ""),
    };
    const std::vector<SystemRuleInfo> systems = {
        systemRule("E", 1, false, true),
        systemRule("F", 3, true, true),
        systemRule("G", 2, true, false),
        systemRule("H", 6, false, false),
    };
    std::vector<RuleInfo> rules;
    std::vector<RuleOrigin> origins = {{true, 9, 9}}; // discarded on entry
    convertationRules(systems, flows, rules, &origins);
    expectMerged(
        rules,
        {{"A", "in"}, {"E", "in"}, {"C", "inout"}, {"F", "inout"}, {"G", "out"}, {"B", "out"}});
    // Each unified rule names the legacy rule it was made from (system rule
    // ids are 100 + order, network flow rule ids 200 + order).
    std::vector<std::string> from;
    for (const RuleOrigin& origin : origins) {
        from.push_back((origin.system ? "system " : "flow ") + std::to_string(origin.id) +
                       " order " + std::to_string(origin.order));
    }
    EXPECT_EQ(from, (std::vector<std::string>{"flow 202 order 2", "system 101 order 1",
                                              "flow 205 order 5", "system 103 order 3",
                                              "system 102 order 2", "flow 201 order 1"}));
}

// The report names the system rules the merge leaves out; both must agree
// for every combination of the two flags.
TEST(ConvertationRules, LeavesOutExactlyTheRulesThatApplyToNoTraffic) {
    for (const bool send : {false, true}) {
        for (const bool receive : {false, true}) {
            SCOPED_TRACE(std::string("send ") + (send ? "true" : "false") + ", receive " +
                         (receive ? "true" : "false"));
            const SystemRuleInfo rule = systemRule("s", 1, send, receive);
            std::vector<RuleInfo> rules;
            convertationRules({rule}, {}, rules);
            EXPECT_EQ(appliesToNoTraffic(rule), rules.empty());
        }
    }
}

TEST(ConvertationRules, SortsEachListAndLeavesOutUnconvertedRules) {
    struct Case {
        const char* name;
        std::vector<SystemRuleInfo> systems;
        std::vector<NetworkFlowRuleInfo> flows;
        std::vector<Merged> expected;
    };
    const uint64_t beyond32Bits = (uint64_t{1} << 32) + 1;
    const std::vector<Case> cases = {
        {"both lists empty", {}, {}, {}},
        {"only system rules", {systemRule("s", 9, true, true)}, {}, {{"s", "inout"}}},
        {"ascending legacy order over 64 bits",
         {systemRule("s10", 10, false, true), systemRule("sBig", beyond32Bits, false, true),
          systemRule("s5", 5, false, true), systemRule("s7", 7, false, true)},
         {flowRule("f3", 3, "out"), flowRule("f1", 1, "out")},
         {{"s5", "in"}, {"s7", "in"}, {"s10", "in"}, {"sBig", "in"}, {"f1", "out"}, {"f3", "out"}}},
        {"outgoing flow rule after every send-only system rule",
         {systemRule("s", 1000, true, false)},
         {flowRule("f", 1, "out")},
         {{"s", "out"}, {"f", "out"}}},
        {"rules for no direction leave no gap",
         {systemRule("a", 1, false, true), systemRule("none", 2, false, false),
          systemRule("b", 3, false, true)},
         {flowRule("IN", 1, "IN"), flowRule("space", 2, "in "), flowRule("empty", 3, ""),
          flowRule("x", 4, "inout")},
         {{"a", "in"}, {"b", "in"}, {"x", "inout"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<RuleInfo> rules;
        convertationRules(c.systems, c.flows, rules);
        expectMerged(rules, c.expected);
    }
}

TEST(ConvertationRules, DisabledAndDefaultRulesAreCarriedOver) {
    SystemRuleInfo system = systemRule("s", 1, true, true);
    system.enable = false;
    system.isDefault = true;
    NetworkFlowRuleInfo flow = flowRule("f", 1, "in");
    flow.enable = false;
    flow.isDefault = true;
    std::vector<RuleInfo> rules;
    convertationRules({system}, {flow}, rules);
    expectMerged(rules, {{"f", "in"}, {"s", "inout"}});
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_FALSE(rules[0].enable);
    EXPECT_FALSE(rules[1].enable);
}

TEST(ConvertationRules, EqualOrdersKeepTheirFileOrder) {
    // Enough rules that an unstable sort reorders equal keys.
    RuleText names;
    std::vector<SystemRuleInfo> systems;
    std::vector<NetworkFlowRuleInfo> flows;
    for (int i = 0; i < 40; ++i) {
        flows.push_back(flowRule(names.keep("f" + std::to_string(i)), (i * 7) % 3, "inout"));
        systems.push_back(systemRule(names.keep("s" + std::to_string(i)), (i * 5) % 4, true, true));
    }
    std::vector<Merged> expected;
    for (int order = 0; order < 3; ++order) {
        for (int i = 0; i < 40; ++i) {
            if ((i * 7) % 3 == order) {
                expected.push_back({"f" + std::to_string(i), "inout"});
            }
        }
    }
    for (int order = 0; order < 4; ++order) {
        for (int i = 0; i < 40; ++i) {
            if ((i * 5) % 4 == order) {
                expected.push_back({"s" + std::to_string(i), "inout"});
            }
        }
    }
    std::vector<RuleInfo> rules;
    convertationRules(systems, flows, rules);
    expectMerged(rules, expected);
}

TEST(ConvertationRules, RulesInTheListOnEntryAreDiscarded) {
    std::vector<RuleInfo> rules(3);
    rules[0].message = "stale";
    convertationRules({systemRule("s", 1, false, true)}, {}, rules);
    expectMerged(rules, {{"s", "in"}});

    convertationRules({}, {}, rules);
    EXPECT_TRUE(rules.empty());
}

SystemRuleInfo systemProto(uint64_t id, std::string_view proto, bool send = true,
                           bool receive = true) {
    SystemRuleInfo r;
    r.id = id;
    r.access = "drop";
    r.proto = proto;
    r.icmpSend = send;
    r.icmpReceive = receive;
    return r;
}

NetworkFlowRuleInfo flowProto(uint64_t id, std::string_view proto,
                              std::string_view direction = "inout") {
    NetworkFlowRuleInfo r;
    r.id = id;
    r.access = "allow";
    r.proto = proto;
    r.direction = direction;
    return r;
}

TEST(ValidateRules, ReportsEveryRuleThatWouldBeLostOrWidened) {
    struct Case {
        const char* name;
        std::vector<SystemRuleInfo> systems;
        std::vector<NetworkFlowRuleInfo> flows;
        std::string output;
    };
    std::vector<SystemRuleInfo> expressibleSystems;
    std::vector<NetworkFlowRuleInfo> expressibleFlows;
    uint64_t id = 1;
    for (const char* proto : {"tcp", "udp", "icmp", "ip", "smb", "any", "0", "6", "255",
                              "99999999999999999999", "egp", "hmp", "xns-idp", "rdp", "rvd"}) {
        expressibleSystems.push_back(systemProto(id, proto, true, true));
        expressibleSystems.push_back(systemProto(id, proto, true, false));
        expressibleSystems.push_back(systemProto(id, proto, false, true));
        for (const char* direction : {"in", "out", "inout"}) {
            expressibleFlows.push_back(flowProto(id, proto, direction));
        }
        ++id;
    }
    const std::vector<Case> cases = {
        {"nothing to report", {}, {}, ""},
        {"every expressible protocol and direction", expressibleSystems, expressibleFlows, ""},
        {"unknown system rule protocols, whatever the direction",
         {systemProto(3, "foo"), systemProto(4, "", false, true),
          systemProto(5, "TCP", true, false)},
         {},
         "Unknown protocol 'foo' of system rule 3!\n"
         "Unknown protocol '' of system rule 4!\n"
         "Unknown protocol 'TCP' of system rule 5!\n"},
        {"a system rule for neither direction is not checked",
         {systemProto(6, "foo", false, false)},
         {},
         ""},
        {"names compared exactly, numbers only as plain digits",
         {},
         {flowProto(1, "Udp"), flowProto(2, "EGP"), flowProto(3, "ANY"), flowProto(4, "+6"),
          flowProto(5, "-1"), flowProto(6, "6a"), flowProto(7, "xns")},
         "Unknown protocol 'Udp' of network flow rule 1!\n"
         "Unknown protocol 'EGP' of network flow rule 2!\n"
         "Unknown protocol 'ANY' of network flow rule 3!\n"
         "Unknown protocol '+6' of network flow rule 4!\n"
         "Unknown protocol '-1' of network flow rule 5!\n"
         "Unknown protocol '6a' of network flow rule 6!\n"
         "Unknown protocol 'xns' of network flow rule 7!\n"},
        {"direction before protocol for one rule",
         {},
         {flowProto(9, "bogus", "IN"), flowProto(10, "tcp", ""), flowProto(11, "", "in ")},
         "Invalid direction 'IN' of network flow rule 9!\n"
         "Unknown protocol 'bogus' of network flow rule 9!\n"
         "Invalid direction '' of network flow rule 10!\n"
         "Invalid direction 'in ' of network flow rule 11!\n"
         "Unknown protocol '' of network flow rule 11!\n"},
        {"system rules first, each list in its own order",
         {systemProto(2, "x"), systemProto(1, "y")},
         {flowProto(8, "tcp", "out!"), flowProto(7, "z")},
         "Unknown protocol 'x' of system rule 2!\n"
         "Unknown protocol 'y' of system rule 1!\n"
         "Invalid direction 'out!' of network flow rule 8!\n"
         "Unknown protocol 'z' of network flow rule 7!\n"},
        {"the legacy id in full",
         {systemProto(UINT64_MAX, "q")},
         {},
         "Unknown protocol 'q' of system rule 18446744073709551615!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStdout();
        const bool valid = validateRules(c.systems, c.flows);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        EXPECT_EQ(valid, c.output.empty());
    }
}

} // namespace
