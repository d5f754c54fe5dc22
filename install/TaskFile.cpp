#include "install/TaskFile.h"
#include <cstring>
#include "framework/Text.h"

const char kTaskFile[] = "installhelpertasks.txt";
const char kHelperArguments[] = "-silent -inputfile installhelpertasks.txt -logfile installhelperlog.txt";
const char* const kMarkerNames[6] = {"dotnetinstallstart", "dotnetinstallsucceeded", "dotnetinstallfailed",
                                     "setupinstallstart",  "setupinstallsucceeded",  "setupinstallfailed"};

static const InstallTask kTasks[] = {
    {"dotnetfx.exe", "/q:a /c:\"install /l /q\"", "dotnet", 900},
    {"setup.exe", "/s /v\"/qn\"", "setup", 240},
    {"setupm.exe", "/s /v\"/qn\"", "setup", 240},
};

DWORD(WINAPI* g_pfnGetShortPathName)(LPCSTR, LPSTR, DWORD) = GetShortPathNameA;

const InstallTask* FindInstallTask(const std::string& program)
{
    for (const InstallTask& task : kTasks)
        if (!lstrcmpiA(task.program, program.c_str()))
            return &task;
    return nullptr;
}

std::string InFolder(const std::string& folder, const char* name)
{
    return Format("%s\\%s", folder.c_str(), name);
}

std::string FormatTaskLine(const std::string& program, const char* arguments, const std::string& startMarker,
                           const std::string& successMarker, const std::string& failureMarker, int seconds)
{
    return Format("%s,%s,%s,%s,%s,%d", program.c_str(), arguments, startMarker.c_str(), successMarker.c_str(),
                  failureMarker.c_str(), seconds);
}

// A working folder may have a comma ("C:\Users\Smith, John\..."). Every path
// of a task line lies in one folder, whose own file names have no comma, so
// the folder is all that needs shortening.
bool TaskLineFolder(const std::string& folder, std::string& out)
{
    out = folder;
    if (folder.find(',') == std::string::npos)
        return true;
    char shortPath[MAX_PATH] = "";
    DWORD len = g_pfnGetShortPathName(folder.c_str(), shortPath, MAX_PATH);
    if (len == 0 || len >= MAX_PATH || strchr(shortPath, ','))
        return false;
    out = shortPath;
    return true;
}

bool WriteTaskLine(CFile& file, const std::string& folder, const InstallTask& task, std::string& written)
{
    auto path = [&folder](const char* name) { return folder + "\\" + name; };
    std::string marker = path(task.markers);
    std::string line = FormatTaskLine(path(task.program), task.arguments, marker + "installstart",
                                      marker + "installsucceeded", marker + "installfailed", task.seconds) +
                       "\r\r\n";
    try {
        file.Write(line.data(), (UINT)line.size());
    } catch (const CException&) {
        return false;
    }
    written += line;
    return true;
}

