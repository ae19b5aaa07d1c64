// Whether a test may lower the process's address-space limit: the sanitizers' shadow memory
// needs far more room than such a limit leaves, so their builds go without those cases (gcc
// names them with macros, clang with __has_feature). Windows has no such limit.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRIMTANK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BRIMTANK_SANITIZED 1
#endif
#endif
#if !defined(_WIN32) && !defined(BRIMTANK_SANITIZED)
#define BRIMTANK_LIMIT_ADDRESS_SPACE 1
#include <sys/resource.h>
#endif
