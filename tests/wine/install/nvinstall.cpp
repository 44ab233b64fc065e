// nvinstall.exe: installs the Wine suite's virtual bus and offers the
// driver's own INF to Plug and Play.
//
// Usage: nvinstall.exe BUS.INF NORVUSB.INF
//   1. NORVUSB.INF (win32/norvusb.inf as shipped, with norvusb.sys in x86\ or
//      x64\ beside it)
//      goes into the system's INF folder (SetupCopyOEMInf): Wine's Plug and
//      Play manager finds it there when the bus reports a bridge.
//   2. The root-enumerated device ROOT\NorvWineBus is registered (SetupDi),
//      and UpdateDriverForPlugAndPlayDevices installs BUS.INF on it, which
//      loads and starts nvbus.sys.
//   3. Waits until the bus's control device opens.
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

const wchar_t kHardwareId[] = L"ROOT\\NorvWineBus\0";

int Fail(const char *what) {
  std::fprintf(stderr, "nvinstall: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

std::wstring FullPath(const char *path) {
  wchar_t wide[MAX_PATH], full[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);
  GetFullPathNameW(wide, MAX_PATH, full, nullptr);
  return full;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: nvinstall BUS.INF NORVUSB.INF\n");
    return 2;
  }
  const std::wstring busInf = FullPath(argv[1]);
  const std::wstring driverInf = FullPath(argv[2]);

  wchar_t copied[MAX_PATH] = {};
  if (!SetupCopyOEMInfW(driverInf.c_str(), nullptr, SPOST_PATH, 0, copied, MAX_PATH, nullptr, nullptr)) {
    return Fail("SetupCopyOEMInf");
  }
  std::printf("nvinstall: %ls is %ls\n", driverInf.c_str(), copied);
  // Wine rewrites an installed INF's recorded source (its .pnf) to the INF
  // folder when it installs the first device from it, and then looks for the
  // files of every later device there (docs/wine.md): the driver files go
  // beside the installed INF too.
  const std::wstring from = driverInf.substr(0, driverInf.find_last_of(L'\\') + 1);
  const std::wstring to = std::wstring(copied).substr(0, std::wstring(copied).find_last_of(L'\\') + 1);
  // Each architecture's image is in a folder of its own, as the package has it.
  for (const wchar_t *folder : {L"x86\\", L"x64\\"}) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + folder + L"*.sys").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    CreateDirectoryW((to + folder).c_str(), nullptr);
    do {
      if (!CopyFileW((from + folder + found.cFileName).c_str(), (to + folder + found.cFileName).c_str(), FALSE)) {
        return Fail("CopyFile");
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }

  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {sizeof device};
  if (!SetupDiCreateDeviceInfoW(set, L"ROOT\\NorvWineBus\\0000", &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0, &device)) {
    return Fail("SetupDiCreateDeviceInfo");
  }
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)kHardwareId,
                                         sizeof kHardwareId + sizeof(wchar_t))) {
    return Fail("SetupDiSetDeviceRegistryProperty");
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return Fail("DIF_REGISTERDEVICE");
  SetupDiDestroyDeviceInfoList(set);

  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"ROOT\\NorvWineBus", busInf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
    return Fail("UpdateDriverForPlugAndPlayDevices");
  }

  for (int i = 0; i < 300; ++i) {
    HANDLE bus = CreateFileW(L"\\\\.\\NorvWineBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus != INVALID_HANDLE_VALUE) {
      CloseHandle(bus);
      std::printf("nvinstall: the bus is up\n");
      return 0;
    }
    Sleep(100);
  }
  return Fail("opening \\\\.\\NorvWineBus");
}
