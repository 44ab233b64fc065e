// IRQL and spin locks: a real lock, and the verifier's checks of its use.
#include <thread>

#include "tests/support/test_thread.h"
#include "tests/support/kernel_fixture.h"

namespace {

namespace bc = host::bugcheck;

class SpinLockTest : public KernelFixture {};

TEST_F(SpinLockTest, ExcludesOtherThreadsAndRestoresTheIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic: the lock alone protects it
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      ++counter;
      KeReleaseSpinLock(&lock, old);
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
  };
  TestThread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST_F(SpinLockTest, AtDpcLevelVariantsKeepTheIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  host::RunAtDispatchLevel([&] {
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  });
  KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL: wrong
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kSpinLockAcquireIrql));
}

TEST_F(SpinLockTest, ReleasingALockNotHeldIsABugCheck) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KfReleaseSpinLock(&lock, old);
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kReleaseNotAcquired));
  KeLowerIrql(old);

  // Held by another thread.
  KeAcquireSpinLock(&lock, &old);
  TestThread other([&] {
    host::RunAtDispatchLevel([&] { KeReleaseSpinLockFromDpcLevel(&lock); });
  });
  other.join();
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kReleaseByWrongThread));
  KeReleaseSpinLock(&lock, old);  // still ours, still held
  EXPECT_TRUE(TakeBugChecks().empty());
}

TEST_F(SpinLockTest, RecursiveAcquireIsADeadlockNotASpin) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old, inner;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLock(&lock, &inner);  // would spin forever on the platform
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kSelfDeadlock));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, OppositeLockOrdersAreReportedBeforeTheyDeadlock) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL old;
  KeAcquireSpinLock(&a, &old);
  KeAcquireSpinLockAtDpcLevel(&b);
  KeReleaseSpinLockFromDpcLevel(&b);
  KeReleaseSpinLock(&a, old);
  EXPECT_TRUE(TakeBugChecks().empty());

  KeAcquireSpinLock(&b, &old);
  KeAcquireSpinLockAtDpcLevel(&a);  // refused
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kLockOrderDeadlock));
  KeReleaseSpinLock(&b, old);

  // Reinitialised, the locks are new and the old order no longer binds.
  KeInitializeSpinLock(&a);
  KeAcquireSpinLock(&b, &old);
  KeAcquireSpinLockAtDpcLevel(&a);
  KeReleaseSpinLockFromDpcLevel(&a);
  KeReleaseSpinLock(&b, old);
}

TEST_F(SpinLockTest, IrqlMovesOnlyOneWay) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KeLowerIrql(HIGH_LEVEL);  // "lowering" upwards
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kLowerToHigherIrql));
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kRaiseToLowerIrql));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(PASSIVE_LEVEL);

  // IRQL belongs to the thread.
  host::RunAtDispatchLevel([] {
    KIRQL seen = HIGH_LEVEL;
    TestThread([&] { seen = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
  });
}

}  // namespace
