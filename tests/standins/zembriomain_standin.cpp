// Stand-in for the product's main application, installed as ZembrioMain.exe.
//
// Appends "<local time> pid <id> <command line>" to ran.txt beside itself and
// exits at once. With "--stay N" it keeps running for N seconds first, so that
// a running process of this name can be found and waited for.

#include <windows.h>

#include <string>
#include <vector>

#include "standin_util.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char pid[16];
  wsprintfA(pid, "%lu", GetCurrentProcessId());
  std::string line = standin::NowText() + " pid " + pid + " " + GetCommandLineA();
  if (!standin::AppendLine(standin::BesideModule("ran.txt"), line)) return 1;

  std::vector<std::string> args = standin::SplitArgs(standin::CommandTail());
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--stay") {
      DWORD seconds = 0;
      for (char c : args[i + 1]) {
        if (c < '0' || c > '9' || seconds > 86400) return 2;
        seconds = seconds * 10 + (c - '0');
      }
      Sleep(seconds * 1000);
    }
  }
  return 0;
}
