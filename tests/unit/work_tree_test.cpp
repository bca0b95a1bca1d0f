// Work directories, output archive naming and identifiers, and the quoting
// of paths for the shell that runs tar.
#include "common.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <set>
#include <string>
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

TEST_F(WorkTreeTest, CreatedDirectoryIsOpenToAllWhileParentsKeepTheMask) {
    struct Case {
        mode_t mask;
        mode_t created; // the named directory
        mode_t parent;  // a parent created on the way
    };
    const std::vector<Case> cases = {
        {0077, 0755, 0700},
        {0027, 0755, 0750},
        {0277, 0555, 0500},
        {0022, 0755, 0755},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("umask " + std::to_string(c.mask));
        const std::string top = path("m" + std::to_string(c.mask));
        const std::string target = top + "/b/rules";
        {
            UmaskGuard guard(c.mask);
            createDirectory(target);
        }
        ASSERT_TRUE(fs::is_directory(target));
        EXPECT_EQ(modeOf(target), c.created);
        EXPECT_EQ(modeOf(top), c.parent);
        EXPECT_EQ(modeOf(top + "/b"), c.parent);
    }
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

} // namespace
