// Readers of the legacy system rule and network flow rule files, run on small
// files written to a private temporary directory.
#include "main.h"
#include "record_text.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// The values every block of a system rule file starts from, set here field
// by field rather than taken from the record's own initialisers.
SystemRuleInfo systemStart() {
    SystemRuleInfo r;
    r.id = 0;
    r.order = 0;
    r.audit = false;
    r.enable = true;
    r.message = r.access = r.proto = "";
    r.icmpType = -1;
    r.icmpCode = -1;
    r.icmpSend = true;
    r.icmpReceive = true;
    r.localAddrs = r.remoteAddrs = r.adapters = r.exefile = "";
    r.substr = false;
    r.schedule = r.content = "";
    r.nocase = false;
    r.isDefault = false;
    return r;
}

NetworkFlowRuleInfo flowStart() {
    NetworkFlowRuleInfo r;
    r.id = 0;
    r.order = 0;
    r.audit = false;
    r.enable = true;
    r.message = r.access = r.proto = "";
    r.localAddrs = r.localPorts = r.remoteAddrs = r.remotePorts = "";
    r.direction = "inout";
    r.schedule = r.exefile = "";
    r.substr = false;
    r.content = r.wildcard = r.regexp = "";
    r.nocase = false;
    r.isDefault = false;
    return r;
}

// A system rule with the starting values changed by the given function.
template <typename Change> SystemRuleInfo sys(Change change) {
    SystemRuleInfo r = systemStart();
    change(r);
    return r;
}

template <typename Change> NetworkFlowRuleInfo flow(Change change) {
    NetworkFlowRuleInfo r = flowStart();
    change(r);
    return r;
}

SystemRuleInfo sysId(uint64_t id) {
    return sys([id](SystemRuleInfo& r) { r.id = id; });
}

NetworkFlowRuleInfo flowId(uint64_t id) {
    return flow([id](NetworkFlowRuleInfo& r) { r.id = id; });
}

std::string toCrLf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

// What one call of a reader returned and printed.
struct ReadResult {
    bool result = false;
    bool missing = false;
    std::string output;
};

// The missing flag starts at missingBefore, so that a reader that never sets
// it is noticed: pass the opposite of the expected value.
ReadResult readSystem(const std::string& path, std::vector<SystemRuleInfo>& rules, RuleText& text,
                      bool missingBefore = true) {
    ReadResult r;
    r.missing = missingBefore;
    testing::internal::CaptureStdout();
    r.result = readFileSystemRules(rules, text, &r.missing, path);
    r.output = testing::internal::GetCapturedStdout();
    return r;
}

ReadResult readFlow(const std::string& path, std::vector<NetworkFlowRuleInfo>& rules,
                    RuleText& text, bool missingBefore = true) {
    ReadResult r;
    r.missing = missingBefore;
    testing::internal::CaptureStdout();
    r.result = readFileNetworkFlowRules(rules, text, &r.missing, path);
    r.output = testing::internal::GetCapturedStdout();
    return r;
}

class LegacyReaderTest : public ::testing::Test {
  protected:
    // Writes a file in the temporary directory and returns its full path.
    std::string write(const std::string& name, const std::string& content) {
        const std::string path = temp_.file(name);
        EXPECT_TRUE(temp_.write(name, content)) << path;
        return path;
    }

    TempDir temp_{"mervex-readers"};
    const std::string dir_ = temp_.path();
    RuleText text_; // what the rules read by a test view
};

const char* const systemWorkedExample = "id 7\n"
                                        "order 2\n"
                                        "message Web access\n"
                                        "access allow\n"
                                        "proto tcp\n"
                                        "icmp_send true\n"
                                        "icmp_receive false\n"
                                        "\n"
                                        "id 8\n"
                                        "order 1\n"
                                        "\n"
                                        "id 9\n";

TEST_F(LegacyReaderTest, SystemWorkedExampleStartsEveryBlockFreshAndStoresTheLastOne) {
    const std::string path = write("cfgSystemRule", systemWorkedExample);
    std::vector<SystemRuleInfo> rules = {sysId(99)};
    const ReadResult r = readSystem(path, rules, text_);
    EXPECT_TRUE(r.result);
    EXPECT_FALSE(r.missing);
    EXPECT_EQ(r.output, "");
    const std::vector<SystemRuleInfo> expected = {
        sys([](SystemRuleInfo& e) {
            e.id = 7;
            e.order = 2;
            e.message = "Web access";
            e.access = "allow";
            e.proto = "tcp";
            e.icmpReceive = false;
        }),
        sys([](SystemRuleInfo& e) {
            e.id = 8;
            e.order = 1;
        }),
        sysId(9),
    };
    EXPECT_EQ(records::texts(rules), records::texts(expected));
}

struct SystemCase {
    const char* name;
    std::string content;
    std::vector<SystemRuleInfo> expected;
};

TEST_F(LegacyReaderTest, SystemFileBlocksKeysAndValues) {
    const std::vector<SystemCase> cases = {
        {"empty file", "", {}},
        {"only empty lines", "\n\n\n", {}},
        {"every key",
         "id 11\norder 3\naudit true\nenable false\nmessage  Allow  web \naccess allow\n"
         "proto udp\nicmp_type 8\nicmp_code 0\nicmp_send false\nicmp_receive true\n"
         "local_addrs 10.0.0.1, 10.0.0.2\nremote_addrs 192.168.0.0/16\nadapters eth0,eth1\n"
         "exefile /usr/bin/app\nsubstr true\nschedule Mon - Fri\ncontent GET /\nnocase true\n"
         "default true\n\n",
         {sys([](SystemRuleInfo& e) {
             e.id = 11;
             e.order = 3;
             e.audit = true;
             e.enable = false;
             e.message = "Allow  web";
             e.access = "allow";
             e.proto = "udp";
             e.icmpType = 8;
             e.icmpCode = 0;
             e.icmpSend = false;
             e.icmpReceive = true;
             e.localAddrs = "10.0.0.1,10.0.0.2";
             e.remoteAddrs = "192.168.0.0/16";
             e.adapters = "eth0,eth1";
             e.exefile = "/usr/bin/app";
             e.substr = true;
             e.schedule = "Mon - Fri";
             e.content = "GET/";
             e.nocase = true;
             e.isDefault = true;
         })}},
        {"last block without line feed", "id 5\nproto tcp", {sys([](SystemRuleInfo& e) {
             e.id = 5;
             e.proto = "tcp";
         })}},
        {"last block without empty line", "id 5\n", {sysId(5)}},
        {"nothing carried into the next block",
         "id 1\nmessage first\nproto tcp\nicmp_send false\nicmp_type 3\naudit true\nenable false\n"
         "\nid 2\n\n",
         {sys([](SystemRuleInfo& e) {
              e.id = 1;
              e.message = "first";
              e.proto = "tcp";
              e.icmpSend = false;
              e.icmpType = 3;
              e.audit = true;
              e.enable = false;
          }),
          sysId(2)}},
        {"empty lines in a row store nothing more",
         "\n\nid 1\n\n\n\nid 2\n\n\n",
         {sysId(1), sysId(2)}},
        {"blocks of unknown keys store nothing",
         "comment x\n#id 5\nID 6\nid\t7\n adapters eth0\nlocal_ports 80\ndirection out\n\nid 1\n\n",
         {sysId(1)}},
        {"a line of spaces does not end a block",
         "id 1\n   \nproto tcp\n\n",
         {sys([](SystemRuleInfo& e) {
             e.id = 1;
             e.proto = "tcp";
         })}},
        {"a line of a carriage return ends a block", "id 1\r\n\r\nid 2\r\n", {sysId(1), sysId(2)}},
        {"only one trailing carriage return is removed",
         "id 1\nproto tcp\r\r\n\n",
         {sys([](SystemRuleInfo& e) {
             e.id = 1;
             e.proto = "tcp\r";
         })}},
        {"icmp numbers: empty and -1 mean none",
         "icmp_type \nicmp_code 8\n\nicmp_type 8\nicmp_type -1\nicmp_code  - 1\n\n"
         "icmp_type 2147483647\nicmp_code 007\n\n",
         {sys([](SystemRuleInfo& e) { e.icmpCode = 8; }), systemStart(), sys([](SystemRuleInfo& e) {
              e.icmpType = INT_MAX;
              e.icmpCode = 7;
          })}},
        {"spaces removed before numbers are read",
         "id   5\norder 1 2\n\n",
         {sys([](SystemRuleInfo& e) {
             e.id = 5;
             e.order = 12;
         })}},
        {"numbers read in part",
         "id 12abc\norder +7\n\nid 18446744073709551615\n\n",
         {sys([](SystemRuleInfo& e) {
              e.id = 12;
              e.order = 7;
          }),
          sysId(ULONG_MAX)}},
        {"a flag is true only for exactly true",
         "enable TRUE\naudit 1\nnocase yes\nsubstr True\ndefault\nicmp_send true \n"
         "icmp_receive\n\nid 2\nenable t rue\n\n",
         {sys([](SystemRuleInfo& e) {
              e.enable = false;
              e.icmpSend = true;
              e.icmpReceive = false;
          }),
          sysId(2)}},
        {"message trimmed, other values lose every space",
         "message   Web  access \t\naccess allow all\nschedule  a b \n\n",
         {sys([](SystemRuleInfo& e) {
             e.message = "Web  access";
             e.access = "allowall";
             e.schedule = "a b";
         })}},
        {"a key given twice: the later line wins",
         "proto tcp\nproto udp\nid 1\nid 2\n\n",
         {sys([](SystemRuleInfo& e) {
             e.proto = "udp";
             e.id = 2;
         })}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write("cfgSystemRule", c.content);
        std::vector<SystemRuleInfo> rules = {sysId(99)};
        const ReadResult r = readSystem(path, rules, text_);
        EXPECT_TRUE(r.result);
        EXPECT_FALSE(r.missing);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(records::texts(rules), records::texts(c.expected));
    }
}

struct FlowCase {
    const char* name;
    std::string content;
    std::vector<NetworkFlowRuleInfo> expected;
};

TEST_F(LegacyReaderTest, NetworkFlowFileBlocksKeysAndValues) {
    const std::vector<FlowCase> cases = {
        {"empty file", "", {}},
        {"every key",
         "id 21\norder 4\naudit true\nenable false\nmessage  Mail  out \naccess deny\n"
         "proto tcp\nlocal_addrs 10.0.0.1, 10.0.0.2\nlocal_ports 80, 443\n"
         "remote_addrs 1.2.3.4\nremote_ports 1024-65535\ndirection out\nschedule Sat 10:00\n"
         "exefile /bin/mail\nsubstr true\ncontent HELO x\nwildcard *.exe\nregexp ^a.*b$\n"
         "nocase true\ndefault true\n\n",
         {flow([](NetworkFlowRuleInfo& e) {
             e.id = 21;
             e.order = 4;
             e.audit = true;
             e.enable = false;
             e.message = "Mail  out";
             e.access = "deny";
             e.proto = "tcp";
             e.localAddrs = "10.0.0.1,10.0.0.2";
             e.localPorts = "80,443";
             e.remoteAddrs = "1.2.3.4";
             e.remotePorts = "1024-65535";
             e.direction = "out";
             e.schedule = "Sat 10:00";
             e.exefile = "/bin/mail";
             e.substr = true;
             e.content = "HELOx";
             e.wildcard = "*.exe";
             e.regexp = "^a.*b$";
             e.nocase = true;
             e.isDefault = true;
         })}},
        {"direction, wildcard and the rest start fresh",
         "id 1\ndirection out\nwildcard x\nmessage m\n\nid 2\n\n",
         {flow([](NetworkFlowRuleInfo& e) {
              e.id = 1;
              e.direction = "out";
              e.wildcard = "x";
              e.message = "m";
          }),
          flowId(2)}},
        {"direction taken as written",
         "direction \n\ndirection IN\n\ndirection in out\n\n",
         {flow([](NetworkFlowRuleInfo& e) { e.direction = ""; }),
          flow([](NetworkFlowRuleInfo& e) { e.direction = "IN"; }),
          flow([](NetworkFlowRuleInfo& e) { e.direction = "inout"; })}},
        {"keys of the system rule file are ignored",
         "icmp_type 8\nicmp_type abc\nicmp_code -5\nicmp_send false\nadapters eth0\n\nid 3\n"
         "icmp_type x\n\n",
         {flowId(3)}},
        {"order with zeros or a plus sign",
         "order 7\n\norder 007\n\norder +7\n\n",
         {flow([](NetworkFlowRuleInfo& e) { e.order = 7; }),
          flow([](NetworkFlowRuleInfo& e) { e.order = 7; }),
          flow([](NetworkFlowRuleInfo& e) { e.order = 7; })}},
        {"empty lines in a row store nothing more", "\nid 1\n\n\n\n", {flowId(1)}},
        {"last block without line feed", "id 4\n\nid 5", {flowId(4), flowId(5)}},
        {"a line of a carriage return ends a block",
         "id 1\r\n\r\nid 2\r\n\r\n",
         {flowId(1), flowId(2)}},
        {"blocks of unknown keys store nothing", "Direction in\nregex x\n\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write("cfgNetworkFlowRule", c.content);
        std::vector<NetworkFlowRuleInfo> rules = {flowId(99)};
        const ReadResult r = readFlow(path, rules, text_);
        EXPECT_TRUE(r.result);
        EXPECT_FALSE(r.missing);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(records::texts(rules), records::texts(c.expected));
    }
}

TEST_F(LegacyReaderTest, CrLfFilesReadLikeTheirLfTwins) {
    const std::string system = std::string(systemWorkedExample) +
                               "\n\nmessage  a b \nicmp_type 3\nicmp_code -1\nenable true\n"
                               "content x y\n\n\ncomment z\n\nid 10\nschedule q";
    std::vector<SystemRuleInfo> lf;
    std::vector<SystemRuleInfo> crlf;
    const ReadResult lfRead = readSystem(write("lf", system), lf, text_);
    const ReadResult crlfRead = readSystem(write("crlf", toCrLf(system)), crlf, text_);
    EXPECT_TRUE(lfRead.result);
    EXPECT_TRUE(crlfRead.result);
    EXPECT_EQ(lf.size(), 5u);
    EXPECT_EQ(records::texts(crlf), records::texts(lf));

    const std::string flows = "id 1\ndirection in\nlocal_ports 80, 443\nmessage hi there \n\n"
                              "id 2\nregexp a b\ndirection out\nenable true\n\n\nid 3\n";
    std::vector<NetworkFlowRuleInfo> flowLf;
    std::vector<NetworkFlowRuleInfo> flowCrLf;
    EXPECT_TRUE(readFlow(write("flf", flows), flowLf, text_).result);
    EXPECT_TRUE(readFlow(write("fcrlf", toCrLf(flows)), flowCrLf, text_).result);
    EXPECT_EQ(flowLf.size(), 3u);
    EXPECT_EQ(records::texts(flowCrLf), records::texts(flowLf));
}

struct RejectCase {
    const char* name;
    std::string content;
    std::vector<uint64_t> storedIds; // ids of the rules stored before the bad line
    std::string value;
    std::string key;
    int line;
};

std::string invalidValueMessage(const RejectCase& c, const std::string& path) {
    return "Invalid value '" + c.value + "' of '" + c.key + "' in line " + std::to_string(c.line) +
           " of file '" + path + "'!\n";
}

TEST_F(LegacyReaderTest, SystemFileRejectedValueStopsReadingWithItsLine) {
    const std::vector<RejectCase> cases = {
        {"id abc in the third block", "id 1\n\nid 2\n\nid abc\n\nid 3\n\n", {1, 2}, "abc", "id", 5},
        {"cleaned value is shown", "\n\ncomment\nid 1\n\norder - 5\n", {1}, "-5", "order", 6},
        {"empty order", "id 1\norder\n", {}, "", "order", 2},
        {"working record dropped",
         "id 1\n\nproto tcp\nicmp_type +8\nid 2\n\n",
         {1},
         "+8",
         "icmp_type",
         4},
        {"icmp_code below -1", "icmp_code -2\n", {}, "-2", "icmp_code", 1},
        {"icmp_type above int range",
         "id 4\nicmp_type 2147483648\n",
         {},
         "2147483648",
         "icmp_type",
         2},
        {"icmp_type with inner text", "icmp_type 8 x\n", {}, "8x", "icmp_type", 1},
        {"id above 64 bits", "id 18446744073709551616\n", {}, "18446744073709551616", "id", 1},
        {"carriage return line ends", "id 1\r\n\r\norder x\r\n", {1}, "x", "order", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write("cfgSystemRule", c.content);
        std::vector<SystemRuleInfo> rules;
        const ReadResult r = readSystem(path, rules, text_);
        EXPECT_FALSE(r.result);
        EXPECT_FALSE(r.missing);
        EXPECT_EQ(r.output, invalidValueMessage(c, path));
        std::vector<SystemRuleInfo> expected;
        for (const uint64_t id : c.storedIds) {
            expected.push_back(sysId(id));
        }
        EXPECT_EQ(records::texts(rules), records::texts(expected));
    }
}

TEST_F(LegacyReaderTest, NetworkFlowFileRejectedValueStopsReadingWithItsLine) {
    const std::vector<RejectCase> cases = {
        {"order x in the second block", "id 1\n\nid 2\norder x\n\nid 3\n\n", {1}, "x", "order", 4},
        {"id -1", "id -1\n", {}, "-1", "id", 1},
        {"empty id", "id 1\n\nid \n", {1}, "", "id", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write("cfgNetworkFlowRule", c.content);
        std::vector<NetworkFlowRuleInfo> rules;
        const ReadResult r = readFlow(path, rules, text_);
        EXPECT_FALSE(r.result);
        EXPECT_FALSE(r.missing);
        EXPECT_EQ(r.output, invalidValueMessage(c, path));
        std::vector<NetworkFlowRuleInfo> expected;
        for (const uint64_t id : c.storedIds) {
            expected.push_back(flowId(id));
        }
        EXPECT_EQ(records::texts(rules), records::texts(expected));
    }
}

std::string openFailureMessage(const std::string& path) {
    return "Can't open file '" + path + "' to read configuration!\n";
}

// Waits for a reader running on its own thread. A reader still blocked after
// ten seconds is a failure; opening the FIFO for writing then releases it.
ReadResult finish(std::future<ReadResult>& read, const std::string& fifoToRelease) {
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the reader blocked";
        if (!fifoToRelease.empty()) {
            const int fd = ::open(fifoToRelease.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    return read.get();
}

// Runs both readers on the path, which must be refused with the open-failure
// message; missing tells whether there is no entry at the path at all.
void expectRefused(const std::string& path, bool missing, const std::string& fifoToRelease = "") {
    const std::string message = openFailureMessage(path);
    RuleText text; // nothing of a refused file is read into it

    std::vector<SystemRuleInfo> systemRules = {sysId(1)};
    auto systemRead = std::async(std::launch::async,
                                 [&] { return readSystem(path, systemRules, text, !missing); });
    const ReadResult s = finish(systemRead, fifoToRelease);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.missing, missing);
    EXPECT_EQ(s.output, message);
    EXPECT_TRUE(systemRules.empty());

    std::vector<NetworkFlowRuleInfo> flowRules = {flowId(1)};
    auto flowRead =
        std::async(std::launch::async, [&] { return readFlow(path, flowRules, text, !missing); });
    const ReadResult f = finish(flowRead, fifoToRelease);
    EXPECT_FALSE(f.result);
    EXPECT_EQ(f.missing, missing);
    EXPECT_EQ(f.output, message);
    EXPECT_TRUE(flowRules.empty());
}

TEST_F(LegacyReaderTest, MissingFileIsReportedWithItsFullPath) {
    {
        SCOPED_TRACE("missing");
        expectRefused(dir_ + "/cfgSystemRule", true);
    }
    {
        SCOPED_TRACE("missing directory");
        expectRefused(dir_ + "/rules/cfgSystemRule", true);
    }
    {
        SCOPED_TRACE("dangling link");
        fs::create_symlink(dir_ + "/nowhere", dir_ + "/dangling");
        // A dangling link is an entry: it is there, but cannot be read.
        expectRefused(dir_ + "/dangling", false);
    }

    // The flag is optional.
    std::vector<SystemRuleInfo> rules;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readFileSystemRules(rules, text_, nullptr, dir_ + "/none"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), openFailureMessage(dir_ + "/none"));
}

TEST_F(LegacyReaderTest, NonRegularFilesAreRefusedButNotMissing) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    {
        SCOPED_TRACE("FIFO");
        expectRefused(fifo, false, fifo);
    }
    {
        SCOPED_TRACE("link to a FIFO");
        fs::create_symlink(fifo, dir_ + "/fifo-link");
        expectRefused(dir_ + "/fifo-link", false, fifo);
    }
    {
        SCOPED_TRACE("directory");
        fs::create_directory(dir_ + "/directory");
        expectRefused(dir_ + "/directory", false);
    }
    {
        SCOPED_TRACE("link to a character device");
        fs::create_symlink("/dev/null", dir_ + "/device-link");
        expectRefused(dir_ + "/device-link", false);
    }
}

// The whole content of a file, read in the plain way.
std::string fileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A regular file may hold more than its size says, as the files of /proc do
// (they all report 0): it is read whole all the same. The argument list of a
// child process, as /proc shows it, is such a file with content of our own.
TEST_F(LegacyReaderTest, FileHoldingMoreThanItsSizeSaysIsReadWhole) {
    const std::string rules =
        "unknown\nid 5\nproto udp\nmessage " + std::string(5000, 'm') + "\n\nid 6\n\n";
    char* const argv[] = {const_cast<char*>(rules.c_str()), const_cast<char*>("30"), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
    const std::unique_ptr<pid_t, void (*)(pid_t*)> reaped(&child, [](pid_t* pid) {
        ::kill(*pid, SIGKILL);
        ::waitpid(*pid, nullptr, 0);
    });
    const std::string path = "/proc/" + std::to_string(child) + "/cmdline";
    // posix_spawn returns once the child execs, which may be before the new
    // program's arguments are in place: wait for them, for a second at most.
    for (int i = 0; i < 100 && fileText(path).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(fileText(path).substr(0, rules.size()), rules);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 0);

    std::vector<SystemRuleInfo> found;
    const ReadResult r = readSystem(path, found, text_);
    EXPECT_TRUE(r.result) << r.output;
    // The argument list ends with NUL bytes, in lines of no known key.
    const std::string message(5000, 'm');
    const std::vector<SystemRuleInfo> expected = {sys([&](SystemRuleInfo& e) {
                                                      e.id = 5;
                                                      e.proto = "udp";
                                                      e.message = message;
                                                  }),
                                                  sysId(6)};
    EXPECT_EQ(records::texts(found), records::texts(expected));
}

TEST_F(LegacyReaderTest, LinkToARegularFileIsReadLikeTheFile) {
    const std::string file = write("rules", "id 3\nproto udp\n\n");
    const std::string link = dir_ + "/link";
    fs::create_symlink(file, link);
    std::vector<SystemRuleInfo> rules;
    const ReadResult r = readSystem(link, rules, text_);
    EXPECT_TRUE(r.result);
    EXPECT_FALSE(r.missing);
    const std::vector<SystemRuleInfo> expected = {sys([](SystemRuleInfo& e) {
        e.id = 3;
        e.proto = "udp";
    })};
    EXPECT_EQ(records::texts(rules), records::texts(expected));
}

// A NUL byte in a value of any key the reader knows is rejected, shown
// escaped: "8", a NUL and junk would otherwise read as 8, and the byte would
// reach both rule files. A NUL in a line of an unknown key is ignored with
// the line.
TEST_F(LegacyReaderTest, NulByteInAnyValueIsRejected) {
    const std::vector<std::string> systemKeys = {
        "id",        "message",   "access",       "proto",       "icmp_type",
        "icmp_code", "icmp_send", "icmp_receive", "local_addrs", "remote_addrs",
        "adapters",  "exefile",   "substr",       "schedule",    "content",
        "nocase",    "order",     "enable",       "audit",       "default"};
    const std::vector<std::string> flowKeys = {
        "id",          "message",      "access",       "proto",   "local_addrs",
        "local_ports", "remote_addrs", "remote_ports", "exefile", "substr",
        "schedule",    "content",      "wildcard",     "regexp",  "nocase",
        "direction",   "order",        "enable",       "audit",   "default"};
    const std::string nul("8\0junk", 6);
    for (const bool system : {true, false}) {
        for (const std::string& key : system ? systemKeys : flowKeys) {
            SCOPED_TRACE(key);
            const std::string path =
                write(system ? "cfgSystemRule" : "cfgNetworkFlowRule",
                      "id 1\nproto tcp\n\nunknown " + nul + "\n" + key + " " + nul + "\n\n");
            std::vector<SystemRuleInfo> systemRules;
            std::vector<NetworkFlowRuleInfo> flowRules;
            const ReadResult r = system ? readSystem(path, systemRules, text_, true)
                                        : readFlow(path, flowRules, text_, true);
            EXPECT_FALSE(r.result);
            EXPECT_FALSE(r.missing);
            EXPECT_EQ(r.output, "Invalid value '8\\x00junk' of '" + key + "' in line 5 of file '" +
                                    path + "'!\n");
            EXPECT_EQ(systemRules.size() + flowRules.size(), 1u);
        }
    }
}

// Paths below the given root resolve as if it were the root directory: an
// absolute link names a file of the tree, ".." stops at its top, and nothing
// outside is reached. Paths elsewhere resolve as they are.
TEST_F(LegacyReaderTest, LinksResolveInsideTheRoot) {
    const std::string tree = dir_ + "/tree";
    const std::string rules = tree + "/etc/rules";
    fs::create_directories(rules);
    write("tree/saved/rules", "id 7\nproto udp\n\n");
    write("saved/rules", "id 66\nproto tcp\n\n"); // outside the tree
    fs::create_symlink("/saved/rules", rules + "/absolute");
    fs::create_symlink("../../../../../../saved/rules", rules + "/dotdot");
    fs::create_symlink(dir_ + "/saved/rules", rules + "/outside");
    fs::create_symlink("/saved", tree + "/etc/linked-dir");

    struct Case {
        std::string path;
        bool read;
        uint64_t id;
    };
    const std::vector<Case> cases = {
        {rules + "/absolute", true, 7},
        {rules + "/dotdot", true, 7},
        // The absolute target names tree + dir_ + "/saved/rules", which is
        // not there: the link leads out of the tree and is refused.
        {rules + "/outside", false, 0},
        {tree + "/etc/linked-dir/rules", true, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<SystemRuleInfo> found;
        testing::internal::CaptureStdout();
        bool missing = true;
        const bool read = readFileSystemRules(found, text_, &missing, c.path, tree);
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(read, c.read) << output;
        EXPECT_FALSE(missing);
        if (c.read) {
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(found[0].id, c.id);
        } else {
            EXPECT_EQ(output, openFailureMessage(c.path));
        }
    }
    // Outside the root the same link is followed as it is.
    std::vector<SystemRuleInfo> found;
    EXPECT_TRUE(
        readFileSystemRules(found, text_, nullptr, rules + "/outside", dir_ + "/elsewhere"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].id, 66u);
}

// A file larger than the bound is refused before anything is read, however
// little of it is data: a sparse file costs nothing to carry in a backup.
TEST_F(LegacyReaderTest, FileLargerThanTheBoundIsRefusedUnread) {
    for (const unsigned long long size : {largestLegacyFile + 1, 64ull << 30}) {
        SCOPED_TRACE(size);
        const std::string path = write("sparse", "id 1\nproto tcp\n\n");
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
        std::vector<SystemRuleInfo> found;
        const auto start = std::chrono::steady_clock::now();
        const ReadResult r = readSystem(path, found, text_);
        EXPECT_FALSE(r.result);
        EXPECT_FALSE(r.missing);
        EXPECT_EQ(r.output, "Legacy rule file '" + path + "' is too large: " +
                                std::to_string(size) + " bytes, at most 536870912!\n");
        EXPECT_TRUE(found.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        ::unlink(path.c_str());
    }
}

// Paths in messages are quoted safely: a newline or an escape sequence in a
// directory name cannot add a line or steer the terminal.
TEST_F(LegacyReaderTest, PathsInMessagesAreEscaped) {
    const std::string dir = dir_ + "/line\nbreak\x1b[2J";
    fs::create_directories(dir);
    std::vector<SystemRuleInfo> found;
    const ReadResult r = readSystem(dir + "/cfgSystemRule", found, text_, false);
    EXPECT_TRUE(r.missing);
    EXPECT_EQ(r.output, "Can't open file '" + dir_ +
                            "/line\\nbreak\\x1b[2J/cfgSystemRule' to read "
                            "configuration!\n");
}

} // namespace
