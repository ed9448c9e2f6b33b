// Handles, the last error, and the attachment of the platform to a virtual module.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/host.h"
#include "platform/internal.h"
#include "platform/types.h"
#include "platform/ui/frontend.h"

namespace plat {

namespace detail {
void startKernel(sim::Module* module);   // kernel.cpp
void stopKernel();
void startThreads(sim::Module* module);  // threads.cpp
}  // namespace detail

namespace {
thread_local uint32_t lastError = 0;
sim::Module* current = nullptr;

std::mutex tableLock;
std::map<Handle, std::shared_ptr<detail::Object>>& table() {
  static std::map<Handle, std::shared_ptr<detail::Object>> t;
  return t;
}
Handle nextHandle = 0x100;
}  // namespace

uint32_t getLastError() { return lastError; }
void setLastError(uint32_t code) { lastError = code; }

bool closeHandle(Handle h) {
  if (detail::removeObject(h)) return true;
  setLastError(ERROR_INVALID_HANDLE);
  return false;
}

namespace detail {

sim::Module& module() {
  if (!current) {
    std::fprintf(stderr, "platform: no virtual module attached\n");
    std::abort();
  }
  return *current;
}

bool attached() { return current != nullptr; }

Handle addObject(std::shared_ptr<Object> object) {
  std::lock_guard<std::mutex> g(tableLock);
  Handle h = nextHandle;
  nextHandle += 4;
  table()[h] = std::move(object);
  return h;
}

std::shared_ptr<Object> object(Handle handle) {
  std::lock_guard<std::mutex> g(tableLock);
  auto it = table().find(handle);
  return it == table().end() ? nullptr : it->second;
}

bool removeObject(Handle handle) {
  std::shared_ptr<Object> keep;  // destroyed outside the lock
  std::lock_guard<std::mutex> g(tableLock);
  auto it = table().find(handle);
  if (it == table().end()) return false;
  keep = std::move(it->second);
  table().erase(it);
  return true;
}

}  // namespace detail

bool attach(sim::Module* module, const HostOptions& options, std::string* error) {
  std::unique_ptr<ui::FrontEnd> frontEnd;
  if (options.ui == "script") {
    frontEnd = ui::makeScriptFrontEnd(options.uiScript, options.uiLog, error);
    if (!frontEnd) return false;
  } else if (options.ui == "text") {
    frontEnd = ui::makeTextFrontEnd();
  } else {
    *error = "unknown front-end \"" + options.ui + "\" (text or script)";
    return false;
  }
  current = module;
  ui::setFrontEnd(std::move(frontEnd));
  detail::startKernel(module);
  detail::startThreads(module);
  return true;
}

void detach() {
  detail::stopKernel();
  ui::setFrontEnd(nullptr);
  {
    std::map<Handle, std::shared_ptr<detail::Object>> old;
    {
      std::lock_guard<std::mutex> g(tableLock);
      old.swap(table());
    }
  }
  current = nullptr;
}

}  // namespace plat
