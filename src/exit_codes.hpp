// The exit codes, all in one table: how a run ended, or why it was refused, and the code
// each gives. A run ended by a signal ends by that signal itself where the system can, and
// with 128 plus its number where it can't; a console event on Windows ends it with the code
// of the signal nearest to it.
#pragma once

#include "arguments.hpp"

namespace zeilfuge {

// How a run that got past the command line ended.
enum class RunEnd {
    converted,
    input_not_found,  // the input can't be opened
    failed,           // anything that went wrong after the input was opened
};

constexpr int exit_code(RunEnd end) {
    switch (end) {
        case RunEnd::converted:
            return 0;
        case RunEnd::failed:
            return 97;
        case RunEnd::input_not_found:
            return 99;
    }
    return 97;
}

constexpr int exit_code(Refusal refusal) {
    switch (refusal) {
        case Refusal::none:
            return 0;
        case Refusal::bad_mode_word:
        case Refusal::record_length_zero:
            return 98;
        case Refusal::too_few_arguments:
            return 99;
    }
    return 99;
}

constexpr int exit_code_of_signal(int signal_number) {
    return 128 + signal_number;
}

enum class ConsoleEvent {
    ctrl_c,              // as SIGINT
    ctrl_break,          // as SIGBREAK, which Windows' C runtime numbers 21
    window_closed,       // as SIGHUP
    logoff_or_shutdown,  // as SIGTERM
};

constexpr int exit_code(ConsoleEvent event) {
    switch (event) {
        case ConsoleEvent::ctrl_c:
            return exit_code_of_signal(2);
        case ConsoleEvent::ctrl_break:
            return exit_code_of_signal(21);
        case ConsoleEvent::window_closed:
            return exit_code_of_signal(1);
        case ConsoleEvent::logoff_or_shutdown:
            return exit_code_of_signal(15);
    }
    return exit_code_of_signal(15);
}

}  // namespace zeilfuge
