#include "common.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = boost::filesystem;

const std::string firewallRootPath = "/opt/varno-firewall";
const std::string workRootPath = "/opt/varno-firewall/tmp";
const std::string oldWorkTreePath = "/opt/varno-firewall/tmp/old";
const std::string newWorkTreePath = "/opt/varno-firewall/tmp/new";
const std::string firewallRulesMember = "./opt/varno-firewall/etc/firewall/rules";
const std::string suricataRulesMember = "./opt/varno-firewall/etc/suricata/rules";

void createDirectory(const std::string& path) {
    if (fs::exists(fs::status(path))) {
        return;
    }
    if (fs::create_directories(path)) {
        fs::permissions(path, fs::perms::add_perms | fs::perms::group_read | fs::perms::group_exe |
                                  fs::perms::others_read | fs::perms::others_exe);
    }
}

void removeDirectory(const std::string& path) {
    if (fs::exists(fs::symlink_status(path))) {
        fs::remove_all(path);
    }
}

namespace {

// GNU tar takes an archive name whose first colon comes before any slash as
// "host:file" on a remote machine. Such a relative name is made explicitly
// local by a leading "./", so a colon in a file name never starts a remote
// shell.
std::string localArchiveName(const std::string& path) {
    const auto colon = path.find(':');
    if (colon != std::string::npos && path.find('/') > colon) {
        return "./" + path;
    }
    return path;
}

volatile std::sig_atomic_t caughtSignal = 0;
const int interruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];
bool signalsCaught = false;

extern "C" void recordSignal(int signal) {
    caughtSignal = signal;
}

} // namespace

bool unpackArchive(const std::string& backupPath) {
    const std::string command = "tar -xz -C " + shellQuote(oldWorkTreePath) + " -f " +
                                shellQuote(localArchiveName(backupPath)) + " 1>/dev/null 2>&1";
    return runShellCommand(command);
}

bool packArchive(const std::string& backupPath, std::string* archivePath) {
    if (archivePath != nullptr) {
        archivePath->clear();
    }
    const std::string directory = outputDirectory(backupPath);

    // Reserve a name that nothing uses yet: creating the file exclusively
    // makes sure that no earlier archive or other file is ever replaced.
    std::string path;
    int fd = -1;
    for (int attempt = 0; attempt < 1000 && fd < 0; ++attempt) {
        path = localArchiveName(directory + "/" + generateID() + ".tar.gz");
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    if (archivePath != nullptr) {
        *archivePath = path;
    }

    const std::string command = "tar -czf " + shellQuote(path) + " -C " +
                                shellQuote(newWorkTreePath) + " " + firewallRulesMember + " " +
                                suricataRulesMember + " 1>/dev/null 2>&1";
    if (runShellCommand(command)) {
        return true;
    }
    ::unlink(path.c_str());
    if (archivePath != nullptr) {
        archivePath->clear();
    }
    return false;
}

std::string generateID() {
    static const char alphanum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static std::mt19937 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937(seed);
    }();
    std::uniform_int_distribution<int> position(0, sizeof(alphanum) - 2);

    std::string id;
    for (int i = 0; i < 8; ++i) {
        id += alphanum[position(generator)];
    }
    return id;
}

std::string outputDirectory(const std::string& backupPath) {
    const std::string directory = fs::path(backupPath).parent_path().string();
    if (!directory.empty()) {
        return directory;
    }
    // Boost takes "//name" for a network root name without a parent; on Linux
    // it is a file in the root directory.
    return backupPath.compare(0, 1, "/") == 0 ? "/" : ".";
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

bool runShellCommand(const std::string& command) {
    // The shell runs in a process group of its own, so that an interrupted
    // conversion can stop tar together with the shell.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : interruptSignals) {
        sigaddset(&defaults, signal);
    }
    sigaddset(&defaults, SIGPIPE);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &noMask);

    std::string shellName = "sh";
    std::string option = "-c";
    std::string commandText = command;
    char* arguments[] = {shellName.data(), option.data(), commandText.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/bin/sh", nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        return false;
    }

    int status = 0;
    for (;;) {
        if (caughtSignal != 0) {
            ::kill(-child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        const pid_t ended = ::waitpid(child, &status, 0);
        if (ended == child) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void catchInterruptSignals() {
    caughtSignal = 0;
    struct sigaction action {};
    action.sa_handler = recordSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal interrupts the wait for tar at once.
    action.sa_flags = 0;
    for (int i = 0; i < 3; ++i) {
        sigaction(interruptSignals[i], nullptr, &previousActions[i]);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (previousActions[i].sa_handler != SIG_IGN) {
            sigaction(interruptSignals[i], &action, nullptr);
        }
    }
    signalsCaught = true;
}

void restoreInterruptSignals() {
    if (!signalsCaught) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(interruptSignals[i], &previousActions[i], nullptr);
    }
    signalsCaught = false;
}

int interruptSignal() {
    return caughtSignal;
}

void printMessage(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool isDigit(std::string text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

int strToInt(const char* text, bool* ok) {
    if (ok != nullptr) {
        *ok = false;
    }
    if (text == nullptr || *text == '\0') {
        return -1;
    }
    if (!isDigit(text)) {
        return 0;
    }
    long long value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        value = value * 10 + (*c - '0');
        if (value > INT_MAX) {
            return 0;
        }
    }
    if (ok != nullptr) {
        *ok = true;
    }
    return static_cast<int>(value);
}

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

unsigned long strToULong(const char* text, bool* ok) {
    if (ok != nullptr) {
        *ok = false;
    }
    if (text == nullptr) {
        return 0;
    }
    // Only the first word counts; an optional plus sign, then the digits at
    // its start. Anything after the digits is ignored.
    const char* c = text;
    while (*c != '\0' && isCSpace(*c)) {
        ++c;
    }
    if (*c == '+') {
        ++c;
    }
    if (*c < '0' || *c > '9') {
        return 0;
    }
    unsigned long value = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        const unsigned long digit = static_cast<unsigned long>(*c - '0');
        if (value > (ULONG_MAX - digit) / 10) {
            return 0;
        }
        value = value * 10 + digit;
    }
    if (ok != nullptr) {
        *ok = true;
    }
    return value;
}

void getParameterValue(std::string* key, std::string* value, std::string line) {
    if (key == nullptr || value == nullptr) {
        return;
    }
    const auto space = line.find(' ');
    if (space == std::string::npos) {
        *key = std::move(line);
        return;
    }
    const std::string_view name(line.data(), space);
    const bool keepsInnerSpaces = name == "message" || name == "schedule";
    key->assign(name);
    value->assign(line, space + 1, std::string::npos);
    if (keepsInnerSpaces) {
        boost::algorithm::trim_if(*value, isCSpace);
    } else {
        value->erase(std::remove(value->begin(), value->end(), ' '), value->end());
    }
}
