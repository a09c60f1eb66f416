#include "damiao/error.hpp"

#include <span>

namespace axiolink::damiao {
namespace {

std::string decimal(unsigned value) {
    return std::to_string(value);
}

// "[0, 51, 10]"; "[]" when empty.
std::string byte_list(std::span<const std::uint8_t> bytes) {
    std::string text = "[";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += ", ";
        }
        text += decimal(bytes[i]);
    }
    text += ']';
    return text;
}

std::string render(const Error::Transport& e) {
    return "transport error: " + e.error.message();
}

std::string render(const Error::UnknownRegister& e) {
    return "register " + decimal(e.number) + " is not in the Damiao register table";
}

std::string render(const Error::ReadOnlyRegister& e) {
    return "register " + decimal(e.number) + " is read-only";
}

std::string render(const Error::RegisterTypeMismatch& e) {
    return "register " + decimal(e.number) + ": expected " +
           std::string(register_type_name(e.expected)) + ", got " +
           std::string(register_type_name(e.got));
}

std::string render(const Error::UnexpectedReply& e) {
    return "unexpected reply (data did not match register-reply pattern): " +
           byte_list(e.data.bytes());
}

std::string render(const Error::ModeVerificationFailed& e) {
    return "control mode verification failed: wrote " + decimal(e.wrote) + ", motor reports " +
           decimal(e.reports);
}

std::string render(const Error::InvalidLimits& e) {
    return e.limit.message();
}

std::string render(const Error::ShortFeedback& e) {
    return "malformed feedback: expected 8 data bytes, got " +
           decimal(static_cast<unsigned>(e.data.size())) + ": " + byte_list(e.data.bytes());
}

std::string render(const Error::Unconfirmed& e) {
    return std::string(e.command) + " not confirmed: the motor's last answer reports status " +
           decimal(e.status) + " (" + std::string(status_meaning(e.status)) + ")";
}

}  // namespace

std::string_view status_meaning(std::uint8_t status) noexcept {
    switch (status) {
        case 0:
            return "disabled";
        case 1:
            return "enabled";
        case 8:
            return "over-voltage";
        case 9:
            return "under-voltage";
        case 10:
            return "over-current";
        case 11:
            return "driver stage over-temperature";
        case 12:
            return "rotor over-temperature";
        case 13:
            return "communication lost";
        case 14:
            return "overload";
        default:
            return "unknown status";
    }
}

std::string Error::message() const {
    return std::visit([](const auto& detail) { return render(detail); }, detail_);
}

}  // namespace axiolink::damiao
