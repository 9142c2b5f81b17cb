// The version record of the built executable, read the way Windows Explorer reads it.
#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

namespace {

struct VersionRecord {
    std::vector<char> data;

    std::wstring value(const wchar_t* path) {
        void* found = nullptr;
        UINT size = 0;
        if (VerQueryValueW(data.data(), path, &found, &size) == 0) return L"<missing>";
        return size == 0 ? std::wstring() : std::wstring(static_cast<const wchar_t*>(found));
    }
};

VersionRecord read_record() {
    const std::wstring exe(ZEILFUGE_EXE, ZEILFUGE_EXE + sizeof(ZEILFUGE_EXE) - 1);
    DWORD ignored = 0;
    VersionRecord record;
    record.data.resize(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
    if (!record.data.empty()) {
        GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(record.data.size()),
                            record.data.data());
    }
    return record;
}

TEST(VersionRecord, CarriesEveryValueInAGermanBlock) {
    VersionRecord record = read_record();
    ASSERT_FALSE(record.data.empty()) << "no version record in " << ZEILFUGE_EXE;

    void* found = nullptr;
    UINT size = 0;
    ASSERT_NE(VerQueryValueW(record.data.data(), L"\\", &found, &size), 0);
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(found);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(51, 4));
    EXPECT_EQ(fixed->dwFileVersionLS, 0U);
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(51, 4));

    ASSERT_NE(VerQueryValueW(record.data.data(), L"\\VarFileInfo\\Translation", &found, &size), 0);
    ASSERT_EQ(size, 4U);
    EXPECT_EQ(static_cast<const WORD*>(found)[0], 0x0407);
    EXPECT_EQ(static_cast<const WORD*>(found)[1], 1200);

    const wchar_t* block = L"\\StringFileInfo\\040704B0\\";
    auto value = [&](const wchar_t* name) {
        return record.value((std::wstring(block) + name).c_str());
    };
    EXPECT_EQ(value(L"FileVersion"), L"4.51");
    EXPECT_EQ(value(L"ProductVersion"), L"4.51");
    EXPECT_EQ(value(L"FileDescription"), L"Inser/Delete CRLF in Parameterfile");
    EXPECT_EQ(value(L"Comments"), L"Data Modify Tool FTP");
    EXPECT_EQ(value(L"InternalName"), L"ZEILFUGE");
    EXPECT_EQ(value(L"OriginalFilename"), L"ZEILFUGE.EXE");
    EXPECT_EQ(value(L"ProductName"), L"QUELLARIS");
    EXPECT_EQ(value(L"SpecialBuild"), L"20070613");
    EXPECT_EQ(value(L"PrivateBuild"), L"");
    EXPECT_EQ(value(L"LegalTrademarks"), L"");
}

TEST(VersionRecord, IsAGermanResource) {
    const std::wstring exe(ZEILFUGE_EXE, ZEILFUGE_EXE + sizeof(ZEILFUGE_EXE) - 1);
    const HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_NE(FindResourceExW(module, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1),
                              MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)),
              nullptr);
    FreeLibrary(module);
}

// Without a manifest the 32-bit EXE's writes under C:\Program Files would land in the
// VirtualStore, and long names would depend on the \\?\ prefix alone. Wine reads no
// manifest setting that these change, so only its resource is checked.
TEST(Manifest, AsksForTheCallersRightsAndLongNames) {
    const std::wstring exe(ZEILFUGE_EXE, ZEILFUGE_EXE + sizeof(ZEILFUGE_EXE) - 1);
    const HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no manifest in " << ZEILFUGE_EXE;
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    const std::string manifest(data, SizeofResource(module, found));
    FreeLibrary(module);
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker")"), std::string::npos);
    EXPECT_NE(manifest.find(R"(<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/)"
                            R"(WindowsSettings">true</longPathAware>)"),
              std::string::npos);
    // Windows 10 and 11: without it, the system treats the program as one for Windows 8.
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
}

}  // namespace
#endif
