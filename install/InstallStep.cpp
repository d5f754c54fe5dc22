#include "install/InstallStep.h"
#include <cstdlib>
#include <cstring>
#include <sddl.h>
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "install/TaskFile.h"
#include "report/EventReporter.h"

const char kInstallStepSwitch[13] = "-installstep";

// The helper's own limits are 30 s to each start and 900 s and 240 s to the
// results; the window gives up after those, the step a while later.
DWORD g_dwInstallStepHelperLimit = 1500 * 1000;

static const char kFolderPrefix[] = "Zembrio-";

std::string FormatInstallStep(const InstallStepRequest& request)
{
    return Format("%s \"%s\" %s %lu%s %s", kInstallStepSwitch, request.workingFolder.c_str(),
                  request.folderName.c_str(), request.serial, request.dotNet ? " dotnetfx.exe" : "", request.setup);
}

// Read leniently, then held to the one form the window writes: the line
// must come out of FormatInstallStep again byte for byte.
bool ParseInstallStep(const char* tail, InstallStepRequest& request)
{
    request = InstallStepRequest();
    if (strncmp(tail, "-installstep \"", 14) != 0)
        return false;
    const char* start = tail + 14;
    const char* quote = strchr(start, '"');
    if (!quote)
        return false;
    request.workingFolder.assign(start, quote);
    std::string words[4];
    int count = 0;
    for (const char* at = quote + 1; *at && count < 4;) {
        at += strspn(at, " ");
        size_t length = strcspn(at, " ");
        if (length)
            words[count++].assign(at, length);
        at += length;
    }
    const std::string& folder = request.workingFolder;
    const std::string& name = words[0];
    const InstallTask* setup = count < 3 ? nullptr : FindInstallTask(words[count - 1]);
    // An absolute path of a drive; a name of "Zembrio-" and 16 hex digits;
    // a set-up last.
    if (!setup || setup->seconds == 900 || folder.size() < 4 || folder[1] != ':' || folder[2] != '\\' ||
        folder.find_first_of("\r\n") != std::string::npos || name.size() != 24 ||
        name.compare(0, 8, kFolderPrefix) != 0 || strspn(name.c_str() + 8, "0123456789abcdef") != 16)
        return false;
    request.folderName = name;
    request.serial = strtoul(words[1].c_str(), nullptr, 10);
    request.dotNet = count == 4;
    request.setup = setup->program;
    return FormatInstallStep(request) == tail;
}

std::string NewInstallFolderName()
{
    // RtlGenRandom: the system's random source, in every Windows that has
    // the installation step, looked up because Windows 98 lacks it.
    BOOLEAN(WINAPI * random)(PVOID, ULONG);
    unsigned char bytes[8];
    if (!ResolveFunction(LoadSystemLibrary("advapi32.dll"), "SystemFunction036", random) ||
        !random(bytes, sizeof bytes))
        return "";
    std::string name = kFolderPrefix;
    for (unsigned char byte : bytes)
        name += Format("%02x", byte);
    return name;
}

const char* InstallStepError(DWORD exitCode, int& category)
{
    static const struct {
        const char* name;
        int category;
    } kErrors[] = {
        {nullptr, 0},
        {"installstepbadrequest", CategoryGeneral},
        {"cantcreateinstallfolder", CategoryPermissions},
        {"releasefilechanged", CategoryFileIO},
        {"componentchanged", CategoryFileIO},
        {"cantcopytoinstallfolder", CategoryPermissions},
        {"cantwritetaskstoinstallfolder", CategoryPermissions},
        {"cantlaunchinstallhelper", CategoryGeneral},
        {nullptr, 0},
    };
    DWORD outcome = exitCode & 0xFF;
    category = CategoryGeneral;
    if (!IsInstallStepCode(exitCode) || outcome >= sizeof kErrors / sizeof kErrors[0]) {
        // Not the step's own ending: it crashed, or was ended from outside.
        static char text[32];
        wsprintfA(text, "installstepexitcode%lX", exitCode);
        return text;
    }
    category = kErrors[outcome].category;
    return kErrors[outcome].name;
}

PSECURITY_DESCRIPTOR MakeInstallFolderDescriptor()
{
    // P: nothing inherited; OICI: files and folders made inside take the
    // same entries; 0x1200A9: read, list and execute.
    static const char kDescriptor[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    BOOL(WINAPI * convert)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ResolveFunction(LoadSystemLibrary("advapi32.dll"), "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                         convert) ||
        !convert(kDescriptor, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

// A new folder, never one that is there already (made by another user, or
// a link to elsewhere), with the protected descriptor.
static bool MakeFolder(const std::string& folder)
{
    PSECURITY_DESCRIPTOR descriptor = MakeInstallFolderDescriptor();
    if (!descriptor)
        return false;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    BOOL made = CreateDirectoryA(folder.c_str(), &attributes);
    LocalFree(descriptor);
    DWORD kind = GetFileAttributesA(folder.c_str());
    return made && kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY) &&
           !(kind & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Everything in the folder, then the folder; a link inside is removed, not
// followed.
static void RemoveFolder(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(InFolder(folder, "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string path = InFolder(folder, found.cFileName);
            DWORD kind = found.dwFileAttributes;
            if (!(kind & FILE_ATTRIBUTE_DIRECTORY)) {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            } else if (kind & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveDirectoryA(path.c_str());
            } else if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, "..")) {
                RemoveFolder(path);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

// release.txt as the window left it, checked again: the working folder is
// the visitor's, so its copy is trusted only as far as it verifies.
static bool ReadRelease(const std::string& path, const ReleaseKey* keys, size_t keyCount, DWORD minimumSerial,
                        Release& release)
{
    char text[kReleaseFileMaximum + 1];
    DWORD got = 0;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOL read = ReadFile(file, text, sizeof text, &got, nullptr);
    CloseHandle(file);
    std::string detail;
    return read && got <= kReleaseFileMaximum &&
           CheckRelease(std::string(text, got), keys, keyCount, minimumSerial, release, detail) == ReleaseAccepted;
}

// The copy is hashed as it is written: the bytes the helper runs are the
// bytes checked, whatever happens to the source meanwhile. A source that is
// a link, or of another length, is not read at all.
static InstallStepOutcome CopyChecked(HANDLE in, HANDLE out, const ReleaseEntry& entry)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || info.nFileSizeHigh ||
        info.nFileSizeLow != entry.size)
        return StepComponentChanged;
    Sha256Context hash;
    char buffer[32768];
    UINT total = 0;
    DWORD got, put;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got && (total += got) <= entry.size) {
        hash.Update(buffer, got);
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got)
            return StepCantCopy;
    }
    Sha256Digest digest = hash.Final();
    return total == entry.size && !memcmp(digest.bytes, entry.sha256.bytes, 32) ? StepHelperEnded
                                                                                : StepComponentChanged;
}

static InstallStepOutcome CopyComponent(const std::string& from, const std::string& to, const ReleaseEntry* entry)
{
    if (!entry)
        return StepReleaseChanged;
    HANDLE in = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return StepComponentChanged;
    HANDLE out = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    InstallStepOutcome outcome = out == INVALID_HANDLE_VALUE ? StepCantCopy : CopyChecked(in, out, *entry);
    CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE && !CloseHandle(out) && outcome == StepHelperEnded)
        outcome = StepCantCopy;
    if (outcome != StepHelperEnded)
        DeleteFileA(to.c_str());
    return outcome;
}

// The folder made, the rest of the step: copies, task file, helper.
static InstallStepOutcome FillAndRun(const InstallStepRequest& request, const std::string& folder,
                                     const ReleaseKey* keys, size_t keyCount, DWORD minimumSerial, DWORD& markers)
{
    const std::string& work = request.workingFolder;
    Release release;
    if (!ReadRelease(InFolder(work, "release.txt"), keys, keyCount,
                     request.serial > minimumSerial ? request.serial : minimumSerial, release))
        return StepReleaseChanged;
    const char* const names[] = {"installhelper.exe", request.setup, request.dotNet ? "dotnetfx.exe" : nullptr};
    for (const char* name : names) {
        InstallStepOutcome outcome =
            name ? CopyComponent(InFolder(work, name), InFolder(folder, name), release.Find(name)) : StepHelperEnded;
        if (outcome != StepHelperEnded)
            return outcome;
    }

    std::string lineFolder, written;
    CFile tasks;
    if (!TaskLineFolder(folder, lineFolder) ||
        !tasks.Open(InFolder(folder, kTaskFile).c_str(), CFile::modeCreate | CFile::modeCreateFresh | CFile::modeWrite))
        return StepCantWriteTasks;
    if ((request.dotNet && !WriteTaskLine(tasks, lineFolder, *FindInstallTask("dotnetfx.exe"), written)) ||
        !WriteTaskLine(tasks, lineFolder, *FindInstallTask(request.setup), written))
        return StepCantWriteTasks;
    tasks.Close();

    // By its full quoted path, its folder the current one: the helper finds
    // its files by bare name, and loads nothing from the visitor's folders.
    std::string helper = InFolder(folder, names[0]);
    std::string command = Format("\"%s\" %s", helper.c_str(), kHelperArguments);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(helper.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process))
        return StepCantStartHelper;
    CloseHandle(process.hThread);
    DWORD waited = WaitForSingleObject(process.hProcess, g_dwInstallStepHelperLimit);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 6; i++)
        if (GetFileAttributesA(InFolder(folder, kMarkerNames[i]).c_str()) != INVALID_FILE_ATTRIBUTES)
            markers |= 1u << i;
    return waited == WAIT_TIMEOUT ? StepHelperStillRunning : StepHelperEnded;
}

DWORD RunInstallStep(const InstallStepRequest& request, const std::string& parent, const ReleaseKey* keys,
                     size_t keyCount, DWORD minimumSerial)
{
    std::string folder = InFolder(parent, request.folderName.c_str());
    DWORD markers = 0;
    InstallStepOutcome outcome = StepCantMakeFolder;
    if (MakeFolder(folder)) {
        outcome = FillAndRun(request, folder, keys, keyCount, minimumSerial, markers);
        // A helper still running keeps what it runs.
        if (outcome != StepHelperStillRunning)
            RemoveFolder(folder);
    }
    return kInstallStepCode | markers << 8 | outcome;
}
