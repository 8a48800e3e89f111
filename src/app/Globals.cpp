#include "app/Globals.h"

#include <sddl.h>
#include <shlobj.h>

#include "enforce/Monitor.h"

// Definition order is construction order (and the reverse is destruction order): the settings
// store, the list path with its folders, the three events, then the monitor, which is therefore
// destroyed (and its thread joined) before anything the thread uses.
SettingsStore GlobalSettings(HKEY_CURRENT_USER);
std::wstring RuleListPath = PrepareRuleListPath(RoamingAppDataFolder());
UniqueHandle ExitEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
UniqueHandle CloseRequestEvent(CreateCloseRequestEvent());
UniqueHandle StatusEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
Monitor AppMonitor;
bool ShowAtStart = false;
HINSTANCE ModuleInstance = nullptr;
std::atomic<HWND> TrayWindowHandle{nullptr};
std::atomic<HWND> MainWindowHandle{nullptr};

HANDLE CreateCloseRequestEvent()
{
    // With the default access list an instance of another user, or an elevated one, would own the name
    // and this one could neither open it nor ask the others to close.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(CloseEventSddl, SDDL_REVISION_1, &descriptor,
                                                                nullptr))
        return nullptr;
    UniqueLocalMem owner(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    // Only what an instance and "--close" use: asking for more would be refused by the list above.
    return ::CreateEventExW(&security, CloseEventName, CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE | EVENT_MODIFY_STATE);
}

std::wstring RoamingAppDataFolder()
{
    PWSTR folder = nullptr;
    // FOLDERID_RoamingAppData
    static const GUID roamingAppData = {0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
    const HRESULT hr = ::SHGetKnownFolderPath(roamingAppData, 0, nullptr, &folder);
    UniqueCoTaskMem owner(folder);
    if (FAILED(hr) || folder == nullptr)
        return {};
    return folder;
}

std::wstring PrepareRuleListPath(const std::wstring& base)
{
    // With no base the folders land at the root of the current drive, as the paths then say.
    std::wstring path = base;
    ::CreateDirectoryW(path.c_str(), nullptr);
    path += L"\\" + ProfileProductName();
    ::CreateDirectoryW(path.c_str(), nullptr);
    path += L"\\config";
    ::CreateDirectoryW(path.c_str(), nullptr);
    return path + L"\\p-core-list.txt";
}
