#include "setup/DownloadFolder.h"

#include <bcrypt.h>
#include <sddl.h>

#include <cwctype>
#include <vector>

namespace
{
constexpr int CreateAttempts = 16;
constexpr DWORD OpenNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The string form of the SID of this process's user; empty on failure.
std::wstring CurrentUserSid()
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size))
        return {};
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(user->User.Sid, &text))
        return {};
    UniqueLocalMem owner(text);
    return text;
}

DWORD AttributesOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info))
        return INVALID_FILE_ATTRIBUTES;
    return info.dwFileAttributes;
}

// The final path of a folder given by name, following links (the temporary folder itself may be one).
std::wstring FinalPathOfFolder(const std::wstring& folder)
{
    UniqueFile handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle ? FinalPathOf(handle.Get()) : std::wstring();
}

// Deletes the entry name of the folder whose final path is parent, after what a real folder holds. A
// link is deleted as a link through a handle open on the link itself; where the system followed it
// instead (it then names another place), it is left alone: deleting by name could delete its target.
void RemoveNoFollow(const std::wstring& parent, const std::wstring& name, DWORD entryAttributes)
{
    const std::wstring path = parent + L"\\" + name;
    UniqueFile entry(::CreateFileW(path.c_str(),
                                   DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, OpenNoFollow, nullptr));
    if (!entry)
        return;
    const DWORD attributes = AttributesOf(entry.Get());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    const bool onLinkItself = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!onLinkItself)
    {
        if ((entryAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !SamePath(FinalPathOf(entry.Get()), path))
            return; // followed to somewhere else
        // Held without delete sharing, the folder cannot be swapped for a link while its content goes.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            // Listed through the held handle: a listing by name would need delete sharing from it.
            std::vector<std::pair<std::wstring, DWORD>> children;
            alignas(8) unsigned char buffer[16 * 1024];
            for (FILE_INFO_BY_HANDLE_CLASS listing = FileIdBothDirectoryRestartInfo;
                 ::GetFileInformationByHandleEx(entry.Get(), listing, buffer, sizeof(buffer));
                 listing = FileIdBothDirectoryInfo)
            {
                for (size_t at = 0;;)
                {
                    const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
                    const std::wstring child(info->FileName, info->FileNameLength / sizeof(wchar_t));
                    if (child != L"." && child != L"..")
                        children.emplace_back(child, info->FileAttributes);
                    if (info->NextEntryOffset == 0)
                        break;
                    at += info->NextEntryOffset;
                }
            }
            for (const auto& [child, childAttributes] : children)
                RemoveNoFollow(path, child, childAttributes);
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        {
            FILE_BASIC_INFO basic{};
            basic.FileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
            ::SetFileInformationByHandle(entry.Get(), FileBasicInfo, &basic, sizeof(basic));
        }
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(entry.Get(), FileDispositionInfo, &disposition, sizeof(disposition));
}
} // namespace

std::wstring DownloadFolderName(const unsigned char* random, size_t count)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring name = DownloadFolderPrefix;
    for (size_t i = 0; i < count; ++i)
    {
        name += digits[random[i] >> 4];
        name += digits[random[i] & 0x0F];
    }
    return name;
}

bool IsDownloadFolderName(const std::wstring& name)
{
    const std::wstring prefix = DownloadFolderPrefix;
    if (name.size() != prefix.size() + 2 * DownloadFolderRandomBytes || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = prefix.size(); i < name.size(); ++i)
    {
        const wchar_t c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')))
            return false;
    }
    return true;
}

std::wstring PathFromFinalPath(const std::wstring& finalPath)
{
    const std::wstring unc = L"\\\\?\\UNC\\";
    const std::wstring local = L"\\\\?\\";
    if (finalPath.compare(0, unc.size(), unc) == 0)
        return L"\\\\" + finalPath.substr(unc.size());
    if (finalPath.compare(0, local.size(), local) == 0)
        return finalPath.substr(local.size());
    return finalPath;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

std::wstring PrivateFolderSddl(const std::wstring& userSid)
{
    return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + userSid + L")";
}

std::wstring FinalPathOf(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return {};
        if (length < path.size())
        {
            path.resize(length);
            return PathFromFinalPath(path);
        }
        path.resize(length + 1);
    }
}

bool IsPlainFolder(HANDLE handle)
{
    const DWORD attributes = AttributesOf(handle);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsPlainFile(HANDLE handle)
{
    const DWORD attributes = AttributesOf(handle);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

DownloadFolder DownloadFolder::Create(const std::wstring& base)
{
    const std::wstring sid = CurrentUserSid();
    if (sid.empty() || base.empty())
        return {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(PrivateFolderSddl(sid).c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return {};
    UniqueLocalMem descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    const std::wstring parent = base.back() == L'\\' ? base : base + L"\\";
    const std::wstring parentFinal = FinalPathOfFolder(parent);
    if (parentFinal.empty())
        return {};

    for (int attempt = 0; attempt < CreateAttempts; ++attempt)
    {
        unsigned char random[DownloadFolderRandomBytes] = {};
        if (!BCRYPT_SUCCESS(
                ::BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return {};
        const std::wstring name = DownloadFolderName(random, sizeof(random));
        const std::wstring path = parent + name;
        if (!::CreateDirectoryW(path.c_str(), &security))
        {
            // Somebody has the name (perhaps planted it): never use it, take another.
            if (::GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return {};
        }
        DownloadFolder folder;
        // What is there now may no longer be what was just made: look at it through the handle.
        folder.handle_.Reset(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, OpenNoFollow,
                                           nullptr));
        // Some systems follow a link even when asked not to: the final path then names its target.
        if (!folder.handle_ || !IsPlainFolder(folder.handle_.Get()))
            return {};
        folder.path_ = FinalPathOf(folder.handle_.Get());
        if (!SamePath(folder.path_, parentFinal + L"\\" + name))
            return {};
        return folder;
    }
    return {};
}

void RemoveLeftoverDownloads(const std::wstring& base)
{
    if (base.empty())
        return;
    const std::wstring parent = FinalPathOfFolder(base);
    if (parent.empty())
        return;
    WIN32_FIND_DATAW found{};
    UniqueFind find(::FindFirstFileW((parent + L"\\" + DownloadFolderPrefix + L"*").c_str(), &found));
    std::vector<std::pair<std::wstring, DWORD>> entries;
    for (BOOL more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &found))
    {
        if (IsDownloadFolderName(found.cFileName))
            entries.emplace_back(found.cFileName, found.dwFileAttributes);
    }
    find.Reset();
    for (const auto& [name, attributes] : entries)
        RemoveNoFollow(parent, name, attributes);
}
