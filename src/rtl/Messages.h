// Thread message queues and calls synchronised onto the main thread,
// portable and the same on every system.
//
// A thread gets a queue by calling EnsureThreadQueue() (the first peek, as a
// Windows thread does); from then on other threads may post to it by thread
// id. The main thread serves Synchronize() calls: a caller queues its call,
// the main thread's queue receives WM_NULL, and the loop runs the pending
// calls with CheckSynchronize(). Every function here is thread-safe.
#pragma once

#include <cstdint>
#include <functional>

namespace rtl {

using ThreadId = uint32_t;

constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_ENDSESSION = 0x0016;
constexpr uint32_t WM_USER = 0x0400;

struct TMessage {
  uint32_t Message = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// Small, stable number of the calling thread (never 0).
ThreadId CurrentThreadId() noexcept;
// The program's main thread: the thread that loaded the program, unless
// SetMainThread() named another (tests do).
ThreadId MainThreadId() noexcept;
void SetMainThread() noexcept;
bool IsMainThread() noexcept;

// Creates the calling thread's queue if it has none.
void EnsureThreadQueue();
// False when the thread has no queue (the message is dropped).
bool PostThreadMessage(ThreadId thread, uint32_t message, uintptr_t wparam, intptr_t lparam);
namespace detail {
// For thread objects: reserve an id before the thread starts, and adopt it
// as the first thing the new thread does, so ThreadID() is known at once.
ThreadId ReserveThreadId() noexcept;
void AdoptThreadId(ThreadId id) noexcept;
}  // namespace detail

// Waits for the next message of the calling thread's queue (creating the
// queue if needed). False when the message taken is WM_QUIT.
bool GetMessage(TMessage& msg);
// Takes (remove) or looks at the next message without waiting.
bool PeekMessage(TMessage& msg, bool remove);
// Waits until the calling thread's queue holds a message or timeout_ms has
// passed (-1: no limit). True when a message is waiting.
bool WaitMessage(int timeout_ms);

// Runs call on the main thread and waits for it; an exception it raises is
// raised again in the caller. On the main thread the call runs at once.
void Synchronize(const std::function<void()>& call);
// Main thread: runs the calls queued by Synchronize. With timeout_ms > 0 it
// first waits up to that long for one to arrive. True when any ran.
bool CheckSynchronize(int timeout_ms = 0);
// Wakes anything waiting in CheckSynchronize on the main thread (used when
// a thread ends, so that a waiting WaitFor on the main thread looks again).
void WakeMainThread();

}  // namespace rtl
