// Swaps two names in a folder again and again, as an attacker who owns the folder would,
// until it is killed; with "once", swaps them once:  exchange_names NAME1 NAME2 [once]
// With EXCHANGES=FILE, counts each exchange in FILE's first slot (the fault library reads it).
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "once") == 0)) return 2;
    unsigned long long spare = 0;
    unsigned long long* count = &spare;
    if (const char* file = std::getenv("EXCHANGES")) {
        const int fd = open(file, O_RDWR);
        void* map = fd < 0
                        ? MAP_FAILED
                        : mmap(nullptr, sizeof *count, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            std::perror("exchange_names: EXCHANGES");
            return 1;
        }
        count = static_cast<unsigned long long*>(map);
    }
    if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
        std::perror("exchange_names");
        return 1;
    }
    __atomic_add_fetch(count, 1, __ATOMIC_SEQ_CST);
    // Later on a name may be gone for a moment, while the run has it aside.
    while (argc == 3) {
        if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) == 0)
            __atomic_add_fetch(count, 1, __ATOMIC_SEQ_CST);
    }
}
