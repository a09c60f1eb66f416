#pragma once
// A writer of one JSON text, enough for dmctl's reports: objects, arrays,
// strings, unsigned integers, floats (non-finite ones as null), booleans.
// Keys and values are written in call order; commas are placed for the
// caller. Not validating: the caller pairs begin and end.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace axiolink::dmctl {

class Json {
public:
    Json& begin_object() { return open('{'); }
    Json& end_object() { return close('}'); }
    Json& begin_array() { return open('['); }
    Json& end_array() { return close(']'); }
    Json& key(std::string_view name);

    Json& value(std::string_view text);
    Json& value(const char* text) { return value(std::string_view(text)); }
    template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>) Json& value(T number) { return unsigned_value(number); }
    Json& value(float number);
    Json& value(bool flag);
    Json& null();

    // key(name).value(v) in one call.
    template <class T>
    Json& field(std::string_view name, const T& v) {
        return key(name).value(v);
    }

    const std::string& text() const noexcept { return text_; }

private:
    void before_value();
    Json& open(char bracket);
    Json& close(char bracket);
    Json& unsigned_value(std::uint64_t number);

    std::string text_;
    // Per open container: whether it holds an element yet.
    std::vector<bool> filled_;
    bool after_key_ = false;
};

// `text` as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

}  // namespace axiolink::dmctl
