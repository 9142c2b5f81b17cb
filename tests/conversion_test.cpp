#include "conversion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels.hpp"
#include "reference_conversion.hpp"

namespace zeilfuge {
namespace {

constexpr Mode INS = Mode::insert_line_ends;
constexpr Mode DEL = Mode::delete_line_ends;

struct Converted {
    std::string output;
    std::int64_t counter = 0;
};

// Feeds the input to the engine in pieces of the given sizes (the last size repeats),
// through an output buffer of the given capacity, as the driver does.
Converted convert_in_pieces(std::string_view input, Mode mode, std::int32_t rcdlen,
                            const std::vector<std::size_t>& pieces,
                            std::size_t out_capacity = 1 << 16, bool last_piece_ends = false) {
    ConversionState state = start_conversion(mode, rcdlen);
    std::vector<std::byte> out(out_capacity);
    Converted result;
    std::size_t at = 0;
    std::size_t piece_index = 0;
    for (;;) {
        const std::size_t size =
            std::min(pieces[std::min(piece_index++, pieces.size() - 1)], input.size() - at);
        const bool last = at + size == input.size();
        // A copy of exactly the piece, so that reading past it shows up under the sanitizer.
        std::vector<std::byte> piece(size);
        if (size != 0) std::memcpy(piece.data(), input.data() + at, size);
        at += size;
        const bool input_ends = size == 0 || (last && last_piece_ends);
        std::span<const std::byte> rest(piece);
        for (;;) {
            const BlockResult step = convert_block(state, rest, out, input_ends);
            EXPECT_LE(step.consumed, rest.size());
            EXPECT_LE(step.produced, out.size());
            result.output.append(reinterpret_cast<const char*>(out.data()), step.produced);
            rest = rest.subspan(step.consumed);
            if (step.complete) break;
            EXPECT_TRUE(step.produced != 0 || step.consumed != 0) << "no progress";
            if (step.produced == 0 && step.consumed == 0) return result;
        }
        EXPECT_TRUE(rest.empty());
        if (input_ends) break;
    }
    result.counter = state.counter;
    return result;
}

struct Case {
    Mode mode;
    std::int32_t rcdlen;
    std::string input;
    std::string output;
    std::int64_t counter;
};

using namespace std::string_literals;

// Every test of the engine runs once per kernel of this build: each must give the bytes of
// the byte-at-a-time reference. A kernel this processor can't run is skipped.
class Conversion : public testing::TestWithParam<const Kernel*> {
   protected:
    void SetUp() override {
        if (!GetParam()->runs_here()) {
            GTEST_SKIP() << "this processor lacks the instructions of the " << GetParam()->name
                         << " kernel";
        }
        use_kernel_for_testing(*GetParam());
    }
    void TearDown() override { use_kernel_for_testing(active_kernel_before); }

   private:
    const Kernel& active_kernel_before = active_kernel();
};

INSTANTIATE_TEST_SUITE_P(Kernels, Conversion, testing::ValuesIn(built_kernels()),
                         [](const testing::TestParamInfo<const Kernel*>& info) {
                             return std::string(info.param->name);
                         });

const Case kCases[] = {
    {INS, 3, "abcdefgh", "abc\r\ndef\r\ngh", 8},
    {INS, 3, "abcdef\r\n", "abc\r\ndef\r\n", 6},
    {INS, 3, "abcd\r\n", "abc\r\nd\r\n\r\n", 4},
    {INS, 3, "abc\r\ndef\r\n", "abc\r\n\r\ndef\r\n", 6},
    {INS, 3, "ab\r\ncd\r\n", "ab\r\nc\r\nd\r\n\r\n", 4},
    {INS, 1, "abc", "a\r\nb\r\nc", 3},
    {INS, 1, "\r\nab", "\r\n\r\na\r\nb", 2},
    {INS, 1, "a\r\nb\r\n", "a\r\n\r\nb\r\n\r\n", 2},
    {INS, -3, "abcdefg", "abc\r\ndef\r\ng", 7},
    {INS, 3, "\n\nab\ncd", "\r\n\r\nab\r\nc\r\nd", 4},  // a lone LF is a line end too
    {INS, 3, "ab\rc\r", "ab\r\r\nc\r", 5},              // lone CRs are data, the last one too
    {INS, 2, "a\r\r\nb", "a\r\r\n\r\nb", 3},            // CR CR LF: data CR, then a line end
    {INS, 2, "a\0b\0c"s, "ab\r\nc", 3},
    {INS, 3, "\0\0\0"s, "", 0},
    {INS, 0, "abc\ndef\r\n\0g"s, "abc\r\ndef\r\ng", 7},
    {INS, -2147483648, "abc\ndef", "abc\r\ndef", 6},
    {INS, 2147483647, "abcdef", "abcdef", 6},
    {DEL, 3, "ab\r\ncd\r\n", "ab cd ", 6},
    {DEL, 3, "abc\r\n\r\nabcd\r\nx", "abcabcd  x", 10},
    {DEL, 3, "a\0b\r\n"s, "ab ", 3},
    {DEL, 5, "ab\rx\r\n", "ab\rx ", 5},
    {DEL, -4, "ab\ncd\r\ne", "ab  cd  e", 9},
    {DEL, 4, "ab\r", "ab\r", 3},
    {DEL, 4, "ab\r\r\n", "ab\r ", 4},
    {DEL, 4, "\r\n\n\r\n", "", 0},
    {DEL, 0, "ab\r\ncd\nef", "abcdef", 6},
    {DEL, 1, "ab\r\ncd\n", "abcd", 4},
    {INS, 3,
     "ab\x1a"
     "cd",
     "ab", 2},
    {DEL, 3,
     "ab\x1a"
     "cd\r\n",
     "ab", 2},
    {DEL, 3, "ab\r\x1a\n", "ab\r", 3},  // a CR before Ctrl-Z is data
    {INS, 3, "", "", 0},
    {DEL, 3, "", "", 0},
};

// Ways to cut the input: whole, byte by byte, in pairs (which splits CR LF pairs at odd
// offsets), and in threes.
const std::vector<std::vector<std::size_t>> kSplits = {{1 << 20, 0}, {1}, {2}, {3}, {1, 2}};

TEST_P(Conversion, GivesTheExpectedBytesAndCountWhateverTheBlockBoundaries) {
    for (const Case& c : kCases) {
        for (const auto& split : kSplits) {
            for (std::size_t capacity : {kMinimumOutput, std::size_t{1} << 16}) {
                for (bool last_piece_ends : {false, true}) {
                    const Converted got = convert_in_pieces(c.input, c.mode, c.rcdlen, split,
                                                            capacity, last_piece_ends);
                    EXPECT_EQ(got.output, c.output) << "input \"" << c.input << "\" rcdlen "
                                                    << c.rcdlen << " split " << split[0];
                    EXPECT_EQ(got.counter, c.counter) << "input \"" << c.input << "\"";
                }
            }
        }
    }
}

TEST(Reference, AgreesWithTheCases) {
    for (const Case& c : kCases) {
        const ReferenceResult expected = reference_convert(c.input, c.mode, c.rcdlen);
        EXPECT_EQ(expected.output, c.output) << "reference on \"" << c.input << "\"";
        EXPECT_EQ(expected.counter, c.counter);
    }
}

TEST_P(Conversion, RecordsLongerThanTheOutputBufferAreCutCorrectly) {
    std::string input(100000, 'x');
    const Converted got = convert_in_pieces(input, INS, 40000, {777}, kMinimumOutput);
    EXPECT_EQ(got.output, std::string(40000, 'x') + "\r\n" + std::string(40000, 'x') + "\r\n" +
                              std::string(20000, 'x'));
}

TEST_P(Conversion, PaddingLargerThanTheOutputBufferIsWrittenInFull) {
    const Converted got = convert_in_pieces("ab\r\nc\r\n", DEL, 65536, {1}, kMinimumOutput);
    EXPECT_EQ(got.output, "ab" + std::string(65534, ' ') + "c" + std::string(65535, ' '));
    EXPECT_EQ(got.counter, 131072);
}

TEST(ConversionLimits, CounterRunsPastThirtyTwoBits) {
    // The first padded line takes the counter to the 32-bit limit, or to 2^31 with the most
    // negative RCDLEN, and the next bytes past it. A line of more than a group's worth takes
    // the path for whole regions of lines; there the pad of 2^31 blanks overflows a signed
    // 32-bit size. The output is checked as it goes, not kept: the first and last bytes, and
    // blanks between them.
    const struct {
        std::int32_t rcdlen;
        std::string input;
        std::int64_t counter;
    } kRows[] = {
        {2147483647, "a\r\nb", 2147483648},
        {-2147483648, "a\r\n" + std::string(70, ' ') + "b", 2147483648 + 71},
    };
    for (const auto& row : kRows) {
        ConversionState state = start_conversion(DEL, row.rcdlen);
        std::span<const std::byte> rest(reinterpret_cast<const std::byte*>(row.input.data()),
                                        row.input.size());
        std::vector<std::byte> out(1 << 20);
        const std::vector<std::byte> blanks(out.size(), std::byte{' '});
        std::string ends;  // the bytes that aren't blanks
        std::int64_t written = 0;
        for (;;) {
            const BlockResult step = convert_block(state, rest, out, true);
            std::size_t from = 0;
            std::size_t to = step.produced;
            if (written == 0 && to != 0) ends += static_cast<char>(out[from++]);
            if (step.complete && to != 0) ends += static_cast<char>(out[--to]);
            EXPECT_EQ(std::memcmp(out.data() + from, blanks.data(), to - from), 0);
            written += static_cast<std::int64_t>(step.produced);
            rest = rest.subspan(step.consumed);
            if (step.complete) break;
        }
        EXPECT_EQ(ends, "ab") << "RCDLEN " << row.rcdlen;
        EXPECT_EQ(state.counter, row.counter) << "RCDLEN " << row.rcdlen;
        EXPECT_EQ(written, state.counter) << "RCDLEN " << row.rcdlen;
    }
}

TEST(ConversionLimits, MostNegativeRecordLengthBreaksAfterTwoGibibytes) {
    ConversionState state = start_conversion(INS, -2147483648);
    EXPECT_EQ(state.record_length, std::int64_t{2147483648});
    state.counter = 2147483648;  // as after that many data bytes
    std::vector<std::byte> out(kMinimumOutput);
    const std::string input = "z";
    const BlockResult step = convert_block(
        state, std::as_bytes(std::span<const char>(input.data(), input.size())), out, true);
    ASSERT_TRUE(step.complete);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), step.produced), "\r\nz");
}

TEST_P(Conversion, NothingAfterCtrlZIsRead) {
    ConversionState state = start_conversion(INS, 3);
    std::vector<std::byte> out(kMinimumOutput);
    const std::string first = "ab\x1a";
    convert_block(state, std::as_bytes(std::span<const char>(first.data(), first.size())), out,
                  false);
    EXPECT_TRUE(state.ended);
    const std::string second = "cdef";
    const BlockResult step = convert_block(
        state, std::as_bytes(std::span<const char>(second.data(), second.size())), out, false);
    EXPECT_EQ(step.consumed, second.size());
    EXPECT_EQ(step.produced, 0U);
    EXPECT_TRUE(step.complete);
}

// The scan for special bytes takes the input many bytes at a time and only looks closer at
// a block that may hold one. A special byte at every place of a long run, next to bytes the
// block test may mistake for one (control bytes, 0x1B, bytes with the top bit set), must
// still be found exactly where it is, and a second one after it too.
TEST_P(Conversion, FindsEverySpecialByteWhereverItSitsInALongRun) {
    const char kSpecials[] = {'\0', '\n', '\r', '\x1a'};
    const char kNeighbours[] = {'A', '\t', '\x01', '\x19', '\x1b', '\x1c', '\x9b', '\xff'};
    const struct {
        Mode mode;
        std::int32_t rcdlen;
    } kSettings[] = {{INS, 0}, {INS, 7}, {INS, 1}, {DEL, 5}, {DEL, 0}};
    std::string run;
    for (int i = 0; i < 70; ++i)
        run += static_cast<char>(i % 2 == 0 ? 'a' + i % 26 : '\x80' + i);
    for (const auto& setting : kSettings) {
        for (const char special : kSpecials) {
            for (const char neighbour : kNeighbours) {
                for (std::size_t at = 1; at + 1 < run.size(); ++at) {
                    std::string input = run;
                    input[at - 1] = neighbour;
                    input[at] = special;
                    input[std::min(at + 19, input.size() - 1)] = '\n';
                    const ReferenceResult expected =
                        reference_convert(input, setting.mode, setting.rcdlen);
                    const Converted got =
                        convert_in_pieces(input, setting.mode, setting.rcdlen, {1 << 20, 0});
                    ASSERT_EQ(got.output, expected.output)
                        << "special " << int{special} << " at " << at << " after " << int{neighbour}
                        << " rcdlen " << setting.rcdlen;
                    ASSERT_EQ(got.counter, expected.counter);
                }
            }
        }
    }
}

// A mix of data bytes (letters, blanks, bytes with the top bit set) and CR, LF and NUL, where
// each byte is one of the three with the given chance in percent, none of them dominating.
std::string random_mix(std::uint32_t seed, int density, std::size_t size) {
    static const char kData[] = {'a', 'b', ' ', '\x80', '\xff', '\t'};
    static const char kSpecials[] = {'\r', '\n', '\0'};
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<std::size_t> data(0, std::size(kData) - 1);
    std::uniform_int_distribution<std::size_t> specials(0, std::size(kSpecials) - 1);
    std::string mix(size, ' ');
    for (char& b : mix)
        b = percent(rng) < density ? kSpecials[specials(rng)] : kData[data(rng)];
    return mix;
}

// Inputs where special bytes come thick: records padded with NULs, sparse files, empty lines,
// lone CRs, each repeated over many groups, and random mixes at several densities, cut at
// sizes around the group and page sizes, with a change of pattern in the middle so that the
// engine switches between its paths.
TEST_P(Conversion, DensePatternsAgreeWithTheReference) {
    std::vector<std::string> patterns = {
        "\0"s,      "a\0"s,   "\0\0\0\0\0\0\0a"s, "\r",      "\n",         "a\r",
        "\r\n",     "a\n",    "ab\r\n"s,          "\0\r\n"s, "\r\0\n"s,    "\r\r\n",
        "\n\0a\r"s, "\x80\r", "abcdefg\0"s,       "a\r\n\n", "xyz\0\0\n"s, "\r\n\r"};
    const struct {
        std::uint32_t seed;
        int density;
    } kMixes[] = {{1, 100}, {2, 75}, {3, 50}, {4, 30}, {5, 15}, {6, 6}};
    for (const auto& mix : kMixes)
        patterns.push_back(random_mix(mix.seed, mix.density, 3000));
    const std::int32_t kLengths[] = {1, 80, 2, 3, 0, 64, 65, -7, 4096};
    const std::vector<std::vector<std::size_t>> kPieces = {{1 << 20, 0}, {4096},    {4095, 4097},
                                                           {63, 64, 65}, {1000, 1}, {129}};
    for (std::size_t p = 0; p < patterns.size(); ++p) {
        const std::string& pattern = patterns[p];
        std::string input;
        while (input.size() < 3000)
            input += pattern;
        // A stretch of plain data, then the pattern again from an odd offset.
        input += std::string(300, 'q') + input.substr(1, 1500);
        for (const Mode mode : {INS, DEL}) {
            for (const std::int32_t rcdlen : kLengths) {
                const ReferenceResult expected = reference_convert(input, mode, rcdlen);
                for (const auto& pieces : kPieces) {
                    for (const std::size_t capacity : {std::size_t{600}, std::size_t{1} << 16}) {
                        const Converted got =
                            convert_in_pieces(input, mode, rcdlen, pieces, capacity);
                        ASSERT_EQ(got.output, expected.output)
                            << "pattern " << p << " (mixes from "
                            << std::size(patterns) - std::size(kMixes) << "), rcdlen " << rcdlen
                            << ", pieces " << pieces[0] << ", capacity " << capacity;
                        ASSERT_EQ(got.counter, expected.counter);
                    }
                }
            }
        }
    }
}

// Once a long run has gone a piece of the scan without a special byte, records are tested as
// they are placed. A special byte anywhere after that, near the ends of records and pieces,
// among bytes that are near special, must stop the records exactly there, with the input cut
// in blocks and the output filling up on the way.
TEST_P(Conversion, LongPlainRunsStopAtASpecialByteAnywhere) {
    const std::int32_t kLengths[] = {1, 2, 11, 48, 49, 80, -64, 256, 257};
    std::mt19937 rng(1209);
    std::string run(3 * 8192 + 700, 'x');
    for (std::size_t i = 0; i < run.size(); ++i)
        run[i] = i % 97 == 5 ? '\x19' : i % 89 == 3 ? '\x01' : static_cast<char>('A' + i % 26);
    for (const std::int32_t rcdlen : kLengths) {
        const auto length = static_cast<std::size_t>(rcdlen < 0 ? -rcdlen : rcdlen);
        std::vector<std::size_t> places = {0, 8191, 8192, 2 * 8192 + length, run.size() - 1};
        for (std::size_t k = 0; k < 12; ++k) {
            const std::size_t base = 8192 + k * length;
            for (const std::size_t near : {base - 1, base, base + 1})
                places.push_back(std::min(near, run.size() - 1));
            places.push_back(std::uniform_int_distribution<std::size_t>(8192, run.size() - 1)(rng));
        }
        for (const std::size_t at : places) {
            std::string input = run;
            input[at] = "\0\r\n\x1a"[at % 4];
            input += run.substr(0, 9000);  // a second run after it, which a Ctrl-Z ends unread
            const ReferenceResult expected = reference_convert(input, INS, rcdlen);
            for (const auto& [pieces, capacity] :
                 {std::pair{std::vector<std::size_t>{1 << 20, 0}, std::size_t{1} << 16},
                  {{5000}, 1 << 16},
                  {{1 << 20, 0}, 3000}}) {
                const Converted got = convert_in_pieces(input, INS, rcdlen, pieces, capacity);
                ASSERT_EQ(got.output, expected.output)
                    << "special at " << at << ", rcdlen " << rcdlen << ", pieces " << pieces[0]
                    << ", capacity " << capacity;
                ASSERT_EQ(got.counter, expected.counter);
            }
        }
    }
}

// A CR LF pair, a lone CR or a Ctrl-Z at every place across the first few group boundaries,
// among special bytes thick enough for the groups to take them.
TEST_P(Conversion, SpecialBytesAtEveryPlaceAcrossGroupBoundaries) {
    const std::string kMarks[] = {"\r\n", "\r", "\r\x1a", "\n\n", "\r\r\n"};
    std::string background;
    for (int i = 0; i < 400; ++i)
        background += i % 3 == 0 ? '\0' : static_cast<char>('a' + i % 26);
    for (const std::string& mark : kMarks) {
        for (std::size_t at = 0; at + mark.size() <= 260; ++at) {
            std::string input = background;
            input.replace(at, mark.size(), mark);
            for (const auto& [mode, rcdlen] : {std::pair{INS, 5}, {INS, 1}, {DEL, 7}, {DEL, 1}}) {
                const ReferenceResult expected = reference_convert(input, mode, rcdlen);
                for (const auto& pieces :
                     std::vector<std::vector<std::size_t>>{{1 << 20, 0}, {at + 1}, {64}}) {
                    const Converted got = convert_in_pieces(input, mode, rcdlen, pieces);
                    ASSERT_EQ(got.output, expected.output)
                        << "mark of " << mark.size() << " bytes at " << at << " rcdlen " << rcdlen
                        << " piece " << pieces[0];
                    ASSERT_EQ(got.counter, expected.counter);
                }
            }
        }
    }
}

bool special(unsigned char b) {
    return b == 0x00 || b == 0x0A || b == 0x0D || b == 0x1A;
}

// The kernel's scans against their plain definitions, at every offset and length, on bytes
// that are special, next to special, or far from it, and at an odd address.
TEST_P(Conversion, KernelScansMatchTheirDefinitions) {
    const Kernel& kernel = *GetParam();
    std::mt19937 rng(915);
    const unsigned char kBytes[] = {0x00, 0x0A, 0x0D, 0x1A, 0x01, 0x09, 0x0B, 0x0C, 0x0E,
                                    0x19, 0x1B, 0x20, 'a',  0x80, 0x8A, 0x9A, 0xFF};
    std::vector<unsigned char> buffer(4 * kGroup + 2);
    std::vector<unsigned char> out(buffer.size() + kGroup);
    for (int round = 0; round < 3000; ++round) {
        // Mostly plain bytes, with a few of the others, so that long runs come up too.
        const int density = round % 3 == 0 ? 2 : 40;
        for (unsigned char& b : buffer) {
            b = std::uniform_int_distribution<int>(0, 99)(rng) < density
                    ? kBytes[std::uniform_int_distribution<std::size_t>(0,
                                                                        std::size(kBytes) - 1)(rng)]
                    : static_cast<unsigned char>('A' + round % 26);
        }
        const unsigned char* const in = buffer.data() + 1;  // an odd address
        const std::size_t length =
            std::uniform_int_distribution<std::size_t>(0, buffer.size() - 1)(rng);
        std::size_t first = 0;
        while (first < length && !special(in[first]))
            ++first;
        ASSERT_EQ(kernel.find_special(in, in + length), first) << "round " << round;
        std::fill(out.begin(), out.end(), 0xEE);
        ASSERT_EQ(kernel.copy_plain(in, in + length, out.data()), first) << "round " << round;
        EXPECT_TRUE(std::equal(in, in + first, out.data()));
        EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(length), out.end(),
                                [](unsigned char b) { return b == 0xEE; }))
            << "copy_plain wrote beyond its end, round " << round;

        // The line ends of *DEL: each LF, doubled, plus 1 after a CR; the scan stops at a NUL,
        // Ctrl-Z or a CR without an LF after it, and leaves out a CR LF cut at its end.
        const std::size_t groups = static_cast<std::size_t>(round % 4);
        std::vector<std::uint16_t> expected_ends;
        std::size_t expected_scanned = groups * kGroup;
        for (std::size_t i = 0; i < groups * kGroup; ++i) {
            if (in[i] == 0x00 || in[i] == 0x1A || (in[i] == 0x0D && in[i + 1] != 0x0A)) {
                expected_scanned = i;
                break;
            }
            if (in[i] == 0x0A)
                expected_ends.push_back(
                    static_cast<std::uint16_t>(2 * i + (i > 0 && in[i - 1] == 0x0D)));
        }
        if (expected_scanned == groups * kGroup && groups != 0 && in[expected_scanned - 1] == 0x0D)
            --expected_scanned;
        std::vector<std::uint16_t> ends(kLineEndsRoom);
        std::size_t scanned = 0;
        const std::size_t count = kernel.find_line_ends(in, groups, ends.data(), scanned);
        ASSERT_EQ(std::vector(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(count)),
                  expected_ends)
            << "round " << round;
        ASSERT_EQ(scanned, expected_scanned) << "round " << round;

        // Records of every short length, each behind its break, from an odd address; the
        // kernel may write within its slack beyond them, and no further.
        static const std::size_t kLengths[] = {1,  2,  3,  5,  11, 13,  16,  17,  48,  49, 62,
                                               63, 64, 65, 80, 81, 126, 127, 128, 200, 256};
        const std::size_t record = kLengths[static_cast<std::size_t>(round) % std::size(kLengths)];
        std::vector<unsigned char> source(4096 + kRecordSlack + 1);
        for (unsigned char& b : source)
            b = static_cast<unsigned char>(rng());
        const std::size_t records =
            std::uniform_int_distribution<std::size_t>(0, 4096 / record)(rng);
        std::string expected_records;
        for (std::size_t i = 0; i < records; ++i) {
            expected_records += "\r\n";
            expected_records.append(reinterpret_cast<const char*>(source.data()) + 1 + i * record,
                                    record);
        }
        std::vector<unsigned char> placed(expected_records.size() + 2 * kRecordSlack, 0xEE);
        ASSERT_EQ(kernel.short_records(source.data() + 1, record, records, placed.data()),
                  placed.data() + expected_records.size());
        EXPECT_EQ(
            std::string(reinterpret_cast<const char*>(placed.data()), expected_records.size()),
            expected_records)
            << "records of " << record;
        EXPECT_TRUE(std::all_of(placed.end() - kRecordSlack, placed.end(),
                                [](unsigned char b) { return b == 0xEE; }));

        // The same records without their special bytes, but for one at a random place, up to
        // a slack beyond the last record, or none: plain_records places those before the one
        // that holds it, tests no byte beyond the records, and writes no further.
        static const unsigned char kSpecialBytes[] = {0x00, 0x0A, 0x0D, 0x1A};
        for (unsigned char& b : source) {
            if (special(b)) b = kBytes[4 + b % 8];  // 0x01 to 0x1B: near, but not special
        }
        const std::size_t planted =
            std::uniform_int_distribution<std::size_t>(0, records * record + kRecordSlack)(rng);
        if (round % 5 != 0) source[1 + planted] = kSpecialBytes[round % 4];
        const std::size_t plain = round % 5 != 0 ? std::min(records, planted / record) : records;
        std::fill(placed.begin(), placed.end(), 0xEE);
        ASSERT_EQ(kernel.plain_records(source.data() + 1, record, records, placed.data()), plain)
            << "records of " << record << ", special at " << planted << " of " << records;
        for (std::size_t i = 0; i < plain * (record + 2); ++i) {
            const std::size_t at = i % (record + 2);
            ASSERT_EQ(placed[i], at == 0   ? 0x0D
                                 : at == 1 ? 0x0A
                                           : source[1 + i / (record + 2) * record + at - 2])
                << "records of " << record << ", byte " << i;
        }
        EXPECT_TRUE(std::all_of(placed.end() - kRecordSlack, placed.end(),
                                [](unsigned char b) { return b == 0xEE; }));

        const unsigned char* const group = in + round % kGroup;
        const SpecialMasks masks = kernel.classify(group);
        std::uint64_t keep = 0;
        for (std::size_t i = 0; i < kGroup; ++i) {
            const std::uint64_t bit = std::uint64_t{1} << i;
            EXPECT_EQ((masks.nul & bit) != 0, group[i] == 0x00) << i;
            EXPECT_EQ((masks.lf & bit) != 0, group[i] == 0x0A) << i;
            EXPECT_EQ((masks.cr & bit) != 0, group[i] == 0x0D) << i;
            EXPECT_EQ((masks.ctrl_z & bit) != 0, group[i] == 0x1A) << i;
            if (rng() % 2 == 0) keep |= bit;
        }
        if (round % 5 == 0) keep = ~std::uint64_t{0};
        if (round % 7 == 0) keep = 0;
        std::string kept;
        for (std::size_t i = 0; i < kGroup; ++i) {
            if ((keep >> i & 1) != 0) kept += static_cast<char>(group[i]);
        }
        std::fill(out.begin(), out.end(), 0xEE);
        ASSERT_EQ(kernel.compress(group, keep, out.data() + 1), kept.size());
        // deposit against its definition: the j-th bit of the first, at the j-th set bit of
        // the second; sparse and dense ones both.
        const std::uint64_t bits = round % 2 == 0 ? keep : masks.lf | masks.cr << 7;
        std::uint64_t deposited = 0;
        std::size_t j = 0;
        for (std::size_t i = 0; i < kGroup; ++i) {
            if ((keep >> i & 1) != 0 && (bits >> j++ & 1) != 0) deposited |= std::uint64_t{1} << i;
        }
        ASSERT_EQ(kernel.deposit(bits, keep), deposited) << "round " << round;

        // insert_group: each kept byte, behind CR LF where it breaks and a CR where it ends a
        // line.
        const std::uint64_t breaks = keep & (round % 3 == 0 ? ~std::uint64_t{0} : rng());
        const std::uint64_t line_ends = keep & (round % 4 == 0 ? masks.lf : rng());
        std::string inserted;
        for (std::size_t i = 0; i < kGroup; ++i) {
            if ((keep >> i & 1) == 0) continue;
            if ((breaks >> i & 1) != 0) inserted += "\r\n";
            if ((line_ends >> i & 1) != 0) inserted += '\r';
            inserted += static_cast<char>(group[i]);
        }
        std::vector<unsigned char> placed_group(6 * kGroup + 1, 0xEE);
        ASSERT_EQ(kernel.insert_group(group, keep, breaks, line_ends, placed_group.data()),
                  inserted.size())
            << "round " << round;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(placed_group.data()), inserted.size()),
                  inserted)
            << "round " << round;
        EXPECT_TRUE(std::all_of(
            placed_group.begin() + static_cast<std::ptrdiff_t>(inserted.size() + kGroup),
            placed_group.end(), [](unsigned char b) { return b == 0xEE; }));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + 1, kept.size()), kept);
        EXPECT_EQ(out[0], 0xEE);
        EXPECT_TRUE(std::all_of(out.begin() + 1 + kGroup, out.end(),
                                [](unsigned char b) { return b == 0xEE; }));
    }
}

// Random inputs made mostly of the bytes that matter, cut at random places, against the
// byte-at-a-time reference.
std::string random_input(std::mt19937& rng) {
    static const char kAlphabet[] = {'\r', '\n', '\0', '\x1a', 'a', 'b', ' ', '\t', '\x80', '\xff'};
    std::uniform_int_distribution<int> pick(0, 99);
    std::string input;
    const int parts = std::uniform_int_distribution<int>(0, 40)(rng);
    for (int p = 0; p < parts; ++p) {
        const int kind = pick(rng);
        if (kind < 10) {
            input += "\r\n";
        } else if (kind < 15) {
            input += "\r\r\n";
        } else if (kind < 20) {
            input.append(std::uniform_int_distribution<std::size_t>(1, 5)(rng), '\0');
        } else if (kind < 22) {
            input += '\x1a';
        } else if (kind < 40) {
            // A long plain run, so that wide copies and whole-record loops get exercised.
            const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 300)(rng);
            for (std::size_t i = 0; i < n; ++i)
                input += static_cast<char>('A' + i % 26);
        } else {
            input +=
                kAlphabet[std::uniform_int_distribution<std::size_t>(0, sizeof kAlphabet - 1)(rng)];
        }
    }
    return input;
}

std::int32_t random_rcdlen(std::mt19937& rng, Mode mode) {
    static const std::int32_t kSpecial[] = {0, 1, 2, 3, -1, -3, 11, 16, 17, 80, 255, -80};
    const int kind = std::uniform_int_distribution<int>(0, 9)(rng);
    if (kind < 6)
        return kSpecial[std::uniform_int_distribution<std::size_t>(0,
                                                                   std::size(kSpecial) - 1)(rng)];
    if (kind < 9) return std::uniform_int_distribution<std::int32_t>(-40, 40)(rng);
    // Huge lengths pad by gigabytes in *DEL; the *INS side still meets them.
    if (mode == DEL) return 4096;
    return kind % 2 == 0 ? std::numeric_limits<std::int32_t>::min()
                         : std::numeric_limits<std::int32_t>::max();
}

TEST_P(Conversion, AgreesWithTheReferenceOnRandomInputsAndSplits) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 6000; ++round) {
        const Mode mode = round % 2 == 0 ? INS : DEL;
        const std::string input = random_input(rng);
        const std::int32_t rcdlen = random_rcdlen(rng, mode);
        // Small pieces and a small output cut everything everywhere; large ones let the
        // whole-record loops run.
        const bool large = (round / 2) % 2 == 1;
        std::vector<std::size_t> split;
        for (int i = 0; i < 8; ++i) {
            split.push_back(std::uniform_int_distribution<std::size_t>(1, large ? 5000 : 70)(rng));
        }
        const std::size_t capacity =
            std::uniform_int_distribution<std::size_t>(kMinimumOutput, large ? 20000 : 300)(rng);
        const bool last_piece_ends = round % 3 == 0;
        const ReferenceResult expected = reference_convert(input, mode, rcdlen);
        const Converted got =
            convert_in_pieces(input, mode, rcdlen, split, capacity, last_piece_ends);
        ASSERT_EQ(got.output, expected.output) << "round " << round << " rcdlen " << rcdlen;
        ASSERT_EQ(got.counter, expected.counter) << "round " << round;
    }
}

// Text as both modes meet it: lines of every length around the sizes that the line copying
// works in and beyond the region it finds line ends in, ended by CR LF or LF, with now and then a
// tab, a NUL or a lone CR among the data, converted in blocks large enough for whole lines and
// small enough to cut some. Some inputs start with an empty line and one of a single byte, whose
// line end draws no break in *INS, as that byte is the first data byte, and a long line.
TEST_P(Conversion, TextAgreesWithTheReferenceOnLinesOfEveryLength) {
    const std::int32_t lengths[] = {0,  1,  7,   15,  16,  63,  64,  65,
                                    66, 80, 127, 128, 129, 130, 200, 4096};
    std::mt19937 rng(8122026);
    for (const Mode mode : {DEL, INS}) {
        for (const std::int32_t rcdlen : lengths) {
            for (int round = 0; round < 40; ++round) {
                std::string input = round % 3 == 1 ? "\nb\n" + std::string(70, 'c') : "";
                // Now and then lines longer than a region of line ends (4 KiB).
                std::uniform_int_distribution<int> line_length(0, round % 4 == 0    ? 300
                                                                  : round % 10 == 3 ? 9000
                                                                                    : 140);
                std::uniform_int_distribution<int> pick(0, 99);
                while (input.size() < 20000) {
                    const int n = line_length(rng);
                    for (int i = 0; i < n; ++i) {
                        const int kind = pick(rng);
                        input += kind == 0                     ? '\t'
                                 : kind == 1 && round % 5 == 0 ? '\0'
                                 : kind == 2 && round % 7 == 0 ? '\r'
                                                               : 'a' + i % 26;
                    }
                    input += pick(rng) < 80 ? "\r\n" : "\n";
                }
                const std::size_t piece =
                    std::uniform_int_distribution<std::size_t>(100, 9000)(rng);
                const std::size_t capacity =
                    std::uniform_int_distribution<std::size_t>(kMinimumOutput, 30000)(rng);
                const ReferenceResult expected = reference_convert(input, mode, rcdlen);
                const Converted got = convert_in_pieces(input, mode, rcdlen, {piece}, capacity);
                ASSERT_EQ(got.output, expected.output)
                    << "rcdlen " << rcdlen << " round " << round << " piece " << piece;
                ASSERT_EQ(got.counter, expected.counter)
                    << "rcdlen " << rcdlen << " round " << round;
            }
        }
    }
}

}  // namespace
}  // namespace zeilfuge
