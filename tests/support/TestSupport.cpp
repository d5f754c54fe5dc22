#include "TestSupport.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

static const char kTestRoot[] = "Software\\ZembrioTests";

void RemoveKey(HKEY parent, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        char name[256];
        while (RegEnumKeyA(key, 0, name, sizeof name) == ERROR_SUCCESS)
            RemoveKey(key, name);
        RegCloseKey(key);
    }
    RegDeleteKeyA(parent, path.c_str());
}

RegistrySandbox::RegistrySandbox()
{
    static int counter;
    m_strRoot = std::string(kTestRoot) + "\\" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    RegCreateKeyExA(HKEY_CURRENT_USER, (m_strRoot + "\\user").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &m_hUser, nullptr);
    RegCreateKeyExA(HKEY_CURRENT_USER, (m_strRoot + "\\machine").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &m_hMachine, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_hMachine);
}

void RegistrySandbox::Suspend()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
}

void RegistrySandbox::Resume()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_hMachine);
}

RegistrySandbox::~RegistrySandbox()
{
    Suspend();
    RegCloseKey(m_hUser);
    RegCloseKey(m_hMachine);
    RemoveKey(HKEY_CURRENT_USER, m_strRoot);
}

ScratchFolder::ScratchFolder()
{
    static int counter;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    m_strPath = std::string(temp) + "zembrio-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++counter);
    DeleteTree(m_strPath);
    CreateDirectoryA(m_strPath.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    DeleteTree(m_strPath);
}

bool WriteTextFile(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DeleteTree(const std::string& path)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            // A link is removed by its UnixLink, never followed.
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

// Wine's own exports: the Unix name of a Windows path, and a Unix program run.
typedef char*(CDECL* UnixFileNameProc)(LPCWSTR);
typedef LONG(CDECL* UnixSpawnProc)(char* const argv[], int wait);

static std::string UnixName(const std::string& path)
{
    static UnixFileNameProc unixName =
        (UnixFileNameProc)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    // The parent's name and the last part as it is: that part may not exist.
    size_t cut = path.rfind('\\');
    WCHAR wide[MAX_PATH];
    if (!unixName || cut == std::string::npos ||
        !MultiByteToWideChar(CP_ACP, 0, path.substr(0, cut + 1).c_str(), -1, wide, MAX_PATH))
        return "";
    char* parent = unixName(wide);
    if (!parent)
        return "";
    std::string out = std::string(parent) + "/" + path.substr(cut + 1);
    HeapFree(GetProcessHeap(), 0, parent);
    return out;
}

static bool RunUnix(std::vector<std::string> args)
{
    static UnixSpawnProc spawn = (UnixSpawnProc)GetProcAddress(GetModuleHandleA("ntdll.dll"), "__wine_unix_spawnvp");
    if (!spawn)
        return false;
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return spawn(argv.data(), 1) == 0;
}

UnixLink::UnixLink(const std::string& target, const std::string& link) : m_strLink(link)
{
    std::string unixTarget = UnixName(target);
    m_strUnixLink = UnixName(link);
    if (!unixTarget.empty() && !m_strUnixLink.empty())
        RunUnix({"ln", "-sfn", unixTarget, m_strUnixLink});
}

UnixLink::~UnixLink()
{
    if (!m_strUnixLink.empty())
        RunUnix({"rm", "-f", m_strUnixLink});
}

bool UnixLink::Made() const
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(m_strLink.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void PlantString(HKEY root, const std::string& path, const char* name, const std::string& value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (name)
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
    RegCloseKey(key);
}

void MakeFolders(const std::string& path)
{
    for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
}

void PlantVersionDll(const char* version, const std::string& target)
{
    std::string name = version;
    for (char& c : name)
        if (c == '.')
            c = '_';
    std::string source = std::string(ZEMBRIO_VERSION_DLL_DIR) + "/version_" + name + ".dll";
    MakeFolders(target.substr(0, target.rfind('\\')));
    ASSERT_TRUE(CopyFileA(source.c_str(), target.c_str(), FALSE)) << source;
}

std::string g_testTempPath;

DWORD TestTempPath(DWORD size, LPSTR buffer)
{
    if (g_testTempPath.empty() || g_testTempPath.size() + 1 > size)
        return g_testTempPath.empty() ? 0 : (DWORD)g_testTempPath.size() + 1;
    strcpy(buffer, g_testTempPath.c_str());
    return (DWORD)g_testTempPath.size();
}

static OSVERSIONINFOA s_os;
static BOOL s_osKnown = TRUE;

void ActAs(DWORD platform, DWORD major, DWORD minor, BOOL known)
{
    s_os = {};
    s_os.dwOSVersionInfoSize = sizeof s_os;
    s_os.dwPlatformId = platform;
    s_os.dwMajorVersion = major;
    s_os.dwMinorVersion = minor;
    s_osKnown = known;
}

BOOL WINAPI TestGetVersionEx(OSVERSIONINFOA* info)
{
    *info = s_os;
    return s_osKnown;
}
