// Conversion to configuration format 1.1: the unified rule record, checking
// and merging of the legacy rule lists, and the two rule file writers.
#pragma once

#include "main.h"

#include <cstdint>
#include <string>
#include <vector>

// Protocol names written as they are in a Suricata rule header.
extern const std::vector<std::string> protocols;
// The three direction words.
extern const std::string inputValue;
extern const std::string outputValue;
extern const std::string inoutValue;

// One rule of the unified rule list.
struct RuleInfo {
    uint64_t id = 0;
    uint64_t order = 0;
    int32_t icmpType = -1;
    int32_t icmpCode = -1;
    std::string subjects;
    std::string objects;
    std::string message;
    std::string action;
    std::string protocol;
    std::string localAddrs;
    std::string localPorts;
    std::string remoteAddrs;
    std::string remotePorts;
    std::string adapters;
    std::string exefile;
    std::string schedule;
    std::string content;
    std::string direction;
    std::string wildcard;
    std::string regexp;
    bool audit = false;
    bool alarm = false;
    bool enable = true;
    bool substr = false;
    bool nocase = false;

    RuleInfo() = default;
    // Convert a legacy rule; the position becomes the rule's order, its legacy
    // id and order are not carried over. A rule handed over as an rvalue gives
    // up its strings instead of having them copied.
    RuleInfo(SystemRuleInfo rule, uint32_t position);
    RuleInfo(NetworkFlowRuleInfo rule, uint32_t position);
};

// True for a protocol the Suricata writer can express: a name of protocols,
// "any", a decimal number, or a name with a known protocol number.
bool isSuricataProtocol(const std::string& protocol);

// Reports every legacy rule that would be lost or widened by the conversion:
// a network flow rule with an unknown direction word, and a converted rule
// whose protocol cannot be expressed. True when there is none.
bool validateRules(const std::vector<SystemRuleInfo>& systemRules,
                   const std::vector<NetworkFlowRuleInfo>& networkFlowRules);

// Merges both legacy lists, each sorted stably by order, into the unified
// list grouped by direction: in, then inout, then out. Orders run 1..n.
void convertationRules(std::vector<SystemRuleInfo> systemRules,
                       std::vector<NetworkFlowRuleInfo> networkFlowRules,
                       std::vector<RuleInfo>& rules);

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
bool formatIPAddress(const std::string& addrs, std::string& line);
bool formatPorts(const std::string& ports, std::string& line);
bool formatSubjects(const RuleInfo& rule, std::string& line);
bool formatObjects(const std::string& objects, std::string& line);
