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

// `n` rounded up to a multiple of `to`.
constexpr std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

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
// lines waste no chunk space. Large chunks of a dropped arena go back to a bounded pool shared by
// all arenas, so that later runs reuse their pages instead of faulting fresh ones; the rest go
// back to the system. Pooled pages are lent back to the system too: it may take them when it
// runs short (they then read as zeros), and keeps them resident otherwise.
// One thread allocates at a time; the bytes handed out may be read from any thread.
class Arena {
 public:
  static constexpr std::size_t chunk_size = std::size_t{2} << 20;
  static constexpr std::size_t first_chunk_size = std::size_t{64} << 10;
  // Chunks kept for reuse after their arena goes, over all arenas: 128 MiB.
  static constexpr std::size_t pooled_chunks = 64;

  // The pool's fork handlers, called by the runtime's: its lock is held across fork(), so that a
  // forked child finds it free.
  static void before_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();

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
    return text_of(arena_->copy(text));
  }
  // `within`, bytes the store holds already, as one of its texts: lent or shared as keep's.
  Text text_of(std::string_view within) const {
    if (within.empty()) return {};
    return lends_texts_ ? Text(LentView{arena_.get(), within}) : Text(arena_, within);
  }
  const Arena& arena() const { return *arena_; }
  Arena& arena() { return *arena_; }
  const std::shared_ptr<Arena>& share() const { return arena_; }

 private:
  std::shared_ptr<Arena> arena_;
  bool lends_texts_ = false;
};

}  // namespace vantrel
