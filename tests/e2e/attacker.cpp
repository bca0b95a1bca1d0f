// What a second, unprivileged local user does to a conversion that runs as
// root: probes the work tree, swaps names in a directory it owns, exchanges
// directories for links. The end-to-end tests run it with setpriv as user
// nobody inside the isolated /opt of a conversion. Every loop is bounded in
// time.
//
//   mervex_attacker probe PATH...
//       Tries to list, read, write and execute each path; prints one line per
//       success and exits 1 when anything succeeded, 0 when all was refused.
//   mervex_attacker swap-on-appear DIR TARGET SECONDS
//       Replaces every *.tar.gz that appears in DIR by a symbolic link to
//       TARGET the moment it appears; prints each name swapped.
//   mervex_attacker exchange-with-link DIR NAME TARGET SECONDS
//       Puts a link to TARGET beside DIR/NAME and exchanges the two names
//       over and over, so that NAME is a directory one moment and a link the
//       next; prints how many exchanges succeeded.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <set>
#include <stdio.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline(const char* seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<long>(std::atof(seconds) * 1000));
}

int probe(int count, char** paths) {
    int successes = 0;
    const auto report = [&](const char* path, const char* what) {
        std::printf("%s: %s\n", path, what);
        ++successes;
    };
    for (int i = 0; i < count; ++i) {
        const char* path = paths[i];
        if (DIR* dir = ::opendir(path)) {
            report(path, "listed");
            ::closedir(dir);
        }
        const int reading = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (reading >= 0) {
            report(path, "opened for reading");
            ::close(reading);
        }
        const int writing = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY);
        if (writing >= 0) {
            report(path, "opened for writing");
            ::close(writing);
        }
        struct stat status {};
        if (::stat(path, &status) == 0 && S_ISREG(status.st_mode) && ::access(path, X_OK) == 0) {
            const pid_t child = ::fork();
            if (child == 0) {
                const int null = ::open("/dev/null", O_WRONLY);
                ::dup2(null, STDOUT_FILENO);
                ::dup2(null, STDERR_FILENO);
                ::execl(path, path, static_cast<char*>(nullptr));
                ::_exit(127);
            }
            int exitStatus = 0;
            ::waitpid(child, &exitStatus, 0);
            if (!(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 127)) {
                report(path, "executed");
            }
        }
    }
    std::fflush(stdout);
    return successes == 0 ? 0 : 1;
}

int swapOnAppear(const std::string& dir, const std::string& target, const char* seconds) {
    const auto end = deadline(seconds);
    const int watch = ::inotify_init1(IN_NONBLOCK);
    if (watch < 0 || ::inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        std::perror("inotify");
        return 2;
    }
    const std::string staged = dir + "/.swap-link";
    std::set<std::string> swapped;
    alignas(inotify_event) char buffer[64 * 1024];
    while (Clock::now() < end) {
        const ssize_t got = ::read(watch, buffer, sizeof buffer);
        if (got <= 0) {
            ::usleep(200);
            continue;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const std::string name = event->len > 0 ? event->name : "";
            if (name.size() <= 7 || name.compare(name.size() - 7, 7, ".tar.gz") != 0 ||
                name[0] == '.' || swapped.count(name) != 0) {
                continue;
            }
            ::unlink(staged.c_str());
            if (::symlink(target.c_str(), staged.c_str()) == 0 &&
                ::rename(staged.c_str(), (dir + "/" + name).c_str()) == 0) {
                swapped.insert(name);
                std::printf("swapped %s\n", name.c_str());
                std::fflush(stdout);
            }
        }
    }
    return 0;
}

int exchangeWithLink(const std::string& dir, const std::string& name, const std::string& target,
                     const char* seconds) {
    const auto end = deadline(seconds);
    const std::string path = dir + "/" + name;
    const std::string link = dir + "/" + name + ".link";
    long exchanges = 0;
    while (Clock::now() < end) {
        // The link is put in place again and again, until the directory
        // becomes reachable.
        if (::symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST) {
            ::usleep(100);
            continue;
        }
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) {
            ++exchanges;
        } else {
            ::usleep(10);
        }
    }
    std::printf("%ld exchanges\n", exchanges);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "probe" && argc > 2) {
        return probe(argc - 2, argv + 2);
    }
    if (command == "swap-on-appear" && argc == 5) {
        return swapOnAppear(argv[2], argv[3], argv[4]);
    }
    if (command == "exchange-with-link" && argc == 6) {
        return exchangeWithLink(argv[2], argv[3], argv[4], argv[5]);
    }
    std::fprintf(stderr, "usage: see the head of attacker.cpp\n");
    return 2;
}
