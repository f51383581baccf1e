/// \file
/// The record that travels with one packet of captured audio from the capture code to its consumers:
/// a few values the host fills and reads, the frame width, and two buffer handles. The primary buffer
/// holds the packet's bytes in frames of `frameBits` bits; the secondary buffer holds 8 bytes for
/// every frame of the primary one. Copies of a record share its handles; Clone copies the bytes.
///
/// A capture loop of the example host: each packet is filled in pooled buffers, described, and
/// cloned for the consumer that writes it:
/// \snippet demo_host.cpp capture loop
#pragma once

#include <Plinth/BufferQueue.h>
#include <Plinth/Export.h>

#include <cstddef>
#include <limits>
#include <memory>

namespace Melvo {

/// One packet of captured audio: host values, the frame width and two buffer handles.
struct PLINTH_API AudioCaptureInfo {
  /// Bytes of side information the secondary buffer holds for every frame of the primary buffer.
  static constexpr std::size_t kSecondaryBytesPerFrame = 8;
  /// A Clone count meaning "up to the end of the valid data".
  static constexpr std::size_t kToTheEnd = std::numeric_limits<std::size_t>::max();

  /// Each argument fills the field of the same position; both flags start false.
  explicit AudioCaptureInfo(std::size_t sizeField1 = 0, std::size_t sizeField2 = 0, float floatField = 0.0f,
                            std::size_t frameBits = 0, const double& doubleField1 = 0.0,
                            const double& doubleField2 = 0.0, void* userData = nullptr,
                            const std::shared_ptr<ManagedBuffer>& primaryBuffer = {},
                            const std::shared_ptr<ManagedBuffer>& secondaryBuffer = {});

  ///@{
  /// Copies share the handles; no buffer goes back to its pool on assignment.
  AudioCaptureInfo(const AudioCaptureInfo& other) = default;
  AudioCaptureInfo& operator=(const AudioCaptureInfo& other) = default;
  ///@}
  /// The members are declared so that the secondary handle is released before the primary one.
  ~AudioCaptureInfo() = default;

  /// A new record holding a copy of the frames from byte `offset` of the primary buffer, `count`
  /// bytes long (kToTheEnd: up to the end of its valid data), and of the matching stretch of the
  /// secondary buffer, whole frames only. The copies go into the given destination handles, or into
  /// new free-standing buffers when a destination is empty. The scalar fields and flags are copied
  /// unchanged. Problems with the request are logged and never thrown; a record is always returned.
  /// A frame width below one byte has no whole frames, so the secondary copy is then empty.
  std::shared_ptr<AudioCaptureInfo> Clone(const std::shared_ptr<ManagedBuffer>& primaryDestination = {},
                                          const std::shared_ptr<ManagedBuffer>& secondaryDestination = {},
                                          std::size_t offset = 0, std::size_t count = kToTheEnd) const;

  std::size_t sizeField1;  ///< The host's own value, copied and never read by the library.
  std::size_t sizeField2;  ///< The host's own value.
  float floatField;        ///< The host's own value.
  /// Width of one frame of the primary buffer in bits; frameBits / 8 is the width in bytes.
  std::size_t frameBits;
  double doubleField1;  ///< The host's own value.
  double doubleField2;  ///< The host's own value.
  /// Carried for the host and never dereferenced.
  void* userData;
  std::shared_ptr<ManagedBuffer> primaryBuffer;    ///< The packet's bytes, in frames of `frameBits` bits.
  std::shared_ptr<ManagedBuffer> secondaryBuffer;  ///< Eight bytes of side information per frame.
  bool flag1;                                      ///< The host's own flag, false at first.
  bool flag2;                                      ///< The host's own flag, false at first.
};

}  // namespace Melvo
