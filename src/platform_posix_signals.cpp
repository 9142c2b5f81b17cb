// The interrupt handler and what it may do: only calls that are safe in a handler. It is
// installed only once a run has something to clean up or has completed, so that a run that
// has neither (standard output, a file made without a name) ends by any signal at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "exit_codes.hpp"
#include "platform_posix.hpp"

namespace zeilfuge {

namespace {

using posix::retry;

struct Victim {
    int folder = -1;
    int fd = -1;
    dev_t device = 0;
    ino_t index = 0;
    char name[4096] = {};
};

Victim victim;
volatile sig_atomic_t victim_set = 0;
volatile sig_atomic_t run_complete = 0;

void discard(int folder, const char* name, int fd, dev_t device, ino_t index) {
    if (folder >= 0) {
        struct stat now = {};
        if (retry([&] { return fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW); }) == 0 &&
            now.st_dev == device && now.st_ino == index &&
            retry([&] { return unlinkat(folder, name, 0); }) == 0) {
            return;
        }
    }
    if (fd >= 0) {
        retry([&] { return ftruncate(fd, 0); });
        return;
    }
    // Closed already, and not to be removed (an append-only folder): emptied through its
    // name while that still holds it, so that nothing complete looks like a result.
    if (folder < 0) return;
    const int opened =
        retry([&] { return openat(folder, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
    if (opened < 0) return;
    struct stat now = {};
    if (retry([&] { return fstat(opened, &now); }) == 0 && now.st_dev == device &&
        now.st_ino == index) {
        retry([&] { return ftruncate(opened, 0); });
    }
    close(opened);
}

extern "C" void on_interrupt(int signal_number) {
    if (run_complete != 0) _exit(exit_code(RunEnd::converted));
    if (victim_set != 0) {
        discard(victim.folder, victim.name, victim.fd, victim.device, victim.index);
    }
    // Ended by the signal itself, so that the caller knows: a shell's loop stops on it.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal_number, &default_action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(signal_number);
    // Reached only where the signal couldn't end the process after all.
    // cppcheck-suppress unreachableCode
    _exit(exit_code_of_signal(signal_number));
}

// Every signal whose default ends the process, but those that report a fault of the
// program itself (SIGSEGV, SIGBUS, ...), which no cleanup could be trusted after, and
// SIGPIPE, which ends a pipeline quietly as in any such tool.
void add_ending_signals(sigset_t& set) {
    sigemptyset(&set);
    for (const int n :
         {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU})
        sigaddset(&set, n);
#ifdef SIGPOLL
    sigaddset(&set, SIGPOLL);
#endif
#ifdef SIGPWR
    sigaddset(&set, SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int n = SIGRTMIN; n <= SIGRTMAX; ++n)
        sigaddset(&set, n);
#endif
}

sigset_t interrupt_set;
sigset_t caller_mask;
int holds = 0;
bool set_made = false;
bool installed = false;

const sigset_t& interrupts() {
    if (!set_made) {
        add_ending_signals(interrupt_set);
        set_made = true;
    }
    return interrupt_set;
}

// One call for each signal; a second, which puts SIG_IGN back, only for one the caller
// ignores (nohup, a job started with &). Interrupts are held meanwhile, and a signal that
// comes while the handler stands in for SIG_IGN is dropped when SIG_IGN is back.
void install_handler() {
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_mask = interrupts();
    for (int n = 1; n < NSIG; ++n) {
        if (sigismember(&interrupt_set, n) != 1) continue;
        struct sigaction before {};
        if (sigaction(n, &action, &before) == 0 && before.sa_handler == SIG_IGN) {
            sigaction(n, &before, nullptr);
        }
    }
}

}  // namespace

void discard_on_interrupt(const Place& place, File file, const FileIdentity& identity) {
    install_handler();
    victim_set = 0;
    const bool fits = place.name.size() < sizeof victim.name;
    victim.folder = fits ? posix::folder_of(place) : -1;
    if (fits) std::memcpy(victim.name, place.name.c_str(), place.name.size() + 1);
    victim.fd = posix::fd_of(file);
    victim.device = static_cast<dev_t>(identity.device);
    victim.index = static_cast<ino_t>(identity.index);
    victim_set = 1;
}

void forget_on_interrupt() {
    victim_set = 0;
}

void complete_on_interrupt() {
    install_handler();
    run_complete = 1;
    // What is left to print is the summary; a closed pipe must not make a run that has
    // replaced its input look failed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

void discard_file(const Place& place, File file, const FileIdentity& identity) {
    discard(posix::folder_of(place), place.name.c_str(), posix::fd_of(file),
            static_cast<dev_t>(identity.device), static_cast<ino_t>(identity.index));
}

void hold_interrupts() {
    if (holds++ == 0) pthread_sigmask(SIG_BLOCK, &interrupts(), &caller_mask);
}

void release_interrupts() {
    if (holds > 0 && --holds == 0) pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
}

}  // namespace zeilfuge
