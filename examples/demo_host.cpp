// An example host: it hands the library its console logger first, as every host must, and then
// uses the library the way a capture service does, so that the library's messages show up.
#include <Plinth/Plinth.h>

#include <cstdio>
#include <memory>
#include <string>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace {

void StartLogging() {
  auto console = spdlog::stdout_color_mt("vorn.Plinth");
  console->set_level(spdlog::level::trace);
  console->set_pattern("%^%-5l%$ %-26n %v   [%g:%# %!]");
  // Every logger name below "vorn.Plinth" used by the library now writes to this console.
  InitLoggerPlinth({console}, LoggerThreadPoolSettings{8192, 1});
}

void UseBuffers() {
  auto buffer = Melvo::Buffer::Create(16);
  const std::string greeting = "Hello from the demo host, ";
  buffer->AppendDataPtr(greeting.data(), greeting.size());   // grows: logs the reallocation
  buffer->SetReservedSize(buffer->GetReservedSize(), true);  // same size: logs that nothing changes
  std::printf("buffer holds %zu of %zu bytes: \"%.*s\"\n", buffer->GetUsedSize(), buffer->GetReservedSize(),
              static_cast<int>(buffer->GetUsedSize()), buffer->GetBufferPtr(0));
}

}  // namespace

int main() {
  StartLogging();
  UseBuffers();
  return 0;
}
