// Runs a command the way a caller that looks closely would, and writes to REPORT how it
// ended ("exit N" or "signal N") and, with --nonblock, whether the descriptor FD, made
// non-blocking before, still is ("nonblocking kept" or "nonblocking cleared"):
//   caller REPORT [--nonblock FD] COMMAND...
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const char* report = argv[1];
    int first = 2;
    int watched = -1;
    if (std::strcmp(argv[first], "--nonblock") == 0 && argc > first + 2) {
        watched = std::atoi(argv[first + 1]);
        first += 2;
        const int flags = fcntl(watched, F_GETFL);
        if (flags == -1 || fcntl(watched, F_SETFL, flags | O_NONBLOCK) != 0) return 2;
    }
    const pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        execvp(argv[first], argv + first);
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return 2;
    FILE* out = std::fopen(report, "w");
    if (out == nullptr) return 2;
    if (WIFSIGNALED(status)) {
        std::fprintf(out, "signal %d\n", WTERMSIG(status));
    } else {
        std::fprintf(out, "exit %d\n", WEXITSTATUS(status));
    }
    if (watched >= 0) {
        const int flags = fcntl(watched, F_GETFL);
        std::fprintf(out, "nonblocking %s\n", (flags & O_NONBLOCK) != 0 ? "kept" : "cleared");
    }
    return std::fclose(out) == 0 ? 0 : 2;
}
