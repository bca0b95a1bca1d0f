// One conversion from end to end on the real binary in an isolated /opt: the
// messages it prints, where its output archive goes and what it holds, the
// lock, the work trees, failures and signals.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string systemRulesPath = e2e::oldRulesDirectory + "/cfgSystemRule";
const std::string networkFlowRulesPath = e2e::oldRulesDirectory + "/cfgNetworkFlowRule";

using e2e::networkFlowRules;
using e2e::systemRules;

const std::regex archiveName("[0-9A-Za-z]{8}\\.tar\\.gz");

// The open-failure message of a legacy rule file, as a line.
std::string cannotOpen(const std::string& path) {
    return e2e::cannotOpen(path.substr(path.rfind('/') + 1)) + "\n";
}

// Checks that a run completed and printed exactly the lines before (by
// default the report of the fixture's two rules), its output archive and the
// completion line, the archive lying in dir (as printed); returns the
// archive's path as printed.
std::string expectCompleted(const e2e::RunResult& run, const std::string& dir,
                            const std::string& before = e2e::fixtureSummary()) {
    const std::string archive = e2e::outputArchive(run.out);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, before + "Output archive: " + archive + "\nConversion completed!\n");
    EXPECT_EQ(archive.substr(0, dir.size() + 1), dir + "/");
    EXPECT_TRUE(std::regex_match(archive.substr(dir.size() + 1), archiveName)) << archive;
    EXPECT_FALSE(e2e::workRootLeft(run));
    return archive;
}

// Checks that a run failed with exactly these messages and left neither an
// output archive in dir nor the work root.
void expectFailed(const e2e::Scratch& scratch, const e2e::RunResult& run, const std::string& dir,
                  const std::string& messages) {
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, messages + "Conversion failed!\n");
    EXPECT_TRUE(scratch.archivesIn(dir, {"backup.tar.gz"}).empty());
    EXPECT_FALSE(e2e::workRootLeft(run));
}

struct OutputPathCase {
    const char* name;
    std::string backup;    // backup path, relative to the scratch directory
    bool absolute;         // pass the backup path as an absolute path
    std::string outputDir; // where the archive goes, relative to the scratch directory
};

void PrintTo(const OutputPathCase& c, std::ostream* os) {
    *os << c.name;
}

const OutputPathCase outputPathCases[] = {
    {"BareNameGoesToWorkingDirectory", "backup.tar.gz", false, "."},
    {"RelativePathKeepsItsDirectory", "sub/dir/backup.tar.gz", false, "sub/dir"},
    {"AbsolutePathKeepsItsDirectory", "sub/backup.tar.gz", true, "sub"},
    // A colon before any slash would make tar look for a remote host.
    {"BareNameWithColon", "host:backup.tar.gz", false, "."},
    {"ShellCharactersInDirectoryAndName",
     "it's $(touch by-dollar) `touch by-backtick`/a b'c; touch by-semicolon.tar.gz", false,
     "it's $(touch by-dollar) `touch by-backtick`"},
    // Four directories of 130 bytes: more than 500 bytes even relative.
    {"PathLongerThanFiveHundredBytes",
     std::string(130, 'a') + "/" + std::string(130, 'b') + "/" + std::string(130, 'c') + "/" +
         std::string(130, 'd') + "/backup.tar.gz",
     true,
     std::string(130, 'a') + "/" + std::string(130, 'b') + "/" + std::string(130, 'c') + "/" +
         std::string(130, 'd')},
};

class OutputPathTest : public ::testing::TestWithParam<OutputPathCase> {};

TEST_P(OutputPathTest, ArchiveLandsBesideTheBackup) {
    const OutputPathCase& c = GetParam();
    e2e::Scratch scratch;
    scratch.legacyBackup(c.backup, systemRules, networkFlowRules);
    const std::string backup = c.absolute ? scratch.file(c.backup) : c.backup;

    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", backup});
    const std::string printedDir = c.absolute ? scratch.file(c.outputDir) : c.outputDir;
    const std::string archive = expectCompleted(run, printedDir);
    const std::string onDisk = c.absolute ? archive : scratch.file(archive);
    EXPECT_NE(e2e::archiveFile(onDisk, e2e::unifiedRulesMember).find("message            Ping\n"),
              std::string::npos);
    EXPECT_NE(e2e::archiveFile(onDisk, e2e::suricataRulesMember).find("(msg:\"Web\";"),
              std::string::npos);
    // A command hidden in the path would have run in the working directory.
    for (const char* marker : {"by-dollar", "by-backtick", "by-semicolon.tar.gz"}) {
        EXPECT_NE(::access(scratch.file(marker).c_str(), F_OK), 0) << "a command ran: " << marker;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, OutputPathTest, ::testing::ValuesIn(outputPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Conversion, ArchiveHoldsOnlyTheTwoRuleDirectories) {
    e2e::Scratch scratch;
    scratch.backup("backup.tar.gz", {{e2e::systemRulesBackupPath, systemRules},
                                     {e2e::networkFlowRulesBackupPath, networkFlowRules},
                                     {"opt/varno-firewall/etc/firewall/firewall.conf", "x\n"},
                                     {"etc/hosts", "127.0.0.1 localhost\n"}});
    e2e::RunOptions options;
    options.before = "umask 077"; // the rule directories are still readable by all
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    const std::string archive = scratch.file(expectCompleted(run, "."));

    EXPECT_EQ(e2e::archiveMembers(archive),
              (std::vector<std::string>{"./opt/varno-firewall/etc/firewall/rules/",
                                        "./opt/varno-firewall/etc/firewall/rules/cfgRule",
                                        "./opt/varno-firewall/etc/suricata/rules/",
                                        "./opt/varno-firewall/etc/suricata/rules/cfg.rules"}));
    const std::string listing = e2e::shell("tar -tvzf " + e2e::quote(archive));
    for (const char* dir :
         {"./opt/varno-firewall/etc/firewall/rules/", "./opt/varno-firewall/etc/suricata/rules/"}) {
        EXPECT_TRUE(
            std::regex_search(listing, std::regex("drwxr-xr-x [^\n]* " + std::string(dir) + "\n")))
            << listing;
    }
}

TEST(Conversion, TwoConversionsInOneDirectoryMakeTwoArchives) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    const e2e::RunResult run =
        e2e::runMervex(scratch, {"--file", "backup.tar.gz", "--file", "backup.tar.gz"});
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> printed = e2e::lines(run.out);
    ASSERT_EQ(printed.size(), 8u) << run.out;
    EXPECT_EQ(printed[2].substr(0, 16), "Output archive: ");
    EXPECT_NE(printed[2], printed[6]);
    const std::vector<std::string> archives = scratch.archivesIn(scratch.path(), {"backup.tar.gz"});
    ASSERT_EQ(archives.size(), 2u);
    for (const auto& archive : archives) {
        EXPECT_EQ(e2e::archiveMembers(archive).size(), 4u) << archive;
    }
}

TEST(Conversion, PathThatIsNotAnArchive) {
    e2e::Scratch scratch;
    scratch.write("backup.tar.gz", "id 1\norder 1\n\n");
    for (const std::string path : {"backup.tar.gz", "missing.tar.gz"}) {
        const e2e::RunResult run = e2e::runMervex(scratch, {"--file", path});
        expectFailed(scratch, run, scratch.path(), "Error unpack archive!\n");
    }
}

struct LegacyFilesCase {
    const char* name;
    std::map<std::string, std::string> files; // backup members
    std::string messages;                     // printed before the final line
    bool completes;
    std::vector<std::string> messagesInOrder; // message lines of cfgRule when completed
};

void PrintTo(const LegacyFilesCase& c, std::ostream* os) {
    *os << c.name;
}

const LegacyFilesCase legacyFilesCases[] = {
    {"NetworkFlowRuleFileMissing",
     {{e2e::systemRulesBackupPath, systemRules}},
     cannotOpen(networkFlowRulesPath) + e2e::summary(1, 0, 1, 0, 0, 0),
     true,
     {"Ping"}},
    {"SystemRuleFileMissing",
     {{e2e::networkFlowRulesBackupPath, networkFlowRules}},
     cannotOpen(systemRulesPath) + e2e::summary(0, 1, 0, 0, 1, 0),
     true,
     {"Web"}},
    {"BothRuleFilesMissing",
     {{"opt/varno-firewall/etc/firewall/firewall.conf", "x\n"}},
     cannotOpen(systemRulesPath) + cannotOpen(networkFlowRulesPath),
     false,
     {}},
    // A backup of format 1.1 already is named as such.
    {"BackupConvertedAlready",
     {{"opt/varno-firewall/etc/firewall/rules/cfgRule", "order              1\n"}},
     cannotOpen(systemRulesPath) + cannotOpen(networkFlowRulesPath) +
         "The backup holds a rule file of format 1.1: '" + e2e::oldRulesDirectory +
         "/cfgRule'; it seems to be converted already.\n",
     false,
     {}},
    // A rule file that is there but is no regular file would lose its
    // rules: it fails the conversion.
    {"RuleFileThatIsADirectory",
     {{e2e::systemRulesBackupPath + std::string("/inner"), "id 1\n\n"},
      {e2e::networkFlowRulesBackupPath, networkFlowRules}},
     cannotOpen(systemRulesPath),
     false,
     {}},
    // Both readers run and report; line numbers count every line from 1,
    // values are shown as cleaned.
    {"RejectedNumbersInBothFiles",
     {{e2e::systemRulesBackupPath, systemRules + "id 3\n\norder  x y\n\n"},
      {e2e::networkFlowRulesBackupPath, "id -1\n\n"}},
     "Invalid value 'xy' of 'order' in line 11 of file '" + systemRulesPath + "'!\n" +
         "Invalid value '-1' of 'id' in line 1 of file '" + networkFlowRulesPath + "'!\n",
     false,
     {}},
    {"RejectedIcmpType",
     {{e2e::systemRulesBackupPath, "id 1\r\norder 1\r\nicmp_type echo\r\n\r\n"},
      {e2e::networkFlowRulesBackupPath, networkFlowRules}},
     "Invalid value 'echo' of 'icmp_type' in line 3 of file '" + systemRulesPath + "'!\n",
     false,
     {}},
    // Every offending rule is reported, system rules first; a system rule
    // for neither direction is no fault.
    {"RulesThatCannotBeConverted",
     {{e2e::systemRulesBackupPath,
       "id 3\norder 1\naccess allow\nproto gre\nicmp_send false\n\n"
       "id 4\norder 2\naccess allow\nproto tcp\n\n"
       "id 5\norder 3\naccess allow\nproto\nicmp_receive false\n\n"
       "id 6\norder 4\nproto nonsense\nicmp_send false\nicmp_receive false\n\n"},
      {e2e::networkFlowRulesBackupPath,
       "id 7\norder 1\naccess drop\nproto tcp\ndirection IN\n\n"
       "id 8\norder 2\naccess drop\nproto TCP\ndirection sideways\n\n"
       "id 9\norder 3\naccess drop\nproto udp\ndirection out\n\n"}},
     "Unknown protocol 'gre' of system rule 3!\n"
     "Unknown protocol '' of system rule 5!\n"
     "Invalid direction 'IN' of network flow rule 7!\n"
     "Invalid direction 'sideways' of network flow rule 8!\n"
     "Unknown protocol 'TCP' of network flow rule 8!\n",
     false,
     {}},
};

class LegacyFilesTest : public ::testing::TestWithParam<LegacyFilesCase> {};

TEST_P(LegacyFilesTest, MessagesAndOutcome) {
    const LegacyFilesCase& c = GetParam();
    e2e::Scratch scratch;
    scratch.backup("backup.tar.gz", c.files);
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "backup.tar.gz"});
    if (!c.completes) {
        expectFailed(scratch, run, scratch.path(), c.messages);
        return;
    }
    const std::string archive = scratch.file(expectCompleted(run, ".", c.messages));
    EXPECT_EQ(e2e::convertedMessages(archive), c.messagesInOrder);
}

INSTANTIATE_TEST_SUITE_P(Files, LegacyFilesTest, ::testing::ValuesIn(legacyFilesCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Conversion, BusyLockLeavesTheWorkRootAlone) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    // The running shell holds the lock on a descriptor of its own, as a
    // second converter would.
    options.before = "mkdir -p /opt/varno-firewall/tmp/old && touch /opt/varno-firewall/tmp/keep\n"
                     "exec 9>/opt/varno-firewall/.mervex.lock && flock -n 9 || exit 96";
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Another conversion is running: can't lock '/opt/varno-firewall'!\n"
                       "Conversion failed!\n");
    EXPECT_EQ(run.opt,
              (std::vector<std::string>{"/opt/varno-firewall", "/opt/varno-firewall/.mervex.lock",
                                        "/opt/varno-firewall/tmp", "/opt/varno-firewall/tmp/keep",
                                        "/opt/varno-firewall/tmp/old"}));
    EXPECT_TRUE(scratch.archivesIn(scratch.path(), {"backup.tar.gz"}).empty());
}

TEST(Conversion, StaleWorkTreesAreRemovedBeforeExtraction) {
    e2e::Scratch scratch;
    scratch.backup("backup.tar.gz", {{e2e::systemRulesBackupPath, systemRules}});
    e2e::RunOptions options;
    // Each tar run records what the work root holds at that moment.
    options.before =
        e2e::tarWrapper(scratch, "find /opt/varno-firewall/tmp | LC_ALL=C sort >>" +
                                     e2e::quote(scratch.file("seen")) + "; echo -- >>" +
                                     e2e::quote(scratch.file("seen"))) +
        "\nmkdir -p /opt/varno-firewall/tmp/other /opt/varno-firewall/tmp/old" +
        "/opt/varno-firewall/etc/firewall/rules /opt/varno-firewall/tmp/new" +
        "/opt/varno-firewall/etc/firewall/rules\n"
        "touch /opt/varno-firewall/tmp/other/keep /opt/varno-firewall/tmp/new" +
        "/opt/varno-firewall/etc/firewall/rules/leftover\n"
        "printf 'id 9\\norder 9\\nmessage Stale\\nproto udp\\n\\n' >/opt/varno-firewall/tmp/old" +
        "/opt/varno-firewall/etc/firewall/rules/cfgNetworkFlowRule\n"
        "printf 'stale\\n' >/opt/varno-firewall/tmp/new/opt/varno-firewall/etc/firewall/rules/"
        "cfgRule";
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    // The stale network flow rule file is gone: the backup has none.
    const std::string archive = scratch.file(expectCompleted(
        run, ".", cannotOpen(networkFlowRulesPath) + e2e::summary(1, 0, 1, 0, 0, 0)));

    const std::string seen = e2e::readFile(scratch.file("seen"));
    const auto separator = seen.find("--\n");
    ASSERT_NE(separator, std::string::npos) << seen;
    EXPECT_EQ(seen.substr(0, separator),
              "/opt/varno-firewall/tmp\n/opt/varno-firewall/tmp/new\n/opt/varno-firewall/tmp/old\n"
              "/opt/varno-firewall/tmp/other\n/opt/varno-firewall/tmp/other/keep\n");
    EXPECT_NE(seen.find("/opt/varno-firewall/tmp/other/keep\n", separator), std::string::npos)
        << "other entries of the work root stay until the end";

    EXPECT_EQ(e2e::archiveMembers(archive).size(), 4u);
    const std::string unified = e2e::archiveFile(archive, e2e::unifiedRulesMember);
    EXPECT_EQ(unified.substr(0, 20), "order              1");
    EXPECT_EQ(unified.find("Stale"), std::string::npos);
}

TEST(Conversion, ReadOnlyOutputDirectory) {
    e2e::Scratch scratch;
    scratch.legacyBackup("ro/backup.tar.gz", systemRules, networkFlowRules);
    const std::string dir = e2e::quote(scratch.file("ro"));
    e2e::RunOptions options;
    options.before = "mount --bind " + dir + " " + dir + " && mount -o remount,bind,ro " + dir +
                     " " + dir + " || exit 96";
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "ro/backup.tar.gz"}, options);
    expectFailed(scratch, run, scratch.file("ro"), e2e::fixtureSummary() + "Error pack archive!\n");
}

TEST(Conversion, FullDiskFailsCleanly) {
    e2e::Scratch scratch;
    // The legacy rules fit on /opt, their converted files do not.
    std::string rules;
    for (int i = 1; i <= 1500; ++i) {
        const std::string n = std::to_string(i);
        rules += "id " + n + "\norder " + n + "\nmessage Rule " + n +
                 " with a message of some length\naccess allow\nproto tcp\nremote_addrs 10.0." +
                 std::to_string(i % 250) + ".1, 10.1.0.2\n\n";
    }
    scratch.backup("backup.tar.gz", {{e2e::systemRulesBackupPath, rules}});
    e2e::RunOptions options;
    options.optSize = "400k";
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    expectFailed(scratch, run, scratch.path(),
                 cannotOpen(networkFlowRulesPath) + e2e::summary(1500, 0, 0, 1500, 0, 0) +
                     "Can't write file '/opt/varno-firewall/tmp/new/opt/varno-firewall/etc/"
                     "firewall/rules/cfgRule'!\n");
}

struct SignalCase {
    const char* name;
    bool packing; // the signal comes while packing, else while extracting
    const char* signal;
    int status;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

const SignalCase signalCases[] = {
    {"TermDuringExtraction", false, "TERM", 143},
    {"IntDuringPacking", true, "INT", 130},
    {"HupDuringPacking", true, "HUP", 129},
};

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalTest, EndsCleanlyWithSignalStatus) {
    const SignalCase& c = GetParam();
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.timeoutSeconds = 20;
    // The signal comes while tar runs; when packing, the real tar has
    // already written the whole archive.
    const std::string realTar = e2e::shell("command -v tar | tr -d '\\n'");
    options.before = e2e::tarWrapper(
        scratch, std::string("if [ \"$1\" = ") + (c.packing ? "-cz" : "-xz") + " ]; then " +
                     (c.packing ? e2e::quote(realTar) + " \"$@\"; " : std::string()) + "kill -" +
                     c.signal + " $mervex; sleep 30; fi");
    // The second conversion never starts: the process ends.
    const e2e::RunResult run =
        e2e::runMervex(scratch, {"--file", "backup.tar.gz", "--file", "backup.tar.gz"}, options);
    EXPECT_EQ(run.status, c.status);
    // One conversion ran and failed: its final line is the last output.
    const std::string last = "Conversion failed!\n";
    EXPECT_EQ(run.out.find("Conversion "), run.out.size() - last.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), last.size())), last);
    EXPECT_FALSE(e2e::workRootLeft(run));
    EXPECT_TRUE(scratch.archivesIn(scratch.path(), {"backup.tar.gz"}).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::ValuesIn(signalCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// Standard output closed, a pipe nobody reads, or a full device: nobody can
// learn where the archive is, so the conversion fails and its archive goes.
TEST(Conversion, OutputArchiveLineThatCannotBeWrittenFailsTheConversion) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.after =
        std::string(MERVEX_BINARY) + " --file backup.tar.gz | true; echo ${PIPESTATUS[0]} >" +
        e2e::quote(scratch.file("piped.status")) + "\n" + MERVEX_BINARY +
        " --file backup.tar.gz >&-; echo $? >" + e2e::quote(scratch.file("closed.status")) + "\n" +
        MERVEX_BINARY + " --file backup.tar.gz >/dev/full; echo $? >" +
        e2e::quote(scratch.file("full.status"));
    const e2e::RunResult run = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    for (const char* how : {"piped", "closed", "full"}) {
        EXPECT_EQ(e2e::readFile(scratch.file(std::string(how) + ".status")), "2\n") << how;
    }
    EXPECT_FALSE(e2e::workRootLeft(run));
    // Only the first run's archive is there.
    const std::string name = e2e::outputArchive(run.out).substr(2); // after "./"
    EXPECT_EQ(scratch.archivesIn(scratch.path(), {"backup.tar.gz"}),
              std::vector<std::string>{scratch.file(name)});
}
