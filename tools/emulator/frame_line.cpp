#include "emulator/frame_line.hpp"

#include <algorithm>
#include <cstdio>

namespace axiolink::emulator {
namespace {

class LineWriter {
public:
    explicit LineWriter(FrameLine& line) : line_(line) {}

    void text(std::string_view part) noexcept {
        const std::size_t room = line_.text.size() - line_.size;
        const std::size_t count = std::min(part.size(), room);
        std::copy_n(part.begin(), count,
                    line_.text.begin() + static_cast<std::ptrdiff_t>(line_.size));
        line_.size += count;
    }

    template <class... Args>
    void format(const char* pattern, Args... args) noexcept {
        std::array<char, 16> field{};
        const int written = std::snprintf(field.data(), field.size(), pattern, args...);
        if (written > 0) {
            text({field.data(), std::min(static_cast<std::size_t>(written), field.size() - 1)});
        }
    }

private:
    FrameLine& line_;
};

}  // namespace

FrameLine frame_line(std::string_view direction, const transport::CanFrame& frame) noexcept {
    FrameLine line;
    LineWriter out(line);
    out.text(direction);
    const bool extended = frame.id.kind == transport::IdKind::Extended;
    out.format(extended ? " %08X" : " %03X", static_cast<unsigned>(frame.id.value));
    out.format(" [%u]", static_cast<unsigned>(frame.data.size()));
    if (frame.fd) {
        out.text(frame.brs ? " fd brs" : " fd");
    }
    for (const std::uint8_t byte : frame.data.bytes()) {
        out.format(" %02X", static_cast<unsigned>(byte));
    }
    out.text("\n");
    return line;
}

}  // namespace axiolink::emulator
