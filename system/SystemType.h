// What the checks find the machine to be and to lack: the SystemType flags.
#pragma once
#include <windows.h>

enum : UINT {
    NeedMdac = 0x001,
    NeedDotNet = 0x002,
    OldDirectX = 0x004,
    MainAppPresent = 0x008,
    Windows9x = 0x040,
    Windows2000 = 0x080,
    WindowsVista = 0x100,
};
