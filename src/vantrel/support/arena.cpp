// Run-wide storage in large chunks: a bump allocator whose memory goes back to the system whole.
#include "vantrel/support/arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace vantrel {
namespace {

std::size_t page_size() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Chunks of dropped arenas, handed to the next arenas instead of mapped afresh (their pages are
// resident already).
class ChunkPool {
 public:
  bool take(Mapping& out) {
    std::lock_guard lock(mutex_);
    if (chunks_.empty()) return false;
    out = std::move(chunks_.back());
    chunks_.pop_back();
    return true;
  }
  // Keeps `chunk` when there is room; else it is unmapped as it goes.
  void give(Mapping chunk) {
    {
      std::lock_guard lock(mutex_);
      if (chunks_.size() == Arena::pooled_chunks) return;
    }
    // Outside the lock: the system may take the pages back, until they are written again.
    madvise(chunk.data(), chunk.size(), MADV_FREE);
    std::lock_guard lock(mutex_);
    if (chunks_.size() < Arena::pooled_chunks) chunks_.push_back(std::move(chunk));
  }
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  std::vector<Mapping> chunks_;
};

// Built in static storage and never destroyed, so that arenas dropped while the process exits
// still find it.
ChunkPool& chunk_pool() {
  alignas(ChunkPool) static unsigned char storage[sizeof(ChunkPool)];
  static ChunkPool* pool = ::new (storage) ChunkPool;
  return *pool;
}

}  // namespace

// Small pages, not huge ones: a fresh huge page is zeroed whole at its first touch, which on this
// kind of machine costs a first run of a large stream more than twice the time it saves later.
Mapping::Mapping(std::size_t size) {
  void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<char*>(at);
  size_ = size;
}

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Mapping::~Mapping() { release(); }

void Mapping::release() noexcept {
  if (data_) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

void Arena::before_fork() { chunk_pool().lock(); }
void Arena::after_fork_in_parent() { chunk_pool().unlock(); }
void Arena::after_fork_in_child() { chunk_pool().unlock(); }

Arena::~Arena() {
  for (auto d = destructors_.rbegin(); d != destructors_.rend(); ++d) d->destroy(d->object);
  for (Mapping& chunk : chunks_)
    if (chunk.size() == chunk_size) chunk_pool().give(std::move(chunk));
}

void Arena::start_chunk(std::size_t size) {
  Mapping chunk;
  if (chunks_.empty() && size <= first_chunk_size)
    chunk = Mapping(first_chunk_size);
  else if (!chunk_pool().take(chunk))
    chunk = Mapping(chunk_size);
  chunks_.push_back(std::move(chunk));
  next_ = chunks_.back().data();
  end_ = next_ + chunks_.back().size();
}

void* Arena::allocate(std::size_t size, std::size_t align) {
  allocated_ += size;
  if (size > chunk_size / 4) {
    large_.emplace_back(round_up(size, page_size()));
    return large_.back().data();
  }
  auto at = reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(next_), align));
  if (!next_ || at + size > end_) {
    start_chunk(size);
    at = next_;
  }
  next_ = at + size;
  return at;
}

std::string_view Arena::copy(std::string_view text) {
  if (text.empty()) return {};
  auto* at = static_cast<char*>(allocate(text.size(), 1));
  std::memcpy(at, text.data(), text.size());
  return {at, text.size()};
}

std::size_t Arena::mapped_bytes() const {
  std::size_t total = 0;
  for (const Mapping& m : chunks_) total += m.size();
  for (const Mapping& m : large_) total += m.size();
  return total;
}

}  // namespace vantrel
