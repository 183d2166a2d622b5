#include "serial/AfCircularBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

namespace {

const std::uint8_t* Base(const TAfCircularBuffer& ring) { return ring.ReadPointer() - ring.ReadPosition(); }

TEST(AfCircularBuffer, NewRingIsEmptyAtIndexZero) {
    TAfCircularBuffer ring(4);
    EXPECT_EQ(ring.Used(), 0);
    EXPECT_EQ(ring.FreeSpace(), 4);
    EXPECT_EQ(ring.ContiguousUsed(), 0);
    EXPECT_EQ(ring.ReadPosition(), 0);
    EXPECT_FALSE(ring.IsFull());
}

TEST(AfCircularBuffer, WriteOfNothingOrNegativeCountIsRefused) {
    TAfCircularBuffer ring(4);
    const std::uint8_t byte = 1;
    EXPECT_FALSE(ring.Write(&byte, 0));
    EXPECT_FALSE(ring.Write(&byte, -1));
    EXPECT_EQ(ring.Used(), 0);
    EXPECT_EQ(ring.WritePosition(), 0);
}

TEST(AfCircularBuffer, FillsEveryByteAndRefusesOneMoreWhole) {
    TAfCircularBuffer ring(4);
    const std::uint8_t data[5] = {1, 2, 3, 4, 5};
    EXPECT_FALSE(ring.Write(data, 5));
    EXPECT_EQ(ring.Used(), 0);
    ASSERT_TRUE(ring.Write(data, 4));
    EXPECT_EQ(ring.Used(), 4);
    EXPECT_EQ(ring.FreeSpace(), 0);
    EXPECT_TRUE(ring.IsFull());
    EXPECT_EQ(ring.ReadPosition(), ring.WritePosition());
    EXPECT_FALSE(ring.Write(data, 1));
    EXPECT_EQ(ring.Used(), 4);
    EXPECT_EQ(ring.ReadPointer()[3], 4);
}

TEST(AfCircularBuffer, SplitWriteIsDrainedInTwoRuns) {
    TAfCircularBuffer ring(4);
    const std::uint8_t first[3] = {1, 2, 3};
    const std::uint8_t second[3] = {4, 5, 6};
    ASSERT_TRUE(ring.Write(first, 3));
    ASSERT_TRUE(ring.Remove(2));
    ASSERT_TRUE(ring.Write(second, 3));
    EXPECT_EQ(Base(ring)[3], 4);
    EXPECT_EQ(Base(ring)[0], 5);
    EXPECT_EQ(Base(ring)[1], 6);
    EXPECT_EQ(ring.Used(), 4);
    EXPECT_TRUE(ring.IsFull());
    EXPECT_EQ(ring.ContiguousUsed(), 2);
    EXPECT_EQ(ring.ReadPointer()[0], 3);
    EXPECT_EQ(ring.ReadPointer()[1], 4);
    ASSERT_TRUE(ring.Remove(2));
    EXPECT_FALSE(ring.IsFull());
    EXPECT_EQ(ring.ContiguousUsed(), 2);
    EXPECT_EQ(ring.ReadPointer()[0], 5);
    EXPECT_EQ(ring.ReadPointer()[1], 6);
}

TEST(AfCircularBuffer, RemoveRules) {
    TAfCircularBuffer ring(4);
    EXPECT_TRUE(ring.Remove(0));
    EXPECT_FALSE(ring.Remove(1));
    const std::uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_TRUE(ring.Write(data, 4));
    EXPECT_TRUE(ring.Remove(0));
    EXPECT_TRUE(ring.IsFull());
    EXPECT_FALSE(ring.Remove(5));
    EXPECT_EQ(ring.Used(), 4);
    EXPECT_FALSE(ring.Remove(-1));
    EXPECT_EQ(ring.Used(), 4);
    ring.RemoveBytes(3);
    EXPECT_EQ(ring.Used(), 1);
    ASSERT_TRUE(ring.Remove(1));
    EXPECT_EQ(ring.ReadPosition(), ring.WritePosition());
    EXPECT_EQ(ring.ReadPosition(), 0);  // 4 bytes removed from 0 wrap back to 0
}

TEST(AfCircularBuffer, EmptyingLeavesPositionsWhereTheyMetUntilClear) {
    TAfCircularBuffer ring(8);
    const std::uint8_t data[3] = {1, 2, 3};
    ASSERT_TRUE(ring.Write(data, 3));
    ASSERT_TRUE(ring.Remove(3));
    EXPECT_EQ(ring.ReadPosition(), 3);
    EXPECT_EQ(ring.WritePosition(), 3);
    ASSERT_TRUE(ring.Write(data, 2));
    ring.Clear();
    EXPECT_EQ(ring.ReadPosition(), 0);
    EXPECT_EQ(ring.WritePosition(), 0);
    EXPECT_EQ(ring.Used(), 0);
    EXPECT_FALSE(ring.IsFull());
}

TEST(AfCircularBuffer, ZeroCapacityHoldsNothing) {
    TAfCircularBuffer ring(0);
    const std::uint8_t byte = 7;
    EXPECT_FALSE(ring.Write(&byte, 1));
    EXPECT_EQ(ring.Used(), 0);
    EXPECT_EQ(ring.FreeSpace(), 0);
    EXPECT_TRUE(ring.Remove(0));
}

// Random appends and in-place drains against a plain queue: every byte comes
// out once, in order, whatever the wrap positions.
TEST(AfCircularBuffer, RandomTrafficMatchesAPlainQueue) {
    TAfCircularBuffer ring(61);
    std::mt19937 random(12345);
    std::vector<std::uint8_t> expected;
    std::vector<std::uint8_t> drained;
    std::uint8_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        if (random() % 2) {
            const int count = static_cast<int>(random() % 70);
            std::vector<std::uint8_t> block(count);
            for (auto& byte : block) byte = next++;
            const bool fits = count >= 1 && count <= ring.FreeSpace();
            ASSERT_EQ(ring.Write(block.data(), count), fits);
            if (fits)
                expected.insert(expected.end(), block.begin(), block.end());
            else
                next = static_cast<std::uint8_t>(next - count);
        } else {
            const int run = ring.ContiguousUsed();
            const int take = run == 0 ? 0 : static_cast<int>(random() % run) + 1;
            drained.insert(drained.end(), ring.ReadPointer(), ring.ReadPointer() + take);
            ASSERT_TRUE(ring.Remove(take));
        }
        ASSERT_EQ(ring.Used() + ring.FreeSpace(), 61);
        ASSERT_EQ(static_cast<std::size_t>(ring.Used()), expected.size() - drained.size());
    }
    while (ring.Used() > 0) {
        drained.insert(drained.end(), ring.ReadPointer(), ring.ReadPointer() + ring.ContiguousUsed());
        ring.RemoveBytes(ring.ContiguousUsed());
    }
    EXPECT_EQ(drained, expected);
}

}  // namespace
