// Common services of the converter: work directories, archive extraction and
// packing through the system tar, output archive identifiers, numeric value
// parsing and the legacy parameter-line splitter.
#pragma once

#include <string>

// The firewall's installation directory. Every conversion locks it for its
// whole length, because all conversions share the same fixed work root.
extern const std::string firewallRootPath;
// Work root: holds both work trees and is removed whole after a conversion.
extern const std::string workRootPath;
// Old work tree: the backup archive is extracted into it.
extern const std::string oldWorkTreePath;
// New work tree: the output archive is packed from it.
extern const std::string newWorkTreePath;
// Members of the output archive, relative to the new work tree.
extern const std::string firewallRulesMember;
extern const std::string suricataRulesMember;

// Creates the directory with every missing parent unless something of any
// kind already exists at the path. A directory created here gets read and
// search permission for group and others added to its mode.
// Throws boost::filesystem::filesystem_error when the file system refuses.
void createDirectory(const std::string& path);

// Removes whatever exists at the path, with everything below it; a symbolic
// link is removed itself, never followed. Nothing at the path is no failure.
// Throws boost::filesystem::filesystem_error when the file system refuses.
void removeDirectory(const std::string& path);

// Extracts the backup archive into the old work tree with tar. True when tar
// ended normally with exit status 0.
bool unpackArchive(const std::string& backupPath);

// Packs the two rule directories of the new work tree into a new archive
// beside the backup, named by a fresh identifier; an existing file is never
// replaced. When archivePath is not null it receives the archive path as
// handed to tar when the archive was made, and is emptied otherwise. On
// failure no file of that name is left behind.
bool packArchive(const std::string& backupPath, std::string* archivePath = nullptr);

// Eight characters drawn from digits, capital and small letters.
std::string generateID();

// The directory part of the backup path, where the output archive goes:
// Boost's parent_path, with "." for a bare file name.
std::string outputDirectory(const std::string& backupPath);

// The path enclosed in single quotes for the shell, each ' inside written as
// '\'' so that the shell passes every byte through unchanged.
std::string shellQuote(const std::string& text);

// Runs the command with /bin/sh -c, waiting for it to end. True when the shell
// ended normally with exit status 0. When an interrupting signal arrives while
// the command runs, the command's process group is terminated and the result
// is false.
bool runShellCommand(const std::string& command);

// SIGINT, SIGTERM and SIGHUP are caught while a conversion runs: the handler
// only records the signal, and the conversion checks for it between its steps.
void catchInterruptSignals();
void restoreInterruptSignals();
// The recorded signal number, or 0 when none arrived.
int interruptSignal();

// Writes one message line to standard output and flushes it, so that the
// messages keep their order with anything else written to the terminal.
void printMessage(const std::string& text);

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
