#pragma once
// Declarations that the MinGW-w64 10 headers lack (the Windows SDK has them), kept in one place.
// Each block says what is missing; every block compiles away where the SDK already defines it.

#include <windows.h>

// ---- Processor topology (winnt.h) -------------------------------------------------------------


// ---- Power throttling, process rights and CPU sets (winnt.h, processthreadsapi.h) -------------


// ---- Task Scheduler 2.0 (taskschd.h) ----------------------------------------------------------

