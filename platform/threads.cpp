// Threads, time, and named objects shared by every process on the same module.
//
// A named object lives in a file of the running boot's object folder, so that it is seen by
// every process on the module until the module restarts, and by nothing of another module.
// A mutex is a robust, recursive, process-shared mutex in such a file: when its owner ends
// without releasing it, the next waiter is told that it was abandoned.
#include "platform/threads.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "platform/internal.h"
#include "platform/text.h"

namespace plat {

namespace detail {
extern uint32_t defaultMode;
extern thread_local uint32_t threadMode;
}  // namespace detail

namespace {

constexpr Handle CURRENT_THREAD = 0xFFFFFFFEu;
constexpr int DEFAULT_PRIORITY = 251;

std::atomic<uint32_t> nextThreadId{1};
thread_local uint32_t threadId = 0;

std::mutex priorityLock;
std::map<uint32_t, int>& priorities() {
  static std::map<uint32_t, int> p;
  return p;
}

struct ThreadObject : detail::Object {
  uint32_t id;
};

uint32_t ensureThreadId() {
  if (threadId == 0) threadId = nextThreadId++;
  return threadId;
}

// File name for a named object: its name with unsafe characters escaped.
std::string objectFile(const char* kind, const char16_t* name) {
  std::string s = toUtf8(name), out = kind;
  out += '-';
  static const char hex[] = "0123456789abcdef";
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return (detail::module().objectDir() / out).string();
}

// Shared file of an object: created and initialised by the first process, opened by the rest.
// Answers the mapping, or null.
void* openShared(const std::string& path, size_t size, bool* created,
                 void (*initialise)(void*)) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  *created = fd >= 0;
  if (fd < 0) {
    if (errno != EEXIST) return nullptr;
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
  }
  // The first page word says whether the creator has finished initialising the object.
  size_t total = size + 64;
  if (*created && ::ftruncate(fd, static_cast<off_t>(total)) != 0) {
    ::close(fd);
    return nullptr;
  }
  if (!*created) {
    // Wait until the creator has sized the file.
    for (int i = 0; i < 1000; ++i) {
      struct stat st{};
      if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= total) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void* p = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) return nullptr;
  auto* ready = static_cast<std::atomic<uint32_t>*>(p);
  void* object = static_cast<uint8_t*>(p) + 64;
  if (*created) {
    if (initialise) initialise(object);
    ready->store(1, std::memory_order_release);
  } else {
    for (int i = 0; i < 5000 && ready->load(std::memory_order_acquire) != 1; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return object;
}

void initialiseMutex(void* p) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(static_cast<pthread_mutex_t*>(p), &a);
  pthread_mutexattr_destroy(&a);
}

struct MutexObject : detail::Object {
  pthread_mutex_t* mutex = nullptr;
  ~MutexObject() override {
    if (mutex) ::munmap(reinterpret_cast<uint8_t*>(mutex) - 64, sizeof(pthread_mutex_t) + 64);
  }
};

struct MappingObject : detail::Object {
  void* view = nullptr;
  uint32_t size = 0;
  ~MappingObject() override {
    if (view) ::munmap(static_cast<uint8_t*>(view) - 64, size + 64);
  }
};

std::mutex viewLock;
std::map<void*, std::shared_ptr<MappingObject>>& views() {
  static std::map<void*, std::shared_ptr<MappingObject>> v;
  return v;
}

}  // namespace

namespace detail {
void startThreads(sim::Module* module) { (void)module; ensureThreadId(); }
}  // namespace detail

Handle createThread(ThreadProc proc, void* arg, uint32_t* id) {
  auto object = std::make_shared<ThreadObject>();
  object->id = nextThreadId++;
  uint32_t mode = detail::threadMode;
  uint32_t newId = object->id;
  {
    std::lock_guard<std::mutex> g(priorityLock);
    priorities()[newId] = DEFAULT_PRIORITY;
  }
  std::thread([proc, arg, newId, mode] {
    threadId = newId;
    detail::threadMode = mode;
    proc(arg);
  }).detach();
  if (id) *id = newId;
  return detail::addObject(object);
}

uint32_t currentThreadId() { return ensureThreadId(); }
Handle currentThread() { return CURRENT_THREAD; }

static uint32_t idOf(Handle thread) {
  if (thread == CURRENT_THREAD) return ensureThreadId();
  auto t = detail::objectAs<ThreadObject>(thread);
  return t ? t->id : 0;
}

int getThreadPriority(Handle thread) {
  uint32_t id = idOf(thread);
  if (!id) {
    setLastError(ERROR_INVALID_HANDLE);
    return 0x7FFFFFFF;
  }
  std::lock_guard<std::mutex> g(priorityLock);
  auto it = priorities().find(id);
  return it == priorities().end() ? DEFAULT_PRIORITY : it->second;
}

bool setThreadPriority(Handle thread, int priority) {
  uint32_t id = idOf(thread);
  if (!id || priority < 0 || priority > 255) {
    setLastError(id ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return false;
  }
  std::lock_guard<std::mutex> g(priorityLock);
  priorities()[id] = priority;
  return true;
}

uint32_t getTickCount() { return detail::module().clock().tickMs(); }
void sleep(uint32_t milliseconds) { detail::module().clock().sleepMs(milliseconds); }

Handle createMutex(const char16_t* name, bool initiallyOwned) {
  if (!name || !*name) {
    // Unnamed mutexes are not used by the program; keep them process-local all the same.
    setLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool created = false;
  void* p = openShared(objectFile("mutex", name), sizeof(pthread_mutex_t), &created, initialiseMutex);
  if (!p) {
    setLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  auto object = std::make_shared<MutexObject>();
  object->mutex = static_cast<pthread_mutex_t*>(p);
  Handle h = detail::addObject(object);
  if (initiallyOwned) waitForSingleObject(h, INFINITE);
  setLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return h;
}

bool releaseMutex(Handle mutex) {
  auto m = detail::objectAs<MutexObject>(mutex);
  if (!m) {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (pthread_mutex_unlock(m->mutex) != 0) {
    setLastError(ERROR_ACCESS_DENIED);  // not the owner
    return false;
  }
  return true;
}

uint32_t waitForSingleObject(Handle object, uint32_t milliseconds) {
  auto m = detail::objectAs<MutexObject>(object);
  if (!m) {
    setLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  int rc;
  if (milliseconds == INFINITE) {
    rc = pthread_mutex_lock(m->mutex);
  } else if (milliseconds == 0) {
    rc = pthread_mutex_trylock(m->mutex);
    if (rc == EBUSY) rc = ETIMEDOUT;
  } else {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_timedlock(m->mutex, &deadline);
  }
  switch (rc) {
    case 0: return WAIT_OBJECT_0;
    case EOWNERDEAD:
      pthread_mutex_consistent(m->mutex);
      return WAIT_ABANDONED;
    case ETIMEDOUT: return WAIT_TIMEOUT;
    default:
      setLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
  }
}

Handle createFileMapping(const char16_t* name, uint32_t size) {
  if (!name || !*name || size == 0) {
    setLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool created = false;
  void* p = openShared(objectFile("shm", name), size, &created, nullptr);
  if (!p) {
    setLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  auto object = std::make_shared<MappingObject>();
  object->view = p;
  object->size = size;
  Handle h = detail::addObject(object);
  setLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return h;
}

void* mapViewOfFile(Handle mapping) {
  auto m = detail::objectAs<MappingObject>(mapping);
  if (!m) {
    setLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(viewLock);
  views()[m->view] = m;  // the view stays valid after the mapping handle is closed
  return m->view;
}

bool unmapViewOfFile(void* view) {
  std::lock_guard<std::mutex> g(viewLock);
  return views().erase(view) > 0;
}

}  // namespace plat
