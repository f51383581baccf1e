// Buffer: sizes, growth, copies and wrapping, and the messages its resizing writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include <Plinth/Buffer.h>

#include "support/LogCapture.h"

namespace {

using Melvo::Buffer;
using PlinthTest::LogCapture;

std::string Contents(Buffer& buffer) {
  return std::string(buffer.GetBufferPtr(0), buffer.GetUsedSize());
}

std::shared_ptr<Buffer> Filled(std::size_t reserved, const std::string& text) {
  auto buffer = Buffer::Create(reserved);
  buffer->AppendDataPtr(text.data(), text.size());
  LogCapture::Take();
  return buffer;
}

void ExpectResizeMessage(const std::string& text) {
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, spdlog::level::info);
  EXPECT_EQ(records[0].logger, "vorn.Plinth.Buffer");
  EXPECT_EQ(records[0].file, "src/Buffer");
  EXPECT_EQ(records[0].function, "Melvo::Buffer::SetReservedSize");
  EXPECT_EQ(records[0].text, text);
}

TEST(Buffer, WithoutBlockHasNoPointerAndGrowsOnAppend) {
  auto buffer = Buffer::Create(0);
  EXPECT_EQ(buffer->GetBufferPtr(0), nullptr);
  EXPECT_EQ(buffer->GetRoomLeft(), 0u);
  EXPECT_TRUE(buffer->IsOwner());
  buffer->AppendDataPtr("0123456789", 10);
  EXPECT_EQ(buffer->GetReservedSize(), 10u);
  EXPECT_EQ(Contents(*buffer), "0123456789");
  EXPECT_TRUE(LogCapture::Take().empty()) << "a first block is no reallocation";
}

TEST(Buffer, PointerPastTheEndIsTheLastReservedByte) {
  auto buffer = Buffer::Create(100);
  EXPECT_EQ(buffer->GetBufferPtr(42), buffer->GetBufferPtr(0) + 42);
  EXPECT_EQ(buffer->GetBufferPtr(105), buffer->GetBufferPtr(0) + 99);
  EXPECT_EQ(buffer->GetBufferPtr(100), buffer->GetBufferPtr(0) + 99);
}

TEST(Buffer, UsedSizeAdjustmentsStayWithinTheirBounds) {
  auto buffer = Buffer::Create(100);
  buffer->IncreaseUsedSize(60);
  EXPECT_EQ(buffer->GetRoomLeft(), 40u);
  buffer->IncreaseUsedSize(SIZE_MAX);
  EXPECT_EQ(buffer->GetUsedSize(), 100u);
  buffer->DecreaseUsedSize(30);
  EXPECT_EQ(buffer->GetUsedSize(), 70u);
  buffer->DecreaseUsedSize(71);
  EXPECT_EQ(buffer->GetUsedSize(), 0u);
  buffer->SetUsedSize(500);
  EXPECT_EQ(buffer->GetUsedSize(), 500u);
  buffer->IncreaseUsedSize(1);
  EXPECT_EQ(buffer->GetUsedSize(), 100u);
}

TEST(Buffer, SameSizeIsReportedAndChangesNothing) {
  auto buffer = Filled(100, "abc");
  char* block = buffer->GetBufferPtr(0);
  buffer->SetReservedSize(100, true);
  ExpectResizeMessage("No need to resize. 100 is already the size of the buffer.");
  EXPECT_EQ(buffer->GetBufferPtr(0), block);
  EXPECT_EQ(Contents(*buffer), "abc");
}

TEST(Buffer, ResizingKeepsTheValidBytesThatFit) {
  const std::string sixty(60, 'x');
  auto buffer = Filled(100, sixty);
  buffer->SetReservedSize(200, true);
  ExpectResizeMessage("Reallocating existing buffer of size 100 for new buffer of size 200.");
  EXPECT_EQ(buffer->GetReservedSize(), 200u);
  EXPECT_EQ(Contents(*buffer), sixty);

  buffer->SetReservedSize(40, true);
  ExpectResizeMessage("Reallocating existing buffer of size 200 for new buffer of size 40.");
  EXPECT_EQ(Contents(*buffer), std::string(40, 'x'));

  buffer->SetReservedSize(80, false);
  EXPECT_EQ(buffer->GetUsedSize(), 40u) << "without keepData the used size is the caller's";
  LogCapture::Take();
}

TEST(Buffer, ResizingToZeroDropsTheBlockAndKeepsTheUsedSize) {
  auto buffer = Filled(100, "abcdef");
  buffer->SetReservedSize(0, true);
  EXPECT_EQ(buffer->GetBufferPtr(0), nullptr);
  EXPECT_EQ(buffer->GetReservedSize(), 0u);
  EXPECT_EQ(buffer->GetUsedSize(), 6u);
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST(Buffer, UsedSizeBeyondTheBlockIsNeverReadPastIt) {
  // Run under AddressSanitizer, a read past the 16-byte block would fail here.
  auto buffer = Filled(16, "0123456789abcdef");
  buffer->SetUsedSize(1000);
  buffer->SetReservedSize(64, true);
  EXPECT_EQ(Contents(*buffer), "0123456789abcdef");

  auto other = Filled(8, "ABCDEFGH");
  other->SetUsedSize(4000);
  buffer->AppendBufferData(other);
  EXPECT_EQ(Contents(*buffer), "0123456789abcdefABCDEFGH");

  buffer->SetUsedSize(100);
  buffer->AppendDataPtr("+", 1);
  EXPECT_EQ(buffer->GetUsedSize(), 65u) << "only the 64 bytes the block held were valid";
  EXPECT_EQ(buffer->GetReservedSize(), 101u);
  EXPECT_EQ(*buffer->GetBufferPtr(64), '+');
  LogCapture::Take();
}

TEST(Buffer, AppendGrowsToExactlyTheNeededSize) {
  auto buffer = Filled(4, "abcd");
  buffer->AppendDataPtr("efg", 3);
  ExpectResizeMessage("Reallocating existing buffer of size 4 for new buffer of size 7.");
  EXPECT_EQ(buffer->GetReservedSize(), 7u);
  EXPECT_EQ(Contents(*buffer), "abcdefg");

  buffer->AppendDataPtr(nullptr, 5);
  buffer->AppendDataPtr("z", 0);
  buffer->AppendBufferData(nullptr);
  buffer->AppendBufferData(Buffer::Create(10));
  EXPECT_EQ(Contents(*buffer), "abcdefg");
}

TEST(Buffer, AppendingItselfSurvivesTheGrowth) {
  auto buffer = Filled(5, "hello");
  buffer->AppendBufferData(buffer);
  EXPECT_EQ(Contents(*buffer), "hellohello");
  buffer->CopyBufferPtr(buffer->GetBufferPtr(5), 5, 400);
  EXPECT_EQ(Contents(*buffer), "hello");
  EXPECT_EQ(buffer->GetReservedSize(), 400u);
  LogCapture::Take();
}

TEST(Buffer, CopyMakesRoomForTheReserve) {
  auto empty = Buffer::Create(0);
  empty->CopyBufferPtr(std::string(50, 'a').data(), 50, 0);
  EXPECT_EQ(empty->GetReservedSize(), 50u);
  EXPECT_EQ(empty->GetUsedSize(), 50u);

  auto small = Filled(100, "old");
  small->CopyBufferPtr("0123456789", 10, 500);
  EXPECT_EQ(small->GetReservedSize(), 500u);
  EXPECT_EQ(Contents(*small), "0123456789");

  auto kept = Filled(100, "old");
  char* block = kept->GetBufferPtr(0);
  kept->CopyBufferPtr("new!", 4, 20);
  EXPECT_EQ(kept->GetBufferPtr(0), block) << "a block large enough is reused";
  EXPECT_EQ(kept->GetReservedSize(), 100u);
  EXPECT_EQ(Contents(*kept), "new!");

  auto dropped = Filled(100, "old");
  dropped->CopyBufferPtr(nullptr, 0, 500);
  EXPECT_EQ(dropped->GetBufferPtr(0), nullptr);
  EXPECT_EQ(dropped->GetReservedSize(), 0u);
  EXPECT_EQ(dropped->GetUsedSize(), 0u);
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST(Buffer, WrappedMemoryIsNeverReleasedNorWrittenOver) {
  std::vector<char> foreign(64, 'f');
  {
    auto wrapper = Buffer::Create(0);
    wrapper->SetBufferPtr(foreign.data(), 64, 0, false);
    EXPECT_EQ(wrapper->GetReservedSize(), 64u);
    EXPECT_EQ(wrapper->GetBufferPtr(0), foreign.data());
    EXPECT_FALSE(wrapper->IsOwner());
  }
  EXPECT_EQ(foreign[0], 'f');

  auto copied = Buffer::Create(0);
  copied->SetBufferPtr(foreign.data(), 0, 64, false);
  copied->CopyBufferPtr("data", 4, 0);
  EXPECT_NE(copied->GetBufferPtr(0), foreign.data());
  EXPECT_TRUE(copied->IsOwner());
  EXPECT_EQ(Contents(*copied), "data");

  auto grown = Buffer::Create(0);
  grown->SetBufferPtr(foreign.data(), 64, 0, false);
  grown->AppendDataPtr("!", 1);
  EXPECT_NE(grown->GetBufferPtr(0), foreign.data());
  EXPECT_EQ(Contents(*grown), std::string(64, 'f') + "!");
  EXPECT_EQ(std::count(foreign.begin(), foreign.end(), 'f'), 64);
  LogCapture::Take();
}

TEST(Buffer, EqualExactlyWhenHoldingTheSameBlock) {
  auto a = Buffer::Create(8);
  EXPECT_NE(*a, *Buffer::Create(8));
  auto wrapper = Buffer::Create(0);
  wrapper->SetBufferPtr(a->GetBufferPtr(0), 0, 8, false);
  EXPECT_EQ(*a, *wrapper);
  EXPECT_EQ(*Buffer::Create(0), *Buffer::Create(0));
}

}  // namespace
