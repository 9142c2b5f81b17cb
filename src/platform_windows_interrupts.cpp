// What a console event (Ctrl-C, Ctrl-Break, a closed window, log-off, shutdown) does to the
// output before it ends the run. The console's handler runs on a thread of its own; the
// lock keeps it out while the main thread creates, replaces or removes a file, so that it
// always knows what to discard.
#include "exit_codes.hpp"
#include "platform_windows.hpp"

namespace zeilfuge {

namespace {

CRITICAL_SECTION interrupt_lock;

struct Victim {
    bool set = false;
    Place place;
    HANDLE file = INVALID_HANDLE_VALUE;
    FileIdentity identity;
};
Victim victim;
bool run_complete = false;

}  // namespace

namespace windows {

void prepare_interrupts() {
    InitializeCriticalSection(&interrupt_lock);
}

void end_by_event(UINT code) {
    // Never left: the main thread waits at the lock until the process ends.
    EnterCriticalSection(&interrupt_lock);
    if (run_complete) ExitProcess(exit_code(RunEnd::converted));
    if (victim.set) discard(victim.place, victim.file, victim.identity);
    ExitProcess(code);
}

}  // namespace windows

void discard_on_interrupt(const Place& place, File file, const FileIdentity& identity) {
    victim.place = place;
    victim.file = windows::handle_of(file);
    victim.identity = identity;
    victim.set = true;
}

void forget_on_interrupt() {
    victim.set = false;
}

void complete_on_interrupt() {
    run_complete = true;
}

void hold_interrupts() {
    EnterCriticalSection(&interrupt_lock);
}

void release_interrupts() {
    LeaveCriticalSection(&interrupt_lock);
}

}  // namespace zeilfuge
