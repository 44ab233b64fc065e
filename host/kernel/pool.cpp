// The executive pool with the verifier's pool-tracking checks always on:
// every block is tracked with guard bytes on both sides, checked at free;
// freed blocks are kept in a quarantine, so a double free is recognised.
//
// Two kinds of memory stand behind a block. Ordinary heap memory, where a
// freed block is poisoned and a later write into it is found when it leaves
// the quarantine. Or, with the special pool on, pages of the block's own that
// end where the block ends, followed by an inaccessible page, as the
// verifier's special pool lays them out: a touch past the end faults at once
// (0xD6), and so does a touch of a freed block, whose pages stay
// inaccessible while it is quarantined (0xCC). The fault handler finds the
// block, raises the bug check and, when the handler returns, opens the page
// so that the access goes on and the machine stays usable.
//
// Every block is a driver's: the kernel's on a driver's behalf, or the USB
// bus driver's answers to the PnP manager.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include "host/kernel/scheduler.h"
#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/watchdog.h"

namespace host {

namespace {

constexpr size_t kFrontGuard = 32;  // keeps the caller's block 16-byte aligned
constexpr size_t kMinBackGuard = 16;
constexpr size_t kAlignment = 16;
constexpr size_t kLargestBlock = size_t{1} << 30;  // beyond this the pool is simply exhausted
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = size_t{16} << 20;
constexpr ULONG kProtectedPoolBit = 0x80000000u;

constexpr unsigned char kGuardByte = 0xFD;
constexpr unsigned char kFreshByte = detail::kUnwrittenByte;  // pool is not zeroed: a driver must not rely on it
constexpr unsigned char kFreedByte = 0xDD;

constexpr size_t kPageSize = 4096;

// The memory of one block: `raw` holds the guard bytes and the caller's
// bytes at `userOffset`. Heap memory, or (special pool) whole pages followed
// by one inaccessible page, the caller's bytes ending at the last of them.
class Region {
 public:
  Region() = default;
  Region(Region &&other) noexcept { *this = std::move(other); }
  Region &operator=(Region &&other) noexcept {
    std::swap(raw_, other.raw_);
    std::swap(rawSize_, other.rawSize_);
    std::swap(userOffset_, other.userOffset_);
    std::swap(mapSize_, other.mapSize_);
    return *this;
  }
  Region(const Region &) = delete;
  Region &operator=(const Region &) = delete;
  ~Region() {
    if (raw_ == nullptr) return;
    if (Paged()) {
      ::munmap(raw_, mapSize_);
    } else {
      ::operator delete[](raw_, std::align_val_t{kAlignment});
    }
  }

  static Region Heap(size_t rounded) {
    Region region;
    region.rawSize_ = kFrontGuard + rounded + kMinBackGuard;
    region.raw_ = new (std::align_val_t{kAlignment}, std::nothrow) unsigned char[region.rawSize_];
    region.userOffset_ = kFrontGuard;
    return region;
  }

  static Region Pages(size_t rounded) {
    Region region;
    const size_t data = (rounded + kPageSize - 1) / kPageSize * kPageSize;
    void *map = ::mmap(nullptr, data + kPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) return region;
    if (::mprotect(map, data, PROT_READ | PROT_WRITE) != 0) {
      ::munmap(map, data + kPageSize);
      return region;
    }
    region.raw_ = static_cast<unsigned char *>(map);
    region.rawSize_ = data;
    region.userOffset_ = data - rounded;
    region.mapSize_ = data + kPageSize;
    return region;
  }

  explicit operator bool() const { return raw_ != nullptr; }
  unsigned char *Raw() const { return raw_; }
  size_t RawSize() const { return rawSize_; }
  size_t UserOffset() const { return userOffset_; }
  unsigned char *User() const { return raw_ + userOffset_; }
  bool Paged() const { return mapSize_ != 0; }
  bool Holds(uintptr_t at) const { return at >= Address(raw_) && at < Address(raw_) + mapSize_; }
  bool InGuardPage(uintptr_t at) const { return Paged() && at >= Address(raw_) + rawSize_ && Holds(at); }

  // Freed: every page inaccessible, and its memory handed back.
  void Retire() {
    ::madvise(raw_, rawSize_, MADV_DONTNEED);
    ::mprotect(raw_, mapSize_, PROT_NONE);
  }
  // A touch that was reported goes on: the page past the end reads as guard
  // bytes, a freed block as poison.
  void OpenGuardPage() {
    ::mprotect(raw_ + rawSize_, kPageSize, PROT_READ | PROT_WRITE);
    std::memset(raw_ + rawSize_, kGuardByte, kPageSize);
  }
  void OpenFreed() {
    ::mprotect(raw_, mapSize_, PROT_READ | PROT_WRITE);
    std::memset(raw_, kFreedByte, mapSize_);
  }

 private:
  static uintptr_t Address(const void *p) { return reinterpret_cast<uintptr_t>(p); }

  unsigned char *raw_ = nullptr;
  size_t rawSize_ = 0;
  size_t userOffset_ = 0;
  size_t mapSize_ = 0;  // 0: heap memory
};

struct Block {
  Region region;
  size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  uint64_t serial = 0;

  unsigned char *User() const { return region.User(); }
};

struct Pool {
  host::Mutex mutex;
  std::map<uintptr_t, Block> live;  // by the caller's address
  std::deque<Block> quarantine;     // oldest first
  size_t quarantineBytes = 0;
  uint64_t serial = 0;
  PoolStats stats;
  std::function<void(const PoolBlockInfo &)> observer;
  // Live paged blocks: while there are none, InPagedPool answers without the lock.
  std::atomic<size_t> pagedLive{0};
  std::atomic<bool> specialPool{false};
};

Pool &ThePool() {
  static Pool pool;
  return pool;
}

uintptr_t Address(const void *p) { return reinterpret_cast<uintptr_t>(p); }

std::string PointerText(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

const char *TypeName(POOL_TYPE type) { return IsPaged(type) ? "PagedPool" : "NonPagedPool"; }

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

std::string Describe(const Block &block) {
  char text[160];
  std::snprintf(text, sizeof text, "block #%" PRIu64 " '%s' %zu bytes %s at %p", block.serial,
                TagText(block.tag).c_str(), block.size, TypeName(block.type), static_cast<void *>(block.User()));
  return text;
}

// Offset (from the caller's address) of the first byte in [from, to) that is
// not `expected`, if any. Whole words first: a freed block can be a MiB, and
// every freed block is scanned as it leaves the quarantine.
std::optional<ptrdiff_t> FirstChanged(const Block &block, size_t from, size_t to, unsigned char expected) {
  const unsigned char *raw = block.region.Raw();
  const auto user = static_cast<ptrdiff_t>(block.region.UserOffset());
  const uint64_t pattern = 0x0101010101010101ull * expected;
  size_t i = from;
  for (; i + sizeof pattern <= to; i += sizeof pattern) {
    uint64_t word = 0;
    std::memcpy(&word, raw + i, sizeof word);
    if (word != pattern) break;
  }
  for (; i < to; ++i) {
    if (raw[i] != expected) return static_cast<ptrdiff_t>(i) - user;
  }
  return std::nullopt;
}

struct Finding {
  uint32_t code;
  uint64_t parameters[4];
  std::string what;
};

void Raise(const Finding &f) {
  RaiseBugCheck(f.code, f.parameters[0], f.parameters[1], f.parameters[2], f.parameters[3], f.what);
}

std::optional<Finding> CheckGuards(const Block &block) {
  const size_t user = block.region.UserOffset();
  if (auto at = FirstChanged(block, 0, user, kGuardByte)) {
    return Finding{bugcheck::kSpecialPoolCorruption,
                   {Address(block.User()), block.size, static_cast<uint64_t>(*at), bugcheck::kPoolUnderrun},
                   "guard bytes before " + Describe(block) + " overwritten (at offset " + std::to_string(*at) + ")"};
  }
  if (auto at = FirstChanged(block, user + block.size, block.region.RawSize(), kGuardByte)) {
    return Finding{bugcheck::kSpecialPoolCorruption,
                   {Address(block.User()), block.size, static_cast<uint64_t>(*at), bugcheck::kPoolOverrun},
                   "guard bytes after " + Describe(block) + " overwritten (at offset " + std::to_string(*at) + ")"};
  }
  return std::nullopt;
}

// A special-pool block cannot be written once freed: its pages fault (and a
// touch that was reported opens them, poisoned, so it is not found twice).
std::optional<Finding> CheckPoison(const Block &block) {
  if (block.region.Paged()) return std::nullopt;
  auto at = FirstChanged(block, 0, block.region.RawSize(), kFreedByte);
  if (!at) return std::nullopt;
  return Finding{bugcheck::kFreedPoolTouched,
                 {Address(block.User()) + static_cast<uint64_t>(*at), 1, 0, 0},
                 "a write into freed " + Describe(block) + " at offset " + std::to_string(*at)};
}

// Moves a freed block into quarantine and releases the oldest ones beyond
// its limits, collecting what their poison shows.
void QuarantineLocked(Pool &pool, Block block, std::vector<Finding> &findings) {
  if (block.region.Paged()) {
    block.region.Retire();
  } else {
    std::memset(block.region.Raw(), kFreedByte, block.region.RawSize());
  }
  pool.quarantineBytes += block.region.RawSize();
  pool.quarantine.push_back(std::move(block));
  while (pool.quarantine.size() > kQuarantineBlocks || pool.quarantineBytes > kQuarantineBytes) {
    Block &oldest = pool.quarantine.front();
    if (auto finding = CheckPoison(oldest)) findings.push_back(*finding);
    pool.quarantineBytes -= oldest.region.RawSize();
    pool.quarantine.pop_front();
  }
}

std::optional<Finding> CheckAllocation(POOL_TYPE type, SIZE_T size, ULONG tag) {
  KIRQL irql = irql::Current();
  if (IsPaged(type) && irql > APC_LEVEL) {
    return Finding{bugcheck::kVerifierViolation, {bugcheck::kPagedAllocationAtDispatch, irql, uint64_t(type), size},
                   "paged pool allocated at IRQL " + std::to_string(irql) + " (tag '" + TagText(tag) + "')"};
  }
  if (irql > DISPATCH_LEVEL) {
    return Finding{bugcheck::kVerifierViolation, {bugcheck::kAllocationAboveDispatch, irql, uint64_t(type), size},
                   "pool allocated at IRQL " + std::to_string(irql)};
  }
  if (size == 0) {
    return Finding{bugcheck::kVerifierViolation, {bugcheck::kZeroSizeAllocation, irql, uint64_t(type), 0},
                   "allocation of zero bytes (tag '" + TagText(tag) + "')"};
  }
  if (tag == 0) {
    return Finding{bugcheck::kBadPoolCaller, {bugcheck::kPoolZeroTag, uint64_t(type), size, 0},
                   "allocation with a tag of zero"};
  }
  // Paged pool is never executable; non-paged pool is unless it is the Nx kind.
  if (detail::MemoryIntegrity() && !IsPaged(type) && (type & NonPagedPoolNx) == 0) {
    return Finding{bugcheck::kVerifierViolation, {bugcheck::kExecutablePool, 0, uint64_t(type), tag},
                   std::string("executable ") + TypeName(type) + " allocated (tag '" + TagText(tag) +
                       "') where memory integrity allows only NonPagedPoolNx"};
  }
  return std::nullopt;
}

void *Allocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
  if (auto finding = CheckAllocation(type, size, tag)) {
    Raise(*finding);
    return nullptr;
  }
  bool injected = lowres::ShouldFail("ExAllocatePoolWithTag", tag);
  auto &pool = ThePool();
  if (injected || size > kLargestBlock) {
    std::lock_guard lock(pool.mutex);
    if (injected) ++pool.stats.injectedFailures;
    return nullptr;
  }
  size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
  Block block;
  block.region = pool.specialPool ? Region::Pages(rounded) : Region::Heap(rounded);
  if (!block.region) return nullptr;
  block.size = size;
  block.tag = tag;
  block.type = type;
  std::memset(block.region.Raw(), kGuardByte, block.region.RawSize());
  std::memset(block.User(), kFreshByte, size);
  void *user = block.User();

  std::function<void(const PoolBlockInfo &)> observer;
  PoolBlockInfo info{user, size, tag, type, 0};
  {
    std::lock_guard lock(pool.mutex);
    block.serial = info.serial = ++pool.serial;
    auto &stats = pool.stats;
    ++stats.allocations;
    ++stats.outstandingBlocks;
    stats.outstandingBytes += size;
    stats.peakBytes = std::max(stats.peakBytes, stats.outstandingBytes);
    pool.live.emplace(Address(user), std::move(block));
    if (IsPaged(type)) ++pool.pagedLive;
    observer = pool.observer;
  }
  if (observer) observer(info);
  return user;
}

// What is wrong with freeing P, found under the pool lock; nullopt to go on.
std::optional<Finding> CheckFreeLocked(Pool &pool, void *p, const ULONG *tag) {
  auto found = pool.live.find(Address(p));
  if (found == pool.live.end()) {
    bool freed = std::any_of(pool.quarantine.begin(), pool.quarantine.end(),
                             [&](const Block &b) { return b.User() == p; });
    if (freed) {
      return Finding{bugcheck::kBadPoolCaller, {bugcheck::kPoolDoubleFree, 0, 0, Address(p)},
                     "pool at " + PointerText(p) + " freed twice"};
    }
    std::string where = PointerText(p) + ", an address that no allocation returned";
    auto after = pool.live.upper_bound(Address(p));
    if (after != pool.live.begin()) {
      const Block &before = std::prev(after)->second;
      if (Address(p) < Address(before.User()) + before.size) where = "an address inside " + Describe(before);
    }
    return Finding{bugcheck::kBadPoolCaller, {bugcheck::kPoolNotAllocated, Address(p), 0, 0}, "freeing " + where};
  }
  const Block &block = found->second;
  KIRQL irql = irql::Current();
  if (IsPaged(block.type) && irql > APC_LEVEL) {
    return Finding{bugcheck::kVerifierViolation, {bugcheck::kPagedFreeAtDispatch, irql, uint64_t(block.type), Address(p)},
                   "paged " + Describe(block) + " freed at IRQL " + std::to_string(irql)};
  }
  if (irql > DISPATCH_LEVEL) {
    return Finding{bugcheck::kVerifierViolation, {bugcheck::kFreeAboveDispatch, irql, uint64_t(block.type), Address(p)},
                   Describe(block) + " freed at IRQL " + std::to_string(irql)};
  }
  if (tag != nullptr && (*tag & ~kProtectedPoolBit) != (block.tag & ~kProtectedPoolBit)) {
    return Finding{bugcheck::kBadPoolCaller, {bugcheck::kPoolTagMismatch, Address(p), block.tag, *tag},
                   Describe(block) + " freed with the tag '" + TagText(*tag) + "'"};
  }
  return std::nullopt;
}

void Free(void *p, const ULONG *tag) {
  auto &pool = ThePool();
  std::vector<Finding> findings;
  void *freed = nullptr;
  size_t freedSize = 0;
  {
    std::lock_guard lock(pool.mutex);
    if (auto refused = CheckFreeLocked(pool, p, tag)) {
      findings.push_back(*refused);
    } else {
      auto node = pool.live.extract(Address(p));
      Block &block = node.mapped();
      if (IsPaged(block.type)) --pool.pagedLive;
      // The overrun already happened; the free itself is sound and goes on.
      if (auto corrupt = CheckGuards(block)) findings.push_back(*corrupt);
      ++pool.stats.frees;
      --pool.stats.outstandingBlocks;
      pool.stats.outstandingBytes -= block.size;
      freed = p;
      freedSize = block.size;
      QuarantineLocked(pool, std::move(block), findings);
    }
  }
  if (freed != nullptr) detail::SyncForgetLocksIn(freed, freedSize);
  for (const auto &finding : findings) Raise(finding);
}


// ------------------------------------------------------------------ special-pool faults

struct sigaction gPreviousSegv;
bool gSegvHandlerInstalled = false;

struct FaultAccess {
  uint64_t write = 0;        // 1 for a write, 0 for a read
  uint64_t instruction = 0;  // the address of the faulting instruction
};

FaultAccess AccessOf(const void *context) {
  FaultAccess access;
#if defined(__x86_64__)
  const auto *registers = static_cast<const ucontext_t *>(context)->uc_mcontext.gregs;
  access.write = (registers[REG_ERR] & 2) != 0 ? 1 : 0;  // the page-fault error code's write bit
  access.instruction = static_cast<uint64_t>(registers[REG_RIP]);
#else
  (void)context;
#endif
  return access;
}

// The special-pool block whose inaccessible page holds `at`, opened so that
// the access goes on; nullopt when the fault is none of the pool's.
std::optional<Finding> SpecialPoolFault(uintptr_t at, const FaultAccess &access) {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  const char *kind = access.write != 0 ? "a write" : "a read";
  auto after = pool.live.upper_bound(at);
  if (after != pool.live.begin()) {
    Block &block = std::prev(after)->second;
    if (block.region.InGuardPage(at)) {
      block.region.OpenGuardPage();
      const uintptr_t end = Address(block.User()) + block.size;
      return Finding{bugcheck::kPageFaultBeyondEnd,
                     {at, access.write, access.instruction, 0},
                     std::string(kind) + " at " + PointerText(reinterpret_cast<void *>(at)) + ", " +
                         std::to_string(at - end) + " byte(s) past the end of " + Describe(block)};
    }
  }
  for (Block &block : pool.quarantine) {
    if (!block.region.Paged() || !block.region.Holds(at)) continue;
    block.region.OpenFreed();
    const auto offset = static_cast<ptrdiff_t>(at) - static_cast<ptrdiff_t>(Address(block.User()));
    return Finding{bugcheck::kFreedPoolTouched,
                   {at, access.write, access.instruction, 0},
                   std::string(kind) + " of freed " + Describe(block) + " at offset " + std::to_string(offset)};
  }
  return std::nullopt;
}

// A fault is synchronous: the thread that touched the page runs this at the
// touch, holding none of the pool's locks (the pool never touches a block's
// inaccessible pages itself), so the bug check can be raised from here.
void OnSegv(int, siginfo_t *info, void *context) {
  auto finding = SpecialPoolFault(reinterpret_cast<uintptr_t>(info->si_addr), AccessOf(context));
  if (!finding) {
    // Not the pool's: the access repeats and meets the previous handler.
    ::sigaction(SIGSEGV, &gPreviousSegv, nullptr);
    return;
  }
  Raise(*finding);
}

void InstallSegvHandler() {
  if (gSegvHandlerInstalled) return;
  struct sigaction action {};
  action.sa_sigaction = OnSegv;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  gSegvHandlerInstalled = ::sigaction(SIGSEGV, &action, &gPreviousSegv) == 0;
}

void RemoveSegvHandler() {
  if (!gSegvHandlerInstalled) return;
  ::sigaction(SIGSEGV, &gPreviousSegv, nullptr);
  gSegvHandlerInstalled = false;
}

bool SpecialPoolFromEnvironment() {
  const char *text = std::getenv("NORVUSB_SPECIAL_POOL");  // NOLINT(concurrency-mt-unsafe): nothing here writes the environment
  return text != nullptr && std::strcmp(text, "1") == 0;
}

}  // namespace

PoolStats GetPoolStats() {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  return pool.stats;
}

std::vector<PoolBlockInfo> OutstandingPoolBlocks() {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  std::vector<PoolBlockInfo> blocks;
  for (const auto &[address, block] : pool.live) {
    blocks.push_back({block.User(), block.size, block.tag, block.type, block.serial});
  }
  std::sort(blocks.begin(), blocks.end(), [](const auto &a, const auto &b) { return a.serial < b.serial; });
  return blocks;
}

std::optional<PoolBlockInfo> detail::PoolBlockHolding(const void *address) {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  auto it = pool.live.upper_bound(reinterpret_cast<uintptr_t>(address));
  if (it == pool.live.begin()) return std::nullopt;
  const Block &block = std::prev(it)->second;
  if (static_cast<const unsigned char *>(address) >= block.User() + block.size) return std::nullopt;
  return PoolBlockInfo{block.User(), block.size, block.tag, block.type, block.serial};
}

void SetAllocationObserver(std::function<void(const PoolBlockInfo &)> observer) {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  pool.observer = std::move(observer);
}

namespace detail {

std::vector<std::string> PoolLeaks() {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  std::vector<const Block *> blocks;
  for (const auto &[address, block] : pool.live) blocks.push_back(&block);
  std::sort(blocks.begin(), blocks.end(), [](const Block *a, const Block *b) { return a->serial < b->serial; });
  std::vector<std::string> leaks;
  for (const Block *block : blocks) leaks.push_back(Describe(*block));
  return leaks;
}

bool InPagedPool(const void *address) {
  auto &pool = ThePool();
  if (pool.pagedLive.load() == 0) return false;
  std::lock_guard lock(pool.mutex);
  auto after = pool.live.upper_bound(Address(address));
  if (after == pool.live.begin()) return false;
  const Block &block = std::prev(after)->second;
  return IsPaged(block.type) && Address(address) < Address(block.User()) + block.size;
}

void PoolVerifyFreed() {
  auto &pool = ThePool();
  std::vector<Finding> findings;
  {
    std::lock_guard lock(pool.mutex);
    for (const Block &block : pool.quarantine) {
      if (auto finding = CheckPoison(block)) findings.push_back(*finding);
    }
  }
  for (const auto &finding : findings) Raise(finding);
}

void PoolBoot(bool specialPool) {
  const bool on = specialPool || SpecialPoolFromEnvironment();
  ThePool().specialPool = on;
  if (on) InstallSegvHandler();
}

void PoolReset() {
  auto &pool = ThePool();
  std::lock_guard lock(pool.mutex);
  RemoveSegvHandler();
  pool.specialPool = false;
  pool.live.clear();
  pool.pagedLive = 0;
  pool.quarantine.clear();
  pool.quarantineBytes = 0;
  pool.serial = 0;
  pool.stats = {};
  pool.observer = nullptr;
}

}  // namespace detail

}  // namespace host

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const host::sched::AfterEffect afterEffect("ExAllocatePoolWithTag");
  host::sched::SwitchPoint("ExAllocatePoolWithTag");
  return host::Allocate(PoolType, NumberOfBytes, Tag);
}

// The platform's untagged allocations carry the tag 'Ddk '.
extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  const host::sched::AfterEffect afterEffect("ExAllocatePool");
  host::sched::SwitchPoint("ExAllocatePool");
  return host::Allocate(PoolType, NumberOfBytes, 0x206B6444);
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
  const host::sched::AfterEffect afterEffect("ExFreePool");
  host::sched::SwitchPoint("ExFreePool");
  host::Free(P, nullptr);
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  const host::sched::AfterEffect afterEffect("ExFreePoolWithTag");
  host::sched::SwitchPoint("ExFreePoolWithTag");
  host::Free(P, &Tag);
}
