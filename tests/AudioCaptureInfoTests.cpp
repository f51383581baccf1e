// AudioCaptureInfo::Clone: byte-for-byte copies of whole frames into given or new destinations, its
// corrections and its messages.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

#include <Plinth/AudioCaptureInfo.h>

#include "support/LogCapture.h"

using Melvo::AudioCaptureInfo;

static std::string Contents(const std::shared_ptr<Melvo::ManagedBuffer>& handle) {
  if (!handle) return "no handle";
  return std::string(handle->GetBuffer()->GetBufferPtr(0), handle->GetBuffer()->GetUsedSize());
}

static auto Fields(const AudioCaptureInfo& r) {
  return std::make_tuple(r.sizeField1, r.sizeField2, r.floatField, r.frameBits, r.doubleField1,
                         r.doubleField2, r.userData, r.flag1, r.flag2);
}

// Messages logged since the last look, each as "level letter: text", once its origin is checked.
static std::string Logged() {
  std::string messages;
  for (const auto& r : PlinthTest::LogCapture::Take()) {
    EXPECT_EQ(r.logger + " " + r.file + " " + r.function,
              "vorn.Plinth.AudioCaptureInfo src/AudioCaptureInfo Melvo::AudioCaptureInfo::Clone");
    messages += fmt::format("{}: {}", spdlog::level::to_short_c_str(r.level), r.text);
  }
  return messages;
}

using Case = std::tuple<AudioCaptureInfo&, std::size_t, std::size_t, std::string, std::string, std::string>;

// A packet of 1000 bytes in 4-byte frames (250 frames) with 8 bytes per frame beside it, the same
// with frames narrower than a byte, with side bytes for 12 frames only, and with a single byte, and
// a record without buffers, each cloned both into destinations from the pool and into new buffers.
TEST(AudioCaptureInfo, CloneCopiesWholeFramesByteForByte) {
  std::string primary(1000, '\0'), secondary(2000, '\0');
  std::iota(primary.begin(), primary.end(), '\0');
  std::iota(secondary.begin(), secondary.end(), '\x40');
  auto pool = Melvo::BufferQueue::Create(4, 2048);
  auto acquire = [&pool] { return pool->AcquireBuffer(0, false); };
  AudioCaptureInfo info(3, 4, 0.5f, 32, 1.25, 2.5, &pool, acquire(), acquire()), empty;
  EXPECT_FALSE(info.flag1 || info.flag2);
  info.primaryBuffer->GetBuffer()->AppendDataPtr(primary.data(), primary.size());
  info.secondaryBuffer->GetBuffer()->AppendDataPtr(secondary.data(), secondary.size());
  info.flag1 = info.flag2 = true;
  AudioCaptureInfo narrow = info, shortSide = info, tiny = info;
  narrow.frameBits = 7;
  shortSide.secondaryBuffer = std::make_shared<Melvo::ManagedBuffer>(Melvo::Buffer::Create(100));
  shortSide.secondaryBuffer->GetBuffer()->AppendDataPtr(secondary.data(), 100);
  tiny.frameBits = 8;
  tiny.primaryBuffer = std::make_shared<Melvo::ManagedBuffer>(Melvo::Buffer::Create(1));
  tiny.primaryBuffer->GetBuffer()->AppendDataPtr("t", 1);
  const Case cases[] = {
      {info, 100, AudioCaptureInfo::kToTheEnd, primary.substr(100), secondary.substr(200), ""},
      {info, 100, 900, primary.substr(100), secondary.substr(200), ""},
      {info, 100, 2000, primary.substr(100), secondary.substr(200),
       "W: Requested to copy 2000 of Buffer contents from offset: 100 when there are only 900 bytes "
       "left in the Buffer from that point. Auto-correcting..."},
      {info, 6, 10, primary.substr(6, 10), secondary.substr(8, 16), ""},  // whole frames 1 and 2 only
      {info, 1000, 10, "", "",
       "E: Requested to copy Buffer contents from offset: 1000 when the buffer is only 1000 bytes big."},
      {narrow, 10, 20, primary.substr(10, 20), "", ""},
      {shortSide, 40, AudioCaptureInfo::kToTheEnd, primary.substr(40), secondary.substr(80, 20), ""},
      {shortSide, 400, 4, primary.substr(400, 4), "", ""},
      {tiny, 0, 1, "t", secondary.substr(0, 8), ""},
      {tiny, 1, 1, "", "",
       "E: Requested to copy Buffer contents from offset: 1 when the buffer is only 1 bytes big."},
      {empty, 0, 10, "no handle", "no handle", "W: Cloning AudioCaptureInfo packet without a source buffer."},
  };
  for (const auto& [record, offset, count, primaryBytes, secondaryBytes, logged] : cases) {
    SCOPED_TRACE(testing::Message() << offset << " " << count << " " << record.frameBits);
    for (const auto& clone :
         {record.Clone(acquire(), acquire(), offset, count), record.Clone({}, {}, offset, count)}) {
      EXPECT_EQ(Contents(clone->primaryBuffer), primaryBytes);
      EXPECT_EQ(Contents(clone->secondaryBuffer), secondaryBytes);
      EXPECT_EQ(Fields(*clone), Fields(record));
    }
    EXPECT_EQ(pool->GetUsedQueueSize(), 2u) << "pooled destinations went back, new buffers never came";
    EXPECT_EQ(Logged(), logged + logged);
  }
  EXPECT_EQ(info.Clone()->primaryBuffer->GetBuffer()->GetReservedSize(), 2048u) << "as big as the source";
  // Where there is nothing to copy, nothing is allocated: no secondary buffer, or no whole frames.
  AudioCaptureInfo noSide = info;
  noSide.secondaryBuffer = std::make_shared<Melvo::ManagedBuffer>(nullptr);
  EXPECT_EQ(noSide.Clone()->secondaryBuffer->GetBuffer()->GetReservedSize(), 0u);
  auto unallocated = std::make_shared<Melvo::ManagedBuffer>(Melvo::Buffer::Create(0));
  narrow.Clone({}, unallocated);
  EXPECT_EQ(unallocated->GetBuffer()->GetReservedSize(), 0u);
}
