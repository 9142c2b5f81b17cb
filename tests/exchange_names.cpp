// Swaps two names in a folder again and again, as an attacker who owns the folder would,
// until it is killed:  exchange_names NAME1 NAME2
#include <fcntl.h>
#include <stdio.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
        std::perror("exchange_names");
        return 1;
    }
    for (;;)
        renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE);
}
