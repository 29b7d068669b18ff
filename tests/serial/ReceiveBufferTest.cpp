// The port's receive buffer keeps bytes in arrival order through the reads
// that consume its front, the compaction that reuses that room and the
// growth that a burst larger than its array needs.
#include <gtest/gtest.h>

#include <numeric>

#include "serial/ReceiveBuffer.h"

using ostrel::serial::ReceiveBuffer;

namespace {

std::vector<uint8_t> counting(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

}  // namespace

TEST(ReceiveBufferTest, BytesLeaveInArrivalOrderThroughCompactionAndGrowth) {
    ReceiveBuffer buffer;
    std::vector<uint8_t> sent, taken, out;
    uint8_t next = 0;
    // Reads of 11 from a stream arriving in uneven pieces: the front is
    // consumed while the tail fills, past the first array several times.
    for (size_t piece : {3u, 4000u, 97u, 11u, 5000u, 1u, 9000u, 700u}) {
        std::vector<uint8_t> bytes = counting(piece, next);
        next = static_cast<uint8_t>(next + piece);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        buffer.append(bytes.data(), bytes.size());
        while (buffer.size() >= 11) {
            buffer.take(11, out);
            ASSERT_EQ(out.size(), 11u);
            taken.insert(taken.end(), out.begin(), out.end());
        }
    }
    buffer.take(buffer.size() + 100, out);  // more than held: what is there
    taken.insert(taken.end(), out.begin(), out.end());
    EXPECT_EQ(taken, sent);
    EXPECT_TRUE(buffer.empty());
}

TEST(ReceiveBufferTest, RoomFilledInPlaceIsHeldAfterWhatCameBefore) {
    ReceiveBuffer buffer;
    const std::vector<uint8_t> head = counting(4090, 1);
    buffer.append(head.data(), head.size());
    std::vector<uint8_t> out;
    buffer.take(4000, out);
    // 90 held near the end of the array; 4096 more need the front's room.
    uint8_t* room = buffer.room(4096);
    for (size_t i = 0; i < 4096; ++i) room[i] = static_cast<uint8_t>(0xA0 + i);
    buffer.commit(5);
    ASSERT_EQ(buffer.size(), 95u);
    EXPECT_EQ(buffer[0], head[4000]);
    EXPECT_EQ(buffer[89], head[4089]);
    EXPECT_EQ(buffer[90], 0xA0);
    EXPECT_EQ(buffer[94], 0xA4);
    buffer.drop(1000);
    EXPECT_TRUE(buffer.empty());
    buffer.append(nullptr, 0);
    EXPECT_TRUE(buffer.empty());
}
