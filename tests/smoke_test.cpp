#include "core.h"

#include <gtest/gtest.h>

TEST(Thresholds, OrderZeroAtTwentyObservations)
{
    EXPECT_NEAR(thresholdFor(20, 1.96, 0), 0.442528, 5e-7);
}
