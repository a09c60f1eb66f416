#include "dmctl/json.hpp"

#include <cmath>

#include "support/number_text.hpp"

namespace axiolink::dmctl {

std::string json_string(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4U];
            out += kHex[byte & 0xFU];
        } else {
            out += c;
        }
    }
    return out + '"';
}

void Json::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!filled_.empty()) {
        if (filled_.back()) {
            text_ += ',';
        }
        filled_.back() = true;
    }
}

Json& Json::open(char bracket) {
    before_value();
    text_ += bracket;
    filled_.push_back(false);
    return *this;
}

Json& Json::close(char bracket) {
    text_ += bracket;
    filled_.pop_back();
    return *this;
}

Json& Json::key(std::string_view name) {
    before_value();
    text_ += json_string(name);
    text_ += ':';
    after_key_ = true;
    return *this;
}

Json& Json::value(std::string_view text) {
    before_value();
    text_ += json_string(text);
    return *this;
}

Json& Json::unsigned_value(std::uint64_t number) {
    before_value();
    text_ += std::to_string(number);
    return *this;
}

Json& Json::value(float number) {
    if (!std::isfinite(number)) {
        return null();
    }
    before_value();
    support::NumberBuffer buffer;
    text_ += support::shortest_text(number, buffer);
    return *this;
}

Json& Json::value(bool flag) {
    before_value();
    text_ += flag ? "true" : "false";
    return *this;
}

Json& Json::null() {
    before_value();
    text_ += "null";
    return *this;
}

}  // namespace axiolink::dmctl
