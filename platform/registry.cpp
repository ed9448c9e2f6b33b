// The registry, kept by the module (see sim/registry_store.h).
#include "platform/registry.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "platform/internal.h"
#include "platform/types.h"

namespace plat {

namespace {

std::mutex keyLock;
std::map<HKey, std::u16string>& keys() {
  static std::map<HKey, std::u16string> k;
  return k;
}
HKey nextKey = 0x1000;

bool pathOf(HKey key, std::u16string* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  std::lock_guard<std::mutex> g(keyLock);
  auto it = keys().find(key);
  if (it == keys().end()) return false;
  *path = it->second;
  return true;
}

std::u16string join(const std::u16string& base, const char16_t* sub) {
  std::u16string s = sub ? sub : u"";
  if (base.empty()) return s;
  if (s.empty()) return base;
  return base + u"\\" + s;
}

HKey newKey(const std::u16string& path) {
  std::lock_guard<std::mutex> g(keyLock);
  HKey h = nextKey;
  nextKey += 4;
  keys()[h] = path;
  return h;
}

}  // namespace

int32_t regOpenKeyEx(HKey key, const char16_t* subKey, uint32_t options, uint32_t access,
                     HKey* result) {
  (void)options;
  (void)access;
  std::u16string base;
  if (!result) return ERROR_INVALID_PARAMETER;
  if (!pathOf(key, &base)) return ERROR_INVALID_HANDLE;
  std::u16string path = join(base, subKey);
  if (!detail::module().registry().keyExists(path)) return ERROR_FILE_NOT_FOUND;
  *result = newKey(path);
  return ERROR_SUCCESS;
}

int32_t regCreateKeyEx(HKey key, const char16_t* subKey, HKey* result, uint32_t* disposition) {
  std::u16string base;
  if (!result) return ERROR_INVALID_PARAMETER;
  if (!pathOf(key, &base)) return ERROR_INVALID_HANDLE;
  std::u16string path = join(base, subKey);
  bool created = false;
  if (!detail::module().registry().createKey(path, &created)) return ERROR_WRITE_FAULT;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = newKey(path);
  return ERROR_SUCCESS;
}

int32_t regQueryValueEx(HKey key, const char16_t* name, uint32_t* type, void* data,
                        uint32_t* size) {
  std::u16string path;
  if (!pathOf(key, &path)) return ERROR_INVALID_HANDLE;
  auto v = detail::module().registry().query(path, name ? name : u"");
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  uint32_t n = static_cast<uint32_t>(v->data.size());
  if (!data) {
    if (size) *size = n;
    return ERROR_SUCCESS;
  }
  if (!size) return ERROR_INVALID_PARAMETER;
  if (*size < n) {
    *size = n;
    return ERROR_MORE_DATA;
  }
  if (n) std::copy(v->data.begin(), v->data.end(), static_cast<uint8_t*>(data));
  *size = n;
  return ERROR_SUCCESS;
}

int32_t regSetValueEx(HKey key, const char16_t* name, uint32_t type, const void* data,
                      uint32_t size) {
  std::u16string path;
  if (!pathOf(key, &path)) return ERROR_INVALID_HANDLE;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  sim::RegValue v;
  v.type = type;
  if (size) v.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  return detail::module().registry().set(path, name ? name : u"", v) ? ERROR_SUCCESS
                                                                      : ERROR_WRITE_FAULT;
}

int32_t regDeleteValue(HKey key, const char16_t* name) {
  std::u16string path;
  if (!pathOf(key, &path)) return ERROR_INVALID_HANDLE;
  return detail::module().registry().deleteValue(path, name ? name : u"") ? ERROR_SUCCESS
                                                                           : ERROR_FILE_NOT_FOUND;
}

int32_t regDeleteKey(HKey key, const char16_t* subKey) {
  std::u16string base;
  if (!pathOf(key, &base)) return ERROR_INVALID_HANDLE;
  return detail::module().registry().deleteKey(join(base, subKey)) ? ERROR_SUCCESS
                                                                    : ERROR_FILE_NOT_FOUND;
}

int32_t regCloseKey(HKey key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> g(keyLock);
  return keys().erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

int32_t regFlushKey(HKey key) {
  std::u16string path;
  if (!pathOf(key, &path)) return ERROR_INVALID_HANDLE;
  sim::Module& m = detail::module();
  if (!m.registry().flush()) return ERROR_WRITE_FAULT;
  m.events().record({{"event", "registry-flush"}});
  return ERROR_SUCCESS;
}

}  // namespace plat
