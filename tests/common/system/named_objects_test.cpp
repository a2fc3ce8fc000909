#include "system/named_objects.h"

#include <gtest/gtest.h>
#include <windows.h>

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
}

}  // namespace
