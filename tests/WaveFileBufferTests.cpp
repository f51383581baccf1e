#include <Plinth/WaveFileBuffer.h>

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/Files.h"
#include "support/LogCapture.h"

namespace {
using PlinthTest::ReadFile;
using PlinthTest::WriteFile;

// The canonical header of 16-bit stereo at 44.1 kHz over `size` bytes of audio.
std::string Header(std::uint32_t size) {
  std::string header("RIFF....WAVEfmt \x10\0\0\0\1\0\2\0\x44\xAC\0\0\x10\xB1\2\0\4\0\x10\0data....", 44);
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((36 + size) >> 8 * i);
  for (int i = 0; i < 4; ++i) header[40 + i] = static_cast<char>(size >> 8 * i);
  return header;
}

class WaveFileBufferTest : public testing::Test {
 protected:
  void SetUp() override { PlinthTest::LogCapture::Take(); }
  std::string Path(const char* name) const { return (folder / name).string(); }

  // The errors logged since the last call, a line each: the operation that failed (by the name of the
  // function it logs as) and the last sentence of its message, which says why.
  static std::string Errors() {
    std::string lines;
    for (const PlinthTest::LogRecord& r : PlinthTest::LogCapture::Take()) {
      EXPECT_EQ(r.logger, "vorn.Plinth.WaveFileBuffer");
      const std::size_t why = r.text.rfind(". ");
      if (r.level == spdlog::level::err)
        lines += r.function.substr(23) + ": " + r.text.substr(why == std::string::npos ? 0 : why + 2) + "\n";
    }
    return lines;
  }

  PlinthTest::TempFolder folder;
};

TEST_F(WaveFileBufferTest, WritesWithACurrentHeaderAndReadsBackPastOtherChunks) {
  // One second of 16-bit stereo at 44.1 kHz; numbered lines stand in for audio, so that a misplaced
  // byte shows.
  std::string audio;
  for (int line = 1; audio.size() < 176400; ++line) audio += std::to_string(line) + "\n";
  audio.resize(176400);
  const std::string name = Path("one.wav"), odd = Path("odd.wav");
  Melvo::WaveFileBuffer wave;
  Melvo::WaveFileBuffer::WaveFileParams params;  // zero until a file's are read
  EXPECT_TRUE(!wave.GetWaveFileParams(params) &&
              params.sampleRate + params.bitsPerSample + params.numChannels == 0);
  ASSERT_TRUE(wave.Create(name, 44100, 2, 16));
  ASSERT_TRUE(wave.WriteDataToFile(audio.data(), 76400) &&
              wave.WriteDataToFile(audio.data() + 76400, 100000));
  EXPECT_EQ(ReadFile(name), Header(176400) + audio);
  EXPECT_EQ(std::make_tuple(wave.GetFileSize(), wave.GetAudioDataSize(), wave.GetDecimalSecondsInFile()),
            std::make_tuple(176444, 176400, 1.0));

  // Other tools write longer fmt chunks (this one of floats, with a byte rate of 0) and other chunks
  // before the data: here one that splits the data tag 3 + 1 between two of the blocks the search reads.
  std::string bytes = ReadFile(name).replace(16, 1, "\x12").replace(20, 1, "\3").replace(28, 4, 4, '\0');
  bytes.insert(36, std::string("\0\0LIST\xF3\xFF\0\0", 10) + std::string(65523, 'x'));
  WriteFile(odd, bytes);
  ASSERT_TRUE(wave.Load(odd));
  EXPECT_EQ(std::make_tuple(wave.GetAudioFormat(), wave.GetFileDataSize()), std::make_tuple(3, 176400));
  // Positions count from the audio, up to the file's length; a refused move leaves the position.
  const std::int64_t length = static_cast<std::int64_t>(bytes.size());
  ASSERT_TRUE(wave.MoveGetPointerToPosition(length) && wave.MovePutPointerToPosition(10));
  for (const std::int64_t refused : {length + 1, std::int64_t{-1}})
    EXPECT_FALSE(wave.MoveGetPointerToPosition(refused) || wave.MovePutPointerToPosition(refused));
  // The last block is short and still a success; the read after it closes the file.
  std::string all, block(1000, '\0');
  std::uint32_t got = 0;
  while (wave.ReadDataFromFile(&block[0], got, 1000)) all.append(block, 0, got);
  EXPECT_EQ(all, audio.substr(10));
  EXPECT_FALSE(wave.Rewind());

  // Written again, a file has the canonical header, whatever the header of the file read before; a
  // 12-bit sample takes one byte, 3 a frame of three channels, 24000 a second at 8 kHz.
  ASSERT_TRUE(wave.Create(name, 8000, 3, 12));
  ASSERT_TRUE(wave.WriteDataToFile("abcdefghijkl", 12) && wave.GetWaveFileParams(params));
  EXPECT_EQ(std::make_tuple(params.sampleRate, params.bitsPerSample, params.numChannels),
            std::make_tuple(8000u, std::int16_t{12}, std::int16_t{3}));
  EXPECT_EQ(ReadFile(name).substr(16, 18), std::string("\x10\0\0\0\1\0\3\0\x40\x1F\0\0\xC0\x5D\0\0\3\0", 18));
  ASSERT_TRUE(wave.Load());
  ASSERT_TRUE(wave.ReadDataFromFile(&block[0], got, 20));
  EXPECT_EQ(block.substr(0, got), "abcdefghijkl");
  EXPECT_FALSE(wave.MovePutPointerToPosition(0)) << "only a get move forgives a read that reached the end";
  ASSERT_TRUE(wave.Rewind() && wave.ReadDataFromFile(&block[0], got, 5));
  EXPECT_EQ(block.substr(0, got), "abcde");
}

TEST_F(WaveFileBufferTest, RefusesWhatCannotBeReadOrCreated) {
  const std::string bad = Path("bad.wav"), header = Header(0), no = Path("no/x.wav");
  // A file, what it holds, whether it is to be created rather than read, and the error that tells why
  // it is refused.
  std::vector<std::tuple<std::string, std::string, bool, std::string>> cases{
      {bad, header.substr(0, 35), false, "File size 35 is too small to be a wave file."},
      {bad, "X" + header.substr(1), false, "File header is not that of a wave file"},
      {bad, header.substr(0, 36), false, "Data tag not found"},
      {bad, header.substr(0, 36) + std::string(65533, 'x') + "dat", false, "Data tag not found"},
      {folder.Path().string(), "", false,
       "OpenFile: Error trying to open file " + folder.Path().string() + " for reading.\n"},
      {"", "", false, "OpenFile: file name must be specified.\n"},
      {no, "", true, "OpenFile: Error trying to open file " + no + " for writing.\n"}};
#ifndef _WIN32
  // A device that takes no bytes: the header cannot be written, so nothing counts as created.
  cases.emplace_back("/dev/full", "", true, "Create: Error trying to create wave file /dev/full.\n");
#endif
  for (const auto& [name, bytes, create, error] : cases) {
    SCOPED_TRACE(name + " holding " + std::to_string(bytes.size()) + " bytes");
    WriteFile(bad, bytes);
    Melvo::WaveFileBuffer wave;
    EXPECT_FALSE(create ? wave.Create(name, 8000, 1, 16) : wave.Load(name));
    const std::string errors = Errors();
    EXPECT_NE(errors.find(error), std::string::npos) << errors;
    // Nothing half-open is left behind: both moves fail and say why, a get move naming the direction
    // before the state, a put move the state first; a read gets no bytes.
    char block[5];
    std::uint32_t got = 1;
    EXPECT_FALSE(wave.Rewind() || wave.MovePutPointerToPosition(0) || wave.ReadDataFromFile(block, got, 5) ||
                 got != 0);
    EXPECT_EQ(Errors(), std::string("MoveGetPointerToPosition: ") +
                            (create ? "File is not open for reading.\n" : "File is in a bad state.\n") +
                            "MovePutPointerToPosition: File is in a bad state.\n");
  }
}

}  // namespace
