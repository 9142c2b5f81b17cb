// ZEILFUGE.EXE run end to end with names outside the ANSI code page. Each run is started
// with an exact UTF-16 command line through CreateProcessW, so no shell or locale stands
// between the test and the characters the tool receives; standard output is a pipe.
//   windows_names_test PATH-TO-ZEILFUGE.EXE [CODE-PAGE]
// The expected console bytes are those of the code page given, 1252 (the default) or 932;
// where the ANSI code page is another, the test is skipped (exit code 77).

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "texts.hpp"

namespace {

int passed = 0;
int failed = 0;
std::string current;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAIL [%s] %s\n", current.c_str(), what.c_str());
}

// Shows bytes with everything outside printable ASCII escaped.
std::string visible(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

std::string visible(const std::wstring& name) {
    std::string out;
    for (const wchar_t c : name) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[12];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

// ---- Files, all under the test's own folder, named with the \\?\ prefix so that long
// names work too.

std::wstring root;  // \\?\C:\...\zeilfuge-names-N, made by the test and removed at its end

std::wstring in_root(const std::wstring& name) {
    return root + L"\\" + name;
}

bool write_file(const std::wstring& path, const std::string& bytes, DWORD attributes = 0) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
        written == bytes.size();
    CloseHandle(file);
    return ok && (attributes == 0 || SetFileAttributesW(path.c_str(), attributes) != 0);
}

bool read_file(const std::wstring& path, std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) != 0 && n > 0)
        bytes.append(buffer, n);
    CloseHandle(file);
    return true;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> names_in(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
    return names;
}

void remove_tree(const std::wstring& path) {
    for (const std::wstring& name : names_in(path, L"*")) {
        const std::wstring inner = path + L"\\" + name;
        const DWORD attributes = GetFileAttributesW(inner.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            remove_tree(inner);
        } else {
            SetFileAttributesW(inner.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(inner.c_str());
        }
    }
    RemoveDirectoryW(path.c_str());
}

// ---- The tool.

std::wstring tool;

struct Outcome {
    DWORD code = 0xFFFFFFFF;
    std::string out;  // standard output and standard error, as one pipe gets them
};

Outcome run_tool(const std::wstring& arguments, const std::wstring& folder) {
    Outcome outcome;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (CreatePipe(&reader, &writer, &inherited, 0) == 0) return outcome;
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    startup.hStdError = writer;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + tool + L"\" " + arguments;
    const BOOL started = CreateProcessW(tool.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, folder.c_str(), &startup, &process);
    CloseHandle(writer);
    if (started != 0) {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(reader, buffer, sizeof buffer, &n, nullptr) != 0 && n > 0)
            outcome.out.append(buffer, n);
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &outcome.code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(reader);
    return outcome;
}

// ---- What the console shows, in code page 1252.

std::string banner() {
    return zeilfuge::console_form(zeilfuge::kBanner);
}

// A refused mode word, as the console shows it.
std::string refusal(const std::string& mode_word) {
    return zeilfuge::console_form(std::string(zeilfuge::kBanner) + std::string(zeilfuge::kUsage)) +
           zeilfuge::mode_error_line(mode_word);
}

std::string summary(const std::string& name, int count) {
    return "Ausgabe-Datei \"" + name + "\"  geschlossen.\r\n" + std::to_string(count) +
           " Datensaetze verarbeitet\r\n" + zeilfuge::console_form(zeilfuge::kStarLine);
}

std::string not_found(const std::string& name) {
    return "ERROR: Datei \"" + name + "\" nicht gefunden";
}

// A file the user may not write.
std::string not_writable(const std::string& name) {
    return "ERROR: Datei \"" + name + "\" kann nicht geschrieben werden: Zugriff verweigert";
}

// ---- The cases.

struct FileState {
    std::wstring name;
    std::string bytes;
    DWORD attributes = 0;  // set after writing; 0 for none
};

struct Case {
    std::string title;
    std::vector<FileState> before;
    std::wstring arguments;
    DWORD code;
    std::string out;
    std::vector<FileState> after;  // with attributes: those must be set afterwards
    std::vector<std::wstring> absent;
};

// A name outside code page 1252 and what the tool prints for it: every character that
// the code page lacks becomes '?', never a look-alike.
const std::wstring kOmega = L"\u03A9mega.txt";  // Greek capital omega; best fit: 'O'
const std::wstring kChinese = L"\u6570\u636E";  // "data"
const std::wstring kQuote = L"\uFF02";          // fullwidth quotation mark; best fit: '"'
const std::wstring kUmlauts = L"M\u00FCller \u00E4\u00F6\u00FC\u00DF";
const std::string kUmlautsAnsi =
    "M\xFC"
    "ller \xE4\xF6\xFC\xDF";
const std::wstring kLone = std::wstring(L"in") + wchar_t{0xD800} + L".txt";

std::vector<Case> cases() {
    return {
        {"a name outside the code page, its look-alike beside it",
         {{kOmega, "abcdef"}, {L"Omega.txt", "zzzzzz"}},
         kOmega + L" out.txt *ins 3 /d",
         0,
         banner() + summary("out.txt", 6),
         {{L"out.txt", "abc\r\ndef"}, {L"Omega.txt", "zzzzzz"}, {kOmega, "abcdef"}},
         {}},
        {"the same name missing, its look-alike there",
         {{L"Omega.txt", "zzzzzz"}},
         kOmega + L" out.txt *ins 3",
         99,
         not_found("?mega.txt"),
         {{L"Omega.txt", "zzzzzz"}},
         {L"out.txt"}},
        {"an output outside the code page",
         {{L"in.txt", "abcdef"}},
         L"in.txt \u03A9out.txt *ins 3 /d",
         0,
         banner() + summary("?out.txt", 6),
         {{L"\u03A9out.txt", "abc\r\ndef"}},
         {L"Oout.txt"}},
        {"Chinese names in and out",
         {{kChinese + L".txt", "abcdefg"}},
         kChinese + L".txt " + kChinese + L"_crlf.txt *ins 3 /d",
         0,
         banner() + summary("??_crlf.txt", 7),
         {{kChinese + L"_crlf.txt", "abc\r\ndef\r\ng"}, {kChinese + L".txt", "abcdefg"}},
         {}},
        {"Chinese names, back again",
         {{kChinese + L"_crlf.txt", "ab\r\ncd"}},
         kChinese + L"_crlf.txt " + kChinese + L".txt *DEL 3",
         0,
         "",
         {{kChinese + L".txt", "ab cd"}},
         {}},
        {"a Chinese name missing",
         {},
         kChinese + L".txt out.txt *ins 3 /d",
         99,
         banner() + not_found("??.txt"),
         {},
         {L"out.txt"}},
        // Mapped to '"', these would group "x y.txt" into one argument and convert it.
        {"fullwidth quotation marks split nothing",
         {{L"x y.txt", "zzzz"}},
         L"x" + kQuote + L" y" + kQuote + L".txt out.txt *ins 3 /d",
         98,
         refusal("out.txt"),
         {{L"x y.txt", "zzzz"}},
         {L"out.txt"}},
        {"fullwidth quotation marks inside a quoted name",
         {{L"x" + kQuote + L" y" + kQuote + L".txt", "abcdef"}, {L"x y.txt", "zzzz"}},
         L"\"x" + kQuote + L" y" + kQuote + L".txt\" " + kQuote + L"out" + kQuote +
             L".txt *ins 3 /d",
         0,
         banner() + summary("?out?.txt", 6),
         {{kQuote + L"out" + kQuote + L".txt", "abc\r\ndef"}, {L"x y.txt", "zzzz"}},
         {L"out.txt"}},
        {"in place, a name outside the code page",
         {{kOmega, "abcdefg"}, {L"Omega.txt", "zzzzzz"}},
         kOmega + L" " + kOmega + L" *ins 3 /d",
         0,
         banner() + summary("?mega.txt", 7),
         {{kOmega, "abc\r\ndef\r\ng"}, {L"Omega.txt", "zzzzzz"}},
         {}},
        {"in place, a Chinese name spelt two ways",
         {{kChinese + L".txt", "abcdefg"}},
         kChinese + L".txt .\\" + kChinese + L".txt *ins 3 /d",
         0,
         banner() + summary(".\\??.txt", 7),
         {{kChinese + L".txt", "abc\r\ndef\r\ng"}},
         {}},
        {"in place, a name with fullwidth quotation marks",
         {{L"x" + kQuote + L" y" + kQuote + L".txt", "abcdefg"}},
         L"\"x" + kQuote + L" y" + kQuote + L".txt\" \"x" + kQuote + L" y" + kQuote +
             L".txt\" *ins 3",
         0,
         "",
         {{L"x" + kQuote + L" y" + kQuote + L".txt", "abc\r\ndef\r\ng"}},
         {}},
        {"umlauts, printed in the code page as before",
         {{kUmlauts + L".txt", "abcd"}},
         L"\"" + kUmlauts + L".txt\" \"" + kUmlauts + L".out\" *ins 2 /d",
         0,
         banner() + summary(kUmlautsAnsi + ".out", 4),
         {{kUmlauts + L".out", "ab\r\ncd"}},
         {}},
        {"umlauts, missing",
         {},
         L"\"" + kUmlauts + L".txt\" out.txt *del 3",
         99,
         not_found(kUmlautsAnsi + ".txt"),
         {},
         {L"out.txt"}},
        // Taken as U+FFFD, the lone surrogate would name the file beside it.
        {"an unpaired surrogate names no other file",
         {{L"in\uFFFD.txt", "zzzz"}},
         kLone + L" out.txt *ins 3",
         99,
         not_found("in?.txt"),
         {{L"in\uFFFD.txt", "zzzz"}},
         {L"out.txt"}},
        // Each half of the pair would become a '?' of its own.
        {"a character outside the BMP is one '?'",
         {},
         L"\U0001F600.txt out.txt *ins 3 /d",
         99,
         banner() + not_found("?.txt"),
         {},
         {L"out.txt"}},
        {"a fullwidth mode word is no mode word",
         {{L"in.txt", "abcdef"}},
         L"in.txt out.txt *\uFF29\uFF2E\uFF33 3",
         98,
         refusal("*???"),
         {},
         {L"out.txt"}},
        {"a fullwidth display switch is no switch",
         {{L"in.txt", "abcdef"}},
         L"in.txt out.txt *ins 3 \uFF0F\uFF44",
         0,
         "",
         {{L"out.txt", "abc\r\ndef"}},
         {}},
        {"the null device as output",
         {{kOmega, "abcdef"}},
         kOmega + L" NUL *ins 3 /d",
         0,
         banner() + summary("NUL", 6),
         {{kOmega, "abcdef"}},
         {}},
        // Both attributes must survive the replace.
        {"in place, hidden and system attributes kept",
         {{kOmega, "abcdefg", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}},
         kOmega + L" " + kOmega + L" *ins 3",
         0,
         "",
         {{kOmega, "abc\r\ndef\r\ng", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}},
         {}},
        {"in place, a read-only file is refused",
         {{kOmega, "abcdefg", FILE_ATTRIBUTE_READONLY}},
         kOmega + L" " + kOmega + L" *ins 3",
         97,
         not_writable("?mega.txt"),
         {{kOmega, "abcdefg", FILE_ATTRIBUTE_READONLY}},
         {}},
        {"a read-only output is refused",
         {{L"in.txt", "abcdef"}, {kChinese, "keep", FILE_ATTRIBUTE_READONLY}},
         L"in.txt " + kChinese + L" *ins 3",
         97,
         not_writable("??"),
         {{kChinese, "keep", FILE_ATTRIBUTE_READONLY}},
         {}},
    };
}

// Code page 932 (Japanese) holds Greek and kanji in two bytes each, but no umlauts, which
// a best fit would make plain letters. Wine takes the code page from a locale that need not
// be installed, but without it makes ASCII file names only: so these names are missing.
std::vector<Case> cases_932() {
    return {
        {"code page 932: Greek and kanji in two bytes each",
         {},
         L"\u03A9\u6570.txt out.txt *ins 3",
         99,
         not_found("\x83\xB6\x90\x94.txt"),
         {},
         {L"out.txt"}},
        {"code page 932: an umlaut is '?', never its plain letter",
         {{L"Muller.txt", "zzzz"}},
         L"M\u00FCller.txt out.txt *ins 3",
         99,
         not_found("M?ller.txt"),
         {{L"Muller.txt", "zzzz"}},
         {L"out.txt"}},
        {"code page 932: all of them after the banner",
         {},
         L"\u03A9m\u00FCller\u6570.txt out.txt *del 3 /d",
         99,
         banner() + not_found("\x83\xB6m?ller\x90\x94.txt"),
         {},
         {L"out.txt"}},
    };
}

void run_case(const Case& c, const std::wstring& folder) {
    current = c.title;
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        check(false, "can't make the folder");
        return;
    }
    for (const FileState& file : c.before) {
        if (!write_file(folder + L"\\" + file.name, file.bytes, file.attributes)) {
            check(false, "can't make " + visible(file.name) + ", skipped");
            return;
        }
    }
    // The working folder without the prefix, as a user's would be.
    const Outcome outcome = run_tool(c.arguments, folder.substr(4));
    check(outcome.code == c.code,
          "exit code " + std::to_string(outcome.code) + ", expected " + std::to_string(c.code));
    check(outcome.out == c.out,
          "standard output \"" + visible(outcome.out) + "\", expected \"" + visible(c.out) + "\"");
    for (const FileState& file : c.after) {
        const std::wstring path = folder + L"\\" + file.name;
        std::string bytes;
        if (!read_file(path, bytes)) {
            check(false, visible(file.name) + " missing");
            continue;
        }
        check(bytes == file.bytes, visible(file.name) + " holds \"" + visible(bytes) +
                                       "\", expected \"" + visible(file.bytes) + "\"");
        const DWORD attributes = GetFileAttributesW(path.c_str());
        check((attributes & file.attributes) == file.attributes,
              visible(file.name) + " lost attributes: " + std::to_string(attributes));
    }
    for (const std::wstring& name : c.absent)
        check(!exists(folder + L"\\" + name), visible(name) + " exists");
    const std::vector<std::wstring> left = names_in(folder, L".zeilfuge-*");
    check(left.empty(), "temporary file left: " + (left.empty() ? "" : visible(left.front())));
}

// Names of 260 characters and more, outside the code page, in a folder deeper than that.
// Each part stays below the 255 bytes that Linux allows, for Wine.
void run_long_names(const std::wstring& folder) {
    current = "long names outside the code page";
    std::wstring relative;
    std::string shown;
    CreateDirectoryW(folder.c_str(), nullptr);
    while (relative.size() < 300) {
        relative += L"\u03A9\u6570-abcdefghijklmnopqrstuvwxyz\\";
        shown +=
            "?"
            "?-abcdefghijklmnopqrstuvwxyz\\";
        CreateDirectoryW((folder + L"\\" + relative).c_str(), nullptr);
    }
    const std::wstring in = relative + std::wstring(100, L'\u00E4');
    const std::wstring out = relative + std::wstring(100, L'\u03A9');
    if (!write_file(folder + L"\\" + in, "abcdef")) {
        check(false, "can't make the input");
        return;
    }
    const Outcome outcome = run_tool(in + L" " + out + L" *ins 3 /d", folder.substr(4));
    check(outcome.code == 0, "exit code " + std::to_string(outcome.code));
    check(outcome.out == banner() + summary(shown + std::string(100, '?'), 6),
          "standard output \"" + visible(outcome.out) + "\"");
    std::string bytes;
    check(read_file(folder + L"\\" + out, bytes) && bytes == "abc\r\ndef",
          "output \"" + visible(bytes) + "\"");
}

// A run that fails after making its output, with a full name of more than 260 characters,
// which Wine's GetFinalPathNameByHandleW can't give: the output must still go. The input is
// a pipe whose server disconnects while the run waits for more, a read error.
void run_failed_long_output(const std::wstring& folder) {
    current = "a failed run removes a long new output";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring relative;
    while (relative.size() < 300) {
        relative += L"abcdefghijklmnopqrstuvwxyz0123456789\\";
        CreateDirectoryW((folder + L"\\" + relative).c_str(), nullptr);
    }
    const std::wstring output = folder + L"\\" + relative + L"out.txt";
    const std::wstring pipe_name =
        L"\\\\.\\pipe\\zeilfuge-names-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        check(false, "can't make the pipe");
        return;
    }
    std::wstring command = L"\"" + tool + L"\" " + pipe_name + L" " + relative + L"out.txt *ins 3";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE null_device =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = null_device;
    startup.hStdError = null_device;
    PROCESS_INFORMATION process{};
    const std::wstring cwd = folder.substr(4);
    const BOOL started = CreateProcessW(tool.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, cwd.c_str(), &startup, &process);
    CloseHandle(null_device);
    if (started == 0) {
        CloseHandle(pipe);
        check(false, "can't start the tool");
        return;
    }
    const bool connected =
        ConnectNamedPipe(pipe, nullptr) != 0 || GetLastError() == ERROR_PIPE_CONNECTED;
    DWORD written = 0;
    WriteFile(pipe, "abcdefg", 7, &written, nullptr);
    // The new file is made beside the output's name, which it takes only when complete.
    const std::wstring beside = folder + L"\\" + relative.substr(0, relative.size() - 1);
    for (int wait = 0; wait < 200 && names_in(beside, L".zeilfuge-*").empty(); ++wait)
        Sleep(50);
    const bool created = !names_in(beside, L".zeilfuge-*").empty();
    Sleep(200);
    DisconnectNamedPipe(pipe);
    const bool ended = WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 1);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(pipe);
    check(connected && created, "the run never got going");
    check(ended && code == 97, "exit code " + std::to_string(code));
    check(!exists(output), "the output was left");
    check(names_in(beside, L".zeilfuge-*").empty(), "the new file was left");
}

// Of two hard links, the one named as output gets the result; the input's name keeps the
// old file.
void run_hard_link(const std::wstring& folder) {
    current = "in place through a hard link";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring data = folder + L"\\" + kOmega;
    const std::wstring link = folder + L"\\" + kChinese;
    if (!write_file(data, "abcdefg") || CreateHardLinkW(link.c_str(), data.c_str(), nullptr) == 0) {
        std::printf("skipped [%s]: no hard links here\n", current.c_str());
        return;
    }
    const Outcome outcome = run_tool(kOmega + L" " + kChinese + L" *ins 3", folder.substr(4));
    check(outcome.code == 0, "exit code " + std::to_string(outcome.code));
    std::string bytes;
    check(read_file(link, bytes) && bytes == "abc\r\ndef\r\ng", "the link holds " + visible(bytes));
    check(read_file(data, bytes) && bytes == "abcdefg", "the input holds " + visible(bytes));
    check(names_in(folder, L".zeilfuge-*").empty(), "temporary file left");
}

// An output that a log viewer holds open, sharing reading and writing but not its name: it
// can't be replaced, so it is written as `copy /y` writes it, through a handle of its own.
void run_held_open(const std::wstring& folder) {
    current = "an output held open by a log viewer";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring input = folder + L"\\in.txt";
    const std::wstring output = folder + L"\\viewed.txt";
    if (!write_file(input, "abcdefg") || !write_file(output, "an old log")) {
        check(false, "can't make the files");
        return;
    }
    const HANDLE viewer =
        CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (viewer == INVALID_HANDLE_VALUE) {
        check(false, "can't open the output as a viewer does");
        return;
    }
    const Outcome outcome = run_tool(L"in.txt viewed.txt *ins 3", folder.substr(4));
    CloseHandle(viewer);
    check(outcome.code == 0, "exit code " + std::to_string(outcome.code) + ": " + outcome.out);
    std::string bytes;
    check(read_file(output, bytes) && bytes == "abc\r\ndef\r\ng",
          "the output holds " + visible(bytes));
    check(names_in(folder, L".zeilfuge-*").empty(), "temporary file left");
}

// Another program at the input while its replacement is written: the run must fail and
// leave the input as that program left it, with no new file. It acts while the new file
// still exists under its own name, so before the replace; where the run was too quick for
// that, it is tried again with a larger input.
struct Meddler {
    std::string title;
    bool (*act)(const std::wstring& input);
    std::string (*expected)(std::size_t size);  // what the input holds afterwards
};

// Overwrites the first 25 bytes: the size stays, only the times tell.
bool edit_same_size(const std::wstring& input) {
    const HANDLE file = CreateFileW(input.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, std::string(25, 'y').data(), 25, &written, nullptr) != 0;
    CloseHandle(file);
    return ok && written == 25;
}

const Meddler kMeddlers[] = {
    {"a replace that fails: the input made read-only",
     [](const std::wstring& input) {
         return SetFileAttributesW(input.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
     },
     [](std::size_t size) { return std::string(size, 'x'); }},
    {"another program's edit of the same size during the run", edit_same_size,
     [](std::size_t size) { return std::string(25, 'y') + std::string(size - 25, 'x'); }},
};

void run_meddled(const Meddler& meddler, const std::wstring& folder) {
    current = meddler.title;
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring data = folder + L"\\" + kOmega;
    for (std::size_t size = std::size_t{8} << 20; size <= std::size_t{128} << 20; size *= 2) {
        SetFileAttributesW(data.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(data.c_str());
        if (!write_file(data, std::string(size, 'x'))) {
            check(false, "can't make the input");
            return;
        }
        std::wstring command = L"\"" + tool + L"\" " + kOmega + L" " + kOmega + L" *ins 1";
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        const HANDLE null_device = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherited,
                                               OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = null_device;
        startup.hStdError = null_device;
        PROCESS_INFORMATION process{};
        const std::wstring cwd = folder.substr(4);
        const BOOL started = CreateProcessW(tool.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                            nullptr, cwd.c_str(), &startup, &process);
        CloseHandle(null_device);
        if (started == 0) {
            check(false, "can't start the tool");
            return;
        }
        while (names_in(folder, L".zeilfuge-*").empty() &&
               WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        }
        const bool acted = meddler.act(data);
        const bool in_time = !names_in(folder, L".zeilfuge-*").empty();
        WaitForSingleObject(process.hProcess, 120000);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        if (!in_time) continue;
        check(acted, "the other program couldn't act");
        check(code == 97, "exit code " + std::to_string(code));
        std::string bytes;
        check(read_file(data, bytes) && bytes == meddler.expected(size),
              "the input doesn't hold what the other program left");
        check(names_in(folder, L".zeilfuge-*").empty(), "temporary file left");
        SetFileAttributesW(data.c_str(), FILE_ATTRIBUTE_NORMAL);
        return;
    }
    check(false, "every run ended before the other program could act");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) {
        std::printf("usage: windows_names_test PATH-TO-ZEILFUGE.EXE [CODE-PAGE]\n");
        return 2;
    }
    const UINT page = argc == 3 ? static_cast<UINT>(std::wcstoul(argv[2], nullptr, 10)) : 1252;
    if (page != 1252 && page != 932) {
        std::printf("no cases for code page %u\n", page);
        return 2;
    }
    if (GetACP() != page) {
        std::printf("skipped: the expected bytes are those of code page %u, not %u\n", page,
                    GetACP());
        return 77;
    }
    wchar_t full[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, full, nullptr) == 0) return 2;
    tool = full;
    wchar_t temporary[MAX_PATH];
    if (GetTempPathW(MAX_PATH, temporary) == 0) return 2;
    root = std::wstring(L"\\\\?\\") + temporary + L"zeilfuge-names-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    if (!CreateDirectoryW(root.c_str(), nullptr)) {
        std::printf("can't make %s\n", visible(root).c_str());
        return 2;
    }
    int number = 0;
    for (const Case& c : page == 932 ? cases_932() : cases())
        run_case(c, in_root(L"case" + std::to_wstring(++number)));
    if (page == 1252) {
        run_long_names(in_root(L"long"));
        run_hard_link(in_root(L"link"));
        run_held_open(in_root(L"held"));
        run_failed_long_output(in_root(L"failed-long"));
        int meddled = 0;
        for (const Meddler& meddler : kMeddlers)
            run_meddled(meddler, in_root(L"meddled" + std::to_wstring(++meddled)));
    }
    remove_tree(root);
    std::printf("windows names: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
