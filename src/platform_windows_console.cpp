// The console: the standard handles as the run found them, the texts written to standard
// output, and the console's events, each of which ends the run with an exit code of its own
// after the cleanup that Ctrl-C does.
#include <algorithm>
#include <string>

#include "exit_codes.hpp"
#include "platform_windows.hpp"
#include "wide_text.hpp"

// Arguments reach wmain as typed: *ins must not be expanded against the files in the folder.
extern "C" {
int _dowildcard = 0;
}

namespace zeilfuge {

namespace {

using windows::file_of;

// The bytes of a text in the ANSI code page, where every character the code page lacks
// becomes one '?': never a best-fit look-alike, and never two for the two halves of a
// character outside the BMP.
std::string ansi_text(std::wstring wide) {
    const UINT page = GetACP();
    // UTF-8 (the ANSI code page where Windows is set so) and GB18030 hold every character
    // and take neither the flag nor a default character.
    const bool holds_all = page == CP_UTF8 || page == CP_UTF7 || page == 54936;
    if (!holds_all) {
        std::wstring single;
        for (std::size_t at = 0; at < wide.size(); ++at) {
            const wchar_t c = wide[at];
            const bool high = c >= 0xD800 && c <= 0xDBFF;
            if (high && at + 1 < wide.size() && wide[at + 1] >= 0xDC00 && wide[at + 1] <= 0xDFFF)
                ++at;
            single += (c >= 0xD800 && c <= 0xDFFF) ? L'?' : c;
        }
        wide = single;
    }
    const int length = static_cast<int>(wide.size());
    const DWORD flags = holds_all ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* fallback = holds_all ? nullptr : "?";
    const int n =
        WideCharToMultiByte(page, flags, wide.data(), length, nullptr, 0, fallback, nullptr);
    if (n <= 0) {
        // Nothing looked alike then either: ASCII as it is, everything else '?'.
        std::string bytes;
        for (const wchar_t c : wide)
            bytes += c < 0x80 ? static_cast<char>(c) : '?';
        return bytes;
    }
    std::string bytes(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(page, flags, wide.data(), length, bytes.data(), n, fallback, nullptr);
    return bytes;
}

// Windows waits a few seconds at most for the handler of a closed window, a log-off or a
// shutdown, which is ample for the cleanup.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            windows::end_by_event(exit_code(ConsoleEvent::ctrl_c));
        case CTRL_BREAK_EVENT:
            windows::end_by_event(exit_code(ConsoleEvent::ctrl_break));
        case CTRL_CLOSE_EVENT:
            windows::end_by_event(exit_code(ConsoleEvent::window_closed));
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            windows::end_by_event(exit_code(ConsoleEvent::logoff_or_shutdown));
        default:
            return FALSE;
    }
}

constexpr DWORD kStandard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
bool closed_at_start[3] = {};

}  // namespace

void prepare_process() {
    // A missing standard handle (a detached job, a service started with NULL handles) is no
    // number that a file opened later could take, as on POSIX: it is only remembered as
    // closed, and the console texts go nowhere.
    for (int number = 0; number < 3; ++number) {
        const HANDLE handle = GetStdHandle(kStandard[number]);
        closed_at_start[number] = handle == nullptr || handle == INVALID_HANDLE_VALUE;
    }
    windows::prepare_interrupts();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

File standard_file(int number) {
    return file_of(GetStdHandle(kStandard[number]));
}

bool standard_closed(int number) {
    return closed_at_start[number];
}

// Windows has no names for the standard handles that a program could be given.
int descriptor_number(const std::string&) {
    return -1;
}

bool descriptor_given(int number) {
    return number >= 0 && number <= 2 && !closed_at_start[number];
}

void write_console(std::string_view text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::u16string utf16;
    if (!utf16_from_utf8(text, utf16)) {
        write_all(file_of(out), std::as_bytes(std::span(text)));
        return;
    }
    const std::wstring wide(utf16.begin(), utf16.end());
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) == 0) {
        // Written as they are, with no text mode that would make CR LF into CR CR LF.
        const std::string bytes = ansi_text(wide);
        write_all(file_of(out), std::as_bytes(std::span(bytes)));
        return;
    }
    for (std::size_t at = 0; at < wide.size();) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(wide.size() - at, 8192));
        if (WriteConsoleW(out, wide.data() + at, want, &n, nullptr) == 0 || n == 0) return;
        at += n;
    }
}

}  // namespace zeilfuge
