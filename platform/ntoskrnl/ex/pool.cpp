// Pool memory with tags. Every block is tracked so that the verifier can catch frees under the
// wrong tag, frees of unknown addresses and blocks still outstanding at a leak check. Fresh
// blocks are filled with a pattern, as the pool never hands out zeroed memory.
#include "ex/fault_injection.h"

#include <ntoskrnl/host/verifier.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

constexpr std::size_t kPoolAlignment = 16;
constexpr unsigned char kFreshFill = 0xA5;

struct Block {
    ULONG tag;
    SIZE_T size;
    std::uint64_t epoch;
};

struct PoolState {
    std::mutex lock;
    std::unordered_map<void*, Block> blocks;
    std::uint64_t epoch = 0;
};

PoolState& Pool()
{
    static PoolState* pool = new PoolState;  // lives until exit, also for late frees
    return *pool;
}

Block TakeBlock(PVOID P, bool checkTag, ULONG Tag)
{
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto found = pool.blocks.find(P);
    if (found == pool.blocks.end()) {
        vf::Stop(BAD_POOL_CALLER, vf::FreedUnknownAddress, reinterpret_cast<ULONG_PTR>(P), 0, 0,
                 "free of an address that is not an allocated pool block (double free?)");
    }
    if (checkTag && found->second.tag != Tag) {
        vf::Stop(BAD_POOL_CALLER, vf::FreedWithWrongTag, reinterpret_cast<ULONG_PTR>(P),
                 found->second.tag, Tag,
                 "pool block allocated with tag '" + vf::TagText(found->second.tag) +
                     "' freed with tag '" + vf::TagText(Tag) + "'");
    }
    Block block = found->second;
    pool.blocks.erase(found);
    return block;
}

void CheckFreeIrql(PVOID P)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::FreeAboveDispatch, KeGetCurrentIrql(),
                 reinterpret_cast<ULONG_PTR>(P), 0, "pool freed above DISPATCH_LEVEL");
    }
}

}  // namespace

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::AllocationAboveDispatch, irql, PoolType,
                 NumberOfBytes, "pool allocated above DISPATCH_LEVEL");
    }
    if (NumberOfBytes == 0) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::ZeroByteAllocation, irql, PoolType, 0,
                 "zero-byte pool allocation");
    }
    if (ex::ShouldFailAllocation(Tag)) {
        return nullptr;
    }
    std::size_t rounded = (NumberOfBytes + kPoolAlignment - 1) & ~(kPoolAlignment - 1);
    void* memory = std::aligned_alloc(kPoolAlignment, rounded);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, kFreshFill, rounded);
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.blocks.emplace(memory, Block{Tag, NumberOfBytes, pool.epoch});
    return memory;
}

extern "C" void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    CheckFreeIrql(P);
    Block block = TakeBlock(P, true, Tag);
    std::memset(P, 0xDD, block.size);
    std::free(P);
}

extern "C" void NTAPI ExFreePool(PVOID P)
{
    CheckFreeIrql(P);
    Block block = TakeBlock(P, false, 0);
    std::memset(P, 0xDD, block.size);
    std::free(P);
}

namespace vf {

std::vector<PoolBlock> OutstandingBlocks(std::uint64_t sinceEpoch)
{
    std::vector<PoolBlock> blocks;
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (const auto& entry : pool.blocks) {
        if (entry.second.epoch >= sinceEpoch) {
            blocks.push_back(PoolBlock{entry.first, entry.second.tag, entry.second.size});
        }
    }
    return blocks;
}

std::vector<PoolBlock> OutstandingBlocksExcept(std::uint64_t sinceEpoch,
                                               const std::function<bool(const PoolBlock&)>& excused)
{
    std::vector<PoolBlock> blocks;
    PoolState& pool = Pool();
    // A block is taken out of the table before its memory is touched by a free.
    std::lock_guard<std::mutex> guard(pool.lock);
    for (const auto& entry : pool.blocks) {
        PoolBlock block{entry.first, entry.second.tag, entry.second.size};
        if (entry.second.epoch >= sinceEpoch && !excused(block)) {
            blocks.push_back(block);
        }
    }
    return blocks;
}

std::vector<PoolUsage> GroupBlocks(const std::vector<PoolBlock>& blocks)
{
    std::map<std::pair<ULONG, SIZE_T>, SIZE_T> groups;
    for (const PoolBlock& block : blocks) {
        ++groups[{block.tag, block.size}];
    }
    std::vector<PoolUsage> usage;
    for (const auto& group : groups) {
        usage.push_back(PoolUsage{group.first.first, group.first.second, group.second});
    }
    return usage;
}

std::vector<PoolUsage> OutstandingPool(std::uint64_t sinceEpoch)
{
    return GroupBlocks(OutstandingBlocks(sinceEpoch));
}

std::uint64_t MarkPoolEpoch()
{
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return ++pool.epoch;
}

}  // namespace vf
