// Feeds any bytes to the legacy line splitter, the number parsers and both
// legacy rule file readers, and checks what they return.
#include "common.h"
#include "fuzz_support.h"
#include "main.h"
#include "record_text.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string withoutSpaces(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c != ' ') {
            result += c;
        }
    }
    return result;
}

std::string trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isCSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isCSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

void checkParameterLine(const std::string& line) {
    std::string key = "\x01key";
    std::string value = "\x01value";
    getParameterValue(&key, &value, line);
    const size_t space = line.find(' ');
    if (space == std::string::npos) {
        fuzz::require(key == line && value == "\x01value",
                      "a line without a space is a key alone: " + fuzz::show(line));
        return;
    }
    const std::string rest = line.substr(space + 1);
    fuzz::require(key == line.substr(0, space), "key of " + fuzz::show(line));
    const bool keepsInnerSpaces = key == "message" || key == "schedule";
    fuzz::require(value == (keepsInnerSpaces ? trimmed(rest) : withoutSpaces(rest)),
                  "value of " + fuzz::show(line) + " is " + fuzz::show(value));
}

// The numbers parsers see the line as a C string, up to its first NUL.
void checkNumbers(const std::string& line) {
    const std::string text = line.substr(0, line.find('\0'));

    bool ok = true;
    const int number = strToInt(text.c_str(), &ok);
    bool digitsOnly = !text.empty();
    unsigned long long expected = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            digitsOnly = false;
            break;
        }
        if (expected <= static_cast<unsigned long long>(INT_MAX)) {
            expected = expected * 10 + static_cast<unsigned>(c - '0');
        }
    }
    const bool fits = digitsOnly && expected <= static_cast<unsigned long long>(INT_MAX);
    fuzz::require(ok == fits, "strToInt flag for " + fuzz::show(text));
    fuzz::require(number == (fits           ? static_cast<int>(expected)
                             : text.empty() ? -1
                                            : 0),
                  "strToInt result for " + fuzz::show(text));

    // strToULong: the first word, an optional plus sign, then its leading
    // digits; more than 64 bits fail.
    size_t at = 0;
    while (at < text.size() && isCSpace(text[at])) {
        ++at;
    }
    if (at < text.size() && text[at] == '+') {
        ++at;
    }
    std::string digits;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        digits += text[at++];
    }
    const size_t firstNonZero = digits.find_first_not_of('0');
    const std::string significant = digits.empty() ? ""
                                    : firstNonZero == std::string::npos
                                        ? "0"
                                        : digits.substr(firstNonZero);
    const std::string largest = std::to_string(ULONG_MAX);
    const bool accepted =
        !significant.empty() && (significant.size() < largest.size() ||
                                 (significant.size() == largest.size() && significant <= largest));
    const unsigned long value = strToULong(text.c_str(), &ok);
    fuzz::require(ok == accepted, "strToULong flag for " + fuzz::show(text));
    fuzz::require(accepted ? std::to_string(value) == significant : value == 0,
                  "strToULong result for " + fuzz::show(text));
}

// Values of keys other than message and schedule lose every space; message
// and schedule are trimmed. No value can hold a line feed.
void checkStringValue(std::string_view view, bool trimmedOnly) {
    const std::string value(view);
    fuzz::require(value.find('\n') == std::string::npos, "line feed in " + fuzz::show(value));
    if (trimmedOnly) {
        fuzz::require(value == trimmed(value), "untrimmed " + fuzz::show(value));
    } else {
        fuzz::require(value.find(' ') == std::string::npos, "space in " + fuzz::show(value));
    }
}

void checkRecord(const SystemRuleInfo& r) {
    for (const std::string_view* value : {&r.access, &r.proto, &r.localAddrs, &r.remoteAddrs,
                                          &r.adapters, &r.exefile, &r.content}) {
        checkStringValue(*value, false);
    }
    checkStringValue(r.message, true);
    checkStringValue(r.schedule, true);
    fuzz::require(r.icmpType >= -1 && r.icmpCode >= -1, "ICMP numbers below -1");
}

void checkRecord(const NetworkFlowRuleInfo& r) {
    for (const std::string_view* value :
         {&r.access, &r.proto, &r.localAddrs, &r.localPorts, &r.remoteAddrs, &r.remotePorts,
          &r.direction, &r.exefile, &r.content, &r.wildcard, &r.regexp}) {
        checkStringValue(*value, false);
    }
    checkStringValue(r.message, true);
    checkStringValue(r.schedule, true);
}

// Reads the content with the reader and checks every record; the result and
// the records are returned in one text.
template <typename Record>
std::string readAndCheck(const fuzz::MemoryFile& file, const std::string& content,
                         bool (*reader)(std::vector<Record>&, RuleText&, bool*, const std::string&,
                                        const std::string&)) {
    file.assign(content);
    RuleText text;
    std::vector<Record> rules;
    bool missing = true;
    const bool read = reader(rules, text, &missing, file.path(), oldWorkTreePath);
    fuzz::require(!missing, "a regular file was taken for missing");
    // A rule needs at least one line, so there are never more rules than lines.
    size_t lines = 1;
    for (const char c : content) {
        lines += c == '\n';
    }
    fuzz::require(rules.size() <= lines, "more rules than lines");
    std::string description = read ? "read\n" : "rejected\n";
    for (const auto& rule : rules) {
        checkRecord(rule);
        description += records::text(rule) + "\n";
    }
    return description;
}

std::string withCrLf(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::MemoryFile file("legacy-rules");
    const std::string input(reinterpret_cast<const char*>(data), size);

    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        const std::string line = input.substr(start, end - start);
        checkParameterLine(line);
        checkNumbers(line);
        start = end + 1;
    }

    const std::string system = readAndCheck(file, input, readFileSystemRules);
    const std::string networkFlow = readAndCheck(file, input, readFileNetworkFlowRules);
    // Line ends written as CR LF read exactly like line feeds alone.
    if (input.find('\r') == std::string::npos) {
        const std::string crlf = withCrLf(input);
        fuzz::require(readAndCheck(file, crlf, readFileSystemRules) == system,
                      "system rules differ with CR LF line ends");
        fuzz::require(readAndCheck(file, crlf, readFileNetworkFlowRules) == networkFlow,
                      "network flow rules differ with CR LF line ends");
    }
    return 0;
}
