// Helpers shared by the fuzz targets: in-memory files that the converter opens
// by path, and a check that stops the run with a message.
#pragma once

#include <string>

namespace fuzz {

// An anonymous in-memory file, reachable by path through /proc/self/fd, so
// that the readers and writers open it like any other file and nothing is
// left on disk when the fuzzer is killed.
class MemoryFile {
  public:
    explicit MemoryFile(const char* name);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& path() const { return path_; }
    // Replaces the whole content.
    void assign(const std::string& content) const;
    void clear() const { assign(std::string()); }
    std::string content() const;

  private:
    int fd_;
    std::string path_;
};

// Stops the fuzzer with the message when the condition does not hold; the
// input is then saved as a crash.
void require(bool condition, const std::string& what);

// The converter reports on standard output; that is discarded while fuzzing
// unless MERVEX_FUZZ_VERBOSE is set.
void silenceStandardOutput();

// Splits the input at the first occurrence of the separator; without one the
// whole input is the first part and the second is empty.
void splitInput(const std::string& input, const std::string& separator, std::string& first,
                std::string& second);

// Shows a byte string with control and non-ASCII bytes escaped.
std::string show(const std::string& text);

} // namespace fuzz
