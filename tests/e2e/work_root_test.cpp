// The work root and the output archive under conditions a careful
// administrator meets: any file-creation mask, a backup stored inside the
// work root, a link, a file or a mount point where the work root's entries
// belong, a backup whose tree is deeper than any path, a caller that ignores
// SIGCHLD or sets TAR_OPTIONS, SIGKILL while packing, and the order of
// syncing and reporting.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using e2e::networkFlowRules;
using e2e::systemRules;

// Runs a shell command on the host and fails the test when it fails.
void run(const std::string& command) {
    int status = 0;
    const std::string out = e2e::shell(command + " 2>&1", &status);
    ASSERT_EQ(status, 0) << command << "\n" << out;
}

// A shell loop that waits, at most 30 s, until the test expression holds.
std::string waitUntil(const std::string& test) {
    return "i=0; until " + test + " || [ $i -ge 3000 ]; do sleep 0.01; i=$((i + 1)); done\n";
}

// Checks that a run completed, printing exactly the lines before (by default
// the report of the fixture's two rules), its output archive and the
// completion line.
void expectCompleted(const e2e::RunResult& result,
                     const std::string& before = e2e::fixtureSummary()) {
    const std::string archive = e2e::outputArchive(result.out);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, before + "Output archive: " + archive + "\nConversion completed!\n");
    EXPECT_FALSE(e2e::workRootLeft(result));
}

// The modes of everything mervex makes are the same under every mask: the
// firewall's directory, the lock file, the work root and both work trees
// (seen by tar while it packs), the output archive, and the rule
// directories and files inside it.
TEST(WorkRoot, ModesDoNotDependOnTheFileCreationMask) {
    std::vector<std::string> seen;
    for (const char* mask : {"000", "022", "077"}) {
        SCOPED_TRACE(std::string("umask ") + mask);
        e2e::Scratch scratch;
        const std::string backup =
            scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
        run("chmod 0640 " + e2e::quote(backup));
        e2e::RunOptions options;
        options.before = e2e::tarWrapper(scratch, "[ \"$1\" = -cz ] && cd /opt/varno-firewall && "
                                                  "stat -c '%n %a' . .mervex.lock tmp tmp/old "
                                                  "tmp/new >" +
                                                      e2e::quote(scratch.file("modes"))) +
                         "\numask " + mask;
        const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
        expectCompleted(result);
        const std::string archive = scratch.file(e2e::outputArchive(result.out));
        std::string modes = e2e::readFile(scratch.file("modes"));
        modes += e2e::shell("stat -c %a " + e2e::quote(archive));
        modes += e2e::shell("tar -tvzf " + e2e::quote(archive) + " | awk '{ print $1, $6 }'");
        seen.push_back(modes);
    }
    EXPECT_EQ(seen[0], ". 755\n.mervex.lock 600\ntmp 700\ntmp/old 700\ntmp/new 700\n640\n"
                       "drwxr-xr-x ./opt/varno-firewall/etc/firewall/rules/\n"
                       "-rw-r--r-- ./opt/varno-firewall/etc/firewall/rules/cfgRule\n"
                       "drwxr-xr-x ./opt/varno-firewall/etc/suricata/rules/\n"
                       "-rw-r--r-- ./opt/varno-firewall/etc/suricata/rules/cfg.rules\n");
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_EQ(seen[2], seen[0]);
}

struct InsideCase {
    const char* name;
    std::string setup;  // shell commands run before mervex; $B is a sound backup outside
    std::string backup; // the --file argument
    std::string cwd;    // mervex's working directory
    std::string kept;   // a path that must still be there afterwards
};

void PrintTo(const InsideCase& c, std::ostream* out) {
    *out << c.name;
}

const InsideCase insideCases[] = {
    {"BackupInTheWorkRoot",
     "mkdir -p /opt/varno-firewall/tmp && cp \"$B\" /opt/varno-firewall/tmp/",
     "/opt/varno-firewall/tmp/backup.tar.gz", "/", "/opt/varno-firewall/tmp/backup.tar.gz"},
    {"BackupDeepInTheOldTree",
     "mkdir -p /opt/varno-firewall/tmp/old/x && cp \"$B\" /opt/varno-firewall/tmp/old/x/",
     "/opt/varno-firewall/tmp/old/x/backup.tar.gz", "/",
     "/opt/varno-firewall/tmp/old/x/backup.tar.gz"},
    {"LinkOutsideToABackupInside",
     "mkdir -p /opt/varno-firewall/tmp && cp \"$B\" /opt/varno-firewall/tmp/real.tar.gz && ln -s "
     "/opt/varno-firewall/tmp/real.tar.gz /opt/link.tar.gz",
     "/opt/link.tar.gz", "/", "/opt/varno-firewall/tmp/real.tar.gz"},
    {"OutputDirectoryInside",
     "mkdir -p /opt/varno-firewall/tmp && ln -s \"$B\" /opt/varno-firewall/tmp/link.tar.gz",
     "/opt/varno-firewall/tmp/link.tar.gz", "/", "/opt/varno-firewall/tmp/link.tar.gz"},
    {"RelativePathInside",
     "mkdir -p /opt/varno-firewall/tmp/sub && cp \"$B\" /opt/varno-firewall/tmp/sub/",
     "../sub/backup.tar.gz", "/opt/varno-firewall/tmp/sub",
     "/opt/varno-firewall/tmp/sub/backup.tar.gz"},
};

class InsideWorkRootTest : public testing::TestWithParam<InsideCase> {};

// A backup in the work root would be removed with it, and so would an
// archive written there: such a backup is refused before anything is
// removed, and the work root's other entries stay.
TEST_P(InsideWorkRootTest, IsRefusedBeforeAnythingIsRemoved) {
    const InsideCase& c = GetParam();
    e2e::Scratch scratch;
    const std::string backup = scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.before = "B=" + e2e::quote(backup) + "\n" + c.setup +
                     "\nmkdir -p /opt/varno-firewall/tmp/old && touch "
                     "/opt/varno-firewall/tmp/other /opt/varno-firewall/tmp/old/stale";
    options.cwd = c.cwd;
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", c.backup}, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Backup '" + c.backup +
                              "' lies inside the work directory '/opt/varno-firewall/tmp'!\n"
                              "Conversion failed!\n");
    for (const std::string& path : {c.kept, std::string("/opt/varno-firewall/tmp/other"),
                                    std::string("/opt/varno-firewall/tmp/old/stale")}) {
        EXPECT_NE(std::find(result.opt.begin(), result.opt.end(), path), result.opt.end()) << path;
    }
    EXPECT_TRUE(std::none_of(result.opt.begin(), result.opt.end(), [](const std::string& path) {
        return std::regex_search(path, std::regex("/[0-9A-Za-z]{8}\\.tar\\.gz$"));
    }));
}

INSTANTIATE_TEST_SUITE_P(Backups, InsideWorkRootTest, testing::ValuesIn(insideCases),
                         [](const testing::TestParamInfo<InsideCase>& info) {
                             return std::string(info.param.name);
                         });

// Where the work root belongs stands a link to another directory, or a
// file: either is removed itself, the directory the link named is not
// touched, and the conversion works in a real work root.
TEST(WorkRoot, LinkOrFileInItsPlaceIsRemovedNotFollowed) {
    struct Case {
        const char* name;
        std::string setup;
    };
    const std::vector<Case> cases = {
        {"link", "mkdir /opt/elsewhere && touch /opt/elsewhere/keep && "
                 "ln -s /opt/elsewhere /opt/varno-firewall/tmp"},
        {"dangling link", "ln -s /opt/nowhere /opt/varno-firewall/tmp"},
        {"file", "echo data >/opt/varno-firewall/tmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Scratch scratch;
        scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
        e2e::RunOptions options;
        options.before =
            "mkdir -m 0755 /opt/varno-firewall && " + c.setup + "\n" +
            e2e::tarWrapper(scratch,
                            "[ \"$1\" = -xz ] && stat -c '%F %a' /opt/varno-firewall/tmp >" +
                                e2e::quote(scratch.file("root")));
        const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
        expectCompleted(result);
        EXPECT_EQ(e2e::readFile(scratch.file("root")), "directory 700\n");
        std::vector<std::string> expected = e2e::optAfterConversion;
        if (c.setup.find("elsewhere") != std::string::npos) {
            expected.insert(expected.begin(), {"/opt/elsewhere", "/opt/elsewhere/keep"});
        }
        EXPECT_EQ(result.opt, expected);
    }
}

// A file system mounted inside the work root is not entered by the removal:
// its content stays, and the removal says why the work root could not go.
TEST(WorkRoot, RemovalDoesNotEnterAMountPoint) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.before =
        "mkdir -p /opt/varno-firewall/tmp/mounted && mount -t tmpfs tmpfs "
        "/opt/varno-firewall/tmp/mounted && touch /opt/varno-firewall/tmp/mounted/keep "
        "/opt/varno-firewall/tmp/other";
    // The content of the mount is listed before it is unmounted.
    options.after = "find /opt/varno-firewall/tmp/mounted >" + e2e::quote(scratch.file("mounted")) +
                    "\numount /opt/varno-firewall/tmp/mounted";
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    EXPECT_EQ(result.status, 0) << result.out;
    // The removal's message comes before the outcome, which stays the last
    // line.
    const std::string archive = e2e::outputArchive(result.out);
    EXPECT_EQ(result.out, e2e::fixtureSummary() +
                              "Can't remove work directory '/opt/varno-firewall/tmp': Device or "
                              "resource busy!\nOutput archive: " +
                              archive + "\nConversion completed!\n");
    EXPECT_EQ(e2e::readFile(scratch.file("mounted")),
              "/opt/varno-firewall/tmp/mounted\n/opt/varno-firewall/tmp/mounted/keep\n");
    // Everything else of the work root is gone.
    EXPECT_EQ(result.opt, (std::vector<std::string>{
                              "/opt/varno-firewall", "/opt/varno-firewall/.mervex.lock",
                              "/opt/varno-firewall/tmp", "/opt/varno-firewall/tmp/mounted"}));
}

// A backup of under a kilobyte whose links make its tree 5,000 directories
// deep, paths of 10,000 bytes: the work root is removed, and the next
// conversion works.
TEST(WorkRoot, TreeDeeperThanAnyPathIsRemoved) {
    e2e::Scratch scratch;
    scratch.write("stage/" + std::string(e2e::systemRulesBackupPath), systemRules);
    scratch.write("stage/" + std::string(e2e::networkFlowRulesBackupPath), networkFlowRules);
    const std::string backup = scratch.file("deep.tar.gz");
    // Each link names the bottom of a chain of 1,000 directories below the
    // link before it, and the next chain is made through it.
    scratch.write("deep.py",
                  "import sys, tarfile\n"
                  "chain = '/'.join(['d'] * 1000)\n"
                  "with tarfile.open(sys.argv[1]) as rules, tarfile.open(sys.argv[2], 'w:gz',\n"
                  "        format=tarfile.GNU_FORMAT) as out:\n"
                  "    for member in rules.getmembers():\n"
                  "        out.addfile(member, rules.extractfile(member) if member.isfile() else "
                  "None)\n"
                  "    def add(name, kind, link=''):\n"
                  "        info = tarfile.TarInfo('opt/varno-firewall/deep/' + name)\n"
                  "        info.type, info.linkname, info.mode = kind, link, 0o755\n"
                  "        out.addfile(info)\n"
                  "    add('l0', tarfile.DIRTYPE)\n"
                  "    for k in range(1, 6):\n"
                  "        add('l%d/%s' % (k - 1, chain), tarfile.DIRTYPE)\n"
                  "        add('l%d' % k, tarfile.SYMTYPE, 'l%d/%s' % (k - 1, chain))\n");
    run("cd " + e2e::quote(scratch.file("stage")) + " && tar -cf " +
        e2e::quote(scratch.file("rules.tar")) + " ./opt && python3 " +
        e2e::quote(scratch.file("deep.py")) + " " + e2e::quote(scratch.file("rules.tar")) + " " +
        e2e::quote(backup));
    EXPECT_LT(e2e::readFile(backup).size(), 1024u);

    e2e::RunOptions options;
    // tar extracts the whole depth; seen from the first conversion's tar run.
    options.before = e2e::tarWrapper(
        scratch,
        "[ \"$1\" = -cz ] && [ ! -e " + e2e::quote(scratch.file("depth")) + " ] && python3 -c " +
            e2e::quote("import os\n"
                       "fd = os.open('/opt/varno-firewall/tmp/old/opt/varno-firewall/"
                       "deep/l0', os.O_RDONLY)\n"
                       "depth = 0\n"
                       "while True:\n"
                       "    try:\n"
                       "        fd, depth = os.open('d', os.O_RDONLY, dir_fd=fd), depth + 1\n"
                       "    except OSError:\n"
                       "        break\n"
                       "print(depth)") +
            " >" + e2e::quote(scratch.file("depth")));
    const e2e::RunResult result =
        e2e::runMervex(scratch, {"--file", "deep.tar.gz", "--file", "deep.tar.gz"}, options);
    EXPECT_EQ(e2e::readFile(scratch.file("depth")), "5000\n");
    const std::string archives[] = {
        e2e::outputArchive(result.out),
        e2e::outputArchive(result.out.substr(result.out.find("completed!")))};
    EXPECT_EQ(result.out, e2e::fixtureSummary() + "Output archive: " + archives[0] +
                              "\nConversion completed!\n" + e2e::fixtureSummary() +
                              "Output archive: " + archives[1] + "\nConversion completed!\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(e2e::workRootLeft(result));
}

// A caller that leaves SIGCHLD ignored, and one that sets TAR_OPTIONS
// (here: options that would put the extracted files elsewhere and the
// packed ones nowhere), get the same conversion as any other.
TEST(WorkRoot, CallersSignalsAndTarOptionsDoNotChangeTheConversion) {
    const std::vector<std::pair<const char*, std::string>> callers = {
        {"SIGCHLD ignored", "perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV or die' "},
        {"TAR_OPTIONS", "env TAR_OPTIONS='--strip-components=3 --exclude=*rules*' "},
    };
    for (const auto& [name, prefix] : callers) {
        SCOPED_TRACE(name);
        e2e::Scratch scratch;
        scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
        e2e::RunOptions options;
        options.after = "cd " + e2e::quote(scratch.path()) + " && " + prefix + MERVEX_BINARY +
                        " --file backup.tar.gz >" + e2e::quote(scratch.file("caller.out")) +
                        "; echo $? >" + e2e::quote(scratch.file("caller.status"));
        e2e::runMervex(scratch, {}, options);
        const std::string out = e2e::readFile(scratch.file("caller.out"));
        EXPECT_EQ(e2e::readFile(scratch.file("caller.status")), "0\n") << out;
        const std::string archive = e2e::outputArchive(out);
        EXPECT_EQ(out, e2e::fixtureSummary() + "Output archive: " + archive +
                           "\nConversion completed!\n");
        if (!archive.empty()) {
            EXPECT_EQ(e2e::convertedMessages(scratch.file(archive)),
                      (std::vector<std::string>{"Ping", "Web"}));
        }
    }
}

// SIGKILL at random moments while tar packs: whatever name the output
// directory then holds is a complete archive, also once the orphaned tar has
// ended.
TEST(OutputArchive, SigkillWhilePackingNeverLeavesAnIncompleteArchive) {
    e2e::Scratch scratch;
    std::string rules;
    for (int i = 1; i <= 20000; ++i) {
        const std::string n = std::to_string(i);
        rules += "id " + n + "\norder " + n + "\nmessage Rule " + n +
                 "\naccess allow\nproto tcp\nremote_addrs 10.0.0." + std::to_string(i % 250) +
                 "\nremote_ports 80," + n + "\ndirection out\n\n";
    }
    scratch.backup("backup.tar.gz", {{e2e::networkFlowRulesBackupPath, rules}});
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> milliseconds(0, 400);
    std::string delays;
    for (int i = 0; i < 12; ++i) {
        delays += " 0." + std::to_string(1000 + milliseconds(random)).substr(1);
    }
    const std::string started = e2e::quote(scratch.file("packing"));
    const std::string checks = e2e::quote(scratch.file("checks"));
    // Every name but the backup's must be a complete archive with both rule
    // files.
    const std::string check = "for f in " + e2e::quote(scratch.path()) +
                              "/*.tar.gz; do case $f in */backup.tar.gz) continue;; esac\n"
                              "if gzip -t \"$f\" && [ \"$(tar -tzf \"$f\" | grep -c "
                              "'/cfg.\\?[rR]ule')\" = 2 ]; then echo complete; else echo "
                              "\"incomplete $f\"; fi; done >>" +
                              checks + " 2>&1\necho -- >>" + checks + "\n";
    e2e::RunOptions options;
    options.timeoutSeconds = 300;
    options.before = e2e::tarWrapper(scratch, "case $1 in -c*) touch " + started + ";; esac") +
                     "\nfor delay in" + delays + "; do\nrm -f " + started + "\n" + MERVEX_BINARY +
                     " --file " + e2e::quote(scratch.file("backup.tar.gz")) +
                     " >/dev/null 2>&1 &\nm=$!\n" + waitUntil("[ -e " + started + " ]") + "[ -e " +
                     started + " ] || { echo never packed >>" + checks +
                     "; break; }\nsleep $delay\nkill -KILL $m\nwait $m\n" + check +
                     "done\nsleep 2\n" + check;
    const e2e::RunResult result = e2e::runMervex(scratch, {"--help"}, options);
    ASSERT_EQ(result.status, 0);

    // One block of lines per check, each ended by "--"; the last was made
    // once every orphaned tar had ended.
    std::vector<long> complete;
    long count = 0;
    const std::string seen = e2e::readFile(scratch.file("checks"));
    for (const std::string& line : e2e::lines(seen)) {
        if (line == "--") {
            complete.push_back(count);
            count = 0;
        } else {
            EXPECT_EQ(line, "complete");
            count += line == "complete";
        }
    }
    ASSERT_EQ(complete.size(), 13u) << seen;
    // No orphaned tar published anything once its converter was killed, and
    // some conversions were killed before their archive was published.
    EXPECT_EQ(complete[12], complete[11]) << seen;
    EXPECT_LT(complete[12], 12) << seen;
    RecordProperty("archives_published", std::to_string(complete[12]));
}

// The archive reaches the disk before it is reported: the file is synced,
// linked under its name, the directory synced, and only then are the archive
// line and the completion line written.
TEST(OutputArchive, IsSyncedAndLinkedBeforeTheCompletionLine) {
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.after = "cd " + e2e::quote(scratch.path()) + " && " + e2e::underStrace + " -o " +
                    e2e::quote(scratch.file("trace")) + " -e trace=fsync,linkat,write " +
                    MERVEX_BINARY + " --file backup.tar.gz >" +
                    e2e::quote(scratch.file("traced.out"));
    e2e::runMervex(scratch, {}, options);
    const std::string out = e2e::readFile(scratch.file("traced.out"));
    const std::string archive = e2e::outputArchive(out);
    ASSERT_EQ(out,
              e2e::fixtureSummary() + "Output archive: " + archive + "\nConversion completed!\n");
    const std::string name = archive.substr(archive.rfind('/') + 1);

    const std::vector<std::string> calls = e2e::lines(e2e::readFile(scratch.file("trace")));
    const auto find = [&](const std::regex& pattern, size_t from) {
        for (size_t i = from; i < calls.size(); ++i) {
            if (std::regex_search(calls[i], pattern)) {
                return i;
            }
        }
        return calls.size();
    };
    std::smatch link;
    const size_t linked = find(std::regex("^linkat\\(\\d+, \"\", \\d+, \"" + name + "\""), 0);
    ASSERT_LT(linked, calls.size()) << e2e::readFile(scratch.file("trace"));
    ASSERT_TRUE(std::regex_search(calls[linked], link,
                                  std::regex("^linkat\\((\\d+), \"\", (\\d+), .*\\) = 0$")))
        << calls[linked];
    const std::string file = link[1];
    const std::string directory = link[2];
    const size_t fileSynced = find(std::regex("^fsync\\(" + file + "\\) += 0"), 0);
    const size_t directorySynced = find(std::regex("^fsync\\(" + directory + "\\) += 0"), linked);
    const size_t archiveLine = find(std::regex("^write\\(1, \"Output archive: "), 0);
    const size_t completedLine = find(std::regex("^write\\(1, \"Conversion completed!"), 0);
    EXPECT_LT(fileSynced, linked);
    EXPECT_LT(directorySynced, archiveLine);
    EXPECT_LT(archiveLine, completedLine);
    EXPECT_LT(completedLine, calls.size());
}

// A FIFO and a device node where the legacy rule files belong are examined,
// never opened: opening them could block, or act on a device.
TEST(LegacyFiles, SpecialFilesOfTheBackupAreNeverOpened) {
    e2e::Scratch scratch;
    const std::string rules = "stage/opt/varno-firewall/etc/firewall/rules";
    scratch.write(rules + "/x", "");
    run("cd " + e2e::quote(scratch.file(rules)) +
        " && rm x && mkfifo cfgNetworkFlowRule && mknod cfgSystemRule c 1 3 && tar -czf " +
        e2e::quote(scratch.file("backup.tar.gz")) + " -C " + e2e::quote(scratch.file("stage")) +
        " ./opt");
    e2e::RunOptions options;
    options.after = "cd " + e2e::quote(scratch.path()) + " && " + e2e::underStrace + " -o " +
                    e2e::quote(scratch.file("trace")) + " -e trace=open,openat,openat2 " +
                    MERVEX_BINARY + " --file backup.tar.gz >/dev/null";
    e2e::runMervex(scratch, {}, options);
    std::string opened;
    for (const std::string& call : e2e::lines(e2e::readFile(scratch.file("trace")))) {
        if (call.find("/cfg") != std::string::npos && call.find("O_PATH") == std::string::npos) {
            opened += call + "\n";
        }
    }
    EXPECT_EQ(opened, "");
    EXPECT_NE(e2e::readFile(scratch.file("trace")).find("cfgSystemRule"), std::string::npos);
}

// tar sees no descriptor of the caller's (here 9), and dies with a converter
// killed by SIGKILL.
TEST(WorkRoot, TarGetsOnlyItsStandardDescriptorsAndDiesWithTheConverter) {
    e2e::Scratch scratch;
    const std::string backup = scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    const std::string held = scratch.file("held.tar.gz");
    run("mkfifo " + e2e::quote(held));
    e2e::RunOptions options;
    const std::string s = e2e::quote(scratch.path());
    // The wrapper records whether tar has descriptor 9, and its process id
    // (the wrapper becomes tar).
    options.before =
        e2e::tarWrapper(scratch, "if [ -e /proc/$$/fd/9 ]; then echo leaked; else echo closed; "
                                 "fi >" +
                                     s + "/fd9; echo $$ >" + s + "/tar.pid") +
        "\nexec 9</dev/null\n(exec 3>" + e2e::quote(held) + "; head -c 100 " + e2e::quote(backup) +
        " >&3; sleep 3) &\n" + MERVEX_BINARY + " --file " + e2e::quote(held) +
        " >/dev/null &\nm=$!\n" + waitUntil("[ -s " + s + "/tar.pid ]") +
        "sleep 0.2\nkill -KILL $m\nwait $m\nsleep 0.3\n"
        // Gone, or a zombie nobody has reaped yet.
        "case $(cut -d' ' -f3 /proc/$(cat " +
        s +
        "/tar.pid)/stat 2>/dev/null) in Z|'') echo gone;; "
        "*) echo alive;; esac >" +
        s + "/tar.after\nexec 9<&-\nwait";
    e2e::runMervex(scratch, {"--help"}, options);
    EXPECT_EQ(e2e::readFile(scratch.file("fd9")), "closed\n");
    EXPECT_EQ(e2e::readFile(scratch.file("tar.after")), "gone\n");
}

} // namespace
