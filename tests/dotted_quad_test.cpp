#include <gtest/gtest.h>

#include <optional>

#include "net/dotted_quad.h"
#include "server/flood/flood_guard.h"

using namespace lobby;

// One strict reading shared by the endpoint and the flood guard: a text either is one address
// to both, or is left to inet_addr (the endpoint) and kept apart from every address (the guard).
TEST(DottedQuad, ReadsOnlyThePlainFormAndWritesItBack)
{
    const struct {
        const char* text;
        std::uint32_t address;
    } plain[] = {
        {"0.0.0.0", 0u},
        {"1.2.3.4", 0x01020304u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"10.200.0.99", 0x0AC80063u},
    };
    for (const auto& c : plain) {
        EXPECT_EQ(ParseDottedQuad(c.text), c.address) << c.text;
        EXPECT_EQ(DottedQuadText(c.address), c.text);
        EXPECT_EQ(SourceKey(c.text), c.address) << c.text;
    }
    // "010.0.0.1" is octal to inet_addr (8.0.0.1): a leading zero is no plain form.
    for (const char* text : {"010.0.0.1", "10.0.0.01", "00.0.0.0", "256.0.0.1", "1.2.3", "1.2.3.4.", "1.2.3.4 ",
                             " 1.2.3.4", "+1.2.3.4", "1..3.4", "1000.2.3.4", "0x1.2.3.4", ""}) {
        EXPECT_EQ(ParseDottedQuad(text), std::nullopt) << text;
        EXPECT_GT(SourceKey(text), 0xFFFFFFFFu) << text;
    }
}
