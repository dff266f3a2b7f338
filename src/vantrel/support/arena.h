// Run-wide storage in large chunks: a bump allocator whose memory goes back to the system whole.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "vantrel/support/text.h"

namespace vantrel {

// One anonymous memory mapping, unmapped when dropped.
class Mapping {
 public:
  Mapping() = default;
  // `size` bytes (a multiple of the page size). Throws std::bad_alloc when nothing is mapped.
  explicit Mapping(std::size_t size);
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void release() noexcept;
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Bump allocation in chunks of `chunk_size`, after a first small one so that a short
// run costs little; nothing is freed before the arena goes, and nothing is mapped before the
// first allocation. A request larger than a quarter chunk gets a mapping of its own, so big
// lines waste no chunk space. Large chunks of a dropped arena go back to a small pool shared by
// all arenas, the rest to the system.
// One thread allocates at a time; the bytes handed out may be read from any thread.
class Arena {
 public:
  static constexpr std::size_t chunk_size = std::size_t{2} << 20;
  static constexpr std::size_t first_chunk_size = std::size_t{64} << 10;
  // Chunks kept for reuse after their arena goes, over all arenas.
  static constexpr std::size_t pooled_chunks = 4;

  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // `size` bytes aligned to `align` (a power of two no larger than a page).
  void* allocate(std::size_t size, std::size_t align);
  // A copy of `text` inside the arena.
  std::string_view copy(std::string_view text);
  // A T built inside the arena, destroyed with it (in reverse order of making) when it has a
  // destructor to run.
  template <class T, class... Args>
  T* create(Args&&... args) {
    void* at = allocate(sizeof(T), alignof(T));
    if constexpr (std::is_trivially_destructible_v<T>) {
      return ::new (at) T(std::forward<Args>(args)...);
    } else {
      // Room first, so that the push below cannot fail once the object is made.
      if (destructors_.size() == destructors_.capacity())
        destructors_.reserve(std::max<std::size_t>(16, 2 * destructors_.capacity()));
      T* made = ::new (at) T(std::forward<Args>(args)...);
      destructors_.push_back({[](void* p) noexcept { static_cast<T*>(p)->~T(); }, made});
      return made;
    }
  }
  // The bytes of all mappings the arena holds, and of all allocations made in them.
  std::size_t mapped_bytes() const;
  std::size_t allocated_bytes() const { return allocated_; }

 private:
  // Starts a chunk that holds at least `size` bytes.
  void start_chunk(std::size_t size);
  struct Destructor {
    void (*destroy)(void*) noexcept;
    void* object;
  };
  std::vector<Mapping> chunks_;
  std::vector<Mapping> large_;
  std::vector<Destructor> destructors_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t allocated_ = 0;
};

}  // namespace vantrel

namespace vantrel {

// The fork handlers of the chunk pool the arenas share: no chunk is taken or given across a fork,
// so the child finds the pool's lock free (its chunks are the child's own copies).
void arena_pool_before_fork();
void arena_pool_after_fork_in_parent();
void arena_pool_after_fork_in_child();

}  // namespace vantrel

namespace vantrel {

// The storage of one run's decoded records: its kept lines, its unescaped texts and its events,
// all in one arena that goes with the last of them.
// A store's texts share it, so that they may outlive it. A store that outlives every text it
// hands out (a run's, whose kept records share the arena themselves) lends them instead, which
// spares a count update per text.
class RunStore {
 public:
  struct LendTexts {};
  RunStore() : arena_(std::make_shared<Arena>()) {}
  explicit RunStore(LendTexts) : arena_(std::make_shared<Arena>()), lends_texts_(true) {}

  // A copy of `text` in the store, sharing it unless the store lends its texts.
  Text keep(std::string_view text) const {
    if (text.empty()) return {};
    std::string_view kept = arena_->copy(text);
    return lends_texts_ ? Text(nullptr, kept) : Text(arena_, kept);
  }
  const Arena& arena() const { return *arena_; }
  Arena& arena() { return *arena_; }
  const std::shared_ptr<Arena>& share() const { return arena_; }

 private:
  std::shared_ptr<Arena> arena_;
  bool lends_texts_ = false;
};

}  // namespace vantrel
