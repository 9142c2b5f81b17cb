// Runs a command and appends one line to a file: the wall seconds, the user and system CPU
// seconds from wait4's rusage (the command's waited-for children included) and the peak
// resident set in KiB. The command's own output goes where the caller sends it.
//   timed STATS_FILE COMMAND [ARGUMENT...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: timed STATS_FILE COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const double start = now();
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return 1;
    const double wall = now() - start;
    std::FILE* stats = std::fopen(argv[1], "a");
    if (stats == nullptr) return 1;
    std::fprintf(stats, "%.6f %.6f %.6f %ld\n", wall, seconds(usage.ru_utime),
                 seconds(usage.ru_stime), usage.ru_maxrss);
    if (std::fclose(stats) != 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
