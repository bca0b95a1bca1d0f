// Hostile legacy values, converted by the real binary in an isolated /opt:
// values that would rewrite a rule line for a real third-party rule parser,
// values and paths that would rewrite the terminal, a huge sparse rule file,
// and interrupting signals in the middle of long loops. Then the property
// over randomised legacy files (rule_property.py).
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace {

const std::string rulesPath = e2e::oldRulesDirectory + "/";
const std::string python = "/usr/bin/python3";

// Runs a shell command on the host and fails the test when it fails.
void run(const std::string& command) {
    int status = 0;
    const std::string out = e2e::shell(command + " 2>&1", &status);
    ASSERT_EQ(status, 0) << command << "\n" << out;
}

// A content value that closes the quoted option and adds one of its own:
// the third-party parser must read the rule's own message and content.
TEST(HostileValues, ContentCannotAddOptionsForARealRuleParser) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", "",
                         "id 1\norder 1\nmessage m1\naccess drop\nproto tcp\ndirection in\n"
                         "content x\"; msg:\"injected\n\n");
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"});
    ASSERT_EQ(result.status, 0) << result.out;
    const std::string archive = scratch.file(e2e::outputArchive(result.out));
    scratch.write("cfg.rules", e2e::archiveFile(archive, e2e::suricataRulesMember));
    int status = 0;
    const std::string parsed =
        e2e::shell(python + " -c " +
                       e2e::quote("import sys\nfrom suricata.update import rule\n"
                                  "rules = rule.parse_file(sys.argv[1])\n"
                                  "print(len(rules), rules[0]['msg'], rules[0]['content'])") +
                       " " + e2e::quote(scratch.file("cfg.rules")) + " 2>&1",
                   &status);
    EXPECT_EQ(status, 0) << parsed;
    // The reader removes the space, as from every value but message and
    // schedule.
    EXPECT_EQ(parsed, "1 m1 \"x\\\"\\;msg:\\\"injected\"\n");
}

// Values and paths reach the terminal escaped: a protocol value that paints
// a false outcome over the real one, a directory name that adds a line.
TEST(HostileValues, ValuesAndPathsCannotRewriteTheTerminal) {
    e2e::Scratch scratch;
    const std::string paint = "\x1b[2K\x1b[1GConversion\x1b[Bcompleted!";
    scratch.legacyBackup("backup.tar.gz", "",
                         "id 1\norder 1\naccess drop\nproto " + paint + "\ndirection in\n\n");
    const e2e::RunResult refused = e2e::runMervex(scratch, {"--file", "backup.tar.gz"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "Unknown protocol '\\x1b[2K\\x1b[1GConversion\\x1b[Bcompleted!' of "
                           "network flow rule 1!\nConversion failed!\n");

    const std::string dir = "new\nOutput archive: /etc/passwd";
    scratch.legacyBackup(dir + "/backup.tar.gz", "",
                         "id 1\norder 1\naccess drop\nproto tcp\ndirection in\n\n");
    const e2e::RunResult completed = e2e::runMervex(scratch, {"--file", dir + "/backup.tar.gz"});
    EXPECT_EQ(completed.status, 0) << completed.out;
    const std::vector<std::string> lines = e2e::lines(completed.out);
    ASSERT_EQ(lines.size(), 4u) << completed.out;
    const std::string escaped = "Output archive: new\\nOutput archive: /etc/passwd/";
    EXPECT_EQ(lines[2].substr(0, escaped.size()), escaped);
    EXPECT_EQ(lines[2].size(), escaped.size() + 15) << lines[2];
    EXPECT_EQ(lines[3], "Conversion completed!");
}

// A backup of a few hundred bytes whose rule file is a 64 GiB sparse file
// is refused before the file is read, in bounded time.
TEST(HostileValues, HugeSparseRuleFileIsRefusedUnread) {
    e2e::Scratch scratch;
    scratch.write("stage/" + std::string(e2e::networkFlowRulesBackupPath),
                  "id 1\norder 1\naccess drop\nproto tcp\ndirection in\n\n");
    const std::string sparse = scratch.file("stage/" + std::string(e2e::systemRulesBackupPath));
    scratch.write("stage/" + std::string(e2e::systemRulesBackupPath), "");
    run("truncate -s 64G " + e2e::quote(sparse) + " && tar -czSf " +
        e2e::quote(scratch.file("sparse.tar.gz")) + " -C " + e2e::quote(scratch.file("stage")) +
        " ./opt && rm -rf " + e2e::quote(scratch.file("stage")));
    EXPECT_LT(e2e::readFile(scratch.file("sparse.tar.gz")).size(), 1024u);
    e2e::RunOptions options;
    options.timeoutSeconds = 60;
    const auto start = std::chrono::steady_clock::now();
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "sparse.tar.gz"}, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Legacy rule file '" + rulesPath +
                              "cfgSystemRule' is too large: 68719476736 bytes, at most "
                              "536870912!\nConversion failed!\n");
    EXPECT_FALSE(e2e::workRootLeft(result));
}

struct LoopCase {
    const char* name;
    std::string legacy;  // shell commands writing both legacy files into $R
    std::string output;  // where mervex's standard output goes
    std::string waitFor; // shell test that holds once the loop runs
};

void PrintTo(const LoopCase& c, std::ostream* out) {
    *out << c.name;
}

const std::string flowRule =
    "printf 'id 1\\norder 1\\naccess drop\\nproto tcp\\ndirection in\\n\\n'";
const std::string newRules = "/opt/varno-firewall/tmp/new/opt/varno-firewall/etc/firewall/rules/";

// Each load makes its loop take seconds where it does not check for the
// signal.
const LoopCase loopCases[] = {
    {"ReadingA500MegabyteLine",
     "{ printf 'message '; head -c 500M /dev/zero | tr '\\0' x; } >$R/cfgSystemRule\n" + flowRule +
         " >$R/cfgNetworkFlowRule",
     "/dev/null", "[ -e $S/extracted ]"},
    {"Printing200000MessagesIntoAPipeNobodyReads",
     "seq 1 200000 | awk '{ print \"id \" $1 \"\\norder 1\\naccess drop\\nproto tcp\\n"
     "direction sideways\\n\" }' >$R/cfgNetworkFlowRule",
     "$S/blocked", "[ -e $S/extracted ]"},
    {"WritingTheRuleFiles",
     "seq 1 800000 | awk '{ print \"id \" $1 \"\\norder \" $1 \"\\nmessage rule \" $1 "
     "\" with a longer message\\naccess allow\\nproto tcp\\nremote_addrs "
     "10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5,10.0.0.6\\nremote_ports "
     "80,443,8080,1000-2000\\ndirection in\\ncontent abc;def\\n\" }' >$R/cfgNetworkFlowRule",
     "/dev/null", "[ -e " + newRules + "cfgRule ]"},
};

class LoopTest : public testing::TestWithParam<LoopCase> {};

// SIGTERM in the middle of a long loop ends the conversion within a second,
// with the usual cleanup and status 143.
TEST_P(LoopTest, SigtermEndsTheConversionWithinASecond) {
    const LoopCase& c = GetParam();
    e2e::Scratch scratch;
    e2e::RunOptions options;
    options.optSize = "4g";
    options.timeoutSeconds = 120;
    const std::string stage = "/opt/stage/" + std::string(e2e::systemRulesBackupPath);
    options.before =
        "set -e\nexport S=" + e2e::quote(scratch.path()) + "\nR=$(dirname " + stage +
        ")\nmkdir -p $R\n" + c.legacy +
        "\ntar -cf - -C /opt/stage ./opt | gzip -1 >$S/backup.tar.gz\nrm -rf /opt/stage\n" +
        // The wrapper marks the end of the extraction.
        e2e::tarWrapper(scratch, "", "[ \"$1\" = -xz ] && touch $S/extracted") + "\nset +e\n" +
        "mkfifo $S/blocked\nexec 7<>$S/blocked\n" + MERVEX_BINARY + " --file $S/backup.tar.gz >" +
        c.output +
        " 2>&1 &\nm=$!\n"
        "i=0; until " +
        c.waitFor +
        " || [ $i -ge 6000 ]; do sleep 0.005; i=$((i + 1)); done\n"
        "sleep 0.2\nkill -TERM $m\nstart=$(date +%s%N)\nwait $m\necho $? >$S/status\n"
        "echo $(( ($(date +%s%N) - start) / 1000000 )) >$S/milliseconds\nexec 7<&-";
    const e2e::RunResult result = e2e::runMervex(scratch, {"--help"}, options);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(e2e::readFile(scratch.file("status")), "143\n");
    const std::string milliseconds = e2e::readFile(scratch.file("milliseconds"));
    RecordProperty("milliseconds", milliseconds);
    ASSERT_FALSE(milliseconds.empty());
    EXPECT_LT(std::stol(milliseconds), 1000);
    EXPECT_FALSE(e2e::workRootLeft(result));
    EXPECT_TRUE(scratch.archivesIn(scratch.path(), {"backup.tar.gz"}).empty());
}

INSTANTIATE_TEST_SUITE_P(Loops, LoopTest, testing::ValuesIn(loopCases),
                         [](const testing::TestParamInfo<LoopCase>& info) {
                             return std::string(info.param.name);
                         });

// The property over randomised legacy files full of quotes, semicolons,
// backslashes, brackets, parentheses, tabs and control bytes: every
// conversion either fails naming the one value made unwritable, or writes a
// cfg.rules that the third-party parser reads back exactly.
TEST(HostileValues, RandomisedLegacyFilesReadBackThroughARealRuleParser) {
    e2e::Scratch scratch;
    e2e::RunOptions options;
    options.timeoutSeconds = 30;
    options.after = "timeout 600 " + python + " " +
                    e2e::quote(std::string(MERVEX_SOURCE_DIR) + "/tests/e2e/rule_property.py") +
                    " --mervex " + e2e::quote(MERVEX_BINARY) + " --runs 300 >" +
                    e2e::quote(scratch.file("report")) + " 2>&1; echo $? >" +
                    e2e::quote(scratch.file("report.status"));
    e2e::runMervex(scratch, {"--help"}, options);
    const std::string report = e2e::readFile(scratch.file("report"));
    EXPECT_EQ(e2e::readFile(scratch.file("report.status")), "0\n") << report;
    const std::vector<std::string> lines = e2e::lines(report);
    ASSERT_FALSE(lines.empty());
    RecordProperty("summary", lines.back());
    std::printf("%s\n", lines.back().c_str());
    EXPECT_EQ(lines.back().substr(0, 18), "conversions: 300, ");
    EXPECT_NE(lines.back().find("problems: 0"), std::string::npos) << report;
}

} // namespace
