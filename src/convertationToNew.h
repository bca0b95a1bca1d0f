// Conversion to configuration format 1.1: the unified rule record, checking
// and merging of the legacy rule lists, and the two rule file writers.
#pragma once

#include "main.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Protocol names written as they are in a Suricata rule header.
extern const std::vector<std::string> protocols;
// The three direction words.
extern const std::string inputValue;
extern const std::string outputValue;
extern const std::string inoutValue;

// One rule of the unified rule list. Its text fields view the text of the
// legacy rule it was made from, or static text.
struct RuleInfo {
    uint64_t id = 0;
    uint64_t order = 0;
    int32_t icmpType = -1;
    int32_t icmpCode = -1;
    std::string_view subjects;
    std::string_view objects;
    std::string_view message;
    std::string_view action;
    std::string_view protocol;
    std::string_view localAddrs;
    std::string_view localPorts;
    std::string_view remoteAddrs;
    std::string_view remotePorts;
    std::string_view adapters;
    std::string_view exefile;
    std::string_view schedule;
    std::string_view content;
    std::string_view direction;
    std::string_view wildcard;
    std::string_view regexp;
    bool audit = false;
    bool alarm = false;
    bool enable = true;
    bool substr = false;
    bool nocase = false;

    RuleInfo() = default;
    // Convert a legacy rule; the position becomes the rule's order, its legacy
    // id and order are not carried over. The new rule views the same text.
    RuleInfo(const SystemRuleInfo& rule, uint32_t position);
    RuleInfo(const NetworkFlowRuleInfo& rule, uint32_t position);
};

// What a protocol value means in the rule language. Validation, the ICMP
// test of both writers and the Suricata header all come from here. The texts
// view static text or, for a number, the protocol value classified.
struct ProtocolClass {
    std::string_view headerWord; // the protocol word of the Suricata header
    std::string_view ipProto;    // the ip_proto number, empty when none is written
    bool icmp = false;           // the rule carries ICMP type and code
    bool expressible = true;     // the protocol can be written at all
};

// A name of protocols is its own header word; any other value is written as
// "ip": "any" with no ip_proto, a decimal number (ICMP when it reads as the
// int 1) or one of the names egp, hmp, xns-idp, rdp and rvd with its number
// as ip_proto. Anything else cannot be expressed.
ProtocolClass classifyProtocol(std::string_view protocol);

// Reports every legacy rule that would be lost, widened or written as
// something else by the conversion, one message per offending rule and key:
// a network flow rule with an unknown direction word, a converted rule whose
// protocol cannot be expressed, whose action is not an action word of the
// rule language once "allow" becomes "drop", or one of whose values that
// cfg.rules carries cannot be written there (a control byte anywhere; in a
// quoted text '"', ';' or a backslash at its end; in a pattern a backslash
// before '"' or ';' or at its end; in an address or port list a bracket, a
// parenthesis, '"' or ';'). System rules for no traffic are not converted and
// not checked. True when there is none.
bool validateRules(const std::vector<SystemRuleInfo>& systemRules,
                   const std::vector<NetworkFlowRuleInfo>& networkFlowRules);

// The legacy rule a unified rule was made from.
struct RuleOrigin {
    bool system;    // a system rule, else a network flow rule
    uint64_t id;    // its legacy id
    uint64_t order; // its legacy order
};

// True for a system rule that no pass of the merge takes: it is for neither
// sending nor receiving, so it applies to no traffic and is left out.
inline bool appliesToNoTraffic(const SystemRuleInfo& rule) {
    return !rule.icmpSend && !rule.icmpReceive;
}

// Merges both legacy lists, each sorted stably by order, into the unified
// list grouped by direction: in, then inout, then out. Orders run 1..n.
// origins, when given, receives for every unified rule the legacy rule it was
// made from, in the same order.
void convertationRules(std::vector<SystemRuleInfo> systemRules,
                       std::vector<NetworkFlowRuleInfo> networkFlowRules,
                       std::vector<RuleInfo>& rules, std::vector<RuleOrigin>* origins = nullptr);

// Appends the rules to the unified rule file "cfgRule". False, with a
// message, when the file cannot be opened or written completely.
bool writeToFileRules(const std::vector<RuleInfo>& rules,
                      const std::string& path = unifiedRulesFilePath);

// Appends the rules to the Suricata rule file "cfg.rules", one line each.
// False when the file cannot be opened or written completely, or when a rule
// cannot be expressed; the lines of the rules before it stay in the file.
bool writeToSuricataFileRules(const std::vector<RuleInfo>& rules,
                              const std::string& path = suricataRulesFilePath);

// Formatters of Suricata rule text; each appends to line, starting with a
// space, and appends nothing when it returns false.
bool formatIPAddress(std::string_view addrs, std::string& line);
bool formatPorts(std::string_view ports, std::string& line);
bool formatSubjects(const RuleInfo& rule, std::string& line);
bool formatObjects(std::string_view objects, std::string& line);
