#include "texts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
