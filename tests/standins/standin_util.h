// Small Win32 helpers shared by the stand-in programs. Header-only so that
// each stand-in stays one translation unit with no library of its own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace standin {

// Folder of the running executable, without a trailing backslash.
inline std::string ModuleDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".";
  std::string s(path, n);
  size_t slash = s.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : s.substr(0, slash);
}

// Folder part of a path ("" when the path has none).
inline std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A bare file name lies beside the executable; anything with a folder or
// drive stays as given.
inline std::string BesideModule(const std::string& name) {
  if (name.find_first_of("\\/:") != std::string::npos) return name;
  return ModuleDir() + "\\" + name;
}

inline std::string EnvVar(const char* name) {
  char buf[256];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return std::string();
  return std::string(buf, n);
}

// Non-negative decimal number of seconds from an environment variable.
inline DWORD EnvSeconds(const char* name, DWORD fallback) {
  std::string s = EnvVar(name);
  if (s.empty() || s.size() > 7) return fallback;
  DWORD v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return fallback;
    v = v * 10 + (c - '0');
  }
  return v;
}

inline bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The command line after the program's own name, leading blanks removed and
// the rest kept byte for byte (quotes included).
inline std::string CommandTail() {
  const char* p = GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return std::string(p);
}

// Blank-separated words; double quotes group blanks and are dropped.
inline std::vector<std::string> SplitArgs(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  bool inQuotes = false, have = false;
  for (char c : text) {
    if (c == '"') {
      inQuotes = !inQuotes;
      have = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (have) out.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur += c;
      have = true;
    }
  }
  if (have) out.push_back(cur);
  return out;
}

inline std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

inline std::string NowText() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char buf[32];
  wsprintfA(buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
            t.wMinute, t.wSecond, t.wMilliseconds);
  return buf;
}

// Appends one line (CR LF added). Opened for append only, so lines from
// several processes never overwrite each other.
inline bool AppendLine(const std::string& path, const std::string& line) {
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::string data = line + "\r\n";
  DWORD written = 0;
  BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == data.size();
}

inline bool WriteWholeFile(const std::string& path, const void* data, DWORD size) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = size == 0 || WriteFile(h, data, size, &written, nullptr);
  BOOL closed = CloseHandle(h);
  return ok && closed && written == size;
}

inline bool ReadWholeFile(const std::string& path, std::string& out, DWORD limit) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(h, nullptr);
  bool ok = size != INVALID_FILE_SIZE && size <= limit;
  if (ok) {
    out.assign(size, '\0');
    DWORD got = 0;
    ok = size == 0 || (ReadFile(h, &out[0], size, &got, nullptr) && got == size);
  }
  CloseHandle(h);
  return ok;
}

// Creates every missing folder of an absolute path.
inline bool MakeDirs(const std::string& path) {
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    }
  }
  return true;
}

// Writes an RCDATA resource of this executable to a file.
inline bool WriteResourceToFile(int id, const std::string& path) {
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  if (!res) return false;
  HGLOBAL mem = LoadResource(nullptr, res);
  DWORD size = SizeofResource(nullptr, res);
  const void* data = mem ? LockResource(mem) : nullptr;
  if (!data || size == 0) return false;
  return WriteWholeFile(path, data, size);
}

}  // namespace standin
