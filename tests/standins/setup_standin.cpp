// Stand-in for the product's set-up program ("setup.exe" and "setupm.exe").
//
//   setup.exe /s /v"/qn"
//
// Installs the main-application stand-in (carried as RCDATA 101) as
// <Program Files>\Zembrio\Zembrio\ZembrioMain.exe and records the folder under
// HKCU\Software\Zembrio "ZembrioAppPath", as the product's set-up does.
//
// Exit codes: 0 installed; 3 ZEMBRIO_SETUP_MODE=fail (nothing installed);
// 4 arguments other than the silent ones (an interactive run would wait for
// a user who is not there); 6 the files or the registry value could not be
// written. ZEMBRIO_SETUP_SECONDS=N makes it take N seconds first.

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "standin_util.h"

namespace {

const int kMainAppResource = 101;

bool SetAppPath(const std::string& folder) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Zembrio", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG r = RegSetValueExA(key, "ZembrioAppPath", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(folder.c_str()),
                          static_cast<DWORD>(folder.size() + 1));
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (standin::TrimRight(standin::CommandTail()) != "/s /v\"/qn\"") return 4;
  std::string mode = standin::EnvVar("ZEMBRIO_SETUP_MODE");
  if (lstrcmpiA(mode.c_str(), "fail") == 0) return 3;
  Sleep(standin::EnvSeconds("ZEMBRIO_SETUP_SECONDS", 0) * 1000);

  char programFiles[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT,
                              programFiles)))
    return 6;
  std::string folder = std::string(programFiles) + "\\Zembrio\\Zembrio";
  if (!standin::MakeDirs(folder)) return 6;
  if (!standin::WriteResourceToFile(kMainAppResource, folder + "\\ZembrioMain.exe")) return 6;
  if (!SetAppPath(folder)) return 6;
  return 0;
}
