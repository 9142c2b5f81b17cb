#include "conversion.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {

namespace {

// For is_special and copy_16: the same code as the kernels', in a copy of this file's own.
#include "kernel_generic.hpp"

constexpr Byte kNul = 0x00;
constexpr Byte kLf = 0x0A;
constexpr Byte kCr = 0x0D;
constexpr Byte kBlank = 0x20;

// A line end written, with the break that may precede it, needs four bytes; copying data
// always leaves them free, so a special byte never waits for room.
constexpr std::ptrdiff_t kSpecialRoom = 4;
// A short piece of data is copied in one piece of this fixed size; the bytes beyond it are
// overwritten by what follows.
constexpr std::size_t kWideCopy = 16;

// Writes CR LF: a record break, or a line end.
void put_crlf(Byte*& out) {
    out[0] = kCr;
    out[1] = kLf;
    out += 2;
}

// Writes the owed blanks that fit; true when none are left.
bool pay_blanks(ConversionState& state, Byte*& out, const Byte* out_end) {
    const auto n = std::min<std::int64_t>(state.blanks_owed, out_end - out);
    std::memset(out, kBlank, static_cast<std::size_t>(n));
    out += n;
    state.blanks_owed -= n;
    return state.blanks_owed == 0;
}

// The blanks that take the counter to the next multiple of length; none for length 0.
std::int64_t blanks_to_pad(std::int64_t counter, std::int64_t length) {
    const std::int64_t filled = length == 0 ? 0 : counter % length;
    return filled == 0 ? 0 : length - filled;
}

// The bytes from `from` to `to` beyond the first `skip` of them; 0 when there are none.
std::size_t room(const Byte* from, const Byte* to, std::size_t skip = 0) {
    const std::ptrdiff_t n = to - from;
    return n > static_cast<std::ptrdiff_t>(skip) ? static_cast<std::size_t>(n) - skip : 0;
}

// Copies the data bytes [in, in + n), placing a record break before every byte that
// starts a record other than the first. Returns how many bytes it took; fewer than n only
// when the output is full up to limit. Bytes up to readable_end may be read and bytes up to
// out_end written, though not used.
std::size_t insert_data(const Kernel& kernel, ConversionState& state, const Byte* in, std::size_t n,
                        const Byte* readable_end, Byte*& out, const Byte* limit,
                        const Byte* out_end) {
    const std::int64_t length = state.record_length;
    std::size_t done = 0;
    // Bytes in the current record: 1 to length once data has come, 0 before.
    std::int64_t filled = state.counter == 0 ? 0 : (state.counter - 1) % length + 1;
    while (done < n) {
        if (filled == length) {
            if (length <= static_cast<std::int64_t>(kShortRecord)) {
                // Whole short records: the per-record work must stay a few instructions.
                const auto size = static_cast<std::size_t>(length);
                const std::size_t readable = room(in + done, readable_end, kRecordSlack);
                const std::size_t writable = room(out, limit, kRecordSlack);
                const std::size_t count =
                    std::min({(n - done) / size, readable / size, writable / (size + 2)});
                out = kernel.short_records(in + done, size, count, out);
                done += count * size;
                if (done == n) break;
            }
            if (room(out, limit) < 3) break;
            put_crlf(out);
            filled = 0;
        }
        const std::size_t take =
            std::min({n - done, static_cast<std::size_t>(length - filled), room(out, limit)});
        if (take == 0) break;
        if (take <= kWideCopy && room(in + done, readable_end) >= kWideCopy &&
            room(out, out_end) >= kWideCopy) {
            copy_16(out, in + done);
        } else {
            std::memcpy(out, in + done, take);
        }
        out += take;
        done += take;
        filled += static_cast<std::int64_t>(take);
    }
    state.counter += static_cast<std::int64_t>(done);
    return done;
}

// *INS with a record length places breaks between the data; otherwise data is copied as it is.
bool breaks_records(const ConversionState& state) {
    return state.mode == Mode::insert_line_ends && state.record_length != 0;
}

// Places whole records from in, while they hold no special byte and fit before end and limit.
// The counter must be at the end of a record. Returns the bytes it took.
std::size_t put_plain_records(const Kernel& kernel, ConversionState& state, const Byte* in,
                              const Byte* end, Byte*& out, const Byte* limit) {
    const auto size = static_cast<std::size_t>(state.record_length);
    const std::size_t count =
        std::min(room(in, end, kRecordSlack) / size, room(out, limit, kRecordSlack) / (size + 2));
    const std::size_t placed = kernel.plain_records(in, size, count, out);
    out += placed * (size + 2);
    state.counter += static_cast<std::int64_t>(placed * size);
    return placed * size;
}

// Takes the run of plain bytes at the start of [in, end), as far as the output has room up to
// limit. Returns how many bytes it took.
std::size_t put_plain_run(const Kernel& kernel, ConversionState& state, const Byte* in,
                          const Byte* end, Byte*& out, const Byte* limit, const Byte* out_end) {
    if (breaks_records(state)) {
        // Scanned and copied a piece at a time, so that the copy reads what the scan has just
        // brought into the first-level cache. Where records are short, a piece ends at the end
        // of one, and once a whole piece has come without a special byte the input is most
        // likely plain: the records from there are tested as they are placed, without a scan.
        const std::int64_t length = state.record_length;
        const bool short_records = length <= static_cast<std::int64_t>(kShortRecord);
        std::size_t taken = 0;
        for (;;) {
            const Byte* const from = in + taken;
            auto piece = static_cast<std::ptrdiff_t>(kScanPiece);
            if (short_records) {
                const std::int64_t left = length - state.counter % length;  // in this record
                piece = static_cast<std::ptrdiff_t>(
                    left + (static_cast<std::int64_t>(kScanPiece) - left) / length * length);
            }
            const Byte* const to = from + std::min(end - from, piece);
            const std::size_t n = kernel.find_special(from, to);
            const std::size_t done = insert_data(kernel, state, from, n, end, out, limit, out_end);
            taken += done;
            if (done != n || from + n != to || to == end) return taken;
            if (short_records)
                taken += put_plain_records(kernel, state, in + taken, end, out, limit);
        }
    }
    const Byte* const stop = in + std::min(end - in, limit - out);
    const std::size_t n = kernel.copy_plain(in, stop, out);
    out += n;
    state.counter += static_cast<std::int64_t>(n);
    return n;
}

// Handles one decoded line end. Needs kSpecialRoom bytes; in *DEL the padding that
// doesn't fit is owed.
void put_line_end(ConversionState& state, Byte*& out, const Byte* out_end) {
    const std::int64_t length = state.record_length;
    if (state.mode == Mode::insert_line_ends) {
        // The line end doesn't count, so it sees the break test of the data byte before it:
        // it draws a break too when that byte did. Before any data, k is -1.
        const std::int64_t k = state.counter - 1;
        if (length != 0 && k != 0 && k % length == 0) {
            put_crlf(out);
        }
        put_crlf(out);
    } else if (length != 0) {
        const std::int64_t blanks = blanks_to_pad(state.counter, length);
        state.counter += blanks;
        state.blanks_owed = blanks;
        pay_blanks(state, out, out_end);
    }
}

// A CR that doesn't start a line end is data. Needs kSpecialRoom bytes.
void put_lone_cr(const Kernel& kernel, ConversionState& state, Byte*& out, const Byte* out_end) {
    if (breaks_records(state)) {
        static constexpr Byte cr[1] = {kCr};
        insert_data(kernel, state, cr, 1, cr + 1, out, out_end, out_end);
    } else {
        *out++ = kCr;
        ++state.counter;
    }
}

// The length of the line end at in: 2 for CR LF, 1 for LF, 0 for none.
std::ptrdiff_t line_end_at(const Byte* in, const Byte* end) {
    if (*in == kLf) return 1;
    return *in == kCr && end - in > 1 && in[1] == kLf ? 2 : 0;
}

// *DEL over the common shape of a text file, lines of plain bytes each ended by CR LF or
// LF. A region of the input is taken in two passes: the kernel finds all its line ends, then
// copies and pads the lines. So no line waits on finding the end of the one before it, and
// each costs a few stores of fixed size. A region stops before anything else (a NUL, a lone
// CR, Ctrl-Z) and leaves it to the general loop.

// A group with this many line ends is left to the groups below.
constexpr std::size_t kDenseLineEnds = 4;

void delete_lines(const Kernel& kernel, ConversionState& state, const Byte*& in_ref,
                  const Byte* end, Byte*& out_ref, const Byte* out_end) {
    // In locals, not reloaded through the references after every store.
    const Byte* in = in_ref;
    Byte* out = out_ref;
    const std::int64_t length = state.record_length;
    // Every line end pads to a whole record, so only the first line here may start inside
    // one. The counter moves with the output, so it is settled once, at the end.
    std::int64_t filled = length == 0 ? 0 : state.counter % length;
    const Byte* const out_first = out;
    std::uint16_t ends[kLineEndsRoom];
    while (room(in, end) > kGroup) {
        // Each group needs the byte after it, to tell a CR LF across its end.
        const std::size_t groups = std::min(kLineGroups, (room(in, end) - 1) / kGroup);
        std::size_t scanned = 0;
        // Where line ends come thick (empty lines, lone LFs), the groups take them faster,
        // a run at a time.
        if (kernel.find_line_ends(in, 1, ends, scanned) >= kDenseLineEnds) break;
        const std::size_t count = kernel.find_line_ends(in, groups, ends, scanned);
        RegionLines lines{in, end, out, out_end, length, filled, 0};
        const std::size_t placed = kernel.put_lines(lines, ends, count);
        out = lines.out;
        filled = lines.filled;
        std::size_t start = lines.start;
        if (placed != count) {
            // The output is full; the general loop goes on with the next line.
            in_ref = in + start;
            out_ref = out;
            state.counter += out - out_first;
            return;
        }
        // The start of a line that goes on beyond the region is data too.
        const std::size_t rest = scanned - start;
        if (rest != 0 && room(out, out_end) >= rest) {
            std::memcpy(out, in + start, rest);
            out += rest;
            filled += static_cast<std::int64_t>(rest);
            start = scanned;
        }
        in += start;
        if (start == 0) break;
    }
    state.counter += out - out_first;
    in_ref = in;
    out_ref = out;
}

// *INS over text, lines of plain bytes each ended by CR LF or LF, the same way: the kernel
// finds a region's line ends, then each line is copied in pieces that end at a record break
// or at the line's end, a piece by a copy of fixed size. A region holds no more than
// kLineGroups groups; the first after a line end only kProbeGroups, as a line end among
// records need not be followed by more.
constexpr std::size_t kProbeGroups = 4;
// A piece of up to this many bytes is copied in one copy of this size.
constexpr std::size_t kPieceCopy = 128;
// Shorter records put many breaks in a line, and the records are faster placed whole.
constexpr std::int64_t kLineRecords = 16;

// Whether *INS takes the lines by insert_lines.
bool inserts_lines(const ConversionState& state) {
    return state.mode == Mode::insert_line_ends &&
           (state.record_length == 0 || state.record_length >= kLineRecords);
}

void insert_lines(const Kernel& kernel, ConversionState& state, const Byte*& in_ref,
                  const Byte* end, Byte*& out_ref, const Byte* out_end) {
    const Byte* in = in_ref;
    Byte* out = out_ref;
    const std::int64_t length = state.record_length;
    std::int64_t counter = state.counter;
    // The data bytes the record takes before the next break; without a length, all.
    auto left = static_cast<std::size_t>(-1);
    if (length != 0) {
        const std::int64_t filled = counter % length;
        left = static_cast<std::size_t>(counter == 0 ? length : filled == 0 ? 0 : length - filled);
    }
    const auto size = static_cast<std::size_t>(length);
    auto copy_piece = [&](const Byte* from, std::size_t n) {
        if (n <= kPieceCopy) {
            std::memcpy(out, from, kPieceCopy);
        } else {
            std::memcpy(out, from, n);
        }
        out += n;
    };
    std::uint16_t ends[kLineEndsRoom];
    std::size_t groups = kProbeGroups;
    while (room(in, end) > kGroup) {
        // Each group needs the byte after it, to tell a CR LF across its end.
        groups = std::min(groups, (room(in, end) - 1) / kGroup);
        std::size_t scanned = 0;
        const std::size_t count = kernel.find_line_ends(in, groups, ends, scanned);
        if (count == 0) break;
        // A line's output is its bytes, a break before every length of them and one more,
        // and its line end with a break; the copies reach kPieceCopy beyond.
        const std::size_t through_last = (ends[count - 1] >> 1) + 1u;
        const std::size_t breaks = length == 0 ? 0 : through_last / size + count;
        if (room(in, end) < through_last + kPieceCopy ||
            room(out, out_end) < through_last + 2 * breaks + 4 * count + kPieceCopy)
            break;
        std::size_t start = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = ends[i] >> 1;
            std::size_t n = at - start - (ends[i] & 1u);
            const Byte* line = in + start;
            counter += static_cast<std::int64_t>(n);
            while (n > left) {
                copy_piece(line, left);
                line += left;
                n -= left;
                put_crlf(out);
                left = size;
            }
            copy_piece(line, n);
            left -= n;
            // The line end draws a break too when the last data byte did: one that began a
            // record other than the first.
            if (length != 0 && left == size - 1 && counter != 1) {
                put_crlf(out);
            }
            put_crlf(out);
            start = at + 1;
        }
        in += start;
        groups = kLineGroups;
    }
    state.counter = counter;
    in_ref = in;
    out_ref = out;
}

// Input where special bytes come thick, in any mix (records padded with NULs, sparse files,
// empty lines, lone CRs, short lines), is taken by groups of kGroup bytes instead of byte by
// byte, each in the same steps whatever it holds: the kernel gives masks of the NULs, LFs, CRs
// and Ctrl-Zs of a group, CR LF pairs are found by shifting the masks, the data bytes are
// packed at once, and the record breaks of *INS and the pads of *DEL follow from counts of
// the data bytes before each place. A group needs the byte after it to decide on a CR at its
// end.
constexpr std::size_t kGroupReadable = kGroup + 1;
// Room for the most one group writes: four bytes per input byte (a line end behind a break,
// or CR LF and a data byte), and the wide stores beyond.
constexpr std::size_t kGroupRoom = 8 * kGroup;
// The groups start at a group with this many special bytes: it costs about what two cost one
// at a time, a CR LF among them. Once they have started, a group with one keeps them going,
// and so does a single group without any: in a mix where one special byte comes in 30 or so,
// such a group is a gap, and going back and forth would cost more. This many in a row send
// the input back to the scans for plain runs.
constexpr int kDenseSpecials = 2;
constexpr int kSparseGroups = 2;
// The groups are tried only after a plain run shorter than this: after a longer one the
// special bytes come apart, and the group's masks would cost more than they save.
constexpr std::size_t kDenseRun = kGroup;

// The bits below bit n, for n of 0 to 64.
std::uint64_t bits_below(std::size_t n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// The bytes of a group up to a Ctrl-Z in it, sorted by what the conversion does with them.
struct GroupBytes {
    std::uint64_t data;  // counted and written: every byte but NUL, LF and the CR of a CR LF
    std::uint64_t lf;    // line ends, each standing for a CR LF or a lone LF
    std::size_t stop;    // the Ctrl-Z's place, or kGroup
};

GroupBytes sort_group(const Byte* in, const SpecialMasks& masks) {
    const std::size_t stop =
        masks.ctrl_z != 0 ? static_cast<std::size_t>(std::countr_zero(masks.ctrl_z)) : kGroup;
    const std::uint64_t inside = bits_below(stop);
    const std::uint64_t lf = masks.lf & inside;
    // A CR followed by an LF, the one after the group included, is dropped: the LF stands for
    // the pair. Before a Ctrl-Z the next byte is no LF, so the CR stays data.
    const std::uint64_t next_is_lf = stop == kGroup && in[kGroup] == kLf ? 1 : 0;
    const std::uint64_t paired_cr = masks.cr & inside & (lf >> 1 | next_is_lf << 63);
    return {inside & ~(masks.nul | lf | paired_cr), lf, stop};
}

// Every length-th bit from bit 0, for lengths of 1 to 63.
struct EveryNth {
    std::uint64_t of[64];
};

constexpr EveryNth kEveryNth = [] {
    EveryNth table{};
    for (std::size_t length = 1; length < 64; ++length) {
        for (std::size_t i = 0; i < 64; i += length)
            table.of[length] |= std::uint64_t{1} << i;
    }
    return table;
}();

// The places of a group, from bit 1 on, that come after one of `starts`, or after bit 0 when
// from_first, with no stop among them. Adding a start to the run of non-stop bits above it
// carries through the run, and clears it.
std::uint64_t runs_after(std::uint64_t starts, std::uint64_t stops, bool from_first) {
    const std::uint64_t open = ~stops;
    return open & ~(open + (starts << 1 | (from_first ? 1 : 0)));
}

// *INS of the group at in, up to a Ctrl-Z in it. Every data byte and line end is written as
// it is, a line end as CR LF, and a break goes before those whose test meets a nonzero
// multiple of the record length: a data byte when the data before it in the whole input make
// such a multiple, a line end when the last data byte before it drew a break (or, before any
// data, when the length is 1).
// The bytes of the record so far, of length bytes (not 0), after n more data bytes: without a
// division but for records shorter than a group, so that a group costs none.
void fill_record(std::int64_t& filled, std::int64_t n, std::int64_t length) {
    filled += n;
    if (filled >= length) filled -= length;
    if (filled >= length) [[unlikely]]
        filled %= length;
}

// filled is what the record holds before the group (the counter modulo the length), and after
// it on return.
std::size_t insert_group(const Kernel& kernel, ConversionState& state, const Byte* in,
                         const SpecialMasks& masks, Byte*& out, std::int64_t& filled) {
    const GroupBytes bytes = sort_group(in, masks);
    const std::int64_t length = state.record_length;
    const std::int64_t before = state.counter;
    if (bytes.data == 0) {
        // Line ends alone (empty lines, with NULs among them) all see the same test, and draw
        // the same break: CR LF for each, twice when they break, stored 32 bytes at a time.
        const bool breaks =
            length != 0 && before != 1 && (before == 0 ? length == 1 : filled == 1 % length);
        struct CrLfs {
            Byte at[32];
        };
        static constexpr CrLfs kCrLfs = [] {
            CrLfs crlfs{};
            for (std::size_t i = 0; i < sizeof crlfs.at; i += 2) {
                crlfs.at[i] = kCr;
                crlfs.at[i + 1] = kLf;
            }
            return crlfs;
        }();
        const auto n = static_cast<std::size_t>(count_bits(bytes.lf)) * (breaks ? 4 : 2);
        for (std::size_t i = 0; i < n; i += sizeof kCrLfs.at)
            std::memcpy(out + i, kCrLfs.at, sizeof kCrLfs.at);
        out += n;
        return bytes.stop;
    }
    std::uint64_t breaks = 0;  // the data bytes that draw one
    bool last_broke = false;   // the test of the last data byte before the group
    if (length == 1) {
        breaks = before == 0 ? bytes.data & (bytes.data - 1) : bytes.data;
        last_broke = before != 1;
    } else if (length != 0) {
        // The first data byte here to start a record, counted from 0, and those after it.
        const std::int64_t first = filled == 0 ? (before == 0 ? length : 0) : length - filled;
        if (first < 64) {
            const std::uint64_t starts =
                length < 64 ? kEveryNth.of[length] << first : std::uint64_t{1} << first;
            breaks = kernel.deposit(starts, bytes.data);
        }
        last_broke = before >= 2 && filled == 1;
    }
    const std::uint64_t marked = breaks | (bytes.lf & runs_after(breaks, bytes.data, last_broke));
    if ((marked | bytes.lf) == 0) {
        out += kernel.compress(in, bytes.data, out);
    } else {
        out += kernel.insert_group(in, bytes.data | bytes.lf, marked, bytes.lf, out);
    }
    const int n = count_bits(bytes.data);
    state.counter += n;
    if (length > 1) fill_record(filled, n, length);
    return bytes.stop;
}

// *DEL of the group at in, up to a Ctrl-Z in it: its data bytes, packed, with the pad after
// each line that holds data. Those are the line ends that come first after a data byte, or
// first in the group after a record left unfilled. Returns 0, with nothing written, when
// the pads may not fit in the output.
// filled as for insert_group.
std::size_t delete_group(const Kernel& kernel, ConversionState& state, const Byte* in,
                         const SpecialMasks& masks, Byte*& out, const Byte* out_end,
                         std::int64_t& filled) {
    const GroupBytes bytes = sort_group(in, masks);
    const std::int64_t length = state.record_length;
    if (length <= 1) {
        const std::size_t n = kernel.compress(in, bytes.data, out);
        out += n;
        state.counter += static_cast<std::int64_t>(n);
        return bytes.stop;
    }
    const std::uint64_t events = bytes.data | bytes.lf;
    const std::uint64_t open = ~events;
    // The first event after each data byte: the carry of the run after it lands there.
    const std::uint64_t after_data =
        (open + (bytes.data << 1 | (filled != 0 ? 1 : 0))) & ~open & bytes.lf;
    if (after_data == 0) {
        // No line here pads: the group is its data bytes.
        const std::size_t n = kernel.compress(in, bytes.data, out);
        out += n;
        state.counter += static_cast<std::int64_t>(n);
        fill_record(filled, static_cast<std::int64_t>(n), length);
        return bytes.stop;
    }
    const auto lines = static_cast<std::int64_t>(count_bits(after_data));
    if (out_end - out < 64 + lines * length + static_cast<std::int64_t>(kPadRun + kGroup)) return 0;
    alignas(64) Byte data[2 * kGroup];  // the data bytes, and room to copy kGroup from any
    const std::size_t n = kernel.compress(in, bytes.data, data);
    Byte* const out_first = out;
    std::size_t taken = 0;  // of data
    for (std::uint64_t ends = after_data; ends != 0; ends &= ends - 1) {
        const auto line =
            static_cast<std::size_t>(count_bits(
                bytes.data & bits_below(static_cast<std::size_t>(std::countr_zero(ends))))) -
            taken;
        std::memcpy(out, data + taken, kGroup);
        out += line;
        taken += line;
        const auto blanks = static_cast<std::size_t>(
            blanks_after_line(filled + static_cast<std::int64_t>(line), length));
        if (blanks <= kPadRun) {
            std::memset(out, kBlank, kPadRun);
        } else {
            std::memset(out, kBlank, blanks);
        }
        out += blanks;
        filled = 0;
    }
    std::memcpy(out, data + taken, kGroup);
    out += n - taken;
    fill_record(filled, static_cast<std::int64_t>(n - taken), length);
    state.counter += out - out_first;
    return bytes.stop;
}

// Takes whole groups from in while special bytes come thick. Returns the bytes taken: none
// when they don't come thick in the first group, whose special bytes are then left to the
// general loop, which takes a few of them for less.
std::size_t convert_groups(const Kernel& kernel, ConversionState& state, const Byte* in,
                           const Byte* end, Byte*& out, const Byte* out_end) {
    const Byte* p = in;
    const std::int64_t length = state.record_length;
    std::int64_t filled = length == 0 ? 0 : state.counter % length;
    int sparse = 0;  // groups in a row that the other paths take faster
    while (room(p, end) >= kGroupReadable && room(out, out_end) >= kGroupRoom) {
        const SpecialMasks masks = kernel.classify(p);
        std::uint64_t specials =
            (masks.nul | masks.lf | masks.cr) & (masks.ctrl_z - 1) & ~masks.ctrl_z;
        for (int i = 1; p == in && i < kDenseSpecials; ++i)
            specials &= specials - 1;
        // Lines alone, not too short, are what delete_lines takes faster.
        const bool lines_alone = state.mode == Mode::delete_line_ends &&
                                 (masks.nul | (masks.cr & ~(masks.lf >> 1))) == 0 &&
                                 count_bits(masks.lf) < static_cast<int>(kDenseLineEnds);
        if (specials == 0 || lines_alone) {
            if (p == in || ++sparse == kSparseGroups) break;
        } else {
            sparse = 0;
        }
        const std::size_t taken = state.mode == Mode::insert_line_ends
                                      ? insert_group(kernel, state, p, masks, out, filled)
                                      : delete_group(kernel, state, p, masks, out, out_end, filled);
        p += taken;
        if (taken != kGroup) break;
    }
    return static_cast<std::size_t>(p - in);
}

}  // namespace

ConversionState start_conversion(Mode mode, std::int32_t rcdlen) {
    ConversionState state;
    state.mode = mode;
    // Taken in 64 bits, the magnitude of -2147483648 exists too.
    const std::int64_t length = rcdlen;
    state.record_length = length < 0 ? -length : length;
    return state;
}

BlockResult convert_block(ConversionState& state, std::span<const std::byte> input,
                          std::span<std::byte> output, bool input_ends) {
    const Byte* const first = reinterpret_cast<const Byte*>(input.data());
    const Byte* const end = first + input.size();
    const Byte* in = first;
    Byte* const out_first = reinterpret_cast<Byte*>(output.data());
    Byte* const out_end = out_first + output.size();
    Byte* out = out_first;
    const Kernel& kernel = active_kernel();
    auto result = [&](bool complete) {
        return BlockResult{static_cast<std::size_t>(in - first),
                           static_cast<std::size_t>(out - out_first), complete};
    };

    if (state.ended) {
        in = end;
        return result(true);
    }
    if (state.blanks_owed != 0 && !pay_blanks(state, out, out_end)) return result(false);

    if (state.cr_pending) {
        if (in == end && !input_ends) return result(true);
        if (out_end - out < kSpecialRoom) return result(false);
        state.cr_pending = false;
        if (in != end && *in == kLf) {
            ++in;
            put_line_end(state, out, out_end);
            if (state.blanks_owed != 0) return result(false);
        } else {
            put_lone_cr(kernel, state, out, out_end);
        }
    }

    bool after_line_end = false;
    while (in != end) {
        if (state.mode == Mode::delete_line_ends) {
            delete_lines(kernel, state, in, end, out, out_end);
            if (in == end) break;
        } else if (after_line_end && inserts_lines(state)) {
            insert_lines(kernel, state, in, end, out, out_end);
            after_line_end = false;
            if (in == end) break;
        }
        if (out_end - out < static_cast<std::ptrdiff_t>(kMinimumOutput)) return result(false);
        // Data leaves kSpecialRoom free, so the special byte after it always fits.
        const std::size_t plain =
            put_plain_run(kernel, state, in, end, out, out_end - kSpecialRoom, out_end);
        in += plain;
        if (in == end) break;
        if (!is_special(*in)) return result(false);  // the output is full
        if (*in != kCtrlZ && plain < kDenseRun) {
            const std::size_t taken = convert_groups(kernel, state, in, end, out, out_end);
            if (taken != 0) {
                in += taken;
                continue;
            }
        }
        const std::ptrdiff_t line_end = line_end_at(in, end);
        if (line_end != 0) {
            in += line_end;
            after_line_end = true;
            put_line_end(state, out, out_end);
            if (state.blanks_owed != 0) return result(false);
        } else if (*in == kNul) {
            ++in;
        } else if (*in == kCr) {
            ++in;
            if (in == end && !input_ends) {
                // Whether this CR starts a line end is up to the next block.
                state.cr_pending = true;
            } else {
                put_lone_cr(kernel, state, out, out_end);
            }
        } else {  // Ctrl-Z ends the input; nothing after it counts.
            state.ended = true;
            in = end;
            return result(true);
        }
    }
    return result(true);
}

}  // namespace zeilfuge
