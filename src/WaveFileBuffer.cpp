// Reading and writing of uncompressed RIFF/WAVE files block by block, with the canonical 44-byte
// header kept current on disk after every block written.
#include <Plinth/WaveFileBuffer.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ios>
#include <istream>
#include <memory>
#include <string_view>

#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>

#include "LogStatement.h"

namespace {

const Melvo::detail::LogChannel kLog{"vorn.Plinth.WaveFileBuffer"};

// A tag as the little-endian word whose bytes, in file order, are its four characters.
constexpr std::uint32_t Tag(const char (&text)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

constexpr std::uint32_t kRiffTag = Tag("RIFF");
constexpr std::uint32_t kWaveTag = Tag("WAVE");
constexpr std::uint32_t kFmtTag = Tag("fmt ");
constexpr std::uint32_t kDataTag = Tag("data");

constexpr std::uint32_t kCanonicalHeaderSize = 44;
constexpr std::uint32_t kRiffSizeWithoutData = 36;
constexpr std::uint32_t kPcmFmtSize = 16;
constexpr std::uint16_t kPcmFormat = 1;
// A RIFF record and a "fmt " record: the least a file must hold to be read.
constexpr std::streamsize kLeadingRecordsSize = 36;
constexpr std::streamsize kDataRecordSize = 8;
constexpr std::streamsize kStreamBufferSize = 64 * 1024;

// The header is laid out byte by byte so that neither the host's byte order nor the compiler's
// struct layout reaches the file.
void PutU16(unsigned char* at, std::uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

void PutU32(unsigned char* at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
  at[2] = static_cast<unsigned char>(value >> 16);
  at[3] = static_cast<unsigned char>(value >> 24);
}

std::uint16_t GetU16(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

std::uint32_t GetU32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Whole bytes per sample (12 bits count as 1), times channels and rate, wrapping in 32 bits.
std::uint32_t BytesPerFrame(std::int16_t bitsPerSample, std::int16_t numChannels) {
  return static_cast<std::uint32_t>((bitsPerSample / 8) * numChannels);
}

std::uint32_t BytesPerSecond(std::int16_t bitsPerSample, std::int16_t numChannels, std::uint32_t sampleRate) {
  return BytesPerFrame(bitsPerSample, numChannels) * sampleRate;
}

// Without a byte rate (sample width under 8 bits, no channels, rate 0) the duration is unknown;
// it is reported as 0 rather than as infinity or NaN, which no caller could use.
double SecondsOf(std::uint32_t audioBytes, std::uint32_t bytesPerSecond) {
  return bytesPerSecond == 0 ? 0.0 : static_cast<double>(audioBytes) / bytesPerSecond;
}

// The offset of the first "data" tag from the stream's position on, wherever it stands (inside
// another chunk's text too), or -1 when the stream ends first. Reads in large blocks, keeping the
// last three bytes of each so that a tag split between two blocks is found as well.
std::streamoff FindDataTag(std::istream& stream) {
  constexpr std::string_view kTag("data", 4);
  constexpr std::size_t kKept = kTag.size() - 1;
  const auto buffer = std::make_unique<char[]>(kKept + kStreamBufferSize);
  std::streamoff bufferStart = stream.tellg();
  std::size_t kept = 0;
  for (;;) {
    stream.read(buffer.get() + kept, kStreamBufferSize);
    const std::size_t filled = kept + static_cast<std::size_t>(stream.gcount());
    const std::size_t found = std::string_view(buffer.get(), filled).find(kTag);
    if (found != std::string_view::npos) return bufferStart + static_cast<std::streamoff>(found);
    if (!stream) return -1;
    kept = std::min(kKept, filled);
    std::memmove(buffer.get(), buffer.get() + filled - kept, kept);
    bufferStart += static_cast<std::streamoff>(filled - kept);
  }
}

}  // namespace

namespace Melvo {

WaveFileBuffer::WaveFileBuffer(const std::string& fileName, bool forReading)
    : fileName(fileName), forReading(forReading), streamBuffer(new char[kStreamBufferSize]) {
  stream.rdbuf()->pubsetbuf(streamBuffer.get(), kStreamBufferSize);
}

WaveFileBuffer::~WaveFileBuffer() = default;

bool WaveFileBuffer::Load(const std::string& fileName) {
  forReading = true;
  if (!fileName.empty()) {
    this->fileName = fileName;
  }
  return OpenFile();
}

bool WaveFileBuffer::Create(const std::string& fileName, std::uint32_t sampleRate, std::int16_t numChannels,
                            std::int16_t bitsPerSample) {
  this->fileName = fileName;
  return Create(sampleRate, numChannels, bitsPerSample);
}

bool WaveFileBuffer::Create(std::uint32_t sampleRate, std::int16_t numChannels, std::int16_t bitsPerSample) {
  PLINTH_LOG(kLog, spdlog::level::info, "Attempting to create wave file {}.", fileName);
  forReading = false;
  if (!fileName.empty() && OpenFile()) {
    fmt->sampleRate = sampleRate;
    fmt->numChannels = numChannels;
    fmt->bitsPerSample = bitsPerSample;
    fmt->byteRate = BytesPerSecond(bitsPerSample, numChannels, sampleRate);
    fmt->blockAlign = static_cast<std::uint16_t>(BytesPerFrame(bitsPerSample, numChannels));
    bytesPerSecond = fmt->byteRate;
    // A written file always has the canonical header, whatever file this object read before.
    dataOffset = kCanonicalHeaderSize;
    fileSize = dataOffset;
    secondsInFile = 0.0;
    UpdateHeader();
    if (IsStreamGood()) {
      return true;
    }
  }
  PLINTH_LOG(kLog, spdlog::level::err, "Error trying to create wave file {}.", fileName);
  return false;
}

bool WaveFileBuffer::OpenFile() {
  if (fileName.empty()) {
    PLINTH_LOG(kLog, spdlog::level::err, "Error trying to open file for {}. file name must be specified.",
               Direction());
    return false;
  }
  if (stream.is_open()) {
    stream.close();
  }
  stream.clear();

  const boost::filesystem::path path(fileName);
  // Some systems open a directory for reading; it never holds a file's bytes, so it is treated as
  // a file that cannot be opened.
  boost::system::error_code ignored;
  if (!boost::filesystem::is_directory(path, ignored)) {
    stream.open(path, forReading ? std::ios::in | std::ios::binary
                                 : std::ios::out | std::ios::trunc | std::ios::binary);
  }
  fileSize = 0;

  if (IsStreamGood()) {
    riff = std::make_shared<Riff>(Riff{kRiffTag, kRiffSizeWithoutData, kWaveTag});
    fmt = std::make_shared<Fmt>(Fmt{kFmtTag, kPcmFmtSize, kPcmFormat, 0, 0, 0, 0, 0});
    waveData = std::make_shared<WaveData>(WaveData{kDataTag, 0});
    if (!forReading || InitializeForRead()) {
      return true;
    }
  }

  if (stream.is_open()) {
    stream.close();
  }
  stream.clear();
  PLINTH_LOG(kLog, spdlog::level::err, "Error trying to open file {} for {}.", fileName, Direction());
  return false;
}

void WaveFileBuffer::UpdateHeader() {
  unsigned char header[kCanonicalHeaderSize];
  PutU32(header + 0, riff->chunkId);
  PutU32(header + 4, riff->chunkSize);
  PutU32(header + 8, riff->format);
  PutU32(header + 12, fmt->subchunkId);
  PutU32(header + 16, fmt->subchunkSize);
  PutU16(header + 20, fmt->audioFormat);
  PutU16(header + 22, static_cast<std::uint16_t>(fmt->numChannels));
  PutU32(header + 24, fmt->sampleRate);
  PutU32(header + 28, fmt->byteRate);
  PutU16(header + 32, fmt->blockAlign);
  PutU16(header + 34, static_cast<std::uint16_t>(fmt->bitsPerSample));
  PutU32(header + 36, waveData->subchunkId);
  PutU32(header + 40, waveData->subchunkSize);

  stream.seekp(0, std::ios::beg);
  stream.write(reinterpret_cast<const char*>(header), sizeof header);
  stream.seekp(0, std::ios::end);
}

bool WaveFileBuffer::InitializeForRead() {
  PLINTH_LOG(kLog, spdlog::level::info, "Attempting to read wave file {}.", fileName);
  // Reading the header again starts afresh, also after a read that hit the end of the file.
  if (stream.is_open()) {
    stream.clear();
  }
  stream.seekg(0, std::ios::end);
  fileSize = static_cast<std::int64_t>(stream.tellg());
  stream.seekg(0, std::ios::beg);
  if (fileSize < kLeadingRecordsSize) {
    PLINTH_LOG(kLog, spdlog::level::err,
               "Error opening file {} for reading. File size {} is too small to be a wave file.", fileName,
               fileSize);
    return false;
  }

  unsigned char leading[kLeadingRecordsSize];
  stream.read(reinterpret_cast<char*>(leading), kLeadingRecordsSize);
  // A stream that cannot be read (one open for writing, say) yields no header at all.
  const bool headerRead = stream.gcount() == kLeadingRecordsSize;
  if (headerRead) {
    *riff = Riff{GetU32(leading + 0), GetU32(leading + 4), GetU32(leading + 8)};
    *fmt = Fmt{GetU32(leading + 12), GetU32(leading + 16),
               GetU16(leading + 20), static_cast<std::int16_t>(GetU16(leading + 22)),
               GetU32(leading + 24), GetU32(leading + 28),
               GetU16(leading + 32), static_cast<std::int16_t>(GetU16(leading + 34))};
  }
  if (!headerRead || riff->chunkId != kRiffTag || riff->format != kWaveTag || fmt->subchunkId != kFmtTag) {
    PLINTH_LOG(kLog, spdlog::level::err,
               "Error opening file {} for reading. File header is not that of a wave file.", fileName);
    return false;
  }

  // The "data" chunk follows the fmt chunk, which may be longer than 16 bytes, and possibly other
  // chunks; a search for its tag finds it without trusting any of their sizes.
  const std::streamoff dataTag = FindDataTag(stream);
  if (dataTag < 0) {
    PLINTH_LOG(kLog, spdlog::level::err, "Error opening file {} for reading. Data tag not found.", fileName);
    return false;
  }

  unsigned char dataRecord[kDataRecordSize];
  stream.clear();
  stream.seekg(dataTag);
  stream.read(reinterpret_cast<char*>(dataRecord), kDataRecordSize);
  // A tag cut off before its size is no usable data chunk.
  if (stream.gcount() != kDataRecordSize) {
    PLINTH_LOG(kLog, spdlog::level::err, "Error opening file {} for reading. Data tag not found.", fileName);
    return false;
  }
  *waveData = WaveData{GetU32(dataRecord + 0), GetU32(dataRecord + 4)};
  dataOffset = static_cast<std::uint32_t>(stream.tellg());

  // The file's own byte rate is not trusted: the duration follows from what the samples are.
  bytesPerSecond = BytesPerSecond(fmt->bitsPerSample, fmt->numChannels, fmt->sampleRate);
  secondsInFile = SecondsOf(waveData->subchunkSize, bytesPerSecond);
  PLINTH_LOG(kLog, spdlog::level::info, "Success opening wave file {}. Seconds of data: {}", fileName,
             secondsInFile);
  return true;
}

bool WaveFileBuffer::ReadDataFromFile(char* destination, std::uint32_t& bytesRead,
                                      std::uint32_t bytesToRead) {
  if (IsStreamGood()) {
    bytesRead = 0;
    if (bytesToRead == 0) {
      return false;
    }
    stream.read(destination, bytesToRead);
    bytesRead = static_cast<std::uint32_t>(stream.gcount());
    if (bytesRead != 0) {
      return true;
    }
  }
  PLINTH_LOG(kLog, spdlog::level::warn, "Can't read anymore from {}. At EOF or file in a bad state.",
             fileName);
  if (stream.is_open()) {
    stream.close();
  }
  bytesRead = 0;
  return false;
}

bool WaveFileBuffer::WriteDataToFile(const char* data, std::uint32_t size) {
  if (!IsStreamGood()) {
    PLINTH_LOG(kLog, spdlog::level::err, "Can't write to wave file {}. File is in a bad state.", fileName);
    return false;
  }
  stream.write(data, size);
  if (IsStreamGood()) {
    riff->chunkSize += size;
    waveData->subchunkSize += size;
    fileSize += size;
    secondsInFile = SecondsOf(waveData->subchunkSize, bytesPerSecond);
    UpdateHeader();
    // The block counts as written only once the header on disk says so.
    if (IsStreamGood()) {
      return true;
    }
  }
  PLINTH_LOG(kLog, spdlog::level::err, "Error on writing to file {}.", fileName);
  return false;
}

bool WaveFileBuffer::Rewind() {
  return MoveGetPointerToPosition(0);
}

bool WaveFileBuffer::MoveGetPointerToPosition(std::int64_t position) {
  return MovePosition(position, false);
}

bool WaveFileBuffer::MovePutPointerToPosition(std::int64_t position) {
  return MovePosition(position, true);
}

bool WaveFileBuffer::MovePosition(std::int64_t position, bool put) {
  const char* const function = put ? "Melvo::WaveFileBuffer::MovePutPointerToPosition"
                                   : "Melvo::WaveFileBuffer::MoveGetPointerToPosition";
  const char* const pointer = put ? "put" : "get";
  // Of a file that is neither open for reading nor good, a get move names the direction, a put move
  // the state.
  if (!forReading && (!put || IsStreamGood())) {
    PLINTH_LOG_AS(function, kLog, spdlog::level::err,
                  "Cannot move {} pointer for wave file {}. File is not open for reading.", pointer,
                  fileName);
    return false;
  }
  // A read that reached the end leaves the file usable from another position; a put move does not
  // forgive it.
  if (!put && stream.eof()) {
    stream.clear();
  }
  if (!IsStreamGood()) {
    PLINTH_LOG_AS(function, kLog, spdlog::level::err,
                  "Cannot move {} pointer for wave file {}. File is in a bad state.", pointer, fileName);
    return false;
  }
  // Before the audio lies the header, and before the file nothing: such a move is a caller's error.
  if (position < 0) {
    PLINTH_LOG_AS(
        function, kLog, spdlog::level::err,
        "Cannot move {} pointer for wave file {} to position {}. Position is before the audio data.", pointer,
        fileName, position);
    return false;
  }
  // The stream has one position for reading and writing: moving the read position moves both.
  const std::streampos remembered = stream.tellg();
  stream.seekg(0, std::ios::end);
  const std::int64_t fileLength = static_cast<std::int64_t>(stream.tellg());
  if (position <= fileLength) {
    stream.seekg(static_cast<std::streamoff>(dataOffset + position), std::ios::beg);
    return true;
  }
  PLINTH_LOG_AS(function, kLog, spdlog::level::err,
                "Cannot move {} pointer for wave file {} to position {}. Position exceeds file size of {}.",
                pointer, fileName, position, fileLength);
  stream.seekg(remembered);
  return false;
}

std::int64_t WaveFileBuffer::GetAudioDataSize() const {
  return waveData ? static_cast<std::int64_t>(waveData->subchunkSize) : 0;
}

bool WaveFileBuffer::GetWaveFileParams(WaveFileParams& params) const {
  if (!fmt) {
    return false;
  }
  params.sampleRate = fmt->sampleRate;
  params.bitsPerSample = fmt->bitsPerSample;
  params.numChannels = fmt->numChannels;
  return true;
}

std::uint16_t WaveFileBuffer::GetAudioFormat() const {
  return fmt ? fmt->audioFormat : 0;
}

bool WaveFileBuffer::IsStreamGood() const {
  return stream.is_open() && stream.good();
}

}  // namespace Melvo
