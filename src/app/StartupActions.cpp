#include "app/StartupActions.h"

#include "app/Globals.h"
#include "app/Handles.h"
#include "setup/LogonTask.h"

namespace
{
constexpr int WaitingRounds = 10;
constexpr DWORD RoundMs = 1000;
// The event disappears when its last holder closes it, a moment before that process has fully ended.
constexpr DWORD SettleMs = 500;
} // namespace

int RunInstall(const SetupSteps& steps)
{
    // A task under the older name would start a second copy at logon.
    (void)steps.deleteLogonTask(DisplayName + ProfileSuffix());
    const std::wstring path = steps.executablePath();
    if (path.empty())
        return 1;
    return steps.createLogonTask(ProductName + ProfileSuffix(), path) ? 0 : 1;
}

int RunUninstall(const SetupSteps& steps)
{
    if (!steps.deleteLogonTask(ProductName + ProfileSuffix()))
        return 1;
    // The key every settings store of the program uses, under both roots.
    const std::wstring& settingsKey = GlobalSettings.KeyPath();
    steps.deleteRegistryKey(HKEY_CURRENT_USER, settingsKey);
    steps.deleteRegistryKey(HKEY_LOCAL_MACHINE, settingsKey);
    (void)steps.deleteLogonTask(DisplayName + ProfileSuffix());
    return 0;
}

int RunClose(const CloseSteps& steps)
{
    if (!steps.signalInstances())
        return 1;
    for (int round = 0; round < WaitingRounds; ++round)
    {
        if (!steps.closeRequestExists())
        {
            steps.sleep(SettleMs);
            break;
        }
        steps.sleep(RoundMs);
    }
    return 0;
}

std::wstring OwnExecutablePath()
{
    // A path cut off at the buffer's end would register a task that starts nothing, so the
    // buffer grows until the whole path fits (long paths can exceed MAX_PATH).
    std::wstring path(MAX_PATH + 1, L'\0');
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size())
        {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

SetupSteps SystemSetupSteps()
{
    SetupSteps steps;
    steps.deleteLogonTask = [](const std::wstring& taskName) {
        const ComApartment com;
        return DeleteLogonTask(taskName);
    };
    steps.createLogonTask = [](const std::wstring& taskName, const std::wstring& executablePath) {
        const ComApartment com;
        return CreateLogonTask(taskName, executablePath);
    };
    steps.executablePath = OwnExecutablePath;
    steps.deleteRegistryKey = [](HKEY root, const std::wstring& subKey) {
        // A key with sub-keys, or a machine key without the rights, stays; nothing more can be done.
        (void)::RegDeleteKeyW(root, subKey.c_str());
    };
    return steps;
}

CloseSteps SystemCloseSteps()
{
    CloseSteps steps;
    steps.signalInstances = [] {
        // Our own handle would keep the event alive and make this process look like an instance.
        CloseRequestEvent.Reset();
        UniqueHandle request(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CloseEventName));
        if (!request)
            return false;
        ::SetEvent(request.Get());
        return true;
    };
    steps.closeRequestExists = [] {
        UniqueHandle request(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CloseEventName));
        return request.IsValid();
    };
    steps.sleep = [](DWORD milliseconds) { ::Sleep(milliseconds); };
    return steps;
}
