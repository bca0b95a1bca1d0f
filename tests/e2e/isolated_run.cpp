#include "isolated_run.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace fs = boost::filesystem;

namespace e2e {

namespace {

// Every end-to-end test runs mervex in a private mount namespace, which needs
// root. Checked once, before the first test: without it every test is
// skipped with the reason, instead of each failing alike.
class IsolationCheck : public testing::Environment {
  public:
    void SetUp() override {
        int status = 0;
        shell("unshare -m --propagation private true 2>/dev/null", &status);
        if (status != 0) {
            GTEST_SKIP() << "needs root for unshare -m";
        }
    }
};

testing::Environment* const isolationCheck = testing::AddGlobalTestEnvironment(new IsolationCheck);

} // namespace

const char* const unifiedRulesMember = "./opt/varno-firewall/etc/firewall/rules/cfgRule";
const char* const suricataRulesMember = "./opt/varno-firewall/etc/suricata/rules/cfg.rules";
const char* const systemRulesBackupPath = "opt/varno-firewall/etc/firewall/rules/cfgSystemRule";
const char* const networkFlowRulesBackupPath =
    "opt/varno-firewall/etc/firewall/rules/cfgNetworkFlowRule";

const std::string oldRulesDirectory =
    std::string("/opt/varno-firewall/tmp/old/") + "opt/varno-firewall/etc/firewall/rules";

std::string cannotOpen(const std::string& file) {
    return "Can't open file '" + oldRulesDirectory + "/" + file + "' to read configuration!";
}

const std::string systemRules = "id 1\norder 1\nmessage Ping\naccess allow\nproto icmp\n"
                                "icmp_type 8\nicmp_send false\n\n";
const std::string networkFlowRules = "id 2\norder 1\nmessage Web\naccess allow\nproto tcp\n"
                                     "remote_ports 80\ndirection out\n\n";

std::string summary(int systemRulesRead, int networkFlowRulesRead, int in, int inout, int out,
                    int disabled, const std::vector<std::string>& leftOut) {
    std::string text = "Read " + std::to_string(systemRulesRead) + " system rules and " +
                       std::to_string(networkFlowRulesRead) + " network flow rules.\n";
    for (const std::string& id : leftOut)
        text += "System rule " + id + " is left out: it applies to no traffic.\n";
    return text + "Converted " + std::to_string(in + inout + out) +
           " rules: " + std::to_string(in) + " in, " + std::to_string(inout) + " inout, " +
           std::to_string(out) + " out; " + std::to_string(disabled) + " of them disabled.\n";
}

std::string fixtureSummary() {
    return summary(1, 1, 1, 0, 1, 0);
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

const char* const underStrace = "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" strace -qq";

const char* const asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
const char* const attacker = MERVEX_ATTACKER;

const std::vector<std::string> optAfterConversion = {"/opt/varno-firewall",
                                                     "/opt/varno-firewall/.mervex.lock"};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string outputArchive(const std::string& out) {
    const std::string label = "Output archive: ";
    for (const auto& line : lines(out)) {
        if (line.compare(0, label.size(), label) == 0) {
            return line.substr(label.size());
        }
    }
    return "";
}

std::map<std::string, std::string> treeOf(const std::string& dir) {
    std::map<std::string, std::string> tree;
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, 5, ".run.") == 0) {
            continue;
        }
        const bool regular = fs::is_regular_file(fs::symlink_status(it->path()));
        std::string summary;
        if (regular) {
            const std::string content = e2e::readFile(it->path().string());
            summary = std::to_string(content.size()) + " bytes, hash " +
                      std::to_string(std::hash<std::string>{}(content));
        }
        tree[fs::relative(it->path(), dir).string()] = summary;
    }
    return tree;
}

bool workRootLeft(const RunResult& result) {
    const std::string root = "/opt/varno-firewall/tmp";
    return std::any_of(result.opt.begin(), result.opt.end(), [&](const std::string& path) {
        return path.compare(0, root.size(), root) == 0 &&
               (path.size() == root.size() || path[root.size()] == '/');
    });
}

std::vector<std::map<std::string, std::string>> unifiedRules(const std::string& archive) {
    std::vector<std::map<std::string, std::string>> rules(1);
    for (const std::string& line : lines(archiveFile(archive, unifiedRulesMember))) {
        if (line.empty()) {
            rules.emplace_back();
            continue;
        }
        const std::string key = line.substr(0, std::min<size_t>(19, line.size()));
        rules.back()[key.substr(0, key.find(' '))] = line.size() > 19 ? line.substr(19) : "";
    }
    rules.pop_back(); // after the empty line that ends the last block
    return rules;
}

std::vector<std::string> convertedMessages(const std::string& archive) {
    std::vector<std::string> messages;
    for (const auto& rule : unifiedRules(archive)) {
        messages.push_back(rule.at("message"));
    }
    return messages;
}

std::string quote(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string shell(const std::string& command, int* status) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run: " + command);
    }
    std::string out;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, got);
    }
    const int result = ::pclose(pipe);
    if (status != nullptr) {
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    }
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        result.push_back(line);
    }
    return result;
}

Scratch::Scratch() {
    char templ[] = "/tmp/mervex-e2e-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
}

Scratch::~Scratch() {
    boost::system::error_code ignored;
    fs::remove_all(path_, ignored);
}

void Scratch::write(const std::string& name, const std::string& content) const {
    const fs::path target = fs::path(path_) / name;
    fs::create_directories(target.parent_path());
    std::ofstream(target.string(), std::ios::binary) << content;
}

std::string Scratch::backup(const std::string& name,
                            const std::map<std::string, std::string>& files) const {
    const std::string staging = file(name + ".staging");
    fs::create_directories(staging);
    std::string members;
    for (const auto& [member, content] : files) {
        const fs::path target = fs::path(staging) / member;
        fs::create_directories(target.parent_path());
        std::ofstream(target.string(), std::ios::binary) << content;
    }
    const std::string archive = file(name);
    int status = 0;
    shell("tar -czf " + quote(archive) + " -C " + quote(staging) + " . 2>&1", &status);
    fs::remove_all(staging);
    if (status != 0) {
        throw std::runtime_error("tar failed for " + archive);
    }
    return archive;
}

std::string Scratch::legacyBackup(const std::string& name, const std::string& systemRules,
                                  const std::string& networkFlowRules) const {
    return backup(name, {{systemRulesBackupPath, systemRules},
                         {networkFlowRulesBackupPath, networkFlowRules}});
}

std::string Scratch::exampleBackup(const std::string& name) const {
    int status = 0;
    shell(quote(std::string(MERVEX_SOURCE_DIR) + "/scripts/make-example-backup.sh") + " " +
              quote(file(name)) + " 2>&1",
          &status);
    return status == 0 ? file(name) : std::string();
}

std::string Scratch::directoryOfNobody(const std::string& name) const {
    fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exe |
                               fs::perms::others_read | fs::perms::others_exe);
    const std::string dir = file(name);
    fs::create_directories(dir);
    int status = 0;
    shell("chown 65534:65534 " + quote(dir) + " && chmod 0755 " + quote(dir), &status);
    if (status != 0) {
        throw std::runtime_error("cannot hand " + dir + " to nobody");
    }
    return dir;
}

std::vector<std::string> Scratch::archivesIn(const std::string& dir,
                                             const std::vector<std::string>& exclude) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 7 && name.compare(name.size() - 7, 7, ".tar.gz") == 0 &&
            std::find(exclude.begin(), exclude.end(), name) == exclude.end()) {
            found.push_back(entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string tarWrapper(const Scratch& scratch, const std::string& snippet,
                       const std::string& after) {
    const std::string realTar = shell("command -v tar | tr -d '\\n'");
    const std::string runTar =
        after.empty() ? "exec " + quote(realTar) + " \"$@\"\n"
                      : quote(realTar) + " \"$@\"\nstatus=$?\n" + after + "\nexit $status\n";
    scratch.write("bin/tar", "#!/bin/sh\n"
                             "mervex=$PPID\n"
                             "[ \"$(cat /proc/$mervex/comm)\" = mervex ] || "
                             "mervex=$(cut -d' ' -f4 /proc/$mervex/stat)\n" +
                                 snippet + "\n" + runTar);
    shell("chmod 0755 " + quote(scratch.file("bin")) + " " + quote(scratch.file("bin/tar")));
    return "export PATH=" + quote(scratch.file("bin")) + ":$PATH";
}

RunResult runMervex(const Scratch& scratch, const std::vector<std::string>& args,
                    const RunOptions& options) {
    const std::string outFile = scratch.file(".run.out");
    const std::string errFile = scratch.file(".run.err");
    const std::string statusFile = scratch.file(".run.status");
    const std::string optFile = scratch.file(".run.opt");
    for (const auto& f : {outFile, errFile, statusFile, optFile}) {
        fs::remove(f);
    }

    std::string command = MERVEX_BINARY;
    for (const auto& arg : args) {
        command += " " + quote(arg);
    }
    const std::string cwd = options.cwd.empty() ? scratch.path() : options.cwd;
    const std::string script = "set -u\n"
                               "mount -t tmpfs -o mode=0755,size=" +
                               options.optSize + " tmpfs /opt || exit 97\n" + options.before +
                               "\n"
                               "cd " +
                               quote(cwd) +
                               " || exit 98\n"
                               "timeout -s KILL " +
                               std::to_string(options.timeoutSeconds) + " " + command + " >" +
                               quote(outFile) + " 2>" + quote(errFile) + " </dev/null\n" +
                               "echo $? >" + quote(statusFile) + "\n" + options.after +
                               "\n"
                               "find /opt -mindepth 1 | sort >" +
                               quote(optFile) + "\n";
    scratch.write(".run.sh", script);

    int status = 0;
    shell("unshare -m --propagation private bash " + quote(scratch.file(".run.sh")) + " 2>&1",
          &status);
    if (status != 0) {
        throw std::runtime_error("the isolated run failed with status " + std::to_string(status));
    }
    RunResult result;
    result.status = std::stoi(readFile(statusFile));
    result.out = readFile(outFile);
    result.err = readFile(errFile);
    result.opt = lines(readFile(optFile));
    return result;
}

std::vector<std::string> archiveMembers(const std::string& archive) {
    int status = 0;
    const std::string listing = shell("tar -tzf " + quote(archive), &status);
    if (status != 0) {
        throw std::runtime_error("cannot list " + archive);
    }
    return lines(listing);
}

std::string archiveFile(const std::string& archive, const std::string& member) {
    int status = 0;
    const std::string content = shell("tar -xzOf " + quote(archive) + " " + quote(member), &status);
    if (status != 0) {
        throw std::runtime_error("cannot read " + member + " from " + archive);
    }
    return content;
}

} // namespace e2e
