#include "util/thread_scratch.hpp"

#include <atomic>

namespace tallyfold::detail {

constinit thread_local ThreadScratchSlots* current_thread_scratch TALLYFOLD_INITIAL_EXEC = nullptr;

ThreadScratchSlots& first_thread_scratch_slots() {
  // Frees the thread's storages when it ends.
  thread_local std::unique_ptr<ThreadScratchSlots> owner;
  owner = std::make_unique<ThreadScratchSlots>();
  current_thread_scratch = owner.get();
  return *owner;
}

std::size_t next_thread_scratch_index() noexcept {
  static std::atomic<std::size_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tallyfold::detail
