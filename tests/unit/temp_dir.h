// A private scratch directory for unit tests that work on real files: created
// empty under the system's temporary directory when the object is made, and
// removed with everything in it when the object goes away. Test fixtures hold
// one as a member, so each test starts with a fresh, empty directory.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

class TempDir {
  public:
    // The directory's name starts with the prefix, followed by random letters.
    explicit TempDir(const std::string& prefix = "mervex-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

    // The full path of a name inside the directory; nothing is created.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes a file inside the directory, creating the directories above it;
    // false if it could not be written in full.
    bool write(const std::string& name, const std::string& content) const {
        const std::string full = file(name);
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        return writeFile(full, content);
    }

    // Replaces the file at a full path with the content; its directory must
    // already exist. False if it could not be written in full.
    static bool writeFile(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        return static_cast<bool>(out);
    }

    // The whole file as bytes; empty if it cannot be read.
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

  private:
    std::string path_;
};
