// The C++ library's file buffer asks msvcrt.dll for _fstat64, which the
// msvcrt.dll of Windows 98 does not export (it came with later versions):
// importing it would keep the program from loading there at all. The
// program opens no C++ file stream, so the routine is answered here from
// _fstati64, which every msvcrt.dll has: the same record with 32-bit times.
#include <sys/stat.h>

namespace {

int __cdecl Fstat64(int fd, struct _stat64 *status) {
  struct _stati64 old;
  const int result = _fstati64(fd, &old);
  if (result == 0) {
    status->st_dev = old.st_dev;
    status->st_ino = old.st_ino;
    status->st_mode = old.st_mode;
    status->st_nlink = old.st_nlink;
    status->st_uid = old.st_uid;
    status->st_gid = old.st_gid;
    status->st_rdev = old.st_rdev;
    status->st_size = old.st_size;
    status->st_atime = old.st_atime;
    status->st_mtime = old.st_mtime;
    status->st_ctime = old.st_ctime;
  }
  return result;
}

}  // namespace

// The import slot the library's call goes through (__imp___fstat64): defined
// here, the linker takes it before msvcrt.dll's.
extern "C" {
int(__cdecl *_imp___fstat64)(int, struct _stat64 *) = Fstat64;
}

// The C++ library's threads (gcc's win32 thread model) make each mutex's
// semaphore with CreateSemaphoreW, which Windows 98 exports only as a stub
// that fails. The library never names one, so the ANSI routine, which every
// system has, does the same work.
#include <windows.h>

namespace {

HANDLE WINAPI CreateSemaphoreNamelessW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateSemaphoreA(attributes, initial, maximum, nullptr);
}

}  // namespace

extern "C" {
void *createSemaphoreSlot __asm__("__imp__CreateSemaphoreW@16") = reinterpret_cast<void *>(CreateSemaphoreNamelessW);
}
