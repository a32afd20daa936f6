// KRP_ASSERT: checks an invariant of the library's own making.
//
// Assertions are for invariants only: a malformed caller argument, file or
// request block is an input and gets a result code, never an assertion.
//
// Active when NDEBUG is not defined (debug builds) or when KRP_CHECKED is
// defined (the sanitizer builds define it); otherwise the condition is
// type-checked but never evaluated, so it must have no side effects. A
// broken invariant logs "krp_assert <file> line <n>: invariant broken: <cond>"
// through KstLogPrintf, prints the same line on standard error, and aborts:
// going on would act on state the code has stopped understanding.
#ifndef KRP_PLATFORM_KRP_ASSERT_H
#define KRP_PLATFORM_KRP_ASSERT_H

#if !defined(NDEBUG) || defined(KRP_CHECKED)
#define KRP_ASSERT_ACTIVE 1
#else
#define KRP_ASSERT_ACTIVE 0
#endif

// Logs, prints and aborts (see above). Not for direct use.
[[noreturn]] void KrpAssertFailed(const char *file, int line, const char *condition);

#if KRP_ASSERT_ACTIVE
#define KRP_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : KrpAssertFailed(__FILE__, __LINE__, #cond))
#else
#define KRP_ASSERT(cond) static_cast<void>(sizeof(!(cond)))
#endif

#endif  // KRP_PLATFORM_KRP_ASSERT_H
