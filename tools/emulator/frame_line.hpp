#pragma once
// One line of the emulator's frame log, formatted without allocating:
//   "rx 001 [8] FF FF FF FF FF FF FF FC"
//   "tx 00000011 [8] 11 7F FF 7F F7 FF 19 19"   (Extended id: 8 digits)
//   "rx 123 [12] fd brs 00 01 ..."               (FD frame, with bit-rate switch)

#include <array>
#include <cstddef>
#include <string_view>

#include "transport/can.hpp"

namespace axiolink::emulator {

struct FrameLine {
    std::array<char, 240> text{};
    std::size_t size = 0;

    std::string_view view() const noexcept { return {text.data(), size}; }
};

// `direction` is a short tag such as "rx" or "tx"; the line ends in '\n'.
FrameLine frame_line(std::string_view direction, const transport::CanFrame& frame) noexcept;

}  // namespace axiolink::emulator
