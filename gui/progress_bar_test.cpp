#include "gui/progress_bar.h"

#include <math.h>

#include <gtest/gtest.h>

TEST(progress_bar, filled_columns_truncate_and_stay_within_the_bar)
{
    struct {
        int width;
        double percent;
        int filled;
    } rows[] = {
        {460, 0.0, 0},     {460, 50.0, 230},   {460, 100.0, 460}, {460, 0.2, 0},
        {460, 0.22, 1},    {460, 99.9, 459},   {460, 42.26, 194}, {460, 150.0, 460},
        {460, 1e300, 460}, {460, -5.0, 0},     {460, -1e300, 0},  {460, NAN, 0},
        {0, 50.0, 0},      {1, 99.0, 0},       {1, 100.0, 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(quon_progress_filled_columns(row.width, row.percent), row.filled)
            << row.width << " columns at " << row.percent;
}
