// Two converters at once in one isolated /opt: they share the fixed work
// root, so only one may convert at a time; the other must give up at once
// without touching the work root, and neither's files may be damaged.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string lockMessage =
    "Another conversion is running: can't lock '/opt/varno-firewall'!\nConversion failed!\n";

std::string systemRules(const std::string& name) {
    return "id 1\norder 1\nmessage " + name +
           " ping\naccess allow\nproto icmp\nicmp_type 8\nicmp_send false\n\n";
}

std::string networkFlowRules(const std::string& name) {
    return "id 2\norder 1\nmessage " + name +
           " web\naccess allow\nproto tcp\nlocal_ports 80\ndirection in\n\n";
}

// Checks a run that converted the backup dir/<backup>.tar.gz of the named
// rules: its messages and its archive, which lies beside the backup.
void expectConverted(const e2e::Scratch& scratch, int status, const std::string& out,
                     const std::string& dir, const std::string& backup, const std::string& name) {
    const std::string archive = e2e::outputArchive(out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, e2e::summary(1, 1, 2, 0, 0, 0) + "Output archive: " + archive +
                       "\nConversion completed!\n");
    ASSERT_EQ(scratch.archivesIn(scratch.file(dir), {backup + ".tar.gz"}),
              std::vector<std::string>{scratch.file(archive)});
    EXPECT_EQ(e2e::convertedMessages(scratch.file(archive)),
              (std::vector<std::string>{name + " web", name + " ping"}));
}

std::string mervexCommand(const std::string& backup, const std::string& output) {
    return "timeout -s KILL 60 " + e2e::quote(MERVEX_BINARY) + " --file " + e2e::quote(backup) +
           " >" + e2e::quote(output + ".out") + " 2>&1 </dev/null; echo $? >" +
           e2e::quote(output + ".status");
}

// The first converter reads its backup from a pipe, so it holds the lock for
// as long as the test wants; the second starts meanwhile and must give up.
// Once the first is done, the second converts.
TEST(Concurrency, SecondConversionGivesUpWhileTheFirstHoldsTheLock) {
    e2e::Scratch scratch;
    const std::string firstData =
        scratch.legacyBackup("first-data.tar.gz", systemRules("First"), networkFlowRules("First"));
    scratch.legacyBackup("b/second.tar.gz", systemRules("Second"), networkFlowRules("Second"));
    e2e::shell("mkdir " + e2e::quote(scratch.file("a")) + " && mkfifo " +
               e2e::quote(scratch.file("a/first.tar.gz")));
    const std::string secondBefore = e2e::readFile(scratch.file("b/second.tar.gz"));

    e2e::RunOptions options;
    options.before = "cd " + e2e::quote(scratch.path()) + "\n(" +
                     mervexCommand("a/first.tar.gz", "first") +
                     ") &\n"
                     "first=$!\n"
                     // The work tree appears only once the first holds the lock;
                     // it then waits for its backup on the pipe.
                     "i=0\n"
                     "while [ ! -d /opt/varno-firewall/tmp/old ] && [ $i -lt 3000 ]; do\n"
                     "  sleep 0.01; i=$((i + 1))\n"
                     "done\n";
    options.after = "ls b >b-after-refusal\n"
                    "timeout 30 sh -c " +
                    e2e::quote("cat " + e2e::quote(firstData) + " >a/first.tar.gz") +
                    "\n"
                    "wait $first\n" +
                    mervexCommand("b/second.tar.gz", "second-again");
    const e2e::RunResult second = e2e::runMervex(scratch, {"--file", "b/second.tar.gz"}, options);

    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(second.out, lockMessage);
    EXPECT_EQ(e2e::readFile(scratch.file("b-after-refusal")), "second.tar.gz\n");

    expectConverted(scratch, std::stoi(e2e::readFile(scratch.file("first.status"))),
                    e2e::readFile(scratch.file("first.out")), "a", "first", "First");
    expectConverted(scratch, std::stoi(e2e::readFile(scratch.file("second-again.status"))),
                    e2e::readFile(scratch.file("second-again.out")), "b", "second", "Second");
    EXPECT_EQ(e2e::readFile(scratch.file("b/second.tar.gz")), secondBefore);
    EXPECT_EQ(second.opt, e2e::optAfterConversion);
}

// Both started at the same moment: whichever gets the lock converts, the
// other either gives up with the lock message or converts after it; never do
// both fail, and every archive made holds its own backup's rules.
TEST(Concurrency, ConvertersStartedTogetherConvertOneAtATime) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        e2e::Scratch scratch;
        scratch.legacyBackup("a/first.tar.gz", systemRules("First"), networkFlowRules("First"));
        scratch.legacyBackup("b/second.tar.gz", systemRules("Second"), networkFlowRules("Second"));

        e2e::RunOptions options;
        options.before = "cd " + e2e::quote(scratch.path()) + "\n(" +
                         mervexCommand("a/first.tar.gz", "first") + ") &\nfirst=$!\n";
        options.after = "wait $first";
        const e2e::RunResult second =
            e2e::runMervex(scratch, {"--file", "b/second.tar.gz"}, options);
        const int firstStatus = std::stoi(e2e::readFile(scratch.file("first.status")));
        const std::string firstOut = e2e::readFile(scratch.file("first.out"));

        EXPECT_TRUE(firstStatus == 0 || second.status == 0) << firstOut << second.out;
        const struct {
            int status;
            std::string out;
            const char* dir;
            const char* backup;
            const char* name;
        } runs[] = {{firstStatus, firstOut, "a", "first", "First"},
                    {second.status, second.out, "b", "second", "Second"}};
        for (const auto& r : runs) {
            if (r.status == 0) {
                expectConverted(scratch, r.status, r.out, r.dir, r.backup, r.name);
            } else {
                EXPECT_EQ(r.status, 2);
                EXPECT_EQ(r.out, lockMessage);
                EXPECT_TRUE(
                    scratch.archivesIn(scratch.file(r.dir), {std::string(r.backup) + ".tar.gz"})
                        .empty());
            }
        }
        EXPECT_EQ(second.opt, e2e::optAfterConversion);
    }
}

} // namespace
