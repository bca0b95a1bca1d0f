// What a conversion tells the administrator who audits it: the summary, the
// system rules left out, where every converted rule comes from (--verbose),
// and the check that stops before packing and writes nothing outside the
// work root. Run on the real binary in an isolated /opt.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string sourceDir = MERVEX_SOURCE_DIR;

// The lines of a run after its report, for a conversion that completed.
std::string completedLines(const std::string& out) {
    return "Output archive: " + e2e::outputArchive(out) + "\nConversion completed!\n";
}

// The bundled example: its report is checked in beside its converted files.
// --verbose adds the origin lines wherever it stands and changes nothing
// else, neither the summary nor the converted files.
TEST(Report, ExampleBackupIsReportedRuleByRule) {
    e2e::Scratch scratch;
    ASSERT_NE(scratch.exampleBackup("backup.tar.gz"), "");
    const std::string verboseReport = e2e::readFile(sourceDir + "/tests/e2e/expected/report");
    ASSERT_NE(verboseReport, "");
    const std::string summary = std::regex_replace(verboseReport, std::regex("Rule [^\n]*\n"), "");
    ASSERT_EQ(e2e::lines(summary).size(), 3u) << summary;

    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"--file", "backup.tar.gz"}, summary},
        {{"--verbose", "--file", "backup.tar.gz"}, verboseReport},
        {{"--file", "backup.tar.gz", "--verbose"}, verboseReport},
    };
    std::vector<std::string> converted;
    for (const auto& [args, report] : runs) {
        SCOPED_TRACE(args[0]);
        const e2e::RunResult run = e2e::runMervex(scratch, args);
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(run.out, report + completedLines(run.out));
        const std::string archive = scratch.file(e2e::outputArchive(run.out));
        converted.push_back(e2e::archiveFile(archive, e2e::unifiedRulesMember) +
                            e2e::archiveFile(archive, e2e::suricataRulesMember));
    }
    EXPECT_NE(converted[0], "");
    EXPECT_EQ(converted[1], converted[0]);
    EXPECT_EQ(converted[2], converted[0]);
}

// The merge's worked example: network flow rules A (order 2, in), B (1,
// out), C (5, inout); system rules E (1, receive only), F (3, send and
// receive), G (2, send only), H (6, neither). The new order is A, E, C, F,
// G, B; H is left out and named. (A network flow rule for no direction is
// refused before the merge, so it has no place here.)
TEST(Report, VerboseLinesFollowTheMergedOrder) {
    e2e::Scratch scratch;
    const auto flow = [](int id, int order, const std::string& direction) {
        return "id " + std::to_string(id) + "\norder " + std::to_string(order) +
               "\naccess allow\nproto tcp\ndirection " + direction + "\n\n";
    };
    const auto system = [](int id, int order, bool send, bool receive) {
        return "id " + std::to_string(id) + "\norder " + std::to_string(order) +
               "\nenable false\naccess drop\nproto udp\nicmp_send " + (send ? "true" : "false") +
               "\nicmp_receive " + (receive ? "true" : "false") + "\n\n";
    };
    scratch.legacyBackup("backup.tar.gz",
                         system(15, 1, false, true) + system(16, 3, true, true) +
                             system(17, 2, true, false) + system(18, 6, false, false),
                         flow(11, 2, "in") + flow(12, 1, "out") + flow(13, 5, "inout"));
    const e2e::RunResult run = e2e::runMervex(scratch, {"--verbose", "--file", "backup.tar.gz"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, e2e::summary(4, 3, 2, 2, 2, 3, {"18"}) +
                           "Rule 1: network flow rule 11, order 2, direction in.\n"
                           "Rule 2: system rule 15, order 1, direction in.\n"
                           "Rule 3: network flow rule 13, order 5, direction inout.\n"
                           "Rule 4: system rule 16, order 3, direction inout.\n"
                           "Rule 5: system rule 17, order 2, direction out.\n"
                           "Rule 6: network flow rule 12, order 1, direction out.\n" +
                           completedLines(run.out));
}

// A check that passes: the summary and "Check passed!", the work root gone,
// and nothing new anywhere else: no archive, no temporary file beside the
// backup (not even an unnamed one), nothing under /opt but what every
// conversion leaves.
TEST(Check, PassingCheckWritesNothingOutsideTheWorkRoot) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", e2e::systemRules, e2e::networkFlowRules);
    const std::map<std::string, std::string> before = e2e::treeOf(scratch.path());
    e2e::RunOptions options;
    options.after = "cd " + e2e::quote(scratch.path()) + " && " + e2e::underStrace + " -f -o " +
                    e2e::quote(scratch.file("trace")) + " -e trace=openat,linkat,renameat2 " +
                    MERVEX_BINARY + " --check backup.tar.gz >" +
                    e2e::quote(scratch.file("traced.out")) + "; echo $? >" +
                    e2e::quote(scratch.file("traced.status"));
    const e2e::RunResult run = e2e::runMervex(scratch, {"--check", "backup.tar.gz"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, e2e::fixtureSummary() + "Check passed!\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.opt, e2e::optAfterConversion);

    const std::string trace = e2e::readFile(scratch.file("trace"));
    EXPECT_EQ(e2e::readFile(scratch.file("traced.status")), "0\n");
    EXPECT_EQ(e2e::readFile(scratch.file("traced.out")), run.out);
    EXPECT_NE(trace.find("cfg.rules"), std::string::npos) << "the rule files are written";
    EXPECT_EQ(trace.find("O_TMPFILE"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("linkat("), std::string::npos) << trace;
    EXPECT_EQ(trace.find("renameat2("), std::string::npos) << trace;

    std::map<std::string, std::string> after = e2e::treeOf(scratch.path());
    for (const char* own : {"trace", "traced.out", "traced.status"}) {
        after.erase(own);
    }
    EXPECT_EQ(after, before);
}

struct FailedCheckCase {
    const char* name;
    std::map<std::string, std::string> files; // backup members; none: not an archive
    std::string optSize;
    std::string messages; // printed before "Check failed!"
};

void PrintTo(const FailedCheckCase& c, std::ostream* os) {
    *os << c.name;
}

std::string manyRules() {
    std::string rules;
    for (int i = 1; i <= 1500; ++i) {
        const std::string n = std::to_string(i);
        rules += "id " + n + "\norder " + n + "\nmessage Rule " + n +
                 " with a message of some length\naccess allow\nproto tcp\n\n";
    }
    return rules;
}

// A check fails where the conversion would: before the merge without a
// summary, or after it (writing the rule files on a full /opt) with one.
const FailedCheckCase failedCheckCases[] = {
    {"NotAnArchive", {}, "64m", "Error unpack archive!\n"},
    {"RejectedValue",
     {{e2e::systemRulesBackupPath, "id 1\norder x\n\n"},
      {e2e::networkFlowRulesBackupPath, e2e::networkFlowRules}},
     "64m",
     "Invalid value 'x' of 'order' in line 2 of file '" + e2e::oldRulesDirectory +
         "/cfgSystemRule'!\n"},
    {"RuleFilesDoNotFit",
     {{e2e::systemRulesBackupPath, manyRules()},
      {e2e::networkFlowRulesBackupPath, e2e::networkFlowRules}},
     "400k",
     e2e::summary(1500, 1, 0, 1500, 1, 0) +
         "Can't write file '/opt/varno-firewall/tmp/new/opt/varno-firewall/etc/firewall/rules/"
         "cfgRule'!\n"},
};

class FailedCheckTest : public ::testing::TestWithParam<FailedCheckCase> {};

TEST_P(FailedCheckTest, EndsWithCheckFailedAndStatusTwo) {
    const FailedCheckCase& c = GetParam();
    e2e::Scratch scratch;
    if (c.files.empty()) {
        scratch.write("backup.tar.gz", "not an archive\n");
    } else {
        scratch.backup("backup.tar.gz", c.files);
    }
    const std::map<std::string, std::string> before = e2e::treeOf(scratch.path());
    e2e::RunOptions options;
    options.optSize = c.optSize;
    const e2e::RunResult run = e2e::runMervex(scratch, {"--check=backup.tar.gz"}, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, c.messages + "Check failed!\n");
    EXPECT_EQ(run.opt, e2e::optAfterConversion);
    EXPECT_EQ(e2e::treeOf(scratch.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedCheckTest, ::testing::ValuesIn(failedCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
