// An example host: it hands the library its console loggers first, as every host must, records who it
// is and how it was started, and then works the way a capture service does: pooled packets of audio,
// described, cloned for a consumer, written block by block to a WAVE file and read back; the file is
// then checksummed and copied with its checksum proven. A state machine drives the capture's life
// cycle, and two timers time it. The library's messages show on the console.
#include <Plinth/Plinth.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/filesystem/operations.hpp>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kSampleRate = 48000;
constexpr std::int16_t kChannels = 2;
constexpr std::int16_t kBitsPerSample = 16;
constexpr std::size_t kFrameBytes = kChannels * kBitsPerSample / 8;
constexpr std::size_t kFramesPerPacket = 1024;
constexpr std::size_t kPackets = 12;

void StartLogging() {
  auto console = spdlog::stdout_color_mt("vorn.Plinth");
  console->set_level(spdlog::level::trace);
  console->set_pattern("%^%-5l%$ %-28n %v   [%g:%# %!]");
  // The host's own logger, for the state machine below; it shares the console's sink.
  auto host = console->clone("vorn.DemoHost");
  // Every logger name below "vorn.Plinth" or "vorn.DemoHost" now writes to this console.
  InitLoggerPlinth({console, host}, LoggerThreadPoolSettings{8192, 1});
}

// Records the program's identity and arguments (this also makes the executable's folder the working
// directory) and shows what the library derives from them. Run with -x to run standalone.
void DescribeApplication(int argc, char** argv) {
  Melvo::ApplicationInfo::Init("Plinth Demo Host", "", "Melvo Audio", "1.0.0", "",
                               Melvo::DataFolderType::LocalAppData, argc, argv);
  Melvo::ApplicationInfo::InitServiceName("Plinth Demo Service");
  std::printf("application %s (%s), data folder %s\n", Melvo::ApplicationInfo::Name().c_str(),
              Melvo::ApplicationInfo::NormalizedName().c_str(),
              Melvo::ApplicationInfo::DataPath().string().c_str());
  std::printf("running as %s; restart command: %s\n",
              Melvo::ApplicationInfo::IsRunningAsService() ? "a service" : "a standalone program",
              Melvo::ApplicationInfo::RestartCommandLine().c_str());
}

// A free-standing buffer that grows as text is appended; its reallocations are logged.
void UseBuffer() {
  auto buffer = Melvo::Buffer::Create(16);
  const std::string greeting = "Hello from the demo host, with a buffer that grows.";
  buffer->AppendDataPtr(greeting.data(), greeting.size());
  buffer->SetReservedSize(buffer->GetReservedSize(), true);  // already that size: logged, nothing changes
  std::printf("buffer holds %zu of %zu bytes\n", buffer->GetUsedSize(), buffer->GetReservedSize());
}

// Fills one packet with a 440 Hz tone, and its side buffer with each frame's sample index.
void CapturePacket(Melvo::Buffer& audio, Melvo::Buffer& frameIndexes, std::uint64_t firstFrame) {
  for (std::size_t frame = 0; frame < kFramesPerPacket; ++frame) {
    const std::uint64_t index = firstFrame + frame;
    const double phase = 2.0 * kPi * 440.0 * static_cast<double>(index) / kSampleRate;
    const auto sample = static_cast<std::int16_t>(8000.0 * std::sin(phase));
    const std::int16_t stereo[kChannels] = {sample, sample};
    audio.AppendDataPtr(reinterpret_cast<const char*>(stereo), sizeof stereo);
    frameIndexes.AppendDataPtr(reinterpret_cast<const char*>(&index), sizeof index);
  }
}

// The capture's life cycle: Idle -> Capturing -> Draining -> Stopped. An event carries the number
// of packets the consumer has yet to write, which decides whether draining is over.
enum class CaptureSignal { Start, Packet, Stop, Drained };

struct CaptureEvent {
  CaptureSignal signal;
  std::size_t backlog;
};

// What the states share: the capture's timers, run while the machine is in Capturing.
struct CaptureTiming {
  Melvo::BasicTimer timer;
  Melvo::StopwatchTimerPrecise stopwatch;
  std::size_t packets = 0;
};

class CaptureState : public Melvo::IState<CaptureEvent, CaptureTiming> {
 public:
  explicit CaptureState(std::string name) : name(std::move(name)) {}
  std::string GetName() const override { return name; }

 protected:
  CaptureTiming& Timing() const { return *machineStorage; }

 private:
  std::string name;
};

class Idle : public CaptureState {
 public:
  Idle() : CaptureState("Idle") {}

 protected:
  bool DoHandleEvent(const CaptureEvent& event, std::string& next, std::string& reason) override {
    if (event.signal != CaptureSignal::Start) return false;
    next = "Capturing";
    reason = "start requested";
    return true;
  }
};

class Capturing : public CaptureState {
 public:
  Capturing() : CaptureState("Capturing") {}

 protected:
  void DoEnter(const CaptureEvent& event, std::string& next) override {
    Timing().timer.StartTimer();
    Timing().stopwatch.Start();
    CaptureState::DoEnter(event, next);
  }
  bool DoHandleEvent(const CaptureEvent& event, std::string& next, std::string& reason) override {
    if (event.signal == CaptureSignal::Packet) {
      ++Timing().packets;
      next = GetName();
      return true;
    }
    if (event.signal != CaptureSignal::Stop) return false;
    next = "Draining";
    reason = "stop requested with " + std::to_string(event.backlog) + " packets to write";
    return true;
  }
  void DoExit(const CaptureEvent&, const std::string&) override {
    Timing().timer.StopTimer();
    Timing().stopwatch.Stop();
  }
};

// Moves straight on to Stopped, through its entry action, when nothing is left to write.
class Draining : public CaptureState {
 public:
  Draining() : CaptureState("Draining") {}

 protected:
  void DoEnter(const CaptureEvent& event, std::string& next) override {
    next = event.backlog == 0 ? "Stopped" : GetName();
  }
  bool DoHandleEvent(const CaptureEvent& event, std::string& next, std::string&) override {
    next = event.signal == CaptureSignal::Drained ? "Stopped" : GetName();
    return true;
  }
};

class Stopped : public CaptureState {
 public:
  Stopped() : CaptureState("Stopped") {}

 protected:
  void DoEnter(const CaptureEvent& event, std::string& next) override {
    std::printf("captured %zu packets in %lld ms (cumulative timer), %.6f s (stopwatch)\n", Timing().packets,
                static_cast<long long>(Timing().timer.GetElapsedTime()),
                Timing().stopwatch.GetElapsedTimeInSeconds());
    CaptureState::DoEnter(event, next);
  }
  bool DoHandleEvent(const CaptureEvent&, std::string& next, std::string&) override {
    next = GetName();
    return true;
  }
};

using CaptureMachine = Melvo::StateMachine<CaptureState>;

void BuildCaptureMachine(CaptureMachine& machine) {
  machine.AddTheInitialState(std::make_shared<Idle>());
  machine.DoAddState(std::make_shared<Capturing>(), Melvo::Normal);
  machine.DoAddState(std::make_shared<Draining>(), Melvo::Normal);
  machine.DoAddState(std::make_shared<Stopped>(), Melvo::Final);
  machine.FreezeStates();
}

// Captures packets through a pool and hands a clone of each to a consumer that writes it to a WAVE
// file one packet behind; every handle goes in the end, so the buffers return to the pool. A state
// machine follows the capture from start to stop, and refuses a packet before the start.
void CaptureToWaveFile(const std::string& path) {
  CaptureMachine machine("vorn.DemoHost.Capture");
  BuildCaptureMachine(machine);
  auto audioPool = Melvo::BufferQueue::Create(4, kFramesPerPacket * kFrameBytes);
  auto indexPool = Melvo::BufferQueue::Create(4, kFramesPerPacket * 8);
  Melvo::WaveFileBuffer writer;
  writer.Create(path, kSampleRate, kChannels, kBitsPerSample);
  std::deque<std::shared_ptr<Melvo::AudioCaptureInfo>> backlog;
  const auto writeOldest = [&] {
    Melvo::Buffer& bytes = *backlog.front()->primaryBuffer->GetBuffer();
    writer.WriteDataToFile(bytes.GetBufferPtr(0), static_cast<std::uint32_t>(bytes.GetUsedSize()));
    backlog.pop_front();
  };

  machine.ProcessEvent({CaptureSignal::Packet, 0});  // refused: the capture has not started
  machine.ProcessEvent({CaptureSignal::Start, 0});
  for (std::size_t packet = 0; packet < kPackets; ++packet) {
    auto audio = audioPool->AcquireBuffer(kFramesPerPacket * kFrameBytes, true);
    auto indexes = indexPool->AcquireBuffer(kFramesPerPacket * 8, true);
    CapturePacket(*audio->GetBuffer(), *indexes->GetBuffer(), packet * kFramesPerPacket);
    Melvo::AudioCaptureInfo info(packet, 0, 0.0f, kFrameBytes * 8, 0.0, 0.0, nullptr, audio, indexes);
    machine.ProcessEvent({CaptureSignal::Packet, backlog.size()});

    // The consumer gets its own copy of the packet, in buffers of the same pools.
    if (!backlog.empty()) writeOldest();
    backlog.push_back(info.Clone(audioPool->AcquireBuffer(0, true), indexPool->AcquireBuffer(0, true)));
  }
  machine.ProcessEvent({CaptureSignal::Stop, backlog.size()});
  while (!backlog.empty()) writeOldest();
  machine.ProcessEvent({CaptureSignal::Drained, 0});
  std::printf("capture done: audio pool holds %zu buffers, %zu free, %zu in use\n",
              audioPool->QueueCapacity(), audioPool->GetFreeQueueSize(), audioPool->GetUsedQueueSize());
}

void ReadWaveFile(const std::string& path) {
  Melvo::WaveFileBuffer reader;
  Melvo::WaveFileBuffer::WaveFileParams params;
  if (!reader.Load(path) || !reader.GetWaveFileParams(params)) return;
  std::printf("%s: %u Hz, %d channels, %d bits, %lld audio bytes, %.3f s\n", path.c_str(), params.sampleRate,
              params.numChannels, params.bitsPerSample, static_cast<long long>(reader.GetAudioDataSize()),
              reader.GetDecimalSecondsInFile());

  std::vector<char> block(16384);
  std::uint32_t got = 0;
  std::size_t total = 0;
  while (reader.ReadDataFromFile(block.data(), got, static_cast<std::uint32_t>(block.size()))) {
    total += got;
  }
  std::printf("read back %zu bytes in blocks of %zu\n", total, block.size());
}

// Checksums the recording and copies it; the copy replaces its destination only once it is complete
// and its own checksum matches the recording's. The callback could stop the work between blocks.
void CopyVerified(const boost::filesystem::path& recording, const boost::filesystem::path& copy) {
  std::uint32_t checksum = 0;
  std::string error;
  if (!Melvo::ComputeCRC32Checksum(recording, checksum, error, {})) {
    std::printf("checksum failed: %s\n", error.c_str());
    return;
  }
  std::printf("%s: CRC-32 %08X\n", recording.string().c_str(), checksum);
  int checks = 0;
  const auto keepGoing = [&checks] {
    ++checks;
    return false;
  };
  if (Melvo::FileCopyWithCRC32(recording, copy, checksum, error, keepGoing)) {
    std::printf("verified copy %s (%d interruption checks)\n", copy.string().c_str(), checks);
  } else {
    std::printf("copy failed: %s\n", error.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  StartLogging();
  DescribeApplication(argc, argv);
  UseBuffer();
  const std::string path = (boost::filesystem::temp_directory_path() / "plinth-demo.wav").string();
  CaptureToWaveFile(path);
  ReadWaveFile(path);
  const auto copy = boost::filesystem::temp_directory_path() / "plinth-demo-copy.wav";
  CopyVerified(path, copy);
  boost::filesystem::remove(path);
  boost::filesystem::remove(copy);
  return 0;
}
