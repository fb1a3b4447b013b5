#pragma once

#if defined(__SANITIZE_THREAD__)
#define EBBCAST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define EBBCAST_THREAD_SANITIZER 1
#endif
#endif

#if defined(EBBCAST_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace ebbcast::HappensBefore {

// Hand-overs between threads that ThreadSanitizer cannot see by itself, because the synchronisation happens
// inside a library that is not built with it (Qt's thread pool and futures wait on futexes of their own).
// `release(token)` on one thread, then `acquire(token)` on another once the library has handed over, make
// everything the first thread did before visible to the second. Both do nothing in other builds.
inline void release([[maybe_unused]] void* token)
{
#if defined(EBBCAST_THREAD_SANITIZER)
    __tsan_release(token);
#endif
}

inline void acquire([[maybe_unused]] void* token)
{
#if defined(EBBCAST_THREAD_SANITIZER)
    __tsan_acquire(token);
#endif
}

} // namespace ebbcast::HappensBefore
