// Loaded with LD_PRELOAD: makes exactly one chosen heap allocation fail, so a
// test can sweep a call path one allocation point at a time.
//
//   failing_malloc_arm(k)   the k-th allocation from now fails (k >= 1); all
//                           others succeed
//   failing_malloc_disarm() stops counting; returns how many allocations were
//                           seen since arming (so the sweep knows when k has
//                           passed the end of the path)
//   failing_malloc_failed_in(name, size)
//                           the file of the code that asked for the allocation
//                           that failed (its return address, or, for the
//                           malloc under an operator new, that new's), or ""
//
// It covers the C allocation calls and, for builds whose operator new does
// not go through malloc (the sanitizer runtime has its own), operator new.
// Everything else is handed to the next definition in the search order:
// glibc's, or the sanitizer's when this library is preloaded before it.

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<bool> armed{false};
std::atomic<long> seen{0};
std::atomic<long> fail_at{0};

std::atomic<void*> failed_caller{nullptr};
// The caller of the operator new this thread is in, if any.
// Initial-exec: reading it must never allocate (a dynamic block would, at first use).
__attribute__((tls_model("initial-exec"))) thread_local void* new_caller = nullptr;

// True for the one allocation that must fail; `caller` asked for it.
bool fail_this_one(void* caller) noexcept {
  if (!armed.load(std::memory_order_relaxed)) return false;
  if (seen.fetch_add(1, std::memory_order_relaxed) + 1 != fail_at.load(std::memory_order_relaxed)) return false;
  failed_caller.store(new_caller != nullptr ? new_caller : caller);
  return true;
}

// Marks the thread as inside an operator new for its lifetime.
class InsideNew {
 public:
  explicit InsideNew(void* caller) noexcept : outer_(new_caller) {
    if (outer_ == nullptr) new_caller = caller;
  }
  ~InsideNew() { new_caller = outer_; }
  InsideNew(const InsideNew&) = delete;
  InsideNew& operator=(const InsideNew&) = delete;

 private:
  void* outer_;
};

template <class Function>
Function next(const char* name) noexcept {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using Malloc = void* (*)(std::size_t);
using Free = void (*)(void*);
using Calloc = void* (*)(std::size_t, std::size_t);
using Realloc = void* (*)(void*, std::size_t);
using Memalign = void* (*)(std::size_t, std::size_t);
using PosixMemalign = int (*)(void**, std::size_t, std::size_t);
using New = void* (*)(std::size_t);
using NewAligned = void* (*)(std::size_t, std::align_val_t);

// dlsym may itself ask for memory (calloc) before the real calloc is known:
// such early requests are served from this block and never freed.
alignas(std::max_align_t) char bootstrap[4096];
std::size_t bootstrap_used = 0;
bool resolving = false;

void* from_bootstrap(std::size_t size) noexcept {
  size = (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  if (bootstrap_used + size > sizeof bootstrap) return nullptr;
  void* block = bootstrap + bootstrap_used;
  bootstrap_used += size;
  return block;
}

struct Next {
  Malloc malloc;
  Free free;
  Calloc calloc;
  Realloc realloc;
  Memalign memalign;
  Memalign aligned_alloc;
  PosixMemalign posix_memalign;
  New new_single;
  New new_array;
  NewAligned new_single_aligned;
  NewAligned new_array_aligned;
};

const Next& real() noexcept {
  static const Next functions = [] {
    resolving = true;
    Next found{
        next<Malloc>("malloc"),
        next<Free>("free"),
        next<Calloc>("calloc"),
        next<Realloc>("realloc"),
        next<Memalign>("memalign"),
        next<Memalign>("aligned_alloc"),
        next<PosixMemalign>("posix_memalign"),
        next<New>("_Znwm"),
        next<New>("_Znam"),
        next<NewAligned>("_ZnwmSt11align_val_t"),
        next<NewAligned>("_ZnamSt11align_val_t"),
    };
    resolving = false;
    return found;
  }();
  return functions;
}

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void failing_malloc_arm(long k) {
  seen.store(0);
  fail_at.store(k);
  armed.store(true);
}

__attribute__((visibility("default"))) long failing_malloc_disarm() {
  armed.store(false);
  return seen.load();
}

__attribute__((visibility("default"))) void failing_malloc_failed_in(char* name, std::size_t size) {
  Dl_info found{};
  const void* caller = failed_caller.exchange(nullptr);
  const bool known = caller != nullptr && dladdr(caller, &found) != 0 && found.dli_fname != nullptr;
  const char* file = known ? found.dli_fname : "";
  std::strncpy(name, file, size - 1);
  name[size - 1] = '\0';
}

__attribute__((visibility("default"))) void* malloc(std::size_t size) {
  if (resolving) return from_bootstrap(size);
  if (fail_this_one(__builtin_return_address(0))) {
    errno = ENOMEM;
    return nullptr;
  }
  return real().malloc(size);
}

__attribute__((visibility("default"))) void* calloc(std::size_t count, std::size_t size) {
  if (resolving) return from_bootstrap(count * size);  // zeroed: static storage, never reused
  if (fail_this_one(__builtin_return_address(0))) {
    errno = ENOMEM;
    return nullptr;
  }
  return real().calloc(count, size);
}

// A bootstrap block must never reach the real free.
__attribute__((visibility("default"))) void free(void* block) {
  if (block >= static_cast<void*>(bootstrap) && block < static_cast<void*>(bootstrap + sizeof bootstrap)) return;
  real().free(block);
}

__attribute__((visibility("default"))) void* realloc(void* block, std::size_t size) {
  if (fail_this_one(__builtin_return_address(0))) {
    errno = ENOMEM;
    return nullptr;
  }
  return real().realloc(block, size);
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t size) {
  if (fail_this_one(__builtin_return_address(0))) {
    errno = ENOMEM;
    return nullptr;
  }
  return real().memalign(alignment, size);
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t size) {
  if (fail_this_one(__builtin_return_address(0))) {
    errno = ENOMEM;
    return nullptr;
  }
  return real().aligned_alloc(alignment, size);
}

__attribute__((visibility("default"))) int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (fail_this_one(__builtin_return_address(0))) return ENOMEM;
  return real().posix_memalign(out, alignment, size);
}

}  // extern "C"

__attribute__((visibility("default"))) void* operator new(std::size_t size) {
  void* const caller = __builtin_return_address(0);
  if (fail_this_one(caller)) out_of_memory();
  const InsideNew inside(caller);
  return real().new_single(size);
}

__attribute__((visibility("default"))) void* operator new[](std::size_t size) {
  void* const caller = __builtin_return_address(0);
  if (fail_this_one(caller)) out_of_memory();
  const InsideNew inside(caller);
  return real().new_array(size);
}

__attribute__((visibility("default"))) void* operator new(std::size_t size, std::align_val_t alignment) {
  void* const caller = __builtin_return_address(0);
  if (fail_this_one(caller)) out_of_memory();
  const InsideNew inside(caller);
  return real().new_single_aligned(size, alignment);
}

__attribute__((visibility("default"))) void* operator new[](std::size_t size, std::align_val_t alignment) {
  void* const caller = __builtin_return_address(0);
  if (fail_this_one(caller)) out_of_memory();
  const InsideNew inside(caller);
  return real().new_array_aligned(size, alignment);
}
