#include <gtest/gtest.h>

#include "engine/package_format.h"

TEST(ByteSum, CountsBytesAsUnsignedAndWraps)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(byte_sum(0, abc, 3), 0x126u);
    const uint8_t high[] = {0xFF, 0xFF};
    EXPECT_EQ(byte_sum(0, high, 2), 0x1FEu);
    EXPECT_EQ(byte_sum(0xFFFFFFFFu, high, 1), 0xFEu);
    EXPECT_EQ(byte_sum(7, abc, 0), 7u);
}
