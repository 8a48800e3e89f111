#pragma once
// The logon task that starts the program with "-tray" at every logon (Task Scheduler 2.0).
// COM must be initialised on the calling thread.

#include <string>

struct ITaskService;

bool CreateLogonTask(const std::wstring& taskName, const std::wstring& executablePath);
bool DeleteLogonTask(const std::wstring& taskName);

// The same on a task service the caller has created but not yet connected (tests pass a fake).
// The caller keeps its own reference to the service.
bool CreateLogonTask(ITaskService* service, const std::wstring& taskName, const std::wstring& executablePath);
bool DeleteLogonTask(ITaskService* service, const std::wstring& taskName);

// The task action's path: a path that already begins with a double quote (after leading white
// space) is kept; any other is wrapped in double quotes, also when it has no spaces.
std::wstring QuotedActionPath(const std::wstring& executablePath);
