// Executive pool. Each block records its tag, type, size and the driver
// image that allocated it, so the verifier can check frees (tag, double
// free) and report what an image still holds when it unloads. New blocks are
// filled with a pattern, as pool is never zeroed on the platform.

#include "kernel.h"


namespace host {

static bool isPaged(POOL_TYPE type) {
    return (type & 1) != 0 && type != NonPagedPoolNx && type != NonPagedPoolNxCacheAligned;
}

std::string Pool::tagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

void Pool::failNth(unsigned n) {
    std::lock_guard g(mutex_);
    failCountdown_ = n;
}

void Pool::watchImage(const std::string& image, unsigned failAt) {
    std::lock_guard g(mutex_);
    watchedImage_ = image;
    watchedCount_ = 0;
    watchedFailAt_ = failAt;
}

unsigned Pool::imageAllocations() {
    std::lock_guard g(mutex_);
    return watchedCount_;
}

PVOID Pool::allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller) {
    ThreadRec* t = currentThread();
    bool paged = isPaged(type);
    if (t && paged && t->irql > APC_LEVEL)
        machine_.verifier().report("ExAllocatePoolWithTag of paged pool at IRQL " + std::to_string(t->irql));
    if (t && t->irql > DISPATCH_LEVEL)
        machine_.verifier().report("ExAllocatePoolWithTag at IRQL " + std::to_string(t->irql));
    auto& os = machine_.options().os;
    bool win8 = os.major > 6 || (os.major == 6 && os.minor >= 2);
    if ((type & 512) && !win8)
        machine_.verifier().report("ExAllocatePoolWithTag: no-execute pool types do not exist before Windows 8");
    CodeOwner code = codeOwner(machine_, caller);
    const void* owner = code.base;
    std::string ownerName = std::move(code.name);
    std::lock_guard g(mutex_);
    if (failCountdown_ && --failCountdown_ == 0)
        return nullptr;
    if (!watchedImage_.empty() && owner && ownerName.find(watchedImage_) != std::string::npos &&
        ++watchedCount_ == watchedFailAt_)
        return nullptr;
    void* p = std::malloc(size ? size : 1);
    if (!p)
        return nullptr;
    memset(p, 0x5A, size);
    blocks_[p] = Block{size, tag, type, owner, ownerName, ++sequence_};
    return p;
}

void Pool::free(PVOID p, ULONG tag, bool checkTag, const char* call) {
    if (!p) {
        machine_.verifier().report(std::string(call) + " of a null pointer");
        return;
    }
    Block b;
    {
        std::lock_guard g(mutex_);
        auto it = blocks_.find(p);
        if (it == blocks_.end()) {
            char buf[64];
            snprintf(buf, sizeof buf, "%p", p);
            machine_.verifier().report(std::string(call) + " of " + buf +
                                       ", which is not an allocated pool block (freed twice?)");
            return;
        }
        b = it->second;
        if (checkTag && tag != 0 && tag != b.tag) {
            machine_.verifier().report(std::string(call) + " with tag '" + tagText(tag) + "' of a block allocated with tag '" +
                                       tagText(b.tag) + "'");
        }
        blocks_.erase(it);
    }
    for (auto& what : machine_.dispatcher().liveObjectsIn(p, b.size))
        machine_.verifier().report(std::string(call) + ": the freed block holds " + what);
    machine_.dispatcher().forgetLocksIn(p, b.size);
    machine_.io().forgetIrpsIn(p, b.size);
    memset(p, 0x6B, b.size);
    std::free(p);
}

std::vector<std::pair<PVOID, Pool::Block>> Pool::blocksOwnedBy(const void* imageBase) {
    std::lock_guard g(mutex_);
    std::vector<std::pair<PVOID, Block>> out;
    for (auto& [p, b] : blocks_)
        if (b.owner == imageBase)
            out.push_back({p, b});
    return out;
}

std::optional<std::pair<PVOID, Pool::Block>> Pool::pagedBlockHolding(const void* address) {
    std::lock_guard g(mutex_);
    auto it = blocks_.upper_bound(const_cast<PVOID>(address));
    if (it == blocks_.begin())
        return std::nullopt;
    --it;
    auto* begin = static_cast<const char*>(it->first);
    if (static_cast<const char*>(address) >= begin + std::max<SIZE_T>(it->second.size, 1) || !isPaged(it->second.type))
        return std::nullopt;
    return *it;
}

// The words are read as the platform's pager would find them; a driver
// thread may be writing them, which is no race of the simulation's.
__attribute__((no_sanitize("thread")))
std::optional<std::pair<PVOID, Pool::Block>> Pool::pagedBlockWithPointer(const void* value) {
    std::lock_guard g(mutex_);
    for (auto& [p, b] : blocks_) {
        if (!isPaged(b.type) || !b.owner)
            continue;
        auto* words = static_cast<const void* const*>(p);
        for (SIZE_T i = 0; i < b.size / sizeof(void*); ++i)
            if (words[i] == value)
                return std::make_pair(p, b);
    }
    return std::nullopt;
}

std::string Pool::describe(const Block& block) {
    std::string image = block.ownerName;
    if (auto slash = image.rfind('/'); slash != std::string::npos)
        image = image.substr(slash + 1);
    return "tag '" + tagText(block.tag) + "', " + std::to_string(block.size) + " bytes" +
           (image.empty() ? std::string() : " of " + image);
}

std::vector<std::pair<PVOID, Pool::Block>> Pool::allBlocks() {
    std::lock_guard g(mutex_);
    return {blocks_.begin(), blocks_.end()};
}

size_t Pool::liveCount() {
    std::lock_guard g(mutex_);
    return blocks_.size();
}

} // namespace host

using namespace host;

EXTERN_C_START

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return machineOf("ExAllocatePoolWithTag").pool().allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return machineOf("ExAllocatePool").pool().allocate(PoolType, NumberOfBytes, 'enoN', __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return machineOf("ExAllocatePoolWithQuotaTag").pool().allocate(PoolType, NumberOfBytes, Tag,
                                                                   __builtin_return_address(0));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    machineOf("ExFreePoolWithTag").pool().free(P, Tag, true, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P) {
    machineOf("ExFreePool").pool().free(P, 0, false, "ExFreePool");
}

EXTERN_C_END
