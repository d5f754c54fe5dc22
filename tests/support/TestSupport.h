// Helpers shared by the unit tests: a private registry, scratch folders and
// an application object to hang the installer's services on.
#pragma once
#include <windows.h>
#include <string>

// Redirects HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE of this process to fresh
// keys under HKCU\Software\ZembrioTests for the life of the object, so tests
// can plant and read values without touching the real profile.
class RegistrySandbox {
public:
    RegistrySandbox();
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
    // The real registry until Resume, for what must be read where the
    // system keeps it.
    void Suspend();
    void Resume();

private:
    HKEY m_hUser = nullptr;
    HKEY m_hMachine = nullptr;
    std::string m_strRoot;
};

// A fresh folder under the temp folder, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "\\" + name; }

private:
    std::string m_strPath;
};

// Creates every key of a path under a root and sets one string value (none
// where name is null); removes a key with the keys below it.
void PlantString(HKEY root, const std::string& path, const char* name, const std::string& value);
void RemoveKey(HKEY root, const std::string& path);
// Makes every folder of a path.
void MakeFolders(const std::string& path);
// Copies a built resource-only library of that file version (one of those
// tests/CMakeLists.txt makes) to a place a check reads.
void PlantVersionDll(const char* version, const std::string& target);

bool WriteTextFile(const std::string& path, const std::string& bytes);
std::string ReadTextFile(const std::string& path);
bool FileExists(const std::string& path);
void DeleteTree(const std::string& path);

// A symbolic link made from the Linux side, which Wine reports with
// FILE_ATTRIBUTE_REPARSE_POINT, as Windows reports a junction or a symbolic
// link: Wine 8 makes neither itself (CreateSymbolicLinkA does nothing,
// FSCTL_SET_REPARSE_POINT is not supported). Wine shows only a link to a
// folder so; one to a file looks like the file, a dangling one is not seen.
// The link, never its target, goes with the object.
class UnixLink {
public:
    UnixLink(const std::string& target, const std::string& link);
    ~UnixLink();
    UnixLink(const UnixLink&) = delete;
    UnixLink& operator=(const UnixLink&) = delete;
    bool Made() const;

private:
    std::string m_strLink;
    std::string m_strUnixLink;
};

// The system's answers the product asks for through its seams, as the test
// sets them. The temp path with GetTempPathA's contract: the length without
// the zero, the size needed where the buffer is too small, a failure (0)
// where the path is empty.
extern std::string g_testTempPath;
DWORD TestTempPath(DWORD size, LPSTR buffer);
// The Windows version GetVersionExA gives: the one ActAs set, or a failed
// call where known is false.
void ActAs(DWORD platform, DWORD major, DWORD minor, BOOL known = TRUE);
BOOL WINAPI TestGetVersionEx(OSVERSIONINFOA* info);

// Polls a condition every 20 ms until it holds (true) or ms have passed.
template <class Condition>
bool WaitUntil(Condition done, DWORD ms)
{
    for (DWORD started = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - started > ms)
            return false;
    return true;
}

// A seam (a global the product calls through) replaced for the life of the
// object: the original comes back on every way out of the test, a failed
// ASSERT included, so no fake is left in place for the tests after it.
template <class T>
class ScopedSeam {
public:
    template <class U>
    ScopedSeam(T& seam, U replacement) : m_seam(seam), m_saved(seam)
    {
        seam = replacement;
    }
    ~ScopedSeam() { m_seam = m_saved; }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;

private:
    T& m_seam;
    T m_saved;
};
