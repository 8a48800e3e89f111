#pragma once
// 32-bit settings and counters under HKxx\Software\<product>, with per-object read caches.

#include <windows.h>

#include <map>
#include <mutex>
#include <string>

// The variable that gives a test run a private profile: its value, a name of 1 to 32 letters, digits,
// '-' or '_', is appended to the product's key, folder and task names, so that a test suite run on a
// developer's own machine leaves the real list, settings and logon task alone. Only a name of those
// characters counts: the program runs elevated, and a name can then only pick a sibling of the
// program's own key under Software and of its own folder under the user's roaming folder, never a path.
inline constexpr wchar_t TestProfileVariable[] = L"TERNVALE_TEST_PROFILE";
// "" for anything but such a name, else "-" and the name.
std::wstring ProfileSuffixFor(const std::wstring& value);
// ProfileSuffixFor of the variable, read once per process.
const std::wstring& ProfileSuffix();
// "Ternvale" and the profile's suffix: the settings key's last part, the folder and the task name.
std::wstring ProfileProductName();

class SettingsStore
{
  public:
    // Touches nothing in the registry; every read and write opens the key itself.
    explicit SettingsStore(HKEY root, const std::wstring& productName = ProfileProductName());

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // Uncached registry access. Reading or writing creates the key when it is missing.
    bool ReadDword(const std::wstring& name, DWORD& value);
    bool WriteDword(const std::wstring& name, DWORD value);

    // Cached access; see the .cpp for the caching rules.
    bool GetBool(const std::wstring& name, bool& value, bool defaultValue);
    bool GetBool(const std::wstring& name);
    bool GetDword(const std::wstring& name, DWORD& value);
    bool SetBool(const std::wstring& name, bool value);
    void ForgetValue(const std::wstring& name);

    // Reads the current state and writes its opposite as one step, so that two threads toggling
    // at once cannot both write the same value.
    bool Toggle(const std::wstring& name, bool defaultValue);

    [[nodiscard]] HKEY Root() const noexcept
    {
        return root_;
    }
    [[nodiscard]] const std::wstring& KeyPath() const noexcept
    {
        return keyPath_;
    }

  private:
    bool ReadDwordLocked(const std::wstring& name, DWORD& value);
    bool WriteDwordLocked(const std::wstring& name, DWORD value);
    bool GetBoolLocked(const std::wstring& name, bool& value, bool defaultValue);
    void ForgetLocked(const std::wstring& name);

    HKEY root_;
    std::wstring keyPath_;
    std::map<std::wstring, bool> flagCache_;
    std::map<std::wstring, DWORD> numberCache_;
    // Held for each whole operation: GlobalSettings is shared by the UI thread and the monitor thread.
    std::mutex lock_;
};

// Application accessors; each makes its own short-lived stores.
bool GetBetaUpdates();
void SetBetaUpdates(bool on);
DWORD GetCounter(const std::wstring& name);
DWORD SetCounter(const std::wstring& name, DWORD value);
