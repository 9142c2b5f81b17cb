#include "texts.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace zeilfuge {
namespace {

std::vector<std::string> lines_of(std::string_view text, std::string_view end = "\n") {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(end, at)) != std::string_view::npos;
         at = next + end.size()) {
        lines.emplace_back(text.substr(at, next - at));
    }
    EXPECT_EQ(at, text.size()) << "text doesn't end with a line end";
    return lines;
}

TEST(Texts, BannerIsABoxOfFiftyFiveColumns) {
    const std::vector<std::string> lines = lines_of(kBanner);
    ASSERT_EQ(lines.size(), 9U);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[1], std::string(55, '*'));
    EXPECT_EQ(lines[7], lines[1]);
    EXPECT_EQ(lines[2], "**" + std::string(51, ' ') + "**");
    EXPECT_EQ(lines[6], lines[2]);
    EXPECT_EQ(lines[3], "** Projekt     : QUELLARIS                           **");
    EXPECT_EQ(lines[4], "** Tool        : ZEILFUGE                            **");
    EXPECT_EQ(lines[5], "** Beschreibung: Kopiert in eine Streemfile CRLF     **");
    EXPECT_EQ(kStarLine, lines[1] + "\n");
}

TEST(Texts, RefusalPrintsSeventeenLinesWithBoxLinesOfFiftySevenBytes) {
    const std::string console = console_form(std::string(kBanner) + std::string(kUsage));
    const std::vector<std::string> lines = lines_of(console, "\r\n");
    ASSERT_EQ(lines.size(), 17U);
    EXPECT_EQ(lines.front(), "");
    EXPECT_EQ(lines.back(), "");
    for (std::size_t i = 1; i <= 7; ++i)
        EXPECT_EQ(lines[i].size() + 2, 57U) << "box line " << i + 1;
    EXPECT_EQ(lines[9], "Befehlsformat: ");
    EXPECT_EQ(lines[10], "ZEILFUGE.EXE [Eingabedatei] [Ausgabedatei] [*ins RCDLEN | *del] [/d]");
    EXPECT_EQ(lines[11], "");
    EXPECT_EQ(lines[12], "Beispiel:");
    EXPECT_EQ(lines[13], "ZEILFUGE.EXE BELTRA17.txt BELTRA17_crlf.txt *ins 11 /d ");
    EXPECT_EQ(lines[14], "-oder-");
    EXPECT_EQ(lines[15], "ZEILFUGE.EXE BELVOK62_crlf.txt BELVOK62.txt *del /d ");
    EXPECT_EQ(console.find('\n'), console.find("\r\n") + 1);
}

TEST(Texts, ConsoleFormWritesEveryLfAsCrLf) {
    EXPECT_EQ(console_form("a\nb\n\n"), "a\r\nb\r\n\r\n");
    EXPECT_EQ(console_form("no line end"), "no line end");
    EXPECT_EQ(console_form("%s %i\r"), "%s %i\r");
}

TEST(Texts, MessageLinesQuoteTheNameAsTyped) {
    EXPECT_EQ(input_error_line("a b.txt"), "ERROR: Datei \"a b.txt\" nicht gefunden");
    EXPECT_EQ(create_error_line("x/%s"), "ERROR: Datei \"x/%s\" kann nicht geschrieben werden");
    EXPECT_EQ(read_error_line("in"), "ERROR: Lesefehler in Datei \"in\"");
    EXPECT_EQ(write_error_line("out"), "ERROR: Schreibfehler in Datei \"out\"");
    EXPECT_EQ(record_length_error_line(" 0x%s"), "ERROR: Satzlaenge \" 0x%s\" ungueltig");
    EXPECT_EQ(mode_error_line("*isn"), "ERROR: Modus \"*isn\" ungueltig");
    EXPECT_EQ(mode_error_line(""), "ERROR: Modus \"\" ungueltig");
}

// Each reason ends the three lines in one form, after a colon; none leaves them as they are,
// and the input's line has no reason at all.
TEST(Texts, ReasonsEndTheLinesAfterAColon) {
    const struct {
        Reason reason;
        const char* text;
    } cases[] = {
        {Reason::folder_missing, "Verzeichnis fehlt"},
        {Reason::no_permission, "Zugriff verweigert"},
        {Reason::is_folder, "ist ein Verzeichnis"},
        {Reason::disk_full, "Datentraeger voll"},
        {Reason::quota_exceeded, "Speicherkontingent erschoepft"},
        {Reason::file_too_large, "Datei zu gross"},
        {Reason::read_only_fs, "Datentraeger schreibgeschuetzt"},
        {Reason::name_too_long, "Name zu lang"},
        {Reason::invalid_name, "Name ungueltig"},
        {Reason::name_taken, "Name inzwischen vergeben"},
        {Reason::in_use, "Datei wird verwendet"},
        {Reason::too_many_links, "zu viele symbolische Links"},
        {Reason::device_error, "Geraetefehler"},
        {Reason::out_of_memory, "Speicher reicht nicht"},
        {Reason::other, "Systemfehler"},
    };
    std::vector<std::string_view> seen;
    for (const auto& c : cases) {
        const std::string text = c.text;
        EXPECT_EQ(reason_text(c.reason), text);
        EXPECT_EQ(create_error_line("a: b", c.reason),
                  "ERROR: Datei \"a: b\" kann nicht geschrieben werden: " + text);
        EXPECT_EQ(read_error_line("in", c.reason), "ERROR: Lesefehler in Datei \"in\": " + text);
        EXPECT_EQ(write_error_line("out", c.reason),
                  "ERROR: Schreibfehler in Datei \"out\": " + text);
        for (char ch : text)
            EXPECT_TRUE(ch >= ' ' && ch <= '~') << text << ": ASCII only, as every message";
        EXPECT_EQ(std::ranges::count(seen, reason_text(c.reason)), 0) << text << " twice";
        seen.push_back(reason_text(c.reason));
    }
    EXPECT_EQ(reason_text(Reason::none), "");
    EXPECT_EQ(create_error_line("o", Reason::none), create_error_line("o"));
    EXPECT_EQ(read_error_line("i", Reason::none), read_error_line("i"));
    EXPECT_EQ(write_error_line("o", Reason::none), write_error_line("o"));
}

// The system's own error values, as the platform's calls report them.
TEST(Texts, SystemErrorsGiveTheirReasons) {
    const struct {
        int error;
        Reason reason;
    } cases[] = {
        {0, Reason::none},
#ifdef _WIN32
        {ERROR_FILE_NOT_FOUND, Reason::folder_missing},
        {ERROR_PATH_NOT_FOUND, Reason::folder_missing},
        {ERROR_BAD_NETPATH, Reason::folder_missing},
        {ERROR_ACCESS_DENIED, Reason::no_permission},
        {ERROR_DISK_FULL, Reason::disk_full},
        {ERROR_HANDLE_DISK_FULL, Reason::disk_full},
        {1295, Reason::quota_exceeded},  // ERROR_DISK_QUOTA_EXCEEDED
        {ERROR_FILE_TOO_LARGE, Reason::file_too_large},
        {ERROR_WRITE_PROTECT, Reason::read_only_fs},
        {ERROR_FILENAME_EXCED_RANGE, Reason::name_too_long},
        {ERROR_INVALID_NAME, Reason::invalid_name},
        {ERROR_FILE_EXISTS, Reason::name_taken},
        {ERROR_ALREADY_EXISTS, Reason::name_taken},
        {ERROR_SHARING_VIOLATION, Reason::in_use},
        {ERROR_LOCK_VIOLATION, Reason::in_use},
        {ERROR_USER_MAPPED_FILE, Reason::in_use},
        {ERROR_CANT_RESOLVE_FILENAME, Reason::too_many_links},
        {ERROR_CRC, Reason::device_error},
        {ERROR_WRITE_FAULT, Reason::device_error},
        {ERROR_NOT_ENOUGH_MEMORY, Reason::out_of_memory},
        {ERROR_INVALID_FUNCTION, Reason::other},
        {ERROR_INVALID_HANDLE, Reason::other},
#else
        {ENOENT, Reason::folder_missing},
        {ENOTDIR, Reason::folder_missing},
        {EACCES, Reason::no_permission},
        {EPERM, Reason::no_permission},
        {EISDIR, Reason::is_folder},
        {ENOSPC, Reason::disk_full},
        {EDQUOT, Reason::quota_exceeded},
        {EFBIG, Reason::file_too_large},
        {EROFS, Reason::read_only_fs},
        {ENAMETOOLONG, Reason::name_too_long},
        {EEXIST, Reason::name_taken},
        {ETXTBSY, Reason::in_use},
        {EBUSY, Reason::in_use},
        {ELOOP, Reason::too_many_links},
        {EIO, Reason::device_error},
        {ENOMEM, Reason::out_of_memory},
        {EINVAL, Reason::invalid_name},
        {EBADF, Reason::other},
        {EXDEV, Reason::other},
#endif
        {-1, Reason::other},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reason_from_error(c.error), c.reason) << "error " << c.error;
}

TEST(Texts, SummaryNamesTheOutputAndPrintsTheFullCount) {
    EXPECT_EQ(summary("o.txt", 0),
              "Ausgabe-Datei \"o.txt\"  geschlossen.\n0 Datensaetze verarbeitet\n" +
                  std::string(kStarLine));
    EXPECT_NE(summary("o", 4294967294).find("\n4294967294 Datensaetze verarbeitet\n"),
              std::string::npos);
}

}  // namespace
}  // namespace zeilfuge
