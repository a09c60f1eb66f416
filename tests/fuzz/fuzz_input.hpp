#pragma once
// Reads typed values off the front of a fuzzer's input. Once the input runs
// out every read yields zero, so a harness never has to check the length and
// a short input is still a valid case.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

namespace axiolink::fuzzing {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) noexcept : rest_(data, size) {}

    template <class T>
    T take() noexcept {
        unsigned char bytes[sizeof(T)]{};
        const std::size_t count = rest_.size() < sizeof(T) ? rest_.size() : sizeof(T);
        if (count > 0) {
            std::memcpy(bytes, rest_.data(), count);
        }
        rest_ = rest_.subspan(count);
        return std::bit_cast<T>(bytes);
    }

    bool take_bool() noexcept { return (take<std::uint8_t>() & 1U) != 0; }
    float take_float() noexcept { return std::bit_cast<float>(take<std::uint32_t>()); }

    // Up to `limit` bytes (fewer when the input ends first).
    std::span<const std::uint8_t> take_bytes(std::size_t limit) noexcept {
        const std::span<const std::uint8_t> taken =
            rest_.first(rest_.size() < limit ? rest_.size() : limit);
        rest_ = rest_.subspan(taken.size());
        return taken;
    }

    bool empty() const noexcept { return rest_.empty(); }

private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace axiolink::fuzzing

// A failed oracle aborts, so libFuzzer records the input that broke it.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "oracle failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_abort();                                                                    \
        }                                                                                         \
    } while (false)
