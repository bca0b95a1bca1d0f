#include "common.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>
#include <boost/range/iterator_range.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libintl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <random>
#include <set>
#include <string_view>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = boost::filesystem;

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

int openResolved(int dirFd, const std::string& path, int flags, unsigned long long resolve) {
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.resolve = resolve;
    for (;;) {
        // Without resolution flags openat does the same, also where openat2
        // is missing (as under tools that do not know it).
        const long fd = resolve == 0
                            ? ::openat(dirFd, path.c_str(), flags | O_CLOEXEC, 0)
                            : ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how);
        // The kernel asks for a retry when a rename raced with the
        // resolution.
        if (fd < 0 && (errno == EINTR || errno == EAGAIN) && interruptSignal() == 0) {
            continue;
        }
        return static_cast<int>(fd);
    }
}

void adviseHugePages(const void* start, size_t length) {
    const auto first = (reinterpret_cast<uintptr_t>(start) + hugePageSize - 1) / hugePageSize;
    const auto last = (reinterpret_cast<uintptr_t>(start) + length) / hugePageSize;
    if (first < last) {
        ::madvise(reinterpret_cast<void*>(first * hugePageSize), (last - first) * hugePageSize,
                  MADV_HUGEPAGE);
    }
}

namespace {

[[noreturn]] void throwFilesystemError(const std::string& what, const std::string& path,
                                       int error) {
    throw fs::filesystem_error(what, path,
                               boost::system::error_code(error, boost::system::system_category()));
}

// Opens the subdirectory name of dirFd for reading its entries, never through
// a symbolic link and never into another mounted file system (EXDEV).
int openSubdirectory(int dirFd, const std::string& name) {
    return openResolved(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW,
                        RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS |
                            RESOLVE_NO_XDEV);
}

// One directory on the way down a tree being removed: its name in its parent,
// its identity, which is checked again on the way back up, and its entries
// that must stay (mount points, and entries the file system refused to
// remove).
struct RemovalLevel {
    std::string name;
    dev_t device;
    ino_t inode;
    std::set<std::string> kept;
};

// Removes every entry of the directory fd that is neither a subdirectory nor
// kept, and gives the name of the first subdirectory that is not kept (empty
// when there is none). An entry that cannot be removed is kept, its error in
// failure.
std::string clearUpToSubdirectory(int fd, std::set<std::string>& kept, int& failure) {
    DIR* dir = ::fdopendir(::dup(fd));
    if (dir == nullptr) {
        failure = errno;
        return "";
    }
    ::rewinddir(dir);
    std::string subdirectory;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || kept.count(name) != 0) {
            continue;
        }
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            isDirectory = ::fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISDIR(status.st_mode);
        }
        if (!isDirectory && ::unlinkat(fd, name.c_str(), 0) == 0) {
            continue;
        }
        if (isDirectory || errno == EISDIR) {
            subdirectory = name;
            break;
        }
        if (errno != ENOENT) {
            failure = errno;
            kept.insert(name);
        }
    }
    ::closedir(dir);
    return subdirectory;
}

// Removes the entry name of the directory topFd with everything below it.
// Only one directory below topFd is open at a time, so the depth of the tree
// is not limited by the number of descriptors; the way back up goes through
// "..", whose identity must be the one recorded on the way down. 0, or the
// error of the first entry that had to stay (EBUSY for a mount point).
int removeTreeAt(int topFd, const std::string& name) {
    struct stat status {};
    if (::fstatat(topFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISDIR(status.st_mode)) {
        return ::unlinkat(topFd, name.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
    }
    FileDescriptor fd(openSubdirectory(topFd, name));
    if (!fd.valid()) {
        return errno == EXDEV ? EBUSY : errno;
    }
    if (::fstat(fd.get(), &status) != 0) {
        return errno;
    }
    std::vector<RemovalLevel> levels{{name, status.st_dev, status.st_ino, {}}};
    int failure = 0;
    while (!levels.empty()) {
        RemovalLevel& level = levels.back();
        const std::string subdirectory = clearUpToSubdirectory(fd.get(), level.kept, failure);
        if (!subdirectory.empty()) {
            FileDescriptor child(openSubdirectory(fd.get(), subdirectory));
            if (!child.valid() || ::fstat(child.get(), &status) != 0) {
                failure = errno == EXDEV ? EBUSY : errno;
                level.kept.insert(subdirectory);
                continue;
            }
            levels.push_back({subdirectory, status.st_dev, status.st_ino, {}});
            fd = std::move(child);
            continue;
        }

        // Nothing more of this directory can go: remove it from its parent.
        const RemovalLevel done = std::move(levels.back());
        levels.pop_back();
        int parentFd = topFd;
        if (!levels.empty()) {
            FileDescriptor parent(::openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!parent.valid() || ::fstat(parent.get(), &status) != 0) {
                return errno;
            }
            if (status.st_dev != levels.back().device || status.st_ino != levels.back().inode) {
                // The tree was moved while it was being removed.
                return ESTALE;
            }
            fd = std::move(parent);
            parentFd = fd.get();
        } else {
            fd.reset();
        }
        if (!done.kept.empty() || ::unlinkat(parentFd, done.name.c_str(), AT_REMOVEDIR) != 0) {
            if (done.kept.empty()) {
                failure = errno;
            }
            if (!levels.empty()) {
                levels.back().kept.insert(done.name);
            }
        }
    }
    return failure;
}

} // namespace

void createDirectory(const std::string& path, mode_t mode) {
    if (fs::exists(fs::status(path))) {
        return;
    }
    // Missing directories are made from the top down, each given the mode
    // explicitly, since mkdir applies the file-creation mask.
    std::vector<fs::path> missing;
    for (fs::path p(path); !p.empty() && !fs::exists(fs::status(p)); p = p.parent_path()) {
        missing.push_back(p);
    }
    for (auto p = missing.rbegin(); p != missing.rend(); ++p) {
        if (fs::create_directory(*p)) {
            fs::permissions(*p, static_cast<fs::perms>(mode));
        }
    }
}

void removeDirectory(const std::string& path) {
    std::string target = path;
    while (target.size() > 1 && target.back() == '/') {
        target.pop_back();
    }
    const fs::path parent = fs::path(target).parent_path();
    const std::string name = fs::path(target).filename().string();
    FileDescriptor parentFd(
        ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return;
        }
        throwFilesystemError("remove", path, errno);
    }
    const int failure = removeTreeAt(parentFd.get(), name);
    if (failure != 0) {
        throwFilesystemError("remove", path, failure);
    }
}

void prepareWorkRoot() {
    const fs::path workRoot(workRootPath);
    const std::string name = workRoot.filename().string();
    FileDescriptor parent(
        ::open(workRoot.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) {
        throwFilesystemError("open", workRoot.parent_path().string(), errno);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        FileDescriptor root(
            ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (root.valid()) {
            struct stat status {};
            if (::fstat(root.get(), &status) != 0) {
                throwFilesystemError("stat", workRootPath, errno);
            }
            // Owner first, so that a directory someone else made can no
            // longer be opened up again by its maker.
            if ((status.st_uid != ::geteuid() || status.st_gid != ::getegid()) &&
                ::fchown(root.get(), ::geteuid(), ::getegid()) != 0) {
                throwFilesystemError("chown", workRootPath, errno);
            }
            if ((status.st_mode & 07777) != closedDirectoryMode &&
                ::fchmod(root.get(), closedDirectoryMode) != 0) {
                throwFilesystemError("chmod", workRootPath, errno);
            }
            return;
        }
        if (errno == ENOENT) {
            if (::mkdirat(parent.get(), name.c_str(), closedDirectoryMode) != 0 &&
                errno != EEXIST) {
                throwFilesystemError("mkdir", workRootPath, errno);
            }
        } else if (errno == ELOOP || errno == ENOTDIR) {
            // A symbolic link or a file stands where the work root belongs:
            // it goes itself, whatever it points to.
            if (::unlinkat(parent.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
                throwFilesystemError("remove", workRootPath, errno);
            }
        } else {
            throwFilesystemError("open", workRootPath, errno);
        }
    }
    throwFilesystemError("open", workRootPath, EAGAIN);
}

namespace {

// The path made absolute with every symbolic link of its existing part
// resolved.
fs::path resolvedPath(std::string path) {
    // Boost takes "//name" for a network root name; on Linux it is "/name".
    while (path.compare(0, 2, "//") == 0) {
        path.erase(0, 1);
    }
    boost::system::error_code error;
    const fs::path absolute = fs::absolute(path);
    fs::path resolved = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : resolved;
}

bool isWithin(const fs::path& path, const fs::path& directory) {
    const fs::path relative = path.lexically_relative(directory);
    return !relative.empty() && *relative.begin() != "..";
}

// True when the directory is the work root or lies below it, compared by
// identity from the directory up to the root directory.
bool isWorkRootOrBelow(int directoryFd) {
    struct stat root {};
    if (::lstat(workRootPath.c_str(), &root) != 0 || !S_ISDIR(root.st_mode)) {
        return false;
    }
    FileDescriptor current(::openat(directoryFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    while (current.valid() && ::fstat(current.get(), &status) == 0) {
        if (status.st_dev == root.st_dev && status.st_ino == root.st_ino) {
            return true;
        }
        FileDescriptor up(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat above {};
        if (!up.valid() || ::fstat(up.get(), &above) != 0 ||
            (above.st_dev == status.st_dev && above.st_ino == status.st_ino)) {
            return false; // the root directory
        }
        current = std::move(up);
    }
    return false;
}

} // namespace

bool liesInsideWorkRoot(const std::string& backupPath, int outputDirectoryFd) {
    // The work root itself is taken as it stands in the resolved firewall
    // directory: a link there is removed, never followed.
    const fs::path workRoot(workRootPath);
    const fs::path root = resolvedPath(workRoot.parent_path().string()) / workRoot.filename();
    return isWithin(resolvedPath(backupPath), root) ||
           isWithin(resolvedPath(outputDirectory(backupPath)), root) ||
           (outputDirectoryFd >= 0 && isWorkRootOrBelow(outputDirectoryFd));
}

bool unpackArchive(const std::string& backupPath, mode_t* backupMode) {
    const FileDescriptor examined(::open(backupPath.c_str(), O_PATH | O_CLOEXEC));
    struct stat status {};
    if (!examined.valid() || ::fstat(examined.get(), &status) != 0 ||
        !(S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode))) {
        return false;
    }
    // What was examined is opened again through its descriptor, so that no
    // other file can take its path meanwhile; without /proc, by its path,
    // and it must still be the same file.
    const std::string self = "/proc/self/fd/" + std::to_string(examined.get());
    bool byPath = false;
    FileDescriptor backup;
    while (!backup.valid()) {
        // Opening a FIFO waits for its writer; a signal ends the wait.
        backup.reset(
            ::open(byPath ? backupPath.c_str() : self.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        if (!backup.valid() && errno == ENOENT && !byPath) {
            byPath = true;
        } else if (!backup.valid() && (errno != EINTR || interruptSignal() != 0)) {
            return false;
        }
    }
    struct stat opened {};
    if (::fstat(backup.get(), &opened) != 0 || opened.st_dev != status.st_dev ||
        opened.st_ino != status.st_ino) {
        return false;
    }
    const std::string command =
        "exec tar -xz --no-same-owner --no-same-permissions --no-overwrite-dir -C " +
        shellQuote(oldWorkTreePath) + " -f - 1>/dev/null 2>&1";
    if (!runShellCommand(command, backup.get())) {
        return false;
    }
    if (backupMode != nullptr) {
        *backupMode = status.st_mode;
    }
    return true;
}

namespace {

// The file tar packs the output archive into, before it has a final name:
// unnamed where the file system allows it, else under a hidden name made
// exclusively. The hidden name goes with the object.
class ArchiveTemporary {
  public:
    ArchiveTemporary(int directoryFd, mode_t mode) : directoryFd_(directoryFd) {
        fd_.reset(::openat(directoryFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (fd_.valid() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
            return;
        }
        for (int attempt = 0; attempt < 100 && !fd_.valid(); ++attempt) {
            const std::string name = "." + generateID() + ".tar.gz.tmp";
            fd_.reset(::openat(directoryFd, name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (fd_.valid()) {
                hiddenName_ = name;
            } else if (errno != EEXIST) {
                return;
            }
        }
    }
    ~ArchiveTemporary() {
        if (!hiddenName_.empty()) {
            ::unlinkat(directoryFd_, hiddenName_.c_str(), 0);
        }
    }
    ArchiveTemporary(const ArchiveTemporary&) = delete;
    ArchiveTemporary& operator=(const ArchiveTemporary&) = delete;

    int fd() const { return fd_.get(); }

    // Links the file under name in the directory; an existing name is never
    // replaced (EEXIST). 0 or the error.
    int linkAs(const std::string& name) const {
        if (::linkat(fd_.get(), "", directoryFd_, name.c_str(), AT_EMPTY_PATH) == 0) {
            return 0;
        }
        if (errno == EEXIST) {
            return EEXIST;
        }
        // Linking a descriptor by itself needs a capability on some kernels.
        if (!hiddenName_.empty()) {
            return ::linkat(directoryFd_, hiddenName_.c_str(), directoryFd_, name.c_str(), 0) == 0
                       ? 0
                       : errno;
        }
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        return ::linkat(AT_FDCWD, self.c_str(), directoryFd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0
                   ? 0
                   : errno;
    }

  private:
    int directoryFd_;
    FileDescriptor fd_;
    std::string hiddenName_;
};

} // namespace

OutputArchive::~OutputArchive() {
    discard();
    if (directoryFd_ >= 0) {
        ::close(directoryFd_);
    }
}

void OutputArchive::discard() {
    if (!kept_ && !name_.empty()) {
        ::unlinkat(directoryFd_, name_.c_str(), 0);
        name_.clear();
        path_.clear();
    }
}

bool OutputArchive::openDirectory(const std::string& backupPath) {
    if (directoryFd_ >= 0) {
        ::close(directoryFd_);
    }
    directory_ = outputDirectory(backupPath);
    directoryFd_ = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return directoryFd_ >= 0;
}

bool packArchive(const std::string& backupPath, mode_t mode, OutputArchive& archive) {
    const mode_t permissions = mode & 0666;
    if (archive.directoryFd_ < 0 && !archive.openDirectory(backupPath)) {
        return false;
    }
    const int directoryFd = archive.directoryFd_;
    ArchiveTemporary temporary(directoryFd, permissions);
    if (temporary.fd() < 0 || ::fchmod(temporary.fd(), permissions) != 0) {
        return false;
    }
    const std::string command = "exec tar -cz -C " + shellQuote(newWorkTreePath) + " -f - " +
                                firewallRulesMember + " " + suricataRulesMember + " 2>/dev/null";
    if (!runShellCommand(command, -1, temporary.fd()) || ::fsync(temporary.fd()) != 0) {
        return false;
    }

    std::string name;
    int linked = EEXIST;
    for (int attempt = 0; attempt < 1000 && linked == EEXIST; ++attempt) {
        name = generateID() + ".tar.gz";
        linked = temporary.linkAs(name);
    }
    if (linked != 0) {
        return false;
    }
    if (::fsync(directoryFd) != 0) {
        ::unlinkat(directoryFd, name.c_str(), 0);
        return false;
    }
    archive.name_ = name;
    archive.path_ = archive.directory_ + "/" + name;
    return true;
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

namespace {

// Read by every thread of a conversion; a lock-free atomic may be written by
// a signal handler.
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");
const int interruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];

extern "C" void recordSignal(int signal) {
    caughtSignal = signal;
}

// Blocks the interrupting signals for its lifetime, so that checking for a
// recorded signal and starting to wait can be done without a gap: the wait
// itself unblocks them atomically (ppoll with the previous mask).
class BlockedInterrupts {
  public:
    BlockedInterrupts() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (const int signal : interruptSignals) {
            sigaddset(&blocked, signal);
        }
        sigprocmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~BlockedInterrupts() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    BlockedInterrupts(const BlockedInterrupts&) = delete;
    BlockedInterrupts& operator=(const BlockedInterrupts&) = delete;

    const sigset_t& previous() const { return previous_; }

  private:
    sigset_t previous_;
};

// A caller that left SIGCHLD ignored makes the kernel reap children at once,
// and their exit status is lost. For its lifetime SIGCHLD has its default
// disposition.
class DefaultChildSignal {
  public:
    DefaultChildSignal() {
        sigaction(SIGCHLD, nullptr, &previous_);
        changed_ = previous_.sa_handler == SIG_IGN || (previous_.sa_flags & SA_NOCLDWAIT) != 0;
        if (changed_) {
            struct sigaction action {};
            action.sa_handler = SIG_DFL;
            sigemptyset(&action.sa_mask);
            sigaction(SIGCHLD, &action, nullptr);
        }
    }
    ~DefaultChildSignal() {
        if (changed_) {
            sigaction(SIGCHLD, &previous_, nullptr);
        }
    }
    DefaultChildSignal(const DefaultChildSignal&) = delete;
    DefaultChildSignal& operator=(const DefaultChildSignal&) = delete;

  private:
    struct sigaction previous_ {};
    bool changed_ = false;
};

// The process's environment without the variables through which the caller's
// shell could hand tar options of its own.
std::vector<char*> commandEnvironment() {
    std::vector<char*> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "TAR_OPTIONS=", 12) != 0) {
            variables.push_back(*variable);
        }
    }
    variables.push_back(nullptr);
    return variables;
}

} // namespace

bool runShellCommand(const std::string& command, int inputFd, int outputFd) {
    const DefaultChildSignal childSignal;
    const BlockedInterrupts blocked;
    if (caughtSignal != 0) {
        return false;
    }

    std::string shellName = "sh";
    std::string option = "-c";
    std::string commandText = command;
    char* arguments[] = {shellName.data(), option.data(), commandText.data(), nullptr};
    std::vector<char*> environment = commandEnvironment();

    // The shell runs in a process group of its own, so that an interrupted
    // conversion can stop tar together with the shell, and it is killed when
    // the converter dies (the shell execs tar, which keeps that), so that no
    // tar outlives a converter killed with SIGKILL. It starts with the
    // default disposition and no mask for every signal the converter
    // changes, and with no descriptor but its standard ones. Between fork and
    // exec only async-signal-safe calls are made.
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) {
            ::sigaction(signal, &standard, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int in = inputFd >= 0 ? inputFd : ::open("/dev/null", O_RDONLY);
        const int out = outputFd >= 0 ? outputFd : ::open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0) {
            ::_exit(127);
        }
        ::closefrom(STDERR_FILENO + 1);
        ::execve("/bin/sh", arguments, environment.data());
        ::_exit(127);
    }
    if (child < 0) {
        return false;
    }
    ::setpgid(child, child);

    // The child's end is awaited through a process descriptor, in a ppoll
    // that unblocks the interrupting signals only while it waits.
    const FileDescriptor process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    int status = 0;
    for (;;) {
        if (caughtSignal != 0 || !process.valid()) {
            ::kill(-child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        struct pollfd ended {
            process.get(), POLLIN, 0
        };
        if (::ppoll(&ended, 1, nullptr, &blocked.previous()) < 0) {
            continue;
        }
        const pid_t reaped = ::waitpid(child, &status, WNOHANG);
        if (reaped == child) {
            break;
        }
        if (reaped < 0 && errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

InterruptScope::InterruptScope() {
    caughtSignal = 0;
    struct sigaction action {};
    action.sa_handler = recordSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal interrupts a blocking read, write or open at
    // once, so that the conversion notices it.
    action.sa_flags = 0;
    for (int i = 0; i < 3; ++i) {
        sigaction(interruptSignals[i], nullptr, &previousActions[i]);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (previousActions[i].sa_handler != SIG_IGN) {
            sigaction(interruptSignals[i], &action, nullptr);
        }
    }
}

InterruptScope::~InterruptScope() {
    for (int i = 0; i < 3; ++i) {
        sigaction(interruptSignals[i], &previousActions[i], nullptr);
    }
}

int interruptSignal() {
    return caughtSignal.load();
}

void protectStandardDescriptors() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        const char* stand = fd == STDOUT_FILENO ? "/dev/full" : "/dev/null";
        const int opened = ::open(stand, fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

namespace {

// The messages the current thread holds back, or null while it prints them.
thread_local std::vector<std::string>* heldMessages = nullptr;

} // namespace

HeldMessages::HeldMessages() : previous_(heldMessages) {
    heldMessages = &lines_;
}

HeldMessages::~HeldMessages() {
    heldMessages = previous_;
}

bool printMessage(const std::string& text) {
    if (heldMessages != nullptr) {
        heldMessages->push_back(text);
        return true;
    }
    std::fflush(stdout);
    const std::string line = text + '\n';
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        size_t chunk = left;
        if (interruptSignal() != 0) {
            // Poll reports a pipe writable when PIPE_BUF bytes fit, so a
            // chunk of that size does not block.
            struct pollfd out {
                STDOUT_FILENO, POLLOUT, 0
            };
            if (::poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0) {
                return false;
            }
            chunk = std::min<size_t>(left, PIPE_BUF);
        }
        const ssize_t written = ::write(STDOUT_FILENO, data, chunk);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

bool reportOpenFailure(const char* format, const std::string& path) {
    std::string message = gettext(format);
    const size_t slot = message.find("%s");
    if (slot == std::string::npos) {
        message += messagePath(path);
    } else {
        message.replace(slot, 2, messagePath(path));
    }
    printMessage(message);
    return false;
}

std::string messagePath(std::string_view path) {
    static const char hex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0xf];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string messageValue(std::string_view value) {
    constexpr size_t longest = 256;
    if (value.size() <= longest) {
        return messagePath(value);
    }
    return messagePath(value.substr(0, longest)) + "...";
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

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

std::string_view cleanParameterValue(std::string_view key, std::string_view rawValue, char* spare) {
    const char* const raw = rawValue.data();
    if (key == "message" || key == "schedule") {
        const auto trimmed = boost::algorithm::trim_copy_if(
            boost::make_iterator_range(raw, raw + rawValue.size()), isCSpace);
        return std::string_view(trimmed.begin(), trimmed.size());
    }
    // Most values hold no space: they are their raw bytes.
    const size_t space = rawValue.find(' ');
    if (space == std::string_view::npos) {
        return rawValue;
    }
    std::memcpy(spare, raw, space);
    const char* const cleanedEnd =
        std::remove_copy(raw + space, raw + rawValue.size(), spare + space, ' ');
    return std::string_view(spare, static_cast<size_t>(cleanedEnd - spare));
}

void getParameterValue(std::string* key, std::string* value, std::string line) {
    if (key == nullptr || value == nullptr) {
        return;
    }
    std::string_view name;
    std::string_view rawValue;
    if (!splitParameterLine(line, name, rawValue)) {
        *key = std::move(line);
        return;
    }
    key->assign(name);
    std::string spare(rawValue.size(), '\0');
    value->assign(cleanParameterValue(*key, rawValue, spare.data()));
}
