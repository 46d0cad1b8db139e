#include "spectrum/memotable.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(MemoTable, OnlyStoredCellsAreFoundNotTheRoomMadeForThem) {
    CMemoTable<2> table;
    EXPECT_TRUE(table.IsEmpty());
    for (int row : {-1, 0, 7}) {
        for (int cell : {-1, 0, 3}) {
            EXPECT_EQ(table.Find(row, cell), nullptr) << row << " " << cell;
        }
    }
    table.Store(0.25, 4, 2);
    ASSERT_NE(table.Find(4, 2), nullptr);
    EXPECT_EQ(*table.Find(4, 2), 0.25);
    table.Store(-3.5, 4, 2);
    EXPECT_EQ(*table.Find(4, 2), -3.5);
    // Rows 0..3 and cells 0, 1 of row 4 exist only to make room.
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(table.Find(row, 0), nullptr) << row;
    }
    for (int cell : {0, 1, 3}) {
        EXPECT_EQ(table.Find(4, cell), nullptr) << cell;
    }
    EXPECT_EQ(table.Find(5, 2), nullptr);
    // A row made present by one cell does not make its other cells present.
    table.Store(2.0, 1, 0);
    EXPECT_EQ(table.Find(1, 1), nullptr);
    EXPECT_EQ(*table.Find(1, 0), 2.0);
    EXPECT_EQ(*table.Find(4, 2), -3.5);
}

TEST(MemoTable, ZeroAndNaNAreStoredValuesNotMisses) {
    CMemoTable<1> table;
    table.Store(0.0, 0);
    table.Store(std::numeric_limits<double>::quiet_NaN(), 3);
    ASSERT_NE(table.Find(0), nullptr);
    EXPECT_EQ(*table.Find(0), 0.0);
    ASSERT_NE(table.Find(3), nullptr);
    EXPECT_TRUE(std::isnan(*table.Find(3)));
    EXPECT_EQ(table.Find(1), nullptr);
}

TEST(MemoTable, ThreeLevelsKeepIndicesApartAndClearRemovesAll) {
    CMemoTable<3> table;
    table.Store(1.0, 1, 2, 3);
    table.Store(2.0, 3, 2, 1);
    table.Store(3.0, 2, 1, 3);
    table.Store(4.0, 0, 0, 0);
    EXPECT_EQ(*table.Find(1, 2, 3), 1.0);
    EXPECT_EQ(*table.Find(3, 2, 1), 2.0);
    EXPECT_EQ(*table.Find(2, 1, 3), 3.0);
    EXPECT_EQ(table.Find(1, 3, 2), nullptr);
    EXPECT_EQ(table.Find(2, 3, 1), nullptr);
    EXPECT_EQ(table.Find(1, 2, 2), nullptr);
    table.Clear();
    EXPECT_TRUE(table.IsEmpty());
    EXPECT_EQ(table.Find(1, 2, 3), nullptr);
    EXPECT_EQ(table.Find(0, 0, 0), nullptr);
    table.Store(5.0, 1, 2, 3);
    EXPECT_EQ(*table.Find(1, 2, 3), 5.0);
}

TEST(MemoTable, CopiesAreDeep) {
    CMemoTable<2> original;
    original.Store(1.0, 3, 1);
    CMemoTable<2> copy = original;
    copy.Store(9.0, 3, 1);
    copy.Store(4.0, 0, 0);
    EXPECT_EQ(*original.Find(3, 1), 1.0);
    EXPECT_EQ(original.Find(0, 0), nullptr);
    original.Clear();
    ASSERT_NE(copy.Find(3, 1), nullptr);
    EXPECT_EQ(*copy.Find(3, 1), 9.0);

    CMemoTable<2> assigned;
    assigned.Store(7.0, 5, 5);
    assigned = copy;
    EXPECT_EQ(assigned.Find(5, 5), nullptr);
    EXPECT_EQ(*assigned.Find(0, 0), 4.0);
}
