#include "cpu/CoreTopology.h"

#include <bitset>
#include <new>

#include "app/PlatformGaps.h"

namespace
{
namespace Layout = ProcessorInfoLayout;

GROUP_AFFINITY ReadAffinity(const BYTE* record, DWORD offset)
{
    GROUP_AFFINITY affinity{};
    affinity.Mask = static_cast<KAFFINITY>(ReadFieldAt<std::uint64_t>(record, offset + Layout::AffinityMaskOffset));
    affinity.Group = ReadFieldAt<WORD>(record, offset + Layout::AffinityGroupOffset);
    return affinity;
}

constexpr int GroupBits = 64;
} // namespace

CoreTopology::CoreTopology()
{
    try
    {
        DWORD length = 0;
        if (::GetLogicalProcessorInformationEx(RelationAll, nullptr, &length) ||
            ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return;
        std::vector<BYTE> buffer(length);
        if (!::GetLogicalProcessorInformationEx(
                RelationAll, reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.data()), &length))
            return;
        Parse(buffer.data(), length < buffer.size() ? length : buffer.size());
    }
    catch (const std::bad_alloc&)
    {
        // Construction never fails: an unknown topology reads as no processors and no E-cores.
        maximumEfficiencyClass_ = 0;
        nodeAffinities_.clear();
        efficiencyClasses_.clear();
    }
}

CoreTopology::CoreTopology(const void* buffer, size_t length)
{
    if (buffer != nullptr)
        Parse(static_cast<const BYTE*>(buffer), length);
}

// Every read stays inside both the record's own Size and the buffer's length, so a truncated or
// malformed record is skipped rather than read past.
void CoreTopology::Parse(const BYTE* buffer, size_t length)
{
    size_t offset = 0;
    while (length - offset >= Layout::HeaderSize)
    {
        const BYTE* record = buffer + offset;
        const DWORD size = ReadFieldAt<DWORD>(record, Layout::SizeOffset);
        // A record shorter than its header gives no way to the next one; one longer than the rest of
        // the buffer is cut off. Either way nothing further can be trusted.
        if (size < Layout::HeaderSize || size > length - offset)
            break;
        switch (ReadFieldAt<DWORD>(record, Layout::RelationshipOffset))
        {
        case Layout::ProcessorCoreRelation:
            if (size >= Layout::GroupMasksOffset + Layout::GroupAffinitySize)
            {
                // A core lies within one group: only the first mask counts.
                const DWORD efficiencyClass = ReadFieldAt<BYTE>(record, Layout::EfficiencyClassOffset);
                const GROUP_AFFINITY affinity = ReadAffinity(record, Layout::GroupMasksOffset);
                for (int number = 0; number < GroupBits; ++number)
                {
                    if ((static_cast<std::uint64_t>(affinity.Mask) >> number & 1u) == 0)
                        continue;
                    efficiencyClasses_[{static_cast<int>(affinity.Group), number}] = efficiencyClass;
                    if (efficiencyClass > maximumEfficiencyClass_)
                        maximumEfficiencyClass_ = efficiencyClass;
                }
            }
            break;
        case Layout::NumaNodeRelation: {
            // GroupCount itself lies at the end of the fixed part, so a shorter record has no field to read.
            if (size < Layout::GroupMasksOffset)
                break;
            // Systems before GroupCount existed leave it 0 and report exactly one mask.
            const WORD groupCount = ReadFieldAt<WORD>(record, Layout::GroupCountOffset);
            const DWORD masks = groupCount == 0 ? 1 : groupCount;
            if (size >= Layout::GroupMasksOffset + masks * Layout::GroupAffinitySize)
            {
                auto& list = nodeAffinities_[ReadFieldAt<DWORD>(record, Layout::NodeNumberOffset)];
                for (DWORD i = 0; i < masks; ++i)
                    list.push_back(ReadAffinity(record, Layout::GroupMasksOffset + i * Layout::GroupAffinitySize));
            }
            break;
        }
        default:
            break;
        }
        offset += size;
    }
}

DWORD CoreTopology::LogicalProcessorCount(DWORD node) const
{
    const auto found = nodeAffinities_.find(node);
    if (found == nodeAffinities_.end())
        return 0;
    DWORD count = 0;
    for (const auto& affinity : found->second)
        count += static_cast<DWORD>(std::bitset<GroupBits>(static_cast<std::uint64_t>(affinity.Mask)).count());
    return count;
}

bool CoreTopology::ProcessorOfNode(DWORD node, DWORD index, WORD& group, BYTE& number) const
{
    group = 0;
    number = 0;
    const auto found = nodeAffinities_.find(node);
    if (found == nodeAffinities_.end())
        return false;
    DWORD seen = 0;
    for (const auto& affinity : found->second)
    {
        const auto mask = static_cast<std::uint64_t>(affinity.Mask);
        for (int bit = 0; bit < GroupBits; ++bit)
        {
            if ((mask >> bit & 1u) == 0)
                continue;
            if (seen++ == index)
            {
                group = affinity.Group;
                number = static_cast<BYTE>(bit);
                return true;
            }
        }
    }
    return false;
}

bool CoreTopology::IsEfficiencyCore(int group, int number) const
{
    const auto found = efficiencyClasses_.find({group, number});
    return found != efficiencyClasses_.end() && found->second < maximumEfficiencyClass_;
}

DWORD CoreTopology::MaximumEfficiencyClass() const
{
    return maximumEfficiencyClass_;
}

namespace
{
std::uint64_t PCoresOfGroup(const CoreTopology& topology, WORD group,
                            const std::function<DWORD()>& activeProcessorCount)
{
    std::uint64_t mask = 0;
    // A group has at most 64 processors; a larger count must not shift past the mask.
    for (DWORD i = 0; i < static_cast<DWORD>(GroupBits) && i < activeProcessorCount(); ++i)
    {
        if (!topology.IsEfficiencyCore(group, static_cast<int>(i)))
            mask |= std::uint64_t{1} << i;
    }
    return mask;
}
} // namespace

PCoreData BuildPCoreMask(const CoreTopology& topology, const std::function<DWORD()>& activeProcessorCount)
{
    PCoreData data;
    data.PCoreMask = PCoresOfGroup(topology, 0, activeProcessorCount);
    GROUP_AFFINITY affinity{};
    affinity.Mask = static_cast<KAFFINITY>(data.PCoreMask);
    affinity.Group = 0;
    data.PCoreGroupAffinities.push_back(affinity);
    return data;
}

std::vector<GROUP_AFFINITY> PCoresOfEveryGroup(const CoreTopology& topology, WORD groupCount,
                                               const std::function<DWORD(WORD group)>& activeProcessorCount)
{
    std::vector<GROUP_AFFINITY> affinities;
    for (WORD group = 0; group < groupCount; ++group)
    {
        const std::uint64_t mask = PCoresOfGroup(topology, group, [&] { return activeProcessorCount(group); });
        if (mask == 0)
            continue;
        GROUP_AFFINITY affinity{};
        affinity.Mask = static_cast<KAFFINITY>(mask);
        affinity.Group = group;
        affinities.push_back(affinity);
    }
    return affinities;
}

PCoreData BuildPCoreMask()
{
    const CoreTopology topology;
    PCoreData data = BuildPCoreMask(topology, [] { return ::GetActiveProcessorCount(0); });
    data.EveryGroupPCores = PCoresOfEveryGroup(topology, ::GetActiveProcessorGroupCount(),
                                               [](WORD group) { return ::GetActiveProcessorCount(group); });
    return data;
}
