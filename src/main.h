// Command line, conversion driver, the legacy rule records of configuration
// format 1.0 and their two file readers.
#pragma once

#include "common.h"

#include <cstdint>
#include <string>
#include <vector>

// One rule of the legacy system rule file "cfgSystemRule".
struct SystemRuleInfo {
    uint64_t id = 0;
    uint64_t order = 0;
    bool audit = false;
    bool enable = true;
    std::string message;
    std::string access;
    std::string proto;
    int32_t icmpType = -1;
    int32_t icmpCode = -1;
    bool icmpSend = true;
    bool icmpReceive = true;
    std::string localAddrs;
    std::string remoteAddrs;
    std::string adapters;
    std::string exefile;
    bool substr = false;
    std::string schedule;
    std::string content;
    bool nocase = false;
    bool isDefault = false;
};

// One rule of the legacy network flow rule file "cfgNetworkFlowRule".
struct NetworkFlowRuleInfo {
    uint64_t id = 0;
    uint64_t order = 0;
    bool audit = false;
    bool enable = true;
    std::string message;
    std::string access;
    std::string proto;
    std::string localAddrs;
    std::string localPorts;
    std::string remoteAddrs;
    std::string remotePorts;
    std::string direction = "inout";
    std::string schedule;
    std::string exefile;
    bool substr = false;
    std::string content;
    std::string wildcard;
    std::string regexp;
    bool nocase = false;
    bool isDefault = false;
};

// The largest legacy rule file that is read; a larger one is refused before
// anything of it is read.
constexpr unsigned long long largestLegacyFile = 512ull << 20;

// Read the legacy rule files. The vector is emptied first and then holds the
// stored rules in file order. A path below root is resolved as if root were
// the root directory, so that symbolic links of the extracted backup never
// lead out of it. False, with a message, when the file cannot be opened as a
// regular file (missing, when given, then tells whether there is no entry at
// the path at all), when it is too large, or when a value is rejected
// (reading stops there, with a message naming the line).
bool readFileSystemRules(std::vector<SystemRuleInfo>& rules, bool* missing = nullptr,
                         const std::string& path = systemRulesFilePath,
                         const std::string& root = oldWorkTreePath);
bool readFileNetworkFlowRules(std::vector<NetworkFlowRuleInfo>& rules, bool* missing = nullptr,
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
