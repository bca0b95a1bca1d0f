// Entry point of the mervex executable.
#include "main.h"

int main(int argc, char* argv[]) {
    return runCommandLine(argc, argv);
}
