// Test aid: asks the system's WinVerifyTrust about files, so that what the
// build signs is checked by the call the installer relies on.
//
//   wintrust_probe.exe OUTPUT FILE...
//
// Writes one line per FILE to OUTPUT: the result as 8 hex digits (00000000
// is success; 800B0100 TRUST_E_NOSIGNATURE, 80096010 TRUST_E_BAD_DIGEST,
// 800B0109 CERT_E_UNTRUSTEDROOT). Exit code 0, or 2 on bad usage.

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>
#include <vector>

#include "standin_util.h"

static LONG Verify(const std::string& path) {
  std::wstring wide(path.size() + 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = wide.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::vector<std::string> args = standin::SplitArgs(standin::CommandTail());
  if (args.size() < 2) return 2;
  std::string out;
  for (size_t i = 1; i < args.size(); ++i) {
    char line[32];
    wsprintfA(line, "%08lX\r\n", static_cast<unsigned long>(Verify(args[i])));
    out += line;
  }
  return standin::WriteWholeFile(args[0], out.data(), static_cast<DWORD>(out.size())) ? 0 : 2;
}
