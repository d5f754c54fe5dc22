// Component installation: the install task file and the launch worker.
#pragma once
#include <windows.h>

// The launch worker's thread procedure; its parameter is the main frame.
UINT LaunchThread(void* frame);
