// Runs a whole conversion in memory on one fuzzed pair of legacy rule files,
// through the same function as the driver, and checks it step by step: it
// converts exactly the inputs that read and validate, and then both files
// say what the merged list says, every rule line as a third-party rule
// parser reads it.
#include "common.h"
#include "convertationToNew.h"
#include "fuzz_support.h"
#include "main.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// A protocol number is ICMP when it reads as 1; "icmp" by name. Written
// here without the converter's classification, to check it.
bool isIcmpRule(const RuleInfo& rule) {
    const std::string p(rule.protocol);
    if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos) {
        return p == "icmp";
    }
    const size_t firstNonZero = p.find_first_not_of('0');
    return firstNonZero != std::string::npos && p.substr(firstNonZero) == "1";
}

int directionRank(std::string_view direction) {
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

// The options of a rule line as a third-party rule parser (suricata-update's)
// splits them: between the first "(" and the closing ")", at every ";" that
// does not follow a backslash; each a name and the value after its ":".
std::vector<std::pair<std::string, std::string>> ruleOptions(const std::string& line,
                                                             const std::string& where) {
    const size_t open = line.find('(');
    fuzz::require(open != std::string::npos && line.back() == ')',
                  where + "no option list in " + fuzz::show(line));
    fuzz::require(line.find(')') == line.size() - 1 || line.rfind(')', open) == std::string::npos,
                  where + "a parenthesis in the header of " + fuzz::show(line));
    std::string options = line.substr(open + 1, line.size() - open - 2);
    std::vector<std::pair<std::string, std::string>> found;
    size_t start = 0;
    for (size_t at = 0; at < options.size(); ++at) {
        if (options[at] != ';' || (at > 0 && options[at - 1] == '\\')) {
            continue;
        }
        std::string option = options.substr(start, at - start);
        option.erase(0, option.find_first_not_of(' '));
        const size_t colon = option.find(':');
        found.emplace_back(option.substr(0, colon),
                           colon == std::string::npos ? "" : option.substr(colon + 1));
        start = at + 1;
    }
    fuzz::require(options.find_first_not_of(' ', start) == std::string::npos,
                  where + "text after the last option of " + fuzz::show(line));
    return found;
}

// A quoted option value with the escapes of the specials undone; the value
// must be quoted.
std::string unquoted(const std::string& value, const char* specials, const std::string& where) {
    fuzz::require(value.size() >= 2 && value.front() == '"' && value.back() == '"',
                  where + "value not quoted: " + fuzz::show(value));
    std::string text;
    for (size_t at = 1; at + 1 < value.size(); ++at) {
        if (value[at] == '\\' && at + 2 < value.size() &&
            std::strchr(specials, value[at + 1]) != nullptr) {
            ++at;
        }
        text += value[at];
    }
    return text;
}

// The option names the writer means to write for the rule, in order.
std::vector<std::string> expectedOptions(const RuleInfo& rule) {
    const ProtocolClass protocol = classifyProtocol(rule.protocol);
    std::vector<std::string> names = {"msg"};
    const auto add = [&names](bool condition, const char* name) {
        if (condition) {
            names.push_back(name);
        }
    };
    add(!protocol.ipProto.empty(), "ip_proto");
    add(protocol.icmp && rule.icmpType != -1, "itype");
    add(protocol.icmp && rule.icmpCode != -1, "icode");
    add(rule.action == "allow", "inverse");
    add(!rule.exefile.empty(), "exefile");
    add(!rule.exefile.empty() && rule.substr, "substr");
    add(!rule.exefile.empty() && rule.nocase, "nocase");
    add(!rule.audit, "noalert");
    add(rule.alarm, "alarm");
    for (const auto& [value, name] :
         {std::pair{&rule.content, "content"}, std::pair{&rule.wildcard, "wildcard"},
          std::pair{&rule.regexp, "pcre"}}) {
        add(!value->empty(), name);
        add(!value->empty() && rule.nocase, "nocase");
    }
    add(!rule.schedule.empty(), "schedule");
    names.insert(names.end(), {"priority", "iface", "sid"});
    return names;
}

std::string column(std::string_view value, bool (*format)(std::string_view, std::string&)) {
    std::string text;
    if (value.empty()) {
        return " any";
    }
    format(value, text);
    return text;
}

// Every line must read, for a third-party rule parser, as one rule that says
// what the unified rule says: its action, header, options in order, msg,
// content and pcre, sid and priority.
void checkSuricataFile(const std::string& text, const std::vector<RuleInfo>& rules) {
    const std::vector<std::string> lines = splitLines(text);
    fuzz::require(lines.size() == rules.size(), "cfg.rules: " + std::to_string(lines.size()) +
                                                    " lines for " + std::to_string(rules.size()) +
                                                    " rules");
    for (size_t i = 0; i < rules.size(); ++i) {
        const RuleInfo& rule = rules[i];
        const std::string& line = lines[i];
        const std::string where = "cfg.rules, rule " + std::to_string(rule.id) + ": ";
        fuzz::require(
            std::none_of(line.begin(), line.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
            where + "control byte in " + fuzz::show(line));
        const std::string action(rule.action == "allow" ? std::string_view("drop") : rule.action);
        fuzz::require(action == "drop" || action == "alert" || action == "pass" ||
                          action == "reject",
                      where + "action " + fuzz::show(action));
        const std::string header = (rule.enable ? "" : "#") + action + " " +
                                   std::string(classifyProtocol(rule.protocol).headerWord) +
                                   column(rule.localAddrs, formatIPAddress) +
                                   column(rule.localPorts, formatPorts) + " <>" +
                                   column(rule.remoteAddrs, formatIPAddress) +
                                   column(rule.remotePorts, formatPorts) + " (";
        fuzz::require(line.compare(0, header.size(), header) == 0,
                      where + "header " + fuzz::show(header) + " in " + fuzz::show(line));

        const auto options = ruleOptions(line, where);
        std::vector<std::string> names;
        for (const auto& option : options) {
            names.push_back(option.first);
        }
        const std::vector<std::string> expected = expectedOptions(rule);
        fuzz::require(names == expected, where + "options of " + fuzz::show(line));
        const auto value = [&](const char* name) {
            for (const auto& option : options) {
                if (option.first == name) {
                    return option.second;
                }
            }
            return std::string();
        };
        fuzz::require(unquoted(value("msg"), "\\\";", where) == rule.message, where + "msg");
        if (!rule.content.empty()) {
            fuzz::require(unquoted(value("content"), "\\\";", where) == rule.content,
                          where + "content");
        }
        if (!rule.regexp.empty()) {
            fuzz::require(unquoted(value("pcre"), "\";", where) == rule.regexp, where + "pcre");
        }
        fuzz::require(value("priority") == std::to_string(rule.order), where + "priority");
        fuzz::require(value("sid") == std::to_string(rule.id), where + "sid");
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
        // The conversion as the driver runs it.
        const bool converted = convertRuleFiles(systemFile.path(), networkFlowFile.path(),
                                                unifiedFile.path(), suricataFile.path());

        // What it must have done, step by step.
        RuleText text;
        std::vector<SystemRuleInfo> systemRules;
        std::vector<NetworkFlowRuleInfo> networkFlowRules;
        const bool valid =
            readFileSystemRules(systemRules, text, nullptr, systemFile.path()) &&
            readFileNetworkFlowRules(networkFlowRules, text, nullptr, networkFlowFile.path()) &&
            validateRules(systemRules, networkFlowRules);
        fuzz::require(converted == valid, converted ? "converted input that fails validation"
                                                    : "refused input that passes validation");
        if (!converted) {
            fuzz::require(unifiedFile.content().empty() && suricataFile.content().empty(),
                          "a refused conversion wrote rule files");
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
        checkUnifiedFile(unifiedFile.content(), rules);
        checkSuricataFile(suricataFile.content(), rules);
    } catch (const std::exception& error) {
        fuzz::require(false, std::string("exception: ") + error.what());
    }
    return 0;
}
