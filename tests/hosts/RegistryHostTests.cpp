// A host that keeps its own logger named "vorn.Plinth" in its own spdlog registry and hands that
// same logger to the library. Built twice: against libspdlog.so and with header-only spdlog. If
// the two registries were one, the library's registration of the name would clash with the host's.
#include <gtest/gtest.h>

#include <memory>

#include <Plinth/Buffer.h>
#include <Plinth/Logging.h>
#include <spdlog/spdlog.h>

#include "support/LogCapture.h"

namespace {

TEST(RegistryHost, HostLoggerRegisteredInBothRegistriesWithoutClash) {
  auto hostLogger = PlinthTest::LogCapture::MakeLogger("vorn.Plinth");
  spdlog::register_logger(hostLogger);

  ASSERT_NO_THROW(InitLoggerPlinth({hostLogger}, LoggerThreadPoolSettings{64, 1}));
  EXPECT_EQ(spdlog::get("vorn.Plinth"), hostLogger);
  EXPECT_EQ(hostLogger.use_count(), 2) << "only the host and its registry may hold the host's logger";

  // The library's messages reach the host's sinks through the library's own clone.
  Melvo::Buffer::Create(16)->SetReservedSize(16, false);
  auto records = PlinthTest::LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].logger, "vorn.Plinth.Buffer");
  EXPECT_EQ(records[0].text, "No need to resize. 16 is already the size of the buffer.");
  EXPECT_EQ(spdlog::get("vorn.Plinth.Buffer"), nullptr)
      << "the library's bindings leaked into the host's registry";

  // A second hand-over of the same name clashes in the library's registry, not in the host's.
  try {
    InitLoggerPlinth({hostLogger}, LoggerThreadPoolSettings{64, 1});
    FAIL() << "a second registration of vorn.Plinth in the library's registry must throw";
  } catch (const spdlog::spdlog_ex& error) {
    EXPECT_STREQ(error.what(), "logger with name 'vorn.Plinth' already exists");
  }
  EXPECT_EQ(hostLogger.use_count(), 2);
}

}  // namespace
