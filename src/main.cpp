#include "main.h"

#include "common.h"
#include "convertationToNew.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <future>
#include <getopt.h>
#include <initializer_list>
#include <libintl.h>
#include <linux/openat2.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <variant>

namespace fs = boost::filesystem;

namespace {

// The content of a legacy rule file, whole, in a RuleText.
struct FileContent {
    const char* data = nullptr;
    size_t size = 0;
    bool failed = false;   // a read error, or an interrupting signal
    bool tooLarge = false; // more than the limit came
};

// Reads the file to its end into a buffer of text that its size, as fstat
// gave it, fills. A file that grew since moves to larger buffers, until more
// than limit bytes came. An interrupting signal is noticed between reads.
FileContent readContent(int fd, size_t expectedSize, size_t limit, RuleText& text) {
    // The reads are large, yet short enough for a signal to be noticed at
    // once.
    constexpr size_t readSize = 16 << 20;
    FileContent content;
    // One byte more than expected shows a file that grew.
    size_t capacity = std::min(expectedSize, limit) + 1;
    char* buffer = text.allocate(capacity);
    content.data = buffer;
    for (;;) {
        if (interruptSignal() != 0) {
            content.failed = true;
            return content;
        }
        if (content.size == capacity) {
            if (content.size > limit) {
                content.tooLarge = true;
                return content;
            }
            capacity = std::min(capacity * 2, limit + 1);
            char* larger = text.allocate(capacity);
            std::memcpy(larger, buffer, content.size);
            buffer = larger;
            content.data = buffer;
        }
        const ssize_t got =
            ::read(fd, buffer + content.size, std::min(capacity - content.size, readSize));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            content.failed = got < 0;
            return content;
        }
        content.size += static_cast<size_t>(got);
    }
}

// The content of the file whose size, as fstat gave it, is expectedSize. A
// file that holds exactly that many bytes is mapped: its bytes are not
// copied, and no memory is cleared for them. Any other file (one that
// changed, or that tells no size, as those of /proc) is read by
// readContent. The mapping is read-only: records view it, and cleaned
// values that differ from their raw bytes go to a buffer of their own. A
// legacy file lies in the conversion's own work tree, which no other user
// can reach, so nothing shortens it while it is mapped.
FileContent loadContent(int fd, size_t expectedSize, size_t limit, RuleText& text) {
    char beyond = 0;
    struct stat status {};
    if (expectedSize > 0 && expectedSize <= limit &&
        ::pread(fd, &beyond, 1, static_cast<off_t>(expectedSize)) == 0 &&
        ::fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) == expectedSize) {
        const char* const mapped = text.map(fd, expectedSize);
        if (mapped != nullptr) {
            FileContent content;
            content.data = mapped;
            content.size = expectedSize;
            return content;
        }
    }
    return readContent(fd, expectedSize, limit, text);
}

// The number of empty lines after the first line of the content (a CR before
// the line feed counted as none).
size_t countEmptyLines(const char* data, size_t size) {
    size_t count = 0;
    const char* const end = data + size;
    const char* feed = static_cast<const char*>(std::memchr(data, '\n', size));
    while (feed != nullptr) {
        const char* const next = feed + 1;
        const size_t left = static_cast<size_t>(end - next);
        count += left != 0 && (next[0] == '\n' || (left > 1 && next[0] == '\r' && next[1] == '\n'));
        feed = static_cast<const char*>(std::memchr(next, '\n', left));
    }
    return count;
}

// A field of a legacy record that a key sets: strings take the value as it
// is, flags are true for exactly "true", numbers are parsed.
template <typename Record>
using FieldRef =
    std::variant<std::string_view Record::*, bool Record::*, uint64_t Record::*, int32_t Record::*>;

// The keys of one legacy file and the fields they set. A key is looked up
// in a small hash table on its length and two of its bytes and compared
// byte for byte: no key is copied or hashed whole for the lookup of a line.
template <typename Record> class KeyTable {
  public:
    KeyTable(std::initializer_list<std::pair<std::string_view, FieldRef<Record>>> keys) {
        for (const auto& [key, field] : keys) {
            slots_[slotOf(key)].push_back({key, field});
        }
    }

    // The field of the key, or null for an unknown key.
    const FieldRef<Record>* find(std::string_view key) const {
        if (key.empty()) {
            return nullptr;
        }
        for (const Entry& entry : slots_[slotOf(key)]) {
            if (entry.key.size() == key.size() &&
                std::memcmp(entry.key.data(), key.data(), key.size()) == 0) {
                return &entry.field;
            }
        }
        return nullptr;
    }

  private:
    struct Entry {
        std::string_view key;
        FieldRef<Record> field;
    };
    static constexpr size_t slotCount = 64;

    // The slot of a key that is not empty. The keys of both files share a
    // slot only with keys of another length, which the length test sorts
    // out before any byte is compared.
    static size_t slotOf(std::string_view key) {
        const auto first = static_cast<unsigned char>(key[0]);
        const auto beforeLast =
            static_cast<unsigned char>(key[key.size() > 1 ? key.size() - 2 : 0]);
        return (key.size() + first * 3 + beforeLast * 5) % slotCount;
    }

    std::array<std::vector<Entry>, slotCount> slots_;
};

const KeyTable<SystemRuleInfo>& systemRuleKeys() {
    using R = SystemRuleInfo;
    static const KeyTable<R> keys = {
        {"id", &R::id},
        {"message", &R::message},
        {"access", &R::access},
        {"proto", &R::proto},
        {"icmp_type", &R::icmpType},
        {"icmp_code", &R::icmpCode},
        {"icmp_send", &R::icmpSend},
        {"icmp_receive", &R::icmpReceive},
        {"local_addrs", &R::localAddrs},
        {"remote_addrs", &R::remoteAddrs},
        {"adapters", &R::adapters},
        {"exefile", &R::exefile},
        {"substr", &R::substr},
        {"schedule", &R::schedule},
        {"content", &R::content},
        {"nocase", &R::nocase},
        {"order", &R::order},
        {"enable", &R::enable},
        {"audit", &R::audit},
        {"default", &R::isDefault},
    };
    return keys;
}

const KeyTable<NetworkFlowRuleInfo>& networkFlowRuleKeys() {
    using R = NetworkFlowRuleInfo;
    static const KeyTable<R> keys = {
        {"id", &R::id},
        {"message", &R::message},
        {"access", &R::access},
        {"proto", &R::proto},
        {"local_addrs", &R::localAddrs},
        {"local_ports", &R::localPorts},
        {"remote_addrs", &R::remoteAddrs},
        {"remote_ports", &R::remotePorts},
        {"exefile", &R::exefile},
        {"substr", &R::substr},
        {"schedule", &R::schedule},
        {"content", &R::content},
        {"wildcard", &R::wildcard},
        {"regexp", &R::regexp},
        {"nocase", &R::nocase},
        {"direction", &R::direction},
        {"order", &R::order},
        {"enable", &R::enable},
        {"audit", &R::audit},
        {"default", &R::isDefault},
    };
    return keys;
}

// Calls parse with the text as a C string: a copy on the stack when the text
// is short, as a number is, else a copy in longCopy.
template <typename Parse>
auto withCString(std::string_view text, std::string& longCopy, Parse parse) {
    char copy[32];
    if (text.size() < sizeof copy) {
        text.copy(copy, text.size());
        copy[text.size()] = '\0';
        return parse(copy);
    }
    longCopy.assign(text);
    return parse(longCopy.c_str());
}

// Cleans the raw value of the key and sets the field from it: a value that
// changes by losing spaces is written to spare, which then moves past it. A
// text field views the cleaned value, a flag is true for exactly
// "true", a number is parsed. False when a number is rejected or the value
// holds a NUL byte; value then holds the cleaned value, for the message. The
// value is searched for a NUL only when the file holds one (mayHoldNul). A
// NUL byte ends a C string early: "8", a NUL and junk would read as 8, and
// the byte would reach both rule files.
template <typename Record>
bool setField(Record& record, const FieldRef<Record>& field, std::string_view key,
              std::string_view rawValue, char*& spare, bool mayHoldNul, std::string& value) {
    const std::string_view cleaned = cleanParameterValue(key, rawValue, spare);
    if (cleaned.data() == spare) {
        spare += cleaned.size();
    }
    const auto reject = [&value, cleaned] {
        value.assign(cleaned);
        return false;
    };
    if (mayHoldNul && cleaned.find('\0') != std::string_view::npos) {
        return reject();
    }
    if (auto text = std::get_if<std::string_view Record::*>(&field)) {
        record.*(*text) = cleaned;
        return true;
    }
    if (auto flag = std::get_if<bool Record::*>(&field)) {
        record.*(*flag) = cleaned == "true";
        return true;
    }
    bool ok = false;
    if (auto number = std::get_if<uint64_t Record::*>(&field)) {
        record.*(*number) =
            withCString(cleaned, value, [&ok](const char* text) { return strToULong(text, &ok); });
        return ok || reject();
    }
    // ICMP type and code: empty and -1 both mean none.
    auto icmpNumber = std::get<int32_t Record::*>(field);
    if (cleaned.empty() || cleaned == "-1") {
        record.*icmpNumber = -1;
        return true;
    }
    record.*icmpNumber =
        withCString(cleaned, value, [&ok](const char* text) { return strToInt(text, &ok); });
    return ok || reject();
}

// A legacy rule file, opened for reading, or why it was not.
struct LegacyFile {
    FileDescriptor fd;
    bool missing = false; // there is no directory entry at its path
};

// Opens a legacy rule file for reading. A path below root is resolved as if
// root were the root directory: a symbolic link's absolute target names a
// file below root, ".." stops at root, so nothing outside the extracted
// backup is ever reached (other paths resolve as they are). The file is
// examined before it is opened: anything but a regular file is never opened,
// since opening a FIFO or a device that a backup planted could block the
// reader, feed it without end or act on a device.
LegacyFile openLegacyFile(const std::string& path, const std::string& root) {
    LegacyFile file;
    FileDescriptor rootFd;
    int base = AT_FDCWD;
    unsigned long long resolve = 0;
    std::string relative = path;
    if (path.compare(0, root.size() + 1, root + "/") == 0) {
        rootFd.reset(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!rootFd.valid()) {
            file.missing = errno == ENOENT;
            return file;
        }
        base = rootFd.get();
        resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        relative = path.substr(root.size() + 1);
    }
    // Missing means no entry at the path: its directory, or the entry
    // itself, does not exist. A dangling link is an entry.
    const size_t slash = relative.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : relative.substr(0, slash);
    const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    const FileDescriptor directoryFd(openResolved(base, directory, O_PATH | O_DIRECTORY, resolve));
    struct stat entry {};
    if (!directoryFd.valid() ||
        ::fstatat(directoryFd.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        file.missing = errno == ENOENT;
        return file;
    }

    const FileDescriptor examined(openResolved(base, relative, O_PATH, resolve));
    struct stat before {};
    if (!examined.valid() || ::fstat(examined.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
        return file;
    }
    FileDescriptor fd(openResolved(base, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY, resolve));
    struct stat status {};
    if (fd.valid() && ::fstat(fd.get(), &status) == 0 && status.st_dev == before.st_dev &&
        status.st_ino == before.st_ino) {
        file.fd = std::move(fd);
    }
    return file;
}

// Reads a legacy rule file of key/value blocks, each ended by an empty line
// or by the end of the file. Every block starts from the record's starting
// values; a block without any known key stores nothing. The file is held
// whole in text, and the records view it; a value that cleaning changes is
// written to a buffer of text of its own.
template <typename Record>
bool readRuleFile(const std::string& path, const std::string& root, const KeyTable<Record>& keys,
                  std::vector<Record>& rules, RuleText& text, bool* missing) {
    rules.clear();
    LegacyFile file = openLegacyFile(path, root);
    if (missing != nullptr) {
        *missing = file.missing;
    }
    if (!file.fd.valid()) {
        return reportOpenFailure("Can't open file '%s' to read configuration!", path);
    }
    // The size is checked before anything is read: a small backup can carry
    // a huge sparse file.
    struct stat status {};
    if (::fstat(file.fd.get(), &status) != 0) {
        return reportOpenFailure("Can't open file '%s' to read configuration!", path);
    }
    const auto refuseSize = [&path](unsigned long long size) {
        printMessage("Legacy rule file '" + messagePath(path) +
                     "' is too large: " + std::to_string(size) + " bytes, at most " +
                     std::to_string(largestLegacyFile) + "!");
        return false;
    };
    if (static_cast<unsigned long long>(status.st_size) > largestLegacyFile) {
        return refuseSize(static_cast<unsigned long long>(status.st_size));
    }
    const FileContent content =
        loadContent(file.fd.get(), static_cast<size_t>(status.st_size), largestLegacyFile, text);
    if (content.tooLarge) {
        return refuseSize(content.size);
    }
    if (content.failed) {
        if (interruptSignal() == 0) {
            printMessage("Can't read file '" + messagePath(path) + "'!");
        }
        return false;
    }

    // Every stored record but the last ends at an empty line, so the list
    // gets its room at once and never grows by copying; a file of empty
    // lines alone cannot make it reserve more than twice the file's size.
    rules.reserve(std::min(countEmptyLines(content.data, content.size) + 1,
                           2 * content.size / sizeof(Record) + 1));
    adviseHugePages(rules.data(), rules.capacity() * sizeof(Record));

    const bool mayHoldNul = std::memchr(content.data, '\0', content.size) != nullptr;
    // Cleaned values are never longer than their raw bytes, so room for the
    // whole content holds every value that changes; only what is written
    // there is ever touched.
    char* spare = text.allocate(content.size);

    Record record;
    bool hasKnownKey = false;
    unsigned long lineNumber = 0;
    std::string_view key;
    std::string_view rawValue;
    std::string value;
    const char* const end = content.data + content.size;
    // A last line without a line feed counts all the same.
    for (const char* next = content.data; next != end;) {
        if (interruptSignal() != 0) {
            return false;
        }
        const char* const line = next;
        const char* const feed = static_cast<const char*>(std::memchr(line, '\n', end - line));
        size_t length = static_cast<size_t>((feed == nullptr ? end : feed) - line);
        next = feed == nullptr ? end : feed + 1;
        ++lineNumber;
        // CRLF files read like LF files.
        if (length != 0 && line[length - 1] == '\r') {
            --length;
        }
        if (length == 0) {
            if (hasKnownKey) {
                rules.push_back(record);
                hasKnownKey = false;
            }
            record = Record();
            continue;
        }
        // A line without a space is a key with an empty value.
        rawValue = std::string_view(line + length, 0);
        splitParameterLine(std::string_view(line, length), key, rawValue);
        const FieldRef<Record>* field = keys.find(key);
        if (field == nullptr) {
            continue;
        }
        hasKnownKey = true;
        if (!setField(record, *field, key, rawValue, spare, mayHoldNul, value)) {
            printMessage("Invalid value '" + messageValue(value) + "' of '" + std::string(key) +
                         "' in line " + std::to_string(lineNumber) + " of file '" +
                         messagePath(path) + "'!");
            return false;
        }
    }
    if (hasKnownKey) {
        rules.push_back(record);
    }
    return true;
}

} // namespace

void RuleText::Free::operator()(char* buffer) const {
    std::free(buffer);
}

char* RuleText::allocate(size_t size) {
    // A large buffer (a legacy file's content when it is read, the room for
    // its cleaned values) is laid out in whole huge pages, so that it can be
    // backed by them.
    const bool large = size >= hugePageSize;
    const size_t rounded = large ? (size + hugePageSize - 1) / hugePageSize * hugePageSize : size;
    char* buffer = static_cast<char*>(large ? std::aligned_alloc(hugePageSize, rounded)
                                            : std::malloc(size == 0 ? 1 : size));
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    buffers_.emplace_back(buffer);
    if (large) {
        adviseHugePages(buffer, rounded);
    }
    return buffer;
}

void RuleText::Unmap::operator()(const char* start) const {
    ::munmap(const_cast<char*>(start), size);
}

const char* RuleText::map(int fd, size_t size) {
    void* const start = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (start == MAP_FAILED) {
        return nullptr;
    }
    std::unique_ptr<const char, Unmap> mapping(static_cast<const char*>(start), Unmap{size});
    // Every page is brought in here, in one call that reports a page that
    // cannot be read: a failed read of a page touched later would end the
    // program with SIGBUS instead of a message. Without this call (an older
    // kernel) the file is read instead.
    if (::madvise(start, size, MADV_POPULATE_READ) != 0) {
        return nullptr;
    }
    const char* const bytes = mapping.get();
    mappings_.push_back(std::move(mapping));
    return bytes;
}

std::string_view RuleText::keep(std::string_view text) {
    char* copy = allocate(text.size());
    text.copy(copy, text.size());
    return std::string_view(copy, text.size());
}

bool readFileSystemRules(std::vector<SystemRuleInfo>& rules, RuleText& text, bool* missing,
                         const std::string& path, const std::string& root) {
    return readRuleFile(path, root, systemRuleKeys(), rules, text, missing);
}

bool readFileNetworkFlowRules(std::vector<NetworkFlowRuleInfo>& rules, RuleText& text,
                              bool* missing, const std::string& path, const std::string& root) {
    return readRuleFile(path, root, networkFlowRuleKeys(), rules, text, missing);
}

namespace {

// Tells, when neither legacy rule file is there, that the backup holds a
// unified rule file beside where they belong: it is converted already.
void reportConvertedBackup(const std::string& systemRulesPath) {
    const std::string converted =
        fs::path(systemRulesPath).parent_path().string() + "/" + unifiedRulesFileName;
    struct stat status {};
    if (::lstat(converted.c_str(), &status) == 0) {
        printMessage("The backup holds a rule file of format 1.1: '" + messagePath(converted) +
                     "'; it seems to be converted already.");
    }
}

// The summary of a merge: what was read, the system rules left out, and what
// was converted; with verbose, where every unified rule comes from.
void printSummary(size_t systemCount, size_t networkFlowCount, const std::vector<uint64_t>& leftOut,
                  const std::vector<RuleInfo>& rules, const std::vector<RuleOrigin>& origins,
                  bool verbose) {
    printMessage("Read " + std::to_string(systemCount) + " system rules and " +
                 std::to_string(networkFlowCount) + " network flow rules.");
    for (const uint64_t id : leftOut) {
        printMessage("System rule " + std::to_string(id) +
                     " is left out: it applies to no traffic.");
    }
    size_t in = 0;
    size_t inout = 0;
    size_t out = 0;
    size_t disabled = 0;
    for (const RuleInfo& rule : rules) {
        in += rule.direction == inputValue;
        inout += rule.direction == inoutValue;
        out += rule.direction == outputValue;
        disabled += !rule.enable;
    }
    printMessage("Converted " + std::to_string(rules.size()) + " rules: " + std::to_string(in) +
                 " in, " + std::to_string(inout) + " inout, " + std::to_string(out) + " out; " +
                 std::to_string(disabled) + " of them disabled.");
    if (!verbose) {
        return;
    }
    for (size_t i = 0; i < rules.size() && interruptSignal() == 0; ++i) {
        printMessage("Rule " + std::to_string(rules[i].id) + ": " +
                     (origins[i].system ? "system rule " : "network flow rule ") +
                     std::to_string(origins[i].id) + ", order " + std::to_string(origins[i].order) +
                     ", direction " + std::string(rules[i].direction) + ".");
    }
}

// Work done on a second thread beside the caller's, so that a machine with
// more than one core reads both legacy files, and writes both rule files, at
// the same time. What the work prints is held back and printed by finish()
// on the caller's thread: the messages of a conversion come in the order
// they have when its steps run one after another. Where no thread can be
// started, the work runs in finish() instead. Whatever the work refers to
// must outlive this object, which waits for the work when it goes.
class SideWork {
  public:
    explicit SideWork(std::function<bool()> work)
        : done_(std::async(std::launch::async | std::launch::deferred,
                           [this, work = std::move(work)] {
                               const HeldMessages held;
                               const bool succeeded = work();
                               messages_ = held.lines();
                               return succeeded;
                           })) {}
    SideWork(const SideWork&) = delete;
    SideWork& operator=(const SideWork&) = delete;

    // Waits for the work and tells whether it succeeded; its messages are
    // printed when print is true, else dropped.
    bool finish(bool print) {
        const bool succeeded = done_.get();
        if (print) {
            for (const std::string& message : messages_) {
                printMessage(message);
            }
        }
        return succeeded;
    }

  private:
    std::vector<std::string> messages_;
    std::future<bool> done_;
};

} // namespace

bool convertRuleFiles(const std::string& systemRulesPath, const std::string& networkFlowRulesPath,
                      const std::string& unifiedRulesPath, const std::string& suricataRulesPath,
                      const std::string& root, bool verbose) {
    // The text every record of this conversion views, one for each file
    // since the files are read at the same time; it goes after the records.
    RuleText systemText;
    RuleText networkFlowText;
    std::vector<SystemRuleInfo> systemRules;
    std::vector<NetworkFlowRuleInfo> networkFlowRules;
    bool systemFileMissing = false;
    bool networkFlowFileMissing = false;
    SideWork networkFlowReading([&] {
        return readFileNetworkFlowRules(networkFlowRules, networkFlowText, &networkFlowFileMissing,
                                        networkFlowRulesPath, root);
    });
    const bool systemRulesRead =
        readFileSystemRules(systemRules, systemText, &systemFileMissing, systemRulesPath, root);
    const bool networkFlowRulesRead = networkFlowReading.finish(true);
    // A missing file alone holds no rules. A file that is there but cannot be
    // read whole, or no rule file at all, fails the conversion: its rules
    // would be lost.
    if (systemFileMissing && networkFlowFileMissing) {
        reportConvertedBackup(systemRulesPath);
        return false;
    }
    if ((!systemRulesRead && !systemFileMissing) ||
        (!networkFlowRulesRead && !networkFlowFileMissing) || interruptSignal() != 0) {
        return false;
    }
    if (!validateRules(systemRules, networkFlowRules)) {
        return false;
    }

    const size_t systemCount = systemRules.size();
    const size_t networkFlowCount = networkFlowRules.size();
    std::vector<uint64_t> leftOut;
    for (const SystemRuleInfo& rule : systemRules) {
        if (appliesToNoTraffic(rule)) {
            leftOut.push_back(rule.id);
        }
    }
    std::vector<RuleInfo> rules;
    std::vector<RuleOrigin> origins;
    convertationRules(std::move(systemRules), std::move(networkFlowRules), rules,
                      verbose ? &origins : nullptr);
    for (size_t i = 0; i < rules.size(); ++i) {
        rules[i].id = i + 1;
    }
    printSummary(systemCount, networkFlowCount, leftOut, rules, origins, verbose);
    // Both writers walk the finished list, which no one changes any more.
    // cfg.rules counts only once cfgRule is written: when that fails, what
    // the Suricata writer reported is dropped.
    SideWork suricataWriting([&] { return writeToSuricataFileRules(rules, suricataRulesPath); });
    const bool unifiedWritten = writeToFileRules(rules, unifiedRulesPath);
    const bool suricataWritten = suricataWriting.finish(unifiedWritten);
    return unifiedWritten && suricataWritten;
}

namespace {

// Runs a work directory operation; a refusal of the file system is reported
// with the path and the system's reason.
bool prepareWorkDirectory(void (*operation)(const std::string&), const std::string& path) {
    // The work directory operations report a refusal of the file system as
    // Boost's filesystem_error; it becomes the message here.
    try {
        operation(path);
        return true;
    } catch (const fs::filesystem_error& error) {
        printMessage("Can't prepare work directory '" + messagePath(path) +
                     "': " + error.code().message() + "!");
        return false;
    }
}

void removeWorkRoot() {
    // A work root that cannot be removed is reported; the conversion's
    // outcome stands.
    try {
        removeDirectory(workRootPath);
    } catch (const fs::filesystem_error& error) {
        printMessage("Can't remove work directory '" + workRootPath +
                     "': " + error.code().message() + "!");
    }
}

// Takes the exclusive lock of conversions: a lock file that only root can
// open, so that no other user can hold the lock and block every conversion.
// An invalid descriptor when another process holds it or it cannot be had,
// with a message.
FileDescriptor lockConversions() {
    const auto refuse = [](const std::string& path) {
        printMessage("Can't prepare work directory '" + messagePath(path) +
                     "': " + std::strerror(errno) + "!");
        return FileDescriptor();
    };
    if (!prepareWorkDirectory(
            [](const std::string& path) { createDirectory(path, openDirectoryMode); },
            firewallRootPath)) {
        return FileDescriptor();
    }
    // The work tree is used by its paths below the firewall's directory; that
    // is safe only while no other user can change any directory on the way
    // there (rename, link, replace), as sshd demands of the paths it trusts.
    std::string directory;
    for (const auto& part : fs::path(firewallRootPath)) {
        directory = (fs::path(directory) / part).string();
        struct stat status {};
        if (::stat(directory.c_str(), &status) != 0) {
            return refuse(directory);
        }
        if ((status.st_uid != 0 && status.st_uid != ::geteuid()) ||
            (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            printMessage("Can't prepare work directory '" + messagePath(directory) +
                         "': other users can change it!");
            return FileDescriptor();
        }
    }
    FileDescriptor fd(
        ::open(lockFilePath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        return refuse(lockFilePath);
    }
    // A lock file that is not the process user's own, or that has other
    // names, is not trusted: another user could hold it.
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || status.st_nlink != 1) {
        errno = EPERM;
        return refuse(lockFilePath);
    }
    if ((status.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0) {
        return refuse(lockFilePath);
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            printMessage("Another conversion is running: can't lock '" + firewallRootPath + "'!");
            return FileDescriptor();
        }
        return refuse(lockFilePath);
    }
    return fd;
}

// What a run does with its backup.
struct RunKind {
    bool check;   // stop before packing, writing nothing outside the work root
    bool verbose; // list where every converted rule comes from
};

// The steps of a conversion from fresh work trees to the packed output
// archive (with check, up to the written rule files). False, with the step's
// message, at the first step that fails or when an interrupting signal
// arrived.

bool convertInWorkRoot(const std::string& backupPath, OutputArchive& archive, RunKind kind) {
    const auto createClosed = [](const std::string& path) {
        createDirectory(path, closedDirectoryMode);
    };
    // Work trees left by a conversion that ended abnormally must not be read,
    // appended to or packed.
    if (!prepareWorkDirectory([](const std::string&) { prepareWorkRoot(); }, workRootPath) ||
        !prepareWorkDirectory(removeDirectory, oldWorkTreePath) ||
        !prepareWorkDirectory(removeDirectory, newWorkTreePath) ||
        !prepareWorkDirectory(createClosed, oldWorkTreePath) ||
        !prepareWorkDirectory(createClosed, newWorkTreePath) || interruptSignal() != 0) {
        return false;
    }

    mode_t backupMode = 0;
    if (!unpackArchive(backupPath, &backupMode)) {
        if (interruptSignal() == 0) {
            printMessage("Error unpack archive!");
        }
        return false;
    }

    // The rule directories become members of the output archive: their mode
    // is fixed, so that extracting the archive never makes them writable by
    // others.
    const auto createOpen = [](const std::string& path) {
        createDirectory(path, openDirectoryMode);
    };
    if (!prepareWorkDirectory(createOpen, newSuricataRulesPath) ||
        !prepareWorkDirectory(createOpen, newFirewallRulesPath) ||
        !convertRuleFiles(systemRulesFilePath, networkFlowRulesFilePath, unifiedRulesFilePath,
                          suricataRulesFilePath, oldWorkTreePath, kind.verbose) ||
        interruptSignal() != 0) {
        return false;
    }
    if (kind.check) {
        return true;
    }

    if (!packArchive(backupPath, backupMode, archive)) {
        if (interruptSignal() == 0) {
            printMessage("Error pack archive!");
        }
        return false;
    }
    return true;
}

// One conversion, or one check, of one backup, from the lock to its last
// line.
bool runBackup(const std::string& backupPath, RunKind kind) {
    const char* const failed = kind.check ? "Check failed!" : "Conversion failed!";
    const InterruptScope interrupts;
    const FileDescriptor lock = lockConversions();
    if (!lock.valid()) {
        printMessage(failed);
        return false;
    }
    // The archive's directory is held from here on, so that the check below
    // and the archive are about the same directory. One that cannot be opened
    // is reported when the archive is packed.
    OutputArchive archive;
    archive.openDirectory(backupPath);
    // Checked before anything is removed: the work root goes at the end of
    // the conversion, and with it the backup or the new archive.
    if (liesInsideWorkRoot(backupPath, archive.directoryFd())) {
        printMessage("Backup '" + messagePath(backupPath) + "' lies inside the work directory '" +
                     workRootPath + "'!");
        printMessage(failed);
        return false;
    }

    bool completed = false;
    // Out of memory, and a work directory operation that failed outside
    // prepareWorkDirectory, end the conversion with a message instead of the
    // process: the work root and any archive are still removed below.
    try {
        completed = convertInWorkRoot(backupPath, archive, kind);
    } catch (const std::bad_alloc&) {
        printMessage("Out of memory!");
    } catch (const fs::filesystem_error& error) {
        printMessage("Can't prepare work directory '" + messagePath(error.path1().string()) +
                     "': " + error.code().message() + "!");
    }
    // The work root goes before the outcome is told, so that the last line is
    // the outcome.
    removeWorkRoot();
    // A signal that arrived after packing still fails the conversion, and so
    // does an archive nobody can learn of: its archive goes like any other
    // that is not kept.
    if (kind.check) {
        completed = completed && interruptSignal() == 0 && printMessage("Check passed!");
    } else {
        completed = completed && interruptSignal() == 0 &&
                    printMessage("Output archive: " + messagePath(archive.path())) &&
                    printMessage("Conversion completed!");
    }
    if (completed) {
        archive.keep();
    } else {
        archive.discard();
        printMessage(failed);
    }
    return completed;
}

} // namespace

bool convertSettings(const std::string& backupPath, bool verbose) {
    return runBackup(backupPath, {false, verbose});
}

bool checkSettings(const std::string& backupPath, bool verbose) {
    return runBackup(backupPath, {true, verbose});
}

void usage() {
    const char* name = "mervex";
    std::printf(gettext("%s: converting a personal firewall configuration in version 1.0 "
                        "format to version 1.1 format\n\n"),
                name);
    std::printf(gettext("Usage: %s ACTION\n\n"), name);
    std::printf("%s", gettext("\n\nPossible actions are:\n\n"));
    std::printf("%s", gettext("    --file=<strValue>                     <strValue> - full backup "
                              "file name.\n"));
    std::printf("%s", gettext("    --help                                display this help\n"));
    std::printf("%s", gettext("    --check=<strValue>                    check the backup "
                              "<strValue> without writing an archive\n"));
    std::printf("%s", gettext("    --verbose                             list where every "
                              "converted rule comes from\n"));
    std::printf("%s", gettext("    --version                             output version "
                              "information and exit\n"));
    std::printf("%s", gettext("\nExamples:\n"));
    std::printf("%s", gettext("\nConverting:\n"));
    std::printf("    %s --file=/tmp/test.tar.gz\n", name);
    std::printf("%s", gettext("\nChecking:\n"));
    std::printf("    %s --check=/tmp/test.tar.gz\n", name);
    std::printf("%s", gettext("\nShow help:\n"));
    std::printf("    %s --help\n", name);
    std::fflush(stdout);
}

void version() {
    std::printf("mervex %s\n"
                "Copyright (C) 2026 The mervex authors.\n"
                "License MIT: <https://opensource.org/licenses/MIT>.\n"
                "This is free software: you are free to change and redistribute it.\n"
                "There is NO WARRANTY, to the extent permitted by law.\n",
                MERVEX_VERSION);
    std::fflush(stdout);
}

namespace {

// What getopt_long returns for each long option.
enum OptionValue : int {
    helpOption = 0,
    fileOption = 1,
    checkOption = 2,
    verboseOption = 3,
    versionOption = 4,
};

const struct option longOptions[] = {
    {"help", no_argument, nullptr, helpOption},
    {"file", required_argument, nullptr, fileOption},
    {"check", required_argument, nullptr, checkOption},
    {"verbose", no_argument, nullptr, verboseOption},
    {"version", no_argument, nullptr, versionOption},
    {nullptr, 0, nullptr, 0},
};

// True when --verbose stands anywhere on the command line: it applies to
// every conversion, also to those before it. A silent scan of its own, so
// that the C library's diagnostics come once, from the real one.
bool verboseRequested(int argc, char* argv[]) {
    const int previous = opterr;
    opterr = 0;
    optind = 0;
    bool verbose = false;
    for (int option; (option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        verbose = verbose || option == verboseOption;
    }
    opterr = previous;
    return verbose;
}

} // namespace

int runCommandLine(int argc, char* argv[]) {
    const bool verbose = verboseRequested(argc, argv);
    bool commandLineError = false;
    bool conversionFailed = false;
    const auto exitStatus = [&] {
        return conversionFailed   ? exitConversionFailed
               : commandLineError ? exitCommandLineError
                                  : exitSuccess;
    };

    optind = 0; // start a fresh scan, also when called more than once
    for (;;) {
        const int option = getopt_long(argc, argv, "", longOptions, nullptr);
        if (option == -1) {
            break;
        }
        if (option == helpOption || option == versionOption) {
            if (option == helpOption) {
                usage();
            } else {
                version();
            }
            return exitStatus();
        }
        if (option == fileOption || option == checkOption) {
            const bool done = option == fileOption ? convertSettings(optarg, verbose)
                                                   : checkSettings(optarg, verbose);
            conversionFailed = conversionFailed || !done;
            if (interruptSignal() != 0) {
                return exitBySignal + interruptSignal();
            }
            continue;
        }
        if (option != verboseOption) {
            commandLineError = true;
        }
    }
    if (optind < argc) {
        std::printf("%s: illegal parameter \"%s\"\n", "mervex", argv[optind]);
        std::fflush(stdout);
        commandLineError = true;
    }
    return exitStatus();
}
