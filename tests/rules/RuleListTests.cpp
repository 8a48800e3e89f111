// The rule list file: its bytes on load and save, and a save that never loses the list on disk.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/Handles.h"
#include "rules/RuleList.h"
#include "support/TestSupport.h"

using testing_support::ReadFileBytes;
using testing_support::TempDirectory;
using testing_support::WriteFileBytes;

namespace
{
using Bytes = std::vector<unsigned char>;

// Little-endian UTF-16 bytes of text, as the file holds them.
Bytes Utf16(const std::wstring& text)
{
    Bytes bytes;
    for (wchar_t unit : text)
    {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

Bytes operator+(Bytes left, const Bytes& right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find)
        return names;
    do
    {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (::FindNextFileW(find.Get(), &found));
    return names;
}

// Another program's handle on the list: readable and writable by others, but never deletable or
// renamed over while it is open.
UniqueFile HoldWithoutDeleteSharing(const std::wstring& path, DWORD access)
{
    return UniqueFile(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

const wchar_t ListName[] = L"p-core-list.txt";

TEST(RuleList, LoadReadsTheFileBytesAsDescribed)
{
    enum class Setup
    {
        Bytes,
        Missing,
        HeldForWriting,
    };
    struct Case
    {
        const char* name;
        Setup setup;
        Bytes bytes;
        ProcessRuleList expected;
    };
    const std::vector<Case> cases = {
        {"two CR LF lines", Setup::Bytes, Utf16(L"game.exe\r\ntool.exe\r\n"), {L"game.exe", L"tool.exe"}},
        {"LF alone ends a line", Setup::Bytes, Utf16(L"game.exe\ntool.exe\n"), {L"game.exe", L"tool.exe"}},
        {"unterminated last line is lost", Setup::Bytes, Utf16(L"game.exe\r\ntool.exe"), {L"game.exe"}},
        {"only an unterminated line", Setup::Bytes, Utf16(L"game.exe"), {}},
        {"CR inside a line is removed", Setup::Bytes, Utf16(L"game\r.exe\n"), {L"game.exe"}},
        {"CR CR LF is one line end", Setup::Bytes, Utf16(L"game.exe\r\r\ntool.exe\r\n"), {L"game.exe", L"tool.exe"}},
        {"CR alone ends nothing", Setup::Bytes, Utf16(L"game.exe\rtool.exe\r\n"), {L"game.exetool.exe"}},
        {"empty lines are empty patterns",
         Setup::Bytes,
         Utf16(L"a.exe\n\n\r\nb.exe\r\n"),
         {L"a.exe", L"", L"", L"b.exe"}},
        {"leading LF", Setup::Bytes, Utf16(L"\ngame.exe\n"), {L"", L"game.exe"}},
        {"leading U+FEFF is kept",
         Setup::Bytes,
         Utf16(L"\xFEFFgame.exe\r\ntool.exe\r\n"),
         {L"\xFEFFgame.exe", L"tool.exe"}},
        {"U+FFFE is not a byte-order mark either", Setup::Bytes, Utf16(L"\xFFFEgame.exe\r\n"), {L"\xFFFEgame.exe"}},
        {"odd last byte LF is a line end", Setup::Bytes, Utf16(L"game.exe\r\n") + Bytes{0x0A}, {L"game.exe", L""}},
        {"odd last byte of text is dropped", Setup::Bytes, Utf16(L"game.exe\r\n") + Bytes{'x'}, {L"game.exe"}},
        {"a single byte", Setup::Bytes, Bytes{0x0A}, {L""}},
        {"duplicates keep their order",
         Setup::Bytes,
         Utf16(L"b.exe\r\na.exe\r\nb.exe\r\n"),
         {L"b.exe", L"a.exe", L"b.exe"}},
        {"NUL inside a line is kept", Setup::Bytes, Utf16(std::wstring(L"a\0b\r\n", 5)), {std::wstring(L"a\0b", 3)}},
        {"units outside ASCII",
         Setup::Bytes,
         Utf16(L"spiel\x00E4.exe\r\n\xD83C\xDFAE*.exe\r\n"),
         {L"spiel\x00E4.exe", L"\xD83C\xDFAE*.exe"}},
        {"UTF-8 text reads as other units", Setup::Bytes, Bytes{'a', '\n', 'b', '\n'}, {}},
        {"empty file", Setup::Bytes, {}, {}},
        {"missing file", Setup::Missing, {}, {}},
        {"file held open for writing", Setup::HeldForWriting, Utf16(L"game.exe\r\n"), {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDirectory folder;
        const std::wstring path = folder.File(ListName);
        UniqueFile writer;
        if (c.setup != Setup::Missing)
        {
            ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        }
        if (c.setup == Setup::HeldForWriting)
        {
            writer = HoldWithoutDeleteSharing(path, GENERIC_WRITE);
            ASSERT_TRUE(writer);
        }
        ProcessRuleList list;
        EXPECT_EQ(LoadRuleList(path, list), static_cast<int>(c.expected.size()));
        EXPECT_EQ(list, c.expected);
    }
}

TEST(RuleList, LoadAppendsAndCountsTheWholeList)
{
    TempDirectory folder;
    const std::wstring path = folder.File(ListName);
    ASSERT_TRUE(WriteFileBytes(path, Utf16(L"game.exe\r\n")));
    ProcessRuleList list = {L"kept.exe"};
    EXPECT_EQ(LoadRuleList(path, list), 2);
    EXPECT_EQ(list, (ProcessRuleList{L"kept.exe", L"game.exe"}));

    // A failed load leaves what was there.
    EXPECT_EQ(LoadRuleList(folder.File(L"absent.txt"), list), 2);
}

TEST(RuleList, SaveWritesEveryPatternWithCrLfAndLoadsBack)
{
    struct Case
    {
        const char* name;
        ProcessRuleList list;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"two patterns", {L"game.exe", L"tool.exe"}, Utf16(L"game.exe\r\ntool.exe\r\n")},
        {"empty list", {}, {}},
        {"an empty pattern", {L"", L"game.exe"}, Utf16(L"\r\ngame.exe\r\n")},
        {"duplicates", {L"a.exe", L"a.exe"}, Utf16(L"a.exe\r\na.exe\r\n")},
        {"wildcards and units outside ASCII", {L"*sp?el\x00E4*.exe"}, Utf16(L"*sp?el\x00E4*.exe\r\n")},
        {"a pattern starting with U+FEFF", {L"\xFEFFgame.exe"}, Utf16(L"\xFEFFgame.exe\r\n")},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDirectory folder;
        const std::wstring path = folder.File(ListName);
        EXPECT_EQ(SaveRuleList(path, c.list), static_cast<int>(c.list.size()));
        EXPECT_TRUE(testing_support::FileExists(path));
        EXPECT_EQ(ReadFileBytes(path), c.bytes);
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::wstring>{ListName});
        ProcessRuleList loaded;
        EXPECT_EQ(LoadRuleList(path, loaded), static_cast<int>(c.list.size()));
        EXPECT_EQ(loaded, c.list);
    }
}

TEST(RuleList, FileBytesSurviveALoadAndSave)
{
    const Bytes original = Utf16(L"game.exe\r\ntool.exe\r\n");
    TempDirectory folder;
    const std::wstring path = folder.File(ListName);
    ASSERT_TRUE(WriteFileBytes(path, original));
    ProcessRuleList list;
    ASSERT_EQ(LoadRuleList(path, list), 2);
    ASSERT_TRUE(WriteFileBytes(path, Utf16(L"something else entirely, and longer than the list\r\n")));
    EXPECT_EQ(SaveRuleList(path, list), 2);
    EXPECT_EQ(ReadFileBytes(path), original);
}

TEST(RuleList, AFailedSaveLeavesTheOldFileAndNoTemporaryFile)
{
    const Bytes old = Utf16(L"old.exe\r\nkept.exe\r\n");
    const ProcessRuleList next = {L"new.exe"};
    struct Case
    {
        const char* name;
        DWORD access; // of another program's handle on the list, without delete sharing
    };
    const std::vector<Case> cases = {
        {"held for reading", GENERIC_READ},
        {"held for writing", GENERIC_WRITE},
        {"held for attributes only", FILE_READ_ATTRIBUTES},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDirectory folder;
        const std::wstring path = folder.File(ListName);
        ASSERT_TRUE(WriteFileBytes(path, old));
        {
            UniqueFile holder = HoldWithoutDeleteSharing(path, c.access);
            ASSERT_TRUE(holder);
            EXPECT_EQ(SaveRuleList(path, next), -1);
        }
        EXPECT_EQ(ReadFileBytes(path), old);
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::wstring>{ListName});
    }
}

TEST(RuleList, ASaveThatCannotStartChangesNothing)
{
    TempDirectory folder;
    // The list's folder is missing: nothing can be created.
    const std::wstring inMissingFolder = folder.File(L"absent\\") + ListName;
    EXPECT_EQ(SaveRuleList(inMissingFolder, {L"game.exe"}), -1);
    EXPECT_TRUE(FolderEntries(folder.Path()).empty());

    // A folder stands where the list should be.
    const std::wstring folderInTheWay = folder.File(ListName);
    ASSERT_TRUE(::CreateDirectoryW(folderInTheWay.c_str(), nullptr));
    EXPECT_EQ(SaveRuleList(folderInTheWay, {L"game.exe"}), -1);
    EXPECT_EQ(::GetFileAttributesW(folderInTheWay.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::wstring>{ListName});
}

TEST(RuleList, ASaveWaitsForABriefHoldOnTheList)
{
    TempDirectory folder;
    const std::wstring path = folder.File(ListName);
    ASSERT_TRUE(WriteFileBytes(path, Utf16(L"old.exe\r\n")));
    UniqueFile holder = HoldWithoutDeleteSharing(path, GENERIC_READ);
    ASSERT_TRUE(holder);

    // The hold ends during the save's first wait, as a scanner would let go after its look at the
    // file: the first replace met the hold, the next one succeeds.
    class ReleasingWait final : public RuleFileWrites
    {
      public:
        ReleasingWait(const TempDirectory& folder, UniqueFile& holder) : folder_(folder), holder_(holder)
        {
        }
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
            waits.push_back(milliseconds);
            EXPECT_EQ(FolderEntries(folder_.Path()).size(), 2u) << "the new content waits beside the list";
            holder_.Reset();
        }
        std::vector<DWORD> waits;

      private:
        const TempDirectory& folder_;
        UniqueFile& holder_;
    } writes(folder, holder);
    const int result = SaveRuleList(path, {L"game.exe", L"tool.exe"}, writes);
    EXPECT_EQ(writes.waits, std::vector<DWORD>{50});
    EXPECT_EQ(result, 2);
    EXPECT_EQ(ReadFileBytes(path), Utf16(L"game.exe\r\ntool.exe\r\n"));
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::wstring>{ListName});
}

// The disk's calls of a save, failing where the test says; the writes that happen are real, so a
// half-written temporary file is what the save has to clean up.
class FailingWrites final : public RuleFileWrites
{
  public:
    enum class Failure
    {
        None,
        WriteFails,
        ShortWrite,
        FlushFails
    };
    explicit FailingWrites(Failure failure) : failure_(failure)
    {
    }
    BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) override
    {
        ++writes;
        const DWORD part = failure_ == Failure::None || failure_ == Failure::FlushFails ? size : size / 2;
        if (!::WriteFile(file, data, part, written, nullptr))
            return FALSE;
        if (failure_ == Failure::WriteFails)
        {
            ::SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        return TRUE;
    }
    BOOL FlushFileBuffers(HANDLE file) override
    {
        ++flushes;
        if (failure_ == Failure::FlushFails)
        {
            ::SetLastError(ERROR_IO_DEVICE);
            return FALSE;
        }
        return ::FlushFileBuffers(file);
    }
    void WaitBeforeRetry(DWORD milliseconds) override
    {
        ::Sleep(milliseconds);
    }
    int writes = 0;
    int flushes = 0;

  private:
    Failure failure_;
};

// A disk that fails the write or the flush leaves the list as it was, and no temporary file; a
// leftover temporary file of an interrupted save (longer than the new content) neither blocks the
// save nor leaks into the list, and goes away either way.
TEST(RuleList, ASaveOnAFailingDiskOrOverAStaleTemporaryFile)
{
    const Bytes old = Utf16(L"old.exe\r\nkept.exe\r\n");
    const Bytes stale = Utf16(L"stale content of an interrupted save, longer than any list here\r\n");
    const ProcessRuleList next = {L"new.exe", L"tool.exe"};
    const Bytes nextBytes = Utf16(L"new.exe\r\ntool.exe\r\n");
    using Failure = FailingWrites::Failure;
    struct Case
    {
        const char* name;
        Failure failure;
        bool staleTemporary;
    };
    const Case cases[] = {
        {"write fails", Failure::WriteFails, false},
        {"write is short", Failure::ShortWrite, false},
        {"flush fails", Failure::FlushFails, false},
        {"stale temporary file", Failure::None, true},
        {"stale temporary file, write fails", Failure::WriteFails, true},
        {"stale temporary file, flush fails", Failure::FlushFails, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDirectory folder;
        const std::wstring path = folder.File(ListName);
        ASSERT_TRUE(WriteFileBytes(path, old));
        if (c.staleTemporary)
        {
            ASSERT_TRUE(WriteFileBytes(path + L".tmp", stale));
        }
        FailingWrites writes(c.failure);

        const int result = SaveRuleList(path, next, writes);

        EXPECT_EQ(writes.writes, 1);
        if (c.failure == Failure::None)
        {
            EXPECT_EQ(writes.flushes, 1);
            EXPECT_EQ(result, 2);
            EXPECT_EQ(ReadFileBytes(path), nextBytes);
        }
        else
        {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(ReadFileBytes(path), old);
        }
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::wstring>{ListName});
    }
}

} // namespace
