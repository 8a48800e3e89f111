#pragma once
// Declarations that the MinGW-w64 10 headers lack (the Windows SDK has them), kept in one place.
// Each block says what is missing; every block compiles away where the SDK already defines it.

#include <windows.h>

#include <cstddef>

// ---- Processor topology (winnt.h) -------------------------------------------------------------
// SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX records are read field by field at these offsets: the
// MinGW-w64 10 headers lack PROCESSOR_RELATIONSHIP::EfficiencyClass and NUMA_NODE_RELATIONSHIP::GroupCount
// and GroupMasks, and offset reads keep a recorded or built buffer readable without trusting it.
namespace ProcessorInfoLayout
{
constexpr DWORD RelationshipOffset = 0; // LOGICAL_PROCESSOR_RELATIONSHIP as 32 bits
constexpr DWORD SizeOffset = 4;         // the whole record, variable-length array included
constexpr DWORD HeaderSize = 8;
constexpr DWORD ProcessorCoreRelation = 0; // RelationProcessorCore
constexpr DWORD NumaNodeRelation = 1;      // RelationNumaNode
// PROCESSOR_RELATIONSHIP at 8: Flags, EfficiencyClass, Reserved[20], GroupCount, GroupMask[].
constexpr DWORD EfficiencyClassOffset = 9;
// NUMA_NODE_RELATIONSHIP at 8: NodeNumber, Reserved[18], GroupCount, GroupMasks[].
constexpr DWORD NodeNumberOffset = 8;
constexpr DWORD GroupCountOffset = 30; // both relationships
constexpr DWORD GroupMasksOffset = 32; // both relationships
// GROUP_AFFINITY: Mask (64 bits), Group (16 bits), Reserved[3].
constexpr DWORD GroupAffinitySize = 16;
constexpr DWORD AffinityMaskOffset = 0;
constexpr DWORD AffinityGroupOffset = 8;
} // namespace ProcessorInfoLayout

static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, Size) == ProcessorInfoLayout::SizeOffset);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, Processor) == ProcessorInfoLayout::HeaderSize);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, NumaNode) == ProcessorInfoLayout::HeaderSize);
static_assert(ProcessorInfoLayout::HeaderSize + offsetof(PROCESSOR_RELATIONSHIP, GroupCount) ==
              ProcessorInfoLayout::GroupCountOffset);
static_assert(ProcessorInfoLayout::HeaderSize + offsetof(PROCESSOR_RELATIONSHIP, GroupMask) ==
              ProcessorInfoLayout::GroupMasksOffset);
static_assert(ProcessorInfoLayout::HeaderSize + offsetof(NUMA_NODE_RELATIONSHIP, GroupMask) ==
              ProcessorInfoLayout::GroupMasksOffset);
static_assert(sizeof(GROUP_AFFINITY) == ProcessorInfoLayout::GroupAffinitySize);
static_assert(offsetof(GROUP_AFFINITY, Group) == ProcessorInfoLayout::AffinityGroupOffset);
static_assert(RelationProcessorCore == ProcessorInfoLayout::ProcessorCoreRelation &&
              RelationNumaNode == ProcessorInfoLayout::NumaNodeRelation);


// ---- Power throttling, process rights and CPU sets (winnt.h, processthreadsapi.h) -------------


// ---- Task Scheduler 2.0 (taskschd.h) ----------------------------------------------------------

