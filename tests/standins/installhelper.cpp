// Stand-in for the product's install helper.
//
//   installhelper.exe -silent -inputfile installhelpertasks.txt -logfile installhelperlog.txt
//
// The installer starts it with no working directory, so bare file names are
// taken beside this executable. Each task line is
//   program,arguments,start marker,success marker,failure marker,time limit (s)
// terminated by CR CR LF (any run of CRs before the LF is accepted).
//
// Per task, in order: start "program" arguments; create the start marker once
// the process runs; wait up to the limit; create the success marker for exit
// code 0, else the failure marker and stop. A program that cannot be started
// gets the failure marker but no start marker (it never started); a program
// still running at the limit gets the failure marker and is left running.
//
// ZEMBRIO_HELPER_MODE (inherited from the installer's environment):
//   nostart  exit at once, writing nothing
//   fail     first task: start marker, then failure marker; nothing is run
//   stall    first task: start marker, then wait (ZEMBRIO_HELPER_STALL_SECONDS,
//            default 3600) and exit without a result marker
//   both     run the tasks, then create both the failure and the success marker
//            for each, whatever the exit code
//
// ZEMBRIO_HELPER_RECORD names a file to which it appends its own path and its
// current folder, "<path>|<folder>", first thing (where it ran from outlives the
// folder it ran in).
//
// Exit code: 0 all tasks succeeded, 1 a task failed or timed out, 2 bad
// command line or task file.

#include <windows.h>

#include <string>
#include <vector>

#include "standin_util.h"

namespace {

enum class Mode { Normal, NoStart, Fail, Stall, Both };

struct Task {
  std::string program;
  std::string arguments;
  std::string startMarker;
  std::string successMarker;
  std::string failureMarker;
  DWORD limitSeconds = 0;
};

std::string g_logPath;

void Log(const std::string& text) {
  if (!g_logPath.empty()) standin::AppendLine(g_logPath, standin::NowText() + " " + text);
}

std::string Num(DWORD v) {
  char buf[16];
  wsprintfA(buf, "%lu", v);
  return buf;
}

Mode ModeFromEnvironment() {
  std::string m = standin::EnvVar("ZEMBRIO_HELPER_MODE");
  CharLowerA(&m[0]);
  if (m == "nostart") return Mode::NoStart;
  if (m == "fail") return Mode::Fail;
  if (m == "stall") return Mode::Stall;
  if (m == "both") return Mode::Both;
  return Mode::Normal;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = line.find(',', start);
    out.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

bool ParseSeconds(const std::string& text, DWORD& out) {
  if (text.empty() || text.size() > 7) return false;
  DWORD v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

// Parses the whole file before anything runs: a damaged file starts nothing.
// Fields are not quoted, so a path holding a comma gives a line that cannot be
// split reliably; it is refused rather than guessed at.
bool ParseTasks(const std::string& text, std::vector<Task>& tasks) {
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    ++lineNo;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> f = SplitFields(line);
    Task t;
    if (f.size() != 6 || f[0].empty() || f[2].empty() || f[3].empty() || f[4].empty() ||
        !ParseSeconds(f[5], t.limitSeconds)) {
      Log("task file line " + Num(lineNo) + " is malformed (" + Num(static_cast<DWORD>(f.size())) +
          " fields): " + line);
      return false;
    }
    t.program = f[0];
    t.arguments = f[1];
    t.startMarker = f[2];
    t.successMarker = f[3];
    t.failureMarker = f[4];
    tasks.push_back(t);
  }
  return true;
}

void Mark(const std::string& path, const std::string& what) {
  std::string body = what + "\r\n";
  if (standin::WriteWholeFile(path, body.data(), static_cast<DWORD>(body.size())))
    Log("marker " + path);
  else
    Log("cannot create marker " + path + " error " + Num(GetLastError()));
}

// Returns true when the task succeeded.
bool RunTask(const Task& t, Mode mode) {
  std::string cmd = "\"" + t.program + "\"";
  if (!t.arguments.empty()) cmd += " " + t.arguments;
  Log("starting " + cmd);

  std::string dir = standin::DirName(t.program);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::vector<char> cmdBuf(cmd.begin(), cmd.end());
  cmdBuf.push_back('\0');
  if (!CreateProcessA(t.program.c_str(), cmdBuf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
    Log("cannot start " + t.program + " error " + Num(GetLastError()));
    Mark(t.failureMarker, "not started");
    return false;
  }
  CloseHandle(pi.hThread);
  Mark(t.startMarker, "started pid " + Num(pi.dwProcessId));

  DWORD wait = t.limitSeconds == 0 ? INFINITE : t.limitSeconds * 1000;
  DWORD waited = WaitForSingleObject(pi.hProcess, wait);
  if (waited != WAIT_OBJECT_0) {
    // Killing a set-up program half-way would do more harm than leaving it.
    Log("no exit within " + Num(t.limitSeconds) + " s (wait result " + Num(waited) + ")");
    CloseHandle(pi.hProcess);
    Mark(t.failureMarker, "timed out");
    if (mode != Mode::Both) return false;
    Mark(t.successMarker, "timed out");
    return true;
  }
  DWORD code = 1;
  if (!GetExitCodeProcess(pi.hProcess, &code)) code = GetLastError() | 0x80000000u;
  CloseHandle(pi.hProcess);
  Log("exit code " + Num(code));

  if (mode == Mode::Both) {
    // Failure first: whenever the success marker exists, so does the other.
    Mark(t.failureMarker, "exit code " + Num(code));
    Mark(t.successMarker, "exit code " + Num(code));
    return true;
  }
  if (code == 0) {
    Mark(t.successMarker, "exit code 0");
    return true;
  }
  Mark(t.failureMarker, "exit code " + Num(code));
  return false;
}

int Run() {
  std::string record = standin::EnvVar("ZEMBRIO_HELPER_RECORD");
  if (!record.empty()) {
    char self[MAX_PATH] = "", here[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, here);
    standin::AppendLine(record, std::string(self) + "|" + here);
  }
  Mode mode = ModeFromEnvironment();
  if (mode == Mode::NoStart) return 0;

  std::vector<std::string> args = standin::SplitArgs(standin::CommandTail());
  std::string inputName, logName = "installhelperlog.txt";
  bool silent = false, usageError = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (lstrcmpiA(a.c_str(), "-silent") == 0) {
      silent = true;
    } else if (lstrcmpiA(a.c_str(), "-inputfile") == 0 && i + 1 < args.size()) {
      inputName = args[++i];
    } else if (lstrcmpiA(a.c_str(), "-logfile") == 0 && i + 1 < args.size()) {
      logName = args[++i];
    } else {
      usageError = true;
    }
  }
  g_logPath = standin::BesideModule(logName);
  Log("install helper started: " + standin::CommandTail());
  if (usageError || inputName.empty()) {
    Log("usage: -silent -inputfile FILE -logfile FILE");
    return 2;
  }
  if (!silent) Log("-silent not given; running silently anyway");

  std::string inputPath = standin::BesideModule(inputName);
  std::string text;
  if (!standin::ReadWholeFile(inputPath, text, 1 << 20)) {
    Log("cannot read task file " + inputPath + " error " + Num(GetLastError()));
    return 2;
  }
  std::vector<Task> tasks;
  if (!ParseTasks(text, tasks)) return 2;
  Log("task file " + inputPath + ": " + Num(static_cast<DWORD>(tasks.size())) + " task(s)");
  if (tasks.empty()) return 0;

  if (mode == Mode::Fail) {
    Log("mode fail: not running " + tasks[0].program);
    Mark(tasks[0].startMarker, "started (mode fail)");
    Mark(tasks[0].failureMarker, "failed (mode fail)");
    return 1;
  }
  if (mode == Mode::Stall) {
    DWORD seconds = standin::EnvSeconds("ZEMBRIO_HELPER_STALL_SECONDS", 3600);
    Log("mode stall: " + Num(seconds) + " s");
    Mark(tasks[0].startMarker, "started (mode stall)");
    Sleep(seconds * 1000);
    Log("stall over, exiting without a result");
    return 1;
  }

  for (const Task& t : tasks) {
    if (!RunTask(t, mode)) {
      Log("stopping after a failed task");
      return 1;
    }
  }
  Log("all tasks succeeded");
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return Run(); }
