#include <Plinth/WaveFileBuffer.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include "support/LogCapture.h"
#include "support/TempFolder.h"

namespace {

using Melvo::WaveFileBuffer;
using PlinthTest::LogCapture;
using PlinthTest::LogRecord;
using PlinthTest::TempFolder;
namespace fs = boost::filesystem;

std::string ReadAll(const fs::path& file) {
  fs::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& file, const std::string& bytes) {
  fs::ofstream(file, std::ios::binary) << bytes;
}

std::uint32_t U32At(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return value;
}

std::string Le(std::uint32_t value, int width = 4) {
  std::string bytes;
  for (int i = 0; i < width; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

// Audio bytes that differ from block to block, so a misplaced read or write shows.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

void Write(const fs::path& file, const std::string& audio, std::uint32_t rate, std::int16_t channels,
           std::int16_t bits) {
  WaveFileBuffer wave;
  ASSERT_TRUE(wave.Create(file.string(), rate, channels, bits));
  ASSERT_TRUE(wave.WriteDataToFile(audio.data(), static_cast<std::uint32_t>(audio.size())));
}

std::string ReadToEnd(WaveFileBuffer& wave, std::uint32_t blockSize) {
  std::string all;
  std::vector<char> block(blockSize);
  std::uint32_t got = 0;
  while (wave.ReadDataFromFile(block.data(), got, blockSize)) all.append(block.data(), got);
  EXPECT_EQ(got, 0u);
  return all;
}

void ExpectRecord(const LogRecord& record, spdlog::level::level_enum level, const std::string& operation,
                  const std::string& text) {
  EXPECT_EQ(record.level, level);
  EXPECT_EQ(record.logger, "vorn.Plinth.WaveFileBuffer");
  EXPECT_EQ(record.file, "src/WaveFileBuffer");
  EXPECT_EQ(record.function, "Melvo::WaveFileBuffer::" + operation);
  EXPECT_EQ(record.text, text);
}

std::string Shell(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char chunk[256];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
    pclose(pipe);
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

bool HaveSox() {
  return std::system("sox --version >/dev/null 2>&1") == 0;
}

class WaveFileBufferTest : public testing::Test {
 protected:
  void SetUp() override { LogCapture::Take(); }
  TempFolder folder;
};

TEST_F(WaveFileBufferTest, WritesCanonicalHeaderKeptCurrentAfterEveryBlock) {
  const std::string name = (folder / "one-second.wav").string();
  WaveFileBuffer wave;
  WaveFileBuffer::WaveFileParams params;
  EXPECT_FALSE(wave.GetWaveFileParams(params));
  ASSERT_TRUE(wave.Create(name, 44100, 2, 16));
  ExpectRecord(LogCapture::Take().at(0), spdlog::level::info, "Create",
               "Attempting to create wave file " + name + ".");

  EXPECT_EQ(ReadAll(name), "RIFF" + Le(36) + "WAVEfmt " + Le(16) + Le(1, 2) + Le(2, 2) + Le(44100) +
                               Le(176400) + Le(4, 2) + Le(16, 2) + "data" + Le(0));
  EXPECT_EQ(wave.GetFileSize(), 44);
  EXPECT_EQ(wave.GetFileDataSize(), 0);
  EXPECT_EQ(wave.GetAudioDataSize(), 0);
  EXPECT_EQ(wave.GetDecimalSecondsInFile(), 0.0);

  const std::string audio = Pattern(176400);
  for (std::size_t done = 0, block = 1000; done < audio.size(); done += block, block *= 3) {
    const std::size_t size = std::min(block, audio.size() - done);
    ASSERT_TRUE(wave.WriteDataToFile(audio.data() + done, static_cast<std::uint32_t>(size)));
    const std::string onDisk = ReadAll(name);
    ASSERT_EQ(onDisk.size(), 44 + done + size);
    EXPECT_EQ(U32At(onDisk, 4), 36 + done + size);
    EXPECT_EQ(U32At(onDisk, 40), done + size);
  }
  EXPECT_EQ(ReadAll(name).substr(44), audio);
  EXPECT_EQ(wave.GetFileSize(), 176444);
  EXPECT_EQ(wave.GetAudioDataSize(), 176400);
  EXPECT_EQ(wave.GetDecimalSecondsInFile(), 1.0);
  EXPECT_EQ(wave.GetSecondsInFile(), 1u);
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST_F(WaveFileBufferTest, RatesCountWholeBytesPerSampleAndNoRateGivesNoDuration) {
  const fs::path twelveBit = folder / "twelve.wav";
  Write(twelveBit, Pattern(48000), 8000, 3, 12);
  EXPECT_EQ(ReadAll(twelveBit).substr(28, 6), Le(24000) + Le(3, 2));
  WaveFileBuffer wave;
  ASSERT_TRUE(wave.Load(twelveBit.string()));
  EXPECT_EQ(wave.GetDecimalSecondsInFile(), 2.0);

  // Sample widths under a byte give no byte rate: the duration is 0, never infinite.
  Write(folder / "four-bit.wav", Pattern(100), 8000, 1, 4);
  ASSERT_TRUE(wave.Load((folder / "four-bit.wav").string()));
  EXPECT_EQ(wave.GetDecimalSecondsInFile(), 0.0);
  EXPECT_EQ(wave.GetSecondsInFile(), 0u);
  EXPECT_EQ(LogCapture::Take().back().text,
            "Success opening wave file " + (folder / "four-bit.wav").string() + ". Seconds of data: 0");
}

TEST_F(WaveFileBufferTest, ReadsBlocksToTheEndThenClosesTheFile) {
  const std::string name = (folder / "read.wav").string();
  const std::string audio = Pattern(10500);
  Write(name, audio, 8000, 1, 16);
  LogCapture::Take();

  WaveFileBuffer wave(name);
  ASSERT_TRUE(wave.Load());
  std::vector<LogRecord> records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  ExpectRecord(records[0], spdlog::level::info, "InitializeForRead",
               "Attempting to read wave file " + name + ".");
  ExpectRecord(records[1], spdlog::level::info, "InitializeForRead",
               "Success opening wave file " + name + ". Seconds of data: 0.65625");
  EXPECT_EQ(wave.GetFileDataSize(), 10500);

  // A short last block is still a success; the end of the file, reached, can be left by a rewind.
  EXPECT_EQ(ReadToEnd(wave, 1000), audio);
  records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  ExpectRecord(records[0], spdlog::level::warn, "ReadDataFromFile",
               "Can't read anymore from " + name + ". At EOF or file in a bad state.");
  EXPECT_FALSE(wave.Rewind());
  ExpectRecord(LogCapture::Take().at(0), spdlog::level::err, "MoveGetPointerToPosition",
               "Cannot move get pointer for wave file " + name + ". File is in a bad state.");

  ASSERT_TRUE(wave.Load());
  std::vector<char> block(11000);
  std::uint32_t got = 0;
  ASSERT_TRUE(wave.ReadDataFromFile(block.data(), got, 11000));
  EXPECT_EQ(got, 10500u);
  ASSERT_TRUE(wave.Rewind());
  EXPECT_EQ(ReadToEnd(wave, 4096), audio);
}

TEST_F(WaveFileBufferTest, MovesPositionsWithinTheFileOnly) {
  const std::string name = (folder / "seek.wav").string();
  const std::string audio = Pattern(1000);
  Write(name, audio, 8000, 1, 8);
  WaveFileBuffer writer;
  ASSERT_TRUE(writer.Create((folder / "other.wav").string(), 8000, 1, 8));
  WaveFileBuffer wave;
  ASSERT_TRUE(wave.Load(name));
  LogCapture::Take();

  ASSERT_TRUE(wave.MoveGetPointerToPosition(600));
  EXPECT_EQ(ReadToEnd(wave, 256), audio.substr(600));
  ASSERT_TRUE(wave.Load());
  EXPECT_TRUE(wave.MoveGetPointerToPosition(1044));
  ASSERT_TRUE(wave.MoveGetPointerToPosition(10));
  LogCapture::Take();
  EXPECT_FALSE(wave.MoveGetPointerToPosition(1045));
  EXPECT_FALSE(wave.MoveGetPointerToPosition(-1));
  EXPECT_FALSE(writer.MovePutPointerToPosition(0));
  EXPECT_FALSE(writer.MoveGetPointerToPosition(0));
  const std::vector<LogRecord> records = LogCapture::Take();
  ASSERT_EQ(records.size(), 4u);
  ExpectRecord(records[0], spdlog::level::err, "MoveGetPointerToPosition",
               "Cannot move get pointer for wave file " + name +
                   " to position 1045. Position exceeds file size of 1044.");
  ExpectRecord(records[1], spdlog::level::err, "MoveGetPointerToPosition",
               "Cannot move get pointer for wave file " + name +
                   " to position -1. Position is before the audio data.");
  const std::string other = (folder / "other.wav").string();
  ExpectRecord(records[2], spdlog::level::err, "MovePutPointerToPosition",
               "Cannot move put pointer for wave file " + other + ". File is not open for reading.");
  ExpectRecord(records[3], spdlog::level::err, "MoveGetPointerToPosition",
               "Cannot move get pointer for wave file " + other + ". File is not open for reading.");

  // Refused moves leave the position where it was; the put position is the read position too.
  std::vector<char> block(5);
  std::uint32_t got = 0;
  ASSERT_TRUE(wave.ReadDataFromFile(block.data(), got, 5));
  EXPECT_EQ(std::string(block.data(), got), audio.substr(10, 5));
  ASSERT_TRUE(wave.MovePutPointerToPosition(900));
  ASSERT_TRUE(wave.ReadDataFromFile(block.data(), got, 5));
  EXPECT_EQ(std::string(block.data(), got), audio.substr(900, 5));
}

TEST_F(WaveFileBufferTest, RefusesWhatIsNoWaveFile) {
  Write(folder / "model.wav", "", 8000, 1, 16);
  const std::string header = ReadAll(folder / "model.wav");
  std::string notRiff = header;
  notRiff[0] = 'X';
  LogCapture::Take();
  struct Case {
    std::string bytes;
    std::string complaint;
  };
  const std::vector<Case> cases = {
      {"", "File size 0 is too small to be a wave file."},
      {header.substr(0, 35), "File size 35 is too small to be a wave file."},
      {notRiff, "File header is not that of a wave file."},
      {header.substr(0, 36), "Data tag not found."},
      {header.substr(0, 40) + "\x10", "Data tag not found."},
  };
  for (const Case& bad : cases) {
    const std::string name = (folder / "bad.wav").string();
    WriteAll(name, bad.bytes);
    WaveFileBuffer wave;
    EXPECT_FALSE(wave.Load(name));
    const std::vector<LogRecord> records = LogCapture::Take();
    ASSERT_EQ(records.size(), 3u);
    ExpectRecord(records[1], spdlog::level::err, "InitializeForRead",
                 "Error opening file " + name + " for reading. " + bad.complaint);
    ExpectRecord(records[2], spdlog::level::err, "OpenFile",
                 "Error trying to open file " + name + " for reading.");
    // Nothing half-open is left behind to read from.
    EXPECT_FALSE(wave.Rewind());
    EXPECT_EQ(LogCapture::Take().at(0).text,
              "Cannot move get pointer for wave file " + name + ". File is in a bad state.");
  }

  WaveFileBuffer wave;
  EXPECT_FALSE(wave.Load(folder.Path().string()));
  EXPECT_FALSE(wave.Load((folder / "missing.wav").string()));
  const std::vector<LogRecord> records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  ExpectRecord(records[0], spdlog::level::err, "OpenFile",
               "Error trying to open file " + folder.Path().string() + " for reading.");
}

TEST_F(WaveFileBufferTest, ReportsFilesThatCannotBeCreatedOrWritten) {
  WaveFileBuffer wave((folder / "kept.wav").string());
  EXPECT_FALSE(wave.Create("", 8000, 1, 16));
  std::vector<LogRecord> records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  ExpectRecord(records[1], spdlog::level::err, "Create", "Error trying to create wave file .");
  EXPECT_FALSE(wave.Load());
  ExpectRecord(LogCapture::Take().at(0), spdlog::level::err, "OpenFile",
               "Error trying to open file for reading. file name must be specified.");

  const std::string unreachable = (folder / "no-such-folder" / "x.wav").string();
  EXPECT_FALSE(wave.Create(unreachable, 8000, 1, 16));
  records = LogCapture::Take();
  ASSERT_EQ(records.size(), 3u);
  ExpectRecord(records[1], spdlog::level::err, "OpenFile",
               "Error trying to open file " + unreachable + " for writing.");
  ExpectRecord(records[2], spdlog::level::err, "Create",
               "Error trying to create wave file " + unreachable + ".");
  const char block[4] = {1, 2, 3, 4};
  EXPECT_FALSE(wave.WriteDataToFile(block, 4));
  ExpectRecord(LogCapture::Take().at(0), spdlog::level::err, "WriteDataToFile",
               "Can't write to wave file " + unreachable + ". File is in a bad state.");

  // A device that takes no bytes: the header cannot be written, so nothing counts as created.
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(wave.Create("/dev/full", 8000, 1, 16));
    EXPECT_EQ(LogCapture::Take().back().text, "Error trying to create wave file /dev/full.");
  }
  // A file open for reading takes no writes.
  Write(folder / "read-only.wav", Pattern(10), 8000, 1, 16);
  ASSERT_TRUE(wave.Load((folder / "read-only.wav").string()));
  LogCapture::Take();
  EXPECT_FALSE(wave.WriteDataToFile(block, 4));
  EXPECT_EQ(LogCapture::Take().at(0).text,
            "Error on writing to file " + (folder / "read-only.wav").string() + ".");
}

TEST_F(WaveFileBufferTest, FindsTheDataChunkPastLongerFmtAndOtherChunks) {
  // An 18-byte fmt chunk with a byte rate that lies, and a data size beyond the file's end.
  Write(folder / "base.wav", Pattern(8000), 8000, 1, 8);
  std::string bytes = ReadAll(folder / "base.wav");
  bytes.replace(16, 4, Le(18));
  bytes.replace(28, 4, Le(1));
  bytes.insert(36, 2, '\0');
  bytes.replace(42, 4, Le(16000));
  WriteAll(folder / "long-fmt.wav", bytes);

  WaveFileBuffer wave;
  ASSERT_TRUE(wave.Load((folder / "long-fmt.wav").string()));
  EXPECT_EQ(wave.GetFileDataSize(), 8000);
  EXPECT_EQ(wave.GetAudioDataSize(), 16000);
  EXPECT_EQ(wave.GetDecimalSecondsInFile(), 2.0);
  EXPECT_EQ(ReadToEnd(wave, 3000), Pattern(8000));
}

TEST_F(WaveFileBufferTest, LoadsWhatSoxWrites) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  struct Case {
    std::string options;
    std::uint32_t rate;
    std::int16_t channels;
    std::int16_t bits;
    std::int64_t dataOffset;
  };
  // sox writes 24-bit and 6-channel audio with a 40-byte extensible fmt chunk and a fact chunk.
  for (const Case& c :
       {Case{"-r 44100 -c 2 -b 16", 44100, 2, 16, 44}, Case{"-r 48000 -c 1 -b 24", 48000, 1, 24, 80},
        Case{"-r 8000 -c 6 -b 16", 8000, 6, 16, 80}}) {
    const fs::path file = folder / "sox.wav";
    ASSERT_EQ(Shell("sox -n " + c.options + " " + file.string() + " synth 0.5 sine 440"), "");
    ASSERT_EQ(Shell("sox " + file.string() + " -t raw " + (folder / "sox.raw").string()), "");
    WaveFileBuffer wave;
    ASSERT_TRUE(wave.Load(file.string()));
    WaveFileBuffer::WaveFileParams params;
    ASSERT_TRUE(wave.GetWaveFileParams(params));
    EXPECT_EQ(std::tie(params.sampleRate, params.numChannels, params.bitsPerSample),
              std::tie(c.rate, c.channels, c.bits));
    EXPECT_EQ(wave.GetFileSize() - wave.GetFileDataSize(), c.dataOffset);
    EXPECT_EQ(wave.GetDecimalSecondsInFile(), 0.5);
    EXPECT_EQ(ReadToEnd(wave, 4096), ReadAll(folder / "sox.raw"));
  }

  // A LIST chunk between fmt and data, as many tools write; sox must still agree on the samples.
  const fs::path plain = folder / "plain.wav";
  ASSERT_EQ(Shell("sox -n -r 8000 -c 1 -b 16 " + plain.string() + " synth 0.25 sine 440"), "");
  std::string bytes = ReadAll(plain);
  const std::string list = "LIST" + Le(18) + "INFOICMT" + Le(6) + std::string("hello\0", 6);
  bytes.insert(36, list);
  bytes.replace(4, 4, Le(U32At(bytes, 4) + static_cast<std::uint32_t>(list.size())));
  const fs::path listed = folder / "listed.wav";
  WriteAll(listed, bytes);
  ASSERT_EQ(Shell("soxi -s " + listed.string()), "2000");
  WaveFileBuffer wave;
  ASSERT_TRUE(wave.Load(listed.string()));
  EXPECT_EQ(wave.GetFileSize() - wave.GetFileDataSize(), 44 + 26);
  EXPECT_EQ(ReadToEnd(wave, 1024), ReadAll(plain).substr(44));
}

TEST_F(WaveFileBufferTest, WritesWhatSoxAccepts) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  const fs::path file = folder / "ours.wav";
  const std::string audio = Pattern(3 * 22050 * 2 * 2);
  Write(file, audio, 22050, 2, 16);
  EXPECT_EQ(Shell("soxi -r " + file.string()), "22050");
  EXPECT_EQ(Shell("soxi -c " + file.string()), "2");
  EXPECT_EQ(Shell("soxi -b " + file.string()), "16");
  EXPECT_EQ(Shell("soxi -s " + file.string()), "66150");
  ASSERT_EQ(Shell("sox " + file.string() + " -t raw " + (folder / "sox.raw").string()), "");
  EXPECT_EQ(ReadAll(folder / "sox.raw"), audio);
}

}  // namespace
