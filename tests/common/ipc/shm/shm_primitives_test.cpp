#include "ipc/shm/primitives.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <thread>

#include "ipc/shm/waiter.h"
#include "system/text.h"
#include "system/unique_resource.h"
#include "test_support.h"

namespace {

std::string UniqueName() { return WideToUtf8(test_support::UniqueName(L"shmprim")); }

// A condition is made of each kind of object a channel creates. Product
// processes of other users and integrity levels open them only through a
// null DACL; default security would shut them out.
TEST(SharedObjectSecurityTest, EveryKindOfChannelObjectHasANullDacl) {
  const std::wstring name = Utf8ToWide(UniqueName());
  shm::NamedCondition condition;
  ASSERT_TRUE(condition.Open(WideToUtf8(name), false));
  const struct {
    const char* kind;
    HANDLE opened;
  } objects[] = {
      {"mutex", OpenMutexW(READ_CONTROL, FALSE, (L"Local\\_cond_lock_" + name).c_str())},
      {"semaphore", OpenSemaphoreW(READ_CONTROL, FALSE, (L"Local\\_cond_sem_" + name).c_str())},
      {"block",
       OpenFileMappingW(READ_CONTROL, FALSE, (L"Local\\__IPC_SHM___cond_shm_" + name).c_str())},
  };
  for (const auto& object : objects) {
    const base::KernelHandle handle(object.opened);
    ASSERT_TRUE(handle) << object.kind;
    PACL dacl = reinterpret_cast<PACL>(1);
    base::LocalMemory<void> descriptor;
    ASSERT_EQ(GetSecurityInfo(handle.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, descriptor.put()),
              static_cast<DWORD>(ERROR_SUCCESS))
        << object.kind;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PRESENT) << object.kind;
    EXPECT_EQ(dacl, nullptr) << object.kind;
  }
}

TEST(SharedBlockTest, ASmallBlockIsOnePageAndZeroFilled) {
  shm::handle block;
  ASSERT_TRUE(block.acquire(UniqueName(), 4, true));
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  EXPECT_EQ(block.size(), system.dwPageSize);
  EXPECT_EQ(*static_cast<const std::uint32_t*>(block.mem()), 0u);
  EXPECT_FALSE(block.acquire("", 4, true));
}

TEST(SharedBlockTest, TheSameNameIsTheSameMemoryOnlyInTheSameNamespace) {
  const std::string name = UniqueName();
  shm::handle global_a, global_b, local;
  ASSERT_TRUE(global_a.acquire(name, 64, true));
  ASSERT_TRUE(global_b.acquire(name, 4096 * 4, true));  // opens the existing block
  ASSERT_TRUE(local.acquire(name, 64, false));
  *static_cast<std::uint32_t*>(global_a.mem()) = 42;
  EXPECT_EQ(*static_cast<std::uint32_t*>(global_b.mem()), 42u);
  EXPECT_EQ(*static_cast<std::uint32_t*>(local.mem()), 0u);
  shm::handle missing;
  EXPECT_FALSE(missing.open_existing(UniqueName(), true));
}

TEST(NamedConditionTest, ABroadcastWithoutWaitersPostsNothing) {
  const std::string name = UniqueName();
  shm::NamedCondition condition;
  shm::NamedMutex outer;
  ASSERT_TRUE(condition.Open(name, true));
  ASSERT_TRUE(outer.Open(name + "-outer"));
  EXPECT_FALSE(condition.Broadcast());
  // A waiter that times out takes its count back, so the next broadcast
  // still finds nobody to wake and no wake-up is left over for later.
  {
    shm::MutexGuard held = outer.Lock();
    ASSERT_TRUE(held);
    EXPECT_FALSE(condition.Wait(outer, held, 10));
    EXPECT_TRUE(held) << "a wait that timed out did not take the mutex back";
  }
  EXPECT_FALSE(condition.Broadcast());
}

TEST(NamedConditionTest, BroadcastWakesAWaiterOfTheSameNamespaceOnly) {
  const std::string name = UniqueName();
  shm::NamedCondition global_waiting, global_waking, local_waking;
  shm::NamedMutex outer;
  ASSERT_TRUE(global_waiting.Open(name, true));
  ASSERT_TRUE(global_waking.Open(name, true));
  ASSERT_TRUE(local_waking.Open(name, false));
  ASSERT_TRUE(outer.Open(name + "-outer"));

  // Set by the waiter under the outer mutex just before it waits; once we
  // hold that mutex after the event, the waiter has counted itself.
  const base::KernelHandle waiting(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  bool woken = false;
  std::thread waiter([&] {
    shm::MutexGuard held = outer.Lock();
    if (!held) return;
    SetEvent(waiting.get());
    woken = global_waiting.Wait(outer, held, 60000);
  });
  const bool started = WaitForSingleObject(waiting.get(), 60000) == WAIT_OBJECT_0;
  const bool locked = static_cast<bool>(outer.Lock());
  EXPECT_TRUE(started && locked);
  EXPECT_FALSE(local_waking.Broadcast());
  EXPECT_TRUE(global_waking.Broadcast());
  waiter.join();
  EXPECT_TRUE(woken);
}

// A waiter whose objects cannot be made (no such directory of names) still
// waits its time, looking again and again, instead of returning at once and
// leaving every caller's loop to spin; and it ends when the predicate does.
TEST(WaiterTest, AWaiterWithoutItsObjectsStillWaitsItsTime) {
  shm::Waiter waiter(UniqueName() + "\\no-such-directory", true);
  int checks = 0;
  const ULONGLONG start = GetTickCount64();
  waiter.WaitWhile([&] { return ++checks > 0; }, 300);
  // The tick count moves in steps of up to 16 ms.
  EXPECT_GE(GetTickCount64() - start, 280u);
  EXPECT_GT(checks, 1);
  checks = 0;
  waiter.WaitWhile([&] { return ++checks < 3; }, 60000);
  EXPECT_EQ(checks, 3);
}

}  // namespace
