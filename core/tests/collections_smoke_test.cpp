#include "weft/aggregate.hpp"
#include "weft/collection_ops.hpp"
#include "weft/group_by.hpp"
#include "weft/join.hpp"
#include "weft/sorted_collection.hpp"
#include <gtest/gtest.h>
using namespace weft;
TEST(CollSmoke, All) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{1}); insert(rt, c, u64{2}); insert(rt, c, u64{3});
  auto m = map(rt, c, [](u64 x) { return x * 10; });
  auto f = filter(rt, c, [](u64 x) { return x % 2 == 1; });
  auto n = count(rt, c);
  auto r = reduce<u64>(rt, c, [](std::vector<u64> v) { u64 s = 0; for (auto x : v) s += x; return s; });
  auto g = group_by<u64>(rt, c, [](u64 x) { return x % 2; });
  auto j = join<u64>(rt, c, c, [](u64 x) { return x % 2; }, [](u64 x) { return x % 2; });
  auto s = sort_by_key<u64>(rt, c, [](u64 x) { return 100 - x; });
  auto w = window(rt, s, 2);
  auto p = pairwise(rt, s);
  auto a = aggregate<u64>(rt, c, u64{0}, [](u64 x) { return x; }, [](u64 x, u64 y) { return x + y; });
  EXPECT_EQ(rt.read(n), 3u); EXPECT_EQ(rt.read(r), 6u); EXPECT_EQ(rt.read(a), 6u);
  insert(rt, c, u64{5}); remove(rt, c, u64{2});
  EXPECT_EQ(rt.read(n), 3u); EXPECT_EQ(rt.read(r), 9u); EXPECT_EQ(rt.read(a), 9u);
  rt.read(m.version_node); EXPECT_EQ(snapshot_len(m), 3u);
  rt.read(f.version_node); EXPECT_EQ(snapshot_len(f), 3u);
  rt.read(g.router); EXPECT_EQ(group_count(g), 2u); EXPECT_EQ(snapshot_len(*get_group(g, u64{1})), 3u);
  rt.read(j.version_node); EXPECT_EQ(snapshot_len(j), 9u);
  rt.read(s.version_node); EXPECT_EQ(sorted_snapshot(s), (std::vector<u64>{5, 3, 1}));
  rt.read(w.version_node); EXPECT_EQ(snapshot_len(w), 2u);
  rt.read(p.version_node); EXPECT_EQ(snapshot_len(p), 2u);
}
