#pragma once

// Working storage that a decoder reuses from text to text, one per thread.
//
// In a shared object such as the Python module, every use of a thread_local of the
// default model is a call to __tls_get_addr, and on glibc that call can cost as much as
// decoding a short text; sampled in the module, it took some 5 % of the bank-file
// reading. So the storage is reached through a pointer of the initial-exec model, which
// is two loads, and the object itself is an ordinary thread_local, touched once per
// thread to set the pointer and destroyed when the thread ends. The pointer takes 8 bytes
// of the static TLS block that glibc keeps spare for modules loaded later; elsewhere the
// plain thread_local is used.

#include <cstddef>  // brings in <features.h>, which tells glibc

namespace tallyfold::detail {

// `Tag` keeps apart two storages of the same type that a decoder holds at once.
template <class T, class Tag = T>
T& thread_scratch() {
#if defined(__GLIBC__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
  static thread_local T* fast __attribute__((tls_model("initial-exec"))) = nullptr;
  if (fast != nullptr) [[likely]] return *fast;
  static thread_local T owned;
  fast = &owned;
  return owned;
#else
  static thread_local T owned;
  return owned;
#endif
}

}  // namespace tallyfold::detail
