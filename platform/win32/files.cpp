// Spool files on Windows.
#include <windows.h>
#include <cstdio>

#include "platform/platform.h"

namespace kavro::platform {
namespace {

DWORD gLastError = 0;

bool failed() {
  gLastError = GetLastError();
  return false;
}

HANDLE handleOf(File file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

CreateStatus fileCreateNew(const char* path, File* file) {
  // CREATE_NEW fails on any name that exists, a symbolic link or junction
  // included. FILE_FLAG_OPEN_REPARSE_POINT keeps a reparse point from being
  // followed at all: without it a dangling link would have its target created.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *file = kInvalidFile;
    gLastError = GetLastError();
    return gLastError == ERROR_FILE_EXISTS || gLastError == ERROR_ALREADY_EXISTS ? CreateStatus::kExists
                                                                                 : CreateStatus::kFailed;
  }
  *file = reinterpret_cast<File>(handle);
  return CreateStatus::kCreated;
}

bool fileWrite(File file, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD piece = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD done = 0;
    if (!WriteFile(handleOf(file), bytes, piece, &done, nullptr)) return failed();
    if (done == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return failed();
    }
    bytes += done;
    size -= done;
  }
  return true;
}

bool fileClose(File file) { return CloseHandle(handleOf(file)) != FALSE || failed(); }

bool fileRemove(const char* path) { return DeleteFileA(path) != FALSE || failed(); }

int fileLastError() { return static_cast<int>(gLastError); }

void fileErrorText(int code, char* buffer, std::size_t capacity) {
  if (capacity == 0) return;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buffer, static_cast<DWORD>(capacity), nullptr);
  // The system's texts end in CR LF; the log line is one line.
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ')) --n;
  if (n == 0) {
    std::snprintf(buffer, capacity, "error %d", code);
    return;
  }
  buffer[n] = '\0';
}

}  // namespace kavro::platform
