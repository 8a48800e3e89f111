#pragma once
// The logon task that starts the program with "-tray" at every logon (Task Scheduler 2.0).
// COM must be initialised on the calling thread.

#include <string>

bool CreateLogonTask(const std::wstring& taskName, const std::wstring& executablePath);
bool DeleteLogonTask(const std::wstring& taskName);
