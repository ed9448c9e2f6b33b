#pragma once
// Shared machinery of the platform layer (not for program code).
#include <memory>

#include "platform/types.h"
#include "sim/module.h"

namespace plat::detail {

// The module the platform runs on; the process ends with a message when none is attached.
sim::Module& module();
bool attached();

// Kernel objects behind 32-bit handles: files, searches, threads, mutexes, mappings, stores.
struct Object {
  virtual ~Object() = default;
};
Handle addObject(std::shared_ptr<Object> object);
std::shared_ptr<Object> object(Handle handle);
template <class T>
std::shared_ptr<T> objectAs(Handle handle) {
  return std::dynamic_pointer_cast<T>(object(handle));
}
bool removeObject(Handle handle);

}  // namespace plat::detail
