// The checks of a table's values before its statistics: spreads that the
// covariance cannot carry are refused with their exact message, others pass.
#include "table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(TableValues, SpreadsTheCovarianceCannotCarryAreRefusedOthersPass)
{
    const Names genes = {"g1", "g2"}, samples = {"s1", "s2", "s3"};
    const auto check = [&](std::vector<double> g2) {
        std::vector<double> values = {1, 2, 4};
        values.insert(values.end(), g2.begin(), g2.end());
        return valuesOutOfRange(values.data(), 3, 1, genes, samples);
    };
    for (double scale : {1e-20, 1e20, 1e-60, 1e70})
        EXPECT_EQ(check({1 * scale, 3 * scale, -2 * scale}), "") << scale;
    EXPECT_EQ(check({1e300, 1e300, 1e300}), "");  // constant: no products
    EXPECT_EQ(check({-3e200, 5e200, 0}),
              "gene \"g2\" has values from -3e+200 to 5e+200: products of such values overflow a double "
              "in the covariance; divide the values by a power of ten");
    EXPECT_EQ(check({1e-80, 3e-80, 2e-80}),
              "gene \"g2\" has values from 1e-80 to 3e-80, which differ by less than 1e-70: products of "
              "their differences underflow a double in the covariance; multiply the values by a power "
              "of ten");
    // Samples in rows: gene 1 is the first column.
    const std::vector<double> both = {1e-100, 1e90, 2e-100, -1e90, 0, 0};
    EXPECT_EQ(valuesOutOfRange(both.data(), 1, 2, genes, samples).substr(0, 81),
              "gene \"g1\" has values from 0 to 2e-100 (and 1 more gene like it), which differ by ");
}
