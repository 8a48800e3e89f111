#pragma once
// The one-shot start actions (install, uninstall, close) over the few system operations they use,
// so that their order, their decisions and their exit codes can be checked without the system.

#include <windows.h>

#include <functional>
#include <string>

struct SetupSteps
{
    std::function<bool(const std::wstring& taskName)> deleteLogonTask;
    std::function<bool(const std::wstring& taskName, const std::wstring& executablePath)> createLogonTask;
    std::function<std::wstring()> executablePath; // empty when it cannot be obtained
    std::function<void(HKEY root, const std::wstring& subKey)> deleteRegistryKey;
};

struct CloseSteps
{
    // Sets the shared close request; false when no instance holds it (the event does not exist).
    std::function<bool()> signalInstances;
    std::function<bool()> closeRequestExists;
    std::function<void(DWORD milliseconds)> sleep;
};

// The real operations: each task call in a COM apartment of its own.
SetupSteps SystemSetupSteps();
CloseSteps SystemCloseSteps();

// Exit codes: 0 when the logon task was created; 1 without a program path or a task.
int RunInstall(const SetupSteps& steps);
// Exit codes: 0 when the task service was reached (the settings are then deleted too), else 1.
int RunUninstall(const SetupSteps& steps);
// Exit codes: 1 when no instance runs; 0 once they have ended or the waiting rounds ran out.
int RunClose(const CloseSteps& steps);

// The path of this program; empty when it cannot be obtained.
std::wstring OwnExecutablePath();
