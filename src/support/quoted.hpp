#pragma once
// Names and arguments in messages, between single quotes.

#include <string>
#include <string_view>

namespace axiolink::support {

// `text` between single quotes. Built by appending: GCC 12 misreads
// "'" + std::string(text) at -O2 and above as an overlapping copy
// (-Wrestrict).
inline std::string quoted(std::string_view text) {
    std::string result;
    result.reserve(text.size() + 2);
    result += '\'';
    result += text;
    result += '\'';
    return result;
}

}  // namespace axiolink::support
