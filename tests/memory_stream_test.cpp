// The in-memory stream's exact-count contract, on which the endpoint relies to never send
// or keep part of a datagram.
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "platform/stream.h"

namespace {

std::string ReadAll(TMemoryStream& stream)
{
    return std::string(stream.Bytes());
}

TEST(MemoryStreamExactCounts, WriteThenReadBackTheSameBytes)
{
    TMemoryStream stream;
    stream.WriteBuffer("hello", 5);
    EXPECT_EQ(stream.Position(), 5);
    EXPECT_EQ(stream.Size(), 5);
    EXPECT_EQ(stream.Position(), 5) << "Size must not move the position";

    stream.SetPosition(0);
    char out[5] = {};
    stream.ReadBuffer(out, 5);
    EXPECT_EQ(std::string(out, 5), "hello");
    EXPECT_EQ(stream.Position(), 5);
}

TEST(MemoryStreamExactCounts, ShortReadRaisesStreamReadError)
{
    TMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    stream.SetPosition(1);
    char out[8] = {};
    try {
        stream.ReadBuffer(out, 3);
        FAIL() << "reading 3 bytes with 2 left must fail";
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Stream read error");
    }
}

TEST(MemoryStreamExactCounts, ZeroCountsNeverFailAndChangeNothing)
{
    TMemoryStream stream;
    char out[1] = {'x'};
    EXPECT_NO_THROW(stream.ReadBuffer(out, 0));
    EXPECT_NO_THROW(stream.WriteBuffer("ignored", 0));
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_EQ(out[0], 'x');
}

TEST(MemoryStreamExactCounts, NegativeCountsFail)
{
    TMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    EXPECT_THROW(stream.WriteBuffer("abc", -1), EStreamError);
    stream.SetPosition(0);
    char out[4] = {};
    EXPECT_THROW(stream.ReadBuffer(out, -1), EStreamError);
    EXPECT_EQ(ReadAll(stream), "abc");
}

TEST(MemoryStreamPositions, WritingInsideOverwritesAndPastTheEndZeroFills)
{
    TMemoryStream stream;
    stream.WriteBuffer("abcdef", 6);
    stream.SetPosition(2);
    stream.WriteBuffer("XY", 2);
    EXPECT_EQ(ReadAll(stream), "abXYef");

    stream.SetPosition(8);
    stream.WriteBuffer("Z", 1);
    EXPECT_EQ(ReadAll(stream), std::string("abXYef\0\0Z", 9));
}

TEST(MemoryStreamPositions, ReadingAtOrPastTheEndGivesNothing)
{
    TMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    char out[4] = {};
    EXPECT_EQ(stream.Read(out, 4), 0);
    stream.SetPosition(10);
    EXPECT_EQ(stream.Read(out, 4), 0);
}

TEST(MemoryStreamPositions, NegativePositionReadsAndWritesNothing)
{
    TMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    stream.SetPosition(-2);
    char out[4] = {};
    EXPECT_EQ(stream.Read(out, 4), 0);
    EXPECT_THROW(stream.ReadBuffer(out, 1), EStreamError);
    EXPECT_THROW(stream.WriteBuffer("x", 1), EStreamError);
    EXPECT_EQ(ReadAll(stream), "abc");
}

TEST(MemoryStreamPositions, ClearEmptiesAndRewinds)
{
    TMemoryStream stream;
    stream.WriteBuffer("abc", 3);
    stream.Clear();
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(stream.Position(), 0);
}

} // namespace
