// Hostile and broken backups, converted by the real binary in an isolated
// /opt: member names that leave the extraction directory, symbolic links and
// special files where the legacy rule files belong, a gzip bomb, damaged and
// wrong inputs, and a huge legacy file. Each run must end in bounded time
// with a clear message, write nothing outside its work tree and its output
// archive, and leave neither the work root nor a partial archive behind.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const std::string rulesDir = "opt/varno-firewall/etc/firewall/rules";

const std::string systemRules = "id 1\norder 1\nmessage Allow ping\naccess allow\nproto icmp\n"
                                "icmp_type 8\nicmp_send false\n\n";
const std::string networkFlowRules = "id 2\norder 1\nmessage Allow web\naccess allow\n"
                                     "proto tcp\nlocal_ports 80\ndirection in\n\n";
// Rules that lie outside the backup; a conversion must never carry them over.
const std::string outsideRules = "id 66\norder 1\nmessage Outside rule\naccess allow\n"
                                 "proto tcp\ndirection in\n\n";

using e2e::cannotOpen;

// Runs a shell command on the host and fails the test when it fails.
void run(const std::string& command) {
    int status = 0;
    const std::string out = e2e::shell(command + " 2>&1", &status);
    ASSERT_EQ(status, 0) << command << "\n" << out;
}

// Writes the two sound legacy rule files into a staging directory.
void stageRules(const e2e::Scratch& scratch, const std::string& staging) {
    scratch.write(staging + "/" + rulesDir + "/cfgSystemRule", systemRules);
    scratch.write(staging + "/" + rulesDir + "/cfgNetworkFlowRule", networkFlowRules);
}

// Replaces a path of a staging directory by a symbolic link.
void stageLink(const e2e::Scratch& scratch, const std::string& path, const std::string& target) {
    run("rm -rf " + e2e::quote(scratch.file(path)) + " && ln -s " + e2e::quote(target) + " " +
        e2e::quote(scratch.file(path)));
}

// Packs the staging directory of the scratch directory into a
// gzip-compressed archive with tar's own options and member names.
std::string pack(const e2e::Scratch& scratch, const std::string& staging,
                 const std::string& options, const std::string& members = "./opt") {
    const std::string archive = scratch.file("backup.tar.gz");
    run("tar -czf " + e2e::quote(archive) + " " + options + " -C " +
        e2e::quote(scratch.file(staging)) + " " + members);
    run("rm -rf " + e2e::quote(scratch.file(staging)));
    return archive;
}

// A hostile or broken input prepared in a fresh scratch directory.
struct Prepared {
    std::string file;                // the --file argument
    e2e::RunOptions options;         // before/after snippets, tmpfs size
    std::set<std::string> optBefore; // paths under /opt made by the before snippet
};

struct HostileCase {
    const char* name;
    std::function<Prepared(const e2e::Scratch&)> prepare;
    int status;                             // expected exit status
    std::vector<std::string> messages;      // lines expected on standard output, in order
    std::vector<std::string> converted;     // messages of the converted rules (status 0)
    std::vector<std::string> mustNotAppear; // paths below the scratch directory
};

const std::string unpackError = "Error unpack archive!";

const HostileCase hostileCases[] = {
    {"AbsoluteMemberNamesStayInTheWorkTree",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         s.write("stage/escaped", "written by the backup\n");
         // Every member gets an absolute name; one of them names a file of
         // the scratch directory.
         const std::string archive =
             pack(s, "stage",
                  "-P --transform " +
                      e2e::quote("s,^\\./escaped$," + s.file("escaped") + ",;s,^\\./opt,/opt,"),
                  "./opt ./escaped");
         const std::string listing = e2e::shell("tar -tPzf " + e2e::quote(archive));
         EXPECT_NE(listing.find("\n" + s.file("escaped")), std::string::npos) << listing;
         return Prepared{archive, {}, {}};
     },
     0,
     {},
     {"Allow web", "Allow ping"},
     {"escaped"}},

    {"DotDotMemberNamesFailTheExtraction",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         s.write("stage/one", "written by the backup\n");
         s.write("stage/two", "written by the backup\n");
         const std::string up = "../../../../../../../../../..";
         const std::string archive =
             pack(s, "stage",
                  "-P --transform " +
                      e2e::quote("s,^\\./one$," + rulesDir + "/" + up + s.file("escaped-one") +
                                 ",;s,^\\./two$," + up + s.file("escaped-two") + ","),
                  "./opt ./one ./two");
         const std::string listing = e2e::shell("tar -tPzf " + e2e::quote(archive));
         EXPECT_NE(listing.find("\n" + up + s.file("escaped-two")), std::string::npos) << listing;
         return Prepared{archive, {}, {}};
     },
     2,
     {unpackError},
     {},
     {"escaped-one", "escaped-two"}},

    {"RuleDirectoryLinkedToTheInstalledRulesIsNotRead",
     [](const e2e::Scratch& s) {
         s.write("stage/opt/varno-firewall/etc/firewall/firewall.conf", "mode 1\n");
         s.write("stage/" + rulesDir + "/x", "");
         stageLink(s, "stage/" + rulesDir, "/" + rulesDir);
         Prepared prepared{pack(s, "stage", ""), {}, {}};
         // The live installation holds rule files of its own.
         prepared.options.before = "mkdir -p /" + rulesDir + " && printf %s " +
                                   e2e::quote(outsideRules) + " | tee /" + rulesDir +
                                   "/cfgSystemRule >/" + rulesDir + "/cfgNetworkFlowRule";
         prepared.optBefore = {"/opt/varno-firewall/etc", "/opt/varno-firewall/etc/firewall",
                               "/" + rulesDir, "/" + rulesDir + "/cfgSystemRule",
                               "/" + rulesDir + "/cfgNetworkFlowRule"};
         return prepared;
     },
     2,
     {cannotOpen("cfgSystemRule"), cannotOpen("cfgNetworkFlowRule")},
     {},
     {}},

    {"MemberWrittenThroughALinkedRuleDirectoryFailsTheExtraction",
     [](const e2e::Scratch& s) {
         s.write("outside/cfgSystemRule", outsideRules);
         s.write("stage/" + rulesDir + "/x", "");
         stageLink(s, "stage/" + rulesDir, s.file("outside"));
         s.write("stage2/" + rulesDir + "/cfgSystemRule", systemRules);
         s.write("stage2/" + rulesDir + "/cfgNetworkFlowRule", networkFlowRules);
         // The link comes first, then members that would be written through it.
         const std::string tarFile = s.file("backup.tar");
         run("tar -cf " + e2e::quote(tarFile) + " -C " + e2e::quote(s.file("stage")) +
             " ./opt && tar -rf " + e2e::quote(tarFile) + " -C " + e2e::quote(s.file("stage2")) +
             " ./" + rulesDir + "/cfgSystemRule ./" + rulesDir + "/cfgNetworkFlowRule && gzip " +
             e2e::quote(tarFile) + " && rm -rf " + e2e::quote(s.file("stage")) + " " +
             e2e::quote(s.file("stage2")));
         return Prepared{tarFile + ".gz", {}, {}};
     },
     2,
     {unpackError},
     {},
     {"outside/cfgNetworkFlowRule"}},

    // A rule file that is there but cannot be read as a regular file of the
    // backup fails the conversion: its rules would be lost.
    {"RuleFileLinkedToARuleFileOutsideFailsTheConversion",
     [](const e2e::Scratch& s) {
         s.write("outside/cfgSystemRule", outsideRules);
         stageRules(s, "stage");
         stageLink(s, "stage/" + rulesDir + "/cfgSystemRule", s.file("outside/cfgSystemRule"));
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     2,
     {cannotOpen("cfgSystemRule")},
     {},
     {}},

    {"RuleFileLinkedToDevZeroFailsTheConversion",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         stageLink(s, "stage/" + rulesDir + "/cfgSystemRule", "/dev/zero");
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     2,
     {cannotOpen("cfgSystemRule")},
     {},
     {}},

    {"RuleFileLinkedToAFifoFailsTheConversion",
     [](const e2e::Scratch& s) {
         run("mkfifo " + e2e::quote(s.file("fifo")));
         stageRules(s, "stage");
         stageLink(s, "stage/" + rulesDir + "/cfgNetworkFlowRule", s.file("fifo"));
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     2,
     {cannotOpen("cfgNetworkFlowRule")},
     {},
     {}},

    {"DanglingRuleFileLinkFailsTheConversion",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         stageLink(s, "stage/" + rulesDir + "/cfgNetworkFlowRule", "cfgNowhere");
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     2,
     {cannotOpen("cfgNetworkFlowRule")},
     {},
     {}},

    // Links resolve as if the extracted backup were the root directory: an
    // absolute target names a member of the backup, ".." stops at its top,
    // and nothing of it needs /proc.
    {"AbsoluteLinkToAMemberOfTheBackupIsRead",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         s.write("stage/opt/varno-firewall/saved/cfgSystemRule", systemRules);
         stageLink(s, "stage/" + rulesDir + "/cfgSystemRule",
                   "/opt/varno-firewall/saved/cfgSystemRule");
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     0,
     {},
     {"Allow web", "Allow ping"},
     {}},

    {"DotDotLinkStopsAtTheTopOfTheBackup",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         s.write("stage/opt/varno-firewall/saved/cfgNetworkFlowRule", networkFlowRules);
         stageLink(s, "stage/" + rulesDir + "/cfgNetworkFlowRule",
                   "../../../../../../../../../../opt/varno-firewall/saved/cfgNetworkFlowRule");
         Prepared prepared{pack(s, "stage", ""), {}, {}};
         // Nothing of the resolution needs /proc. (The sanitizers' runtime
         // does, so a sanitized mervex keeps it.)
         if (!e2e::sanitized()) {
             prepared.options.before = "mount -t tmpfs -o size=1m tmpfs /proc";
         }
         return prepared;
     },
     0,
     {},
     {"Allow web", "Allow ping"},
     {}},

    {"RuleFilesThatAreFifosAreRefused",
     [](const e2e::Scratch& s) {
         s.write("stage/" + rulesDir + "/x", "");
         run("cd " + e2e::quote(s.file("stage/" + rulesDir)) +
             " && rm x && mkfifo cfgSystemRule cfgNetworkFlowRule");
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     2,
     {cannotOpen("cfgSystemRule"), cannotOpen("cfgNetworkFlowRule")},
     {},
     {}},

    {"RuleFileLinkedWithinTheBackupIsRead",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         s.write("stage/opt/varno-firewall/saved/cfgSystemRule", systemRules);
         stageLink(s, "stage/" + rulesDir + "/cfgSystemRule", "../../../saved/cfgSystemRule");
         return Prepared{pack(s, "stage", ""), {}, {}};
     },
     0,
     {},
     {"Allow web", "Allow ping"},
     {}},

    {"GzipBombFillingTheWorkTreeFailsTheExtraction",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         s.write("stage/opt/varno-firewall/payload", "");
         run("truncate -s 64M " + e2e::quote(s.file("stage/opt/varno-firewall/payload")));
         Prepared prepared{pack(s, "stage", ""), {}, {}};
         EXPECT_LT(fs::file_size(prepared.file), 1u << 20);
         prepared.options.optSize = "16m";
         return prepared;
     },
     2,
     {unpackError},
     {},
     {}},

    {"TruncatedArchiveFailsTheExtraction",
     [](const e2e::Scratch& s) {
         stageRules(s, "stage");
         const std::string archive = pack(s, "stage", "");
         fs::resize_file(archive, fs::file_size(archive) / 2);
         return Prepared{archive, {}, {}};
     },
     2,
     {unpackError},
     {},
     {}},

    {"EmptyFileFailsTheExtraction",
     [](const e2e::Scratch& s) {
         s.write("backup.tar.gz", "");
         return Prepared{s.file("backup.tar.gz"), {}, {}};
     },
     2,
     {unpackError},
     {},
     {}},

    {"DirectoryFailsTheExtraction",
     [](const e2e::Scratch& s) {
         fs::create_directories(s.file("backup.tar.gz"));
         return Prepared{s.file("backup.tar.gz"), {}, {}};
     },
     2,
     {unpackError},
     {},
     {}},
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

class HostileBackupTest : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileBackupTest, EndsCleanlyAndWritesOnlyItsArchive) {
    const HostileCase& c = GetParam();
    e2e::Scratch scratch;
    Prepared prepared = c.prepare(scratch);
    prepared.options.timeoutSeconds = 60;
    const std::map<std::string, std::string> scratchBefore = e2e::treeOf(scratch.path());

    const auto start = std::chrono::steady_clock::now();
    const e2e::RunResult result =
        e2e::runMervex(scratch, {"--file", prepared.file}, prepared.options);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LT(seconds, 30);

    // Exactly the expected messages, then the archive and the final line.
    const std::string archive = e2e::outputArchive(result.out);
    std::string expectedOut;
    for (const std::string& message : c.messages) {
        expectedOut += message + "\n";
    }
    // Every case that completes converts the two staged rules, both incoming.
    expectedOut += c.status == 0 ? e2e::summary(1, 1, 2, 0, 0, 0) + "Output archive: " + archive +
                                       "\nConversion completed!\n"
                                 : "Conversion failed!\n";
    EXPECT_EQ(result.status, c.status) << result.out;
    EXPECT_EQ(result.out, expectedOut);

    // Below /opt only the lock directory and what the test made itself.
    std::set<std::string> optExpected = prepared.optBefore;
    optExpected.insert(e2e::optAfterConversion.begin(), e2e::optAfterConversion.end());
    EXPECT_EQ(std::set<std::string>(result.opt.begin(), result.opt.end()), optExpected);
    EXPECT_FALSE(e2e::workRootLeft(result));

    // In the scratch directory only the output archive is new; every other
    // file, the backup included, is as it was.
    std::map<std::string, std::string> scratchAfter = e2e::treeOf(scratch.path());
    if (c.status == 0) {
        ASSERT_FALSE(archive.empty()) << result.out;
        EXPECT_EQ(scratchAfter.erase(fs::path(archive).filename().string()), 1u) << archive;
        EXPECT_EQ(e2e::convertedMessages(archive), c.converted);
    } else {
        EXPECT_TRUE(archive.empty()) << result.out;
    }
    EXPECT_EQ(scratchAfter, scratchBefore);
    for (const std::string& path : c.mustNotAppear) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(scratch.file(path)))) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Backups, HostileBackupTest, testing::ValuesIn(hostileCases),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

// Size of the legacy file without any line feed.
constexpr long hugeFileMegabytes = 256;

// Peak resident memory, in kilobytes, of the largest process this test
// process has waited for, directly or through its children.
long childrenPeakKilobytes() {
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

// A system rule file that is one line of several hundred megabytes: the
// reader takes it as one rule whose protocol is missing, so the conversion is
// refused, in bounded time and memory. The backup is built inside the tmpfs
// from a stream, so nothing of that size reaches the real disk.
TEST(HugeLegacyFile, LineWithoutLineFeedIsReadInBoundedTimeAndMemory) {
    e2e::Scratch scratch;
    scratch.write("cfgNetworkFlowRule", networkFlowRules);
    const std::string backup = scratch.file("huge.tar.gz");
    const std::string stage = "/opt/stage";
    e2e::RunOptions options;
    options.optSize = "1200m";
    options.timeoutSeconds = 180;
    options.before = "set -e\nmkdir -p " + stage + "/" + rulesDir +
                     "\n{ printf 'message '; head -c " + std::to_string(hugeFileMegabytes) +
                     "M /dev/zero | tr '\\0' x; } >" + stage + "/" + rulesDir +
                     "/cfgSystemRule\ncp " + e2e::quote(scratch.file("cfgNetworkFlowRule")) + " " +
                     stage + "/" + rulesDir + "/\ntar -cf - -C " + stage + " ./opt | gzip -1 >" +
                     e2e::quote(backup) + "\nrm -rf " + stage + "\nset +e\ndate +%s%N >" +
                     e2e::quote(scratch.file("started")) + "\n";
    options.after = "date +%s%N >" + e2e::quote(scratch.file("ended"));

    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", backup}, options);
    const double seconds = (std::stod(e2e::readFile(scratch.file("ended"))) -
                            std::stod(e2e::readFile(scratch.file("started")))) /
                           1e9;
    const long peakMegabytes = childrenPeakKilobytes() / 1024;
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("peak_megabytes", std::to_string(peakMegabytes));
    std::printf("legacy file of %ld MB without a line feed: %.1f s, peak %ld MB\n",
                hugeFileMegabytes, seconds, peakMegabytes);

    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Unknown protocol '' of system rule 0!\n"
                          "Value '' of 'access' of system rule 0 can't be written as a rule!\n"
                          "Conversion failed!\n");
    EXPECT_FALSE(e2e::workRootLeft(result));
    EXPECT_EQ(result.opt, e2e::optAfterConversion);
    EXPECT_TRUE(scratch.archivesIn(scratch.path(), {"huge.tar.gz"}).empty());
    EXPECT_LT(seconds, e2e::sanitized() ? 120 : 60);
    // The line, its value and the record: a few copies of the file at most.
    EXPECT_LT(peakMegabytes, (e2e::sanitized() ? 6 : 4) * hugeFileMegabytes);
}

} // namespace
