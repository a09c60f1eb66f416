#pragma once
// Field-by-field frame comparison, so a failure names the field that differs.

#include <gtest/gtest.h>

#include "transport/can.hpp"

namespace axiolink::transport {

inline void expect_same_frame(const CanFrame& actual, const CanFrame& expected) {
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_EQ(actual.data, expected.data);
    EXPECT_EQ(actual.fd, expected.fd);
    EXPECT_EQ(actual.brs, expected.brs);
}

}  // namespace axiolink::transport
