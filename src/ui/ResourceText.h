#pragma once
// Strings of the program's string table.

#include <windows.h>

#include <string>

// The string resource id of the running module, or "ERROR" when it cannot be loaded. Read through
// a buffer of 1024 characters, so longer strings are cut to 1023.
std::wstring LoadResourceString(UINT id);
