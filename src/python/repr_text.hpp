#pragma once
// Builds representation texts in a fixed buffer: the only allocation a repr
// makes is the resulting Python string.

#include <Python.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "failure.hpp"
#include "support/number_text.hpp"

namespace axiolink::python {

class ReprText {
public:
    ReprText& operator<<(std::string_view text) noexcept {
        const std::size_t n = std::min(text.size(), buffer_.size() - size_);
        text.copy(buffer_.data() + size_, n);
        size_ += n;
        return *this;
    }
    ReprText& shortest(float value) noexcept {
        support::NumberBuffer digits;
        return *this << support::shortest_text(value, digits);
    }
    ReprText& four_decimals(float value) noexcept {
        support::NumberBuffer digits;
        return *this << support::four_decimal_text(value, digits);
    }
    ReprText& decimal(std::uint64_t value) noexcept { return integer(value, 10); }
    ReprText& hex(std::uint64_t value) noexcept { return *this << "0x", integer(value, 16); }

    PyResult<PyRef> to_python() const {
        return result_object(
            PyUnicode_FromStringAndSize(buffer_.data(), static_cast<Py_ssize_t>(size_)));
    }

private:
    ReprText& integer(std::uint64_t value, int base) noexcept {
        std::array<char, 24> digits;
        auto [end, ec] = std::to_chars(digits.begin(), digits.end(), value, base);
        return *this << std::string_view(digits.data(),
                                         static_cast<std::size_t>(end - digits.data()));
    }

    // Longest text: a MIT setpoint with five FLT_MAX-sized values.
    std::array<char, 1024> buffer_;
    std::size_t size_ = 0;
};

}  // namespace axiolink::python
