// Runs a whole conversion in memory on one fuzzed pair of legacy rule files:
// read both, validate, merge, number the ids, write both rule files, and
// check the two files against the merged list.
#include "common.h"
#include "convertationToNew.h"
#include "fuzz_support.h"
#include "main.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace {

// The input holds the system rule file, this separator, then the network flow
// rule file.
const std::string fileSeparator = "\n=====\n";

const char* const unifiedKeys[] = {
    "order",        "message",      "action",    "protocol",    "subjects",
    "objects",      "icmp_type",    "icmp_code", "local_addrs", "local_ports",
    "remote_addrs", "remote_ports", "adapters",  "exefile",     "substr",
    "content",      "wildcard",     "regexp",    "direction",   "nocase",
    "schedule",     "enable",       "audit",     "alarm",       "id",
};

// A protocol number is ICMP when it reads as 1; "icmp" by name.
bool isIcmpRule(const RuleInfo& rule) {
    const std::string& p = rule.protocol;
    if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos) {
        return p == "icmp";
    }
    const size_t firstNonZero = p.find_first_not_of('0');
    return firstNonZero != std::string::npos && p.substr(firstNonZero) == "1";
}

int directionRank(const std::string& direction) {
    if (direction == "in") {
        return 0;
    }
    if (direction == "inout") {
        return 1;
    }
    if (direction == "out") {
        return 2;
    }
    return -1;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        fuzz::require(end != std::string::npos, "the last line has no line feed");
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void checkUnifiedFile(const std::string& text, const std::vector<RuleInfo>& rules) {
    const std::vector<std::string> lines = splitLines(text);
    size_t at = 0;
    for (const RuleInfo& rule : rules) {
        const bool icmp = isIcmpRule(rule);
        const std::string where = "cfgRule, rule " + std::to_string(rule.id);
        for (const char* key : unifiedKeys) {
            const std::string name = key;
            if (!icmp && (name == "icmp_type" || name == "icmp_code")) {
                continue;
            }
            fuzz::require(at < lines.size(), where + ": block ends before " + name);
            const std::string& line = lines[at++];
            fuzz::require(line.size() >= 19 &&
                              line.compare(0, 19, name + std::string(19 - name.size(), ' ')) == 0,
                          where + ": expected " + name + ", got " + fuzz::show(line));
            const std::string value = line.substr(19);
            if (name == "order") {
                fuzz::require(value == std::to_string(rule.order), where + ": order");
            } else if (name == "id") {
                fuzz::require(value == std::to_string(rule.id), where + ": id");
            } else if (name == "message") {
                fuzz::require(value == rule.message, where + ": message");
            } else if (name == "direction") {
                fuzz::require(value == rule.direction, where + ": direction");
            }
        }
        fuzz::require(at < lines.size() && lines[at].empty(), where + ": no empty line after it");
        ++at;
    }
    fuzz::require(at == lines.size(), "cfgRule holds more than the blocks of the rules");
}

// Reads the quoted msg value that starts at the position, undoing its escapes;
// false when the value is not closed by an unescaped double quote and ";", or
// holds a semicolon that is not escaped (it would end the option early).
bool readMessage(const std::string& line, size_t at, std::string& message) {
    message.clear();
    for (; at < line.size(); ++at) {
        if (line[at] == '\\') {
            if (++at == line.size()) {
                return false;
            }
            message += line[at];
        } else if (line[at] == '"') {
            return at + 1 < line.size() && line[at + 1] == ';';
        } else if (line[at] == ';') {
            return false;
        } else {
            message += line[at];
        }
    }
    return false;
}

std::string protocolWord(const std::string& protocol) {
    for (const char* name : {"tcp", "udp", "icmp", "ip", "smb"}) {
        if (protocol == name) {
            return protocol;
        }
    }
    return "ip";
}

std::string column(const std::string& value, bool (*format)(const std::string&, std::string&)) {
    std::string text;
    if (value.empty()) {
        return " any";
    }
    format(value, text);
    return text;
}

void checkSuricataFile(const std::string& text, const std::vector<RuleInfo>& rules) {
    const std::vector<std::string> lines = splitLines(text);
    fuzz::require(lines.size() == rules.size(), "cfg.rules: " + std::to_string(lines.size()) +
                                                    " lines for " + std::to_string(rules.size()) +
                                                    " rules");
    for (size_t i = 0; i < rules.size(); ++i) {
        const RuleInfo& rule = rules[i];
        const std::string& line = lines[i];
        const std::string where = "cfg.rules, rule " + std::to_string(rule.id) + ": ";
        const std::string start =
            (rule.enable ? "" : "#") + (rule.action == "allow" ? "drop" : rule.action) + " ";
        fuzz::require(line.compare(0, start.size(), start) == 0,
                      where + "line starts " + fuzz::show(line.substr(0, 40)));
        const std::string end = " sid:" + std::to_string(rule.id) + ";)";
        fuzz::require(line.size() >= end.size() &&
                          line.compare(line.size() - end.size(), end.size(), end) == 0,
                      where + "line ends " + fuzz::show(line.substr(line.size() - 40)));
        fuzz::require(line.find(" priority:" + std::to_string(rule.order) + ";") !=
                          std::string::npos,
                      where + "no priority");
        // The header: the protocol word and the four columns, then the options
        // open with the escaped message.
        const std::string header = start + protocolWord(rule.protocol) +
                                   column(rule.localAddrs, formatIPAddress) +
                                   column(rule.localPorts, formatPorts) + " <>" +
                                   column(rule.remoteAddrs, formatIPAddress) +
                                   column(rule.remotePorts, formatPorts) + " (msg:\"";
        fuzz::require(line.compare(0, header.size(), header) == 0,
                      where + "header " + fuzz::show(header) + " in " + fuzz::show(line));
        std::string message;
        fuzz::require(readMessage(line, header.size(), message) && message == rule.message,
                      where + "msg does not carry " + fuzz::show(rule.message));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::MemoryFile systemFile("cfgSystemRule");
    static const fuzz::MemoryFile networkFlowFile("cfgNetworkFlowRule");
    static const fuzz::MemoryFile unifiedFile("cfgRule");
    static const fuzz::MemoryFile suricataFile("cfg.rules");

    std::string systemText;
    std::string networkFlowText;
    fuzz::splitInput(std::string(reinterpret_cast<const char*>(data), size), fileSeparator,
                     systemText, networkFlowText);
    systemFile.assign(systemText);
    networkFlowFile.assign(networkFlowText);
    unifiedFile.clear();
    suricataFile.clear();

    try {
        std::vector<SystemRuleInfo> systemRules;
        std::vector<NetworkFlowRuleInfo> networkFlowRules;
        if (!readFileSystemRules(systemRules, nullptr, systemFile.path()) ||
            !readFileNetworkFlowRules(networkFlowRules, nullptr, networkFlowFile.path())) {
            return 0; // a rejected value fails the conversion
        }
        if (!validateRules(systemRules, networkFlowRules)) {
            return 0;
        }
        // Every network flow rule has a known direction now; only system
        // rules for neither direction are left out.
        size_t expected = networkFlowRules.size();
        for (const auto& rule : systemRules) {
            expected += rule.icmpSend || rule.icmpReceive;
        }

        std::vector<RuleInfo> rules;
        convertationRules(systemRules, networkFlowRules, rules);
        for (size_t i = 0; i < rules.size(); ++i) {
            rules[i].id = i + 1;
        }
        fuzz::require(rules.size() == expected, "merged " + std::to_string(rules.size()) +
                                                    " rules, expected " + std::to_string(expected));
        int rank = 0;
        for (size_t i = 0; i < rules.size(); ++i) {
            fuzz::require(rules[i].order == i + 1, "orders do not run 1..n");
            const int next = directionRank(rules[i].direction);
            fuzz::require(next >= rank, "direction groups out of order at " + std::to_string(i));
            rank = next;
        }

        fuzz::require(writeToFileRules(rules, unifiedFile.path()), "cfgRule writer failed");
        fuzz::require(writeToSuricataFileRules(rules, suricataFile.path()),
                      "cfg.rules writer failed after validation");
        checkUnifiedFile(unifiedFile.content(), rules);
        checkSuricataFile(suricataFile.content(), rules);
    } catch (const std::exception& error) {
        fuzz::require(false, std::string("exception: ") + error.what());
    }
    return 0;
}
