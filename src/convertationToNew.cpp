#include "convertationToNew.h"

#include "common.h"

#include <boost/algorithm/string/erase.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <initializer_list>
#include <libintl.h>
#include <regex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

const std::vector<std::string> protocols = {"tcp", "udp", "icmp", "ip", "smb"};
const std::string inputValue = "in";
const std::string outputValue = "out";
const std::string inoutValue = "inout";

RuleInfo::RuleInfo(const SystemRuleInfo& rule, uint32_t position)
    : order(position), icmpType(rule.icmpType), icmpCode(rule.icmpCode), message(rule.message),
      action(rule.access), protocol(rule.proto), localAddrs(rule.localAddrs),
      remoteAddrs(rule.remoteAddrs), adapters(rule.adapters), exefile(rule.exefile),
      schedule(rule.schedule), content(rule.content), direction(inoutValue), audit(rule.audit),
      enable(rule.enable), substr(rule.substr), nocase(rule.nocase) {
    if (rule.icmpSend && !rule.icmpReceive) {
        direction = outputValue;
    } else if (!rule.icmpSend && rule.icmpReceive) {
        direction = inputValue;
    }
}

RuleInfo::RuleInfo(const NetworkFlowRuleInfo& rule, uint32_t position)
    : order(position), message(rule.message), action(rule.access), protocol(rule.proto),
      localAddrs(rule.localAddrs), localPorts(rule.localPorts), remoteAddrs(rule.remoteAddrs),
      remotePorts(rule.remotePorts), exefile(rule.exefile), schedule(rule.schedule),
      content(rule.content), direction(rule.direction), wildcard(rule.wildcard),
      regexp(rule.regexp), audit(rule.audit), enable(rule.enable), substr(rule.substr),
      nocase(rule.nocase) {}

ProtocolClass classifyProtocol(std::string_view protocol) {
    // IP protocol numbers of the protocol names that have no header word of
    // their own; such rules are written as "ip" with ip_proto.
    static const std::pair<std::string_view, std::string_view> numbers[] = {
        {"egp", "8"}, {"hmp", "20"}, {"xns-idp", "22"}, {"rdp", "27"}, {"rvd", "66"},
    };
    // Names are told apart by their first byte before they are compared
    // whole: this runs three times for every rule.
    const auto sameName = [protocol](std::string_view name) {
        return !protocol.empty() && name[0] == protocol[0] && name == protocol;
    };
    ProtocolClass result;
    const auto name = std::find_if(protocols.begin(), protocols.end(), sameName);
    if (name != protocols.end()) {
        result.headerWord = *name;
        result.icmp = protocol == "icmp";
        return result;
    }
    result.headerWord = "ip";
    if (protocol == "any") {
        return result;
    }
    for (const auto& [protocolName, number] : numbers) {
        if (sameName(protocolName)) {
            result.ipProto = number;
            return result;
        }
    }
    const std::string text(protocol);
    if (isDigit(text)) {
        // A protocol given as a number is ICMP when it reads as the int 1; a
        // number beyond the int range is not.
        bool ok = false;
        result.ipProto = protocol;
        result.icmp = strToInt(text.c_str(), &ok) == 1 && ok;
        return result;
    }
    result.expressible = false;
    return result;
}

namespace {

// The action words of the rule language.
bool isRuleAction(std::string_view action) {
    return action == "alert" || action == "pass" || action == "drop" || action == "reject";
}

// A set of bytes, looked up by one table access: values are scanned for the
// bytes they must not hold, or that are escaped, in a single pass.
class ByteSet {
  public:
    // The bytes of the text, and with controls, 0x00 to 0x1F and 0x7F.
    ByteSet(std::string_view bytes, bool controls) {
        for (const char c : bytes) {
            members_[static_cast<unsigned char>(c)] = 1;
        }
        if (controls) {
            for (int c = 0; c < 0x20; ++c) {
                members_[c] = 1;
            }
            members_[0x7f] = 1;
        }
    }

    // The position of the first member in value at or after from, or npos.
    // Values seldom hold a member: eight bytes at a time are tested with one
    // branch, and only the eight that hold one are searched byte by byte.
    size_t findIn(std::string_view value, size_t from = 0) const {
        const auto* const bytes = reinterpret_cast<const unsigned char*>(value.data());
        size_t i = from;
        for (; i + 8 <= value.size(); i += 8) {
            const unsigned char* const p = bytes + i;
            if ((members_[p[0]] | members_[p[1]] | members_[p[2]] | members_[p[3]] |
                 members_[p[4]] | members_[p[5]] | members_[p[6]] | members_[p[7]]) != 0) {
                break;
            }
        }
        for (; i < value.size(); ++i) {
            if (members_[bytes[i]] != 0) {
                return i;
            }
        }
        return std::string_view::npos;
    }

  private:
    std::array<unsigned char, 256> members_{};
};

// What a value must not hold to be written into cfg.rules.
enum class Writable {
    Anything,   // escaped where it is written (message, content)
    QuotedText, // quoted as it is: no '"' or ';', no backslash at the end
    Pattern,    // pcre: '"' and ';' are escaped, so no backslash before them or at the end
    List,       // a header column: no brackets, parentheses, '"' or ';'
};

// What values of each kind must not hold; control bytes are refused in every
// kind of value.
const ByteSet controls("", true);
const ByteSet quotedTextRefused("\";", true);
const ByteSet listRefused("[]()\";", true);

bool isWritable(std::string_view value, Writable kind) {
    switch (kind) {
    case Writable::Anything:
        return controls.findIn(value) == std::string_view::npos;
    case Writable::QuotedText:
        return quotedTextRefused.findIn(value) == std::string_view::npos &&
               (value.empty() || value.back() != '\\');
    case Writable::Pattern:
        return controls.findIn(value) == std::string_view::npos &&
               value.find("\\\"") == std::string_view::npos &&
               value.find("\\;") == std::string_view::npos &&
               (value.empty() || value.back() != '\\');
    case Writable::List:
        return listRefused.findIn(value) == std::string_view::npos;
    }
    return false;
}

// One legacy value that cfg.rules carries, with the key it came from.
struct CarriedValue {
    const char* key;
    std::string_view value;
    Writable kind;
};

// Reports every carried value of one rule (of the kind, "system rule" or
// "network flow rule", with the id) that cannot be written; false when there
// was one. The action is judged as it is written ("allow" becomes "drop").
bool checkWritable(std::string_view access, std::initializer_list<CarriedValue> values,
                   const char* kind, uint64_t id) {
    bool valid = true;
    const auto refuse = [&](const char* key, std::string_view value) {
        printMessage("Value '" + messageValue(value) + "' of '" + key + "' of " + kind + " " +
                     std::to_string(id) + " can't be written as a rule!");
        valid = false;
    };
    if (!isRuleAction(access == "allow" ? std::string_view("drop") : access)) {
        refuse("access", access);
    }
    for (const CarriedValue& carried : values) {
        if (interruptSignal() != 0) {
            return false;
        }
        if (!isWritable(carried.value, carried.kind)) {
            refuse(carried.key, carried.value);
        }
    }
    return valid;
}

} // namespace

bool validateRules(const std::vector<SystemRuleInfo>& systemRules,
                   const std::vector<NetworkFlowRuleInfo>& networkFlowRules) {
    bool valid = true;
    for (const auto& rule : systemRules) {
        if (interruptSignal() != 0) {
            return false;
        }
        // A rule for neither direction is not converted at all.
        if (appliesToNoTraffic(rule)) {
            continue;
        }
        if (!classifyProtocol(rule.proto).expressible) {
            printMessage("Unknown protocol '" + messageValue(rule.proto) + "' of system rule " +
                         std::to_string(rule.id) + "!");
            valid = false;
        }
        valid &= checkWritable(rule.access,
                               {{"message", rule.message, Writable::Anything},
                                {"local_addrs", rule.localAddrs, Writable::List},
                                {"remote_addrs", rule.remoteAddrs, Writable::List},
                                {"adapters", rule.adapters, Writable::QuotedText},
                                {"exefile", rule.exefile, Writable::QuotedText},
                                {"schedule", rule.schedule, Writable::QuotedText},
                                {"content", rule.content, Writable::Anything}},
                               "system rule", rule.id);
    }
    for (const auto& rule : networkFlowRules) {
        if (interruptSignal() != 0) {
            return false;
        }
        const auto name = [&] { return "network flow rule " + std::to_string(rule.id); };
        if (rule.direction != inputValue && rule.direction != outputValue &&
            rule.direction != inoutValue) {
            printMessage("Invalid direction '" + messageValue(rule.direction) + "' of " + name() +
                         "!");
            valid = false;
        }
        if (!classifyProtocol(rule.proto).expressible) {
            printMessage("Unknown protocol '" + messageValue(rule.proto) + "' of " + name() + "!");
            valid = false;
        }
        valid &= checkWritable(rule.access,
                               {{"message", rule.message, Writable::Anything},
                                {"local_addrs", rule.localAddrs, Writable::List},
                                {"local_ports", rule.localPorts, Writable::List},
                                {"remote_addrs", rule.remoteAddrs, Writable::List},
                                {"remote_ports", rule.remotePorts, Writable::List},
                                {"schedule", rule.schedule, Writable::QuotedText},
                                {"exefile", rule.exefile, Writable::QuotedText},
                                {"content", rule.content, Writable::Anything},
                                {"wildcard", rule.wildcard, Writable::QuotedText},
                                {"regexp", rule.regexp, Writable::Pattern}},
                               "network flow rule", rule.id);
    }
    return valid;
}

namespace {

// The passes of the merge, in the order the unified list takes their rules:
// network flow rules for in, system rules for receiving only, network flow
// rules for inout, system rules for both directions, system rules for
// sending only, network flow rules for out. A rule belongs to one pass at
// most; None is taken by no pass.
enum class Pass : uint8_t { FlowIn, SystemIn, FlowInout, SystemInout, SystemOut, FlowOut, None };

Pass passOf(const NetworkFlowRuleInfo& rule) {
    return rule.direction == inputValue    ? Pass::FlowIn
           : rule.direction == inoutValue  ? Pass::FlowInout
           : rule.direction == outputValue ? Pass::FlowOut
                                           : Pass::None;
}

Pass passOf(const SystemRuleInfo& rule) {
    return !rule.icmpSend && rule.icmpReceive   ? Pass::SystemIn
           : rule.icmpSend && rule.icmpReceive  ? Pass::SystemInout
           : rule.icmpSend && !rule.icmpReceive ? Pass::SystemOut
                                                : Pass::None;
}

// A legacy rule's place in the unified list: its pass, then its order. The
// records are large and stay where they are: what is sorted is this compact
// key beside a pointer to the rule of one list or the other.
struct MergeKey {
    Pass pass;
    uint64_t order;
    const SystemRuleInfo* system;           // null for a network flow rule
    const NetworkFlowRuleInfo* networkFlow; // null for a system rule
};

} // namespace

void convertationRules(std::vector<SystemRuleInfo> systemRules,
                       std::vector<NetworkFlowRuleInfo> networkFlowRules,
                       std::vector<RuleInfo>& rules, std::vector<RuleOrigin>* origins) {
    rules.clear();
    // Every rule at most is taken: the list never grows by copying.
    rules.reserve(systemRules.size() + networkFlowRules.size());
    adviseHugePages(rules.data(), rules.capacity() * sizeof(RuleInfo));
    if (origins != nullptr) {
        origins->clear();
        origins->reserve(rules.capacity());
    }

    // One stable sort by pass and order gives the whole unified list: each
    // pass takes the rules of one list only, sorted by order, rules of equal
    // order as they stand in their file.
    std::vector<MergeKey> keys;
    keys.reserve(systemRules.size() + networkFlowRules.size());
    for (const NetworkFlowRuleInfo& rule : networkFlowRules) {
        keys.push_back({passOf(rule), rule.order, nullptr, &rule});
    }
    for (const SystemRuleInfo& rule : systemRules) {
        keys.push_back({passOf(rule), rule.order, &rule, nullptr});
    }
    std::stable_sort(keys.begin(), keys.end(), [](const MergeKey& a, const MergeKey& b) {
        return a.pass != b.pass ? a.pass < b.pass : a.order < b.order;
    });

    uint32_t position = 1;
    for (const MergeKey& key : keys) {
        if (key.pass == Pass::None) {
            break; // rules of no pass are sorted last
        }
        if (origins != nullptr) {
            origins->push_back(
                key.system != nullptr
                    ? RuleOrigin{true, key.system->id, key.system->order}
                    : RuleOrigin{false, key.networkFlow->id, key.networkFlow->order});
        }
        if (key.system != nullptr) {
            rules.emplace_back(*key.system, position++);
        } else {
            rules.emplace_back(*key.networkFlow, position++);
        }
    }
}

namespace {

// Appends text to a file through a buffer of its own and tells whether every
// byte reached the file and the file was closed cleanly. The file gets the
// rule file mode whatever the file-creation mask.
class FileWriter {
  public:
    explicit FileWriter(const std::string& path)
        : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, ruleFileMode)) {
        // The file-creation mask may have narrowed the mode of a new file.
        struct stat status {};
        if (fd_ >= 0 && ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode) &&
            (status.st_mode & 07777) != ruleFileMode && ::fchmod(fd_, ruleFileMode) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        buffer_.reserve(capacity);
    }
    ~FileWriter() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    // The text not yet written to the file. It is written out only by
    // lineEnded() and close(), never in the middle of a line: whatever was
    // appended since the last lineEnded() is still here, and may be cut.
    std::string& pending() { return buffer_; }

    // Tells that the pending text ends with a whole line (or block of
    // lines); it is written out here once enough has gathered.
    void lineEnded() {
        if (buffer_.size() >= capacity) {
            flush();
        }
    }

    // Writes what is left and closes the file; false when anything was lost.
    bool close() {
        flush();
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 && !failed_;
    }

  private:
    static constexpr size_t capacity = 1 << 20;

    void flush() {
        const char* data = buffer_.data();
        size_t left = buffer_.size();
        while (left > 0 && !failed_) {
            const ssize_t written = ::write(fd_, data, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                failed_ = true;
                break;
            }
            data += written;
            left -= static_cast<size_t>(written);
        }
        buffer_.clear();
    }

    int fd_;
    std::string buffer_;
    bool failed_ = false;
};

bool closeWriter(FileWriter& writer, const std::string& path) {
    if (!writer.close()) {
        printMessage("Can't write file '" + messagePath(path) + "'!");
        return false;
    }
    return true;
}

// The block of one rule in the unified rule file: a line for each
// parameter, its key in a column of 19 characters, then its value; an empty
// line ends the block. The lines are gathered first and laid out in one
// piece: room for all of them, filled with spaces, then each key and value
// copied into place.
class ParameterBlock {
  public:
    // The key and the value must stay until the block is appended.
    void add(std::string_view key, std::string_view value) {
        lines_.at(count_++) = {key, value};
        size_ += keyColumn + value.size() + 1;
    }

    void appendTo(std::string& out) const {
        const size_t start = out.size();
        out.resize(start + size_, ' ');
        char* next = &out[start];
        for (size_t i = 0; i < count_; ++i) {
            lines_[i].key.copy(next, lines_[i].key.size());
            next += keyColumn;
            next += lines_[i].value.copy(next, lines_[i].value.size());
            *next++ = '\n';
        }
        *next = '\n';
    }

  private:
    static constexpr size_t keyColumn = 19;
    struct Line {
        std::string_view key;
        std::string_view value;
    };
    std::array<Line, 25> lines_; // every parameter of a rule once
    size_t count_ = 0;
    size_t size_ = 1; // the empty line
};

std::string_view boolText(bool value) {
    return value ? "true" : "false";
}

// A number in decimal, in a buffer of its own.
class DecimalText {
  public:
    template <typename Number> explicit DecimalText(Number n) {
        size_ =
            static_cast<size_t>(std::to_chars(digits_, digits_ + sizeof digits_, n).ptr - digits_);
    }
    std::string_view text() const { return std::string_view(digits_, size_); }

  private:
    char digits_[24];
    size_t size_;
};

// An ICMP type or code: empty for none (-1).
std::string_view icmpText(int32_t value, const DecimalText& text) {
    return value == -1 ? std::string_view() : text.text();
}

} // namespace

bool writeToFileRules(const std::vector<RuleInfo>& rules, const std::string& path) {
    FileWriter writer(path);
    if (!writer.isOpen()) {
        return reportOpenFailure("Can't open file to write configuration: ", path);
    }
    std::string& out = writer.pending();
    for (const RuleInfo& rule : rules) {
        if (interruptSignal() != 0) {
            return false;
        }
        const DecimalText order(rule.order);
        const DecimalText id(rule.id);
        const DecimalText icmpType(rule.icmpType);
        const DecimalText icmpCode(rule.icmpCode);
        ParameterBlock block;
        block.add("order", order.text());
        block.add("message", rule.message);
        block.add("action", rule.action);
        block.add("protocol", rule.protocol);
        block.add("subjects", rule.subjects);
        block.add("objects", rule.objects);
        if (classifyProtocol(rule.protocol).icmp) {
            block.add("icmp_type", icmpText(rule.icmpType, icmpType));
            block.add("icmp_code", icmpText(rule.icmpCode, icmpCode));
        }
        block.add("local_addrs", rule.localAddrs);
        block.add("local_ports", rule.localPorts);
        block.add("remote_addrs", rule.remoteAddrs);
        block.add("remote_ports", rule.remotePorts);
        block.add("adapters", rule.adapters);
        block.add("exefile", rule.exefile);
        block.add("substr", boolText(rule.substr));
        block.add("content", rule.content);
        block.add("wildcard", rule.wildcard);
        block.add("regexp", rule.regexp);
        block.add("direction", rule.direction);
        block.add("nocase", boolText(rule.nocase));
        block.add("schedule", rule.schedule);
        block.add("enable", boolText(rule.enable));
        block.add("audit", boolText(rule.audit));
        block.add("alarm", boolText(rule.alarm));
        block.add("id", id.text());
        block.appendTo(out);
        writer.lineEnded();
    }
    return closeWriter(writer, path);
}

namespace {

// Writes text at the end of a line through a pointer, so that a line of many
// small pieces costs no call a piece. Room for the text expected is made at
// once; every write still checks the room left and makes more when it runs
// out, so the estimate only sets the speed. The line is cut to what was
// written when the cursor goes. Nothing else may change the line meanwhile.
class LineCursor {
  public:
    LineCursor(std::string& line, size_t expected) : line_(line), used_(line.size()) {
        line_.resize(used_ + expected);
    }
    ~LineCursor() { line_.resize(used_); }
    LineCursor(const LineCursor&) = delete;
    LineCursor& operator=(const LineCursor&) = delete;

    void add(std::string_view text) {
        std::char_traits<char>::copy(room(text.size()), text.data(), text.size());
    }
    void add(char c) { *room(1) = c; }

    // Takes back the last count characters written.
    void takeBack(size_t count) { used_ -= count; }

  private:
    // The place of the next size characters, counted as written.
    char* room(size_t size) {
        if (size > line_.size() - used_) {
            grow(size);
        }
        char* const at = &line_[used_];
        used_ += size;
        return at;
    }

    // Makes room for size more characters; kept out of line, so that the
    // writes, which seldom need it, stay small enough to be inlined.
    __attribute__((noinline)) void grow(size_t size) {
        line_.resize(std::max(2 * line_.size(), used_ + size));
    }

    std::string& line_;
    size_t used_; // the size of the line written so far
};

// Characters escaped with a backslash inside a quoted option value: in msg
// and content the rule language reads "\\", "\"" and "\;"; in a pcre
// pattern a backslash belongs to the regular expression (which reads "\;" as
// ";"), so only the quote and the option end are escaped.
const ByteSet textSpecials("\\\";", false);
const ByteSet patternSpecials("\";", false);

// Writes the value with a backslash before each of the special characters,
// a run of other characters at a time.
void addEscaped(LineCursor& line, std::string_view value, const ByteSet& specials) {
    size_t run = 0;
    for (size_t i = specials.findIn(value); i != std::string_view::npos;
         i = specials.findIn(value, i + 1)) {
        line.add(value.substr(run, i - run));
        line.add('\\');
        run = i;
    }
    line.add(value.substr(run));
}

// Writes " option:"value";" for a quoted option, the value escaped with the
// specials (none when null), with " nocase;" after it when asked.
void addQuotedOption(LineCursor& line, std::string_view option, std::string_view value, bool nocase,
                     const ByteSet* specials = nullptr) {
    line.add(' ');
    line.add(option);
    line.add(":\"");
    if (specials != nullptr) {
        addEscaped(line, value, *specials);
    } else {
        line.add(value);
    }
    line.add(nocase ? "\"; nocase;" : "\";");
}

// Writes " name:value;" with a number as its value.
template <typename Number> void addNumberOption(LineCursor& line, std::string_view name, Number n) {
    line.add(' ');
    line.add(name);
    line.add(':');
    line.add(DecimalText(n).text());
    line.add(';');
}

// Room enough for options of these values, escaped, and their names: the
// estimate of a cursor over a part of the option list.
size_t optionRoom(std::initializer_list<std::string_view> values) {
    size_t size = 256;
    for (const std::string_view value : values) {
        size += 2 * value.size();
    }
    return size;
}

// A header column: " any" for an empty list, else the formatted list.
void appendColumn(std::string& line, std::string_view value,
                  bool (*format)(std::string_view, std::string&)) {
    if (value.empty()) {
        line += " any";
    } else {
        format(value, line);
    }
}

// The header of a rule line: "#" for a disabled rule, the action word, the
// protocol word, source address and ports, "<>", destination address and
// ports.
void appendHeader(std::string& line, const RuleInfo& rule, const ProtocolClass& protocol) {
    {
        LineCursor start(line, 2 + rule.action.size() + protocol.headerWord.size());
        if (!rule.enable) {
            start.add('#');
        }
        start.add(rule.action == "allow" ? std::string_view("drop") : rule.action);
        start.add(' ');
        start.add(protocol.headerWord);
    }
    appendColumn(line, rule.localAddrs, formatIPAddress);
    appendColumn(line, rule.localPorts, formatPorts);
    line += " <>";
    appendColumn(line, rule.remoteAddrs, formatIPAddress);
    appendColumn(line, rule.remotePorts, formatPorts);
}

// The option list, "(msg ... sid)", one row after another in their fixed
// order, each when its condition holds; false, with the line left
// unfinished, when a subjects or objects value is refused.
bool appendOptions(std::string& line, const RuleInfo& rule, const ProtocolClass& protocol) {
    {
        LineCursor options(line, optionRoom({rule.message}));
        options.add(" (msg:\"");
        addEscaped(options, rule.message, textSpecials);
        options.add("\";");
        if (!protocol.ipProto.empty()) {
            options.add(" ip_proto:");
            options.add(protocol.ipProto);
            options.add(';');
        }
        if (protocol.icmp && rule.icmpType != -1) {
            addNumberOption(options, "itype", rule.icmpType);
        }
        if (protocol.icmp && rule.icmpCode != -1) {
            addNumberOption(options, "icode", rule.icmpCode);
        }
        if (rule.action == "allow") {
            options.add(" inverse;");
        }
    }
    if (!rule.subjects.empty() && !formatSubjects(rule, line)) {
        return false;
    }
    if (!rule.objects.empty() && !formatObjects(rule.objects, line)) {
        return false;
    }
    LineCursor options(line, optionRoom({rule.exefile, rule.content, rule.wildcard, rule.regexp,
                                         rule.schedule, rule.adapters, rule.direction}));
    if (!rule.exefile.empty()) {
        options.add(" exefile:\"");
        options.add(rule.exefile);
        options.add(rule.substr ? "\"; substr;" : "\";");
        if (rule.nocase) {
            options.add(" nocase;");
        }
    }
    if (!rule.audit) {
        options.add(" noalert;");
    }
    if (rule.alarm) {
        options.add(" alarm;");
    }
    if (!rule.content.empty()) {
        addQuotedOption(options, "content", rule.content, rule.nocase, &textSpecials);
    }
    if (!rule.wildcard.empty()) {
        addQuotedOption(options, "wildcard", rule.wildcard, rule.nocase);
    }
    if (!rule.regexp.empty()) {
        addQuotedOption(options, "pcre", rule.regexp, rule.nocase, &patternSpecials);
    }
    if (!rule.schedule.empty()) {
        addQuotedOption(options, "schedule", rule.schedule, false);
    }
    addNumberOption(options, "priority", rule.order);
    options.add(" iface:\"");
    options.add(rule.adapters.empty() ? std::string_view("*") : rule.adapters);
    options.add('=');
    options.add(rule.direction);
    options.add("\";");
    addNumberOption(options, "sid", rule.id);
    options.add(")\n");
    return true;
}

// Builds the Suricata line of one rule; false, with the line left
// unfinished, when the rule cannot be expressed.
bool buildSuricataLine(const RuleInfo& rule, std::string& line) {
    const ProtocolClass protocol = classifyProtocol(rule.protocol);
    if (!protocol.expressible) {
        printMessage("Unknown protocol '" + messageValue(rule.protocol) + "' of rule " +
                     std::to_string(rule.id) + "!");
        return false;
    }
    appendHeader(line, rule, protocol);
    return appendOptions(line, rule, protocol);
}

} // namespace

bool writeToSuricataFileRules(const std::vector<RuleInfo>& rules, const std::string& path) {
    FileWriter writer(path);
    if (!writer.isOpen()) {
        return reportOpenFailure("Can't open Suricata file to write configuration: ", path);
    }
    std::string& out = writer.pending();
    for (const RuleInfo& rule : rules) {
        if (interruptSignal() != 0) {
            return false;
        }
        const size_t lineStart = out.size();
        if (!buildSuricataLine(rule, out)) {
            // The refused rule's partial line is cut: pending text is never
            // written out in the middle of a line, so all of it is still
            // pending. The lines of the rules before it are written.
            out.resize(lineStart);
            closeWriter(writer, path);
            return false;
        }
        writer.lineEnded();
    }
    return closeWriter(writer, path);
}

namespace {

// Calls visit with every item of the list, split at every separator: two
// separators in a row give an empty item, and so does one at the end.
template <typename Visit> void forEachItem(std::string_view list, char separator, Visit visit) {
    for (;;) {
        const size_t end = list.find(separator);
        visit(list.substr(0, end));
        if (end == std::string_view::npos) {
            return;
        }
        list.remove_prefix(end + 1);
    }
}

// Writes the text without its space characters, a run of other characters
// at a time.
void addWithoutSpaces(LineCursor& line, std::string_view text) {
    for (size_t space = text.find(' '); space != std::string_view::npos; space = text.find(' ')) {
        line.add(text.substr(0, space));
        text.remove_prefix(space + 1);
    }
    line.add(text);
}

// Splits "key:names" into the key and the name list; anything after a second
// ":" is dropped. False when there is no ":" at all.
bool splitKeyAndNames(std::string_view value, std::string& key, std::string_view& names) {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    key.assign(value.substr(0, colon));
    const size_t end = value.find(':', colon + 1);
    names = value.substr(colon + 1, end == std::string_view::npos ? end : end - colon - 1);
    return true;
}

} // namespace

bool formatIPAddress(std::string_view addrs, std::string& line) {
    // An item separator "," becomes ", ": the column is at most twice as
    // long as the list, with its brackets.
    LineCursor column(line, 2 * addrs.size() + 3);
    column.add(" [");
    forEachItem(addrs, ',', [&column](std::string_view item) {
        addWithoutSpaces(column, item);
        column.add(", ");
    });
    column.takeBack(2);
    column.add(']');
    return true;
}

bool formatPorts(std::string_view ports, std::string& line) {
    // "," becomes ", " and "-" becomes ": ": at most twice the list.
    LineCursor column(line, 2 * ports.size() + 3);
    column.add(" [");
    forEachItem(ports, ',', [&column](std::string_view item) {
        // A range "low-high" is written "low: high". An item with more than
        // one dash keeps only its part before the first dash.
        const size_t dash = item.find('-');
        addWithoutSpaces(column, item.substr(0, dash));
        if (dash != std::string_view::npos && item.find('-', dash + 1) == std::string_view::npos) {
            column.add(": ");
            addWithoutSpaces(column, item.substr(dash + 1));
        }
        column.add(", ");
    });
    column.takeBack(2);
    column.add(']');
    return true;
}

bool formatSubjects(const RuleInfo& rule, std::string& line) {
    std::string key;
    std::string_view names;
    if (!splitKeyAndNames(rule.subjects, key, names)) {
        return false;
    }
    boost::algorithm::erase_all(key, " ");
    const bool smb = rule.protocol == "smb";
    if (key == "users") {
        line += smb ? " smb.user:\"" : " user:\"";
    } else if (key == "groups") {
        line += smb ? " smb.group:\"" : " group:\"";
    } else {
        return false;
    }
    forEachItem(names, ',', [&line](std::string_view name) {
        // Spaces go; a domain\user name keeps its backslash, escaped.
        for (const char c : name) {
            if (c != ' ') {
                line += c;
            }
            if (c == '\\') {
                line += '\\';
            }
        }
        line += ',';
    });
    line.pop_back();
    line += "\";";
    return true;
}

bool formatObjects(std::string_view objects, std::string& line) {
    std::string key;
    std::string_view names;
    if (!splitKeyAndNames(objects, key, names)) {
        return false;
    }
    boost::algorithm::trim_if(key, isCSpace);
    if (key == "shares") {
        line += " smb.share; ";
    } else if (key == "channels") {
        line += " smb.named_pipe; ";
    } else {
        return false;
    }
    static const std::regex special(R"(([\^\$\*\+\?\{\}\[\]\\\|\(\)\.]))", std::regex::ECMAScript);
    static const std::regex whitespace(R"(\s)", std::regex::ECMAScript);
    line += "pcre:\"/^(?:";
    forEachItem(names, ',', [&line](std::string_view item) {
        std::string name = boost::algorithm::trim_copy_if(std::string(item), isCSpace);
        name = std::regex_replace(name, special, "\\$1");
        name = std::regex_replace(name, whitespace, "\\s");
        line += name;
        line += '|';
    });
    line.pop_back();
    line += ")$/\";";
    return true;
}
