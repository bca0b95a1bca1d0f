// The unified rule file writer: aligned key/value blocks, one per rule, in a
// file that is appended to.

#include "convertationToNew.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class UnifiedRuleFileWriter : public ::testing::Test {
  protected:
    std::string contents() const { return TempDir::read(path_); }

    // Runs the writer on the temporary file, keeping what it prints.
    bool write(const std::vector<RuleInfo>& rules, const std::string& path) {
        ::testing::internal::CaptureStdout();
        const bool result = writeToFileRules(rules, path);
        printed_ = ::testing::internal::GetCapturedStdout();
        return result;
    }
    bool write(const std::vector<RuleInfo>& rules) { return write(rules, path_); }

    TempDir temp_{"mervex-unified"};
    const fs::path dir_{temp_.path()};
    const std::string path_ = temp_.file("cfgRule");
    std::string printed_;
};

// An enabled ICMP echo rule with every other string empty.
RuleInfo pingRule(uint64_t order, uint64_t id) {
    RuleInfo rule;
    rule.order = order;
    rule.id = id;
    rule.message = "Ping";
    rule.action = "allow";
    rule.protocol = "icmp";
    rule.icmpType = 8;
    rule.icmpCode = -1;
    rule.direction = "in";
    rule.audit = true;
    rule.alarm = false;
    rule.substr = false;
    rule.nocase = false;
    rule.enable = true;
    return rule;
}

// The values of a block that the tests vary; every other string is empty and
// every other flag false.
struct Block {
    std::string order;
    std::string message;
    std::string action;
    std::string protocol;
    std::string icmpLines; // the icmp_type and icmp_code lines, or nothing
    std::string direction;
    std::string audit;
    std::string id;
};

// The block of a rule in the unified rule file, written out by hand: each key
// in a column of 19 characters, the lines in their fixed order, an empty line
// after it.
std::string block(const Block& b) {
    return "order              " + b.order + "\n" +   //
           "message            " + b.message + "\n" + //
           "action             " + b.action + "\n" +  //
           "protocol           " + b.protocol + "\n" +
           "subjects           \n"
           "objects            \n" +
           b.icmpLines +
           "local_addrs        \n"
           "local_ports        \n"
           "remote_addrs       \n"
           "remote_ports       \n"
           "adapters           \n"
           "exefile            \n"
           "substr             false\n"
           "content            \n"
           "wildcard           \n"
           "regexp             \n"
           "direction          " +
           b.direction +
           "\n"
           "nocase             false\n"
           "schedule           \n"
           "enable             true\n"
           "audit              " +
           b.audit +
           "\n"
           "alarm              false\n"
           "id                 " +
           b.id + "\n\n";
}

std::string pingBlock(uint64_t order, uint64_t id) {
    return block({std::to_string(order), "Ping", "allow", "icmp",
                  "icmp_type          8\nicmp_code          \n", "in", "true", std::to_string(id)});
}

// A rule whose ICMP fields are set, to see whether the block shows them.
RuleInfo probeRule(std::string_view protocol, int32_t icmpType, int32_t icmpCode) {
    RuleInfo rule;
    rule.order = 2;
    rule.id = 7;
    rule.message = "probe";
    rule.action = "drop";
    rule.protocol = protocol;
    rule.icmpType = icmpType;
    rule.icmpCode = icmpCode;
    rule.direction = "out";
    rule.audit = false;
    rule.enable = true;
    return rule;
}

std::string probeBlock(const std::string& protocol, const std::string& icmpLines) {
    return block({"2", "probe", "drop", protocol, icmpLines, "out", "false", "7"});
}

TEST_F(UnifiedRuleFileWriter, WritesIcmpRuleAsTwentyFiveLinesAndAnEmptyLine) {
    EXPECT_TRUE(write({pingRule(1, 1)}));
    const std::string written = contents();
    EXPECT_EQ(written, pingBlock(1, 1));
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 26);
    EXPECT_EQ(printed_, "");
}

TEST_F(UnifiedRuleFileWriter, WritesEveryFieldVerbatimInBlockOrder) {
    RuleInfo rule;
    rule.id = 18446744073709551615ULL;
    rule.order = 4294967296ULL;
    rule.icmpType = 3;
    rule.icmpCode = 4;
    rule.subjects = "users:alice, bob";
    rule.objects = "shares: docs";
    rule.message = " say \"hi\"; now ";
    rule.action = "reject";
    rule.protocol = "udp";
    rule.localAddrs = "10.0.0.1,,10.0.0.2";
    rule.localPorts = "1024-2048";
    rule.remoteAddrs = "192.168.0.0/16";
    rule.remotePorts = "53,";
    rule.adapters = "eth0,eth1";
    rule.exefile = "C:\\Program Files\\app.exe";
    rule.schedule = "Mon-Fri 9-17";
    rule.content = "GET /";
    rule.direction = "INOUT";
    rule.wildcard = "*.exe";
    rule.regexp = "^a.*b$";
    rule.audit = false;
    rule.alarm = true;
    rule.enable = false;
    rule.substr = true;
    rule.nocase = true;

    EXPECT_TRUE(write({rule}));
    EXPECT_EQ(contents(), "order              4294967296\n"
                          "message             say \"hi\"; now \n"
                          "action             reject\n"
                          "protocol           udp\n"
                          "subjects           users:alice, bob\n"
                          "objects            shares: docs\n"
                          "local_addrs        10.0.0.1,,10.0.0.2\n"
                          "local_ports        1024-2048\n"
                          "remote_addrs       192.168.0.0/16\n"
                          "remote_ports       53,\n"
                          "adapters           eth0,eth1\n"
                          "exefile            C:\\Program Files\\app.exe\n"
                          "substr             true\n"
                          "content            GET /\n"
                          "wildcard           *.exe\n"
                          "regexp             ^a.*b$\n"
                          "direction          INOUT\n"
                          "nocase             true\n"
                          "schedule           Mon-Fri 9-17\n"
                          "enable             false\n"
                          "audit              false\n"
                          "alarm              true\n"
                          "id                 18446744073709551615\n"
                          "\n");
}

TEST_F(UnifiedRuleFileWriter, WritesIcmpLinesOnlyForIcmpProtocols) {
    struct Case {
        std::string protocol;
        bool icmp;
    };
    const std::vector<Case> cases = {
        {"icmp", true},
        {"1", true},
        {"01", true},
        {"001", true},
        {"0000000000000000000000000001", true},
        {"ICMP", false},
        {"Icmp", false},
        {" icmp", false},
        {"icmp ", false},
        {"17", false},
        {"0", false},
        {"10", false},
        {"11", false},
        {"-1", false},
        {"+1", false},
        {"1 ", false},
        {"any", false},
        {"tcp", false},
        {"", false},
        // Numbers beyond the int range are not ICMP, even those that would
        // wrap around to 1 in a narrower type.
        {"2147483648", false},
        {"4294967297", false},
        {"18446744073709551617", false},
        {"99999999999999999999999999999999999999", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("protocol '" + c.protocol + "'");
        fs::remove(path_);
        bool result = false;
        EXPECT_NO_THROW(result = write({probeRule(c.protocol, 8, 0)}));
        EXPECT_TRUE(result);
        const std::string icmpLines = c.icmp ? "icmp_type          8\n"
                                               "icmp_code          0\n"
                                             : "";
        EXPECT_EQ(contents(), probeBlock(c.protocol, icmpLines));
    }
}

TEST_F(UnifiedRuleFileWriter, WritesIcmpValuesAsSignedNumbersAndMinusOneAsEmpty) {
    struct Case {
        int32_t icmpType;
        int32_t icmpCode;
        std::string icmpLines;
    };
    const std::vector<Case> cases = {
        {-1, -1, "icmp_type          \nicmp_code          \n"},
        {0, 0, "icmp_type          0\nicmp_code          0\n"},
        {-3, -1, "icmp_type          -3\nicmp_code          \n"},
        {-1, -3, "icmp_type          \nicmp_code          -3\n"},
        {255, -2, "icmp_type          255\nicmp_code          -2\n"},
        {-2147483647 - 1, 2147483647,
         "icmp_type          -2147483648\nicmp_code          2147483647\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("icmp type " + std::to_string(c.icmpType) + " code " +
                     std::to_string(c.icmpCode));
        fs::remove(path_);
        EXPECT_TRUE(write({probeRule("icmp", c.icmpType, c.icmpCode)}));
        EXPECT_EQ(contents(), probeBlock("icmp", c.icmpLines));
    }
}

TEST_F(UnifiedRuleFileWriter, AppendsBlocksAfterExistingContent) {
    {
        std::ofstream out(path_, std::ios::binary);
        out << "left by an earlier run\n";
    }
    EXPECT_TRUE(write({pingRule(1, 1), probeRule("udp", 8, 0)}));
    EXPECT_TRUE(write({pingRule(3, 9)}));
    EXPECT_EQ(contents(), "left by an earlier run\n" + pingBlock(1, 1) + probeBlock("udp", "") +
                              pingBlock(3, 9));
    EXPECT_EQ(printed_, "");
}

TEST_F(UnifiedRuleFileWriter, KeepsEveryBlockOfALongList) {
    // Several megabytes, far more than any single write of the file.
    std::vector<RuleInfo> rules;
    std::string expected;
    for (uint64_t i = 1; i <= 10000; ++i) {
        rules.push_back(pingRule(i, 20000 - i));
        expected += pingBlock(i, 20000 - i);
    }
    EXPECT_TRUE(write(rules));
    EXPECT_EQ(contents(), expected);
}

TEST_F(UnifiedRuleFileWriter, CreatesEmptyFileForEmptyList) {
    EXPECT_TRUE(write({}));
    ASSERT_TRUE(fs::is_regular_file(path_));
    EXPECT_EQ(fs::file_size(path_), 0u);
    EXPECT_EQ(printed_, "");
}

TEST_F(UnifiedRuleFileWriter, ReportsFileThatCannotBeOpened) {
    const std::string path = (dir_ / "missing" / "cfgRule").string();
    EXPECT_FALSE(write({pingRule(1, 1)}, path));
    EXPECT_EQ(printed_, "Can't open file to write configuration: " + path + "\n");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(UnifiedRuleFileWriter, ReportsFullDisk) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "needs a writable /dev/full";
    }
    for (const size_t count : {1u, 10000u}) {
        SCOPED_TRACE(std::to_string(count) + " rules");
        EXPECT_FALSE(write(std::vector<RuleInfo>(count, pingRule(1, 1)), "/dev/full"));
        EXPECT_EQ(printed_, "Can't write file '/dev/full'!\n");
    }
}

} // namespace
