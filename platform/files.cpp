// Files of the module, kept in the module's file root on the host.
//
// Paths are backslash paths rooted at "\"; a path that does not start with "\" is taken from the
// root as well (the module has no drive letters and no current folder). Each component is looked
// up among the host folder's entries without regard to case; a new file or folder keeps the case
// it was given. Folders are walked component by component with openat and O_NOFOLLOW, so no
// input and no symbolic link planted in the root leads outside it: a symbolic link (or any other
// entry that is neither a file nor a folder) is never followed, never listed, and refused with
// ERROR_ACCESS_DENIED when named.
//
// Attributes: the Windows-style attributes live in the extended attribute
// "user.vazizodu.attributes" (u32, little-endian); a file whose host mode has no owner write bit
// reads as read-only as well, and clearing the attribute gives it that bit back. The creation
// time lives in "user.vazizodu.created" (FILETIME, u64 little-endian); without it the creation
// time is the modification time. On a host file system without extended attributes the
// read-only attribute of files goes into the host mode and the other attributes are not kept.
//
// Sharing is checked among the handles of this process.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/internal.h"
#include "platform/text.h"

namespace plat {

namespace {

constexpr char kAttributesName[] = "user.vazizodu.attributes";
constexpr char kCreatedName[] = "user.vazizodu.created";
// Attributes kept per entry (the directory bit comes from the entry's kind).
constexpr uint32_t kStoredAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                       FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr size_t kMaxName = 255;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

// A host file descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(-1); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

bool fail(uint32_t code) {
  setLastError(code);
  return false;
}

// Errors of host calls in terms of the module's error codes.
uint32_t errorOf(int err, uint32_t notFound = ERROR_FILE_NOT_FOUND) {
  switch (err) {
    case ENOENT: return notFound;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_ACCESS_DENIED;  // EACCES, EPERM, EROFS, ELOOP, EISDIR ...
  }
}

// ---------------------------------------------------------------------------------------------
// Paths

struct Path {
  std::vector<std::u16string> parts;  // empty: the root itself
  bool trailing = false;              // ended with a backslash
};

bool invalidInName(char16_t c, bool wildcards) {
  if (c < 0x20) return true;
  switch (c) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'|':
    case u'/':
      return true;
    case u'*':
    case u'?':
      return !wildcards;
    default:
      return false;
  }
}

bool validName(const std::u16string& name, bool wildcards) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (invalidInName(c, wildcards)) return false;
    // Only whole surrogate pairs: a lone half has no host name to stand for.
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// Splits and checks a path. wildcards: the last component may hold '*' and '?'.
bool parsePath(const char16_t* text, bool wildcards, Path* path) {
  if (text == nullptr) return fail(ERROR_INVALID_PARAMETER);
  size_t n = 0;
  while (text[n] != 0) {
    if (++n >= MAX_PATH) return fail(ERROR_FILENAME_EXCED_RANGE);  // never read further
  }
  if (n == 0) return fail(ERROR_PATH_NOT_FOUND);
  size_t i = text[0] == u'\\' ? 1 : 0;
  path->parts.clear();
  path->trailing = false;
  while (i < n) {
    size_t end = i;
    while (end < n && text[end] != u'\\') ++end;
    if (end == i) return fail(ERROR_INVALID_NAME);  // "\\" inside the path
    if (end - i > kMaxName) return fail(ERROR_FILENAME_EXCED_RANGE);
    path->parts.emplace_back(text + i, end - i);
    if (end == n - 1) path->trailing = true;  // one final backslash
    i = end + 1;
  }
  for (size_t k = 0; k < path->parts.size(); ++k) {
    const bool last = k + 1 == path->parts.size();
    if (!validName(path->parts[k], wildcards && last && !path->trailing))
      return fail(ERROR_INVALID_NAME);
  }
  return true;
}

// Host name of an entry as the module sees it; false for names no path can address.
bool moduleName(const char* host, std::u16string* name) {
  *name = fromUtf8(host);
  if (name->size() > kMaxName || *name == u"." || *name == u"..") return false;
  for (char16_t c : *name) {
    if (c == u'\\' || invalidInName(c, false) || c == u'*' || c == u'?') return false;
  }
  return true;
}

bool sameNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (wlower(a[i]) != wlower(b[i])) return false;
  }
  return true;
}

// Reads the names in a folder (without "." and ".."). The folder descriptor stays open.
bool listFolder(int dirFd, std::vector<std::string>* names) {
  const int dupFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dupFd < 0) return fail(errorOf(errno, ERROR_PATH_NOT_FOUND));
  DIR* dir = ::fdopendir(dupFd);
  if (dir == nullptr) {
    ::close(dupFd);
    return fail(errorOf(errno, ERROR_PATH_NOT_FOUND));
  }
  names->clear();
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names->emplace_back(e->d_name);
  }
  ::closedir(dir);
  return true;
}

// Finds the entry that a component names: the exact host name first, otherwise the first name
// in byte order that matches without regard to case. Answers false when there is none (errno
// style failures set the last error and answer false with *failed).
bool lookup(int dirFd, const std::u16string& name, std::string* hostName, struct stat* st,
            bool* failed) {
  *failed = false;
  const std::string exact = toUtf8(name);
  if (::fstatat(dirFd, exact.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
    *hostName = exact;
    return true;
  }
  if (errno != ENOENT) {
    if (errno == ENAMETOOLONG) return false;  // no host entry can have this name
    *failed = true;
    return fail(errorOf(errno));
  }
  std::vector<std::string> names;
  if (!listFolder(dirFd, &names)) {
    *failed = true;
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& candidate : names) {
    std::u16string wide;
    if (!moduleName(candidate.c_str(), &wide) || !sameNoCase(wide, name)) continue;
    if (::fstatat(dirFd, candidate.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    *hostName = candidate;
    return true;
  }
  return false;
}

// The module's file root. Opened before the lock of the open files is taken, so that no other
// part of the platform is called while it is held.
Fd openRoot() {
  const std::string root = detail::module().fileRoot().string();
  Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) setLastError(ERROR_PATH_NOT_FOUND);
  return fd;
}

// Opens the folder reached from the root through the first count components of the path.
Fd openFolder(int rootFd, const Path& path, size_t count) {
  Fd dir(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) setLastError(errorOf(errno));
  for (size_t k = 0; k < count && dir.valid(); ++k) {
    std::string host;
    struct stat st;
    bool failed = false;
    if (!lookup(dir.get(), path.parts[k], &host, &st, &failed)) {
      if (!failed) setLastError(ERROR_PATH_NOT_FOUND);
      return Fd();
    }
    if (!S_ISDIR(st.st_mode)) {
      setLastError(ERROR_PATH_NOT_FOUND);
      return Fd();
    }
    Fd next(::openat(dir.get(), host.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      // A link or anything else swapped in since the lookup is no folder.
      setLastError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
      return Fd();
    }
    dir = std::move(next);
  }
  return dir;
}

// What a path names: its folder, the host name of its last component and whether it exists.
struct Target {
  Fd folder;
  std::string name;  // host name; the given name when nothing exists under it
  bool exists = false;
  bool root = false;
  struct stat st {};
};

bool resolve(int rootFd, const Path& path, Target* target) {
  if (path.parts.empty()) {
    target->folder = openFolder(rootFd, path, 0);
    if (!target->folder.valid()) return false;
    target->root = true;
    target->exists = true;
    if (::fstat(target->folder.get(), &target->st) != 0) return fail(errorOf(errno));
    return true;
  }
  target->folder = openFolder(rootFd, path, path.parts.size() - 1);
  if (!target->folder.valid()) return false;
  bool failed = false;
  target->exists = lookup(target->folder.get(), path.parts.back(), &target->name, &target->st,
                          &failed);
  if (failed) return false;
  if (!target->exists) target->name = toUtf8(path.parts.back());
  return true;
}

// Opens an existing file or folder: never follows a link, never opens a special file, and
// answers only files and folders.
Fd openEntry(const Target& target, int flags = O_RDONLY) {
  if (!S_ISREG(target.st.st_mode) && !S_ISDIR(target.st.st_mode)) {
    setLastError(ERROR_ACCESS_DENIED);
    return Fd();
  }
  if (target.root) {
    Fd fd(::openat(target.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) setLastError(errorOf(errno));
    return fd;
  }
  Fd fd(::openat(target.folder.get(), target.name.c_str(),
                 flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    setLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return fd;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    setLastError(ERROR_ACCESS_DENIED);
    return Fd();
  }
  return fd;
}

// ---------------------------------------------------------------------------------------------
// Attributes and times

uint32_t storedAttributes(int fd) {
  unsigned char raw[4];
  const ssize_t n = ::fgetxattr(fd, kAttributesName, raw, sizeof raw);
  if (n != 4) return 0;
  return static_cast<uint32_t>(raw[0]) | static_cast<uint32_t>(raw[1]) << 8 |
         static_cast<uint32_t>(raw[2]) << 16 | static_cast<uint32_t>(raw[3]) << 24;
}

uint32_t attributesOf(int fd, const struct stat& st) {
  uint32_t a = storedAttributes(fd) & kStoredAttributes;
  if (S_ISDIR(st.st_mode)) return a | FILE_ATTRIBUTE_DIRECTORY;
  if ((st.st_mode & S_IWUSR) == 0) a |= FILE_ATTRIBUTE_READONLY;
  return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

// The host mode is left writable for the owner, so that the stored attributes and times of a
// read-only file can still be changed.
bool storeAttributes(int fd, const struct stat& st, uint32_t attributes) {
  attributes &= kStoredAttributes;
  const bool file = S_ISREG(st.st_mode);
  const mode_t mode = st.st_mode & 07777;
  if (file && !(attributes & FILE_ATTRIBUTE_READONLY) && !(mode & S_IWUSR) &&
      ::fchmod(fd, mode | S_IWUSR) != 0) {
    return fail(errorOf(errno));
  }
  unsigned char raw[4];
  for (int i = 0; i < 4; ++i) raw[i] = static_cast<unsigned char>(attributes >> (8 * i));
  if (::fsetxattr(fd, kAttributesName, raw, sizeof raw, 0) == 0) return true;
  if (errno != ENOTSUP) return fail(errorOf(errno));
  if (file && (attributes & FILE_ATTRIBUTE_READONLY) && ::fchmod(fd, mode & ~mode_t{0222}) != 0)
    return fail(errorOf(errno));
  return true;
}

FileTime fileTimeOf(const struct timespec& ts) {
  const int64_t ticks = kUnixEpochTicks + static_cast<int64_t>(ts.tv_sec) * 10000000 +
                        ts.tv_nsec / 100;
  const uint64_t v = ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
  return FileTime{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
}

uint64_t ticksOf(const FileTime& t) { return static_cast<uint64_t>(t.high) << 32 | t.low; }

struct timespec timespecOf(const FileTime& t) {
  const int64_t ticks = static_cast<int64_t>(ticksOf(t) & 0x7FFFFFFFFFFFFFFFull) - kUnixEpochTicks;
  int64_t sec = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --sec;
  }
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}

FileTime createdOf(int fd, const struct stat& st) {
  unsigned char raw[8];
  if (::fgetxattr(fd, kCreatedName, raw, sizeof raw) == 8) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | raw[i];
    return FileTime{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
  }
  return fileTimeOf(st.st_mtim);
}

bool storeCreated(int fd, const FileTime& t) {
  const uint64_t v = ticksOf(t);
  unsigned char raw[8];
  for (int i = 0; i < 8; ++i) raw[i] = static_cast<unsigned char>(v >> (8 * i));
  if (::fsetxattr(fd, kCreatedName, raw, sizeof raw, 0) != 0 && errno != ENOTSUP)
    return fail(errorOf(errno));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Open files and sharing

struct OpenRecord {
  dev_t dev;
  ino_t ino;
  uint32_t access;
  uint32_t share;
};

std::mutex& filesLock() {
  static std::mutex m;
  return m;
}
std::vector<OpenRecord*>& openRecords() {
  static std::vector<OpenRecord*> records;
  return records;
}

bool isOpen(const struct stat& st) {
  for (const OpenRecord* r : openRecords()) {
    if (r->dev == st.st_dev && r->ino == st.st_ino) return true;
  }
  return false;
}

// Handles without read or write access (opened for their times or size) take no part in
// sharing: they neither restrict others nor are restricted.
bool sharingConflicts(const struct stat& st, uint32_t access, uint32_t share) {
  if (access == 0) return false;
  for (const OpenRecord* r : openRecords()) {
    if (r->dev != st.st_dev || r->ino != st.st_ino || r->access == 0) continue;
    if ((access & GENERIC_READ) && !(r->share & FILE_SHARE_READ)) return true;
    if ((access & GENERIC_WRITE) && !(r->share & FILE_SHARE_WRITE)) return true;
    if ((r->access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((r->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  }
  return false;
}

struct FileObject : detail::Object {
  Fd fd;
  OpenRecord record{};
  bool registered = false;

  ~FileObject() override {
    if (registered) {
      std::lock_guard<std::mutex> lock(filesLock());
      auto& records = openRecords();
      records.erase(std::remove(records.begin(), records.end(), &record), records.end());
    }
  }
};

struct SearchObject : detail::Object {
  std::vector<FindData> entries;
  size_t next = 0;
};

std::shared_ptr<FileObject> fileOf(Handle h) {
  auto file = detail::objectAs<FileObject>(h);
  if (!file) setLastError(ERROR_INVALID_HANDLE);
  return file;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Handle createFile(const char16_t* pathText, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t attributes) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE;
  }
  Path path;
  if (!parsePath(pathText, false, &path)) return INVALID_HANDLE;
  if (path.trailing) {
    setLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE;
  }
  if (path.parts.empty()) {
    setLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE;
  }
  access &= GENERIC_READ | GENERIC_WRITE;
  share &= FILE_SHARE_READ | FILE_SHARE_WRITE;

  Fd root = openRoot();
  if (!root.valid()) return INVALID_HANDLE;
  auto file = std::make_shared<FileObject>();
  uint32_t lastError = ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(filesLock());
    Target target;
    if (!resolve(root.get(), path, &target)) return INVALID_HANDLE;
    const bool writes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS ||
                        disposition == TRUNCATE_EXISTING;
    const int mode = writes ? O_RDWR : O_RDONLY;
    struct stat st;
    if (target.exists) {
      if (disposition == CREATE_NEW) {
        setLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE;
      }
      if (!S_ISREG(target.st.st_mode)) {
        setLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE;
      }
      file->fd = openEntry(target, mode);
      if (!file->fd.valid()) return INVALID_HANDLE;
      if (::fstat(file->fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        setLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE;
      }
      const uint32_t current = attributesOf(file->fd.get(), st);
      if (writes && (current & FILE_ATTRIBUTE_READONLY)) {
        setLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE;
      }
      // Replacing a hidden or system file needs those attributes asked for again.
      if (disposition == CREATE_ALWAYS &&
          (current & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) &
              ~(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
        setLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE;
      }
      if (sharingConflicts(st, access, share)) {
        setLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE;
      }
      if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        if (::ftruncate(file->fd.get(), 0) != 0) {
          setLastError(errorOf(errno));
          return INVALID_HANDLE;
        }
      }
      // The handle keeps its write access when the new attributes make the file read-only:
      // the attribute holds for later opens.
      if (disposition == CREATE_ALWAYS && !storeAttributes(file->fd.get(), st, attributes))
        return INVALID_HANDLE;
      if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
        lastError = ERROR_ALREADY_EXISTS;
    } else {
      if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        setLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE;
      }
      file->fd.reset(::openat(target.folder.get(), target.name.c_str(),
                              mode | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                              0666));
      if (!file->fd.valid()) {
        setLastError(errno == EEXIST ? ERROR_FILE_EXISTS : errorOf(errno, ERROR_PATH_NOT_FOUND));
        return INVALID_HANDLE;
      }
      if (::fstat(file->fd.get(), &st) != 0) {
        setLastError(errorOf(errno));
        return INVALID_HANDLE;
      }
      const bool stored = storeCreated(file->fd.get(), fileTimeOf(st.st_mtim)) &&
                          storeAttributes(file->fd.get(), st, attributes);
      if (!stored) {
        const uint32_t err = getLastError();
        ::unlinkat(target.folder.get(), target.name.c_str(), 0);
        setLastError(err);
        return INVALID_HANDLE;
      }
    }
    file->record = OpenRecord{st.st_dev, st.st_ino, access, share};
    openRecords().push_back(&file->record);
    file->registered = true;
  }
  const Handle h = detail::addObject(file);
  if (h == INVALID_HANDLE || h == 0) {
    setLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE;
  }
  setLastError(lastError);
  return h;
}

bool readFile(Handle h, void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto file = fileOf(h);
  if (!file) return false;
  if (!(file->record.access & GENERIC_READ)) return fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && length != 0) return fail(ERROR_INVALID_PARAMETER);
  uint32_t total = 0;
  while (total < length) {
    const ssize_t n = ::read(file->fd.get(), static_cast<char*>(buffer) + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = total;
      return fail(errno == EIO ? ERROR_READ_FAULT : errorOf(errno));
    }
    if (n == 0) break;  // end of file: a short read that succeeds
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return true;
}

bool writeFile(Handle h, const void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto file = fileOf(h);
  if (!file) return false;
  if (!(file->record.access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && length != 0) return fail(ERROR_INVALID_PARAMETER);
  uint32_t total = 0;
  while (total < length) {
    const ssize_t n =
        ::write(file->fd.get(), static_cast<const char*>(buffer) + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = total;
      return fail(errno == EIO ? ERROR_WRITE_FAULT : errorOf(errno));
    }
    if (n == 0) {
      if (done != nullptr) *done = total;
      return fail(ERROR_DISK_FULL);
    }
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return true;
}

uint32_t setFilePointer(Handle h, int32_t distance, int32_t* distanceHigh, uint32_t method) {
  auto file = fileOf(h);
  if (!file) return INVALID_SET_FILE_POINTER;
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default:
      setLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  int64_t move = distance;
  if (distanceHigh != nullptr) {
    move = static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32 |
                                static_cast<uint32_t>(distance));
  }
  const int fd = file->fd.get();
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = ::lseek(fd, 0, SEEK_CUR);
  } else if (whence == SEEK_END) {
    struct stat st;
    base = ::fstat(fd, &st) == 0 ? st.st_size : -1;
  }
  if (base < 0) {
    setLastError(errorOf(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if ((move > 0 && base > INT64_MAX - move)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  const int64_t target = base + move;
  if (target < 0) {
    setLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh == nullptr && target > 0xFFFFFFFFLL) {
    // Without the high word the position must fit the low word.
    setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (::lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) {
    setLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : errorOf(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh != nullptr) *distanceHigh = static_cast<int32_t>(static_cast<uint64_t>(target) >> 32);
  setLastError(ERROR_SUCCESS);
  return static_cast<uint32_t>(static_cast<uint64_t>(target));
}

uint32_t getFileSize(Handle h, uint32_t* high) {
  auto file = fileOf(h);
  if (!file) return 0xFFFFFFFFu;
  struct stat st;
  if (::fstat(file->fd.get(), &st) != 0) {
    setLastError(errorOf(errno));
    return 0xFFFFFFFFu;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (high != nullptr) *high = static_cast<uint32_t>(size >> 32);
  setLastError(ERROR_SUCCESS);
  return static_cast<uint32_t>(size);
}

bool flushFileBuffers(Handle h) {
  auto file = fileOf(h);
  if (!file) return false;
  if (!(file->record.access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED);
  if (::fsync(file->fd.get()) != 0) return fail(errno == EIO ? ERROR_WRITE_FAULT : errorOf(errno));
  return true;
}

bool setEndOfFile(Handle h) {
  auto file = fileOf(h);
  if (!file) return false;
  if (!(file->record.access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED);
  const off_t pos = ::lseek(file->fd.get(), 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(file->fd.get(), pos) != 0) return fail(errorOf(errno));
  return true;
}

bool deleteFile(const char16_t* pathText) {
  Path path;
  if (!parsePath(pathText, false, &path)) return false;
  if (path.parts.empty()) return fail(ERROR_ACCESS_DENIED);
  Fd root = openRoot();
  if (!root.valid()) return false;
  std::lock_guard<std::mutex> lock(filesLock());
  Target target;
  if (!resolve(root.get(), path, &target)) return false;
  if (!target.exists) return fail(ERROR_FILE_NOT_FOUND);
  if (path.trailing) return fail(ERROR_INVALID_NAME);
  if (!S_ISREG(target.st.st_mode)) return fail(ERROR_ACCESS_DENIED);
  Fd fd = openEntry(target);
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(errorOf(errno));
  if (attributesOf(fd.get(), st) & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED);
  if (isOpen(st)) return fail(ERROR_SHARING_VIOLATION);
  if (::unlinkat(target.folder.get(), target.name.c_str(), 0) != 0) return fail(errorOf(errno));
  return true;
}

uint32_t getFileAttributes(const char16_t* pathText) {
  Path path;
  if (!parsePath(pathText, false, &path)) return INVALID_FILE_ATTRIBUTES;
  Fd root = openRoot();
  Target target;
  if (!root.valid() || !resolve(root.get(), path, &target)) return INVALID_FILE_ATTRIBUTES;
  if (!target.exists) {
    setLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (path.trailing && !S_ISDIR(target.st.st_mode)) {
    setLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  Fd fd = openEntry(target);
  if (!fd.valid()) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    setLastError(errorOf(errno));
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributesOf(fd.get(), st);
}

bool setFileAttributes(const char16_t* pathText, uint32_t attributes) {
  Path path;
  if (!parsePath(pathText, false, &path)) return false;
  Fd root = openRoot();
  Target target;
  if (!root.valid() || !resolve(root.get(), path, &target)) return false;
  if (!target.exists) return fail(ERROR_FILE_NOT_FOUND);
  if (path.trailing && !S_ISDIR(target.st.st_mode)) return fail(ERROR_INVALID_NAME);
  Fd fd = openEntry(target);
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(errorOf(errno));
  return storeAttributes(fd.get(), st, attributes);
}

bool getFileTime(Handle h, FileTime* created, FileTime* accessed, FileTime* written) {
  auto file = fileOf(h);
  if (!file) return false;
  struct stat st;
  if (::fstat(file->fd.get(), &st) != 0) return fail(errorOf(errno));
  if (created != nullptr) *created = createdOf(file->fd.get(), st);
  if (accessed != nullptr) *accessed = fileTimeOf(st.st_atim);
  if (written != nullptr) *written = fileTimeOf(st.st_mtim);
  return true;
}

// A time that is null or zero is left as it is.
bool setFileTime(Handle h, const FileTime* created, const FileTime* accessed,
                 const FileTime* written) {
  auto file = fileOf(h);
  if (!file) return false;
  if (!(file->record.access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED);
  auto given = [](const FileTime* t) { return t != nullptr && (t->low != 0 || t->high != 0); };
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  if (given(accessed)) times[0] = timespecOf(*accessed);
  if (given(written)) times[1] = timespecOf(*written);
  if ((given(accessed) || given(written)) && ::futimens(file->fd.get(), times) != 0)
    return fail(errorOf(errno));
  if (given(created) && !storeCreated(file->fd.get(), *created)) return false;
  return true;
}

bool createDirectory(const char16_t* pathText) {
  Path path;
  if (!parsePath(pathText, false, &path)) return false;
  Fd root = openRoot();
  if (!root.valid()) return false;
  std::lock_guard<std::mutex> lock(filesLock());
  Target target;
  if (!resolve(root.get(), path, &target)) return false;
  if (target.exists) return fail(ERROR_ALREADY_EXISTS);
  if (::mkdirat(target.folder.get(), target.name.c_str(), 0777) != 0)
    return fail(errorOf(errno, ERROR_PATH_NOT_FOUND));
  return true;
}

bool removeDirectory(const char16_t* pathText) {
  Path path;
  if (!parsePath(pathText, false, &path)) return false;
  if (path.parts.empty()) return fail(ERROR_ACCESS_DENIED);
  Fd root = openRoot();
  if (!root.valid()) return false;
  std::lock_guard<std::mutex> lock(filesLock());
  Target target;
  if (!resolve(root.get(), path, &target)) return false;
  if (!target.exists) return fail(ERROR_FILE_NOT_FOUND);
  if (!S_ISDIR(target.st.st_mode)) return fail(ERROR_DIRECTORY);
  Fd fd = openEntry(target, O_RDONLY | O_DIRECTORY);
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(errorOf(errno));
  if (attributesOf(fd.get(), st) & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED);
  if (::unlinkat(target.folder.get(), target.name.c_str(), AT_REMOVEDIR) != 0)
    return fail(errorOf(errno));
  return true;
}

namespace {

// '*' matches any run of units, '?' exactly one; letters match without regard to case. A
// pattern ending in ".*" also matches a name without an extension ("*.*" matches every name).
bool matches(const char16_t* p, const char16_t* n) {
  const char16_t* star = nullptr;
  const char16_t* resume = nullptr;
  while (*n != 0) {
    if (*p == u'*') {
      star = p++;
      resume = n;
    } else if (*p != 0 && (*p == u'?' || wlower(*p) == wlower(*n))) {
      ++p;
      ++n;
    } else if (star != nullptr) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (*p == u'*') ++p;
  if (p[0] == u'.' && p[1] == u'*') {
    p += 2;
    while (*p == u'*') ++p;
  }
  return *p == 0;
}

// Find data of a listed entry; false for entries that are neither files nor folders.
bool findDataOf(int dirFd, const std::string& host, const std::u16string& name, FindData* data) {
  struct stat st;
  if (::fstatat(dirFd, host.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
    return false;
  // The stored attributes and creation time need the entry open; without it the host's mode and
  // times are all there is.
  Fd fd(::openat(dirFd, host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.valid() &&
      (::fstat(fd.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))))
    return false;
  std::memset(data, 0, sizeof *data);
  data->attributes = attributesOf(fd.get(), st);
  data->created = createdOf(fd.get(), st);
  data->accessed = fileTimeOf(st.st_atim);
  data->written = fileTimeOf(st.st_mtim);
  if (S_ISREG(st.st_mode)) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    data->sizeHigh = static_cast<uint32_t>(size >> 32);
    data->sizeLow = static_cast<uint32_t>(size);
  }
  wcopy(data->name, MAX_PATH, name.c_str());
  return true;
}

}  // namespace

Handle findFirstFile(const char16_t* pattern, FindData* data) {
  Path path;
  if (data == nullptr) {
    setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE;
  }
  if (!parsePath(pattern, true, &path)) return INVALID_HANDLE;
  if (path.parts.empty() || path.trailing) {
    setLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE;
  }
  Fd root = openRoot();
  if (!root.valid()) return INVALID_HANDLE;
  Fd folder = openFolder(root.get(), path, path.parts.size() - 1);
  if (!folder.valid()) return INVALID_HANDLE;
  std::vector<std::string> names;
  if (!listFolder(folder.get(), &names)) return INVALID_HANDLE;

  struct Match {
    std::u16string name;
    std::string host;
  };
  std::vector<Match> found;
  const std::u16string& want = path.parts.back();
  for (const std::string& host : names) {
    std::u16string name;
    if (!moduleName(host.c_str(), &name) || !matches(want.c_str(), name.c_str())) continue;
    found.push_back(Match{name, host});
  }
  // A stable order: names without regard to case, ties by their units.
  std::sort(found.begin(), found.end(), [](const Match& a, const Match& b) {
    const int c = wcompareNoCase(a.name.c_str(), b.name.c_str());
    return c != 0 ? c < 0 : wcompare(a.name.c_str(), b.name.c_str()) < 0;
  });
  auto search = std::make_shared<SearchObject>();
  for (const Match& m : found) {
    FindData fd;
    if (findDataOf(folder.get(), m.host, m.name, &fd)) search->entries.push_back(fd);
  }
  if (search->entries.empty()) {
    setLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE;
  }
  *data = search->entries[0];
  search->next = 1;
  const Handle h = detail::addObject(search);
  if (h == INVALID_HANDLE || h == 0) {
    setLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE;
  }
  setLastError(ERROR_SUCCESS);
  return h;
}

bool findNextFile(Handle h, FindData* data) {
  auto search = detail::objectAs<SearchObject>(h);
  if (!search) return fail(ERROR_INVALID_HANDLE);
  if (data == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (search->next >= search->entries.size()) return fail(ERROR_NO_MORE_FILES);
  *data = search->entries[search->next++];
  return true;
}

bool findClose(Handle h) {
  if (!detail::objectAs<SearchObject>(h)) return fail(ERROR_INVALID_HANDLE);
  return detail::removeObject(h);
}

bool getDiskFreeSpaceEx(const char16_t* pathText, uint64_t* freeToCaller, uint64_t* total,
                        uint64_t* totalFree) {
  Path path;
  if (pathText != nullptr && !parsePath(pathText, false, &path)) return false;
  Fd root = openRoot();
  Target target;
  if (!root.valid() || !resolve(root.get(), path, &target)) return false;
  if (!target.exists) return fail(ERROR_PATH_NOT_FOUND);
  if (!S_ISDIR(target.st.st_mode)) return fail(ERROR_DIRECTORY);
  Fd fd = openEntry(target, O_RDONLY | O_DIRECTORY);
  if (!fd.valid()) return false;
  struct statvfs vfs;
  if (::fstatvfs(fd.get(), &vfs) != 0) return fail(errorOf(errno));
  const uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  if (freeToCaller != nullptr) *freeToCaller = static_cast<uint64_t>(vfs.f_bavail) * unit;
  if (total != nullptr) *total = static_cast<uint64_t>(vfs.f_blocks) * unit;
  if (totalFree != nullptr) *totalFree = static_cast<uint64_t>(vfs.f_bfree) * unit;
  return true;
}

}  // namespace plat
