// Stand-in for the .NET Framework 2.0 installer ("dotnetfx.exe").
//
//   dotnetfx.exe /q:a /c:"install /l /q"
//
// Leaves what the installer's detection looks for: the key
// HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v2.0.50727 with "Install"=1
// (and "Version"), and <Windows>\Microsoft.NET\Framework\v2.0.50727\mscorlib.dll
// carrying file version 2.0.50727.42 (a resource-only DLL, RCDATA 102).
//
// Exit codes: 0 installed; 5 ZEMBRIO_DOTNET_MODE=fail (nothing installed);
// 4 arguments other than the quiet ones; 6 registry or file could not be
// written. ZEMBRIO_DOTNET_SECONDS=N makes it take N seconds first.

#include <windows.h>

#include <string>

#include "standin_util.h"

namespace {

const int kMscorlibResource = 102;
const char kVersionKey[] = "SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";

bool WriteNdpKey() {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  DWORD one = 1;
  const char version[] = "2.0.50727.42";
  bool ok = RegSetValueExA(key, "Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                           sizeof one) == ERROR_SUCCESS &&
            RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                           sizeof version) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (standin::TrimRight(standin::CommandTail()) != "/q:a /c:\"install /l /q\"") return 4;
  std::string mode = standin::EnvVar("ZEMBRIO_DOTNET_MODE");
  if (lstrcmpiA(mode.c_str(), "fail") == 0) return 5;
  Sleep(standin::EnvSeconds("ZEMBRIO_DOTNET_SECONDS", 0) * 1000);

  char windows[MAX_PATH];
  UINT n = GetWindowsDirectoryA(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 6;
  std::string folder = std::string(windows) + "\\Microsoft.NET\\Framework\\v2.0.50727";
  if (!standin::MakeDirs(folder)) return 6;
  if (!standin::WriteResourceToFile(kMscorlibResource, folder + "\\mscorlib.dll")) return 6;
  if (!WriteNdpKey()) return 6;
  return 0;
}
