#include "rules/SettingsStore.h"

#include "app/Globals.h"
#include "app/Handles.h"


std::wstring ProfileSuffixFor(const std::wstring& value)
{
    constexpr size_t LongestName = 32;
    if (value.empty() || value.size() > LongestName)
        return {};
    for (const wchar_t c : value)
    {
        const bool allowed = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                             c == L'-' || c == L'_';
        if (!allowed)
            return {};
    }
    return L"-" + value;
}

const std::wstring& ProfileSuffix()
{
    static const std::wstring suffix = [] {
        wchar_t value[64] = {};
        const DWORD length = ::GetEnvironmentVariableW(TestProfileVariable, value, 64);
        return length > 0 && length < 64 ? ProfileSuffixFor(value) : std::wstring();
    }();
    return suffix;
}

std::wstring ProfileProductName()
{
    return L"Ternvale" + ProfileSuffix();
}

SettingsStore::SettingsStore(HKEY root, const std::wstring& productName)
    : root_(root), keyPath_(L"Software\\" + productName)
{
}

bool SettingsStore::ReadDword(const std::wstring& name, DWORD& value)
{
    std::lock_guard<std::mutex> guard(lock_);
    return ReadDwordLocked(name, value);
}

bool SettingsStore::WriteDword(const std::wstring& name, DWORD value)
{
    std::lock_guard<std::mutex> guard(lock_);
    return WriteDwordLocked(name, value);
}

bool SettingsStore::ReadDwordLocked(const std::wstring& name, DWORD& value)
{
    value = 0;
    UniqueHKey key;
    if (::RegCreateKeyExW(root_, keyPath_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE, nullptr,
                          key.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    // The type is not checked: any value of at most 4 bytes counts, zero-extended; a longer one
    // does not fit the buffer and so reads as absent.
    BYTE data[4] = {};
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr, data, &size) != ERROR_SUCCESS)
        return false;
    DWORD result = 0;
    for (DWORD i = 0; i < size && i < sizeof(data); ++i)
        result |= static_cast<DWORD>(data[i]) << (8 * i);
    value = result;
    return true;
}

bool SettingsStore::WriteDwordLocked(const std::wstring& name, DWORD value)
{
    UniqueHKey key;
    if (::RegCreateKeyExW(root_, keyPath_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                          key.Put(), nullptr) != ERROR_SUCCESS)
    {
        ForgetLocked(name);
        return false;
    }
    const LSTATUS status = ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&value), sizeof(value));
    key.Reset();
    ForgetLocked(name);
    return status == ERROR_SUCCESS;
}

bool SettingsStore::GetBoolLocked(const std::wstring& name, bool& value, bool defaultValue)
{
    if (auto it = flagCache_.find(name); it != flagCache_.end())
    {
        value = it->second;
        return true;
    }
    DWORD data = 0;
    if (!ReadDwordLocked(name, data))
    {
        // Absent values are not cached, so they are looked up again next time.
        value = defaultValue;
        return false;
    }
    value = data != 0;
    flagCache_[name] = value;
    return true;
}

bool SettingsStore::GetBool(const std::wstring& name, bool& value, bool defaultValue)
{
    std::lock_guard<std::mutex> guard(lock_);
    return GetBoolLocked(name, value, defaultValue);
}

bool SettingsStore::GetBool(const std::wstring& name)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (auto it = flagCache_.find(name); it != flagCache_.end())
        return it->second;
    DWORD data = 0;
    // Unlike the three-argument form, this one caches the "off" of an absent value too.
    const bool result = ReadDwordLocked(name, data) && data != 0;
    flagCache_[name] = result;
    return result;
}

bool SettingsStore::GetDword(const std::wstring& name, DWORD& value)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (auto it = numberCache_.find(name); it != numberCache_.end())
    {
        value = it->second;
        return true;
    }
    DWORD data = 0;
    if (!ReadDwordLocked(name, data))
    {
        value = 0;
        return false;
    }
    numberCache_[name] = data;
    value = data;
    return true;
}

bool SettingsStore::SetBool(const std::wstring& name, bool value)
{
    std::lock_guard<std::mutex> guard(lock_);
    flagCache_.erase(name);
    return WriteDwordLocked(name, value ? 1 : 0);
}

void SettingsStore::ForgetValue(const std::wstring& name)
{
    std::lock_guard<std::mutex> guard(lock_);
    ForgetLocked(name);
}

bool SettingsStore::Toggle(const std::wstring& name, bool defaultValue)
{
    std::lock_guard<std::mutex> guard(lock_);
    bool current = defaultValue;
    GetBoolLocked(name, current, defaultValue);
    flagCache_.erase(name);
    const bool written = WriteDwordLocked(name, current ? 0 : 1);
    ForgetLocked(name);
    return written;
}

void SettingsStore::ForgetLocked(const std::wstring& name)
{
    flagCache_.erase(name);
    numberCache_.erase(name);
}

bool GetBetaUpdates()
{
    bool on = false;
    SettingsStore user(HKEY_CURRENT_USER);
    user.GetBool(BetaUpdatesName, on, false);
    if (on)
        return true;
    SettingsStore machine(HKEY_LOCAL_MACHINE);
    machine.GetBool(BetaUpdatesName, on, false);
    return on;
}

void SetBetaUpdates(bool on)
{
    // The machine-wide write fails silently without administrator rights.
    SettingsStore(HKEY_CURRENT_USER).WriteDword(BetaUpdatesName, on ? 1 : 0);
    SettingsStore(HKEY_LOCAL_MACHINE).WriteDword(BetaUpdatesName, on ? 1 : 0);
}

DWORD GetCounter(const std::wstring& name)
{
    DWORD value = 0;
    SettingsStore(HKEY_CURRENT_USER).GetDword(name, value);
    return value;
}

DWORD SetCounter(const std::wstring& name, DWORD value)
{
    SettingsStore(HKEY_CURRENT_USER).WriteDword(name, value);
    return value;
}
