// The conversion of two legacy rule files into the two new rule files, as the
// driver, the fuzzer and the benchmark run it: which legacy files may be
// missing, which failures fail it, and what it writes.
#include "main.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const std::string systemRules = "id 1\norder 1\nmessage Ping\naccess allow\nproto icmp\n"
                                "icmp_type 8\nicmp_send false\n\n";
const std::string networkFlowRules = "id 2\norder 1\nmessage Web\naccess allow\nproto tcp\n"
                                     "remote_ports 80\ndirection out\n\n";

// How one legacy file stands in the tree.
enum class Legacy { Sound, Missing, Fifo, DanglingLink, Directory, BadValue, Unwritable };

struct CoreCase {
    const char* name;
    Legacy system;
    Legacy flow;
    bool converted;
    std::vector<std::string> messages; // of the rule files, by path key: sys, flow
};

class ConvertRuleFilesTest : public testing::TestWithParam<CoreCase> {
  protected:
    void place(const std::string& path, Legacy how, const std::string& sound) {
        switch (how) {
        case Legacy::Sound:
            TempDir::writeFile(path, sound);
            break;
        case Legacy::Missing:
            break;
        case Legacy::Fifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            break;
        case Legacy::DanglingLink:
            fs::create_symlink("nowhere", path);
            break;
        case Legacy::Directory:
            fs::create_directory(path);
            break;
        case Legacy::BadValue:
            TempDir::writeFile(path, "id x\n\n");
            break;
        case Legacy::Unwritable:
            TempDir::writeFile(path, sound + "id 9\naccess Allow\nproto tcp\ndirection in\n\n");
            break;
        }
    }

    TempDir temp_{"mervex-core"};
    const std::string root_ = temp_.file("old");
    const std::string rules_ = root_ + "/rules";
    const std::string systemPath_ = rules_ + "/cfgSystemRule";
    const std::string flowPath_ = rules_ + "/cfgNetworkFlowRule";
    const std::string unifiedPath_ = temp_.file("cfgRule");
    const std::string suricataPath_ = temp_.file("cfg.rules");
};

const std::string badId = "Invalid value 'x' of 'id' in line 1 of file '";

std::string openFailure(const std::string& path) {
    return "Can't open file '" + path + "' to read configuration!\n";
}

TEST_P(ConvertRuleFilesTest, PolicyOfMissingAndRefusedFiles) {
    const CoreCase& c = GetParam();
    fs::create_directories(rules_);
    place(systemPath_, c.system, systemRules);
    place(flowPath_, c.flow, networkFlowRules);

    testing::internal::CaptureStdout();
    const bool converted =
        convertRuleFiles(systemPath_, flowPath_, unifiedPath_, suricataPath_, root_);
    const std::string out = testing::internal::GetCapturedStdout();

    std::string expected;
    for (const std::string& message : c.messages) {
        expected += message == "sys"    ? openFailure(systemPath_)
                    : message == "flow" ? openFailure(flowPath_)
                                        : message + "\n";
    }
    if (c.flow == Legacy::BadValue) {
        expected += badId + flowPath_ + "'!\n";
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(converted, c.converted);
    // Nothing is written unless every rule can be.
    EXPECT_EQ(fs::exists(unifiedPath_), c.converted) << out;
    EXPECT_EQ(fs::exists(suricataPath_), c.converted) << out;
    if (c.converted) {
        const std::string rules = TempDir::read(suricataPath_);
        const bool hasSystem = c.system == Legacy::Sound;
        const bool hasFlow = c.flow == Legacy::Sound;
        EXPECT_EQ(rules.find("msg:\"Ping\"") != std::string::npos, hasSystem) << rules;
        EXPECT_EQ(rules.find("msg:\"Web\"") != std::string::npos, hasFlow) << rules;
    }
}

const CoreCase coreCases[] = {
    {"BothSound",
     Legacy::Sound,
     Legacy::Sound,
     true,
     {"Read 1 system rules and 1 network flow rules.",
      "Converted 2 rules: 1 in, 0 inout, 1 out; 0 of them disabled."}},
    {"SystemMissing",
     Legacy::Missing,
     Legacy::Sound,
     true,
     {"sys", "Read 0 system rules and 1 network flow rules.",
      "Converted 1 rules: 0 in, 0 inout, 1 out; 0 of them disabled."}},
    {"NetworkFlowMissing",
     Legacy::Sound,
     Legacy::Missing,
     true,
     {"flow", "Read 1 system rules and 0 network flow rules.",
      "Converted 1 rules: 1 in, 0 inout, 0 out; 0 of them disabled."}},
    {"BothMissing", Legacy::Missing, Legacy::Missing, false, {"sys", "flow"}},
    {"SystemFifoIsRefusedNotMissing", Legacy::Fifo, Legacy::Sound, false, {"sys"}},
    {"DanglingLinkIsRefused", Legacy::Sound, Legacy::DanglingLink, false, {"flow"}},
    {"DirectoryIsRefused", Legacy::Directory, Legacy::Sound, false, {"sys"}},
    {"RefusedAndMissing", Legacy::Fifo, Legacy::Missing, false, {"sys", "flow"}},
    {"RejectedValue", Legacy::Sound, Legacy::BadValue, false, {}},
    {"RuleThatCannotBeWritten",
     Legacy::Sound,
     Legacy::Unwritable,
     false,
     {"Value 'Allow' of 'access' of network flow rule 9 can't be written as a rule!"}},
};

void PrintTo(const CoreCase& c, std::ostream* out) {
    *out << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, ConvertRuleFilesTest, testing::ValuesIn(coreCases),
                         [](const testing::TestParamInfo<CoreCase>& info) {
                             return std::string(info.param.name);
                         });

// Both legacy files are read at the same time, but their messages come in
// the order of the files all the same: the system file's first, even when
// reading it takes long and the network flow file fails at once.
TEST(ConvertRuleFiles, MessagesComeInTheOrderOfTheFiles) {
    TempDir temp("mervex-core");
    std::string slow;
    constexpr int blocks = 50000; // some megabytes, read long after the other file failed
    for (int i = 0; i < blocks; ++i) {
        slow += systemRules;
    }
    ASSERT_TRUE(temp.write("cfgSystemRule", slow + "id x\n\n"));
    testing::internal::CaptureStdout();
    const bool converted =
        convertRuleFiles(temp.file("cfgSystemRule"), temp.file("cfgNetworkFlowRule"),
                         temp.file("cfgRule"), temp.file("cfg.rules"), temp.path());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(converted);
    EXPECT_EQ(out, "Invalid value 'x' of 'id' in line " + std::to_string(8 * blocks + 1) +
                       " of file '" + temp.file("cfgSystemRule") + "'!\n" +
                       openFailure(temp.file("cfgNetworkFlowRule")));
}

// A new rule file that cannot be written fails the conversion, with the
// message of the first file that fails in the order cfgRule, cfg.rules.
struct WriteCase {
    const char* name;
    bool unifiedFails;
    bool suricataFails;
};

class FailedWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(FailedWriteTest, FailsWithTheFirstFailure) {
    const WriteCase& c = GetParam();
    TempDir temp("mervex-core");
    ASSERT_TRUE(temp.write("cfgSystemRule", systemRules));
    const std::string unifiedPath = temp.file(c.unifiedFails ? "missing/cfgRule" : "cfgRule");
    const std::string suricataPath = temp.file(c.suricataFails ? "missing/cfg.rules" : "cfg.rules");
    testing::internal::CaptureStdout();
    const bool converted =
        convertRuleFiles(temp.file("cfgSystemRule"), temp.file("cfgNetworkFlowRule"), unifiedPath,
                         suricataPath, temp.path());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(converted);
    const std::string failure =
        c.unifiedFails ? "Can't open file to write configuration: " + unifiedPath
                       : "Can't open Suricata file to write configuration: " + suricataPath;
    // The report stands before the failure that follows it.
    EXPECT_EQ(out, openFailure(temp.file("cfgNetworkFlowRule")) +
                       "Read 1 system rules and 0 network flow rules.\n"
                       "Converted 1 rules: 1 in, 0 inout, 0 out; 0 of them disabled.\n" +
                       failure + "\n");
}

const WriteCase writeCases[] = {
    {"Unified", true, false},
    {"Suricata", false, true},
    {"BothReportTheUnifiedFileOnly", true, true},
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedWriteTest, testing::ValuesIn(writeCases),
                         [](const testing::TestParamInfo<WriteCase>& info) {
                             return std::string(info.param.name);
                         });

// The report counts what was read and converted, and names each system rule
// for no traffic in file order, with or without the verbose origin lines.
TEST(ConvertRuleFiles, ReportNamesLeftOutRulesAndCountsDisabledOnes) {
    const std::string systemFile = "id 5\norder 1\naccess allow\nproto icmp\nicmp_send false\n"
                                   "icmp_receive false\n\n"
                                   "id 4\norder 3\nenable false\naccess allow\nproto tcp\n\n"
                                   "id 3\norder 2\naccess allow\nproto udp\nicmp_send false\n"
                                   "icmp_receive false\n\n";
    const std::string flowFile = "id 7\norder 2\nenable false\naccess drop\nproto tcp\n\n"
                                 "id 8\norder 1\naccess drop\nproto udp\ndirection in\n\n";
    const std::string report = "Read 3 system rules and 2 network flow rules.\n"
                               "System rule 5 is left out: it applies to no traffic.\n"
                               "System rule 3 is left out: it applies to no traffic.\n"
                               "Converted 3 rules: 1 in, 2 inout, 0 out; 2 of them disabled.\n";
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "quiet");
        TempDir temp("mervex-core");
        ASSERT_TRUE(temp.write("cfgSystemRule", systemFile));
        ASSERT_TRUE(temp.write("cfgNetworkFlowRule", flowFile));
        testing::internal::CaptureStdout();
        const bool converted =
            convertRuleFiles(temp.file("cfgSystemRule"), temp.file("cfgNetworkFlowRule"),
                             temp.file("cfgRule"), temp.file("cfg.rules"), temp.path(), verbose);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(converted) << out;
        EXPECT_EQ(out,
                  report + (verbose ? "Rule 1: network flow rule 8, order 1, direction in.\n"
                                      "Rule 2: network flow rule 7, order 2, direction inout.\n"
                                      "Rule 3: system rule 4, order 3, direction inout.\n"
                                    : ""));
    }
}

// With neither legacy file there, a unified rule file beside them is named:
// the backup seems to be converted already. Without it, nothing is added.
TEST(ConvertRuleFiles, ConvertedBackupIsNamedWhenNoLegacyFileIsThere) {
    for (const bool unifiedThere : {false, true}) {
        SCOPED_TRACE(unifiedThere ? "cfgRule there" : "no cfgRule");
        TempDir temp("mervex-core");
        if (unifiedThere) {
            ASSERT_TRUE(temp.write("cfgRule", "order 1\n"));
        }
        testing::internal::CaptureStdout();
        const bool converted =
            convertRuleFiles(temp.file("cfgSystemRule"), temp.file("cfgNetworkFlowRule"),
                             temp.file("new/cfgRule"), temp.file("new/cfg.rules"), temp.path());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(converted);
        EXPECT_EQ(out, openFailure(temp.file("cfgSystemRule")) +
                           openFailure(temp.file("cfgNetworkFlowRule")) +
                           (unifiedThere ? "The backup holds a rule file of format 1.1: '" +
                                               temp.file("cfgRule") +
                                               "'; it seems to be converted already.\n"
                                         : ""));
    }
}

} // namespace
