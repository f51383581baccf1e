// Buffer: sizes, growth, copies and wrapping, and the messages its resizing writes.
#include <gtest/gtest.h>

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

// The texts logged since the last call, each checked for the resizing message's origin.
std::vector<std::string> ResizeMessages() {
  std::vector<std::string> texts;
  for (const auto& record : LogCapture::Take()) {
    EXPECT_EQ(record.level, spdlog::level::info);
    EXPECT_EQ(record.logger, "vorn.Plinth.Buffer");
    EXPECT_EQ(record.file, "src/Buffer");
    EXPECT_EQ(record.function, "Melvo::Buffer::SetReservedSize");
    texts.push_back(record.text);
  }
  return texts;
}

TEST(Buffer, SizesAndPointersStayWithinTheBlock) {
  auto empty = Buffer::Create(0);
  EXPECT_EQ(empty->GetBufferPtr(0), nullptr);
  EXPECT_EQ(empty->GetRoomLeft(), 0u);

  auto buffer = Buffer::Create(100);
  EXPECT_EQ(buffer->GetBufferPtr(105), buffer->GetBufferPtr(0) + 99);
  buffer->IncreaseUsedSize(60);
  EXPECT_EQ(buffer->GetRoomLeft(), 40u);
  buffer->IncreaseUsedSize(30);
  buffer->IncreaseUsedSize(10);  // exactly the room left
  EXPECT_EQ(buffer->GetUsedSize(), 100u);
  buffer->IncreaseUsedSize(SIZE_MAX);
  EXPECT_EQ(buffer->GetUsedSize(), 100u);
  buffer->DecreaseUsedSize(30);
  EXPECT_EQ(buffer->GetUsedSize(), 70u);
  buffer->DecreaseUsedSize(71);
  EXPECT_EQ(buffer->GetUsedSize(), 0u);
  buffer->SetUsedSize(500);
  EXPECT_EQ(buffer->GetUsedSize(), 500u);
}

TEST(Buffer, ResizingKeepsTheValidBytesThatFitAndSaysSo) {
  auto buffer = Filled(100, std::string(60, 'x'));
  char* block = buffer->GetBufferPtr(0);
  buffer->SetReservedSize(100, true);
  EXPECT_EQ(buffer->GetBufferPtr(0), block);
  buffer->SetReservedSize(200, true);
  EXPECT_EQ(Contents(*buffer), std::string(60, 'x'));
  buffer->SetReservedSize(40, true);
  EXPECT_EQ(Contents(*buffer), std::string(40, 'x'));
  buffer->SetReservedSize(80, false);
  EXPECT_EQ(buffer->GetUsedSize(), 40u) << "without keepData the used size is the caller's";
  buffer->SetReservedSize(0, true);
  EXPECT_EQ(buffer->GetBufferPtr(0), nullptr);
  EXPECT_EQ(buffer->GetUsedSize(), 40u);
  EXPECT_EQ(ResizeMessages(), (std::vector<std::string>{
                                  "No need to resize. 100 is already the size of the buffer.",
                                  "Reallocating existing buffer of size 100 for new buffer of size 200.",
                                  "Reallocating existing buffer of size 200 for new buffer of size 40.",
                                  "Reallocating existing buffer of size 40 for new buffer of size 80.",
                              }));
}

TEST(Buffer, AppendGrowsToExactlyTheNeededSize) {
  auto buffer = Buffer::Create(0);
  buffer->AppendDataPtr("abcd", 4);
  EXPECT_TRUE(ResizeMessages().empty()) << "a first block is no reallocation";
  buffer->AppendDataPtr("efg", 3);
  EXPECT_EQ(buffer->GetReservedSize(), 7u);
  buffer->AppendDataPtr(nullptr, 5);
  buffer->AppendBufferData(Buffer::Create(10));
  buffer->AppendBufferData(buffer);  // appending itself survives the growth that frees its block
  EXPECT_EQ(Contents(*buffer), "abcdefgabcdefg");
  EXPECT_EQ(ResizeMessages().size(), 2u);

  // Without growth, a source overlapping the bytes being written is read as it was.
  auto roomy = Filled(32, "0123456789abcdef");
  roomy->SetUsedSize(6);
  roomy->AppendDataPtr(roomy->GetBufferPtr(2), 8);
  EXPECT_EQ(Contents(*roomy), "01234523456789");
}

TEST(Buffer, UsedSizeBeyondTheBlockIsNeverReadPastIt) {
  // Under AddressSanitizer a read past a block fails here.
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
  LogCapture::Take();
}

TEST(Buffer, CopyMakesRoomForTheReserve) {
  auto small = Filled(100, "old");
  small->CopyBufferPtr("0123456789", 10, 500);
  EXPECT_EQ(small->GetReservedSize(), 500u);
  EXPECT_EQ(Contents(*small), "0123456789");

  char* block = small->GetBufferPtr(0);
  small->CopyBufferPtr(small->GetBufferPtr(2), 4, 20);  // from itself, into a block large enough
  EXPECT_EQ(small->GetBufferPtr(0), block);
  EXPECT_EQ(Contents(*small), "2345");
  const std::string text = "0123456789abcdefghijklmnopqrstuv";
  small->CopyBufferPtr(text.data(), 32, 0);
  small->CopyBufferPtr(small->GetBufferPtr(0), 32, 600);  // from itself, into a new block
  EXPECT_EQ(Contents(*small), text);
  block = small->GetBufferPtr(0);
  small->CopyBufferPtr(std::string(600, 'z').data(), 600, 0);
  EXPECT_EQ(small->GetBufferPtr(0), block) << "a block exactly large enough is kept";
  small->CopyBufferPtr(small->GetBufferPtr(3), 0, 0);  // no bytes, from itself
  EXPECT_EQ(small->GetUsedSize(), 0u);

  small->CopyBufferPtr(nullptr, 0, 601);
  EXPECT_EQ(small->GetBufferPtr(0), nullptr);
  EXPECT_EQ(small->GetReservedSize() + small->GetUsedSize(), 0u);
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST(Buffer, WrappedMemoryIsNeverReleasedNorWrittenOver) {
  std::vector<char> foreign(64, 'f');
  auto wrap = [&foreign](std::size_t used, std::size_t reserved) {
    auto wrapper = Buffer::Create(0);
    wrapper->SetBufferPtr(foreign.data(), used, reserved, false);
    return wrapper;
  };
  EXPECT_EQ(wrap(64, 0)->GetReservedSize(), 64u);
  EXPECT_EQ(*wrap(0, 8), *wrap(0, 8));
  EXPECT_NE(*wrap(0, 8), *Buffer::Create(8));

  auto grown = wrap(64, 0);
  grown->AppendDataPtr("!", 1);
  EXPECT_TRUE(grown->IsOwner());
  EXPECT_EQ(Contents(*grown), std::string(64, 'f') + "!");
  auto copied = wrap(0, 64);
  copied->CopyBufferPtr("data", 4, 0);
  EXPECT_NE(copied->GetBufferPtr(0), foreign.data());
  EXPECT_EQ(Contents(*copied), "data");
  wrap(10, 64)->SetReservedSize(0, false);
  auto nothing = wrap(0, 0);
  nothing->SetBufferPtr(nullptr, 0, 10, false);
  EXPECT_EQ(nothing->GetBufferPtr(3), nullptr) << "no block, no address in it";
  nothing->SetBufferPtr(nullptr, 0, 0, false);
  nothing->SetReservedSize(10, false);
  EXPECT_TRUE(nothing->IsOwner()) << "a block the buffer allocates is its own";
  EXPECT_EQ(std::string(foreign.begin(), foreign.end()), std::string(64, 'f'));
  LogCapture::Take();
}

}  // namespace
