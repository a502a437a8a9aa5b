// The in-memory stream's exact-count contract, on which the endpoint relies to never send
// or keep part of a datagram.
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "platform/stream.h"

using namespace lobby;

namespace {

TEST(MemoryStream, ExactCountsSucceedWholeOrRaise)
{
    TMemoryStream stream;
    stream.WriteBuffer("hello", 5);
    EXPECT_EQ(stream.Size(), 5);
    EXPECT_EQ(stream.Position(), 5) << "Size must not move the position";

    char out[8] = {};
    stream.SetPosition(0);
    stream.ReadBuffer(out, 5);
    EXPECT_EQ(std::string(out, 5), "hello");

    stream.SetPosition(3);
    try {
        stream.ReadBuffer(out, 3);
        FAIL() << "reading 3 bytes with 2 left must fail";
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Stream read error");
    }
    try {
        stream.WriteBuffer("x", -1);
        FAIL() << "a negative count must fail";
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Stream write error");
    }

    // Zero counts never fail and change nothing.
    TMemoryStream empty;
    EXPECT_NO_THROW(empty.ReadBuffer(out, 0));
    EXPECT_NO_THROW(empty.WriteBuffer("ignored", 0));
    EXPECT_EQ(empty.Size(), 0);
    EXPECT_EQ(empty.Position(), 0);
}

TEST(MemoryStream, PositionsInsideBeyondAndBeforeTheContent)
{
    TMemoryStream stream;
    stream.WriteBuffer("abcdef", 6);
    stream.SetPosition(2);
    stream.WriteBuffer("XY", 2);
    EXPECT_EQ(stream.Bytes(), "abXYef");

    char out[4] = {};
    stream.SetPosition(10);
    EXPECT_EQ(stream.Read(out, 4), 0);
    stream.SetPosition(8);
    stream.WriteBuffer("Z", 1);
    EXPECT_EQ(stream.Bytes(), std::string("abXYef\0\0Z", 9)) << "a gap is filled with zeros";

    // A position before the start reads and writes nothing (and never outside the buffer).
    stream.SetPosition(-2);
    EXPECT_EQ(stream.Read(out, 4), 0);
    EXPECT_THROW(stream.ReadBuffer(out, 1), EStreamError);
    EXPECT_THROW(stream.WriteBuffer("x", 1), EStreamError);
    EXPECT_EQ(stream.Bytes().size(), 9u);

    stream.Clear();
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(stream.Position(), 0);
}

} // namespace
