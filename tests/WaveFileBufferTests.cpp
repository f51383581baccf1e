#include <Plinth/WaveFileBuffer.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/fstream.hpp>

#include "support/LogCapture.h"
#include "support/Files.h"

static std::string ReadAll(const std::string& file) {
  boost::filesystem::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The canonical header of 16-bit stereo at 44.1 kHz over `size` bytes of audio.
static std::string Header(std::uint32_t size) {
  std::string header("RIFF....WAVEfmt \x10\0\0\0\1\0\2\0\x44\xAC\0\0\x10\xB1\2\0\4\0\x10\0data....", 44);
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((36 + size) >> 8 * i);
  for (int i = 0; i < 4; ++i) header[40 + i] = static_cast<char>(size >> 8 * i);
  return header;
}

// Reads blocks of `size` bytes up to the first read that fails.
static std::string ReadToEnd(Melvo::WaveFileBuffer& wave, std::uint32_t size) {
  std::string all, block(size, '\0');
  for (std::uint32_t got = 0; wave.ReadDataFromFile(&block[0], got, size);) all.append(block, 0, got);
  return all;
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
      lines +=
          spdlog::level::to_short_c_str(r.level) + (" " + r.function.substr(23)) + ": " +
          boost::replace_all_copy(boost::replace_all_copy(r.text, folder.Path().string(), "@"), "\\", "/") +
          "\n";
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
  EXPECT_EQ(ReadAll(name), Header(0));
  ASSERT_TRUE(wave.WriteDataToFile(audio.data(), 76400));
  EXPECT_EQ(ReadAll(name), Header(76400) + audio.substr(0, 76400));
  ASSERT_TRUE(wave.WriteDataToFile(audio.data() + 76400, 100000));
  EXPECT_EQ(ReadAll(name), Header(176400) + audio);
  EXPECT_EQ(std::make_tuple(wave.GetFileSize(), wave.GetAudioDataSize(), wave.GetDecimalSecondsInFile()),
            std::make_tuple(176444, 176400, 1.0));

  // Other tools write longer fmt chunks (this one of floats, with a byte rate of 0) and LIST chunks
  // before the data.
  std::string odd = ReadAll(name).replace(16, 1, "\x12").replace(20, 1, "\3").replace(28, 4, 4, '\0');
  odd.insert(36, std::string("\0\0LIST\x12\0\0\0INFOICMT\6\0\0\0hello\0", 28));
  boost::filesystem::ofstream(Path("odd.wav"), std::ios::binary) << odd;
  ASSERT_TRUE(wave.Load(Path("odd.wav")));
  EXPECT_EQ(wave.GetAudioFormat(), 3);
  // Positions count from the audio, up to the file's length.
  ASSERT_TRUE(wave.MoveGetPointerToPosition(176472));
  ASSERT_TRUE(wave.MovePutPointerToPosition(10));
  EXPECT_FALSE(wave.MoveGetPointerToPosition(176473));
  EXPECT_FALSE(wave.MoveGetPointerToPosition(-1));
  EXPECT_FALSE(wave.MovePutPointerToPosition(176473));
  EXPECT_FALSE(wave.MovePutPointerToPosition(-1));
  // Refused moves leave the position where it was. The last block is short and still a success;
  // the read after it closes the file.
  EXPECT_EQ(ReadToEnd(wave, 1000), audio.substr(10));
  EXPECT_FALSE(wave.Rewind());
  const std::string move = "E MoveGetPointerToPosition: Cannot move get pointer for wave file @/odd.wav";
  const std::string put = "E MovePutPointerToPosition: Cannot move put pointer for wave file @/odd.wav";
  EXPECT_EQ(Logged(),
            "I Create: Attempting to create wave file @/one.wav.\n"
            "I InitializeForRead: Attempting to read wave file @/odd.wav.\n"
            "I InitializeForRead: Success opening wave file @/odd.wav. Seconds of data: 1\n" +
                move + " to position 176473. Position exceeds file size of 176472.\n" + move +
                " to position -1. Position is before the audio data.\n" + put +
                " to position 176473. Position exceeds file size of 176472.\n" + put +
                " to position -1. Position is before the audio data.\n"
                "W ReadDataFromFile: Can't read anymore from @/odd.wav. At EOF or file in a bad state.\n" +
                move + ". File is in a bad state.\n");
  // Written again, a file has the canonical header, whatever the header of the file read before.
  ASSERT_TRUE(wave.Create(name, 8000, 1, 8));
  EXPECT_EQ(std::make_tuple(wave.GetFileSize(), wave.GetAudioFormat()), std::make_tuple(44, 1));
}

// The search reads the file in blocks: a tag split between two of them is found too.
TEST_F(WaveFileBufferTest, FindsTheDataTagWhereverItStands) {
  for (const std::size_t filler : {0, 65533, 65534, 65535, 65536}) {
    boost::filesystem::ofstream(Path("tag.wav"), std::ios::binary)
        << Header(0).substr(0, 36) << std::string(filler, 'x') << std::string("data\4\0\0\0abcd", 12);
    Melvo::WaveFileBuffer wave;
    EXPECT_TRUE(wave.Load(Path("tag.wav"))) << filler;
    EXPECT_EQ(wave.GetAudioDataSize(), 4) << filler;
    char audio[4] = {};
    std::uint32_t read = 0;
    EXPECT_TRUE(wave.ReadDataFromFile(audio, read, 4));
    EXPECT_EQ(std::string(audio, read), "abcd") << filler;
  }
  Logged();
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
    boost::filesystem::ofstream(bad, std::ios::binary) << bytes;
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
  EXPECT_EQ(ReadAll(Path("w.wav")).substr(28, 6), std::string("\xC0\x5D\0\0\3\0", 6));
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

// sox and the shell that runs it are at hand on POSIX systems only.
#ifndef _WIN32
TEST_F(WaveFileBufferTest, ExchangesFilesWithSox) {
  // Runs a command in the test's folder and gives its output.
  const auto shell = [this](const std::string& command) {
    const std::string line = "cd " + folder.Path().string() + " && (" + command + ") >shell.out 2>&1";
    EXPECT_EQ(std::system(line.c_str()), 0) << command;
    return ReadAll(Path("shell.out"));
  };
  if (std::system("sox --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
  // sox writes 24-bit and 6-channel audio with a 40-byte extensible fmt chunk and a fact chunk.
  for (const auto& [format, offset, tag] : std::vector<std::tuple<std::string, std::int64_t, int>>{
           {"44100 2 16", 44, 1}, {"48000 1 24", 80, 0xFFFE}, {"8000 6 16", 80, 0xFFFE}}) {
    SCOPED_TRACE(format);
    shell("set -- " + format + "; sox -n -r $1 -c $2 -b $3 s.wav synth .5 sine 440 && sox s.wav s.raw");
    Melvo::WaveFileBuffer wave, writer;
    Melvo::WaveFileBuffer::WaveFileParams p;
    ASSERT_TRUE(wave.Load(Path("s.wav")) && wave.GetWaveFileParams(p));
    EXPECT_EQ(wave.GetFileSize() - wave.GetFileDataSize(), offset);
    EXPECT_EQ(wave.GetAudioFormat(), tag);
    const std::string audio = ReadToEnd(wave, 4096);
    EXPECT_EQ(audio, ReadAll(Path("s.raw")));
    // Written back with what was loaded, the file shows sox's format to soxi and gives its samples.
    ASSERT_TRUE(writer.Create(Path("o.wav"), p.sampleRate, p.numChannels, p.bitsPerSample) &&
                writer.WriteDataToFile(audio.data(), static_cast<std::uint32_t>(audio.size())));
    EXPECT_EQ(shell("for o in r c b D; do soxi -$o o.wav; done | xargs && sox o.wav -t raw - | cmp - s.raw"),
              format + " 0.500000\n");
  }
}
#endif  // _WIN32
