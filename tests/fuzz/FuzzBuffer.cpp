// A Buffer driven through a fuzzer-chosen sequence of resizes, appends (of foreign bytes, of
// another buffer, of its own bytes), copies and used-size changes, checked after every step against
// a model: the block as a vector of bytes (each known, or unknown where the contents are left
// undefined) and the used size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/Buffer.h>

using Melvo::Buffer;

namespace {

constexpr int kUnknown = -1;
constexpr std::size_t kMaxSize = 512;
// Appends of a buffer to itself double it: growth stops here to keep each run short.
constexpr std::size_t kMaxGrowth = 16 * 1024;

struct Model {
  std::vector<int> block;  // one entry per reserved byte
  std::size_t used = 0;

  std::size_t Valid() const { return std::min(used, block.size()); }

  // Going to 0 bytes, or from none, leaves the used size to the caller; so does a resize without
  // keeping data. Keeping data never reads past the old block.
  void Resize(std::size_t newSize, bool keepData) {
    if (newSize == block.size()) return;
    if (keepData && newSize != 0 && !block.empty()) {
      used = std::min(Valid(), newSize);
      block.resize(newSize, kUnknown);
      std::fill(block.begin() + static_cast<std::ptrdiff_t>(used), block.end(), kUnknown);
    } else {
      block.assign(newSize, kUnknown);
    }
  }

  void Append(const std::vector<int>& bytes) {
    if (bytes.empty()) return;
    if (used + bytes.size() > block.size()) Resize(used + bytes.size(), true);
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(used));
    used += bytes.size();
  }

  void Copy(const std::vector<int>* bytes, std::size_t reserve) {
    if (reserve != 0 && reserve > block.size() && !block.empty()) {
      block.clear();
      used = 0;
    }
    if (bytes == nullptr) return;
    const std::size_t capacity = std::max({block.size(), bytes->size(), reserve});
    block.assign(capacity, kUnknown);
    std::copy(bytes->begin(), bytes->end(), block.begin());
    used = bytes->size();
  }
};

std::vector<int> Known(const std::vector<unsigned char>& bytes) {
  return std::vector<int>(bytes.begin(), bytes.end());
}

void Check(Buffer& buffer, const Model& model) {
  if (buffer.GetReservedSize() != model.block.size() || buffer.GetUsedSize() != model.used) std::abort();
  char* data = buffer.GetBufferPtr();
  if ((data == nullptr) != model.block.empty()) std::abort();
  if (data == nullptr) return;
  for (std::size_t i = 0; i < model.Valid(); ++i) {
    if (model.block[i] != kUnknown && static_cast<unsigned char>(data[i]) != model.block[i]) std::abort();
  }
  // Past the block, the address of its last byte.
  if (buffer.GetBufferPtr(model.block.size()) != data + model.block.size() - 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t initial = input.ConsumeIntegralInRange<std::size_t>(0, 64);
  std::shared_ptr<Buffer> buffer = Buffer::Create(initial);
  Model model;
  model.block.assign(initial, kUnknown);
  std::shared_ptr<Buffer> other = Buffer::Create(0);
  Model otherModel;

  for (int step = 0; step < 64 && input.remaining_bytes() != 0; ++step) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: {
        const std::size_t newSize = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSize);
        const bool keep = input.ConsumeBool();
        buffer->SetReservedSize(newSize, keep);
        model.Resize(newSize, keep);
        break;
      }
      case 1: {
        const auto bytes =
            input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<std::size_t>(0, 64));
        if (model.used + bytes.size() > kMaxGrowth) break;
        buffer->AppendDataPtr(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        model.Append(Known(bytes));
        break;
      }
      case 2: {
        // Part of its own valid bytes, appended to itself.
        if (model.Valid() == 0) break;
        const std::size_t from = input.ConsumeIntegralInRange<std::size_t>(0, model.Valid() - 1);
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, model.Valid() - from);
        if (model.used + count > kMaxGrowth) break;
        const std::vector<int> bytes(model.block.begin() + static_cast<std::ptrdiff_t>(from),
                                     model.block.begin() + static_cast<std::ptrdiff_t>(from + count));
        buffer->AppendDataPtr(buffer->GetBufferPtr(from), count);
        model.Append(bytes);
        break;
      }
      case 3: {
        const bool self = input.ConsumeBool();
        const Model& source = self ? model : otherModel;
        if (model.used + source.Valid() > kMaxGrowth) break;
        const std::vector<int> bytes(source.block.begin(),
                                     source.block.begin() + static_cast<std::ptrdiff_t>(source.Valid()));
        buffer->AppendBufferData(self ? buffer : other);
        model.Append(bytes);
        break;
      }
      case 4: {
        const auto bytes =
            input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<std::size_t>(0, 64));
        const std::size_t reserve = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSize);
        const bool withSource = input.ConsumeBool();
        const std::vector<int> known = Known(bytes);
        // An empty vector may have no address; a source is never null here unless chosen so.
        const char* source = bytes.empty() ? "" : reinterpret_cast<const char*>(bytes.data());
        buffer->CopyBufferPtr(withSource ? source : nullptr, bytes.size(), reserve);
        model.Copy(withSource ? &known : nullptr, reserve);
        break;
      }
      case 5: {
        // Part of its own valid bytes, copied over itself.
        if (model.Valid() == 0) break;
        const std::size_t from = input.ConsumeIntegralInRange<std::size_t>(0, model.Valid() - 1);
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, model.Valid() - from);
        const std::size_t reserve = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSize);
        const std::vector<int> bytes(model.block.begin() + static_cast<std::ptrdiff_t>(from),
                                     model.block.begin() + static_cast<std::ptrdiff_t>(from + count));
        buffer->CopyBufferPtr(buffer->GetBufferPtr(from), count, reserve);
        model.Copy(&bytes, reserve);
        break;
      }
      case 6: {
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSize);
        buffer->IncreaseUsedSize(count);
        model.used = std::min(model.used + count, model.block.size());
        break;
      }
      case 7: {
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSize);
        buffer->DecreaseUsedSize(count);
        model.used = count >= model.used ? 0 : model.used - count;
        break;
      }
      case 8: {
        // The caller may vouch for any used size, beyond the block too.
        const std::size_t used = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSize);
        buffer->SetUsedSize(used);
        model.used = used;
        break;
      }
      case 9: {
        // Refill the other buffer, the source of the next appends.
        const auto bytes =
            input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<std::size_t>(0, 64));
        other = Buffer::Create(bytes.size());
        other->AppendDataPtr(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        otherModel = Model{Known(bytes), bytes.size()};
        if (input.ConsumeBool()) {
          // A used size beyond its block: only the block's bytes are appended.
          other->SetUsedSize(bytes.size() + 7);
          otherModel.used = bytes.size() + 7;
        }
        Check(*other, otherModel);
        break;
      }
    }
    Check(*buffer, model);
  }
  return 0;
}
