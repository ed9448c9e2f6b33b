// The module's files on the host: paths that must never leave the file root, lookup without
// regard to case, dispositions and sharing, data round trips, attributes, times and searches.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/types.h"
#include "tests/fixtures/module_fixture.h"

namespace fs = std::filesystem;
using namespace plat;

namespace {

void writeHost(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << content;
}

std::string readHost(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Every name below dir (links are listed, never followed).
std::set<std::string> tree(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    names.insert(fs::relative(it->path(), dir).string());
  }
  return names;
}

std::string number(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%u", v);
  return b;
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    root = m.attach().fileRoot();
    outside = m.dir().parent_path() / "outside";
    writeHost(outside / "secret.txt", "secret");
  }

  Handle open(const char16_t* path, uint32_t access = GENERIC_READ | GENERIC_WRITE,
              uint32_t share = 0, uint32_t disposition = OPEN_EXISTING, uint32_t attributes = 0) {
    return createFile(path, access, share, disposition, attributes);
  }

  std::string readAll(const char16_t* path) {
    const Handle h = open(path, GENERIC_READ, FILE_SHARE_READ);
    if (h == INVALID_HANDLE) return "<error " + number(getLastError()) + ">";
    std::string data(1 << 16, '\0');
    uint32_t done = 0;
    EXPECT_TRUE(readFile(h, data.data(), static_cast<uint32_t>(data.size()), &done));
    closeHandle(h);
    data.resize(done);
    return data;
  }

  bool put(const char16_t* path, const std::string& data, uint32_t disposition = CREATE_ALWAYS) {
    const Handle h = open(path, GENERIC_WRITE, 0, disposition);
    if (h == INVALID_HANDLE) return false;
    uint32_t done = 0;
    const bool ok = writeFile(h, data.data(), static_cast<uint32_t>(data.size()), &done);
    closeHandle(h);
    return ok && done == data.size();
  }

  std::vector<std::string> find(const char16_t* pattern, uint32_t* error = nullptr) {
    std::vector<std::string> names;
    FindData d;
    const Handle h = findFirstFile(pattern, &d);
    if (h == INVALID_HANDLE) {
      if (error != nullptr) *error = getLastError();
      return names;
    }
    do names.push_back(toUtf8(d.name));
    while (findNextFile(h, &d));
    EXPECT_EQ(getLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(findClose(h));
    return names;
  }

  fixture::TempModule m;
  fs::path root;
  fs::path outside;
};

// ---------------------------------------------------------------------------------------------
// Paths that must not work, and must not reach anything outside the root.

TEST_F(Files, HostilePathsFailEverywhereAndTouchNothingOutsideTheRoot) {
  fs::create_directories(root / "a" / "b");
  writeHost(root / "a" / "b" / "f.txt", "inside");
  const std::u16string longName(256, u'n');
  const std::u16string okName(255, u'n');
  std::u16string longPath;
  while (longPath.size() < 262) longPath += u"\\abc";

  struct Case {
    std::u16string path;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {u"..\\outside\\secret.txt", ERROR_INVALID_NAME},
      {u"\\..\\outside\\secret.txt", ERROR_INVALID_NAME},
      {u"\\..\\..\\outside\\x", ERROR_INVALID_NAME},
      {u"\\a\\..\\..\\..\\outside\\x", ERROR_INVALID_NAME},
      {u"\\a\\b\\..", ERROR_INVALID_NAME},
      {u"\\a\\..\\a\\b\\f.txt", ERROR_INVALID_NAME},
      {u"\\USB HD\\..\\..\\..\\outside\\x", ERROR_INVALID_NAME},
      {u".", ERROR_INVALID_NAME},
      {u"\\.\\a", ERROR_INVALID_NAME},
      {u"\\a\\.\\b", ERROR_INVALID_NAME},
      {u"a/../../outside/x", ERROR_INVALID_NAME},
      {u"\\a/b\\f.txt", ERROR_INVALID_NAME},
      {u"/tmp/x", ERROR_INVALID_NAME},
      {u"\\\\a", ERROR_INVALID_NAME},
      {u"\\a\\\\b", ERROR_INVALID_NAME},
      {u"\\a:b", ERROR_INVALID_NAME},
      {u"\\a\\b\\f\x01.txt", ERROR_INVALID_NAME},
      {u"\\a<b", ERROR_INVALID_NAME},
      {u"\\a|b", ERROR_INVALID_NAME},
      {u"\\a\"b", ERROR_INVALID_NAME},
      {u"\\a*", ERROR_INVALID_NAME},
      {u"\\a\\?\\f.txt", ERROR_INVALID_NAME},
      {u"\\bad\xD800name", ERROR_INVALID_NAME},
      {u"\\" + longName, ERROR_FILENAME_EXCED_RANGE},
      {longPath, ERROR_FILENAME_EXCED_RANGE},
  };
  const auto outsideBefore = tree(m.dir().parent_path() / "outside");
  const auto moduleBefore = tree(m.dir());

  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.path));
    const char16_t* p = c.path.c_str();
    for (uint32_t disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS}) {
      setLastError(0);
      EXPECT_EQ(open(p, GENERIC_READ | GENERIC_WRITE, 0, disposition), INVALID_HANDLE);
      EXPECT_EQ(getLastError(), c.error);
    }
    EXPECT_FALSE(createDirectory(p));
    EXPECT_EQ(getLastError(), c.error);
    EXPECT_FALSE(deleteFile(p));
    EXPECT_EQ(getLastError(), c.error);
    EXPECT_FALSE(removeDirectory(p));
    EXPECT_EQ(getLastError(), c.error);
    EXPECT_EQ(getFileAttributes(p), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(getLastError(), c.error);
    EXPECT_FALSE(setFileAttributes(p, FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(getLastError(), c.error);
    uint64_t a = 0, b = 0, d = 0;
    EXPECT_FALSE(getDiskFreeSpaceEx(p, &a, &b, &d));
    EXPECT_EQ(getLastError(), c.error);
  }
  EXPECT_EQ(tree(m.dir().parent_path() / "outside"), outsideBefore);
  EXPECT_EQ(tree(m.dir()), moduleBefore);
  EXPECT_EQ(readHost(outside / "secret.txt"), "secret");
  EXPECT_EQ(readHost(root / "a" / "b" / "f.txt"), "inside");

  // The longest name and a path just below MAX_PATH still work.
  EXPECT_TRUE(put((u"\\" + okName).c_str(), "x"));
  std::u16string path259 = u"\\a\\b\\";
  path259 += std::u16string(259 - path259.size(), u'p');
  EXPECT_TRUE(put(path259.c_str(), "y"));
  EXPECT_EQ(readAll((path259).c_str()), "y");
  EXPECT_EQ(open((path259 + u"q").c_str()), INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(Files, APathIsNeverReadPastMaxPathUnits) {
  // A path buffer without a terminator: only MAX_PATH units of it may be read.
  auto buf = std::make_unique<char16_t[]>(MAX_PATH);
  std::fill(buf.get(), buf.get() + MAX_PATH, u'a');
  EXPECT_EQ(getFileAttributes(buf.get()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(getLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(open(buf.get(), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE);
}

TEST_F(Files, LinksPlantedInTheRootAreNeverFollowed) {
  fs::create_directory_symlink(outside, root / "link");
  fs::create_symlink(outside / "secret.txt", root / "USB HD" / "IMAGES" / "evil.bin");
  fs::create_symlink(outside / "planted.txt", root / "dangling");
  ::mkfifo((root / "fifo").c_str(), 0666);
  const auto outsideBefore = tree(outside);
  struct stat secretBefore;
  ASSERT_EQ(::stat((outside / "secret.txt").c_str(), &secretBefore), 0);

  // Through a linked folder: it is no folder at all.
  for (uint32_t disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS}) {
    EXPECT_EQ(open(u"\\link\\secret.txt", GENERIC_READ | GENERIC_WRITE, 0, disposition),
              INVALID_HANDLE);
    EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(open(u"\\LINK\\new.txt", GENERIC_READ | GENERIC_WRITE, 0, disposition),
              INVALID_HANDLE);
  }
  EXPECT_FALSE(createDirectory(u"\\link\\sub"));
  EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(deleteFile(u"\\link\\secret.txt"));
  uint32_t error = 0;
  EXPECT_TRUE(find(u"\\link\\*", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  uint64_t a, b, c;
  EXPECT_FALSE(getDiskFreeSpaceEx(u"\\link\\", &a, &b, &c));

  // The link entries themselves, and a special file, are refused.
  for (const char16_t* p : {u"\\link", u"\\usb hd\\images\\EVIL.BIN", u"\\dangling", u"\\fifo"}) {
    SCOPED_TRACE(toUtf8(p));
    for (uint32_t disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS,
                                 TRUNCATE_EXISTING}) {
      EXPECT_EQ(open(p, GENERIC_READ | GENERIC_WRITE, 0, disposition), INVALID_HANDLE);
    }
    EXPECT_EQ(open(p, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE);
    EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(getFileAttributes(p), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(setFileAttributes(p, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(deleteFile(p));
    EXPECT_FALSE(removeDirectory(p));
    EXPECT_FALSE(createDirectory(p));
  }
  // Searches do not list them.
  EXPECT_EQ(find(u"\\*"), (std::vector<std::string>{"USB HD", "windows"}));
  EXPECT_TRUE(find(u"\\usb hd\\images\\*", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(tree(outside), outsideBefore);
  EXPECT_FALSE(fs::exists(outside / "planted.txt"));
  EXPECT_EQ(readHost(outside / "secret.txt"), "secret");
  struct stat secretAfter;
  ASSERT_EQ(::stat((outside / "secret.txt").c_str(), &secretAfter), 0);
  EXPECT_EQ(secretAfter.st_mode, secretBefore.st_mode);
  char value[16];
  EXPECT_LT(::getxattr((outside / "secret.txt").c_str(), "user.vazizodu.attributes", value,
                       sizeof value),
            0);
  EXPECT_TRUE(fs::is_symlink(root / "link"));
  EXPECT_TRUE(fs::is_symlink(root / "USB HD" / "IMAGES" / "evil.bin"));
}

// ---------------------------------------------------------------------------------------------
// Names

TEST_F(Files, LookupIgnoresCaseAndNewNamesKeepTheirCase) {
  writeHost(root / "USB HD" / "IMAGES" / "NK.BIN", "image");
  writeHost(root / "\xC3\x84RGER.TXT", "umlaut");  // "ÄRGER.TXT"

  EXPECT_EQ(readAll(u"\\usb hd\\images\\nk.bin"), "image");
  EXPECT_EQ(readAll(u"usb hd\\IMAGES\\Nk.Bin"), "image");  // relative to the root
  EXPECT_EQ(readAll(u"\\\u00E4rger.txt"), "umlaut");

  EXPECT_TRUE(put(u"\\usb hd\\images\\Backup.BIN", "b", CREATE_NEW));
  EXPECT_EQ(readHost(root / "USB HD" / "IMAGES" / "Backup.BIN"), "b");
  EXPECT_EQ(open(u"\\USB HD\\images\\BACKUP.bin", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_FILE_EXISTS);
  EXPECT_TRUE(put(u"\\usb hd\\images\\BACKUP.bin", "c", CREATE_ALWAYS));  // the same file

  EXPECT_TRUE(createDirectory(u"\\usb hd\\Images\\Sub"));
  EXPECT_TRUE(fs::is_directory(root / "USB HD" / "IMAGES" / "Sub"));
  EXPECT_FALSE(createDirectory(u"\\USB HD\\IMAGES\\SUB"));
  EXPECT_EQ(getLastError(), ERROR_ALREADY_EXISTS);

  std::set<std::string> expected{"USB HD", "USB HD/IMAGES", "USB HD/IMAGES/NK.BIN",
                                 "USB HD/IMAGES/Backup.BIN", "USB HD/IMAGES/Sub", "windows",
                                 "\xC3\x84RGER.TXT"};
  EXPECT_EQ(tree(root), expected);
  EXPECT_EQ(readHost(root / "USB HD" / "IMAGES" / "Backup.BIN"), "c");

  // Two host names that differ only in case: the exact one wins.
  writeHost(root / "Readme", "mixed");
  writeHost(root / "README", "upper");
  EXPECT_EQ(readAll(u"\\Readme"), "mixed");
  EXPECT_EQ(readAll(u"\\README"), "upper");
}

// ---------------------------------------------------------------------------------------------
// Opening

TEST_F(Files, DispositionsOnExistingAndMissingFiles) {
  struct Case {
    uint32_t disposition;
    bool exists;
    bool opens;
    uint32_t error;
    const char* contentAfter;  // null: the file does not exist afterwards
  };
  const Case cases[] = {
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "disposition " << c.disposition << " exists "
                                      << c.exists);
    fs::remove(root / "f.bin");
    if (c.exists) writeHost(root / "f.bin", "old");
    setLastError(12345);
    const Handle h = open(u"\\f.bin", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    EXPECT_EQ(h != INVALID_HANDLE, c.opens);
    EXPECT_EQ(getLastError(), c.error);
    if (h != INVALID_HANDLE) {
      EXPECT_TRUE(closeHandle(h));
    }
    if (c.contentAfter == nullptr) {
      EXPECT_FALSE(fs::exists(root / "f.bin"));
    } else {
      EXPECT_EQ(readHost(root / "f.bin"), c.contentAfter);
    }
    // In a folder that does not exist every disposition fails alike.
    EXPECT_EQ(open(u"\\nowhere\\f.bin", GENERIC_READ | GENERIC_WRITE, 0, c.disposition),
              INVALID_HANDLE);
    EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
  }
  EXPECT_FALSE(fs::exists(root / "nowhere"));
  // Truncation needs write access; folders and the root are no files.
  EXPECT_EQ(open(u"\\f.bin", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(open(u"\\windows", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open(u"\\", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE);
  EXPECT_EQ(open(u"\\f.bin\\", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(open(u"", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Files, SharingBetweenHandlesOfThisProcess) {
  constexpr uint32_t R = GENERIC_READ, W = GENERIC_WRITE, RW = R | W;
  constexpr uint32_t SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SRW = SR | SW;
  struct Case {
    uint32_t access1, share1, access2, share2;
    bool secondOpens;
  };
  const Case cases[] = {
      {R, SR, R, SR, true},
      {R, SR, W, SRW, false},   // the first does not share writing
      {R, SRW, W, SRW, true},
      {R, SRW, R, 0, false},    // the second would deny the first's reading
      {W, 0, R, SRW, false},
      {W, SR, R, SW, true},
      {RW, SRW, RW, SRW, true},
      {RW, SRW, RW, SR, false},
      {R, 0, R, SRW, false},    // an image file opened without sharing keeps others out
      {0, 0, RW, 0, true},      // a handle without data access takes no part
      {RW, 0, 0, 0, true},
  };
  ASSERT_TRUE(put(u"\\shared.bin", "data"));
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.access1 << "/" << c.share1 << " then " << c.access2
                                      << "/" << c.share2);
    const Handle first = open(u"\\shared.bin", c.access1, c.share1);
    ASSERT_NE(first, INVALID_HANDLE);
    const Handle second = open(u"\\SHARED.BIN", c.access2, c.share2);
    EXPECT_EQ(second != INVALID_HANDLE, c.secondOpens);
    if (second == INVALID_HANDLE) {
      EXPECT_EQ(getLastError(), ERROR_SHARING_VIOLATION);
      // Creating over it is refused the same way and leaves the data alone.
      EXPECT_EQ(open(u"\\shared.bin", W, c.share2, CREATE_ALWAYS), INVALID_HANDLE);
      EXPECT_EQ(getLastError(), ERROR_SHARING_VIOLATION);
      EXPECT_EQ(readHost(root / "shared.bin"), "data");
    } else {
      EXPECT_TRUE(closeHandle(second));
    }
    EXPECT_TRUE(closeHandle(first));
    const Handle again = open(u"\\shared.bin", c.access2, c.share2);
    EXPECT_NE(again, INVALID_HANDLE);  // once the first is closed
    closeHandle(again);
  }
  // An open file cannot be deleted.
  const Handle h = open(u"\\shared.bin", R, SRW);
  EXPECT_FALSE(deleteFile(u"\\shared.bin"));
  EXPECT_EQ(getLastError(), ERROR_SHARING_VIOLATION);
  closeHandle(h);
  EXPECT_TRUE(deleteFile(u"\\shared.bin"));
  EXPECT_FALSE(fs::exists(root / "shared.bin"));
}

// ---------------------------------------------------------------------------------------------
// Data

TEST_F(Files, ReadWriteSeekAndSizeRoundTrip) {
  std::string data(10000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 256);
  const Handle h = open(u"\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE);
  uint32_t done = 0;
  for (size_t at = 0; at < data.size(); at += 3000) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(3000, data.size() - at));
    ASSERT_TRUE(writeFile(h, data.data() + at, n, &done));
    EXPECT_EQ(done, n);
  }
  uint32_t high = 99;
  EXPECT_EQ(getFileSize(h, &high), 10000u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(flushFileBuffers(h));

  EXPECT_EQ(setFilePointer(h, 5000, nullptr, FILE_BEGIN), 5000u);
  std::string got(100, '\0');
  ASSERT_TRUE(readFile(h, got.data(), 100, &done));
  EXPECT_EQ(done, 100u);
  EXPECT_EQ(got, data.substr(5000, 100));
  EXPECT_EQ(setFilePointer(h, -100, nullptr, FILE_CURRENT), 5000u);
  EXPECT_EQ(setFilePointer(h, -10, nullptr, FILE_END), 9990u);
  got.assign(20, '\0');
  ASSERT_TRUE(readFile(h, got.data(), 20, &done));  // a short read at the end succeeds
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(got.substr(0, 10), data.substr(9990));
  ASSERT_TRUE(readFile(h, got.data(), 20, &done));
  EXPECT_EQ(done, 0u);

  // Before the start: refused, the position stays.
  EXPECT_EQ(setFilePointer(h, -10001, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(getLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(setFilePointer(h, 0, nullptr, FILE_CURRENT), 10000u);
  EXPECT_EQ(setFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(getLastError(), ERROR_INVALID_PARAMETER);

  // Beyond 4 GB through the high word (a sparse file on the host).
  int32_t hi = 1;
  EXPECT_EQ(setFilePointer(h, 16, &hi, FILE_BEGIN), 16u);
  EXPECT_EQ(hi, 1);
  EXPECT_EQ(getLastError(), ERROR_SUCCESS);
  ASSERT_TRUE(writeFile(h, "z", 1, &done));
  EXPECT_EQ(getFileSize(h, &high), 17u);
  EXPECT_EQ(high, 1u);
  hi = -1;  // -1 as a 64-bit distance
  EXPECT_EQ(setFilePointer(h, -1, &hi, FILE_END), 16u);
  EXPECT_EQ(hi, 1);
  // Without the high word a position beyond 32 bits cannot be answered.
  EXPECT_EQ(setFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_NE(getLastError(), ERROR_SUCCESS);

  // Cutting the file at the current position.
  EXPECT_EQ(setFilePointer(h, 3000, nullptr, FILE_BEGIN), 3000u);
  EXPECT_TRUE(setEndOfFile(h));
  EXPECT_EQ(getFileSize(h, &high), 3000u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(closeHandle(h));
  EXPECT_EQ(readHost(root / "data.bin"), data.substr(0, 3000));

  // What a handle may do follows its access; a closed handle is gone.
  const Handle reader = open(u"\\data.bin", GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(writeFile(reader, "x", 1, &done));
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(setEndOfFile(reader));
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  closeHandle(reader);
  const Handle writer = open(u"\\data.bin", GENERIC_WRITE, 0);
  EXPECT_FALSE(readFile(writer, got.data(), 1, &done));
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  closeHandle(writer);
  EXPECT_FALSE(readFile(writer, got.data(), 1, &done));
  EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(getFileSize(writer, &high), 0xFFFFFFFFu);
  EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Files, AWriteThatCannotCompleteFails) {
  // The host refuses to grow files beyond 4096 bytes, as a full disk would.
  std::signal(SIGXFSZ, SIG_IGN);
  const Handle h = open(u"\\full.bin", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE);
  rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limit{4096, old.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::string data(8192, 'd');
  uint32_t done = 0;
  EXPECT_FALSE(writeFile(h, data.data(), 8192, &done));
  EXPECT_EQ(getLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(done, 4096u);
  ::setrlimit(RLIMIT_FSIZE, &old);
  closeHandle(h);
  EXPECT_EQ(fs::file_size(root / "full.bin"), 4096u);
}

// ---------------------------------------------------------------------------------------------
// Attributes and times

TEST_F(Files, AttributesAndTheReadOnlyRule) {
  ASSERT_TRUE(put(u"\\f.txt", "old"));
  EXPECT_EQ(getFileAttributes(u"\\F.TXT"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(getFileAttributes(u"\\windows"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(getFileAttributes(u"\\windows\\"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(getFileAttributes(u"\\"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(getFileAttributes(u"\\nothing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(getLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(getFileAttributes(u"\\nothing\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);

  constexpr uint32_t HSA = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  EXPECT_TRUE(setFileAttributes(u"\\f.txt", HSA));
  EXPECT_EQ(getFileAttributes(u"\\f.txt"), HSA);
  EXPECT_TRUE(setFileAttributes(u"\\windows", FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(getFileAttributes(u"\\windows"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  // Replacing a hidden or system file needs those attributes again.
  EXPECT_EQ(open(u"\\f.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
            INVALID_HANDLE);
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(setFileAttributes(u"\\f.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(getFileAttributes(u"\\f.txt"), FILE_ATTRIBUTE_NORMAL);

  // Read-only: no writing opens, no replacing, no deleting; reading goes on.
  EXPECT_TRUE(setFileAttributes(u"\\f.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(getFileAttributes(u"\\f.txt"), FILE_ATTRIBUTE_READONLY);
  for (uint32_t disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
    SCOPED_TRACE(disposition);
    EXPECT_EQ(open(u"\\f.txt", GENERIC_WRITE, 0, disposition), INVALID_HANDLE);
    EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_FALSE(deleteFile(u"\\f.txt"));
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(readAll(u"\\f.txt"), "old");
  EXPECT_TRUE(setFileAttributes(u"\\f.txt", FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(put(u"\\f.txt", "new", OPEN_EXISTING));
  EXPECT_TRUE(deleteFile(u"\\f.txt"));

  // A file created read-only keeps its write handle (the restore writes it, then sets times).
  const Handle h = open(u"\\ro.bin", GENERIC_WRITE, 0, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_NE(h, INVALID_HANDLE);
  uint32_t done = 0;
  EXPECT_TRUE(writeFile(h, "abc", 3, &done));
  const FileTime t{0x12345678, 0x01C78A00};
  EXPECT_TRUE(setFileTime(h, &t, &t, &t));
  EXPECT_TRUE(closeHandle(h));
  EXPECT_EQ(getFileAttributes(u"\\ro.bin"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(open(u"\\ro.bin", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE);
  EXPECT_EQ(readAll(u"\\ro.bin"), "abc");
  // A host file without write permission reads as read-only.
  writeHost(root / "host-ro.txt", "h");
  fs::permissions(root / "host-ro.txt", fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(getFileAttributes(u"\\host-ro.txt"), FILE_ATTRIBUTE_READONLY);
}

TEST_F(Files, TimesRoundTripThroughTheHost) {
  ASSERT_TRUE(put(u"\\t.bin", "x"));
  // 2007-05-01 12:00:00 UTC and two other instants, with sub-second parts.
  const uint64_t base = 128224944000000000ull;
  const FileTime created{static_cast<uint32_t>(base + 1234567), static_cast<uint32_t>((base + 1234567) >> 32)};
  const FileTime accessed{static_cast<uint32_t>(base + 864000000000ull),
                          static_cast<uint32_t>((base + 864000000000ull) >> 32)};
  const FileTime written{static_cast<uint32_t>(base + 36000000005ull),
                         static_cast<uint32_t>((base + 36000000005ull) >> 32)};
  Handle h = open(u"\\t.bin", GENERIC_WRITE, 0);
  ASSERT_NE(h, INVALID_HANDLE);
  EXPECT_TRUE(setFileTime(h, &created, &accessed, &written));
  closeHandle(h);

  // The host sees the written time as the file's modification time.
  struct stat st;
  ASSERT_EQ(::stat((root / "t.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1178020800 + 3600);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500);

  auto same = [](const FileTime& a, const FileTime& b) { return a.low == b.low && a.high == b.high; };
  h = open(u"\\t.bin", GENERIC_READ, FILE_SHARE_READ);
  FileTime c{}, a{}, w{};
  EXPECT_TRUE(getFileTime(h, &c, &a, &w));
  EXPECT_TRUE(same(c, created));
  EXPECT_TRUE(same(a, accessed));
  EXPECT_TRUE(same(w, written));
  // Setting times needs write access.
  EXPECT_FALSE(setFileTime(h, &written, nullptr, nullptr));
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  closeHandle(h);

  // Null and zero times leave a time as it is.
  h = open(u"\\t.bin", GENERIC_WRITE, 0);
  const FileTime zero{0, 0};
  EXPECT_TRUE(setFileTime(h, nullptr, &zero, &created));
  EXPECT_TRUE(getFileTime(h, &c, &a, &w));
  EXPECT_TRUE(same(c, created));
  EXPECT_TRUE(same(a, accessed));
  EXPECT_TRUE(same(w, created));
  closeHandle(h);

  // A search reports the same times.
  FindData d;
  const Handle s = findFirstFile(u"\\T.BIN", &d);
  ASSERT_NE(s, INVALID_HANDLE);
  EXPECT_TRUE(same(d.created, created));
  EXPECT_TRUE(same(d.written, created));
  findClose(s);

  // A host file without a stored creation time was created when it was last written.
  writeHost(root / "windows" / "wince.nls", "nls");
  const fs::file_time_type when = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(root / "windows" / "wince.nls", when);
  h = open(u"\\windows\\wince.nls", GENERIC_READ, 0);
  ASSERT_NE(h, INVALID_HANDLE);
  EXPECT_TRUE(getFileTime(h, &c, nullptr, &w));
  EXPECT_TRUE(same(c, w));
  closeHandle(h);
}

// ---------------------------------------------------------------------------------------------
// Folders and searches

TEST_F(Files, FoldersAreCreatedAndRemoved) {
  EXPECT_TRUE(createDirectory(u"\\Flash Disk"));
  EXPECT_TRUE(createDirectory(u"\\flash disk\\Sub\\"));  // a final backslash is allowed
  EXPECT_FALSE(createDirectory(u"\\flash disk"));
  EXPECT_EQ(getLastError(), ERROR_ALREADY_EXISTS);   // what a restore relies on
  EXPECT_FALSE(createDirectory(u"\\"));
  EXPECT_EQ(getLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(createDirectory(u"\\missing\\sub"));
  EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(put(u"\\flash disk\\sub\\f.txt", "f"));
  EXPECT_FALSE(createDirectory(u"\\flash disk\\sub\\F.TXT"));
  EXPECT_EQ(getLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(fs::is_regular_file(root / "Flash Disk" / "Sub" / "f.txt"));

  EXPECT_FALSE(removeDirectory(u"\\flash disk\\sub"));
  EXPECT_EQ(getLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(removeDirectory(u"\\flash disk\\sub\\f.txt"));
  EXPECT_EQ(getLastError(), ERROR_DIRECTORY);
  EXPECT_FALSE(deleteFile(u"\\flash disk\\sub"));
  EXPECT_EQ(getLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(deleteFile(u"\\flash disk\\sub\\nothing"));
  EXPECT_EQ(getLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(removeDirectory(u"\\"));
  EXPECT_TRUE(deleteFile(u"\\FLASH DISK\\SUB\\F.TXT"));
  EXPECT_TRUE(removeDirectory(u"\\flash disk\\sub\\"));
  EXPECT_TRUE(removeDirectory(u"\\flash disk"));
  EXPECT_FALSE(removeDirectory(u"\\flash disk"));
  EXPECT_EQ(getLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(tree(root), (std::set<std::string>{"USB HD", "USB HD/IMAGES", "windows"}));
}

TEST_F(Files, SearchPatternsMatchWithoutRegardToCase) {
  const fs::path dir = root / "USB HD" / "IMAGES";
  writeHost(dir / "NK.BIN", std::string(1000, 'n'));
  writeHost(dir / "eboot.nb0", "e");
  writeHost(dir / "Readme", "r");
  writeHost(dir / "a.b.c", "a");
  writeHost(dir / "x.bin.bak", "x");
  writeHost(dir / "bad:name", "host names the module cannot address are not listed");
  fs::create_directory(dir / "Sub");

  struct Case {
    const char16_t* pattern;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {u"*", {"a.b.c", "eboot.nb0", "NK.BIN", "Readme", "Sub", "x.bin.bak"}},
      {u"*.*", {"a.b.c", "eboot.nb0", "NK.BIN", "Readme", "Sub", "x.bin.bak"}},
      {u"*.bin", {"NK.BIN"}},
      {u"*.BIN*", {"NK.BIN", "x.bin.bak"}},
      {u"?????.nb0", {"eboot.nb0"}},
      {u"????.nb0", {}},
      {u"readme.*", {"Readme"}},
      {u"nk.bin", {"NK.BIN"}},
      {u"*.b*", {"a.b.c", "NK.BIN", "x.bin.bak"}},
      {u"s*", {"Sub"}},
      {u"*.zip", {}},
      {u"?", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.pattern));
    std::u16string pattern = u"\\usb hd\\images\\";
    pattern += c.pattern;
    uint32_t error = 0;
    EXPECT_EQ(find(pattern.c_str(), &error), c.names);
    if (c.names.empty()) {
      EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    }
  }

  FindData d;
  Handle h = findFirstFile(u"\\usb hd\\images\\n*", &d);
  ASSERT_NE(h, INVALID_HANDLE);
  EXPECT_EQ(toUtf8(d.name), "NK.BIN");
  EXPECT_EQ(d.sizeLow, 1000u);
  EXPECT_EQ(d.sizeHigh, 0u);
  EXPECT_EQ(d.attributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(findNextFile(h, &d));
  EXPECT_EQ(getLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(findClose(h));
  EXPECT_FALSE(findNextFile(h, &d));
  EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(findClose(h));

  h = findFirstFile(u"\\usb hd\\images\\sub", &d);
  ASSERT_NE(h, INVALID_HANDLE);
  EXPECT_EQ(d.attributes, FILE_ATTRIBUTE_DIRECTORY);
  findClose(h);

  uint32_t error = 0;
  EXPECT_TRUE(find(u"\\nowhere\\*", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(find(u"\\usb *\\*", &error).empty());
  EXPECT_EQ(error, ERROR_INVALID_NAME);
  EXPECT_TRUE(find(u"\\usb hd\\images\\", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, FreeSpaceComesFromTheHostFileSystem) {
  uint64_t freeToCaller = 0, total = 0, totalFree = 0;
  ASSERT_TRUE(getDiskFreeSpaceEx(u"\\usb hd", &freeToCaller, &total, &totalFree));
  struct statvfs vfs;
  ASSERT_EQ(::statvfs(root.c_str(), &vfs), 0);
  EXPECT_EQ(total, static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize);
  EXPECT_GT(total, 0u);
  EXPECT_LE(totalFree, total);
  EXPECT_LE(freeToCaller, totalFree);
  EXPECT_TRUE(getDiskFreeSpaceEx(u"\\", nullptr, &total, nullptr));
  EXPECT_TRUE(getDiskFreeSpaceEx(nullptr, &freeToCaller, nullptr, nullptr));

  EXPECT_FALSE(getDiskFreeSpaceEx(u"\\nowhere", &freeToCaller, &total, &totalFree));
  EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(put(u"\\f.bin", "x"));
  EXPECT_FALSE(getDiskFreeSpaceEx(u"\\f.bin", &freeToCaller, &total, &totalFree));
  EXPECT_EQ(getLastError(), ERROR_DIRECTORY);
}

}  // namespace
