// Runs the built mervex binary inside a private mount namespace with a fresh
// tmpfs on /opt, so that the real /opt is never touched, and collects what the
// run printed, its exit status and what it left under /opt.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace e2e {

// What one run of mervex produced.
struct RunResult {
    int status = -1;              // exit status of mervex (or of timeout: 124)
    std::string out;              // standard output
    std::string err;              // standard error
    std::vector<std::string> opt; // every path under /opt after the run, sorted
};

struct RunOptions {
    std::string optSize = "64m"; // size of the tmpfs mounted on /opt
    std::string before;          // shell commands run after mounting, before mervex
    std::string after;           // shell commands run after mervex, before /opt is listed
    std::string cwd;             // working directory of mervex (default: the scratch directory)
    int timeoutSeconds = 120;    // mervex is killed after this long
};

// A scratch directory on the real file system, outside /opt, for backups and
// output archives; removed with the object.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes a file (parents created) below the scratch directory.
    void write(const std::string& name, const std::string& content) const;

    // Makes a gzip-compressed backup archive at name holding the given files,
    // their names relative to the root of the file system (such as
    // "opt/varno-firewall/etc/firewall/rules/cfgSystemRule").
    std::string backup(const std::string& name,
                       const std::map<std::string, std::string>& files) const;

    // The bundled example backup (scripts/make-example-backup.sh) packed at
    // name; returns its path, or an empty text when packing failed.
    std::string exampleBackup(const std::string& name) const;

    // A backup holding the two legacy rule files with these contents.
    std::string legacyBackup(const std::string& name, const std::string& systemRules,
                             const std::string& networkFlowRules) const;

    // Lets other users reach the scratch directory (mode 0755), and makes a
    // directory below it owned by the unprivileged user of the attack tests;
    // returns its path.
    std::string directoryOfNobody(const std::string& name) const;

    // Output archives (*.tar.gz other than those named in exclude) directly in dir.
    std::vector<std::string> archivesIn(const std::string& dir,
                                        const std::vector<std::string>& exclude) const;

  private:
    std::string path_;
};

// Runs mervex with the arguments inside a new mount namespace.
RunResult runMervex(const Scratch& scratch, const std::vector<std::string>& args,
                    const RunOptions& options = {});

// Puts a tar on the front of the search path that runs the script snippet
// before the real tar, and the snippet after once the real tar has ended
// (when given; tar's exit status is kept). The snippets see the tar
// arguments and $mervex, the process id of the converter. Returns the shell
// command that puts it there, for RunOptions::before.
std::string tarWrapper(const Scratch& scratch, const std::string& snippet,
                       const std::string& after = "");

// Command prefix that runs a command as the unprivileged second user
// (nobody), with no supplementary groups.
extern const char* const asNobody;
// The attacker helper program (attacker.cpp).
extern const char* const attacker;

// True when the tests, and so mervex, are built with AddressSanitizer.
bool sanitized();

// The prefix of a command that runs mervex under strace: LeakSanitizer cannot
// run under ptrace, so a sanitized mervex runs without it there.
extern const char* const underStrace;

// Runs a shell command on the host and returns its standard output; the
// command's exit status goes to status when given.
std::string shell(const std::string& command, int* status = nullptr);

// Member names of a gzip-compressed tar archive, in archive order.
std::vector<std::string> archiveMembers(const std::string& archive);

// Content of one member of a gzip-compressed tar archive.
std::string archiveFile(const std::string& archive, const std::string& member);

// Every path below the directory, relative to it, with the size and a hash of
// the content of each regular file (links and special files are not
// followed); the harness's own run files are left out.
std::map<std::string, std::string> treeOf(const std::string& dir);

// Content of a file on the host, as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);

// The path that a run named on its "Output archive: " line, or empty when it
// printed none.
std::string outputArchive(const std::string& out);

// What every run that took the lock leaves under /opt: the firewall's
// directory and the lock file.
extern const std::vector<std::string> optAfterConversion;

// True when the run left the work root /opt/varno-firewall/tmp behind.
bool workRootLeft(const RunResult& result);

// The rules of an output archive's unified rule file, in order, each a map
// from key to value.
std::vector<std::map<std::string, std::string>> unifiedRules(const std::string& archive);

// Messages of the rules in an output archive's unified rule file, in order.
std::vector<std::string> convertedMessages(const std::string& archive);

// Lines of a text, without their line feeds.
std::vector<std::string> lines(const std::string& text);

// Single-quotes a word for the shell.
std::string quote(const std::string& word);

// Paths inside the output archive.
extern const char* const unifiedRulesMember;  // "./opt/varno-firewall/etc/firewall/rules/cfgRule"
extern const char* const suricataRulesMember; // "./opt/varno-firewall/etc/suricata/rules/cfg.rules"
// Paths of the legacy rule files inside a backup.
extern const char* const systemRulesBackupPath;
extern const char* const networkFlowRulesBackupPath;
// The legacy rule directory inside the old work tree, as messages name it.
extern const std::string oldRulesDirectory;
// The open-failure message of a legacy rule file ("cfgSystemRule" or
// "cfgNetworkFlowRule") of the old work tree, without its line feed.
std::string cannotOpen(const std::string& file);

// A sound pair of legacy rule files: a system rule "Ping" for incoming ICMP
// and a network flow rule "Web" for outgoing TCP.
extern const std::string systemRules;
extern const std::string networkFlowRules;

// The report a conversion prints once its rules are merged: the counts read,
// the system rules left out (ids, in file order) and the counts converted.
std::string summary(int systemRulesRead, int networkFlowRulesRead, int in, int inout, int out,
                    int disabled, const std::vector<std::string>& leftOut = {});
// The report of a conversion of systemRules and networkFlowRules (a function,
// so that other files' constants can be built from it).
std::string fixtureSummary();

} // namespace e2e
