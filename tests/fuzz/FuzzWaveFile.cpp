// A WAVE file of arbitrary bytes, written to a temporary file and loaded: a load succeeds only
// with the RIFF/WAVE/"fmt " tags in place; the sizes it reports never exceed the file; reading in
// fuzzer-sized blocks returns exactly the file's bytes from the first audio byte to the end, again
// after a rewind and from any position a move accepts; moves outside the file are refused.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/WaveFileBuffer.h>

namespace {

// One scratch file for the whole run, removed at exit.
const std::string& ScratchFile() {
  static const std::string name = [] {
    const char* folder = std::getenv("TMPDIR");
    std::string pattern = std::string(folder != nullptr ? folder : "/tmp") + "/plinth-fuzz-wave-XXXXXX";
    const int descriptor = mkstemp(pattern.data());
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::atexit([] { std::remove(ScratchFile().c_str()); });
    return pattern;
  }();
  return name;
}

bool WriteFile(const std::string& name, const std::vector<char>& bytes) {
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// Everything ReadDataFromFile gives from the current position on, in blocks of `block` bytes.
std::vector<char> ReadToEnd(Melvo::WaveFileBuffer& wave, std::uint32_t block) {
  std::vector<char> all;
  std::vector<char> chunk(block);
  std::uint32_t bytesRead = 12345;
  while (wave.ReadDataFromFile(chunk.data(), bytesRead, block)) {
    if (bytesRead == 0 || bytesRead > block) std::abort();
    all.insert(all.end(), chunk.begin(), chunk.begin() + bytesRead);
  }
  if (bytesRead != 0) std::abort();
  return all;
}

bool HasTag(const std::vector<char>& bytes, std::size_t at, const char* tag) {
  return bytes.size() >= at + 4 && std::memcmp(bytes.data() + at, tag, 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto block = input.ConsumeIntegralInRange<std::uint32_t>(1, 300);
  const auto position = input.ConsumeIntegral<std::int64_t>();
  const std::vector<char> bytes = input.ConsumeRemainingBytes<char>();
  if (!WriteFile(ScratchFile(), bytes)) std::abort();
  const auto fileSize = static_cast<std::int64_t>(bytes.size());

  Melvo::WaveFileBuffer wave(ScratchFile());
  const bool tagged = HasTag(bytes, 0, "RIFF") && HasTag(bytes, 8, "WAVE") && HasTag(bytes, 12, "fmt ");
  if (!wave.Load()) {
    // A file with every tag in place fails only for want of a whole "data" record after them.
    if (tagged && bytes.size() >= 36) {
      const std::size_t found = std::string(bytes.data() + 36, bytes.size() - 36).find("data");
      if (found != std::string::npos && 36 + found + 8 <= bytes.size()) std::abort();
    }
    return 0;
  }
  if (!tagged) std::abort();

  if (wave.GetFileSize() != fileSize) std::abort();
  const std::int64_t dataSize = wave.GetFileDataSize();
  if (dataSize < 0 || dataSize > fileSize - 44) std::abort();
  const std::int64_t dataOffset = fileSize - dataSize;
  if (!HasTag(bytes, static_cast<std::size_t>(dataOffset) - 8, "data")) std::abort();
  if (wave.GetDecimalSecondsInFile() < 0) std::abort();
  Melvo::WaveFileBuffer::WaveFileParams params;
  if (!wave.GetWaveFileParams(params)) std::abort();

  const std::vector<char> audio(bytes.begin() + dataOffset, bytes.end());
  if (ReadToEnd(wave, block) != audio) std::abort();
  if (!wave.Load() || !wave.Rewind() || ReadToEnd(wave, block) != audio) std::abort();

  // A move is accepted from 0 up to the file's length, and reading then starts that far past the
  // first audio byte (nothing at all past the end of the file).
  if (!wave.Load()) std::abort();
  const bool accepted = wave.MoveGetPointerToPosition(position);
  if (accepted != (position >= 0 && position <= fileSize)) std::abort();
  if (accepted) {
    const std::vector<char> rest =
        position < dataSize ? std::vector<char>(audio.begin() + position, audio.end()) : std::vector<char>();
    if (ReadToEnd(wave, block) != rest) std::abort();
  } else if (ReadToEnd(wave, block) != audio) {
    std::abort();
  }
  return 0;
}
