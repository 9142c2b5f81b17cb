// The record conversion: a streaming function over byte buffers that knows nothing of
// files or the console. The caller feeds the input block by block, in any sizes; the
// output bytes are the same whatever the block boundaries are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zeilfuge {

enum class Mode {
    insert_line_ends,  // *INS
    delete_line_ends,  // *DEL
};

struct ConversionState {
    Mode mode = Mode::insert_line_ends;
    std::int64_t record_length = 0;  // magnitude of RCDLEN; 0 writes no breaks and no padding
    std::int64_t counter = 0;        // data bytes handled, pad blanks included
    std::int64_t blanks_owed = 0;    // padding counted but not yet written for want of room
    bool cr_pending = false;         // the input so far ends on a CR; the next byte decides
    bool ended = false;              // Ctrl-Z seen: everything after it is ignored
};

ConversionState start_conversion(Mode mode, std::int32_t rcdlen);

struct BlockResult {
    std::size_t consumed;  // input bytes taken, from the front of the block
    std::size_t produced;  // output bytes written, from the front of the output span
    bool complete;         // all input taken and nothing owed: feed the next block
};

// An output span at least this large always makes progress.
inline constexpr std::size_t kMinimumOutput = 64;

// Converts as much of the input as fits into the output. When the result is not complete,
// write out what was produced and call again with the rest of the input and an output span
// of at least kMinimumOutput bytes. Pass input_ends with the last block (which may be
// empty), so that a CR at the very end of the input is taken as data.
BlockResult convert_block(ConversionState& state, std::span<const std::byte> input,
                          std::span<std::byte> output, bool input_ends);

}  // namespace zeilfuge
