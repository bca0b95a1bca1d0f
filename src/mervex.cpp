// Entry point of the mervex executable.
#include "common.h"
#include "main.h"

#include <csignal>

int main(int argc, char* argv[]) {
    // Standard output may be a pipe whose reader has gone away. Writing a
    // message then must not kill the converter before it has removed its work
    // root and any partial archive: the write just fails.
    std::signal(SIGPIPE, SIG_IGN);
    protectStandardDescriptors();
    return runCommandLine(argc, argv);
}
