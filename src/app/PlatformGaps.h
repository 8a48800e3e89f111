#pragma once
// Declarations that the MinGW-w64 10 headers lack (the Windows SDK has them), kept in one place.
// Each block says what is missing; every block compiles away where the SDK already defines it.

#include <windows.h>

#include <cstddef>
#include <cstring>

// A field of a variable-length record read at its byte offset. Such buffers give no alignment
// guarantee, so the bytes are copied rather than the field read in place.
template <typename T> T ReadFieldAt(const unsigned char* bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
}

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

// PROCESS_SET_LIMITED_INFORMATION (the right SetProcessDefaultCpuSets needs) is missing from winnt.h.
inline constexpr DWORD ProcessSetLimitedInformationAccess = 0x2000;

// ProcessPowerThrottling of PROCESS_INFORMATION_CLASS and PROCESS_POWER_THROTTLING_STATE exist in
// both header sets, but only from certain versions on; our own copies keep the code independent.
inline constexpr int ProcessPowerThrottlingClass = 4;
inline constexpr ULONG PowerThrottlingCurrentVersion = 1;
inline constexpr ULONG PowerThrottlingExecutionSpeed = 0x1;
struct PowerThrottlingState
{
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
};
static_assert(sizeof(PowerThrottlingState) == 12, "PROCESS_POWER_THROTTLING_STATE is 12 bytes");

// Entry points looked up at run time (Windows 8 and 10 only), under our own names.
using SetProcessInformationProc = BOOL(WINAPI*)(HANDLE process, int informationClass, void* information,
                                                DWORD informationSize);
using GetProcessDefaultCpuSetsProc = BOOL(WINAPI*)(HANDLE process, ULONG* cpuSetIds, ULONG cpuSetIdCount,
                                                   ULONG* requiredIdCount);
using SetProcessDefaultCpuSetsProc = BOOL(WINAPI*)(HANDLE process, const ULONG* cpuSetIds, ULONG cpuSetIdCount);
using GetSystemCpuSetInformationProc = BOOL(WINAPI*)(void* information, ULONG bufferLength, ULONG* returnedLength,
                                                     HANDLE process, ULONG flags);

// SYSTEM_CPU_SET_INFORMATION is missing from winnt.h; its records are read by offset.
namespace CpuSetRecordLayout
{
inline constexpr size_t SizeOffset = 0;          // ULONG: length of this record; 0 ends the list
inline constexpr size_t TypeOffset = 4;          // ULONG: CPU_SET_INFORMATION_TYPE
inline constexpr size_t IdOffset = 8;            // ULONG
inline constexpr size_t GroupOffset = 12;        // USHORT
inline constexpr size_t LogicalIndexOffset = 14; // BYTE: LogicalProcessorIndex
inline constexpr size_t RecordLength = 32;       // a CpuSetInformation record
inline constexpr ULONG CpuSetInformationType = 0;
} // namespace CpuSetRecordLayout

// ---- Task Scheduler 2.0 (taskschd.h) ----------------------------------------------------------
// MinGW-w64 10 has neither the TaskScheduler class id nor ILogonTrigger, and declares the interface ids only as
// link-time symbols; our own constants and names keep this compiling against the Windows SDK as well.

#include <taskschd.h>

inline constexpr CLSID TaskSchedulerClassId = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
inline constexpr IID TaskServiceInterfaceId = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
inline constexpr IID LogonTriggerInterfaceId = {
    0x72DADE38, 0xFAE4, 0x4B3E, {0xBA, 0xF4, 0x5D, 0x00, 0x9A, 0xF0, 0x2B, 0x1C}};
inline constexpr IID ExecActionInterfaceId = {
    0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
inline constexpr IID TriggerInterfaceId = {
    0x09941815, 0xEA89, 0x4B5B, {0x89, 0xE0, 0x2A, 0x77, 0x38, 0x01, 0xFA, 0xC3}};
inline constexpr IID ActionInterfaceId = {
    0xBAE54997, 0x48B1, 0x4CBE, {0x99, 0x65, 0xD6, 0xBE, 0x26, 0x3E, 0xBE, 0xA4}};

// ILogonTrigger: ITrigger followed by the Delay and UserId properties, in the vtable order of taskschd.idl.
struct LogonTriggerInterface : public ITrigger
{
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};

