#pragma once
// Threads, time and named synchronisation objects.
#include <cstdint>

#include "platform/types.h"

namespace plat {

constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_ABANDONED = 0x80;
constexpr uint32_t WAIT_TIMEOUT = 0x102;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;

using ThreadProc = uint32_t (*)(void* arg);

// Starts a thread running proc(arg). The handle may be closed at once; the thread goes on.
Handle createThread(ThreadProc proc, void* arg, uint32_t* threadId);
uint32_t currentThreadId();
// Thread priorities 0 (highest) .. 255; the default is 251. Recorded and readable.
int getThreadPriority(Handle thread);
bool setThreadPriority(Handle thread, int priority);
Handle currentThread();  // pseudo handle of the calling thread

// Milliseconds since the module started. Comes from the module's clock, which tests may
// run as a virtual clock: then sleeping takes no real time.
uint32_t getTickCount();
void sleep(uint32_t milliseconds);

// A mutex that every process on the same module sees under the same name, and nothing of any
// other module. Recursive for its owner thread. Returns a handle, or 0 on failure; the last error
// is ERROR_ALREADY_EXISTS when the name existed already.
Handle createMutex(const char16_t* name, bool initiallyOwned);
bool releaseMutex(Handle mutex);
// WAIT_OBJECT_0, WAIT_ABANDONED (the previous owner ended without releasing it; the caller now
// owns it), WAIT_TIMEOUT or WAIT_FAILED.
uint32_t waitForSingleObject(Handle object, uint32_t milliseconds);

// Named shared memory, seen by every process on the same module until the module restarts.
// Returns 0 on failure; ERROR_ALREADY_EXISTS as for createMutex.
Handle createFileMapping(const char16_t* name, uint32_t size);
void* mapViewOfFile(Handle mapping);
bool unmapViewOfFile(void* view);

}  // namespace plat
