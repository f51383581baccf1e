// The CRC engine is ISA-L's: it folds the data with carry-less multiplication, on the widest vector
// unit the processor has, and is bit-identical to the byte-at-a-time table it replaces.
#include "Crc32.h"

#include <isa-l/crc.h>

namespace Melvo::detail {

void Crc32::Update(const void* data, std::size_t size) {
  // ISA-L's gzip form takes and returns the finished value, so pieces chain through it directly.
  if (size > 0) value_ = crc32_gzip_refl(value_, static_cast<const unsigned char*>(data), size);
}

}  // namespace Melvo::detail
