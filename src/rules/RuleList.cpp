#include "rules/RuleList.h"

#include <windows.h>

#include <new>
#include <utility>

#include "app/Handles.h"

static_assert(sizeof(wchar_t) == 2, "the file's code units are written straight from a wide string");

namespace
{
// A virus scanner, an indexer or a sync client may hold the list for a moment; the replace is
// tried again for about a second before the save gives up.
constexpr int ReplaceAttempts = 20;
constexpr DWORD ReplaceRetryDelayMs = 50;

bool IsTransientReplaceError(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// The new content of the list, written beside it. Removed again unless it was moved into place.
class ReplacementFile
{
  public:
    explicit ReplacementFile(std::wstring path) : path_(std::move(path))
    {
        // CREATE_ALWAYS reuses a leftover of an interrupted save; no sharing while it is written.
        file_.Reset(
            ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        created_ = file_.IsValid();
    }
    ~ReplacementFile()
    {
        // The handle goes first: a file still open without delete sharing cannot be deleted.
        file_.Reset();
        if (created_ && !moved_)
            ::DeleteFileW(path_.c_str());
    }
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    [[nodiscard]] bool IsOpen() const
    {
        return file_.IsValid();
    }

    // One write of everything, then a flush, so that the replace never installs a short file.
    [[nodiscard]] bool WriteAll(RuleFileWrites& writes, const void* data, DWORD size)
    {
        DWORD written = 0;
        if (size != 0 && (!writes.WriteFile(file_.Get(), data, size, &written) || written != size))
            return false;
        return writes.FlushFileBuffers(file_.Get()) != FALSE;
    }

    // A rename within one folder without MOVEFILE_COPY_ALLOWED either installs the whole new file or
    // leaves the old one untouched. (ReplaceFileW without a backup name can end with no file at all.)
    [[nodiscard]] bool MoveOnto(const std::wstring& target, RuleFileWrites& writes)
    {
        file_.Reset();
        for (int attempt = 1;; ++attempt)
        {
            if (::MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            {
                moved_ = true;
                return true;
            }
            if (!IsTransientReplaceError(::GetLastError()) || attempt == ReplaceAttempts)
                return false;
            writes.WaitBeforeRetry(ReplaceRetryDelayMs);
        }
    }

  private:
    std::wstring path_;
    UniqueFile file_;
    bool created_ = false;
    bool moved_ = false;
};

class SystemFileWrites final : public RuleFileWrites
{
  public:
    BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) override
    {
        return ::WriteFile(file, data, size, written, nullptr);
    }
    BOOL FlushFileBuffers(HANDLE file) override
    {
        return ::FlushFileBuffers(file);
    }
    void WaitBeforeRetry(DWORD milliseconds) override
    {
        ::Sleep(milliseconds);
    }
};
} // namespace

void ParseRuleList(const unsigned char* bytes, std::size_t size, ProcessRuleList& list)
{
    std::wstring line;
    for (std::size_t at = 0; at < size; at += 2)
    {
        const unsigned high = at + 1 < size ? bytes[at + 1] : 0u;
        const auto unit = static_cast<wchar_t>(bytes[at] | (high << 8));
        if (unit == L'\n')
        {
            list.push_back(std::move(line));
            line.clear();
        }
        else if (unit != L'\r')
        {
            line.push_back(unit);
        }
    }
}

std::wstring FormatRuleList(const ProcessRuleList& list)
{
    std::size_t length = 0;
    for (const auto& pattern : list)
        length += pattern.size() + 2;
    std::wstring text;
    text.reserve(length);
    for (const auto& pattern : list)
    {
        text += pattern;
        text += L"\r\n";
    }
    return text;
}

int LoadRuleList(const std::wstring& path, ProcessRuleList& list)
{
    // Read sharing only: a list that another program is writing right now is not read half-done.
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file)
    {
        // Only the low 32 bits of the size count.
        const DWORD size = ::GetFileSize(file.Get(), nullptr);
        if (size != INVALID_FILE_SIZE && size != 0)
        {
            try
            {
                std::vector<unsigned char> buffer(size);
                DWORD read = 0;
                if (::ReadFile(file.Get(), buffer.data(), size, &read, nullptr))
                {
                    ProcessRuleList loaded;
                    ParseRuleList(buffer.data(), read, loaded);
                    list.insert(list.end(), std::make_move_iterator(loaded.begin()),
                                std::make_move_iterator(loaded.end()));
                }
            }
            catch (const std::bad_alloc&)
            {
                // A file too large for memory loads as nothing, like any other unreadable file.
            }
        }
    }
    return static_cast<int>(list.size());
}

int SaveRuleList(const std::wstring& path, ProcessRuleList list)
{
    SystemFileWrites writes;
    return SaveRuleList(path, std::move(list), writes);
}

int SaveRuleList(const std::wstring& path, ProcessRuleList list, RuleFileWrites& writes)
{
    try
    {
        const std::wstring text = FormatRuleList(list);
        const std::size_t bytes = text.size() * sizeof(wchar_t);
        if (bytes > MAXDWORD)
            return -1;
        ReplacementFile replacement(path + L".tmp");
        if (!replacement.IsOpen() || !replacement.WriteAll(writes, text.data(), static_cast<DWORD>(bytes)) ||
            !replacement.MoveOnto(path, writes))
            return -1;
        return static_cast<int>(list.size());
    }
    catch (const std::bad_alloc&)
    {
        return -1;
    }
}
