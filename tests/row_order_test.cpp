// The blocked row order against a plain array, through random inserts, erases, moves and
// rewrites big enough to split and empty blocks.
#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "server/registry/row_order.h"

using namespace lobby;

namespace {

void ExpectSame(const RowOrder& order, const std::vector<RowOrder::Id>& model, int step)
{
    ASSERT_EQ(order.Size(), static_cast<int>(model.size())) << "step " << step;
    std::vector<RowOrder::Id> walked;
    order.AppendTo(walked);
    ASSERT_EQ(walked, model) << "step " << step;
    for (int i = 0; i < static_cast<int>(model.size()); i += 1 + static_cast<int>(model.size() / 50)) {
        ASSERT_EQ(order.At(i), model[static_cast<std::size_t>(i)]) << "step " << step;
        ASSERT_EQ(order.PositionOf(model[static_cast<std::size_t>(i)]), i) << "step " << step;
    }
}

TEST(RowOrder, FollowsAPlainArrayThroughEveryChange)
{
    std::mt19937 random(20261207);
    RowOrder order;
    std::vector<RowOrder::Id> model;
    RowOrder::Id next = 0;
    const auto pick = [&](std::size_t bound) { return static_cast<int>(random() % bound); };
    std::size_t peak = 0;
    for (int step = 0; step < 8000; ++step) {
        const int kind = pick(100);
        if (kind < 55 || model.size() < 2) { // grow, at the end or anywhere
            const int at = kind % 3 == 0 ? static_cast<int>(model.size()) : pick(model.size() + 1);
            order.Insert(at, next);
            model.insert(model.begin() + at, next++);
        } else if (kind < 68) {
            const int at = pick(model.size());
            ASSERT_EQ(order.Erase(at), model[static_cast<std::size_t>(at)]);
            model.erase(model.begin() + at);
        } else if (kind < 97) { // a player crossing the table, or a short hop
            const int from = pick(model.size());
            const int to = kind % 2 ? pick(model.size()) : (kind % 4 == 0 ? 0 : static_cast<int>(model.size()) - 1);
            order.Move(from, to);
            const RowOrder::Id id = model[static_cast<std::size_t>(from)];
            model.erase(model.begin() + from);
            model.insert(model.begin() + to, id);
        } else if (kind < 99 || model.size() < 3000) { // a sorted stretch written back in another order
            const int first = pick(model.size());
            const int last = first + pick(model.size() - static_cast<std::size_t>(first));
            std::vector<RowOrder::Id> stretch(model.begin() + first, model.begin() + last + 1);
            std::shuffle(stretch.begin(), stretch.end(), random);
            order.Reorder(first, stretch);
            std::copy(stretch.begin(), stretch.end(), model.begin() + first);
        } else {
            const int keep = static_cast<int>(model.size()) * 3 / 4;
            order.Truncate(keep);
            model.resize(static_cast<std::size_t>(keep));
        }
        peak = std::max(peak, model.size());
        ExpectSame(order, model, step);
        if (step % 1000 == 999) { // now and then a whole new order, as a load gives
            order.Assign(model);
            ExpectSame(order, model, step);
        }
    }
    EXPECT_GT(peak, 3000u) << "big enough to split blocks";
    int visited = 0;
    order.ForEach(3, order.Size() - 3, [&](int position, RowOrder::Id id) {
        EXPECT_EQ(id, model[static_cast<std::size_t>(position)]);
        ++visited;
    });
    EXPECT_EQ(visited, std::max(0, order.Size() - 5));
}

} // namespace
