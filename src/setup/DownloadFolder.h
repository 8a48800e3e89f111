#pragma once
// The private folder each installer download goes into. The temporary folder is writable by every
// process of the user, so the elevated program never trusts a name there: it makes a folder that did
// not exist before, under an access list of its own, and checks what it opened through the handle.

#include <windows.h>

#include <cstddef>
#include <string>

#include "app/Handles.h"

inline constexpr wchar_t DownloadFolderPrefix[] = L"orlenby-";
inline constexpr size_t DownloadFolderRandomBytes = 16;

// "orlenby-" followed by the bytes in lower-case hexadecimal.
std::wstring DownloadFolderName(const unsigned char* random, size_t count);
// True for the names DownloadFolderName makes from DownloadFolderRandomBytes bytes.
bool IsDownloadFolderName(const std::wstring& name);
// A path from GetFinalPathNameByHandleW in the plain form: "\\?\C:\x" -> "C:\x", "\\?\UNC\s\x" -> "\\s\x".
std::wstring PathFromFinalPath(const std::wstring& finalPath);
// Equal as file-system paths (ordinal, case-insensitive).
bool SamePath(const std::wstring& a, const std::wstring& b);
// Full control for SYSTEM, Administrators and the given user, inherited by everything inside,
// nothing from the parent.
std::wstring PrivateFolderSddl(const std::wstring& userSid);

// The final path of what handle is open on, in the plain form; empty on failure.
std::wstring FinalPathOf(HANDLE handle);
// True when handle is open on a folder, or a file, that is not a reparse point.
bool IsPlainFolder(HANDLE handle);
bool IsPlainFile(HANDLE handle);

// A folder this program has just created under base, held open without delete sharing so that it can
// be neither renamed nor removed (and so not replaced by a link) while the download uses it.
class DownloadFolder
{
  public:
    DownloadFolder() = default;
    // Tries fresh random names until one is free; an invalid folder on any other failure.
    static DownloadFolder Create(const std::wstring& base);
    [[nodiscard]] bool IsValid() const
    {
        return handle_.IsValid();
    }
    // The final path of the held folder.
    [[nodiscard]] const std::wstring& Path() const
    {
        return path_;
    }

  private:
    UniqueFile handle_;
    std::wstring path_;
};

// Removes the folders of earlier downloads under base, with what they hold, ignoring failures. A link
// is removed itself; nothing is ever followed through one.
void RemoveLeftoverDownloads(const std::wstring& base);
