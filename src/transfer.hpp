// The read-and-write loop and the buffers it owns: reads the input in large calls, feeds it
// to the conversion and writes the output in whole pages.
#pragma once

#include <cstddef>
#include <span>

#include "conversion.hpp"
#include "platform.hpp"

namespace zeilfuge {

// How the writing of a run ended: the loop below ends it converted, read_failed or
// write_failed, and putting the output in place (output.hpp) may still fail it.
enum class Outcome { converted, read_failed, write_failed, replace_failed };

struct TransferBuffers {
    std::byte* region = nullptr;  // the one allocation that holds both
    std::span<std::byte> in;
    std::span<std::byte> out;
};

// Takes the memory for both buffers, without throwing; false when there is none to have.
// Nothing of it is touched yet.
bool obtain_buffers(TransferBuffers& buffers);
void release_buffers(TransferBuffers& buffers);

// Converts the whole input into the output.
Outcome convert_file(File input, File output, ConversionState& state,
                     const TransferBuffers& buffers);

}  // namespace zeilfuge
