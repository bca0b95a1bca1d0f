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
    {"BothSound", Legacy::Sound, Legacy::Sound, true, {}},
    {"SystemMissing", Legacy::Missing, Legacy::Sound, true, {"sys"}},
    {"NetworkFlowMissing", Legacy::Sound, Legacy::Missing, true, {"flow"}},
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

// A new rule file that cannot be written fails the conversion.
TEST(ConvertRuleFiles, FailedWriteFails) {
    TempDir temp("mervex-core");
    ASSERT_TRUE(temp.write("cfgSystemRule", systemRules));
    testing::internal::CaptureStdout();
    const bool converted =
        convertRuleFiles(temp.file("cfgSystemRule"), temp.file("cfgNetworkFlowRule"),
                         temp.file("missing/cfgRule"), temp.file("cfg.rules"), temp.path());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(converted);
    EXPECT_EQ(out, openFailure(temp.file("cfgNetworkFlowRule")) +
                       "Can't open file to write configuration: " + temp.file("missing/cfgRule") +
                       "\n");
}

} // namespace
