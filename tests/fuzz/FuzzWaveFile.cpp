// A WAVE file of arbitrary bytes, loaded from a scratch file: a load succeeds exactly when the
// RIFF/WAVE/"fmt " tags are in place and a whole "data" record follows, the sizes it reports are
// those of the file and of what follows that record, and reading in fuzzer-sized blocks gives
// exactly those bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/WaveFileBuffer.h>

namespace {

const std::string& ScratchFile() {
  static const std::string name = [] {
    std::string pattern = "/tmp/plinth-fuzz-wave-XXXXXX";
    const int descriptor = mkstemp(pattern.data());
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::atexit([] { unlink(ScratchFile().c_str()); });
    return pattern;
  }();
  return name;
}

std::string ReadToEnd(Melvo::WaveFileBuffer& wave, std::uint32_t block) {
  std::string all;
  std::string chunk(block, '\0');
  std::uint32_t got = 0;
  while (wave.ReadDataFromFile(chunk.data(), got, block)) {
    if (got == 0 || got > block) std::abort();
    all.append(chunk, 0, got);
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto block = input.ConsumeIntegralInRange<std::uint32_t>(1, 300);
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  std::ofstream(ScratchFile(), std::ios::binary | std::ios::trunc) << bytes;
  const auto fileSize = static_cast<std::int64_t>(bytes.size());

  const bool tagged =
      bytes.size() >= 36 && bytes.compare(0, 4, "RIFF") == 0 && bytes.compare(8, 8, "WAVEfmt ") == 0;
  const std::size_t tag = tagged ? bytes.find("data", 36) : std::string::npos;
  const bool loadable = tag != std::string::npos && tag + 8 <= bytes.size();
  Melvo::WaveFileBuffer wave(ScratchFile());
  if (wave.Load() != loadable) std::abort();
  if (!loadable) return 0;

  if (wave.GetFileSize() != fileSize ||
      wave.GetFileDataSize() != fileSize - static_cast<std::int64_t>(tag + 8))
    std::abort();
  if (ReadToEnd(wave, block) != bytes.substr(tag + 8)) std::abort();
  return 0;
}
