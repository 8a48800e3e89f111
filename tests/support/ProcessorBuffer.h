#pragma once
// Builds SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX buffers as GetLogicalProcessorInformationEx
// returns them, so that hybrid processors and several NUMA nodes can be described on any machine.
// Written by offsets: older headers lack EfficiencyClass and NUMA GroupCount.

#include <windows.h>

#include <cstring>
#include <vector>

namespace testing_support
{

class ProcessorBuffer
{
  public:
    // One processor-core record: its logical processors are the set bits of mask in group.
    ProcessorBuffer& Core(WORD group, KAFFINITY mask, BYTE efficiencyClass)
    {
        const size_t at = Begin(RelationProcessorCore);
        bytes_[at + 8 + 1] = efficiencyClass;
        Put<WORD>(at + 8 + 22, 1); // GroupCount
        PutAffinity(at + 8 + 24, group, mask);
        return *this;
    }
    // One NUMA-node record with a single group mask.
    ProcessorBuffer& Node(DWORD number, WORD group, KAFFINITY mask)
    {
        const size_t at = Begin(RelationNumaNode);
        Put<DWORD>(at + 8, number);
        Put<WORD>(at + 8 + 22, 1); // GroupCount
        PutAffinity(at + 8 + 24, group, mask);
        return *this;
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

    [[nodiscard]] const void* Data() const
    {
        return bytes_.data();
    }
    [[nodiscard]] size_t Size() const
    {
        return bytes_.size();
    }

  private:
    static constexpr size_t RecordSize = 48; // header, relationship up to GroupMask, one GROUP_AFFINITY

    size_t Begin(LOGICAL_PROCESSOR_RELATIONSHIP relationship)
    {
        const size_t at = bytes_.size();
        bytes_.resize(at + RecordSize, 0);
        Put<DWORD>(at, static_cast<DWORD>(relationship));
        Put<DWORD>(at + 4, static_cast<DWORD>(RecordSize));
        return at;
    }
    void PutAffinity(size_t at, WORD group, KAFFINITY mask)
    {
        Put<KAFFINITY>(at, mask);
        Put<WORD>(at + 8, group);
    }
    template <typename T> void Put(size_t at, T value)
    {
        std::memcpy(bytes_.data() + at, &value, sizeof(value));
    }

    std::vector<BYTE> bytes_;
};

} // namespace testing_support
