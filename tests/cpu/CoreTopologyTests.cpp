// CoreTopology over built processor-information buffers (hybrid parts Wine cannot show) and over the
// machine's own.

#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <set>
#include <sstream>

#include "cpu/CoreTopology.h"
#include "support/ProcessorBuffer.h"

namespace
{
using Bytes = std::vector<unsigned char>;

GROUP_AFFINITY Affinity(WORD group, std::uint64_t mask)
{
    GROUP_AFFINITY affinity{};
    affinity.Group = group;
    affinity.Mask = static_cast<KAFFINITY>(mask);
    return affinity;
}

using ProcessorInfoBuffer = testing_support::ProcessorBuffer;

CoreTopology Parse(const Bytes& bytes)
{
    return CoreTopology(bytes.data(), bytes.size());
}

// Everything a topology tells about groups 0 and 1 and nodes 0 to 3, for comparing two of them.
std::string Describe(const CoreTopology& topology)
{
    std::ostringstream text;
    text << "max " << topology.MaximumEfficiencyClass() << "; E-cores";
    for (int group = 0; group < 2; ++group)
        for (int number = 0; number < 64; ++number)
            if (topology.IsEfficiencyCore(group, number))
                text << ' ' << group << ':' << number;
    for (DWORD node = 0; node < 4; ++node)
    {
        text << "; node " << node << ':';
        WORD group = 0;
        BYTE number = 0;
        for (DWORD index = 0; topology.ProcessorOfNode(node, index, group, number); ++index)
            text << ' ' << group << ':' << static_cast<int>(number);
        text << " (" << topology.LogicalProcessorCount(node) << ')';
    }
    return text.str();
}

// Four hyper-threaded P-cores of class 1 (processors 0 to 7) and four E-cores of class 0 (8 to 11).
ProcessorInfoBuffer HybridTwelve()
{
    ProcessorInfoBuffer buffer;
    for (int core = 0; core < 4; ++core)
        buffer.CoreOfClass(1, std::uint64_t{3} << (2 * core));
    for (int core = 8; core < 12; ++core)
        buffer.CoreOfClass(0, std::uint64_t{1} << core);
    buffer.Node(0, 0, 0xFFF);
    return buffer;
}

std::function<DWORD()> Active(DWORD count)
{
    return [count] { return count; };
}

TEST(CoreTopology, HybridPartClassifiesEachLogicalProcessor)
{
    const CoreTopology topology = Parse(HybridTwelve().Get());
    EXPECT_EQ(topology.MaximumEfficiencyClass(), 1u);
    for (int number = 0; number < 16; ++number)
    {
        SCOPED_TRACE(number);
        EXPECT_EQ(topology.IsEfficiencyCore(0, number), number >= 8 && number < 12);
        EXPECT_FALSE(topology.IsEfficiencyCore(1, number));
    }
    EXPECT_EQ(topology.LogicalProcessorCount(0), 12u);
}

TEST(CoreTopology, PCoreMaskCoversThePCoresOfGroupZero)
{
    struct Case
    {
        const char* name;
        ProcessorInfoBuffer buffer;
        DWORD activeProcessors;
        std::uint64_t mask;
    };
    const std::vector<Case> cases = {
        {"hybrid: both threads of each P-core", HybridTwelve(), 12, 0xFF},
        {"three classes: only the highest counts",
         ProcessorInfoBuffer().CoreOfClass(2, 0x3).CoreOfClass(1, 0xC).CoreOfClass(0, 0x10).CoreOfClass(0, 0x20).CoreOfClass(2, 0xC0), 8, 0xC3},
        {"non-hybrid: the lowest active count of bits", ProcessorInfoBuffer().CoreOfClass(0, 0x3).CoreOfClass(0, 0xC).CoreOfClass(0, 0x30),
         6, 0x3F},
        {"non-hybrid with fewer active processors than reported", ProcessorInfoBuffer().CoreOfClass(0, 0xFF), 5, 0x1F},
        {"processors that no core record names are P-cores", ProcessorInfoBuffer().CoreOfClass(1, 0x3).CoreOfClass(0, 0xC), 6, 0x33},
        {"a later record for a processor wins", ProcessorInfoBuffer().CoreOfClass(1, 0x3).CoreOfClass(0, 0x1), 2, 0x2},
        {"other groups never count", ProcessorInfoBuffer().CoreOfClass(0, 0xF).CoreOfClass(1, 0xF, 1), 4, 0x0},
        {"no topology at all", ProcessorInfoBuffer(), 4, 0xF},
        {"no active processors", HybridTwelve(), 0, 0x0},
        {"a full group", ProcessorInfoBuffer().CoreOfClass(0, ~std::uint64_t{0}), 64, ~std::uint64_t{0}},
        {"a count beyond one group stops at 64 bits", ProcessorInfoBuffer(), 80, ~std::uint64_t{0}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const PCoreData data = BuildPCoreMask(Parse(c.buffer.Get()), Active(c.activeProcessors));
        EXPECT_EQ(data.PCoreMask, c.mask);
        ASSERT_EQ(data.PCoreGroupAffinities.size(), 1u);
        const GROUP_AFFINITY& affinity = data.PCoreGroupAffinities[0];
        EXPECT_EQ(static_cast<std::uint64_t>(affinity.Mask), c.mask);
        EXPECT_EQ(affinity.Group, 0);
        EXPECT_EQ(affinity.Reserved[0] | affinity.Reserved[1] | affinity.Reserved[2], 0);
    }
}

TEST(CoreTopology, PCoreMaskAsksTheActiveCountBeforeEveryStep)
{
    // Processors can go offline while the mask is built; a count read once would keep them.
    int asked = 0;
    const auto shrinking = [&asked]() -> DWORD { return ++asked <= 3 ? 8 : 3; };
    const PCoreData data = BuildPCoreMask(Parse(ProcessorInfoBuffer().Get()), shrinking);
    EXPECT_EQ(data.PCoreMask, 0x7u);
    EXPECT_EQ(asked, 4) << "once before each of the three steps and once for the end";
}

TEST(CoreTopology, EveryGroupGetsARecordOfItsOwnPCores)
{
    const ProcessorInfoBuffer twoGroups = ProcessorInfoBuffer()
                                              .CoreOfClass(1, 0x0F, 0)
                                              .CoreOfClass(0, 0xF0, 0)
                                              .CoreOfClass(1, 0x03, 1)
                                              .CoreOfClass(0, 0x0C, 1)
                                              .CoreOfClass(0, 0x0F, 2);
    struct Case
    {
        const char* name;
        WORD groups;
        std::vector<DWORD> active; // by group
        std::vector<GROUP_AFFINITY> expected;
    };
    const std::vector<Case> cases = {
        {"one group", 1, {8}, {Affinity(0, 0x0F)}},
        {"two groups", 2, {8, 4}, {Affinity(0, 0x0F), Affinity(1, 0x03)}},
        {"a group of E-cores only has no record", 3, {8, 4, 4}, {Affinity(0, 0x0F), Affinity(1, 0x03)}},
        {"each group's own active count", 2, {2, 1}, {Affinity(0, 0x03), Affinity(1, 0x01)}},
        {"no groups", 0, {}, {}},
    };
    const CoreTopology topology = Parse(twoGroups.Get());
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto found = PCoresOfEveryGroup(topology, c.groups, [&](WORD group) { return c.active.at(group); });
        ASSERT_EQ(found.size(), c.expected.size());
        for (size_t i = 0; i < found.size(); ++i)
        {
            EXPECT_EQ(found[i].Group, c.expected[i].Group) << i;
            EXPECT_EQ(static_cast<std::uint64_t>(found[i].Mask), static_cast<std::uint64_t>(c.expected[i].Mask)) << i;
        }
    }
}

TEST(CoreTopology, NodesCountAndIndexTheirProcessorsInReportedOrder)
{
    const CoreTopology topology = Parse(ProcessorInfoBuffer()
                                            .Node(0, 0, 0x00FF)
                                            .Node(1, 0, 0xFF00)
                                            .Node(2, {Affinity(1, 0x3), Affinity(0, 0x30000)}, 2)
                                            .Node(3, 0, 0x1)
                                            .Node(3, 1, 0x8000000000000000)
                                            .Get());
    struct Case
    {
        DWORD node;
        DWORD index;
        bool found;
        WORD group;
        int number;
    };
    const std::vector<Case> cases = {
        {0, 0, true, 0, 0},  {0, 7, true, 0, 7},  {0, 8, false, 0, 0}, {1, 0, true, 0, 8},
        {1, 7, true, 0, 15}, {2, 1, true, 1, 1},  {2, 2, true, 0, 16}, {2, 4, false, 0, 0},
        {3, 0, true, 0, 0},  {3, 1, true, 1, 63}, {7, 0, false, 0, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "node " << c.node << " index " << c.index);
        WORD group = 9;
        BYTE number = 9;
        EXPECT_EQ(topology.ProcessorOfNode(c.node, c.index, group, number), c.found);
        EXPECT_EQ(group, c.group);
        EXPECT_EQ(number, c.number);
    }
    EXPECT_EQ(topology.LogicalProcessorCount(0), 8u);
    EXPECT_EQ(topology.LogicalProcessorCount(1), 8u);
    EXPECT_EQ(topology.LogicalProcessorCount(2), 4u);
    EXPECT_EQ(topology.LogicalProcessorCount(3), 2u);
    EXPECT_EQ(topology.LogicalProcessorCount(7), 0u);
}

TEST(CoreTopology, NodeRecordWithoutGroupCountHoldsExactlyOneMask)
{
    // The second mask lies inside the record but is not announced.
    const CoreTopology topology = Parse(ProcessorInfoBuffer().Node(0, {Affinity(0, 0xF), Affinity(1, 0xFF)}, 0).Get());
    EXPECT_EQ(topology.LogicalProcessorCount(0), 4u);
    WORD group = 0;
    BYTE number = 0;
    EXPECT_FALSE(topology.ProcessorOfNode(0, 4, group, number));
}

TEST(CoreTopology, MalformedRecordsAreSkippedOrEndTheWalk)
{
    struct Case
    {
        const char* name;
        ProcessorInfoBuffer buffer;
        std::string expected; // as Describe gives it
    };
    const auto expect = [](ProcessorInfoBuffer buffer) { return Describe(Parse(buffer.Get())); };
    const std::vector<Case> cases = {
        {"other relationships are passed over",
         ProcessorInfoBuffer()
             .Cache(2, 8, 1 << 20, CacheUnified, 0, 0x3)
             .CoreOfClass(1, 0x3)
             .Groups({0x7})
             .CoreOfClass(0, 0x4)
             .ProcessorSet(testing_support::RelationModuleNumber, 0, 0x4)
             .ProcessorSet(RelationProcessorPackage, 0, 0x7),
         expect(ProcessorInfoBuffer().CoreOfClass(1, 0x3).CoreOfClass(0, 0x4))},
        {"a core record too short for its mask is skipped",
         ProcessorInfoBuffer().Record(0, 40, 40).CoreOfClass(1, 0x3).CoreOfClass(0, 0x4),
         expect(ProcessorInfoBuffer().CoreOfClass(1, 0x3).CoreOfClass(0, 0x4))},
        {"a node record too short for its announced masks is skipped",
         ProcessorInfoBuffer().Node(0, {Affinity(0, 0xF)}, 2).Node(1, 0, 0xF0),
         expect(ProcessorInfoBuffer().Node(1, 0, 0xF0))},
        {"a size of zero ends the walk", ProcessorInfoBuffer().CoreOfClass(1, 0x3).Record(0, 0, 48).CoreOfClass(0, 0x4).Node(0, 0, 7),
         expect(ProcessorInfoBuffer().CoreOfClass(1, 0x3))},
        {"a size shorter than the header ends the walk",
         ProcessorInfoBuffer().CoreOfClass(1, 0x3).Record(1, 4, 48).CoreOfClass(0, 0x4), expect(ProcessorInfoBuffer().CoreOfClass(1, 0x3))},
        {"a size beyond the buffer is not read", ProcessorInfoBuffer().CoreOfClass(1, 0x3).Record(0, 4096, 48),
         expect(ProcessorInfoBuffer().CoreOfClass(1, 0x3))},
        {"a size of 0xFFFFFFFF is not read", ProcessorInfoBuffer().Node(0, 0, 1).Record(1, 0xFFFFFFFF, 48),
         expect(ProcessorInfoBuffer().Node(0, 0, 1))},
        {"a lone header claiming more than is left", ProcessorInfoBuffer().CoreOfClass(0, 0x1).Record(0, 48, 8),
         expect(ProcessorInfoBuffer().CoreOfClass(0, 0x1))},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Describe(Parse(c.buffer.Get())), c.expected);
    }
    // The walk copes with nothing at all.
    EXPECT_EQ(Describe(CoreTopology(nullptr, 0)), expect(ProcessorInfoBuffer()));
}

// A copy of the first length bytes that ends exactly where an inaccessible page begins, so that any
// read past the given length faults instead of passing unnoticed.
class GuardedCopy
{
  public:
    GuardedCopy(const Bytes& bytes, size_t length)
    {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t total = (length + page - 1) / page * page + page;
        base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (base_ == nullptr)
            return;
        DWORD old = 0;
        ::VirtualProtect(base_ + total - page, page, PAGE_NOACCESS, &old);
        data_ = base_ + total - page - length;
        if (length != 0)
            std::memcpy(data_, bytes.data(), length);
    }
    ~GuardedCopy()
    {
        if (base_ != nullptr)
            ::VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    [[nodiscard]] const BYTE* Data() const
    {
        return data_;
    }

  private:
    BYTE* base_ = nullptr;
    BYTE* data_ = nullptr;
};

TEST(CoreTopology, ATruncatedBufferKeepsItsCompleteRecordsAndReadsNoFurther)
{
    ProcessorInfoBuffer full = HybridTwelve();
    full.Record(2, 56, 56).Node(1, {Affinity(0, 0xF000), Affinity(1, 0xF)}, 2).CoreOfClass(1, 0xF, 1);
    const Bytes& bytes = full.Get();
    for (size_t length = 0; length <= bytes.size(); ++length)
    {
        SCOPED_TRACE(testing::Message() << "length " << length);
        size_t complete = 0;
        for (size_t end : full.Ends())
            if (end <= length)
                complete = end;
        GuardedCopy copy(bytes, length);
        ASSERT_NE(copy.Data(), nullptr);
        EXPECT_EQ(Describe(CoreTopology(copy.Data(), length)), Describe(CoreTopology(bytes.data(), complete)));
    }
}

TEST(CoreTopology, ARecordTooShortForItsFieldsIsSkippedWithoutReadingPastIt)
{
    // Each short record comes last and ends at an inaccessible page: reading any field it does not
    // hold faults instead of passing unnoticed.
    struct Case
    {
        const char* name;
        DWORD relationship;
        DWORD size;
    };
    const Case cases[] = {
        {"a node record of its header only", 1, 8},
        {"a node record ending before its group count", 1, 16},
        {"a node record ending inside its group count", 1, 31},
        {"a node record ending right after its group count", 1, 32},
        {"a core record ending before its efficiency class", 0, 9},
        {"a core record ending before its group mask", 0, 32},
    };
    const std::string expected = Describe(Parse(ProcessorInfoBuffer().CoreOfClass(1, 0x3).Node(0, 0, 0x3).Get()));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes bytes =
            ProcessorInfoBuffer().CoreOfClass(1, 0x3).Node(0, 0, 0x3).Record(c.relationship, c.size, c.size).Get();
        GuardedCopy copy(bytes, bytes.size());
        ASSERT_NE(copy.Data(), nullptr);
        EXPECT_EQ(Describe(CoreTopology(copy.Data(), bytes.size())), expected);
    }
}

TEST(CoreTopology, DiscoveryOnThisMachine)
{
    const CoreTopology topology;
    const DWORD active = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    ULONG highestNode = 0;
    ASSERT_TRUE(::GetNumaHighestNodeNumber(&highestNode));

    // Every active processor belongs to exactly one node.
    std::set<std::pair<int, int>> seen;
    DWORD counted = 0;
    for (DWORD node = 0; node <= highestNode; ++node)
    {
        const DWORD count = topology.LogicalProcessorCount(node);
        counted += count;
        for (DWORD index = 0; index < count; ++index)
        {
            WORD group = 0;
            BYTE number = 0;
            ASSERT_TRUE(topology.ProcessorOfNode(node, index, group, number));
            EXPECT_TRUE(seen.insert({group, number}).second) << group << ':' << static_cast<int>(number);
        }
    }
    EXPECT_EQ(counted, active);

    // The older fixed-size records agree on each node's processors (of the caller's group).
    DWORD length = 0;
    ::GetLogicalProcessorInformation(nullptr, &length);
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records(length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    ASSERT_TRUE(::GetLogicalProcessorInformation(records.data(), &length));
    for (const auto& record : records)
    {
        if (record.Relationship == RelationNumaNode)
        {
            EXPECT_EQ(topology.LogicalProcessorCount(record.NumaNode.NodeNumber),
                      std::bitset<64>(record.ProcessorMask).count());
        }
    }

    // Without a higher class every processor is a P-core, and the mask is the low active bits.
    const PCoreData data = BuildPCoreMask();
    const DWORD groupZero = ::GetActiveProcessorCount(0);
    if (topology.MaximumEfficiencyClass() == 0)
    {
        const std::uint64_t all = groupZero >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << groupZero) - 1;
        EXPECT_EQ(data.PCoreMask, all);
    }
    for (DWORD number = 0; number < groupZero && number < 64; ++number)
        EXPECT_EQ((data.PCoreMask >> number & 1u) != 0, !topology.IsEfficiencyCore(0, static_cast<int>(number)));
    ASSERT_EQ(data.PCoreGroupAffinities.size(), 1u);
    EXPECT_EQ(static_cast<std::uint64_t>(data.PCoreGroupAffinities[0].Mask), data.PCoreMask);
}
// Records of the relationships that the walk passes over, filled as Windows fills them: class 0 and
// non-zero masks that overlap the P-cores. Read as a core record, any of them would turn P-cores into
// E-cores (or make a class of their cache's associativity); read as a node record, it would give a
// node, numbered from the bytes at the node number's offset, processors.
TEST(CoreTopology, RecordsOfOtherRelationshipsWithRealContentsChangeNothing)
{
    using testing_support::RelationDieNumber;
    using testing_support::RelationModuleNumber;
    struct Case
    {
        const char* name;
        ProcessorInfoBuffer record;
    };
    const Case cases[] = {
        {"level-1 data cache of a P-core", ProcessorInfoBuffer().Cache(1, 12, 48 << 10, CacheData, 0, 0x3)},
        {"level-1 instruction cache of a P-core", ProcessorInfoBuffer().Cache(1, 8, 32 << 10, CacheInstruction, 0, 0x3)},
        {"level-2 cache of the E-core cluster", ProcessorInfoBuffer().Cache(2, 16, 2 << 20, CacheUnified, 0, 0xF00)},
        {"level-3 cache of every core", ProcessorInfoBuffer().Cache(3, 12, 18 << 20, CacheUnified, 0, 0xFFF)},
        {"package", ProcessorInfoBuffer().ProcessorSet(RelationProcessorPackage, 0, 0xFFF)},
        {"die", ProcessorInfoBuffer().ProcessorSet(RelationDieNumber, 0, 0xFFF)},
        {"module of the E-cores", ProcessorInfoBuffer().ProcessorSet(RelationModuleNumber, 0, 0xF00)},
        {"module of a P-core", ProcessorInfoBuffer().ProcessorSet(RelationModuleNumber, 0, 0x3)},
        {"group", ProcessorInfoBuffer().Groups({0xFFF})},
        {"two groups", ProcessorInfoBuffer().Groups({0xFFF, 0xF})},
    };
    const std::string hybrid = Describe(Parse(HybridTwelve().Get()));
    const std::string nothing = Describe(Parse(ProcessorInfoBuffer().Get()));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes& record = c.record.Get();
        const CoreTopology alone = Parse(record);
        EXPECT_EQ(Describe(alone), nothing);
        DWORD misreadNode = 0;
        std::memcpy(&misreadNode, record.data() + 8, sizeof(misreadNode));
        EXPECT_EQ(alone.LogicalProcessorCount(misreadNode), 0u) << "node " << misreadNode;

        Bytes amid = c.record.Get();
        const Bytes rest = HybridTwelve().Get();
        amid.insert(amid.end(), rest.begin(), rest.end());
        amid.insert(amid.end(), record.begin(), record.end());
        EXPECT_EQ(Describe(Parse(amid)), hybrid);
    }
}

} // namespace
