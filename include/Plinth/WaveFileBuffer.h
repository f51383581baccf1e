/// \file
/// Reads and writes uncompressed RIFF/WAVE audio files in blocks of raw bytes. One object serves one
/// file at a time: either it creates a file with a canonical 44-byte header that is brought up to
/// date after every block written, so the file is complete after each write; or it loads a file with
/// a RIFF header and a "fmt " chunk, finds its "data" chunk, and reads the audio bytes block by block.
/// Failures are reported by a false result and one or more log messages; nothing is thrown.
///
/// Two reading rules to know before loading files from other programs:
///  - The "data" chunk is found by searching the bytes after offset 36 for the first "data": four
///    such bytes inside another chunk's contents (a LIST comment reading "metadata", say) are taken
///    for the data chunk, and what follows them is read as audio.
///  - Reading goes on past the end of the data chunk to the end of the file, so chunks stored after
///    the audio (LIST, id3 ...) come back as audio bytes. GetAudioDataSize tells where the audio ends.
///
/// The example host writes its packets to a WAVE file as they come:
/// \snippet demo_host.cpp WaveFileBuffer write
/// and reads the file back in blocks:
/// \snippet demo_host.cpp WaveFileBuffer read
#pragma once

#include <Plinth/Export.h>

#include <cstdint>
#include <memory>
#include <string>

#include <boost/filesystem/fstream.hpp>

namespace Melvo {

/// Reads or writes one uncompressed RIFF/WAVE file in blocks of raw bytes.
class PLINTH_API WaveFileBuffer {
 public:
  /// The sample format of a file.
  struct WaveFileParams {
    std::uint32_t sampleRate = 0;    ///< Frames per second.
    std::int16_t bitsPerSample = 0;  ///< Bits of one sample of one channel.
    std::int16_t numChannels = 0;    ///< Samples per frame.
  };

  /// Stores the name and the direction; opens nothing.
  explicit WaveFileBuffer(const std::string& fileName = std::string(), bool forReading = true);
  /// Closes the file. The header needs no rewrite: it is current after every write.
  ~WaveFileBuffer();
  WaveFileBuffer(const WaveFileBuffer&) = delete;
  WaveFileBuffer& operator=(const WaveFileBuffer&) = delete;

  /// Opens the file for reading and reads its header; the read position is then at the first audio
  /// byte. An empty `fileName` reopens the stored name.
  bool Load(const std::string& fileName = std::string());

  /// Creates (or truncates) the file under the stored name and writes a header with no audio data.
  bool Create(std::uint32_t sampleRate, std::int16_t numChannels, std::int16_t bitsPerSample);
  /// The same under `fileName`, which replaces the stored name even when empty.
  bool Create(const std::string& fileName, std::uint32_t sampleRate, std::int16_t numChannels,
              std::int16_t bitsPerSample);

  /// Reads and checks the header of the open file and puts the read position at the first audio
  /// byte. Load does this itself; calling it again re-reads the header.
  bool InitializeForRead();

  /// Reads up to `bytesToRead` bytes (into `destination`, which has room for them) from the read
  /// position on, to the end of the file. True when at least one byte was read; a short block means
  /// the end was reached. When nothing is left the file is closed and Load is needed to read again.
  /// A request for 0 bytes reads nothing and returns false, leaving the file as it is.
  bool ReadDataFromFile(char* destination, std::uint32_t& bytesRead, std::uint32_t bytesToRead);

  /// Appends `size` bytes and rewrites the header to count them.
  bool WriteDataToFile(const char* data, std::uint32_t size);

  /// Moves the read position back to the first audio byte.
  bool Rewind();
  ///@{
  /// Move the read (or, for a file opened for reading, the shared) position to `position` bytes past
  /// the first audio byte. A position may lie beyond the end of the audio, up to the file's length;
  /// a negative one, or one beyond the file's length, is refused and the position stays.
  bool MoveGetPointerToPosition(std::int64_t position);
  bool MovePutPointerToPosition(std::int64_t position);
  ///@}

  /// The file's length in bytes.
  std::int64_t GetFileSize() const { return fileSize; }
  /// Bytes from the first audio byte to the end of the file, whatever the header claims.
  std::int64_t GetFileDataSize() const { return fileSize - dataOffset; }
  /// The audio byte count the header states; 0 before any file is opened.
  std::int64_t GetAudioDataSize() const;
  ///@{
  /// Duration from the sample rate, channel count and sample width; 0 when these give no
  /// bytes per second (a width under 8 bits, no channels or a zero rate).
  double GetDecimalSecondsInFile() const { return secondsInFile; }
  std::uint64_t GetSecondsInFile() const { return static_cast<std::uint64_t>(secondsInFile); }
  ///@}
  /// False, leaving `params` alone, until a file has been opened.
  bool GetWaveFileParams(WaveFileParams& params) const;
  /// The format tag of the fmt chunk, which says how the samples are encoded: 1 integer PCM, 3 IEEE
  /// float, 6 A-law, 7 mu-law, 0xFFFE extensible (whose real encoding is named further on in the
  /// chunk, which is not read). Files this class writes carry 1. 0 until a file has been opened.
  std::uint16_t GetAudioFormat() const;

 private:
  // Images of the canonical header's three parts. Tags hold their four characters as a
  // little-endian word, so "RIFF" in the file is 'R' | 'I' << 8 | 'F' << 16 | 'F' << 24.
  struct Riff {
    std::uint32_t chunkId;
    std::uint32_t chunkSize;
    std::uint32_t format;
  };
  struct Fmt {
    std::uint32_t subchunkId;
    std::uint32_t subchunkSize;
    std::uint16_t audioFormat;
    std::int16_t numChannels;
    std::uint32_t sampleRate;
    std::uint32_t byteRate;
    std::uint16_t blockAlign;
    std::int16_t bitsPerSample;
  };
  struct WaveData {
    std::uint32_t subchunkId;
    std::uint32_t subchunkSize;
  };

  bool OpenFile();
  void UpdateHeader();
  bool IsStreamGood() const;
  // Both public moves, which differ only in their words, in the fault they name first and in
  // whether they forgive a read that reached the end.
  bool MovePosition(std::int64_t position, bool put);
  const char* Direction() const { return forReading ? "reading" : "writing"; }

  std::string fileName;
  bool forReading;
  // The stream's own buffer, larger than the default so that block reads and writes take fewer
  // system calls. Declared before the stream, which flushes into it until it is destroyed.
  std::unique_ptr<char[]> streamBuffer;
  boost::filesystem::fstream stream;
  std::uint32_t dataOffset = 44;
  std::int64_t fileSize = 0;
  double secondsInFile = 0.0;
  std::uint32_t bytesPerSecond = 0;
  std::shared_ptr<Riff> riff;
  std::shared_ptr<Fmt> fmt;
  std::shared_ptr<WaveData> waveData;
};

}  // namespace Melvo
