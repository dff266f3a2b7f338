// Tests of the run-wide arena, its allocator, and the texts that share it.
#include "vantrel/support/arena.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>

#include "vantrel/runtime/runtime.h"

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
  EXPECT_EQ(kept.part(kept.view().substr(2, 4)).storage(), kept.storage());
  EXPECT_TRUE(kept.part(kept.view().substr(2, 4)).shares_storage());
}

// Takes and drops three chunks, through the pool.
void use_pooled_chunks() {
  Arena arena;
  for (int i = 0; i < 3; ++i) arena.allocate(Arena::chunk_size / 4, 8);
}

// The pool's lock is held across fork() by the handlers the runtime library registers: a child
// forked while another thread takes and gives chunks can use the pool at once. Without them a
// child that forked while the lock was held would hang here.
TEST(Arena, AForkedChildFindsThePoolFreeWhileAnotherThreadUsesIt) {
  ASSERT_EQ(runtime::fork_generation(), 0u);  // links the runtime library in, with its handlers
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) use_pooled_chunks();
  });
  for (int i = 0; i < 40; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      use_pooled_chunks();
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "the child hung on the pool";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  stop = true;
  churn.join();
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

// A lent text names its store's arena without a share of it, and is neither a literal nor a
// shared text; its parts are lent too.
TEST(RunStore, LentTextsNameTheirLenderWithoutAShare) {
  RunStore lending{RunStore::LendTexts{}};
  Text lent = lending.keep("lent text");
  EXPECT_EQ(lent, "lent text");
  EXPECT_FALSE(lent.shares_storage());
  EXPECT_FALSE(lent.is_literal());
  EXPECT_EQ(lent.storage(), &lending.arena());
  Text part = lent.part(lent.view().substr(5));
  EXPECT_EQ(part, "text");
  EXPECT_EQ(part.storage(), &lending.arena());
  EXPECT_FALSE(part.shares_storage());
  EXPECT_EQ(lending.text_of(lent.view()).storage(), &lending.arena());

  Text shared = RunStore().keep("shared");
  EXPECT_TRUE(shared.shares_storage());
  EXPECT_FALSE(shared.is_literal());
}

TEST(Text, LiteralsAreViewsAndStringsOwnCopies) {
  Text literal = "static";
  EXPECT_TRUE(literal.is_literal());
  EXPECT_FALSE(literal.shares_storage());
  EXPECT_TRUE(literal.part(literal.view().substr(1)).is_literal());
  std::string source = "owned";
  Text owned = source;
  source[0] = 'X';
  EXPECT_EQ(owned, "owned");
  EXPECT_TRUE(owned.shares_storage());
  EXPECT_TRUE(Text(std::string()).is_literal());
  EXPECT_TRUE(Text("a") < Text("b"));
}

}  // namespace
}  // namespace vantrel
