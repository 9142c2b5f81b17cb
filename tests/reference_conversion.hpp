// The conversion written the plain way, one decoded byte at a time, to check the block
// engine against.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion.hpp"

namespace zeilfuge {

struct ReferenceResult {
    std::string output;
    std::int64_t counter = 0;
};

ReferenceResult reference_convert(std::string_view input, Mode mode, std::int32_t rcdlen);

}  // namespace zeilfuge
