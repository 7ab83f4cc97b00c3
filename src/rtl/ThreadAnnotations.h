// Attributes that let clang's thread-safety analysis (-Wthread-safety)
// check, at compile time, which lock guards which field and which locks a
// function expects held or free. Other compilers see nothing.
//
// At a field: GUARDED_BY(mu) (the field itself), PT_GUARDED_BY(mu) (what a
// pointer field points at). At a function: REQUIRES(mu) (the caller holds
// mu), EXCLUDES(mu) (the caller does not: the function takes it),
// ACQUIRE/RELEASE (the function takes or gives up mu). At a class:
// CAPABILITY (a lock type), SCOPED_CAPABILITY (a type whose object holds a
// lock from construction to destruction). The _SHARED forms are the
// reader's side of a reader-writer lock.
//
// NO_THREAD_SAFETY_ANALYSIS turns the check off for one function; a use
// says in a comment why the function is safe all the same.
#pragma once

#if defined(__clang__)
#define TESSALIN_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TESSALIN_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(name) TESSALIN_THREAD_ATTRIBUTE(capability(name))
#define SCOPED_CAPABILITY TESSALIN_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) TESSALIN_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) TESSALIN_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TESSALIN_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TESSALIN_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TESSALIN_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TESSALIN_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) TESSALIN_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TESSALIN_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TESSALIN_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TESSALIN_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) TESSALIN_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TESSALIN_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TESSALIN_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TESSALIN_THREAD_ATTRIBUTE(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) TESSALIN_THREAD_ATTRIBUTE(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) TESSALIN_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TESSALIN_THREAD_ATTRIBUTE(no_thread_safety_analysis)
