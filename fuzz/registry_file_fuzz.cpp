// The registry file loader fed any file: it must read it (cutting long lines, dropping what
// follows a NUL), and what it read must save and read back to the same cells; the save must
// replace the file whole; the score sort must either order the rows or stop with the
// conversion error; every nick must be found by the login lookup at its first row.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/invariants.h"
#include "platform/exception.h"
#include "server/registry/registry.h"
#include "server/registry/integer_text.h"
#include "server/registry/registry_file.h"

using namespace lobby;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::ScratchFolder() + "cadastro.txt";
    fuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));

    const auto text = ReadRegistryFile(path);
    fuzz::Check(text.has_value(), "an existing file reads");
    Registry registry;
    registry.LoadFromText(text->View());
    fuzz::Check(registry.RowCount() >= 1, "a loaded registry has its header row");
    fuzz::CheckRegistryRoundTrip(registry);

    const std::string saved = registry.SaveToText();
    WriteFileReplacing(path, saved);
    fuzz::Check(fuzz::ReadFile(path) == saved, "a save replaces the file whole");

    for (int row = 1; row < registry.RowCount(); ++row) {
        const int found = registry.NickRow(registry.Cell(Registry::kNick, row));
        fuzz::Check(found >= 1 && found <= row, "a nick is found at its first row");
        fuzz::Check(EqualIgnoringAsciiCase(registry.Cell(Registry::kNick, found), registry.Cell(Registry::kNick, row)),
                    "the row found has the nick");
    }

    Registry sorted;
    sorted.LoadFromText(saved);
    try {
        sorted.SortByScore();
        for (int row = 2; row < sorted.RowCount(); ++row)
            fuzz::Check(StrToInt(sorted.Cell(Registry::kScore, row - 1)) >= StrToInt(sorted.Cell(Registry::kScore, row)),
                        "sorted scores never rise");
    } catch (const EConvertError&) {
        // A score that is no integer stops the sort; what it did so far stays valid.
    }
    fuzz::CheckRegistryRoundTrip(sorted);
    fuzz::Check(sorted.RowCount() == registry.RowCount(), "sorting keeps every row");
    return 0;
}
