#include "collab/ordered_map.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "collab/azure/route_table.hpp"
#include "collab/errors.hpp"

namespace collab {
namespace {

// Vectors of route tables must move, not copy, their elements when they grow.
static_assert(std::is_nothrow_move_constructible_v<OrderedMap<std::string>>);
static_assert(std::is_nothrow_move_constructible_v<azure::RouteTable>);

TEST(OrderedMap, ReplacesInPlaceAndAppendsNewKeysAcrossTheIndexThreshold) {
  OrderedMap<int> m;
  for (int i = 0; i < 40; ++i) m.append("k" + std::to_string(i), i);
  // The first lookup on a large map builds the index; later appends are caught up lazily.
  EXPECT_EQ(m.at("k39"), 39);
  m.append("late", 100);
  EXPECT_EQ(m.at("late"), 100);
  m.set("k3", -3);
  m["k5"] = -5;
  m["fresh"] = 7;
  EXPECT_EQ(m.size(), 42u);
  EXPECT_EQ(m.at("k3"), -3);
  EXPECT_EQ(m.at("k5"), -5);
  EXPECT_EQ((m.begin() + 3)->second, -3);  // replaced where it stood
  EXPECT_EQ((m.end() - 1)->first, "fresh");
  EXPECT_FALSE(m.contains("k40"));
  EXPECT_EQ(m.find("nope"), nullptr);
  EXPECT_THROW(m.at("nope"), MissingKeyError);

  OrderedMap<int> moved = std::move(m);
  EXPECT_EQ(moved.at("late"), 100);
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_FALSE(moved.contains("late"));
  moved.set("a", 1);
  EXPECT_EQ(moved.at("a"), 1);
}

}  // namespace
}  // namespace collab
