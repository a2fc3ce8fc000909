#include "system/named_objects.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "system/text.h"
#include "system/unique_resource.h"
#include "test_support.h"

namespace {

TEST(NamedObjectTest, TellsAMutexFromNothingAndFromAnotherObjectOfTheName) {
  const std::wstring name = test_support::UniqueName(L"kestova-probe");
  const std::wstring global_name = L"Global\\" + name;
  EXPECT_EQ(ProbeMutex(global_name), MutexPresence::kAbsent);
  EXPECT_FALSE(IsGlobalObjectPresent(WideToUtf8(name)));
  EXPECT_FALSE(IsGlobalObjectPresent(WideToUtf8(name))) << "the probe kept the name in being";
  {
    const base::KernelHandle mutex(CreateMutexW(nullptr, FALSE, global_name.c_str()));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(ProbeMutex(global_name), MutexPresence::kOpened);
    EXPECT_TRUE(IsGlobalObjectPresent(WideToUtf8(name)));
  }
  EXPECT_EQ(ProbeMutex(global_name), MutexPresence::kAbsent) << "the probe kept the mutex in being";
  // A product process is taken to run while anything holds its name.
  const base::KernelHandle squatter(CreateEventW(nullptr, TRUE, FALSE, global_name.c_str()));
  ASSERT_TRUE(squatter);
  EXPECT_EQ(ProbeMutex(global_name), MutexPresence::kUnprobed);
  EXPECT_TRUE(IsGlobalObjectPresent(WideToUtf8(name)));
}

}  // namespace
