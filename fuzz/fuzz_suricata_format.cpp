// Feeds fuzzed field values to the four Suricata formatters and checks the
// text each appends to the line under construction.
#include "convertationToNew.h"
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace {

bool startsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string trimmed(const std::string& text) {
    const char* whitespace = " \t\n\v\f\r";
    const size_t begin = text.find_first_not_of(whitespace);
    if (begin == std::string::npos) {
        return "";
    }
    return text.substr(begin, text.find_last_not_of(whitespace) - begin + 1);
}

// Runs one formatter on a copy of the line and returns what it appended;
// the line before it must stay as it was.
template <typename Format>
std::string appended(const std::string& line, bool& result, Format format) {
    std::string copy = line;
    result = format(copy);
    fuzz::require(startsWith(copy, line), "a formatter changed the text before its own");
    return copy.substr(line.size());
}

// Address and port lists keep their items in order: as many commas as the
// value has, and the only spaces are those after a separator.
void checkList(const std::string& value, const std::string& text, const char* what) {
    fuzz::require(startsWith(text, " [") && endsWith(text, "]"),
                  std::string(what) + " not bracketed: " + fuzz::show(text));
    fuzz::require(std::count(text.begin(), text.end(), ',') ==
                      std::count(value.begin(), value.end(), ','),
                  std::string(what) + " lost or added items: " + fuzz::show(text));
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == ' ') {
            fuzz::require(text[i - 1] == ',' || text[i - 1] == ':',
                          std::string(what) + " kept a space: " + fuzz::show(text));
        }
    }
}

void checkSubjects(const RuleInfo& rule, bool result, const std::string& text) {
    const std::string subjects(rule.subjects);
    const std::vector<std::string> parts = split(subjects, ':');
    std::string key = parts[0];
    key.erase(std::remove(key.begin(), key.end(), ' '), key.end());
    const bool known = parts.size() >= 2 && (key == "users" || key == "groups");
    fuzz::require(result == known, "formatSubjects result for " + fuzz::show(subjects));
    if (!result) {
        fuzz::require(text.empty(), "formatSubjects appended text when it failed");
        return;
    }
    const std::string opener = std::string(rule.protocol == "smb" ? " smb." : " ") +
                               (key == "users" ? "user:\"" : "group:\"");
    fuzz::require(startsWith(text, opener) && endsWith(text, "\";"),
                  "formatSubjects wrote " + fuzz::show(text));
    // Backslashes come in pairs: each one of a name is doubled.
    const std::string body = text.substr(opener.size(), text.size() - opener.size() - 2);
    size_t run = 0;
    for (const char c : body + "|") {
        if (c == '\\') {
            ++run;
        } else {
            fuzz::require(run % 2 == 0, "formatSubjects left a single backslash");
            run = 0;
        }
    }
}

void checkObjects(const std::string& objects, bool result, const std::string& text) {
    const std::vector<std::string> parts = split(objects, ':');
    const std::string key = trimmed(parts[0]);
    const bool known = parts.size() >= 2 && (key == "shares" || key == "channels");
    fuzz::require(result == known, "formatObjects result for " + fuzz::show(objects));
    if (!result) {
        fuzz::require(text.empty(), "formatObjects appended text when it failed");
        return;
    }
    const std::string opener =
        std::string(key == "shares" ? " smb.share; " : " smb.named_pipe; ") + "pcre:\"/";
    const std::string closer = "/\";";
    fuzz::require(startsWith(text, opener) && endsWith(text, closer),
                  "formatObjects wrote " + fuzz::show(text));
    // The pattern is a valid regular expression that matches every name of
    // the list exactly, whatever characters the names hold. Long patterns are
    // left out: the standard library matches recursively.
    const std::string pattern =
        text.substr(opener.size(), text.size() - opener.size() - closer.size());
    if (pattern.size() > 512) {
        return;
    }
    std::regex expression;
    try {
        expression.assign(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& error) {
        fuzz::require(false, "formatObjects made an invalid pattern " + fuzz::show(pattern));
    }
    for (const std::string& name : split(parts[1], ',')) {
        fuzz::require(std::regex_match(trimmed(name), expression),
                      fuzz::show(pattern) + " does not match " + fuzz::show(trimmed(name)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string line = provider.ConsumeRandomLengthString(16);
    const std::string protocol =
        provider.ConsumeBool() ? "smb" : provider.ConsumeRandomLengthString(8);
    const std::string subjects = provider.ConsumeRandomLengthString();
    RuleInfo rule;
    rule.protocol = protocol;
    rule.subjects = subjects;
    const std::string objects = provider.ConsumeRandomLengthString();
    const std::string addresses = provider.ConsumeRandomLengthString();
    const std::string ports = provider.ConsumeRemainingBytesAsString();

    bool result = false;
    std::string text =
        appended(line, result, [&](std::string& l) { return formatIPAddress(addresses, l); });
    fuzz::require(result, "formatIPAddress failed");
    checkList(addresses, text, "addresses");

    text = appended(line, result, [&](std::string& l) { return formatPorts(ports, l); });
    fuzz::require(result, "formatPorts failed");
    checkList(ports, text, "ports");

    text = appended(line, result, [&](std::string& l) { return formatSubjects(rule, l); });
    checkSubjects(rule, result, text);

    text = appended(line, result, [&](std::string& l) { return formatObjects(objects, l); });
    checkObjects(objects, result, text);
    return 0;
}
