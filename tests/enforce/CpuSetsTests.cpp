// CPU-set catalog and mask translation, from built GetSystemCpuSetInformation buffers and from the
// system's own list.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "enforce/CpuSets.h"

namespace
{
struct Record
{
    ULONG size = 32;
    ULONG type = 0;
    ULONG id = 0;
    WORD group = 0;
    BYTE index = 0;
    size_t room = 32; // bytes the record takes in the buffer
};

Record CpuSet(WORD group, BYTE index, ULONG id)
{
    Record record;
    record.group = group;
    record.index = index;
    record.id = id;
    return record;
}

void Put(std::vector<unsigned char>& bytes, size_t offset, const void* value, size_t size)
{
    if (offset + size <= bytes.size())
        std::memcpy(bytes.data() + offset, value, size);
}

std::vector<unsigned char> BuildBuffer(const std::vector<Record>& records)
{
    std::vector<unsigned char> bytes;
    for (const Record& record : records)
    {
        const size_t at = bytes.size();
        bytes.resize(at + record.room, 0);
        Put(bytes, at + 0, &record.size, 4);
        Put(bytes, at + 4, &record.type, 4);
        Put(bytes, at + 8, &record.id, 4);
        Put(bytes, at + 12, &record.group, 2);
        Put(bytes, at + 14, &record.index, 1);
    }
    return bytes;
}

// Group-0 processors 0 to 7 with the ids 256 to 263.
std::vector<Record> EightProcessors()
{
    std::vector<Record> records;
    for (BYTE i = 0; i < 8; ++i)
        records.push_back(CpuSet(0, i, 256 + i));
    return records;
}

GROUP_AFFINITY Affinity(KAFFINITY mask, WORD group)
{
    GROUP_AFFINITY affinity{};
    affinity.Mask = mask;
    affinity.Group = group;
    return affinity;
}

std::vector<ULONG> Translate(const CpuSetCatalog& catalog, const std::vector<GROUP_AFFINITY>& affinities)
{
    std::vector<ULONG> ids(64 * affinities.size() + 1, 0xDEADBEEF);
    const ULONG count = catalog.IdsFor(affinities, ids.data());
    EXPECT_EQ(ids[64 * affinities.size()], 0xDEADBEEFu) << "wrote past the room of 64 ids per record";
    ids.resize(count);
    return ids;
}

TEST(CpuSetCatalog, TranslatesMasksInRecordAndBitOrder)
{
    std::vector<Record> records = EightProcessors();
    records.push_back(CpuSet(1, 0, 300));
    records.push_back(CpuSet(1, 1, 301));
    const auto buffer = BuildBuffer(records);
    CpuSetCatalog catalog;
    catalog.AddRecords(buffer.data(), buffer.size());
    ASSERT_EQ(catalog.Size(), 10u);

    struct Case
    {
        const char* name;
        std::vector<GROUP_AFFINITY> affinities;
        std::vector<ULONG> ids;
    };
    const std::vector<Case> cases = {
        {"bits 0 to 7 of group 0", {Affinity(0xFF, 0)}, {256, 257, 258, 259, 260, 261, 262, 263}},
        {"bits beyond the known processors are skipped",
         {Affinity(~KAFFINITY{0}, 0)},
         {256, 257, 258, 259, 260, 261, 262, 263}},
        {"scattered bits", {Affinity(0x81, 0)}, {256, 263}},
        {"a zero mask", {Affinity(0, 0)}, {}},
        {"two groups in list order, not group order", {Affinity(0x3, 1), Affinity(0x5, 0)}, {300, 301, 256, 258}},
        {"a group the catalog does not know", {Affinity(0xFF, 2)}, {}},
        {"no records", {}, {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Translate(catalog, c.affinities), c.ids);
    }
}

TEST(CpuSetCatalog, WalkStaysInsideTheRecordsAndTheLength)
{
    Record otherType = CpuSet(0, 8, 999);
    otherType.type = 1;
    Record endOfList = CpuSet(0, 9, 999);
    endOfList.size = 0;
    Record padded = CpuSet(0, 1, 257);
    padded.size = 48;
    padded.room = 48;
    Record overrun = CpuSet(0, 1, 257);
    overrun.size = 4096;
    Record tiny = CpuSet(0, 1, 257);
    tiny.size = 8;
    tiny.type = 1;
    tiny.room = 8;

    struct Case
    {
        const char* name;
        std::vector<Record> records;
        size_t cut;             // bytes taken off the end of the length passed
        std::vector<ULONG> ids; // for the mask 0x3FF of group 0
    };
    const std::vector<Case> cases = {
        {"a record of another type is skipped", {CpuSet(0, 0, 256), otherType, CpuSet(0, 1, 257)}, 0, {256, 257}},
        {"a record of size 0 ends the walk", {CpuSet(0, 0, 256), endOfList, CpuSet(0, 1, 257)}, 0, {256}},
        {"a short tail is not read", {CpuSet(0, 0, 256), CpuSet(0, 1, 257)}, 1, {256}},
        {"the size gives the next record's place", {CpuSet(0, 0, 256), padded, CpuSet(0, 2, 258)}, 0, {256, 257, 258}},
        {"a size running past the length ends the walk",
         {CpuSet(0, 0, 256), overrun, CpuSet(0, 2, 258)},
         0,
         {256, 257}},
        {"a size below one record still moves on by it",
         {CpuSet(0, 0, 256), tiny, CpuSet(0, 2, 258), CpuSet(0, 3, 259)},
         0,
         {256, 258, 259}},
        {"a later record for the same processor wins", {CpuSet(0, 0, 256), CpuSet(0, 0, 270)}, 0, {270}},
        {"less than one record", {CpuSet(0, 0, 256)}, 1, {}},
        {"nothing", {}, 0, {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto buffer = BuildBuffer(c.records);
        CpuSetCatalog catalog;
        catalog.AddRecords(buffer.data(), buffer.size() - c.cut);
        EXPECT_EQ(Translate(catalog, {Affinity(0x3FF, 0)}), c.ids);
    }
}

// GetSystemCpuSetInformation stand-in; the tests set what it answers.
struct FakeCpuSetSystem
{
    std::vector<unsigned char> buffer;
    BOOL sizeQueryResult = FALSE;
    DWORD sizeQueryError = ERROR_INSUFFICIENT_BUFFER;
    ULONG reportedLength = 0; // 0: the buffer's size
    bool secondCallFails = false;
    ULONG secondReturnedLength = 0; // 0: the buffer's size
    int calls = 0;
} fake;

BOOL WINAPI FakeGetSystemCpuSetInformation(void* information, ULONG length, ULONG* returned, HANDLE, ULONG)
{
    ++fake.calls;
    const auto size = static_cast<ULONG>(fake.buffer.size());
    if (information == nullptr)
    {
        *returned = fake.reportedLength != 0 ? fake.reportedLength : size;
        ::SetLastError(fake.sizeQueryError);
        return fake.sizeQueryResult;
    }
    if (fake.secondCallFails || length < size)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(information, fake.buffer.data(), size);
    *returned = fake.secondReturnedLength != 0 ? fake.secondReturnedLength : size;
    return TRUE;
}

BOOL WINAPI FakeGetProcessDefaultCpuSets(HANDLE, ULONG*, ULONG, ULONG*)
{
    return TRUE;
}

BOOL WINAPI FakeSetProcessDefaultCpuSets(HANDLE, const ULONG*, ULONG)
{
    return TRUE;
}

CpuSetEntryPoints FakeEntryPoints()
{
    return {FakeGetProcessDefaultCpuSets, FakeSetProcessDefaultCpuSets, FakeGetSystemCpuSetInformation};
}

TEST(LoadCpuSetCatalog, LoadsOnceAndFailuresLeaveItEmpty)
{
    CpuSetEntryPoints missingGet = FakeEntryPoints();
    missingGet.GetProcessDefaultCpuSets = nullptr;
    CpuSetEntryPoints missingInformation = FakeEntryPoints();
    missingInformation.GetSystemCpuSetInformation = nullptr;

    struct Case
    {
        const char* name;
        CpuSetEntryPoints entryPoints;
        BOOL sizeQueryResult;
        DWORD sizeQueryError;
        bool emptyBuffer;
        bool secondCallFails;
        size_t entries;
        int callsPerLoad;
    };
    const std::vector<Case> cases = {
        {"everything answers", FakeEntryPoints(), FALSE, ERROR_INSUFFICIENT_BUFFER, false, false, 8, 2},
        {"GetProcessDefaultCpuSets missing", missingGet, FALSE, ERROR_INSUFFICIENT_BUFFER, false, false, 0, 0},
        {"GetSystemCpuSetInformation missing", missingInformation, FALSE, ERROR_INSUFFICIENT_BUFFER, false, false, 0,
         0},
        {"the size query succeeds", FakeEntryPoints(), TRUE, ERROR_INSUFFICIENT_BUFFER, false, false, 0, 1},
        {"the size query fails otherwise", FakeEntryPoints(), FALSE, ERROR_ACCESS_DENIED, false, false, 0, 1},
        {"the size query gives 0", FakeEntryPoints(), FALSE, ERROR_INSUFFICIENT_BUFFER, true, false, 0, 1},
        {"the second call fails", FakeEntryPoints(), FALSE, ERROR_INSUFFICIENT_BUFFER, false, true, 0, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        fake = FakeCpuSetSystem{};
        fake.buffer = c.emptyBuffer ? std::vector<unsigned char>{} : BuildBuffer(EightProcessors());
        fake.sizeQueryResult = c.sizeQueryResult;
        fake.sizeQueryError = c.sizeQueryError;
        fake.secondCallFails = c.secondCallFails;

        CpuSetCatalog catalog;
        std::vector<ULONG> ids(64);
        ULONG count = 99;
        EXPECT_TRUE(CpuSetIdsFor(catalog, c.entryPoints, {Affinity(0xF, 0)}, ids.data(), count));
        EXPECT_EQ(catalog.Size(), c.entries);
        EXPECT_EQ(count, c.entries != 0 ? 4u : 0u);
        EXPECT_EQ(fake.calls, c.callsPerLoad);
        // A loaded catalog is never read again; an empty one is tried again by each translation.
        EXPECT_TRUE(CpuSetIdsFor(catalog, c.entryPoints, {Affinity(0xF, 0)}, ids.data(), count));
        EXPECT_EQ(fake.calls, c.entries != 0 ? c.callsPerLoad : 2 * c.callsPerLoad);
    }
}

TEST(LoadCpuSetCatalog, ALengthBeyondTheBufferIsNotTrusted)
{
    fake = FakeCpuSetSystem{};
    fake.buffer = BuildBuffer(EightProcessors());
    fake.secondReturnedLength = static_cast<ULONG>(fake.buffer.size()) + 4096;
    CpuSetCatalog catalog;
    LoadCpuSetCatalog(catalog, FakeEntryPoints());
    EXPECT_EQ(catalog.Size(), 8u);
}

TEST(LoadCpuSetCatalog, ReadsTheSystemList)
{
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    auto* systemInformation = reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "GetSystemCpuSetInformation"));
    if (systemInformation == nullptr)
        GTEST_SKIP() << "this system has no GetSystemCpuSetInformation";
    // Wine lacks GetProcessDefaultCpuSets, which the load insists on; stand-ins take the two others'
    // place so that the system's own list is walked.
    CpuSetEntryPoints entryPoints = FakeEntryPoints();
    entryPoints.GetSystemCpuSetInformation = reinterpret_cast<GetSystemCpuSetInformationProc>(systemInformation);
    CpuSetCatalog catalog;
    LoadCpuSetCatalog(catalog, entryPoints);
    EXPECT_EQ(catalog.Size(), ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    ULONG id = 0;
    EXPECT_TRUE(catalog.Find(0, 0, id));
}

} // namespace
