// The registry file's format read directly: lines, cells and the header, as loads and the
// tools that read a registry file see them.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "server/registry/registry_file.h"

using namespace lobby;

namespace {

std::vector<std::string> LinesOf(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (const auto line = NextRegistryLine(text, pos))
        lines.emplace_back(*line);
    EXPECT_EQ(pos, text.size()); // every byte walked, line ends included
    return lines;
}

} // namespace

TEST(RegistryFileFormat, LinesEndAtCrLfOrEitherAloneAndAFinalEndAddsNone)
{
    using Lines = std::vector<std::string>;
    EXPECT_EQ(LinesOf(""), Lines{});
    EXPECT_EQ(LinesOf("a,\r\n"), Lines{"a,"});
    EXPECT_EQ(LinesOf("a,\rb,\nc,\r\nd,"), (Lines{"a,", "b,", "c,", "d,"}));
    EXPECT_EQ(LinesOf("x,\r\r\ny,"), (Lines{"x,", "", "y,"}));
    EXPECT_EQ(LinesOf("\n\n"), (Lines{"", ""}));
    EXPECT_EQ(FirstRegistryLine(std::string(5000, 'n') + "\r\nrest").size(), kMaxRegistryLineLength);
}

TEST(RegistryFileFormat, CellsEndAtCommasAndWhatIsLeftIsToldByUsed)
{
    const struct {
        std::string_view line;
        std::vector<std::string_view> cells;
        std::size_t used;
    } cases[] = {
        {",ana,pw,10.0.0.1,5,-,", {"", "ana", "pw", "10.0.0.1", "5", "-"}, 21},
        {">,ana,pw,,5,-,tail", {">", "ana", "pw", "", "5", "-"}, 14},
        {",a,b,c,d,e,f,g,", {"", "a", "b", "c", "d", "e"}, 11},
        {"no comma", {"", "", "", "", "", ""}, 0},
        {"on,ana", {"on", "", "", "", "", ""}, 3},
    };
    for (const auto& c : cases) {
        const RegistryLineCells split = SplitRegistryLine(c.line);
        EXPECT_EQ(std::vector<std::string_view>(split.cells.begin(), split.cells.end()), c.cells) << c.line;
        EXPECT_EQ(split.used, c.used) << c.line;
    }
}

TEST(RegistryFileFormat, OnlyALineWhoseSecondCellIsNickIsTheHeader)
{
    EXPECT_TRUE(ReadsAsRegistryHeader(",Nick,Senha,Ip,Pontos,"));
    EXPECT_TRUE(ReadsAsRegistryHeader(">,Nick,"));
    EXPECT_FALSE(ReadsAsRegistryHeader(",nick,Senha,Ip,Pontos,"));
    EXPECT_FALSE(ReadsAsRegistryHeader(",Nick"));
    EXPECT_FALSE(ReadsAsRegistryHeader(",ana,pw,10.0.0.1,5,-,"));
    EXPECT_FALSE(ReadsAsRegistryHeader(""));
}
