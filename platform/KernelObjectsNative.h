#pragma once
// The per-platform part of the kernel objects (KernelObjects.h): what an
// event holds, and the recursive lock.

#if defined(_WIN32)
#include "platform/KernelObjectsWin32.h"
#else
#include "platform/KernelObjectsPosix.h"
#endif
