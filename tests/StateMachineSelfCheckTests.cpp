// The library's load-time check of the state-machine template, seen from inside the library.
#include <gtest/gtest.h>

#include "StateMachineSelfCheck.h"

namespace {

TEST(StateMachineSelfCheck, PassesWhenTheLibraryIsLoaded) {
  EXPECT_TRUE(Melvo::detail::StateMachineSelfCheckPassed());
}

}  // namespace
