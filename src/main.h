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

// Read the legacy rule files. The vector is emptied first and then holds the
// stored rules in file order. False when the file cannot be opened (it is
// missing or not a regular file; opened, when given, is then false) or when a
// value is rejected (reading stops there, with a message naming the line).
bool readFileSystemRules(std::vector<SystemRuleInfo>& rules, bool* opened = nullptr,
                         const std::string& path = systemRulesFilePath);
bool readFileNetworkFlowRules(std::vector<NetworkFlowRuleInfo>& rules, bool* opened = nullptr,
                              const std::string& path = networkFlowRulesFilePath);

// Carries out one whole conversion of one backup archive. True when the
// output archive was made; every failure is reported on standard output and
// leaves neither the work root nor an output archive behind.
bool convertSettings(const std::string& backupPath);

// Prints the help text.
void usage();

// The command line: one conversion for every --file option, in order.
// Returns the process exit status.
int runCommandLine(int argc, char* argv[]);
