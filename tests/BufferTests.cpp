// Buffer: sizes, growth, copies and wrapping, and the messages its resizing writes.
#include <Plinth/Buffer.h>
#include <gtest/gtest.h>

#include "support/LogCapture.h"

namespace {

using Melvo::Buffer;

// The valid bytes and the reserved size.
std::string Seen(Buffer& buffer) {
  const char* bytes = buffer.GetBufferPtr(0);
  return (bytes ? std::string(bytes, buffer.GetUsedSize()) : "") + "/" +
         std::to_string(buffer.GetReservedSize());
}

// Used sizes stay within the block; resizing keeps the valid bytes that fit, and says so.
TEST(Buffer, UsedSizesStayWithinTheBlockAndResizingKeepsWhatFits) {
  auto buffer = Buffer::Create(100);
  EXPECT_TRUE(buffer->GetBufferPtr(100) == buffer->GetBufferPtr(0) + 99 &&
              !Buffer::Create(0)->GetBufferPtr(0));
  std::string sizes;
  for (const int step : {60, 30, 10, -50, 70, -71, 1}) {
    step > 0 ? buffer->IncreaseUsedSize(step) : buffer->DecreaseUsedSize(-step);
    sizes += std::to_string(buffer->GetUsedSize()) + " ";
  }
  buffer->SetUsedSize(150);
  buffer->IncreaseUsedSize(0);
  EXPECT_EQ(sizes + std::to_string(buffer->GetUsedSize()), "60 90 100 50 100 29 30 100");
  buffer->CopyBufferPtr(std::string(60, 'x').data(), 60, 0);
  PlinthTest::LogCapture::Take();
  for (const std::size_t size : {100, 200, 40}) buffer->SetReservedSize(size, true);
  EXPECT_EQ(Seen(*buffer), std::string(40, 'x') + "/40");
  buffer->SetReservedSize(80, false);
  buffer->SetReservedSize(0, true);
  EXPECT_EQ(Seen(*buffer) + std::to_string(buffer->GetUsedSize()), "/040")
      << "without keepData the used size stays";
  std::string messages;
  for (const auto& r : PlinthTest::LogCapture::Take())
    messages += r.logger + " " + r.file + " " + r.function + ": " + r.text + "\n";
  const std::string origin = "vorn.Plinth.Buffer src/Buffer Melvo::Buffer::SetReservedSize: ",
                    again = "Reallocating existing buffer of size ";
  EXPECT_EQ(messages, origin + "No need to resize. 100 is already the size of the buffer.\n" + origin +
                          again + "100 for new buffer of size 200.\n" + origin + again +
                          "200 for new buffer of size 40.\n" + origin + again +
                          "40 for new buffer of size 80.\n");
}

// Appends grow the block to exactly the size needed, also from no block or from itself; a used
// size set beyond the block is never read past it (AddressSanitizer sees such reads).
TEST(Buffer, AppendsGrowToExactlyTheNeededSize) {
  auto buffer = Buffer::Create(0), other = Buffer::Create(8);
  buffer->AppendDataPtr("abcd", 4);
  buffer->AppendDataPtr(nullptr, 5);
  buffer->AppendBufferData(Buffer::Create(10));
  buffer->AppendBufferData(buffer);
  other->AppendDataPtr("ABCDEFGH", 8);
  other->SetUsedSize(4000);
  buffer->AppendBufferData(other);
  EXPECT_EQ(Seen(*buffer), "abcdabcdABCDEFGH/16");
  buffer->SetUsedSize(6);
  buffer->AppendDataPtr(buffer->GetBufferPtr(2), 8);  // overlapping, without growth: read as it was
  EXPECT_EQ(Seen(*buffer), "abcdabcdabcdAB/16");
  buffer->SetUsedSize(100);
  buffer->AppendDataPtr("+", 1);
  EXPECT_EQ(Seen(*buffer), "abcdabcdabcdABGH+/101") << "the 16 bytes the block held";
  PlinthTest::LogCapture::Take();
}

// Copies make room for the reserve and keep a block large enough; wrapped memory is never written
// over nor released.
TEST(Buffer, CopiesMakeRoomForTheReserveAndLeaveWrappedMemoryAlone) {
  std::string foreign(64, 'f'), seen;
  auto buffer = Buffer::Create(0);
  buffer->SetBufferPtr(foreign.data(), 0, 64, false);
  EXPECT_TRUE(*buffer != *Buffer::Create(8) && buffer->GetReservedSize() == 64);
  const auto copy = [&](const char* source, std::size_t size, std::size_t reserve) {
    const char* block = buffer->GetBufferPtr(0);
    buffer->CopyBufferPtr(source, size, reserve);
    seen += (block == buffer->GetBufferPtr(0) ? "= " : "") + Seen(*buffer) + " ";
  };
  const std::string text = "0123456789" + std::string(590, 'z');
  copy("data", 4, 0);
  copy(text.data(), 10, 500);
  copy(buffer->GetBufferPtr(2), 4, 20);   // from itself, into a block large enough
  copy(buffer->GetBufferPtr(0), 4, 600);  // from itself, into a new block
  copy(text.data(), 600, 0);              // exactly the block's size
  buffer->SetUsedSize(5);
  copy(nullptr, 0, 601);  // a reserve beyond the block drops it, even without a source
  copy("!", 1, 0);
  EXPECT_EQ(seen, "data/64 0123456789/500 = 2345/500 2345/600 = " + text + "/600 /0 !/1 ");
  EXPECT_EQ(foreign, std::string(64, 'f'));
  auto grown = Buffer::Create(0);
  grown->SetBufferPtr(foreign.data(), 64, 0, false);
  grown->AppendDataPtr("!", 1);
  EXPECT_TRUE(Seen(*grown) == foreign + "!/65" && grown->IsOwner());
  PlinthTest::LogCapture::Take();
}

}  // namespace
