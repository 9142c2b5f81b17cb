// The exit codes, all in one table: how a run ended, or why it was refused, and the code
// each gives. A run ended by a signal ends by that signal instead (128 plus its number).
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

}  // namespace zeilfuge
