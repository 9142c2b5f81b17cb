#include "arguments.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace zeilfuge {
namespace {

TEST(DecimalValue, ReadsLikeStrtolAndWrapsInThirtyTwoBits) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"11", 11},
        {"-12", -12},
        {"+7", 7},
        {"7x", 7},
        {" 9", 9},
        {"\t\n\v\f\r 42", 42},
        {"0042", 42},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {"- 3", 0},
        {"x7", 0},
        {"/d", 0},
        {"2147483647", 2147483647},
        {"2147483648", -2147483647 - 1},
        {"-2147483648", -2147483647 - 1},
        {"4294967296", 0},
        {"4294967297", 1},
        {"4294967306", 10},
        {"-4294967295", 1},
        {"99999999999999999999", static_cast<std::int32_t>(0x630fffffU)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decimal_value(c.text), c.value) << '"' << c.text << '"';
}

TEST(ToUpper, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(to_upper("*ins /d -d az AZ"), "*INS /D -D AZ AZ");
    EXPECT_EQ(to_upper("\xe4\xf6\xfc\xdf"), "\xe4\xf6\xfc\xdf");
    EXPECT_EQ(to_upper(std::string_view("a\0b", 3)), std::string("A\0B", 3));
}

struct Parsed {
    Refusal result;
    RunSettings settings;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "zeilfuge");
    Parsed parsed;
    parsed.result = parse_arguments(static_cast<int>(args.size()), args.data(), parsed.settings);
    return parsed;
}

TEST(ParseArguments, FillsTheSettings) {
    const Parsed p = parse({"in", "out", "*ins", "11"});
    EXPECT_EQ(p.result, Refusal::none);
    EXPECT_EQ(p.settings.input_name, "in");
    EXPECT_EQ(p.settings.output_name, "out");
    EXPECT_EQ(p.settings.mode_word, "*ins");
    EXPECT_EQ(p.settings.mode, Mode::insert_line_ends);
    EXPECT_EQ(p.settings.record_length, 11);
    EXPECT_FALSE(p.settings.display);

    const Parsed q = parse({"in", "out", "*Del", "5", "-d"});
    EXPECT_EQ(q.result, Refusal::none);
    EXPECT_EQ(q.settings.mode_word, "*Del");
    EXPECT_EQ(q.settings.mode, Mode::delete_line_ends);
    EXPECT_EQ(q.settings.record_length, 5);
    EXPECT_TRUE(q.settings.display);
}

TEST(ParseArguments, TooFewArgumentsComeBeforeEverythingElse) {
    for (const auto& args : std::vector<std::vector<const char*>>{{},
                                                                  {"in"},
                                                                  {"in", "out"},
                                                                  {"in", "out", "*ins"},
                                                                  {"in", "out", "*del"},
                                                                  {"in", "out", "*xyz"},
                                                                  {"/d", "-d", "/D"}}) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.result, Refusal::too_few_arguments) << args.size() << " arguments";
        EXPECT_FALSE(p.settings.display) << "the switch scan runs only on a full command line";
    }
    RunSettings settings;
    EXPECT_EQ(parse_arguments(0, nullptr, settings), Refusal::too_few_arguments);
}

TEST(ParseArguments, ModeWordMustMatchAsAWholeWord) {
    constexpr auto ins = Mode::insert_line_ends;
    constexpr auto del = Mode::delete_line_ends;
    const struct {
        const char* word;
        Refusal result;
        Mode mode;
    } cases[] = {
        {"*ins", Refusal::none, ins},           {"*INS", Refusal::none, ins},
        {"*iNs", Refusal::none, ins},           {"*del", Refusal::none, del},
        {"*DeL", Refusal::none, del},           {"*ins ", Refusal::bad_mode_word, ins},
        {" *ins", Refusal::bad_mode_word, ins}, {"*insx", Refusal::bad_mode_word, ins},
        {"*in", Refusal::bad_mode_word, ins},   {"ins", Refusal::bad_mode_word, ins},
        {"*xyz", Refusal::bad_mode_word, ins},  {"", Refusal::bad_mode_word, ins},
        {"/d", Refusal::bad_mode_word, ins},    {"-D", Refusal::bad_mode_word, ins},
    };
    for (const auto& c : cases) {
        const Parsed p = parse({"in", "out", c.word, "11"});
        EXPECT_EQ(p.result, c.result) << '"' << c.word << '"';
        EXPECT_EQ(p.settings.mode_word, c.word) << "kept as typed, for the error line";
        if (c.result == Refusal::none) {
            EXPECT_EQ(p.settings.mode, c.mode) << '"' << c.word << '"';
        }
    }
}

TEST(ParseArguments, InsertRefusesRecordLengthZeroDeleteTakesIt) {
    const struct {
        const char* word;
        std::int32_t value;
    } cases[] = {
        {"abc", 0},  {"0", 0},   {"0x50", 0},
        {"--80", 0}, {"/d", 0},  {"4294967296", 0},
        {"-0", 0},   {"", 0},    {" 0 ", 0},
        {"1", 1},    {"-1", -1}, {"4294967297", 1},
        {"80x", 80}, {"007", 7}, {"-2147483648", -2147483647 - 1},
    };
    for (const auto& c : cases) {
        const Parsed ins = parse({"in", "out", "*ins", c.word});
        EXPECT_EQ(ins.result, c.value == 0 ? Refusal::record_length_zero : Refusal::none)
            << '"' << c.word << '"';
        EXPECT_EQ(ins.settings.record_length_word, c.word);
        EXPECT_EQ(ins.settings.record_length, c.value) << '"' << c.word << '"';

        const Parsed del = parse({"in", "out", "*DeL", c.word});
        EXPECT_EQ(del.result, Refusal::none) << '"' << c.word << '"';
        EXPECT_EQ(del.settings.record_length, c.value) << '"' << c.word << '"';
    }
    // A bad mode word is the reason, whatever the length.
    EXPECT_EQ(parse({"in", "out", "*xyz", "0"}).result, Refusal::bad_mode_word);
}

TEST(ParseArguments, DisplaySwitchAnywhereButOnlyAsAWholeWord) {
    EXPECT_TRUE(parse({"/d", "out", "*ins", "11"}).settings.display);
    EXPECT_EQ(parse({"/d", "out", "*ins", "11"}).settings.input_name, "/d");
    EXPECT_TRUE(parse({"in", "-D", "*ins", "11"}).settings.display);
    EXPECT_TRUE(parse({"in", "out", "*ins", "11", "x", "y", "/D"}).settings.display);

    const Parsed fourth = parse({"in", "out", "*del", "/d"});
    EXPECT_EQ(fourth.result, Refusal::none);
    EXPECT_TRUE(fourth.settings.display);
    EXPECT_EQ(fourth.settings.record_length, 0);

    const Parsed third = parse({"in", "out", "/d", "11"});
    EXPECT_EQ(third.result, Refusal::bad_mode_word);
    EXPECT_TRUE(third.settings.display);

    EXPECT_EQ(parse({"in", "out", "*xyz", "11", "/d"}).result, Refusal::bad_mode_word);

    for (const char* not_a_switch : {"/dx", "-dd", "/", "d", "/d ", " /d", "--d", "\\d"}) {
        EXPECT_FALSE(parse({"in", "out", "*ins", "11", not_a_switch}).settings.display)
            << '"' << not_a_switch << '"';
    }

    // Element 0 counts too.
    const char* argv[] = {"/D", "in", "out", "*ins", "1"};
    RunSettings settings;
    EXPECT_EQ(parse_arguments(5, argv, settings), Refusal::none);
    EXPECT_TRUE(settings.display);
}

TEST(ParseArguments, LongNamesAreKeptWhole) {
    const std::string name(4000, 'n');
    const Parsed p = parse({name.c_str(), name.c_str(), "*ins", "11"});
    EXPECT_EQ(p.settings.input_name, name);
    EXPECT_EQ(p.settings.output_name, name);
}

}  // namespace
}  // namespace zeilfuge
