// A second, unprivileged local user against a conversion that runs as root:
// probing the work tree while a conversion is held half-way, swapping the
// output name in a backup directory the user owns, exchanging a directory of
// the backup for a link while the work tree is removed, and holding the lock.
// The user is nobody (setpriv), the attacks are the helper attacker.cpp, every
// loop is bounded in time.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string fw = "/opt/varno-firewall";
const std::string oldTree = "/opt/varno-firewall/tmp/old/opt/varno-firewall";

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

// Stages the two legacy rule files below dir/opt/varno-firewall.
std::string stageRules(const e2e::Scratch& scratch, const std::string& dir) {
    scratch.write(dir + "/" + e2e::systemRulesBackupPath, systemRules);
    scratch.write(dir + "/" + e2e::networkFlowRulesBackupPath, networkFlowRules);
    return scratch.file(dir) + "/opt/varno-firewall";
}

// While the conversion is held half-way through extracting its backup (the
// backup is a FIFO that is fed in two parts), nobody probes the work tree
// and everything the backup carries: a setuid-root program, a block and a
// character device open to all, a readable file, the rule files.
TEST(LocalUser, CannotReachAnythingOfAHeldConversion) {
    e2e::Scratch scratch;
    const std::string stage = stageRules(scratch, "stage");
    scratch.write("stage/opt/varno-firewall/etc/secret", "secret\n");
    run("cd " + e2e::quote(stage) +
        " && mkdir bin dev && cp /usr/bin/id bin/suid && chmod 4755 bin/suid"
        " && mknod dev/disk b 7 0 && mknod dev/zero c 1 5 && chmod 0666 dev/disk dev/zero"
        " && chmod 0644 etc/secret && head -c 4M /dev/urandom >zz-filler");
    const std::string backup = scratch.file("backup.tar.gz");
    // The filler comes last: the first part of the stream holds every other
    // member, and extraction then waits in the middle of the filler.
    run("tar -czf " + e2e::quote(backup) + " -C " + e2e::quote(scratch.file("stage")) +
        " ./opt/varno-firewall/bin ./opt/varno-firewall/dev ./opt/varno-firewall/etc"
        " ./opt/varno-firewall/zz-filler");
    const std::string held = scratch.file("held.tar.gz");
    run("mkfifo " + e2e::quote(held));

    const std::vector<std::string> probed = {
        fw + "/tmp",
        fw + "/tmp/old",
        fw + "/tmp/new",
        oldTree,
        oldTree + "/bin/suid",
        oldTree + "/dev/disk",
        oldTree + "/dev/zero",
        oldTree + "/etc/secret",
        oldTree + "/etc/firewall/rules/cfgSystemRule",
    };
    std::string probes;
    for (const auto& path : probed) {
        probes += " " + e2e::quote(path);
    }
    e2e::RunOptions options;
    options.before = "(\nexec 3>" + e2e::quote(held) + "\nhead -c 2M " + e2e::quote(backup) +
                     " >&3\n" + waitUntil("[ -e " + oldTree + "/zz-filler ]") + e2e::asNobody +
                     " " + e2e::attacker + " probe" + probes + " >" +
                     e2e::quote(scratch.file("probe.out")) + " 2>&1\necho $? >" +
                     e2e::quote(scratch.file("probe.status")) + "\nstat -c '%a %U' " + oldTree +
                     "/bin/suid >" + e2e::quote(scratch.file("suid.mode")) + "\ntail -c +2097153 " +
                     e2e::quote(backup) + " >&3\n) &\nfeeder=$!";
    options.after = "wait $feeder";
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", held}, options);

    EXPECT_EQ(e2e::readFile(scratch.file("probe.out")), "");
    EXPECT_EQ(e2e::readFile(scratch.file("probe.status")), "0\n");
    // Neither the owner nor the setuid bit of the archive is restored.
    EXPECT_EQ(e2e::readFile(scratch.file("suid.mode")), "755 root\n");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(e2e::workRootLeft(result));
}

// The backup lies in a directory that nobody owns. The moment an archive
// name appears there, nobody replaces it by a link to a file of root's. The
// archive must never be written through such a link.
TEST(LocalUser, SwappingTheOutputNameForALinkCannotRedirectTheArchive) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        e2e::Scratch scratch;
        const std::string home = scratch.directoryOfNobody("home");
        scratch.legacyBackup("home/backup.tar.gz", systemRules, networkFlowRules);
        run("chown 65534:65534 " + e2e::quote(home + "/backup.tar.gz"));

        e2e::RunOptions options;
        options.before = "printf 'victim\\n' >/opt/victim && chmod 0644 /opt/victim\n" +
                         std::string(e2e::asNobody) + " " + e2e::attacker + " swap-on-appear " +
                         e2e::quote(home) + " /opt/victim 20 >" +
                         e2e::quote(scratch.file("swaps")) + " &\nhelper=$!\nsleep 0.3";
        options.after = "sleep 0.3; kill $helper; wait $helper\ncat /opt/victim >" +
                        e2e::quote(scratch.file("victim"));
        const e2e::RunResult result =
            e2e::runMervex(scratch, {"--file", home + "/backup.tar.gz"}, options);

        const std::string victim = e2e::readFile(scratch.file("victim"));
        EXPECT_TRUE(victim == "victim\n") << "the victim now holds " << victim.size() << " bytes; "
                                          << e2e::readFile(scratch.file("swaps"));
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_FALSE(e2e::workRootLeft(result));
    }
}

// The backup holds a world-writable directory. While five conversions of it
// run one after another, nobody keeps exchanging a directory inside it for a
// link to a directory of root's whose files have the same names. Neither the
// removal of the stale work trees nor that of the work root may remove
// anything there.
TEST(LocalUser, ExchangingABackupDirectoryForALinkCannotTurnTheRemovalOutside) {
    e2e::Scratch scratch;
    const std::string stage = stageRules(scratch, "stage");
    const std::string makeFiles = "for i in $(seq 100 299); do : >f$i; done";
    run("mkdir -p " + e2e::quote(stage + "/ww/d") + " && chmod 0777 " + e2e::quote(stage + "/ww") +
        " " + e2e::quote(stage + "/ww/d") + " && cd " + e2e::quote(stage + "/ww/d") + " && " +
        makeFiles);
    const std::string backup = scratch.file("backup.tar.gz");
    run("tar -czf " + e2e::quote(backup) + " -C " + e2e::quote(scratch.file("stage")) + " ./opt");

    e2e::RunOptions options;
    options.before = "mkdir /opt/victim && (cd /opt/victim && " + makeFiles + ")\n" +
                     e2e::asNobody + " " + e2e::attacker + " exchange-with-link " + oldTree +
                     "/ww d /opt/victim 60 >" + e2e::quote(scratch.file("exchanges")) +
                     " &\nhelper=$!";
    options.after = "kill $helper; wait $helper\nls /opt/victim | wc -l >" +
                    e2e::quote(scratch.file("victims"));
    std::vector<std::string> args;
    for (int i = 0; i < 5; ++i) {
        args.insert(args.end(), {"--file", backup});
    }
    const e2e::RunResult result = e2e::runMervex(scratch, args, options);

    EXPECT_EQ(e2e::readFile(scratch.file("victims")), "200\n")
        << e2e::readFile(scratch.file("exchanges"));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(e2e::workRootLeft(result));
}

// nobody takes every lock it can get hold of: it locks the firewall's
// directory and tries to open the lock file. A conversion still runs.
TEST(LocalUser, CannotHoldTheLock) {
    e2e::Scratch scratch;
    const std::string shared = scratch.directoryOfNobody("shared");
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);

    e2e::RunOptions options;
    // A first conversion leaves the lock file behind, as every one does.
    const std::string held = e2e::quote(shared + "/held");
    const std::string release = e2e::quote(shared + "/release");
    options.before = std::string(MERVEX_BINARY) + " --file backup.tar.gz >/dev/null\n" +
                     e2e::asNobody + " flock -n " + fw + " sh -c " +
                     e2e::quote("touch " + held + "; " + waitUntil("[ -e " + release + " ]")) +
                     " >/dev/null 2>&1 &\nholder=$!\n" + waitUntil("[ -e " + held + " ]") +
                     e2e::asNobody + " flock -n " + fw +
                     "/.mervex.lock true 2>/dev/null; echo $? >" +
                     e2e::quote(scratch.file("lock-file.status"));
    options.after = "touch " + release + "; wait $holder";
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);

    EXPECT_NE(e2e::readFile(scratch.file("lock-file.status")), "0\n");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, e2e::fixtureSummary() + "Output archive: " +
                              e2e::outputArchive(result.out) + "\nConversion completed!\n");
}

// While the conversion waits for its backup (a FIFO in a directory nobody
// owns), nobody swaps that directory for a link: to a directory of root's,
// or to the work root itself. The archive still goes to the directory the
// backup was in, and nothing appears where the link points.
TEST(LocalUser, SwappingTheBackupDirectoryForALinkCannotMoveTheArchive) {
    for (const std::string target : {"/opt/victim", "/opt/varno-firewall/tmp"}) {
        SCOPED_TRACE(target);
        e2e::Scratch scratch;
        const std::string home = scratch.directoryOfNobody("home");
        const std::string backup =
            scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
        run("chmod 0644 " + e2e::quote(backup));
        const std::string attack =
            "cd " + e2e::quote(home) +
            " && mkdir d && mkfifo -m 0644 d/b.tar.gz && exec 3>d/b.tar.gz && "
            "mv d d.moved && ln -s " +
            target + " d && cat " + e2e::quote(backup) + " >&3";
        e2e::RunOptions options;
        options.before = "mkdir -m 0755 /opt/victim\n" + std::string(e2e::asNobody) + " sh -c " +
                         e2e::quote(attack) + " &\nattacker=$!\n" +
                         waitUntil("[ -p " + e2e::quote(home + "/d/b.tar.gz") + " ]");
        options.after = "wait $attacker\nls -A /opt/victim >" + e2e::quote(scratch.file("victim")) +
                        "\nls " + e2e::quote(home + "/d.moved") + " >" +
                        e2e::quote(scratch.file("moved"));
        const e2e::RunResult result =
            e2e::runMervex(scratch, {"--file", home + "/d/b.tar.gz"}, options);
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(e2e::readFile(scratch.file("victim")), "");
        const std::string moved = e2e::readFile(scratch.file("moved"));
        EXPECT_EQ(e2e::lines(moved).size(), 2u) << moved << "the archive beside the FIFO";
        EXPECT_FALSE(e2e::workRootLeft(result));
    }
}

// A firewall directory that other users can change (made by an earlier
// version under umask 000, or owned by another user) would let them swap the
// work root's path: the conversion is refused before anything is made there.
TEST(LocalUser, FirewallDirectoryOthersCanChangeIsRefused) {
    struct Case {
        const char* name;
        std::string setup;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"world-writable", "mkdir -m 0777 /opt/varno-firewall", fw},
        {"owned by nobody", "mkdir -m 0755 /opt/varno-firewall && chown 65534 /opt/varno-firewall",
         fw},
        {"group-writable /opt", "chmod 0775 /opt", "/opt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Scratch scratch;
        scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
        e2e::RunOptions options;
        options.before = c.setup;
        const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "Can't prepare work directory '" + c.path +
                                  "': other users can change it!\nConversion failed!\n");
        EXPECT_FALSE(e2e::workRootLeft(result));
        EXPECT_TRUE(scratch.archivesIn(scratch.path(), {"backup.tar.gz"}).empty());
    }
    // A lock file that is not root's own is not trusted either.
    e2e::Scratch scratch;
    scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.before = "mkdir -m 0755 /opt/varno-firewall && touch " + fw +
                     "/.mervex.lock && chown 65534 " + fw + "/.mervex.lock";
    const e2e::RunResult result = e2e::runMervex(scratch, {"--file", "backup.tar.gz"}, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Can't prepare work directory '" + fw +
                              "/.mervex.lock': Operation not permitted!\nConversion failed!\n");
}

// The work root reached through a bind mount of the firewall's directory is
// still the work root.
TEST(LocalUser, BackupInTheWorkRootThroughABindMountIsRefused) {
    e2e::Scratch scratch;
    const std::string backup = scratch.legacyBackup("backup.tar.gz", systemRules, networkFlowRules);
    e2e::RunOptions options;
    options.before = "mkdir -p -m 0755 /opt/varno-firewall/tmp /opt/bound && cp " +
                     e2e::quote(backup) + " /opt/varno-firewall/tmp/ && mount --bind " + fw +
                     " /opt/bound";
    options.after = "umount /opt/bound";
    const e2e::RunResult result =
        e2e::runMervex(scratch, {"--file", "/opt/bound/tmp/backup.tar.gz"}, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Backup '/opt/bound/tmp/backup.tar.gz' lies inside the work directory "
                          "'/opt/varno-firewall/tmp'!\nConversion failed!\n");
    EXPECT_NE(
        std::find(result.opt.begin(), result.opt.end(), "/opt/varno-firewall/tmp/backup.tar.gz"),
        result.opt.end());
}

} // namespace
