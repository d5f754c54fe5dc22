#include "framework/FileVersionInfo.h"
#include <vector>
#include "framework/SystemLibrary.h"

namespace {

struct VersionFunctions {
    decltype(&::GetFileVersionInfoSizeA) GetFileVersionInfoSizeA;
    decltype(&::GetFileVersionInfoA) GetFileVersionInfoA;
    decltype(&::VerQueryValueA) VerQueryValueA;
};

// Resolved once; all null where the library or one function is missing.
const VersionFunctions* Version()
{
    static const VersionFunctions* functions = [] {
        static VersionFunctions f;
        HMODULE lib = LoadSystemLibrary("version.dll");
        bool all = ResolveFunction(lib, "GetFileVersionInfoSizeA", f.GetFileVersionInfoSizeA);
        all = ResolveFunction(lib, "GetFileVersionInfoA", f.GetFileVersionInfoA) && all;
        all = ResolveFunction(lib, "VerQueryValueA", f.VerQueryValueA) && all;
        return all ? &f : nullptr;
    }();
    return functions;
}

} // namespace

bool ReadFixedFileInfo(const std::string& path, VS_FIXEDFILEINFO& info)
{
    const VersionFunctions* version = Version();
    if (!version)
        return false;
    DWORD handle = 0;
    DWORD size = version->GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (!size)
        return false;
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    if (!version->GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !version->VerQueryValueA(data.data(), "\\", (void**)&fixed, &len) || !fixed || len < sizeof *fixed)
        return false;
    info = *fixed;
    return true;
}
