// A host built against the installed package: hands over a logger and uses a buffer.
#include <Plinth/Plinth.h>
#include <spdlog/sinks/ostream_sink.h>

#include <iostream>
#include <sstream>

int main() {
  std::ostringstream captured;
  auto logger = std::make_shared<spdlog::logger>("vorn.Plinth",
                                                 std::make_shared<spdlog::sinks::ostream_sink_st>(captured));
  logger->set_pattern("%n %v");
  InitLoggerPlinth({logger}, LoggerThreadPoolSettings{64, 1});

  auto buffer = Melvo::Buffer::Create(8);
  buffer->SetReservedSize(8, false);
  const std::string expected = "vorn.Plinth.Buffer No need to resize. 8 is already the size of the buffer.";
  if (captured.str().find(expected) == std::string::npos) {
    std::cerr << "unexpected log output: " << captured.str() << '\n';
    return 1;
  }
  return 0;
}
