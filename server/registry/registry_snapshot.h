#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "server/registry/row_store.h"

namespace lobby {

// A frozen picture of the registry, for a save: the row identities in table order, and the
// row chunks as they were when it was taken. It may be read on another thread while the
// table goes on changing, until the registry is told that the save is done with it.
struct RegistrySnapshot {
    std::vector<RowStore::Id> order;
    RowStore::Chunks chunks;

    std::size_t Rows() const { return order.size(); }
    // Row index's line in the registry file, CR LF included.
    std::string_view Line(std::size_t index) const
    {
        const RowStore::Id id = order[index];
        return chunks[id >> kRowChunkShift]->rows[id & (kRowChunkRows - 1)].Line();
    }
};

} // namespace lobby
