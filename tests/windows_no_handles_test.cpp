// A run with no standard handles at all, as a detached job or a service starts it
// (STARTF_USESTDHANDLES with NULL handles): it converts, exit code 0, the console texts
// going nowhere; a failing run still fails with its own exit code.
//   windows_no_handles_test PATH-TO-ZEILFUGE.EXE
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool write_file(const std::wstring& name, const std::string& bytes) {
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
        written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string read_file(const std::wstring& name) {
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "(missing)";
    std::string bytes(4096, '\0');
    DWORD n = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(file);
    bytes.resize(n);
    return bytes;
}

// Runs the tool with every standard handle NULL; returns its exit code, or -1.
long run_without_handles(const std::wstring& tool, const std::wstring& arguments,
                         const std::wstring& folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = nullptr;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + tool + L"\" " + arguments;
    if (CreateProcessW(tool.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                       nullptr, folder.c_str(), &startup, &process) == 0) {
        return -1;
    }
    long code = -1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        DWORD exit_code = 0;
        GetExitCodeProcess(process.hProcess, &exit_code);
        code = static_cast<long>(exit_code);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

int failures = 0;

void check(bool ok, const char* what, const std::string& got) {
    if (ok) return;
    ++failures;
    std::printf("FAIL %s: %s\n", what, got.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: windows_no_handles_test PATH-TO-ZEILFUGE.EXE\n");
        return 2;
    }
    wchar_t tool[MAX_PATH];
    wchar_t temporary[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, tool, nullptr) == 0 ||
        GetTempPathW(MAX_PATH, temporary) == 0) {
        return 2;
    }
    const std::wstring folder =
        std::wstring(temporary) + L"zeilfuge-nohandles-" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return 2;
    const std::wstring in = folder + L"\\in.txt";
    const std::wstring out = folder + L"\\out.txt";
    if (!write_file(in, "abcdefg")) return 2;

    long code = run_without_handles(tool, L"in.txt out.txt *ins 3 /d", folder);
    check(code == 0, "a run with the display switch, exit code", std::to_string(code));
    const std::string converted = read_file(out);
    check(converted == "abc\r\ndef\r\ng", "its output", converted);

    code = run_without_handles(tool, L"in.txt in.txt *ins 3", folder);
    check(code == 0, "in place, exit code", std::to_string(code));
    const std::string replaced = read_file(in);
    check(replaced == "abc\r\ndef\r\ng", "in place, the file", replaced);

    code = run_without_handles(tool, L"missing.txt out.txt *ins 3", folder);
    check(code == 99, "a missing input, exit code", std::to_string(code));

    DeleteFileW(in.c_str());
    DeleteFileW(out.c_str());
    RemoveDirectoryW(folder.c_str());
    std::printf("no standard handles: %s\n", failures == 0 ? "passed" : "failed");
    return failures == 0 ? 0 : 1;
}
