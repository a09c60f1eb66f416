#include "damiao/error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <type_traits>
#include <vector>

namespace axiolink::damiao {
namespace {

using transport::Payload;
using transport::TransportError;

// An error is built on failure paths of the control loop; owning nothing on
// the heap keeps those paths allocation-free.
static_assert(std::is_trivially_copyable_v<Error>);

struct TextCase {
    Error error;
    std::string text;
};

void expect_texts(const std::vector<TextCase>& cases) {
    for (const TextCase& c : cases) {
        EXPECT_EQ(c.error.message(), c.text);
    }
}

TEST(ErrorMessage, TransportCarriesTheTransportText) {
    expect_texts({
        {Error::Transport{TransportError::timeout()}, "transport error: timeout waiting for frame"},
        {Error::Transport{TransportError::backend(19)},
         "transport error: backend error: No such device (os error 19)"},
        {Error::Transport{TransportError::frame_too_large(9)},
         "transport error: frame too large for selected mode: 9 bytes"},
        {Error::Transport{TransportError::invalid_id()}, "transport error: invalid CAN id"},
    });
}

TEST(ErrorMessage, RegisterErrorsPrintNumbersInDecimal) {
    expect_texts({
        {Error::UnknownRegister{200}, "register 200 is not in the Damiao register table"},
        {Error::UnknownRegister{0}, "register 0 is not in the Damiao register table"},
        {Error::ReadOnlyRegister{13}, "register 13 is read-only"},
        {Error::ReadOnlyRegister{255}, "register 255 is read-only"},
        {Error::RegisterTypeMismatch{10, RegisterType::Uint32, RegisterType::Float},
         "register 10: expected Uint32, got Float"},
        {Error::RegisterTypeMismatch{21, RegisterType::Float, RegisterType::Uint32},
         "register 21: expected Float, got Uint32"},
    });
}

TEST(ErrorMessage, UnexpectedReplyListsEveryByte) {
    expect_texts({
        {Error::UnexpectedReply{Payload{0x00, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}},
         "unexpected reply (data did not match register-reply pattern): [0, 0, 51, 10, 1, 0, 0, "
         "0]"},
        {Error::UnexpectedReply{Payload{}},
         "unexpected reply (data did not match register-reply pattern): []"},
        {Error::UnexpectedReply{Payload{0xFF}},
         "unexpected reply (data did not match register-reply pattern): [255]"},
    });
}

TEST(ErrorMessage, ModeVerificationFailed) {
    expect_texts({
        {Error::ModeVerificationFailed{1, 2},
         "control mode verification failed: wrote 1, motor reports 2"},
        {Error::ModeVerificationFailed{255, 0},
         "control mode verification failed: wrote 255, motor reports 0"},
    });
}

TEST(ErrorMessage, InvalidLimitsIsTheLimitsOwnText) {
    expect_texts({
        {Error::InvalidLimits{{LimitField::KdMax, -0.5F}},
         "invalid MIT limit: kd_max is -0.5, must be >= 0 and not NaN"},
        {Error::InvalidLimits{{LimitField::PMax, std::nanf("")}},
         "invalid MIT limit: p_max is NaN, must be >= 0 and not NaN"},
    });
}

TEST(ErrorMessage, ShortFeedbackGivesLengthAndBytes) {
    expect_texts({
        {Error::ShortFeedback{Payload{1, 2, 3}},
         "malformed feedback: expected 8 data bytes, got 3: [1, 2, 3]"},
        {Error::ShortFeedback{Payload{}}, "malformed feedback: expected 8 data bytes, got 0: []"},
        {Error::ShortFeedback{Payload{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A}},
         "malformed feedback: expected 8 data bytes, got 7: [17, 127, 255, 127, 247, 255, 26]"},
    });
}

}  // namespace
}  // namespace axiolink::damiao
