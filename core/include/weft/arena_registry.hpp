// The per-runtime registry of value arenas, one per value type, reached by a 16-bit tag.
#pragma once

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "weft/generic_arena.hpp"
#include "weft/hashing.hpp"

namespace weft {

struct TypeKeyHasher : KeyedHasher {
  std::size_t operator()(const TypeKey& key) const { return hash_words({key.high, key.low}); }
};

[[noreturn]] void fail_tag_out_of_range(std::size_t tag, std::size_t size);
[[noreturn]] void fail_too_many_types();
[[noreturn]] void fail_downcast();

class ArenaRegistry {
 public:
  static constexpr std::size_t kMaxTypes = 65536;

  // The tag and arena of T, registering T on first use. Runs under exclusive runtime access.
  template <class T>
  std::pair<u16, std::shared_ptr<GenericArena<T>>> ensure_tagged() {
    TypeKey key = type_key_of<T>();
    u16 tag;
    if (auto it = tags_.find(key); it != tags_.end()) {
      tag = it->second;
      if (tag >= arenas_.size()) fail_tag_out_of_range(tag, arenas_.size());
    } else {
      if (arenas_.size() >= kMaxTypes) fail_too_many_types();
      arenas_.push_back(std::make_shared<GenericArena<T>>());
      tag = static_cast<u16>(arenas_.size() - 1);
      tags_.emplace(key, tag);
    }
    std::shared_ptr<ErasedArena> arena = arenas_[tag];
    if (!(arena->type_key_of() == type_key_of<GenericArena<T>>())) fail_downcast();
    return {tag, std::static_pointer_cast<GenericArena<T>>(std::move(arena))};
  }

  // The arena of T at `tag`, or null when there is none or it holds another type.
  template <class T>
  std::shared_ptr<GenericArena<T>> arena_for_tag(u16 tag) const {
    GenericArena<T>* arena = arena_ptr_for_tag<T>(tag);
    if (!arena) return nullptr;
    return std::shared_ptr<GenericArena<T>>(arenas_[tag], arena);
  }

  // The same without taking a counted reference, for the read path: arenas live as long
  // as the registry, so the pointer stays valid while the runtime does.
  template <class T>
  GenericArena<T>* arena_ptr_for_tag(u16 tag) const {
    if (tag >= arenas_.size()) return nullptr;
    ErasedArena* arena = arenas_[tag].get();
    if (!(arena->type_key_of() == type_key_of<GenericArena<T>>())) return nullptr;
    return static_cast<GenericArena<T>*>(arena);
  }

  std::shared_ptr<ErasedArena> arena_at(u16 tag) const {
    if (tag >= arenas_.size()) fail_tag_out_of_range(tag, arenas_.size());
    return arenas_[tag];
  }

  std::size_t size() const { return arenas_.size(); }

 private:
  std::vector<std::shared_ptr<ErasedArena>> arenas_;
  std::unordered_map<TypeKey, u16, TypeKeyHasher> tags_;
};

}  // namespace weft
