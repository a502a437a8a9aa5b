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
        std::optional<std::uint32_t> address;
    } cases[] = {
        {"0.0.0.0", 0u},
        {"1.2.3.4", 0x01020304u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"10.200.0.99", 0x0AC80063u},
        {"010.0.0.1", std::nullopt}, // octal to inet_addr: 8.0.0.1
        {"10.0.0.01", std::nullopt},
        {"00.0.0.0", std::nullopt},
        {"256.0.0.1", std::nullopt},
        {"1.2.3", std::nullopt},
        {"1.2.3.4.", std::nullopt},
        {"1.2.3.4 ", std::nullopt},
        {" 1.2.3.4", std::nullopt},
        {"+1.2.3.4", std::nullopt},
        {"1..3.4", std::nullopt},
        {"1000.2.3.4", std::nullopt},
        {"0x1.2.3.4", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseDottedQuad(c.text), c.address) << c.text;
        if (c.address) {
            EXPECT_EQ(DottedQuadText(*c.address), c.text);
            EXPECT_EQ(SourceKey(c.text), *c.address) << c.text;
        } else {
            EXPECT_GT(SourceKey(c.text), 0xFFFFFFFFu) << c.text;
        }
    }
}
