#include "enforce/CpuSets.h"

#include <algorithm>
#include <cstdint>

void CpuSetCatalog::AddRecords(const void* buffer, size_t length)
{
    namespace layout = CpuSetRecordLayout;
    if (buffer == nullptr)
        return;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    size_t offset = 0;
    while (length >= layout::RecordLength && offset <= length - layout::RecordLength)
    {
        const auto size = ReadFieldAt<ULONG>(bytes, offset + layout::SizeOffset);
        if (size == 0)
            break;
        if (ReadFieldAt<ULONG>(bytes, offset + layout::TypeOffset) == layout::CpuSetInformationType)
        {
            const auto group = ReadFieldAt<WORD>(bytes, offset + layout::GroupOffset);
            const auto index = ReadFieldAt<BYTE>(bytes, offset + layout::LogicalIndexOffset);
            ids_[{group, index}] = ReadFieldAt<ULONG>(bytes, offset + layout::IdOffset);
        }
        if (size > length - offset)
            break;
        offset += size;
    }
}

bool CpuSetCatalog::Find(WORD group, BYTE index, ULONG& id) const
{
    const auto it = ids_.find({group, index});
    if (it == ids_.end())
        return false;
    id = it->second;
    return true;
}

ULONG CpuSetCatalog::IdsFor(const std::vector<GROUP_AFFINITY>& affinities, ULONG* ids) const
{
    ULONG count = 0;
    for (const GROUP_AFFINITY& affinity : affinities)
    {
        const auto mask = static_cast<std::uint64_t>(affinity.Mask);
        for (unsigned bit = 0; bit < 64; ++bit)
        {
            ULONG id = 0;
            if ((mask >> bit) & 1u && Find(affinity.Group, static_cast<BYTE>(bit), id))
                ids[count++] = id;
        }
    }
    return count;
}

void LoadCpuSetCatalog(CpuSetCatalog& catalog, const CpuSetEntryPoints& entryPoints)
{
    if (catalog.IsLoaded() || !entryPoints.AllPresent())
        return;
    ULONG needed = 0;
    if (entryPoints.GetSystemCpuSetInformation(nullptr, 0, &needed, ::GetCurrentProcess(), 0) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return;
    std::vector<unsigned char> buffer(needed);
    ULONG returned = 0;
    if (!entryPoints.GetSystemCpuSetInformation(buffer.data(), needed, &returned, ::GetCurrentProcess(), 0))
        return;
    // A returned length beyond the buffer (the CPU sets changed between the calls) is not trusted.
    catalog.AddRecords(buffer.data(), std::min<size_t>(returned, buffer.size()));
}

bool CpuSetIdsFor(CpuSetCatalog& catalog, const CpuSetEntryPoints& entryPoints,
                  const std::vector<GROUP_AFFINITY>& affinities, ULONG* ids, ULONG& count)
{
    LoadCpuSetCatalog(catalog, entryPoints);
    count = catalog.IdsFor(affinities, ids);
    return true;
}
