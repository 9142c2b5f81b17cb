// Prints the tool's own console texts from its library, for the shell tests and the checks
// of the documents, so that they restate none of them:
//   print_texts banner | usage | summary NAME COUNT    as the console has them, in the form
//                                                      of a printf format
//   print_texts messages      each message line, the name in it as "…", one a line
//   print_texts reasons       each reason an error line may end with, one a line
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "texts.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

void print_format(std::string_view text) {
    std::string format;
    for (char c : zeilfuge::console_form(text)) {
        if (c == '\r') {
            format += "\\r";
        } else if (c == '\n') {
            format += "\\n";
        } else {
            if (c == '\\' || c == '%') format += c;
            format += c;
        }
    }
    std::fputs(format.c_str(), stdout);
}

void print_line(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zeilfuge;
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string_view what = argc > 1 ? argv[1] : "";
    const std::string_view name = "\xe2\x80\xa6";  // …
    if (what == "banner" && argc == 2) {
        print_format(kBanner);
    } else if (what == "usage" && argc == 2) {
        print_format(kUsage);
    } else if (what == "summary" && argc == 4) {
        print_format(summary(argv[2], std::strtoll(argv[3], nullptr, 10)));
    } else if (what == "messages" && argc == 2) {
        for (const std::string& line :
             {input_error_line(name), create_error_line(name), read_error_line(name),
              write_error_line(name), mode_error_line(name), left_aside_line(name),
              record_length_error_line(name)}) {
            print_line(line);
        }
        const std::string closing = summary(name, 0);
        print_line(std::string_view(closing).substr(0, closing.find('\n')));
    } else if (what == "reasons" && argc == 2) {
        for (int reason = static_cast<int>(Reason::none) + 1;
             reason <= static_cast<int>(Reason::other); ++reason) {
            print_line(reason_text(static_cast<Reason>(reason)));
        }
    } else {
        return 2;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
