#pragma once
// Logical processors by NUMA node, group and number, with their efficiency classes.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

class CoreTopology
{
  public:
    // Discovery from GetLogicalProcessorInformationEx(RelationAll); never fails (empty on error).
    CoreTopology();
    // The same walk over a recorded or built SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX buffer.
    CoreTopology(const void* buffer, size_t length);

    [[nodiscard]] DWORD LogicalProcessorCount(DWORD node) const;
    // The index-th processor of node (counting set mask bits in list order); false and 0/0 when
    // the node is unknown or has fewer processors.
    bool ProcessorOfNode(DWORD node, DWORD index, WORD& group, BYTE& number) const;
    // An E-core has a class entry below the highest class seen; everything else is a P-core.
    [[nodiscard]] bool IsEfficiencyCore(int group, int number) const;
    [[nodiscard]] DWORD MaximumEfficiencyClass() const;

  private:
    void Parse(const BYTE* buffer, size_t length);

    DWORD maximumEfficiencyClass_ = 0;
    std::map<DWORD, std::vector<GROUP_AFFINITY>> nodeAffinities_;
    std::map<std::pair<int, int>, DWORD> efficiencyClasses_;
};

// The P-cores of processor group 0, as a mask and as a one-record group-affinity list, and the
// P-cores of every active group (one record per group that has any), which machines with more than
// one processor group steer by CPU sets.
struct PCoreData
{
    std::uint64_t PCoreMask = 0;
    std::vector<GROUP_AFFINITY> PCoreGroupAffinities;
    std::vector<GROUP_AFFINITY> EveryGroupPCores;
};

// activeProcessorCount is asked before every step, as GetActiveProcessorCount(0) is by default.
PCoreData BuildPCoreMask(const CoreTopology& topology, const std::function<DWORD()>& activeProcessorCount);
// The P-cores of groups 0 to groupCount - 1, a record for each group with at least one;
// activeProcessorCount(group) is asked before every step of that group.
std::vector<GROUP_AFFINITY> PCoresOfEveryGroup(const CoreTopology& topology, WORD groupCount,
                                               const std::function<DWORD(WORD group)>& activeProcessorCount);
// From a fresh system topology and the system's active processor counts and groups.
PCoreData BuildPCoreMask();
