#pragma once
// Files in the module's namespace: backslash paths rooted at "\", looked up without regard to
// case, stored under the module's file root. No path reaches outside that root.
//
// Paths: a path not starting with "\" is taken from the root too. Refused with
// ERROR_INVALID_NAME: "." and ".." components, empty components (one final backslash is
// allowed where a folder is named), '/', control characters, < > : " | and, outside the last
// component of a find pattern, * and ?. Names of more than 255 units and paths of MAX_PATH
// units or more give ERROR_FILENAME_EXCED_RANGE (no more than MAX_PATH units are ever read).
// Symbolic links and special files in the root are never followed nor listed; naming one gives
// ERROR_ACCESS_DENIED (ERROR_PATH_NOT_FOUND as a folder of the path).
//
// Sharing is checked among the handles of this process; a file with an open handle cannot be
// deleted (ERROR_SHARING_VIOLATION). A file created read-only keeps the write access of the
// handle that created it.
#include <cstdint>

#include "platform/types.h"

namespace plat {

constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
constexpr uint32_t FILE_SHARE_READ = 1;
constexpr uint32_t FILE_SHARE_WRITE = 2;
constexpr uint32_t CREATE_NEW = 1;
constexpr uint32_t CREATE_ALWAYS = 2;
constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t OPEN_ALWAYS = 4;
constexpr uint32_t TRUNCATE_EXISTING = 5;

constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr uint32_t FILE_BEGIN = 0;
constexpr uint32_t FILE_CURRENT = 1;
constexpr uint32_t FILE_END = 2;
constexpr uint32_t INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

constexpr uint32_t MAX_PATH = 260;

// Further error codes of the file functions.
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_NO_MORE_FILES = 18;     // findNextFile after the last entry
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_NEGATIVE_SEEK = 131;    // setFilePointer before the file's start
constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
constexpr uint32_t ERROR_DIRECTORY = 267;        // a folder was expected

// 100-ns intervals since 1601-01-01 (UTC), as two 32-bit halves.
struct FileTime {
  uint32_t low;
  uint32_t high;
};

struct FindData {
  uint32_t attributes;
  FileTime created;
  FileTime accessed;
  FileTime written;
  uint32_t sizeHigh;
  uint32_t sizeLow;
  uint32_t objectId;
  char16_t name[MAX_PATH];
};
static_assert(sizeof(FindData) == 560, "the platform's find record");

Handle createFile(const char16_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t attributes);
bool readFile(Handle h, void* buffer, uint32_t length, uint32_t* done);
bool writeFile(Handle h, const void* buffer, uint32_t length, uint32_t* done);
// Returns the new position's low 32 bits, or INVALID_SET_FILE_POINTER with the last error set.
uint32_t setFilePointer(Handle h, int32_t distance, int32_t* distanceHigh, uint32_t method);
// Returns the size's low 32 bits (0xFFFFFFFF with the last error set on failure).
uint32_t getFileSize(Handle h, uint32_t* high);
bool flushFileBuffers(Handle h);
bool setEndOfFile(Handle h);
bool deleteFile(const char16_t* path);
uint32_t getFileAttributes(const char16_t* path);
bool setFileAttributes(const char16_t* path, uint32_t attributes);
// Created is kept as set; a host file never given one was created when it was last written.
bool getFileTime(Handle h, FileTime* created, FileTime* accessed, FileTime* written);
// Needs write access; a null or zero time is left as it is.
bool setFileTime(Handle h, const FileTime* created, const FileTime* accessed,
                 const FileTime* written);
bool createDirectory(const char16_t* path);
bool removeDirectory(const char16_t* path);
// Pattern: a folder path followed by a last component that may hold '*' and '?' (matched without
// regard to case; a final ".*" also matches names without an extension). Entries come sorted by
// name without regard to case; "." and ".." are not reported. No match: ERROR_FILE_NOT_FOUND;
// after the last entry findNextFile answers false with ERROR_NO_MORE_FILES.
Handle findFirstFile(const char16_t* pattern, FindData* data);
bool findNextFile(Handle h, FindData* data);
bool findClose(Handle h);
// Of the host file system that holds the file root; path names a folder (null: the root).
bool getDiskFreeSpaceEx(const char16_t* path, uint64_t* freeToCaller, uint64_t* total,
                        uint64_t* totalFree);

}  // namespace plat
