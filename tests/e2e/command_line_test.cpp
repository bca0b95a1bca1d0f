// The command line of mervex as a user meets it: the help text, the options
// and their abbreviations, left-over words and the exit status, run on the
// real binary in an isolated /opt.
#include "isolated_run.h"

#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string helpText =
    "mervex: converting a personal firewall configuration in version 1.0 format to version 1.1 "
    "format\n"
    "\n"
    "Usage: mervex ACTION\n"
    "\n"
    "\n"
    "\n"
    "Possible actions are:\n"
    "\n"
    "    --file=<strValue>                     <strValue> - full backup file name.\n"
    "    --help                                display this help\n"
    "    --check=<strValue>                    check the backup <strValue> without writing an "
    "archive\n"
    "    --verbose                             list where every converted rule comes from\n"
    "    --version                             output version information and exit\n"
    "\n"
    "Examples:\n"
    "\n"
    "Converting:\n"
    "    mervex --file=/tmp/test.tar.gz\n"
    "\n"
    "Checking:\n"
    "    mervex --check=/tmp/test.tar.gz\n"
    "\n"
    "Show help:\n"
    "    mervex --help\n";

const std::string completed =
    e2e::fixtureSummary() + "Output archive: ./<ID>.tar.gz\nConversion completed!\n";
const std::string failed = "Error unpack archive!\nConversion failed!\n";
const std::string checkPassed = e2e::fixtureSummary() + "Check passed!\n";
const std::string checkFailed = "Error unpack archive!\nCheck failed!\n";
const std::string verboseCompleted = e2e::fixtureSummary() +
                                     "Rule 1: system rule 1, order 1, direction in.\n"
                                     "Rule 2: network flow rule 2, order 1, direction out.\n"
                                     "Output archive: ./<ID>.tar.gz\nConversion completed!\n";
// The version of the build, the same the package and the manual page carry.
const std::string versionText = "mervex " MERVEX_VERSION "\n"
                                "Copyright (C) 2026 The mervex authors.\n"
                                "License MIT: <https://opensource.org/licenses/MIT>.\n"
                                "This is free software: you are free to change and "
                                "redistribute it.\n"
                                "There is NO WARRANTY, to the extent permitted by law.\n";

// Output archives are named by random identifiers; they are replaced by
// <ID> so that whole outputs can be compared.
std::string withoutIdentifiers(const std::string& out) {
    static const std::regex id("(Output archive: .*/)[0-9A-Za-z]{8}\\.tar\\.gz");
    return std::regex_replace(out, id, "$1<ID>.tar.gz");
}

using e2e::networkFlowRules;
using e2e::systemRules;

TEST(CommandLine, HelpPrintsTheWholeHelpText) {
    e2e::Scratch scratch;
    const e2e::RunResult run = e2e::runMervex(scratch, {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, helpText);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.opt.empty()) << "--help alone must not touch /opt";
}

struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;      // standard output, identifiers replaced by <ID>
    bool diagnostic;      // the C library complains on standard error
    int status;           // exit status
    size_t archives;      // output archives made
    std::string firstDir; // directory of the first output archive, when one is made
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
    *os << c.name;
}

// good.tar.gz, a/good.tar.gz and b/good.tar.gz are valid backups; bad.tar.gz
// is not an archive at all.
const CommandLineCase commandLineCases[] = {
    {"NoArguments", {}, "", false, 0, 0, ""},
    {"HelpAbbreviated", {"--he"}, helpText, false, 0, 0, ""},
    {"HelpStopsBeforeLaterFile", {"--help", "--file", "good.tar.gz"}, helpText, false, 0, 0, ""},
    {"FileBeforeHelpConvertsFirst",
     {"--file", "good.tar.gz", "--help"},
     completed + helpText,
     false,
     0,
     1,
     "."},
    {"FailedFileBeforeHelp",
     {"--file", "bad.tar.gz", "--help"},
     failed + helpText,
     false,
     2,
     0,
     ""},
    {"FileTwoWords", {"--file", "good.tar.gz"}, completed, false, 0, 1, "."},
    {"FileAbbreviated", {"--fil", "good.tar.gz"}, completed, false, 0, 1, "."},
    {"FileOneWord", {"--file=good.tar.gz"}, completed, false, 0, 1, "."},
    {"TwoFilesInCommandLineOrder",
     {"--file", "b/good.tar.gz", "--file=a/good.tar.gz"},
     e2e::fixtureSummary() + "Output archive: b/<ID>.tar.gz\nConversion completed!\n" +
         e2e::fixtureSummary() + "Output archive: a/<ID>.tar.gz\nConversion completed!\n",
     false,
     0,
     2,
     "b"},
    {"FailedConversionDoesNotStopTheNext",
     {"--file", "bad.tar.gz", "--file", "good.tar.gz"},
     failed + completed,
     false,
     2,
     1,
     "."},
    {"FailureAfterCompletionStillFails",
     {"--file", "good.tar.gz", "--file", "bad.tar.gz"},
     completed + failed,
     false,
     2,
     1,
     "."},
    {"StrayWordAfterTheConversion",
     {"extra", "--file", "good.tar.gz"},
     completed + "mervex: illegal parameter \"extra\"\n",
     false,
     1,
     1,
     "."},
    {"DoubleDashEndsOptionsAndFirstWordIsNamed",
     {"--file", "good.tar.gz", "--", "x", "y"},
     completed + "mervex: illegal parameter \"x\"\n",
     false,
     1,
     1,
     "."},
    {"FileAfterDoubleDashIsAWord",
     {"--", "--file", "good.tar.gz"},
     "mervex: illegal parameter \"--file\"\n",
     false,
     1,
     0,
     ""},
    {"SingleDashOptionLeavesItsArgumentOver",
     {"-f", "good.tar.gz"},
     "mervex: illegal parameter \"good.tar.gz\"\n",
     true,
     1,
     0,
     ""},
    {"FileWithoutArgument", {"--file"}, "", true, 1, 0, ""},
    {"HelpWithArgument", {"--help=x"}, "", true, 1, 0, ""},
    {"UnknownOptionWithCompletedConversion",
     {"--bogus", "--file", "good.tar.gz"},
     completed,
     true,
     1,
     1,
     "."},
    {"UnknownOptionWithFailedConversion",
     {"--bogus", "--file", "bad.tar.gz"},
     failed,
     true,
     2,
     0,
     ""},
    // --version follows the rules of --help.
    {"VersionAlone", {"--version"}, versionText, false, 0, 0, ""},
    {"VersionAbbreviated", {"--vers"}, versionText, false, 0, 0, ""},
    {"VersionStopsBeforeLaterFile",
     {"--version", "--file", "good.tar.gz"},
     versionText,
     false,
     0,
     0,
     ""},
    {"FileBeforeVersionConvertsFirst",
     {"--file=good.tar.gz", "--version"},
     completed + versionText,
     false,
     0,
     1,
     "."},
    {"UnknownOptionBeforeVersion", {"--bogus", "--version"}, versionText, true, 1, 0, ""},
    // "--ver" could be --verbose or --version.
    {"AmbiguousAbbreviation", {"--ver", "--file", "good.tar.gz"}, completed, true, 1, 1, "."},
    // --verbose applies to every conversion, wherever it stands.
    {"VerboseAfterTheFile",
     {"--file", "good.tar.gz", "--verbose"},
     verboseCompleted,
     false,
     0,
     1,
     "."},
    {"VerboseAbbreviatedBeforeTwoFiles",
     {"--verb", "--file", "good.tar.gz", "--file=good.tar.gz"},
     verboseCompleted + verboseCompleted,
     false,
     0,
     2,
     "."},
    // A check makes no archive and counts for the status like a conversion;
    // checks and conversions run in command-line order.
    {"CheckTwoWords", {"--check", "good.tar.gz"}, checkPassed, false, 0, 0, ""},
    {"CheckOneWordAbbreviated", {"--che=good.tar.gz"}, checkPassed, false, 0, 0, ""},
    {"CheckWithoutArgument", {"--check"}, "", true, 1, 0, ""},
    {"CheckThenFile",
     {"--check", "good.tar.gz", "--file", "good.tar.gz"},
     checkPassed + completed,
     false,
     0,
     1,
     "."},
    {"FileThenFailedCheck",
     {"--file", "good.tar.gz", "--check", "bad.tar.gz"},
     completed + checkFailed,
     false,
     2,
     1,
     "."},
    {"FailedCheckThenFile",
     {"--check=bad.tar.gz", "--file", "good.tar.gz"},
     checkFailed + completed,
     false,
     2,
     1,
     "."},
    {"StrayWordWithFailedConversion",
     {"--file=bad.tar.gz", "extra"},
     failed + "mervex: illegal parameter \"extra\"\n",
     false,
     2,
     0,
     ""},
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, OutputStatusAndArchives) {
    const CommandLineCase& c = GetParam();
    e2e::Scratch scratch;
    for (const char* name : {"good.tar.gz", "a/good.tar.gz", "b/good.tar.gz"}) {
        scratch.legacyBackup(name, systemRules, networkFlowRules);
    }
    scratch.write("bad.tar.gz", "this is not an archive\n");

    const e2e::RunResult run = e2e::runMervex(scratch, c.args);
    EXPECT_EQ(withoutIdentifiers(run.out), c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(!run.err.empty(), c.diagnostic) << "standard error: " << run.err;
    EXPECT_FALSE(e2e::workRootLeft(run));

    size_t archives = 0;
    for (const char* dir : {".", "a", "b"}) {
        archives += scratch.archivesIn(scratch.file(dir), {"good.tar.gz", "bad.tar.gz"}).size();
    }
    EXPECT_EQ(archives, c.archives);
    if (!c.firstDir.empty()) {
        const std::string archive = e2e::outputArchive(run.out);
        ASSERT_EQ(archive.substr(0, c.firstDir.size() + 1), c.firstDir + "/");
        // The archive named on the line is the one on disk and holds the
        // converted rules of its backup.
        EXPECT_NE(e2e::archiveFile(scratch.file(archive), e2e::unifiedRulesMember)
                      .find("message            Ping\n"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTest, ::testing::ValuesIn(commandLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
