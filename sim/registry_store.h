#pragma once
// The module's registry. The live registry of the running boot is kept in a file so that every
// process on the module sees it; a flush copies it to the persistent registry, which is what the
// next boot starts from (or the default registry, after the flash registry was cleared).
// Key paths use backslashes; key and value names compare without regard to ASCII case.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct RegValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

class RegistryStore {
 public:
  void open(const std::filesystem::path& dir);
  bool keyExists(const std::u16string& key) const;
  // Creates the key and its parents; answers whether it was new.
  bool createKey(const std::u16string& key, bool* created);
  bool deleteKey(const std::u16string& key);
  std::optional<RegValue> query(const std::u16string& key, const std::u16string& name) const;
  bool set(const std::u16string& key, const std::u16string& name, const RegValue& value);
  bool deleteValue(const std::u16string& key, const std::u16string& name);
  // Live registry -> persistent registry (written to a new file, then renamed).
  bool flush();
  // Forgets the persistent registry: the next boot starts from the default registry.
  void clearPersistent();
  // At boot: the live registry becomes the persistent one, or the default one.
  void boot();

  std::filesystem::path defaultFile() const { return dir_ / "default.json"; }
  std::filesystem::path persistentFile() const { return dir_ / "persistent.json"; }
  std::filesystem::path liveFile() const { return dir_ / "live.json"; }
  // Writes the default registry of a new module.
  static bool writeDefault(const std::filesystem::path& dir, uint32_t fsBase, uint32_t fsLength,
                           std::string* error);

 private:
  std::filesystem::path dir_;
};

}  // namespace sim
