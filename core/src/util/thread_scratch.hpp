#pragma once

// Working storage that a decoder reuses from text to text, one per thread.
//
// In a shared object such as the Python module, every use of a thread_local of the
// default model is a call to __tls_get_addr, and on glibc that call cost some 5 % of the
// bank-file reading, as it is made for every text. So each thread's storages are reached
// through one pointer of the initial-exec model, two loads. A module that uses that
// model has its whole thread-local segment placed in the static TLS block that glibc
// keeps spare for modules loaded later, a few hundred bytes shared by all of them: so the
// storages themselves live on the heap, and the segment holds two pointers, this one and
// the owner that frees the storages when the thread ends.

#include <cstddef>  // brings in <features.h>, which tells glibc
#include <memory>
#include <type_traits>
#include <vector>

namespace tallyfold::detail {

class ThreadScratchSlots {
 public:
  ThreadScratchSlots() = default;
  ThreadScratchSlots(const ThreadScratchSlots&) = delete;
  ThreadScratchSlots& operator=(const ThreadScratchSlots&) = delete;
  ~ThreadScratchSlots() {
    for (const Slot& slot : slots_) {
      if (slot.object != nullptr) slot.destroy(slot.object);
    }
  }

  void* find(std::size_t index) const noexcept { return index < slots_.size() ? slots_[index].object : nullptr; }
  void* add(std::size_t index, void* object, void (*destroy)(void*)) {
    if (index >= slots_.size()) slots_.resize(index + 1);
    slots_[index] = Slot{object, destroy};
    return object;
  }

 private:
  struct Slot {
    void* object = nullptr;
    void (*destroy)(void*) = nullptr;
  };
  std::vector<Slot> slots_;
};

#if defined(__GLIBC__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define TALLYFOLD_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define TALLYFOLD_INITIAL_EXEC
#endif

// The calling thread's slots once made; constinit, so that reading it needs no call.
extern constinit thread_local ThreadScratchSlots* current_thread_scratch TALLYFOLD_INITIAL_EXEC;
// Makes the calling thread's slots, on its first use of a storage.
ThreadScratchSlots& first_thread_scratch_slots();
// A number of its own for each kind of storage, handed out once per process.
std::size_t next_thread_scratch_index() noexcept;

// `Tag` keeps apart two storages of the same type that a decoder holds at once.
template <class T, class Tag = T>
T& thread_scratch() {
  static const std::size_t index = next_thread_scratch_index();
  ThreadScratchSlots* current = current_thread_scratch;
  ThreadScratchSlots& slots = current != nullptr ? *current : first_thread_scratch_slots();
  if (void* found = slots.find(index)) [[likely]] return *static_cast<T*>(found);
  using Stored = std::remove_const_t<T>;
  auto made = std::make_unique<Stored>();
  slots.add(index, made.get(), [](void* object) { delete static_cast<Stored*>(object); });
  return *made.release();
}

}  // namespace tallyfold::detail
