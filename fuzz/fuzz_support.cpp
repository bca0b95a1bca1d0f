#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzz {

MemoryFile::MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    require(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() {
    ::close(fd_);
}

void MemoryFile::assign(const std::string& content) const {
    require(::ftruncate(fd_, 0) == 0, "ftruncate failed");
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t written =
            ::pwrite(fd_, content.data() + done, content.size() - done, static_cast<off_t>(done));
        require(written > 0, "pwrite failed");
        done += static_cast<size_t>(written);
    }
}

std::string MemoryFile::content() const {
    struct stat status {};
    require(::fstat(fd_, &status) == 0, "fstat failed");
    std::string content(static_cast<size_t>(status.st_size), '\0');
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t got =
            ::pread(fd_, content.data() + done, content.size() - done, static_cast<off_t>(done));
        require(got > 0, "pread failed");
        done += static_cast<size_t>(got);
    }
    return content;
}

void require(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what.c_str());
        std::abort();
    }
}

void silenceStandardOutput() {
    if (std::getenv("MERVEX_FUZZ_VERBOSE") != nullptr) {
        return;
    }
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

void splitInput(const std::string& input, const std::string& separator, std::string& first,
                std::string& second) {
    const size_t at = input.find(separator);
    if (at == std::string::npos) {
        first = input;
        second.clear();
        return;
    }
    first = input.substr(0, at);
    second = input.substr(at + separator.size());
}

std::string show(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string shown = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\' || byte == '"') {
            shown += '\\';
            shown += c;
        } else if (byte >= 0x20 && byte < 0x7f) {
            shown += c;
        } else {
            shown += "\\x";
            shown += hex[byte >> 4];
            shown += hex[byte & 0xf];
        }
    }
    return shown + "\"";
}

} // namespace fuzz
