#include <Plinth/WaveFileBuffer.h>

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/algorithm/string/replace.hpp>

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

  // The records logged since the last call, a line each: level, operation and text, with the
  // test's folder shown as "@" and every path separator as "/".
  std::string Logged() const {
    std::string lines;
    for (const PlinthTest::LogRecord& r : PlinthTest::LogCapture::Take()) {
      EXPECT_EQ(r.logger + " " + r.file + " " + r.function.substr(0, 23),
                "vorn.Plinth.WaveFileBuffer src/WaveFileBuffer Melvo::WaveFileBuffer::");
      const std::string text = boost::replace_all_copy(r.text, folder.Path().string(), "@");
      lines += spdlog::level::to_short_c_str(r.level) + (" " + r.function.substr(23)) + ": " +
               boost::replace_all_copy(text, "\\", "/") + "\n";
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
  const std::string name = Path("one.wav");
  Melvo::WaveFileBuffer wave;
  EXPECT_EQ(wave.GetAudioFormat(), 0);
  ASSERT_TRUE(wave.Create(name, 44100, 2, 16));
  EXPECT_EQ(ReadFile(name), Header(0));
  ASSERT_TRUE(wave.WriteDataToFile(audio.data(), 76400));
  EXPECT_EQ(ReadFile(name), Header(76400) + audio.substr(0, 76400));
  ASSERT_TRUE(wave.WriteDataToFile(audio.data() + 76400, 100000));
  EXPECT_EQ(ReadFile(name), Header(176400) + audio);
  EXPECT_EQ(std::make_tuple(wave.GetFileSize(), wave.GetAudioDataSize(), wave.GetDecimalSecondsInFile()),
            std::make_tuple(176444, 176400, 1.0));

  // Other tools write longer fmt chunks (this one of floats, with a byte rate of 0) and other chunks
  // before the data: here one that splits the data tag 3 + 1 between two of the blocks the search reads.
  std::string odd = ReadFile(name).replace(16, 1, "\x12").replace(20, 1, "\3").replace(28, 4, 4, '\0');
  odd.insert(36, std::string("\0\0LIST\xF3\xFF\0\0", 10) + std::string(65523, 'x'));
  WriteFile(Path("odd.wav"), odd);
  ASSERT_TRUE(wave.Load(Path("odd.wav")));
  EXPECT_EQ(std::make_tuple(wave.GetAudioFormat(), wave.GetFileDataSize()), std::make_tuple(3, 176400));
  // Positions count from the audio, up to the file's length; refused moves leave the position.
  const std::int64_t length = static_cast<std::int64_t>(odd.size());
  ASSERT_TRUE(wave.MoveGetPointerToPosition(length) && wave.MovePutPointerToPosition(10));
  for (const std::int64_t refused : {length + 1, std::int64_t{-1}})
    EXPECT_FALSE(wave.MoveGetPointerToPosition(refused) || wave.MovePutPointerToPosition(refused));
  // The last block is short and still a success; the read after it closes the file.
  std::string all, block(1000, '\0');
  for (std::uint32_t got = 0; wave.ReadDataFromFile(&block[0], got, 1000);) all.append(block, 0, got);
  EXPECT_EQ(all, audio.substr(10));
  EXPECT_FALSE(wave.Rewind());
  std::string moves;
  for (const char* move :
       {"E MoveGetPointerToPosition: Cannot move get", "E MovePutPointerToPosition: Cannot move put"})
    moves += move + (" pointer for wave file @/odd.wav to position " + std::to_string(length + 1) +
                     ". Position exceeds file size of " + std::to_string(length) + ".\n");
  for (const char* move :
       {"E MoveGetPointerToPosition: Cannot move get", "E MovePutPointerToPosition: Cannot move put"})
    moves +=
        move +
        std::string(" pointer for wave file @/odd.wav to position -1. Position is before the audio data.\n");
  EXPECT_EQ(Logged(),
            "I Create: Attempting to create wave file @/one.wav.\n"
            "I InitializeForRead: Attempting to read wave file @/odd.wav.\n"
            "I InitializeForRead: Success opening wave file @/odd.wav. Seconds of data: 1\n" +
                moves +
                "W ReadDataFromFile: Can't read anymore from @/odd.wav. At EOF or file in a bad state.\n"
                "E MoveGetPointerToPosition: Cannot move get pointer for wave file @/odd.wav. File is in "
                "a bad state.\n");
  // Written again, a file has the canonical header, whatever the header of the file read before.
  ASSERT_TRUE(wave.Create(name, 8000, 1, 8));
  EXPECT_EQ(std::make_tuple(wave.GetFileSize(), wave.GetAudioFormat()), std::make_tuple(44, 1));
}

TEST_F(WaveFileBufferTest, RefusesWhatCannotBeReadOrCreated) {
  const std::string bad = Path("bad.wav"), header = Header(0);
  // For the files that are no wave files, the log is given by the reason for rejecting them.
  std::vector<std::tuple<std::string, std::string, bool, std::string>> cases{
      {bad, "", false, "File size 0 is too small to be a wave file"},
      {bad, header.substr(0, 35), false, "File size 35 is too small to be a wave file"},
      {bad, "X" + header.substr(1), false, "File header is not that of a wave file"},
      {bad, header.substr(0, 36), false, "Data tag not found"},
      {bad, header.substr(0, 36) + std::string(65533, 'x') + "dat", false, "Data tag not found"},
      {folder.Path().string(), "", false, "E OpenFile: Error trying to open file @ for reading.\n"},
      {Path("gone.wav"), "", false, "E OpenFile: Error trying to open file @/gone.wav for reading.\n"},
      {"", "", false, "E OpenFile: Error trying to open file for reading. file name must be specified.\n"},
      {"", "", true,
       "I Create: Attempting to create wave file .\nE Create: Error trying to create wave file .\n"},
      {Path("no/x.wav"), "", true,
       "I Create: Attempting to create wave file @/no/x.wav.\n"
       "E OpenFile: Error trying to open file @/no/x.wav for writing.\n"
       "E Create: Error trying to create wave file @/no/x.wav.\n"}};
#ifndef _WIN32
  // A device that takes no bytes: the header cannot be written, so nothing counts as created.
  cases.emplace_back("/dev/full", "", true,
                     "I Create: Attempting to create wave file /dev/full.\n"
                     "E Create: Error trying to create wave file /dev/full.\n");
#endif
  for (const auto& [name, bytes, create, log] : cases) {
    SCOPED_TRACE(name + " holding " + std::to_string(bytes.size()) + " bytes");
    WriteFile(bad, bytes);
    Melvo::WaveFileBuffer wave;
    EXPECT_FALSE(create ? wave.Create(name, 8000, 1, 16) : wave.Load(name));
    EXPECT_EQ(Logged(), name != bad
                            ? log
                            : "I InitializeForRead: Attempting to read wave file @/bad.wav.\n"
                              "E InitializeForRead: Error opening file @/bad.wav for reading. " +
                                  log + ".\nE OpenFile: Error trying to open file @/bad.wav for reading.\n");
    // Nothing half-open is left behind: both moves fail and say why, a get move naming the
    // direction before the state, a put move the state first.
    EXPECT_FALSE(wave.Rewind() || wave.MovePutPointerToPosition(0));
    const std::string file =
        boost::replace_all_copy(boost::replace_all_copy(name, folder.Path().string(), "@"), "\\", "/");
    EXPECT_EQ(Logged(), "E MoveGetPointerToPosition: Cannot move get pointer for wave file " + file +
                            (create ? ". File is not open for reading.\n" : ". File is in a bad state.\n") +
                            "E MovePutPointerToPosition: Cannot move put pointer for wave file " + file +
                            ". File is in a bad state.\n");
  }
}

TEST_F(WaveFileBufferTest, CountsTwelveBitSamplesAsOneByteAndRewindsAfterAShortRead) {
  Melvo::WaveFileBuffer wave;
  ASSERT_TRUE(wave.Create(Path("w.wav"), 8000, 3, 12));
  EXPECT_FALSE(wave.MovePutPointerToPosition(0));  // only a file open for reading is moved about
  ASSERT_TRUE(wave.WriteDataToFile("abcdefghijkl", 12));
  // 3 bytes a frame, 24000 bytes a second.
  EXPECT_EQ(ReadFile(Path("w.wav")).substr(28, 6), std::string("\xC0\x5D\0\0\3\0", 6));
  EXPECT_DOUBLE_EQ(wave.GetDecimalSecondsInFile(), 12.0 / 24000);
  ASSERT_TRUE(wave.Load());
  std::string block(20, '\0');
  std::uint32_t got = 0;
  ASSERT_TRUE(wave.ReadDataFromFile(&block[0], got, 20));
  EXPECT_EQ(block.substr(0, got), "abcdefghijkl");
  EXPECT_FALSE(wave.MovePutPointerToPosition(0)) << "only a get move forgives a read that reached the end";
  ASSERT_TRUE(wave.Rewind());
  ASSERT_TRUE(wave.ReadDataFromFile(&block[0], got, 5));
  EXPECT_EQ(block.substr(0, got), "abcde");
  Melvo::WaveFileBuffer unopened;
  EXPECT_FALSE(unopened.ReadDataFromFile(&block[0], got, 5));
  EXPECT_EQ(got, 0u) << "a failed read reports no bytes";
  Logged();
}

}  // namespace
