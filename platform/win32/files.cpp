// Exclusive file creation for spooled uploads.
#include <windows.h>

#include "platform/platform.h"

namespace kavro::platform {

CreateStatus createNewFile(const char* path, const void* data, std::size_t size) {
  // CREATE_NEW fails on any name that exists, a symbolic link or junction
  // included. FILE_FLAG_OPEN_REPARSE_POINT keeps a reparse point from being
  // followed at all: without it a dangling link would have its target created.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateStatus::kExists
                                                                       : CreateStatus::kFailed;
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD piece = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD done = 0;
    // Write errors are not detected by the caller, as with fwrite.
    if (!WriteFile(file, bytes, piece, &done, nullptr) || done == 0) break;
    bytes += done;
    size -= done;
  }
  CloseHandle(file);
  return CreateStatus::kCreated;
}

}  // namespace kavro::platform
