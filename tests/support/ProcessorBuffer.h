#pragma once
// Builds SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX buffers as GetLogicalProcessorInformationEx
// returns them on x64, so that hybrid processors and several NUMA nodes can be described on any
// machine. Written by offsets: older headers lack EfficiencyClass and NUMA GroupCount.
// Every record: Relationship (32 bits) at 0, Size (32 bits) at 4, the relationship's record from 8.

#include <windows.h>

#include <bitset>
#include <cstdint>
#include <cstring>
#include <vector>

namespace testing_support
{

// Relationships that the walk passes over, by number: MinGW-w64 10 names neither die nor module.
constexpr DWORD RelationDieNumber = 5;
constexpr DWORD RelationModuleNumber = 7;

class ProcessorBuffer
{
  public:
    using Bytes = std::vector<unsigned char>;

    // A processor-core record whose logical processors are the set bits of mask in group:
    // Flags at 8, EfficiencyClass at 9, GroupCount at 30, GroupMask[0] at 32.
    ProcessorBuffer& Core(WORD group, KAFFINITY mask, BYTE efficiencyClass)
    {
        const size_t at = Start(RelationProcessorCore, 48);
        bytes_[at + 8] = std::bitset<64>(mask).count() > 1 ? 1 : 0; // LTP_PC_SMT
        bytes_[at + 9] = efficiencyClass;
        Put<WORD>(at + 30, 1);
        Put<std::uint64_t>(at + 32, mask);
        Put<WORD>(at + 40, group);
        return *this;
    }
    // The same, class first, for tables that are mostly about classes.
    ProcessorBuffer& CoreOfClass(BYTE efficiencyClass, std::uint64_t mask, WORD group = 0)
    {
        return Core(group, static_cast<KAFFINITY>(mask), efficiencyClass);
    }
    // Cores numbered from firstNumber in group 0: each with threadsPerCore logical processors.
    ProcessorBuffer& Cores(int count, int firstNumber, int threadsPerCore, BYTE efficiencyClass)
    {
        for (int core = 0; core < count; ++core)
        {
            KAFFINITY mask = 0;
            for (int thread = 0; thread < threadsPerCore; ++thread)
                mask |= KAFFINITY{1} << (firstNumber + core * threadsPerCore + thread);
            Core(0, mask, efficiencyClass);
        }
        return *this;
    }
    // A NUMA-node record: NodeNumber at 8, GroupCount at 30 (as given, even 0), the masks from 32.
    ProcessorBuffer& Node(DWORD node, const std::vector<GROUP_AFFINITY>& masks, WORD groupCount)
    {
        const size_t at = Start(RelationNumaNode, static_cast<DWORD>(32 + 16 * masks.size()));
        Put<DWORD>(at + 8, node);
        Put<WORD>(at + 30, groupCount);
        for (size_t i = 0; i < masks.size(); ++i)
        {
            Put<std::uint64_t>(at + 32 + 16 * i, static_cast<std::uint64_t>(masks[i].Mask));
            Put<WORD>(at + 40 + 16 * i, masks[i].Group);
        }
        return *this;
    }
    // A NUMA-node record with a single group mask.
    ProcessorBuffer& Node(DWORD node, WORD group, std::uint64_t mask)
    {
        GROUP_AFFINITY affinity{};
        affinity.Group = group;
        affinity.Mask = static_cast<KAFFINITY>(mask);
        return Node(node, {affinity}, 1);
    }
    // A package, die or module record: the processor-core layout with flags and class 0, as
    // Windows fills them, over every processor of mask.
    ProcessorBuffer& ProcessorSet(DWORD relationship, WORD group, std::uint64_t mask)
    {
        const size_t at = Start(relationship, 48);
        Put<WORD>(at + 30, 1);
        Put<std::uint64_t>(at + 32, mask);
        Put<WORD>(at + 40, group);
        return *this;
    }
    // A cache record: Level at 8, Associativity at 9, LineSize at 10, CacheSize at 12, Type at 16,
    // GroupCount at 38, GroupMask[0] at 40.
    ProcessorBuffer& Cache(BYTE level, BYTE associativity, DWORD cacheSize, DWORD type, WORD group, std::uint64_t mask)
    {
        const size_t at = Start(RelationCache, 56);
        bytes_[at + 8] = level;
        bytes_[at + 9] = associativity;
        Put<WORD>(at + 10, 64);
        Put<DWORD>(at + 12, cacheSize);
        Put<DWORD>(at + 16, type);
        Put<WORD>(at + 38, 1);
        Put<std::uint64_t>(at + 40, mask);
        Put<WORD>(at + 48, group);
        return *this;
    }
    // A group record: MaximumGroupCount at 8, ActiveGroupCount at 10, then from 32 one 48-byte entry
    // per group: MaximumProcessorCount, ActiveProcessorCount, ActiveProcessorMask at 40.
    ProcessorBuffer& Groups(const std::vector<std::uint64_t>& activeMasks)
    {
        const size_t at = Start(RelationGroup, static_cast<DWORD>(32 + 48 * activeMasks.size()));
        Put<WORD>(at + 8, static_cast<WORD>(activeMasks.size()));
        Put<WORD>(at + 10, static_cast<WORD>(activeMasks.size()));
        for (size_t i = 0; i < activeMasks.size(); ++i)
        {
            const auto count = static_cast<BYTE>(std::bitset<64>(activeMasks[i]).count());
            bytes_[at + 32 + 48 * i] = count;
            bytes_[at + 33 + 48 * i] = count;
            Put<std::uint64_t>(at + 72 + 48 * i, activeMasks[i]);
        }
        return *this;
    }
    // Any record by its header alone, padded with zeros to length bytes (sizeField need not agree).
    ProcessorBuffer& Record(DWORD relationship, DWORD sizeField, size_t length)
    {
        const size_t at = Start(relationship, static_cast<DWORD>(length));
        Put<DWORD>(at + 4, sizeField);
        return *this;
    }

    [[nodiscard]] const Bytes& Get() const
    {
        return bytes_;
    }
    [[nodiscard]] const void* Data() const
    {
        return bytes_.data();
    }
    [[nodiscard]] size_t Size() const
    {
        return bytes_.size();
    }
    // The offsets at which the records end, in order.
    [[nodiscard]] const std::vector<size_t>& Ends() const
    {
        return ends_;
    }

  private:
    size_t Start(DWORD relationship, DWORD size)
    {
        const size_t at = bytes_.size();
        bytes_.resize(at + (size < 8 ? 8 : size));
        Put<DWORD>(at, relationship);
        Put<DWORD>(at + 4, size);
        ends_.push_back(bytes_.size());
        return at;
    }
    template <typename T> void Put(size_t at, T value)
    {
        std::memcpy(bytes_.data() + at, &value, sizeof(value));
    }

    Bytes bytes_;
    std::vector<size_t> ends_;
};

} // namespace testing_support
