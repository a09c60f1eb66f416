#pragma once
// The one error type of the Damiao driver.
//
// An Error is a small plain value: it owns its payload inline (no heap), so
// building, moving and dropping one never allocates. Its only user-visible
// face is `message()`, one line of text that reaches Python unchanged.
// Safe to move between threads; one owner at a time.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "damiao/mit.hpp"
#include "transport/can.hpp"

namespace axiolink::damiao {

// The value type of a motor register.
enum class RegisterType : std::uint8_t { Float, Uint32 };

// "Float" or "Uint32".
constexpr std::string_view register_type_name(RegisterType type) noexcept {
    return type == RegisterType::Float ? "Float" : "Uint32";
}

class [[nodiscard]] Error {
public:
    // A send, a receive or a reply wait failed: "transport error: {transport text}".
    struct Transport {
        transport::TransportError error;
    };
    // "register {n} is not in the Damiao register table"
    struct UnknownRegister {
        std::uint8_t number;
    };
    // "register {n} is read-only"
    struct ReadOnlyRegister {
        std::uint8_t number;
    };
    // "register {n}: expected {type}, got {type}"
    struct RegisterTypeMismatch {
        std::uint8_t number;
        RegisterType expected;
        RegisterType got;
    };
    // "unexpected reply (data did not match register-reply pattern): [b0, b1, ...]"
    struct UnexpectedReply {
        transport::Payload data;
    };
    // "control mode verification failed: wrote {mode}, motor reports {low byte read}"
    struct ModeVerificationFailed {
        std::uint8_t wrote;
        std::uint8_t reports;
    };
    // The driver's MIT limits were refused before anything was sent; the
    // text is the limit's own message.
    struct InvalidLimits {
        InvalidLimit limit;
    };
    // A reply at the master id too short to decode:
    // "malformed feedback: expected 8 data bytes, got {n}: [b0, b1, ...]"
    struct ShortFeedback {
        transport::Payload data;
    };

    // A special command given to a group that no answer confirmed; `command`
    // names it ("enable", static text), `status` is what the motor's last
    // answer reported:
    // "disable not confirmed: the motor's last answer reports status 1 (enabled)"
    struct Unconfirmed {
        std::string_view command;
        std::uint8_t status;
    };

    using Detail =
        std::variant<Transport, UnknownRegister, ReadOnlyRegister, RegisterTypeMismatch,
                     UnexpectedReply, ModeVerificationFailed, InvalidLimits, ShortFeedback,
                     Unconfirmed>;

    // Implicit from any of the variants above, so `return Error::X{...}` reads naturally.
    template <class V>
    requires std::is_constructible_v<Detail, V&&> &&
        (!std::is_same_v<std::remove_cvref_t<V>, Error>)constexpr Error(V&& detail) noexcept
        : detail_(std::forward<V>(detail)) {}

    const Detail& detail() const noexcept { return detail_; }

    // The one-line text; numbers in decimal. Throws only std::bad_alloc.
    std::string message() const;

private:
    Detail detail_;
};

template <class T>
using Result = std::expected<T, Error>;

// What a motor's status code (MotorState::error) means: "disabled",
// "enabled", "over-voltage", ... "overload"; "unknown status" otherwise.
std::string_view status_meaning(std::uint8_t status) noexcept;

}  // namespace axiolink::damiao
