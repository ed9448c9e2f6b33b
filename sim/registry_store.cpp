#include "sim/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace sim {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    uint32_t c;
    size_t n;
    if (b < 0x80) { c = b; n = 1; }
    else if ((b >> 5) == 6) { c = b & 0x1F; n = 2; }
    else if ((b >> 4) == 14) { c = b & 0x0F; n = 3; }
    else { c = b & 0x07; n = 4; }
    if (i + n > s.size()) { out += u'\uFFFD'; break; }
    for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Normalised key path: no leading, trailing or doubled backslashes.
std::string keyPath(const std::u16string& key) {
  std::string in = utf8(key), out;
  for (char c : in) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

json encode(const RegValue& v) {
  json j;
  j["type"] = v.type;
  const auto& d = v.data;
  if ((v.type == 1 || v.type == 2) && d.size() >= 2 && d.size() % 2 == 0 && d[d.size() - 1] == 0 &&
      d[d.size() - 2] == 0) {
    std::u16string s;
    bool clean = true;
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
      char16_t c = static_cast<char16_t>(d[i] | d[i + 1] << 8);
      if (c == 0) clean = false;
      s += c;
    }
    if (clean) {
      j["text"] = utf8(s);
      return j;
    }
  }
  if (v.type == 4 && d.size() == 4) {
    j["dword"] = static_cast<uint32_t>(d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24);
    return j;
  }
  std::string hex;
  char b[3];
  for (uint8_t x : d) {
    std::snprintf(b, sizeof b, "%02x", x);
    hex += b;
  }
  j["hex"] = hex;
  return j;
}

RegValue decode(const json& j) {
  RegValue v;
  v.type = j.value("type", 0u);
  if (j.contains("text")) {
    std::u16string s = utf16(j["text"].get<std::string>());
    for (char16_t c : s) {
      v.data.push_back(static_cast<uint8_t>(c & 0xFF));
      v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
  } else if (j.contains("dword")) {
    uint32_t x = j["dword"].get<uint32_t>();
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(x >> (8 * i)));
  } else if (j.contains("hex")) {
    std::string h = j["hex"].get<std::string>();
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
      v.data.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    }
  }
  return v;
}

json readJson(const fs::path& file) {
  std::ifstream f(file);
  if (!f) return json{{"keys", json::object()}};
  try {
    json j = json::parse(f);
    if (!j.contains("keys") || !j["keys"].is_object()) j["keys"] = json::object();
    return j;
  } catch (const json::exception&) {
    return json{{"keys", json::object()}};
  }
}

bool writeJson(const fs::path& file, const json& j) {
  fs::path tmp = file;
  tmp += ".new";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << j.dump(2) << "\n";
    f.flush();
    if (!f) return false;
  }
  int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  std::error_code ec;
  fs::rename(tmp, file, ec);
  return !ec;
}

// Finds the key entry whose name matches without regard to case.
json::iterator findKey(json& keys, const std::string& path) {
  std::string want = lower(path);
  for (auto it = keys.begin(); it != keys.end(); ++it) {
    if (lower(it.key()) == want) return it;
  }
  return keys.end();
}

json::iterator findValue(json& values, const std::string& name) {
  std::string want = lower(name);
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (lower(it.key()) == want) return it;
  }
  return values.end();
}

// Holds the registry's lock file while the live registry is read and rewritten.
class Locked {
 public:
  explicit Locked(const fs::path& dir) {
    fd_ = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~Locked() {
    if (fd_ >= 0) ::close(fd_);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  int fd_;
};

}  // namespace

void RegistryStore::open(const fs::path& dir) { dir_ = dir; }

bool RegistryStore::keyExists(const std::u16string& key) const {
  std::string path = keyPath(key);
  if (path.empty()) return true;
  Locked lock(dir_);
  json j = readJson(liveFile());
  json& keys = j["keys"];
  // A key exists when it or any key below it is recorded.
  std::string want = lower(path);
  for (auto it = keys.begin(); it != keys.end(); ++it) {
    std::string k = lower(it.key());
    if (k == want || k.rfind(want + "\\", 0) == 0) return true;
  }
  return false;
}

bool RegistryStore::createKey(const std::u16string& key, bool* created) {
  std::string path = keyPath(key);
  Locked lock(dir_);
  json j = readJson(liveFile());
  json& keys = j["keys"];
  bool isNew = false;
  if (!path.empty()) {
    // Record every level so that each parent exists on its own.
    size_t pos = 0;
    while (true) {
      size_t next = path.find('\\', pos);
      std::string part = path.substr(0, next);
      if (findKey(keys, part) == keys.end()) {
        keys[part] = json::object();
        isNew = true;
      }
      if (next == std::string::npos) break;
      pos = next + 1;
    }
  }
  if (created) *created = isNew;
  return !isNew || writeJson(liveFile(), j);
}

bool RegistryStore::deleteKey(const std::u16string& key) {
  std::string want = lower(keyPath(key));
  if (want.empty()) return false;
  Locked lock(dir_);
  json j = readJson(liveFile());
  json& keys = j["keys"];
  bool found = false;
  for (auto it = keys.begin(); it != keys.end();) {
    std::string k = lower(it.key());
    if (k == want || k.rfind(want + "\\", 0) == 0) {
      it = keys.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found && writeJson(liveFile(), j);
}

std::optional<RegValue> RegistryStore::query(const std::u16string& key,
                                             const std::u16string& name) const {
  Locked lock(dir_);
  json j = readJson(liveFile());
  json& keys = j["keys"];
  auto k = findKey(keys, keyPath(key));
  if (k == keys.end()) return std::nullopt;
  auto v = findValue(*k, utf8(name));
  if (v == k->end()) return std::nullopt;
  return decode(*v);
}

bool RegistryStore::set(const std::u16string& key, const std::u16string& name,
                        const RegValue& value) {
  Locked lock(dir_);
  json j = readJson(liveFile());
  json& keys = j["keys"];
  auto k = findKey(keys, keyPath(key));
  if (k == keys.end()) return false;
  auto v = findValue(*k, utf8(name));
  if (v != k->end()) k->erase(v);
  (*k)[utf8(name)] = encode(value);
  return writeJson(liveFile(), j);
}

bool RegistryStore::deleteValue(const std::u16string& key, const std::u16string& name) {
  Locked lock(dir_);
  json j = readJson(liveFile());
  json& keys = j["keys"];
  auto k = findKey(keys, keyPath(key));
  if (k == keys.end()) return false;
  auto v = findValue(*k, utf8(name));
  if (v == k->end()) return false;
  k->erase(v);
  return writeJson(liveFile(), j);
}

bool RegistryStore::flush() {
  Locked lock(dir_);
  return writeJson(persistentFile(), readJson(liveFile()));
}

void RegistryStore::clearPersistent() {
  Locked lock(dir_);
  std::error_code ec;
  fs::remove(persistentFile(), ec);
}

void RegistryStore::boot() {
  Locked lock(dir_);
  std::error_code ec;
  fs::path from = fs::exists(persistentFile(), ec) ? persistentFile() : defaultFile();
  writeJson(liveFile(), readJson(from));
}

bool RegistryStore::writeDefault(const fs::path& dir, uint32_t fsBase, uint32_t fsLength,
                                 std::string* error) {
  auto text = [](const char* s) { return json{{"type", 1}, {"text", s}}; };
  auto dword = [](uint32_t v) { return json{{"type", 4}, {"dword", v}}; };
  json keys = json::object();
  keys["Drivers"] = json::object();
  keys["Drivers\\BuiltIn"] = json::object();
  keys["Drivers\\BuiltIn\\StrataFMD"] = {
      {"Dll", text("strataflash.dll")}, {"Prefix", text("DSK")},
      {"Profile", text("FlashDisk")},   {"IClass", text("{A4E7EDDA-E575-4252-9D6B-4195D48BB865}")},
      {"Order", dword(2)},              {"MemBase", dword(fsBase)},
      {"MemLen", dword(fsLength)},      {"BlockSize", dword(0x40000)},
      {"SectorSize", dword(0x200)}};
  keys["System"] = json::object();
  keys["System\\StorageManager"] = {{"PNPUnloadDelay", dword(5000)}};
  keys["System\\StorageManager\\Profiles"] = json::object();
  keys["System\\StorageManager\\Profiles\\FlashDisk"] = {
      {"Name", text("Internal Flash")}, {"Folder", text("FlashDisk")},
      {"DefaultFileSystem", text("FATFS")}, {"AutoMount", dword(1)}};
  keys["System\\StorageManager\\Profiles\\FlashDisk\\FATFS"] = {{"FormatTfat", dword(1)}};
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!writeJson(dir / "default.json", json{{"keys", keys}})) {
    *error = (dir / "default.json").string() + ": cannot write";
    return false;
  }
  return true;
}

}  // namespace sim
