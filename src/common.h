// Common services of the converter: work directories, archive extraction and
// packing through the system tar, output archive identifiers, numeric value
// parsing and the legacy parameter-line splitter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// Fixed paths. Each is spelled once, here, and built from the one before it;
// inline variables are initialised in this order in every unit that uses
// them.

// The firewall's installation directory; it holds the lock file and the work
// root.
inline const std::string firewallRootPath = "/opt/varno-firewall";
// Every conversion holds an exclusive lock on this file for its whole length,
// because all conversions share the same fixed work root. Only root can open
// it.
inline const std::string lockFilePath = firewallRootPath + "/.mervex.lock";
// Work root: holds both work trees and is removed whole after a conversion.
// Closed to everybody but its owner, because it holds what a backup carries.
inline const std::string workRootPath = firewallRootPath + "/tmp";
// Old work tree: the backup archive is extracted into it.
inline const std::string oldWorkTreePath = workRootPath + "/old";
// New work tree: the output archive is packed from it.
inline const std::string newWorkTreePath = workRootPath + "/new";
// The two rule directories of a firewall installation, relative to the root
// of the file system, as they lie in a backup and in the output archive.
inline const std::string firewallRulesDirectory =
    firewallRootPath.substr(1) + "/etc/firewall/rules";
inline const std::string suricataRulesDirectory =
    firewallRootPath.substr(1) + "/etc/suricata/rules";
// Members of the output archive, relative to the new work tree.
inline const std::string firewallRulesMember = "./" + firewallRulesDirectory;
inline const std::string suricataRulesMember = "./" + suricataRulesDirectory;
// Legacy rule files inside the old work tree.
inline const std::string systemRulesFilePath =
    oldWorkTreePath + "/" + firewallRulesDirectory + "/cfgSystemRule";
inline const std::string networkFlowRulesFilePath =
    oldWorkTreePath + "/" + firewallRulesDirectory + "/cfgNetworkFlowRule";
// Rule directories and rule files inside the new work tree.
inline const std::string newFirewallRulesPath = newWorkTreePath + "/" + firewallRulesDirectory;
inline const std::string newSuricataRulesPath = newWorkTreePath + "/" + suricataRulesDirectory;
// The unified rule file of format 1.1, by name in the firewall rule
// directory.
inline const std::string unifiedRulesFileName = "cfgRule";
inline const std::string unifiedRulesFilePath = newFirewallRulesPath + "/" + unifiedRulesFileName;
inline const std::string suricataRulesFilePath = newSuricataRulesPath + "/cfg.rules";

// Modes given explicitly, whatever the file-creation mask.
// The work root and both work trees: nobody but their owner may enter.
constexpr mode_t closedDirectoryMode = 0700;
// The firewall's directory and the rule directories of the output archive.
constexpr mode_t openDirectoryMode = 0755;
// Both new rule files.
constexpr mode_t ruleFileMode = 0644;

// Owns one file descriptor and closes it when it goes; -1 holds none.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// The size of a huge page of the processor's memory management.
constexpr size_t hugePageSize = 2 << 20;

// Advises the kernel to back the whole huge pages within the range with huge
// pages, where it can: for fresh storage of many megabytes that is about to
// be written once, since touching a fresh page costs more than what is
// written into it. Only advice: where it is not followed, nothing changes.
void adviseHugePages(const void* start, size_t length);

// Linux's openat2: opens path relative to the directory dirFd with the open
// flags (O_CLOEXEC is always added) and the RESOLVE_* flags that restrict how
// the path is resolved. -1 with errno on failure.
int openResolved(int dirFd, const std::string& path, int flags, unsigned long long resolve);

// Creates the directory with every missing parent unless something of any
// kind already exists at the path. Every directory created here gets exactly
// the mode, whatever the file-creation mask.
// Throws boost::filesystem::filesystem_error when the file system refuses.
void createDirectory(const std::string& path, mode_t mode = openDirectoryMode);

// Removes whatever exists at the path, with everything below it, through
// directory descriptors: no symbolic link is followed (a link is removed
// itself), there is no limit of depth or path length, and no other mounted
// file system is entered. Nothing at the path is no failure.
// Throws boost::filesystem::filesystem_error when the file system refuses;
// for a mount point below the path its error is EBUSY, after everything else
// was removed, and the mount point's content is untouched.
void removeDirectory(const std::string& path);

// Makes the work root a real directory owned by the process's user with the
// closed mode: a symbolic link or anything else that is not a directory
// standing there is removed itself, never followed, and replaced. Entries of
// a work root that is already a directory stay.
// Throws boost::filesystem::filesystem_error when the file system refuses.
void prepareWorkRoot();

// True when the backup, or the directory its output archive would go to,
// lies in the work root or below it, once every symbolic link is resolved
// (a link at the work root itself is not followed: it is removed). When the
// output directory is open (outputDirectoryFd), it is also compared by
// identity, directory by directory up to the root: no link, bind mount or
// rename of its path can hide the work root above it.
bool liesInsideWorkRoot(const std::string& backupPath, int outputDirectoryFd = -1);

// Extracts the backup archive into the old work tree with tar, without
// restoring owners or permissions from the archive. The backup is examined
// before it is opened (only a regular file or a FIFO is opened: never a
// device a link may name), opened here and read by tar from its standard
// input. True when tar ended normally with
// exit status 0; backupMode, when given, then holds the mode of the backup
// file that was read.
bool unpackArchive(const std::string& backupPath, mode_t* backupMode = nullptr);

// The output archive of one conversion, once it is published under its final
// name. Unless keep() is called, the destructor removes it again: a
// conversion that fails after packing leaves no archive behind.
class OutputArchive {
  public:
    OutputArchive() = default;
    ~OutputArchive();
    OutputArchive(const OutputArchive&) = delete;
    OutputArchive& operator=(const OutputArchive&) = delete;

    // Opens the directory the archive of the backup goes to, once: the
    // archive is made in that directory whatever later becomes of its path.
    // False when it cannot be opened.
    bool openDirectory(const std::string& backupPath);
    // The open directory, or -1.
    int directoryFd() const { return directoryFd_; }

    // The archive's path, "<directory>/<id>.tar.gz"; empty while none is
    // published.
    const std::string& path() const { return path_; }
    // The archive stays when this object goes.
    void keep() { kept_ = true; }
    // Removes a published archive that is not kept; the destructor does the
    // same.
    void discard();

  private:
    friend bool packArchive(const std::string&, mode_t, OutputArchive&);
    int directoryFd_ = -1;  // the directory the archive goes to
    std::string directory_; // its path, as the archive's path is printed
    std::string name_;      // the archive's name there, once published
    std::string path_;
    bool kept_ = false;
};

// Packs the two rule directories of the new work tree into a new archive
// beside the backup, in the directory archive opened (opened here when it is
// not yet). tar writes the archive to its standard output, a file
// opened here in the output directory without a name (or, where the file
// system has no unnamed files, under an exclusively created hidden name). Once
// tar has succeeded the file gets the permission bits mode & 0666, is synced,
// and is linked under "<directory>/<id>.tar.gz" with a fresh identifier: an
// existing name is never replaced (a taken name means drawing another
// identifier), and the directory is synced before this returns true. On
// failure nothing is left in the directory, and archive holds no path.
bool packArchive(const std::string& backupPath, mode_t mode, OutputArchive& archive);

// Eight characters drawn from digits, capital and small letters.
std::string generateID();

// The directory part of the backup path, where the output archive goes:
// Boost's parent_path, with "." for a bare file name.
std::string outputDirectory(const std::string& backupPath);

// The path enclosed in single quotes for the shell, each ' inside written as
// '\'' so that the shell passes every byte through unchanged.
std::string shellQuote(const std::string& text);

// Runs the command with /bin/sh -c, waiting for it to end, with standard
// input and output on the given descriptors (/dev/null when -1) and
// TAR_OPTIONS removed from its environment. True when the shell ended
// normally with exit status 0. When an interrupting signal arrives before or
// while the command runs, the command's process group is killed and the
// result is false; a signal that arrives just before the wait is not missed.
// Works when the caller left SIGCHLD ignored.
bool runShellCommand(const std::string& command, int inputFd = -1, int outputFd = -1);

// SIGINT, SIGTERM and SIGHUP are caught for the lifetime of one object of
// this class: the conversion driver holds one from the start of a conversion
// to its end. The handler only records the signal; the conversion's steps,
// its long loops and the wait for tar check for it (interruptSignal()). The
// destructor restores the previous dispositions on every way out; the
// recorded signal stays readable until the next object is made, so that the
// caller can turn it into the exit status. A signal the caller chose to
// ignore stays ignored. At most one object exists at a time.
class InterruptScope {
  public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// The recorded signal number, or 0 when none arrived.
int interruptSignal();

// Makes sure that descriptors 0, 1 and 2 are open before anything else is
// opened, so that no file the converter opens can take their place and
// receive its messages. A closed standard output is replaced by /dev/full:
// every message then fails, as it does on a full device.
void protectStandardDescriptors();

// Writes one message line to standard output, after anything the C
// library still buffers there, so that messages keep their order. False when
// the line could not be written whole (standard output closed, full, or a
// pipe nobody reads). Once an interrupting signal was recorded, a message
// never waits for a reader: what cannot be written at once is dropped, so
// that the conversion still ends at once.
bool printMessage(const std::string& text);

// While an object lives, the messages its thread prints (printMessage) are
// kept in it, in order, instead of being written: work done on a second
// thread beside the conversion's own thread reports this way, so that its
// messages can be printed where they belong once it is done, or dropped.
// Such a message counts as written.
class HeldMessages {
  public:
    HeldMessages();
    ~HeldMessages();
    HeldMessages(const HeldMessages&) = delete;
    HeldMessages& operator=(const HeldMessages&) = delete;

    // The messages held so far.
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    std::vector<std::string> lines_;
    std::vector<std::string>* previous_;
};

// Prints the open-failure message format, looked up in the message
// catalogue, with the path as a message quotes it in place of its "%s" (or
// after it, when it has none). Always false, for the caller to return.
bool reportOpenFailure(const char* format, const std::string& path);

// A path as a message quotes it: the bytes 0x00 to 0x1F and 0x7F are written
// as \t, \n, \r or \xHH (two lower-case hex digits), a backslash as \\;
// all other bytes, 0x80 and above among them, pass unchanged. So no name can
// add a line to the output or steer the terminal.
std::string messagePath(std::string_view path);

// A value as a message quotes it: cut to its first 256 bytes followed by
// "..." when longer, then escaped like a path.
std::string messageValue(std::string_view value);

// True for the white space of the classic C locale, which the program never
// changes: space, tab, line feed, vertical tab, form feed, carriage return.
bool isCSpace(char c);

// True for a non-empty string of ASCII digits only.
bool isDigit(std::string text);

// A non-empty all-digits text within the int range; -1 for a null or empty
// text, 0 for anything else. The flag, when given, tells success.
int strToInt(const char* text, bool* ok = nullptr);

// The unsigned number at the start of the first word of the text. The flag,
// when given, tells success.
unsigned long strToULong(const char* text, bool* ok = nullptr);

// Splits one legacy parameter line into key and cleaned value. A line without
// a space sets the key to the whole line and leaves the value untouched.
void getParameterValue(std::string* key, std::string* value, std::string line);

// The parts of one legacy parameter line that getParameterValue is built on,
// for readers that work on views into their own buffer. False for a line
// without a space: the whole line is then the key.
inline bool splitParameterLine(std::string_view line, std::string_view& key,
                               std::string_view& rawValue) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        key = line;
        return false;
    }
    key = line.substr(0, space);
    rawValue = line.substr(space + 1);
    return true;
}
// Cleans the raw value of the key: "message" and "schedule" lose the white
// space around them, every other key every space. A value that changes by
// losing spaces is written to spare, room for as many bytes as the raw
// value that does not overlap it; any other cleaned value is a part of the
// raw value.
std::string_view cleanParameterValue(std::string_view key, std::string_view rawValue, char* spare);
