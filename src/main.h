// Command line, conversion driver, the legacy rule records of configuration
// format 1.0 and their two file readers.
#pragma once

#include "common.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Owns the text that legacy and unified rule records view: the content of
// each legacy rule file, mapped or read into one buffer a file, the values
// that cleaning changed, and copies of other text a record is given.
// Buffers and mappings never move and are freed only with this object, so a
// record's text stays valid for as long as the RuleText it came from: the
// conversion keeps one for its whole length, declared before its record
// lists.
class RuleText {
  public:
    // Room for size bytes, left uninitialised, that stays where it is.
    char* allocate(size_t size);
    // A copy of the text, kept here.
    std::string_view keep(std::string_view text);
    // The first size bytes of the open file, mapped read-only with every
    // page read in, and kept mapped here; null when the file cannot be
    // mapped or a page cannot be read.
    const char* map(int fd, size_t size);

  private:
    struct Free {
        void operator()(char* buffer) const;
    };
    struct Unmap {
        size_t size;
        void operator()(const char* start) const;
    };
    std::vector<std::unique_ptr<char, Free>> buffers_;
    std::vector<std::unique_ptr<const char, Unmap>> mappings_;
};

// One rule of the legacy system rule file "cfgSystemRule". Its text fields
// view a RuleText.
struct SystemRuleInfo {
    uint64_t id = 0;
    uint64_t order = 0;
    bool audit = false;
    bool enable = true;
    std::string_view message;
    std::string_view access;
    std::string_view proto;
    int32_t icmpType = -1;
    int32_t icmpCode = -1;
    bool icmpSend = true;
    bool icmpReceive = true;
    std::string_view localAddrs;
    std::string_view remoteAddrs;
    std::string_view adapters;
    std::string_view exefile;
    bool substr = false;
    std::string_view schedule;
    std::string_view content;
    bool nocase = false;
    bool isDefault = false;
};

// One rule of the legacy network flow rule file "cfgNetworkFlowRule". Its text
// fields view a RuleText.
struct NetworkFlowRuleInfo {
    uint64_t id = 0;
    uint64_t order = 0;
    bool audit = false;
    bool enable = true;
    std::string_view message;
    std::string_view access;
    std::string_view proto;
    std::string_view localAddrs;
    std::string_view localPorts;
    std::string_view remoteAddrs;
    std::string_view remotePorts;
    std::string_view direction = "inout";
    std::string_view schedule;
    std::string_view exefile;
    bool substr = false;
    std::string_view content;
    std::string_view wildcard;
    std::string_view regexp;
    bool nocase = false;
    bool isDefault = false;
};

// The largest legacy rule file that is read; a larger one is refused before
// anything of it is read.
constexpr unsigned long long largestLegacyFile = 512ull << 20;

// Read the legacy rule files. The vector is emptied first and then holds the
// stored rules in file order; their text views the file's content, which is
// kept in text. A path below root is resolved as if root were
// the root directory, so that symbolic links of the extracted backup never
// lead out of it. False, with a message, when the file cannot be opened as a
// regular file (missing, when given, then tells whether there is no entry at
// the path at all), when it is too large, or when a value is rejected
// (reading stops there, with a message naming the line).
bool readFileSystemRules(std::vector<SystemRuleInfo>& rules, RuleText& text,
                         bool* missing = nullptr, const std::string& path = systemRulesFilePath,
                         const std::string& root = oldWorkTreePath);
bool readFileNetworkFlowRules(std::vector<NetworkFlowRuleInfo>& rules, RuleText& text,
                              bool* missing = nullptr,
                              const std::string& path = networkFlowRulesFilePath,
                              const std::string& root = oldWorkTreePath);

// Converts the two legacy rule files into the two new rule files: reads
// both, validates them, merges them into the unified list, numbers it and
// writes it as cfgRule and as cfg.rules. One missing legacy file holds no
// rules; both missing, a file that is there but cannot be read as a regular
// file, a rejected value, a rule that cannot be converted exactly, or a
// failed write make it false, each with its message. The directories of the
// new files must exist. Once the rules are merged, a summary is printed:
//   Read <a> system rules and <b> network flow rules.
//   System rule <id> is left out: it applies to no traffic.   (each, in file order)
//   Converted <n> rules: <i> in, <io> inout, <o> out; <d> of them disabled.
// and with verbose, for every unified rule in the new order,
//   Rule <new id>: system rule <legacy id>, order <legacy order>, direction <direction>.
// When neither legacy file is there but the unified rule file of format 1.1
// is, beside them, that is said.
bool convertRuleFiles(const std::string& systemRulesPath = systemRulesFilePath,
                      const std::string& networkFlowRulesPath = networkFlowRulesFilePath,
                      const std::string& unifiedRulesPath = unifiedRulesFilePath,
                      const std::string& suricataRulesPath = suricataRulesFilePath,
                      const std::string& root = oldWorkTreePath, bool verbose = false);

// Carries out one whole conversion of one backup archive. True when the
// output archive was made; every failure is reported on standard output and
// leaves neither the work root nor an output archive behind. With verbose,
// the summary lists where every converted rule comes from.
bool convertSettings(const std::string& backupPath, bool verbose = false);

// A conversion that stops before packing: everything up to and including
// writing both rule files in the work tree, with every message and the
// summary, then the work root is removed. Nothing is written outside the
// work root. Ends with "Check passed!" (true) or "Check failed!".
bool checkSettings(const std::string& backupPath, bool verbose = false);

// Prints the help text.
void usage();

// Prints the version information in the GNU format.
void version();

// Exit statuses of the command line.
constexpr int exitSuccess = 0;          // every conversion completed
constexpr int exitCommandLineError = 1; // a stray word or a bad option
constexpr int exitConversionFailed = 2; // a conversion failed (this wins over 1)
constexpr int exitBySignal = 128;       // plus the number of the interrupting signal

// The command line: one conversion for every --file option, in order.
// Returns the process exit status.
int runCommandLine(int argc, char* argv[]);
