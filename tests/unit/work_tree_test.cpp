// Work directories, output archive naming and identifiers, and the quoting
// of paths for the shell that runs tar.
#include "common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// A private scratch directory, removed after each test.
class WorkTreeTest : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return temp_.file(name); }

    static mode_t modeOf(const std::string& p) {
        struct stat status {};
        EXPECT_EQ(::lstat(p.c_str(), &status), 0) << p;
        return status.st_mode & 07777;
    }

    static void writeFile(const std::string& p, const std::string& content) {
        TempDir::writeFile(p, content);
    }
    static std::string readFile(const std::string& p) { return TempDir::read(p); }

    TempDir temp_{"mervex-work-tree"};
    const std::string dir_ = temp_.path();
};

// Restores the process's file-creation mask when it goes out of scope.
class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(previous_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

  private:
    mode_t previous_;
};

// Every directory made, the named one and the parents made on the way, gets
// exactly the mode asked for: the file-creation mask neither opens it up nor
// closes it.
TEST_F(WorkTreeTest, EveryCreatedDirectoryGetsExactlyItsModeWhateverTheMask) {
    struct Case {
        mode_t mask;
        mode_t mode;
    };
    const std::vector<Case> cases = {
        {0000, 0755}, {0022, 0755}, {0077, 0755}, {0277, 0755},
        {0000, 0700}, {0022, 0700}, {0077, 0700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("umask " + std::to_string(c.mask) + ", mode " + std::to_string(c.mode));
        const std::string top = path("m" + std::to_string(c.mask) + "-" + std::to_string(c.mode));
        const std::string target = top + "/b/rules";
        {
            UmaskGuard guard(c.mask);
            createDirectory(target, c.mode);
        }
        ASSERT_TRUE(fs::is_directory(target));
        for (const std::string& made : {target, top + "/b", top}) {
            EXPECT_EQ(modeOf(made), c.mode) << made;
        }
    }
    // Without a mode the directories are open to read and search for all.
    {
        UmaskGuard guard(0000);
        createDirectory(path("default/rules"));
    }
    EXPECT_EQ(modeOf(path("default")), 0755u);
    EXPECT_EQ(modeOf(path("default/rules")), 0755u);
}

TEST_F(WorkTreeTest, CreateLeavesWhateverExistsAtThePathUnchanged) {
    const std::string existing = path("existing");
    ASSERT_EQ(::mkdir(existing.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(existing.c_str(), 0700), 0);
    createDirectory(existing);
    EXPECT_EQ(modeOf(existing), 0700u);

    const std::string file = path("file");
    writeFile(file, "content");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    EXPECT_NO_THROW(createDirectory(file));
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(readFile(file), "content");
    EXPECT_EQ(modeOf(file), 0600u);
}

TEST_F(WorkTreeTest, CreateBelowARegularFileThrows) {
    const std::string file = path("file");
    writeFile(file, "x");
    EXPECT_THROW(createDirectory(file + "/sub"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_regular_file(file));
}

TEST_F(WorkTreeTest, RemoveDeletesTreesAndFilesAndIgnoresNothing) {
    const std::string tree = path("tree");
    ASSERT_TRUE(fs::create_directories(tree + "/a/b"));
    writeFile(tree + "/a/b/f", "x");
    writeFile(tree + "/top", "y");
    removeDirectory(tree);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));

    const std::string file = path("file");
    writeFile(file, "x");
    removeDirectory(file);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));

    EXPECT_NO_THROW(removeDirectory(path("missing")));
    EXPECT_NO_THROW(removeDirectory(path("missing/below")));
    EXPECT_TRUE(fs::is_directory(dir_));
}

TEST_F(WorkTreeTest, RemoveTakesASymlinkItselfNotItsTarget) {
    const std::string target = path("target");
    ASSERT_TRUE(fs::create_directories(target + "/inner"));
    writeFile(target + "/inner/keep", "keep");

    const std::string link = path("link");
    fs::create_directory_symlink(target, link);
    removeDirectory(link);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(readFile(target + "/inner/keep"), "keep");

    // A dangling link is removed as well.
    const std::string dangling = path("dangling");
    fs::create_symlink(path("nowhere"), dangling);
    removeDirectory(dangling);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dangling)));
}

// A chain of directories below dir, made through descriptors so that its
// paths may grow beyond PATH_MAX; returns false when a step fails.
bool makeDeepChain(const std::string& dir, int depth) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        const int made = ::mkdirat(fd, "d", 0755);
        const int next = made == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY) : -1;
        if (i % 100 == 0 && next >= 0) {
            ::close(::openat(next, "file", O_WRONLY | O_CREAT, 0644));
        }
        ::close(fd);
        fd = next;
    }
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// Restores the limit of open descriptors when it goes out of scope.
class DescriptorLimit {
  public:
    explicit DescriptorLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_NOFILE, &previous_);
        struct rlimit lowered = previous_;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &previous_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  private:
    struct rlimit previous_ {};
};

// A tree whose paths are far longer than PATH_MAX and deeper than the
// descriptors a process may hold is removed whole.
TEST_F(WorkTreeTest, RemoveHasNoLimitOfDepthOrPathLength) {
    const std::string tree = path("deep");
    ASSERT_TRUE(fs::create_directory(tree));
    const int depth = 3000; // paths of 6,000 bytes
    ASSERT_TRUE(makeDeepChain(tree, depth));
    {
        DescriptorLimit limit(64);
        EXPECT_NO_THROW(removeDirectory(tree));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
}

// Links inside the tree are removed themselves; what they point to, a
// directory or a file outside, stays whole.
TEST_F(WorkTreeTest, RemoveNeverFollowsALinkInsideTheTree) {
    const std::string outside = path("outside");
    ASSERT_TRUE(fs::create_directories(outside + "/inner"));
    writeFile(outside + "/inner/keep", "keep");
    writeFile(outside + "/file", "file");
    const std::string tree = path("tree");
    ASSERT_TRUE(fs::create_directories(tree + "/a/b"));
    fs::create_directory_symlink(outside, tree + "/a/to-dir");
    fs::create_symlink(outside + "/file", tree + "/a/b/to-file");
    fs::create_directory_symlink("../../..", tree + "/a/b/up");
    removeDirectory(tree);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(readFile(outside + "/inner/keep"), "keep");
    EXPECT_EQ(readFile(outside + "/file"), "file");
}

// Special files and a path written with a trailing separator.
TEST_F(WorkTreeTest, RemoveTakesSpecialFilesAndTrailingSeparators) {
    const std::string tree = path("tree");
    ASSERT_TRUE(fs::create_directories(tree + "/sub"));
    ASSERT_EQ(::mkfifo((tree + "/sub/fifo").c_str(), 0600), 0);
    removeDirectory(tree + "/");
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
}

TEST(GenerateID, EightCharactersDrawnFromTheWholeAlphabetAndDistinct) {
    const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::set<std::string> ids;
    std::set<char> seen;
    const int count = 2000;
    for (int i = 0; i < count; ++i) {
        const std::string id = generateID();
        ASSERT_EQ(id.size(), 8u) << id;
        for (const char c : id) {
            ASSERT_NE(alphabet.find(c), std::string::npos) << id;
            seen.insert(c);
        }
        ids.insert(id);
    }
    // 2000 draws from 62^8 collide with negligible probability, and 16000
    // characters miss one of 62 letters with negligible probability.
    EXPECT_EQ(ids.size(), static_cast<size_t>(count));
    EXPECT_EQ(std::string(seen.begin(), seen.end()), alphabet);
}

TEST(OutputDirectory, IsTheParentOfTheBackupOrTheCurrentDirectory) {
    struct Case {
        std::string backup;
        std::string directory;
    };
    const std::vector<Case> cases = {
        {"/var/backups/fw.tar.gz", "/var/backups"},
        {"backups/fw.tar.gz", "backups"},
        {"backups//fw.tar.gz", "backups"},
        {"/fw.tar.gz", "/"},
        // Two leading slashes still name a file in the root directory.
        {"//fw.tar.gz", "/"},
        {"fw.tar.gz", "."},
        {"./fw.tar.gz", "."},
        {"../fw.tar.gz", ".."},
        {"my backups/$(x)/it's.tar.gz", "my backups/$(x)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outputDirectory(c.backup), c.directory) << c.backup;
    }
}

TEST_F(WorkTreeTest, ShellQuotedTextReachesTheCommandUnchanged) {
    const std::string out = path("out file 'x'");
    const std::vector<std::string> texts = {
        "plain",
        "",
        "with  spaces\tand tab",
        "it's",
        "'",
        "''",
        "'\\''",
        "'leading and trailing'",
        "$(echo ran)",
        "`echo ran`",
        "$HOME ${PATH} $1 $$",
        "line one\nline two\n",
        "back\\slash \\n \\",
        "*?[a-z]~ ; | & > < ( ) { } ! #",
        "\"double\" 'single' `back`",
        "-n",
        "%s %d %%",
        "\x01\x7f\x80\xff",
        "/opt/varno-firewall/tmp/old/a b/it's $(echo ran)`echo ran`.tar.gz",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE("text [" + text + "]");
        ::unlink(out.c_str());
        ASSERT_TRUE(runShellCommand("printf %s " + shellQuote(text) + " > " + shellQuote(out)));
        EXPECT_EQ(readFile(out), text);
    }
}

TEST(RunShellCommand, TrueOnlyForNormalExitWithStatusZero) {
    struct Case {
        std::string command;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"true", true},
        {"exit 0", true},
        {"exit 1", false},
        {"exit 255", false},
        {"kill -TERM $$", false},
        {"kill -KILL $$", false},
        {"/nonexistent/command-for-mervex-tests 2>/dev/null", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runShellCommand(c.command), c.expected) << c.command;
    }
}

// The command reads and writes the descriptors it is given, and /dev/null
// otherwise.
TEST_F(WorkTreeTest, CommandReadsAndWritesTheGivenDescriptors) {
    const std::string input = path("input");
    writeFile(input, "through the pipe\n");
    const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(path("output").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    EXPECT_TRUE(runShellCommand("tr a-z A-Z", in, out));
    ::close(in);
    ::close(out);
    EXPECT_EQ(readFile(path("output")), "THROUGH THE PIPE\n");
    EXPECT_TRUE(runShellCommand("[ \"$(cat)\" = '' ] && echo visible"));
}

TEST(RunShellCommand, LeavesTarOptionsOutOfTheEnvironment) {
    ASSERT_EQ(::setenv("TAR_OPTIONS", "--to-command=false", 1), 0);
    ASSERT_EQ(::setenv("MERVEX_OTHER_VARIABLE", "kept", 1), 0);
    EXPECT_TRUE(runShellCommand("[ -z \"${TAR_OPTIONS+set}\" ]"));
    EXPECT_TRUE(runShellCommand("[ \"$MERVEX_OTHER_VARIABLE\" = kept ]"));
    ::unsetenv("TAR_OPTIONS");
    ::unsetenv("MERVEX_OTHER_VARIABLE");
}

// With SIGCHLD ignored the kernel would reap the shell at once and its exit
// status would be lost; the disposition is restored afterwards.
TEST(RunShellCommand, KnowsTheExitStatusWhenTheCallerIgnoresSigchld) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
    EXPECT_TRUE(runShellCommand("exit 0"));
    EXPECT_FALSE(runShellCommand("exit 3"));
    struct sigaction now {};
    ::sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::sigaction(SIGCHLD, &previous, nullptr);
}

// An interrupting signal ends the wait for the command at once, whether it
// arrives while the command runs or before the command is started.
TEST(RunShellCommand, InterruptingSignalEndsTheCommandAtOnce) {
    struct Case {
        const char* name;
        bool raiseFirst;
        std::string command;
    };
    const std::vector<Case> cases = {
        {"during", false, "kill -TERM $PPID; sleep 20"},
        {"before", true, "sleep 20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const InterruptScope scope;
        if (c.raiseFirst) {
            ::raise(SIGTERM);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(runShellCommand(c.command));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(interruptSignal(), SIGTERM);
    }
    // Outside a scope the previous disposition is back.
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    // The recorded signal stays until the next scope starts; one is started
    // here so that the tests after this one run without it.
    EXPECT_EQ(interruptSignal(), SIGTERM);
    { const InterruptScope fresh; }
    EXPECT_EQ(interruptSignal(), 0);
}

// A backup, or the directory its archive would go to, below the work root
// would be removed with it.
TEST(LiesInsideWorkRoot, BackupAndOutputDirectoryBelowTheWorkRoot) {
    struct Case {
        std::string backup;
        bool inside;
    };
    const std::vector<Case> cases = {
        {"/opt/varno-firewall/tmp/backup.tar.gz", true},
        {"/opt/varno-firewall/tmp/old/a/backup.tar.gz", true},
        {"/opt/varno-firewall/tmp", true},
        {"/opt/varno-firewall/tmp/", true},
        {"/opt/varno-firewall/tmp/sub/../backup.tar.gz", true},
        {"//opt//varno-firewall//tmp//backup.tar.gz", true},
        {"/opt/varno-firewall/backup.tar.gz", false},
        {"/opt/varno-firewall/tmp/../backup.tar.gz", false},
        {"/opt/varno-firewall/tmpfiles/backup.tar.gz", false},
        {"/var/backups/backup.tar.gz", false},
        {"backup.tar.gz", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(liesInsideWorkRoot(c.backup), c.inside) << c.backup;
    }
}

} // namespace
