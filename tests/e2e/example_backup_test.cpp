// Whole conversions of realistic configurations: the bundled example backup
// against its checked-in converted files, the order of the merged rules, and
// a backup with CRLF line ends against its LF twin.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string sourceDir = MERVEX_SOURCE_DIR;

// Empty when both texts are equal, else the lines where they differ.
std::string differences(const std::string& expected, const std::string& actual) {
    if (expected == actual) {
        return "";
    }
    const std::vector<std::string> want = e2e::lines(expected);
    const std::vector<std::string> got = e2e::lines(actual);
    std::ostringstream report;
    int shown = 0;
    for (size_t i = 0; i < std::max(want.size(), got.size()) && shown < 12; ++i) {
        const std::string w = i < want.size() ? want[i] : "<none>";
        const std::string g = i < got.size() ? got[i] : "<none>";
        if (w != g) {
            report << "line " << i + 1 << "\n  expected: [" << w << "]\n  actual:   [" << g
                   << "]\n";
            ++shown;
        }
    }
    if (shown == 0) {
        report << "the texts differ in their line ends or final line feed\n";
    }
    return report.str();
}

// Converts the backups in one run and returns each one's output archive, in
// order, as a path on the host.
std::vector<std::string> convert(const e2e::Scratch& scratch,
                                 const std::vector<std::string>& backups) {
    std::vector<std::string> args;
    for (const auto& backup : backups) {
        args.push_back("--file");
        args.push_back(backup);
    }
    const e2e::RunResult run = e2e::runMervex(scratch, args);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_FALSE(e2e::workRootLeft(run));
    std::vector<std::string> archives;
    const std::string label = "Output archive: ";
    for (const auto& line : e2e::lines(run.out)) {
        if (line.compare(0, label.size(), label) == 0) {
            archives.push_back(scratch.file(line.substr(label.size())));
        }
    }
    EXPECT_EQ(archives.size(), backups.size()) << run.out;
    return archives;
}

TEST(ExampleBackup, ConvertsToTheCheckedInFiles) {
    e2e::Scratch scratch;
    ASSERT_NE(scratch.exampleBackup("backup.tar.gz"), "");

    const std::vector<std::string> archives = convert(scratch, {"backup.tar.gz"});
    ASSERT_EQ(archives.size(), 1u);
    const std::string unified = e2e::archiveFile(archives[0], e2e::unifiedRulesMember);
    const std::string suricata = e2e::archiveFile(archives[0], e2e::suricataRulesMember);
    EXPECT_EQ(differences(e2e::readFile(sourceDir + "/tests/e2e/expected/cfgRule"), unified), "");
    EXPECT_EQ(differences(e2e::readFile(sourceDir + "/tests/e2e/expected/cfg.rules"), suricata),
              "");
}

// A rule for the ordering check: its message names it.
std::string networkFlowRule(int id, const std::string& order, const std::string& direction) {
    return "id " + std::to_string(id) + "\norder " + order + "\nmessage N" + std::to_string(id) +
           "\naccess drop\nproto tcp\ndirection " + direction + "\n\n";
}

std::string systemRule(int id, const std::string& order, bool send, bool receive) {
    return "id " + std::to_string(id) + "\norder " + order + "\nmessage S" + std::to_string(id) +
           "\naccess allow\nproto udp\nicmp_send " + (send ? "true" : "false") + "\nicmp_receive " +
           (receive ? "true" : "false") + "\n\n";
}

TEST(ExampleBackup, RulesAreGroupedByDirectionAndSortedByOrder) {
    e2e::Scratch scratch;
    // Incoming, both directions, outgoing; inside each group network flow
    // rules stand before system rules except for outgoing traffic, each
    // list sorted by its order (equal orders keep file order), and a system
    // rule for neither direction is left out.
    scratch.legacyBackup("backup.tar.gz",
                         systemRule(1, "3", true, true) + systemRule(2, "2", true, false) +
                             systemRule(3, "6", false, false) + systemRule(4, "1", false, true) +
                             systemRule(5, "0", true, false) + systemRule(6, "10", true, true),
                         networkFlowRule(11, "2", "in") + networkFlowRule(12, "1", "out") +
                             networkFlowRule(13, "5", "inout") + networkFlowRule(14, "10", "in") +
                             networkFlowRule(15, "007", "in") + networkFlowRule(16, "2", "in"));
    const std::vector<std::string> archives = convert(scratch, {"backup.tar.gz"});
    ASSERT_EQ(archives.size(), 1u);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"N11", "in"}, {"N16", "in"},    {"N15", "in"},   {"N14", "in"},
        {"S4", "in"},  {"N13", "inout"}, {"S1", "inout"}, {"S6", "inout"},
        {"S5", "out"}, {"S2", "out"},    {"N12", "out"},
    };

    std::vector<std::pair<std::string, std::string>> unified;
    std::vector<std::string> numbers;
    for (const auto& rule : e2e::unifiedRules(archives[0])) {
        unified.emplace_back(rule.at("message"), rule.at("direction"));
        numbers.push_back(rule.at("order"));
        numbers.push_back(rule.at("id"));
    }
    EXPECT_EQ(unified, expected);
    std::vector<std::string> oneToN;
    for (size_t i = 1; i <= expected.size(); ++i) {
        oneToN.push_back(std::to_string(i)); // order of the rule
        oneToN.push_back(std::to_string(i)); // its id
    }
    EXPECT_EQ(numbers, oneToN);

    // The Suricata file carries the same sequence: one line per rule, its
    // position as priority and sid, its direction on the interface option.
    const std::vector<std::string> suricata =
        e2e::lines(e2e::archiveFile(archives[0], e2e::suricataRulesMember));
    ASSERT_EQ(suricata.size(), expected.size());
    const std::regex options(".*\\(msg:\"([^\"]*)\";.* priority:([0-9]+); "
                             "iface:\"\\*=([a-z]+)\"; sid:([0-9]+);\\)");
    for (size_t i = 0; i < suricata.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(suricata[i], match, options)) << suricata[i];
        EXPECT_EQ(match[1].str(), expected[i].first);
        EXPECT_EQ(match[2].str(), std::to_string(i + 1));
        EXPECT_EQ(match[3].str(), expected[i].second);
        EXPECT_EQ(match[4].str(), std::to_string(i + 1));
    }
}

TEST(ExampleBackup, CrlfBackupConvertsLikeItsLfTwin) {
    e2e::Scratch scratch;
    const std::string rules = sourceDir + "/examples/backup/opt/varno-firewall/etc/firewall/rules";
    const std::string system = e2e::readFile(rules + "/cfgSystemRule");
    const std::string networkFlow = e2e::readFile(rules + "/cfgNetworkFlowRule");
    ASSERT_FALSE(system.empty());
    ASSERT_FALSE(networkFlow.empty());
    const auto crlf = [](const std::string& text) {
        return std::regex_replace(text, std::regex("\n"), "\r\n");
    };
    scratch.legacyBackup("lf.tar.gz", system, networkFlow);
    scratch.legacyBackup("crlf.tar.gz", crlf(system), crlf(networkFlow));

    const std::vector<std::string> archives = convert(scratch, {"lf.tar.gz", "crlf.tar.gz"});
    ASSERT_EQ(archives.size(), 2u);
    for (const char* member : {e2e::unifiedRulesMember, e2e::suricataRulesMember}) {
        const std::string lf = e2e::archiveFile(archives[0], member);
        const std::string fromCrlf = e2e::archiveFile(archives[1], member);
        EXPECT_FALSE(lf.empty()) << member;
        EXPECT_EQ(fromCrlf.find('\r'), std::string::npos) << member;
        EXPECT_EQ(differences(lf, fromCrlf), "") << member;
    }
}

} // namespace
