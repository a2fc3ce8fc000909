#include "system/named_objects.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "system/text.h"
#include "system/unique_resource.h"
#include "test_support.h"

namespace {

TEST(MutexProbeTest, TellsAMutexFromNothingAndFromAnotherObjectOfTheName) {
  const std::wstring name = test_support::UniqueName(L"kestova-probe");
  EXPECT_EQ(ProbeMutex(name), MutexPresence::kAbsent);
  {
    const base::KernelHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(ProbeMutex(name), MutexPresence::kOpened);
  }
  EXPECT_EQ(ProbeMutex(name), MutexPresence::kAbsent) << "the probe kept the mutex in being";
  const base::KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(event);
  EXPECT_EQ(ProbeMutex(name), MutexPresence::kUnprobed);

  // A product process is taken to run while anything holds its name.
  const std::wstring global_name = L"Global\\" + name;
  const base::KernelHandle squatter(CreateEventW(nullptr, TRUE, FALSE, global_name.c_str()));
  ASSERT_TRUE(squatter);
  EXPECT_TRUE(IsGlobalObjectPresent(WideToUtf8(name)));
}

}  // namespace
