// The main of every test suite: the capturing logger is handed over before any test runs, as a
// host must do before it uses the library.
#include <gtest/gtest.h>

#include <Plinth/Logging.h>

#include "support/LogCapture.h"

int main(int argc, char** argv) {
  InitLoggerPlinth({PlinthTest::LogCapture::MakeLogger("vorn.Plinth")}, LoggerThreadPoolSettings{1024, 1});
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
