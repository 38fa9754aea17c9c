#include <functional>
#include <memory>
#include <string>

#include "test_support.hpp"

namespace weft {

namespace {

// A value whose equality runs a hook first, the way a Python __eq__ may run any code, and
// so holds its operands for the comparison, as the Python value's equality does.
struct Probe {
  std::shared_ptr<int> payload;
};
std::function<void()> probe_hook;

}  // namespace

template <>
struct ValueTraits<Probe> {
  static constexpr std::string_view name = "Probe";
  static bool equal(const Probe& stored, const Probe& other) {
    std::shared_ptr<int> held = stored.payload;
    if (auto hook = std::exchange(probe_hook, nullptr)) hook();
    return *held == *other.payload;
  }
};

namespace {

using testing::Tagged;

const char* const kUnwritten = "ValueSlot::read on a slot that was never written";

TEST(GenericArena, CellsAreReusedLastReleasedFirst) {
  GenericArena<u64> arena;
  for (u64 i = 0; i < 10; ++i) EXPECT_EQ(arena.alloc(u64{i}), i);
  arena.release(5);
  arena.release(9);
  EXPECT_EQ(arena.alloc(90), 9u);
  EXPECT_EQ(arena.alloc(50), 5u);
  EXPECT_EQ(arena.alloc(10), 10u);
  EXPECT_EQ(arena.read(9), 90u);
  EXPECT_EQ(arena.read(5), 50u);
  EXPECT_EQ(arena.cell_count(), 11u);

  arena.release(3);
  u32 empty = arena.alloc_empty();  // a reused cell comes back empty
  EXPECT_EQ(empty, 3u);
  EXPECT_FAILURE(arena.read(empty), kUnwritten);
  EXPECT_EQ(arena.alloc_empty(), 11u);
}

TEST(GenericArena, EmptyAndReleasedCellsCannotBeRead) {
  GenericArena<u64> arena;
  u32 empty = arena.alloc_empty();
  EXPECT_FAILURE(arena.read(empty), kUnwritten);
  EXPECT_FALSE(arena.equals(empty, 0));  // an empty cell equals nothing

  u32 full = arena.alloc(4);
  arena.release(full);
  EXPECT_FAILURE(arena.read(full), kUnwritten);
  EXPECT_EQ(arena.lock().counter(), 0);  // the failed reads gave their access back
  EXPECT_FAILURE(arena.read(99), "index out of range: value cell 99 of an arena with 2 cells");
}

TEST(GenericArena, WriteIfChangedKeepsAnEqualOldValue) {
  GenericArena<Tagged> arena;
  u32 cell = arena.alloc_empty();
  EXPECT_TRUE(arena.write_if_changed(cell, {1, 100}));  // an empty cell counts as different
  EXPECT_FALSE(arena.write_if_changed(cell, {1, 200}));
  EXPECT_EQ(arena.read(cell).tag, 100);  // the old value stayed
  EXPECT_TRUE(arena.write_if_changed(cell, {2, 300}));
  EXPECT_EQ(arena.read(cell).tag, 300);

  EXPECT_TRUE(arena.equals(cell, {2, 0}));
  EXPECT_FALSE(arena.equals(cell, {3, 300}));
  arena.overwrite(cell, {2, 400});  // no comparison
  EXPECT_EQ(arena.read(cell).tag, 400);
}

TEST(GenericArena, AnEqualityThatWritesTheComparedCellLeavesTheWriteInPlace) {
  GenericArena<Probe> arena;
  auto make = [](int n) { return Probe{std::make_shared<int>(n)}; };
  u32 cell = arena.alloc(make(1));
  auto overwrite_cell = [&] { arena.overwrite(cell, make(7)); };

  probe_hook = overwrite_cell;  // an input write whose equality test writes the input again
  EXPECT_TRUE(arena.equals(cell, make(1)));
  EXPECT_EQ(*arena.read(cell).payload, 7);

  probe_hook = overwrite_cell;
  EXPECT_FALSE(arena.write_if_changed(cell, make(7)));
  EXPECT_EQ(*arena.read(cell).payload, 7);
  EXPECT_EQ(arena.lock().counter(), 0);
}

TEST(ArenaRegistry, TagsFollowFirstUse) {
  ArenaRegistry registry;
  auto [tag_a, arena_a] = registry.ensure_tagged<u64>();
  auto [tag_b, arena_b] = registry.ensure_tagged<std::string>();
  auto [tag_c, arena_c] = registry.ensure_tagged<u64>();
  EXPECT_EQ(tag_a, 0u);
  EXPECT_EQ(tag_b, 1u);
  EXPECT_EQ(tag_c, 0u);
  EXPECT_EQ(arena_a, arena_c);
  EXPECT_EQ(registry.size(), 2u);

  EXPECT_EQ(registry.arena_for_tag<u64>(0), arena_a);
  EXPECT_EQ(registry.arena_for_tag<std::string>(1), arena_b);
  EXPECT_EQ(registry.arena_for_tag<std::string>(0), nullptr);  // another type at that tag
  EXPECT_EQ(registry.arena_for_tag<u64>(2), nullptr);
  EXPECT_EQ(registry.arena_at(1), std::static_pointer_cast<ErasedArena>(arena_b));
  EXPECT_FAILURE(registry.arena_at(2), "index out of range: type tag 2 of a registry with 2 arenas");
}

TEST(ArenaRegistry, RuntimeNodesOfTwoTypesUseTwoArenas) {
  Runtime rt;
  auto number = rt.create_input<u64>(5);
  auto text = rt.create_input<std::string>("five");
  auto length = rt.create_compute<u64>([text](Runtime& r) { return u64(r.read(text).size()); });
  EXPECT_EQ(rt.record(number.slot).type_tag, 0u);
  EXPECT_EQ(rt.record(text.slot).type_tag, 1u);
  EXPECT_EQ(rt.record(length.slot).type_tag, 0u);
  EXPECT_EQ(rt.record(number.slot).value_index, 0u);
  EXPECT_EQ(rt.record(text.slot).value_index, 0u);
  EXPECT_EQ(rt.record(length.slot).value_index, 1u);
  EXPECT_EQ(rt.read(length), 4u);
  rt.set(text, std::string("seven"));
  EXPECT_EQ(rt.read(length), 5u);
  EXPECT_EQ(rt.read(number), 5u);
}

TEST(ArenaRegistry, DeletedNodesCellsAreReusedByTheNextNodeOfTheType) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(2);
  auto c = rt.create_input<u64>(3);
  u32 cell_a = rt.record(a.slot).value_index;
  u32 cell_c = rt.record(c.slot).value_index;
  rt.delete_node(a);
  rt.delete_node(c);
  auto q = rt.create_compute<u64>([b](Runtime& r) { return r.read(b) + 1; });
  EXPECT_EQ(rt.record(q.slot).value_index, cell_c);  // empty until its first compute
  EXPECT_EQ(rt.read(q), 3u);
  auto d = rt.create_input<u64>(4);
  EXPECT_EQ(rt.record(d.slot).value_index, cell_a);
  EXPECT_EQ(rt.read(d), 4u);
}

}  // namespace
}  // namespace weft
