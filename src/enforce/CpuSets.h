#pragma once
// Translation of P-core group masks into the CPU-set ids that SetProcessDefaultCpuSets wants.

#include <windows.h>

#include <cstddef>
#include <map>
#include <utility>
#include <vector>

#include "app/PlatformGaps.h"

// The CPU-set entry points, looked up by name because older systems lack them; each null when absent.
struct CpuSetEntryPoints
{
    GetProcessDefaultCpuSetsProc GetProcessDefaultCpuSets = nullptr;
    SetProcessDefaultCpuSetsProc SetProcessDefaultCpuSets = nullptr;
    GetSystemCpuSetInformationProc GetSystemCpuSetInformation = nullptr;

    [[nodiscard]] bool AllPresent() const noexcept
    {
        return GetProcessDefaultCpuSets != nullptr && SetProcessDefaultCpuSets != nullptr &&
               GetSystemCpuSetInformation != nullptr;
    }
};

// Logical processor (group, index within the group) to CPU-set id. Empty until the first load that
// finds a record, then fixed: processors added later are only seen after a restart.
class CpuSetCatalog
{
  public:
    [[nodiscard]] bool IsLoaded() const noexcept
    {
        return !ids_.empty();
    }
    [[nodiscard]] size_t Size() const noexcept
    {
        return ids_.size();
    }
    // Enters the CpuSetInformation records of a GetSystemCpuSetInformation buffer (a later record for
    // the same processor wins). Reads nothing at or beyond length: a tail shorter than one record is
    // left alone, and a record of size 0 ends the walk.
    void AddRecords(const void* buffer, size_t length);
    [[nodiscard]] bool Find(WORD group, BYTE index, ULONG& id) const;
    // Appends the ids of the set mask bits the catalog knows, record by record, bits in ascending
    // order; ids needs room for 64 per record. Returns the number written.
    ULONG IdsFor(const std::vector<GROUP_AFFINITY>& affinities, ULONG* ids) const;

  private:
    std::map<std::pair<DWORD, DWORD>, ULONG> ids_;
};

// Fills an empty catalog from GetSystemCpuSetInformation when all three entry points exist; any
// failure leaves it empty, so the next call tries again.
void LoadCpuSetCatalog(CpuSetCatalog& catalog, const CpuSetEntryPoints& entryPoints);

// LoadCpuSetCatalog, then the ids of the masks (room for 64 per record) and their number in count.
bool CpuSetIdsFor(CpuSetCatalog& catalog, const CpuSetEntryPoints& entryPoints,
                  const std::vector<GROUP_AFFINITY>& affinities, ULONG* ids, ULONG& count);
