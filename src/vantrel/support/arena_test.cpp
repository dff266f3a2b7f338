// Tests of the run-wide arena, its allocator, and the texts that share it.
#include "vantrel/support/arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vantrel {
namespace {

TEST(Arena, AllocatesAlignedFromChunksAndLargeRequestsApart) {
  Arena arena;
  EXPECT_EQ(arena.mapped_bytes(), 0u);
  // The first chunk is a small one; what does not fit it goes to a large one.
  arena.allocate(Arena::first_chunk_size - 2, 1);
  EXPECT_EQ(arena.mapped_bytes(), Arena::first_chunk_size);
  void* one = arena.allocate(3, 1);
  void* two = arena.allocate(16, 16);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(two) % 16, 0u);
  EXPECT_GE(static_cast<char*>(two), static_cast<char*>(one) + 3);
  EXPECT_EQ(arena.mapped_bytes(), Arena::first_chunk_size + Arena::chunk_size);
  // A request beyond a quarter chunk gets a mapping of its own; the chunk goes on being used.
  arena.allocate(Arena::chunk_size, 8);
  EXPECT_EQ(arena.mapped_bytes(), Arena::first_chunk_size + 2 * Arena::chunk_size);
  void* three = arena.allocate(8, 8);
  EXPECT_EQ(static_cast<char*>(three), static_cast<char*>(two) + 16);
  // Three quarters fit beside the small ones; the fourth, not fitting, takes a new chunk.
  for (int i = 0; i < 3; ++i) arena.allocate(Arena::chunk_size / 4, 8);
  EXPECT_EQ(arena.mapped_bytes(), Arena::first_chunk_size + 2 * Arena::chunk_size);
  for (int i = 0; i < 2; ++i) arena.allocate(Arena::chunk_size / 4, 8);
  EXPECT_EQ(arena.mapped_bytes(), Arena::first_chunk_size + 3 * Arena::chunk_size);
  EXPECT_EQ(arena.allocated_bytes(), Arena::first_chunk_size - 2 + 3 + 16 + Arena::chunk_size + 8 +
                                         5 * (Arena::chunk_size / 4));
}

TEST(RunStore, TextsKeepTheStoreAlive) {
  Text kept;
  {
    RunStore store;
    kept = store.keep("a line of output");
  }
  // The store is gone; its arena lives on in what was made from it.
  EXPECT_EQ(kept, "a line of output");
  EXPECT_EQ(kept.part(kept.view().substr(2, 4)), "line");
  EXPECT_EQ(kept.part(kept.view().substr(2, 4)).owner(), kept.owner());
}

// Objects made in an arena go with it, the last made first; their own memory (a string's heap
// buffer) is freed with them.
TEST(Arena, DestroysWhatItMadeInReverseOrder) {
  struct Noted {
    std::vector<int>* log;
    int id;
    std::string payload = std::string(100, 'p');
    ~Noted() { log->push_back(id); }
  };
  std::vector<int> log;
  {
    Arena arena;
    for (int id = 0; id < 3; ++id) EXPECT_EQ(arena.create<Noted>(&log, id)->id, id);
    EXPECT_TRUE(log.empty());
  }
  EXPECT_EQ(log, (std::vector<int>{2, 1, 0}));
}

TEST(RunStore, LentTextsHaveNoShare) {
  RunStore lending{RunStore::LendTexts{}};
  Text lent = lending.keep("lent");
  EXPECT_EQ(lent, "lent");
  EXPECT_EQ(lent.owner(), nullptr);
  EXPECT_NE(RunStore().keep("shared").owner(), nullptr);
}

TEST(Text, LiteralsAreViewsAndStringsOwnCopies) {
  Text literal = "static";
  EXPECT_EQ(literal.owner(), nullptr);
  std::string source = "owned";
  Text owned = source;
  source[0] = 'X';
  EXPECT_EQ(owned, "owned");
  EXPECT_NE(owned.owner(), nullptr);
  EXPECT_EQ(Text(std::string()).owner(), nullptr);
  EXPECT_TRUE(Text("a") < Text("b"));
}

}  // namespace
}  // namespace vantrel
