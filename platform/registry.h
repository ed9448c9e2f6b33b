#pragma once
// The registry under HKEY_LOCAL_MACHINE. Results are error codes (ERROR_SUCCESS = 0).
#include <cstdint>

namespace plat {

using HKey = uint32_t;
constexpr HKey HKEY_LOCAL_MACHINE = 0x80000002u;

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;

constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;
constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

int32_t regOpenKeyEx(HKey key, const char16_t* subKey, uint32_t options, uint32_t access,
                     HKey* result);
int32_t regCreateKeyEx(HKey key, const char16_t* subKey, HKey* result, uint32_t* disposition);
// size: in = buffer bytes, out = value bytes. A null data pointer asks for the size only.
int32_t regQueryValueEx(HKey key, const char16_t* name, uint32_t* type, void* data,
                        uint32_t* size);
int32_t regSetValueEx(HKey key, const char16_t* name, uint32_t type, const void* data,
                      uint32_t size);
int32_t regDeleteValue(HKey key, const char16_t* name);
int32_t regDeleteKey(HKey key, const char16_t* subKey);
int32_t regCloseKey(HKey key);
// Makes the registry persistent (survives a restart). Nonzero on failure.
int32_t regFlushKey(HKey key);

}  // namespace plat
