// The pool's verifier checks: guards, double and foreign frees, tags, IRQL,
// leaks at shutdown, writes after free.
#include <cstring>

#include "tests/support/kernel_fixture.h"

namespace {

namespace bc = host::bugcheck;

class PoolTest : public KernelFixture {};

TEST_F(PoolTest, LeakedBlockIsReportedAtShutdownWithTagSizeAndSerial) {
  void *kept = ExAllocatePoolWithTag(NonPagedPool, 24, PoolTag("Ddk "));
  void *freed = ExAllocatePoolWithTag(PagedPool, 8, PoolTag("Tmp1"));
  ASSERT_NE(kept, nullptr);
  ExFreePool(freed);
  auto blocks = host::OutstandingPoolBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].address, kept);
  EXPECT_EQ(blocks[0].serial, 1u);

  ShutDownKernel();
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].code, bc::kVerifierViolation);
  EXPECT_EQ(checks[0].parameters[0], bc::kPoolLeak);
  EXPECT_EQ(checks[0].parameters[3], 1u);
  EXPECT_NE(checks[0].what.find("'Ddk ' 24 bytes"), std::string::npos) << checks[0].what;
  EXPECT_NE(checks[0].what.find("#1"), std::string::npos) << checks[0].what;
  EXPECT_EQ(host::GetPoolStats().outstandingBlocks, 0u);  // the next machine starts clean
}

TEST_F(PoolTest, OverrunAndUnderrunAreFoundAtFree) {
  auto *over = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 10, PoolTag("Ovr ")));
  over[10] = 0;  // one byte past the end, inside the alignment slack
  ExFreePoolWithTag(over, PoolTag("Ovr "));
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].code, bc::kSpecialPoolCorruption);
  EXPECT_EQ(checks[0].parameters[3], bc::kPoolOverrun);
  EXPECT_EQ(checks[0].parameters[2], 10u);

  auto *under = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Und ")));
  under[-1] = 0;
  ExFreePool(under);
  checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].parameters[3], bc::kPoolUnderrun);
  EXPECT_EQ(host::GetPoolStats().outstandingBlocks, 0u);  // both freed all the same
}

TEST_F(PoolTest, DoubleFreeAndForeignAddressesAreBadPoolCalls) {
  void *p = ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Dbl "));
  ExFreePool(p);
  ExFreePool(p);
  EXPECT_TRUE(TakeBugCheck(bc::kBadPoolCaller, bc::kPoolDoubleFree));

  int local = 0;
  ExFreePool(&local);
  EXPECT_TRUE(TakeBugCheck(bc::kBadPoolCaller, bc::kPoolNotAllocated));

  auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Mid ")));
  ExFreePool(block + 8);
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_NE(checks[0].what.find("inside block"), std::string::npos) << checks[0].what;
  ExFreePool(block);
}

TEST_F(PoolTest, FreeWithTheWrongTagIsRefused) {
  void *p = ExAllocatePoolWithTag(NonPagedPool, 4, PoolTag("Good"));
  ExFreePoolWithTag(p, PoolTag("Bad "));
  EXPECT_TRUE(TakeBugCheck(bc::kBadPoolCaller, bc::kPoolTagMismatch));
  EXPECT_EQ(host::GetPoolStats().outstandingBlocks, 1u);
  ExFreePoolWithTag(p, PoolTag("Good"));
}

TEST_F(PoolTest, IrqlAndSizeRulesOfAllocation) {
  host::RunAtDispatchLevel([&] {
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, PoolTag("Pgd ")), nullptr);
    EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kPagedAllocationAtDispatch));
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("NonP"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
  });
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0, PoolTag("Zero")), nullptr);
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kZeroSizeAllocation));

  void *paged = ExAllocatePoolWithTag(PagedPool, 16, PoolTag("Pgd "));
  host::RunAtDispatchLevel([&] { ExFreePool(paged); });
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kPagedFreeAtDispatch));
  ExFreePool(paged);
}

TEST_F(PoolTest, UntaggedAllocationsCarryTheDefaultTagAndPoolIsNotZeroed) {
  auto *p = static_cast<unsigned char *>(ExAllocatePool(NonPagedPool, 64));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(host::OutstandingPoolBlocks().at(0).tag, PoolTag("Ddk "));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  unsigned char zeros[64] = {};
  EXPECT_NE(std::memcmp(p, zeros, sizeof zeros), 0);
  ExFreePoolWithTag(p, PoolTag("Ddk "));
}

TEST_F(PoolTest, WriteAfterFreeIsFoundAtShutdown) {
  auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("UAF ")));
  ExFreePool(p);
  p[3] = 1;  // the block sits poisoned in quarantine
  ShutDownKernel();
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].code, bc::kFreedPoolTouched);
  EXPECT_EQ(checks[0].parameters[0], reinterpret_cast<uintptr_t>(p + 3));
}

TEST_F(PoolTest, StatsFollowAllocationsAndFrees) {
  void *a = ExAllocatePoolWithTag(NonPagedPool, 100, PoolTag("Sta "));
  void *b = ExAllocatePoolWithTag(NonPagedPool, 50, PoolTag("Sta "));
  ExFreePool(a);
  host::PoolStats stats = host::GetPoolStats();
  EXPECT_EQ(stats.allocations, 2u);
  EXPECT_EQ(stats.frees, 1u);
  EXPECT_EQ(stats.outstandingBlocks, 1u);
  EXPECT_EQ(stats.outstandingBytes, 50u);
  EXPECT_EQ(stats.peakBytes, 150u);
  ExFreePool(b);
}

}  // namespace

// The special pool: a touch past a block's end or of a freed block faults at
// the touch and names the address and the block; the access then goes on.
// Windows 10 with memory integrity: executable pool and executable mappings
// are the code-integrity check's bug checks; the no-execute forms pass.
class MemoryIntegrityTest : public KernelFixture {
 protected:
  MemoryIntegrityTest() : KernelFixture({.memoryIntegrity = true}) {}
};

TEST_F(MemoryIntegrityTest, OnlyNoExecutePoolAndMappingsPass) {
  EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0x30));
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Exec")), nullptr);
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kExecutablePool));
  for (POOL_TYPE type : {NonPagedPoolNx, PagedPool}) {
    void *p = ExAllocatePoolWithTag(type, 16, PoolTag("NoEx"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
  }
  char buffer[64];
  PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr);
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kExecutableMapping));
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kExecutableMapping));
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                         MM_PAGE_PRIORITY(NormalPagePriority | MdlMappingNoExecute)),
            buffer);
  IoFreeMdl(mdl);
}

class SpecialPoolTest : public KernelFixture {
 protected:
  SpecialPoolTest() : KernelFixture({.specialPool = true}) {}
};

TEST_F(SpecialPoolTest, ATouchPastTheEndOrOfAFreedBlockIsABugCheckAtTheTouch) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
  // The thread sanitizer reports the bug check's allocations inside the
  // fault handler; that suite runs without the special pool.
  GTEST_SKIP();
#endif
#endif
  struct Case {
    const char *name;
    POOL_TYPE type;
    size_t size;
    size_t offset;  // from the block's start
    bool freed;
    bool write;
    uint32_t code;
    unsigned char reads;  // what the access finds once it goes on (a write: what it wrote)
    const char *block;    // how the bug check names the block
  };
  const Case cases[] = {
      {"one byte past the end", NonPagedPool, 16, 16, false, false, bc::kPageFaultBeyondEnd, 0xFD,
       "'Spc ' 16 bytes NonPagedPool"},
      {"a write past a page", PagedPool, 4096, 4096, false, true, bc::kPageFaultBeyondEnd, 0x5A,
       "'Spc ' 4096 bytes PagedPool"},
      {"past a block of several pages", NonPagedPool, 5008, 5008, false, false, bc::kPageFaultBeyondEnd, 0xFD,
       "'Spc ' 5008 bytes NonPagedPool"},
      {"a read after free", NonPagedPool, 32, 0, true, false, bc::kFreedPoolTouched, 0xDD,
       "'Spc ' 32 bytes NonPagedPool"},
      {"a write after free", PagedPool, 8, 3, true, true, bc::kFreedPoolTouched, 0x5A, "'Spc ' 8 bytes PagedPool"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto *block = static_cast<unsigned char *>(ExAllocatePoolWithTag(c.type, c.size, PoolTag("Spc ")));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
    if (c.freed) ExFreePool(block);
    volatile unsigned char *at = block + c.offset;
    if (c.write) *at = c.reads;
    const unsigned char seen = *at;
    auto checks = TakeBugChecks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].code, c.code);
    EXPECT_EQ(checks[0].parameters[0], reinterpret_cast<uintptr_t>(at));
    EXPECT_EQ(checks[0].parameters[1], c.write ? 1u : 0u);
    EXPECT_NE(checks[0].what.find(c.block), std::string::npos) << checks[0].what;
    EXPECT_EQ(seen, c.reads);
    if (!c.freed) ExFreePool(block);
  }
  // A write into the alignment slack still shows at the free, as without it.
  auto *slack = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 10, PoolTag("Spc ")));
  slack[12] = 0;
  ExFreePool(slack);
  EXPECT_TRUE(TakeBugCheck(bc::kSpecialPoolCorruption));
}
