#include "dmctl/json.hpp"

#include <cmath>

#include "support/number_text.hpp"

namespace axiolink::dmctl {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_sequence(std::string_view text) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(0);
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;  // the second byte's range, narrowed against overlong forms
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string json_string(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        // Names come from the command line and may be any bytes; JSON is
        // UTF-8, so a byte that starts no valid sequence becomes U+FFFD.
        const std::size_t length = utf8_sequence(text.substr(at));
        if (length != 1) {
            out += length == 0 ? std::string_view("\\ufffd") : text.substr(at, length);
            at += length == 0 ? 1 : length;
            continue;
        }
        const char c = text[at++];
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
