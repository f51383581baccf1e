// AudioCaptureInfo::Clone: byte-for-byte copies of whole frames into given or new destinations, its
// corrections and its messages.
#include <Plinth/AudioCaptureInfo.h>
#include <gtest/gtest.h>

#include "support/LogCapture.h"

namespace {

using Melvo::AudioCaptureInfo;

std::string Contents(const std::shared_ptr<Melvo::ManagedBuffer>& handle) {
  return handle ? std::string(handle->GetBuffer()->GetBufferPtr(0), handle->GetBuffer()->GetUsedSize())
                : "none";
}

std::shared_ptr<Melvo::ManagedBuffer> Holding(const std::string& bytes) {
  auto handle = std::make_shared<Melvo::ManagedBuffer>(Melvo::Buffer::Create(bytes.size()));
  handle->GetBuffer()->AppendDataPtr(bytes.data(), bytes.size());
  return handle;
}

// A packet of 1000 bytes in 4-byte frames with 8 bytes per frame beside it; the same with frames
// narrower than a byte and with side bytes for 12 frames only; and a record without buffers: each
// cloned into destinations from a pool and into new buffers, with the same messages. A request for
// exactly what is left needs no correction.
TEST(AudioCaptureInfo, CloneCopiesWholeFramesByteForByte) {
  std::string primary, secondary;
  for (int i = 0; i < 2000; ++i) (i < 1000 ? primary : secondary) += static_cast<char>(i * 7 % 251);
  auto pool = Melvo::BufferQueue::Create(2, 4096);
  AudioCaptureInfo info(3, 4, 0.5f, 32, 1.25, 2.5, &pool, Holding(primary), Holding(secondary)), empty;
  info.flag2 = true;
  EXPECT_EQ(fmt::format("{} {} {} {}", empty.sizeField1, empty.sizeField2, empty.floatField, empty.frameBits),
            "0 0 0 0");
  AudioCaptureInfo narrow = info, shortSide = info;
  narrow.frameBits = 7;
  shortSide.secondaryBuffer = Holding(secondary.substr(0, 100));
  const std::tuple<AudioCaptureInfo&, std::size_t, std::size_t, std::string, std::string, std::string>
      cases[] = {
          {info, 100, AudioCaptureInfo::kToTheEnd, primary.substr(100), secondary.substr(200), ""},
          {info, 100, 2000, primary.substr(100), secondary.substr(200),
           "W: Requested to copy 2000 of Buffer contents from offset: 100 when there are only 900 bytes left "
           "in the "
           "Buffer from that point. Auto-correcting...|"},
          {info, 6, 10, primary.substr(6, 10), secondary.substr(8, 16), ""},  // whole frames 1 and 2 only
          {info, 1000, 10, "", "",
           "E: Requested to copy Buffer contents from offset: 1000 when the buffer is only 1000 bytes big.|"},
          {narrow, 10, 20, primary.substr(10, 20), "", ""},
          {shortSide, 40, 960, primary.substr(40), secondary.substr(80, 20), ""},
          {empty, 0, 10, "none", "none", "W: Cloning AudioCaptureInfo packet without a source buffer.|"}};
  for (const auto& [record, offset, count, primaryBytes, secondaryBytes, logged] : cases) {
    for (const auto& clone :
         {record.Clone(pool->AcquireBuffer(0, false), pool->AcquireBuffer(0, false), offset, count),
          record.Clone({}, {}, offset, count)})
      EXPECT_TRUE(
          Contents(clone->primaryBuffer) + "|" + Contents(clone->secondaryBuffer) ==
              primaryBytes + "|" + secondaryBytes &&
          std::tie(clone->frameBits, clone->doubleField2, clone->userData, clone->flag1, clone->flag2) ==
              std::tie(record.frameBits, record.doubleField2, record.userData, record.flag1, record.flag2))
          << offset << " " << count;
    std::string messages;
    for (const auto& r : PlinthTest::LogCapture::Take())
      messages += fmt::format("{}: {}|", spdlog::level::to_short_c_str(r.level), r.text);
    EXPECT_EQ(messages, logged + logged);
    EXPECT_TRUE(pool->IsFull()) << "pooled destinations went back, new buffers never came";
  }
  EXPECT_EQ(info.Clone()->primaryBuffer->GetBuffer()->GetReservedSize(), 1000u) << "as big as the source";
}

}  // namespace
