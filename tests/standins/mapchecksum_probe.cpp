// Test aid: asks the system's MapFileAndCheckSumA about files, so that the
// checksums pe_pad.py writes are checked by the same call the installer uses.
//
//   mapchecksum_probe.exe OUTPUT FILE...
//
// Writes one line per FILE to OUTPUT: "<result> <header sum> <computed sum>"
// (decimal; result 0 is CHECKSUM_SUCCESS). Exit code 0, or 2 on bad usage.

#include <windows.h>
#include <imagehlp.h>

#include <string>
#include <vector>

#include "standin_util.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::vector<std::string> args = standin::SplitArgs(standin::CommandTail());
  if (args.size() < 2) return 2;
  std::string out;
  for (size_t i = 1; i < args.size(); ++i) {
    DWORD header = 0, computed = 0;
    DWORD rc = MapFileAndCheckSumA(args[i].c_str(), &header, &computed);
    char line[64];
    wsprintfA(line, "%lu %lu %lu\r\n", rc, header, computed);
    out += line;
  }
  return standin::WriteWholeFile(args[0], out.data(), static_cast<DWORD>(out.size())) ? 0 : 2;
}
