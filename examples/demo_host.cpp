// An example host: it hands the library its console loggers first, as every host must, records who it
// is and how it was started, sets up the crash handler, and then works the way a capture service
// does: pooled packets of audio, described, cloned for a consumer, written block by block to a WAVE
// file and read back; the file is then checksummed and copied with its checksum proven, and versions
// are compared. A state machine drives the capture's life cycle, and two timers time it. The
// library's messages show on the console, and a summary of what happened ends the run; every file
// lies under the program's data folder. The exit status is 0 only when every step worked.
//
// Its crash handler writes a dump if it crashes: run with --crash to see that happen
// (scripts/demo --crash then shows the dump and its backtrace).
//
// The API reference quotes the regions between the //! [name] markers as examples of use, so that
// they are compiled and run with every build and cannot go stale.
#include <Plinth/Plinth.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
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
constexpr std::size_t kPoolCapacity = 4;

// What the run did, one line per step, printed at the end.
class Summary {
 public:
  void Add(std::string step, std::string what) { lines.emplace_back(std::move(step), std::move(what)); }
  void Print() const {
    std::printf("\n== Summary ==\n");
    for (const auto& [step, what] : lines) std::printf("%-14s %s\n", step.c_str(), what.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::string>> lines;
};

Summary summary;

template <typename... Args>
std::string Format(const char* format, Args... args) {
  std::string text(static_cast<std::size_t>(std::snprintf(nullptr, 0, format, args...)), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

void StartLogging() {
  //! [Logging]
  auto console = spdlog::stdout_color_mt("vorn.Plinth");
  console->set_level(spdlog::level::trace);
  console->set_pattern("%^%-5l%$ %-28n %v   [%g:%# %!]");
  // The host's own logger, for the state machine below; it shares the console's sink.
  auto host = console->clone("vorn.DemoHost");
  // Every logger name below "vorn.Plinth" or "vorn.DemoHost" now writes to this console.
  InitLoggerPlinth({console, host}, LoggerThreadPoolSettings{8192, 1});
  //! [Logging]
}

// Records the program's identity and arguments (this also makes the executable's folder the working
// directory) and shows what the library derives from them. Run with -x to run standalone. The data
// folder is the user's application-data folder ($XDG_DATA_HOME on POSIX), then organization and name;
// recordings go in a content folder inside it.
bool DescribeApplication(int argc, char** argv) {
  //! [ApplicationInfo]
  Melvo::ApplicationInfo::Init("Plinth Demo Host", "", "Melvo Audio", "1.0.0", "",
                               Melvo::DataFolderType::LocalAppData, argc, argv);
  Melvo::ApplicationInfo::InitServiceName("Plinth Demo Service");
  const boost::filesystem::path recordings = Melvo::ApplicationInfo::DataPath() / "Recordings";
  Melvo::ApplicationInfo::InitContentPaths({{Melvo::ContentFolderType::Recordings, recordings}});
  //! [ApplicationInfo]
  boost::system::error_code error;
  boost::filesystem::create_directories(recordings, error);
  if (error) {
    std::printf("cannot create %s: %s\n", recordings.string().c_str(), error.message().c_str());
    return false;
  }
  summary.Add(
      "application",
      Format("%s %s (%s), running as %s", Melvo::ApplicationInfo::Name().c_str(),
             Melvo::ApplicationInfo::Version().c_str(), Melvo::ApplicationInfo::NormalizedName().c_str(),
             Melvo::ApplicationInfo::IsRunningAsService() ? "a service" : "a standalone program"));
  summary.Add("restart with", Melvo::ApplicationInfo::RestartCommandLine());
  return true;
}

//! [CrashHandler observer]
// Tells the host's side that the process is going down; a real host would flush its own logs here.
class CrashNotice : public Melvo::ICrashHandlerObserver {
 public:
  void OnCrash() override {
    std::printf("demo host: crashed; the dump file is written and closed\n");
    std::fflush(stdout);
  }
};
//! [CrashHandler observer]

// Dumps go to a folder under the data folder, named after the program. The handler holds its
// observer weakly: the host keeps it alive.
std::shared_ptr<Melvo::ICrashHandlerObserver> SetUpCrashHandler() {
  //! [CrashHandler]
  const boost::filesystem::path dumpFolder = Melvo::ApplicationInfo::DataPath() / "CrashDumps";
  boost::filesystem::create_directories(dumpFolder);
  Melvo::CrashHandler& crashHandler = Melvo::CrashHandler::getInstance();
  crashHandler.configure(
      Melvo::CrashHandler::Configuration(Melvo::ApplicationInfo::NormalizedName(), dumpFolder));
  auto notice = std::make_shared<CrashNotice>();
  if (!crashHandler.initialize() || !crashHandler.AddObserver(notice)) return nullptr;
  //! [CrashHandler]
  const Melvo::CrashHandler::Configuration& config = crashHandler.getConfig();
  const std::string dumpFile = (config.dumpFolder / config.dumpName).string() + ".dmp";
  std::printf("crash dump file: %s\n", dumpFile.c_str());
  std::fflush(stdout);
  summary.Add("crash handler", "installed; a crash leaves " + dumpFile);
  return notice;
}

// Writes through a null pointer. Pointer and target are volatile so that the compiler neither drops
// the store nor turns it into a trap instruction.
void CrashOnPurpose() {
  volatile int* volatile nowhere = nullptr;
  std::printf("demo host: crashing on purpose\n");
  std::fflush(stdout);
  *nowhere = 42;
  std::printf("not reached\n");
}

// A free-standing buffer that grows as text is appended; its reallocations are logged.
void UseBuffer() {
  //! [Buffer]
  auto buffer = Melvo::Buffer::Create(16);
  const std::string greeting = "Hello from the demo host, with a buffer that grows.";
  buffer->AppendDataPtr(greeting.data(), greeting.size());
  buffer->SetReservedSize(buffer->GetReservedSize(), true);  // already that size: logged, nothing changes
  //! [Buffer]
  summary.Add("buffer", Format("holds %zu of %zu bytes after growing from 16", buffer->GetUsedSize(),
                               buffer->GetReservedSize()));
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

// What the states share: the capture's timers, run while the machine is in Capturing, and the
// states the machine has passed through.
struct CaptureTiming {
  Melvo::BasicTimer timer;
  Melvo::StopwatchTimerPrecise stopwatch;
  std::size_t packets = 0;
  std::vector<std::string> visited{"Idle"};
};

//! [StateMachine states]
class CaptureState : public Melvo::IState<CaptureEvent, CaptureTiming> {
 public:
  explicit CaptureState(std::string name) : name(std::move(name)) {}
  std::string GetName() const override { return name; }
  void Enter(const CaptureEvent& event, std::string& next) override {
    if (Timing().visited.back() != name) Timing().visited.push_back(name);
    IState::Enter(event, next);
  }

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
//! [StateMachine states]

//! [Timers]
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
//! [Timers]

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
    std::string path;
    for (const std::string& state : Timing().visited) path += (path.empty() ? "" : " -> ") + state;
    summary.Add("state machine", path);
    //! [Timers readout]
    summary.Add("timers", Format("capturing took %lld ms (cumulative timer), %.6f s (stopwatch)",
                                 static_cast<long long>(Timing().timer.GetElapsedTime()),
                                 Timing().stopwatch.GetElapsedTimeInSeconds()));
    //! [Timers readout]
    CaptureState::DoEnter(event, next);
  }
  bool DoHandleEvent(const CaptureEvent&, std::string& next, std::string&) override {
    next = GetName();
    return true;
  }
};

//! [StateMachine machine]
using CaptureMachine = Melvo::StateMachine<CaptureState>;

void BuildCaptureMachine(CaptureMachine& machine) {
  machine.AddTheInitialState(std::make_shared<Idle>());
  machine.DoAddState(std::make_shared<Capturing>(), Melvo::Normal);
  machine.DoAddState(std::make_shared<Draining>(), Melvo::Normal);
  machine.DoAddState(std::make_shared<Stopped>(), Melvo::Final);
  machine.FreezeStates();
}
//! [StateMachine machine]

//! [Observed]
// Parts of the host that want to hear that the capture has stopped. The list holds them weakly: each
// keeps itself alive as long as it wants to be told.
class ICaptureListener {
 public:
  virtual ~ICaptureListener() = default;
  virtual void OnCaptureStopped() = 0;
};

class CaptureListeners : public vorn::Observed<ICaptureListener, std::weak_ptr<ICaptureListener>> {
 public:
  void TellCaptureStopped() { NotifyObservers(&ICaptureListener::OnCaptureStopped); }
};
//! [Observed]

class SummaryListener : public ICaptureListener {
 public:
  void OnCaptureStopped() override { summary.Add("listeners", "told that the capture stopped"); }
};

// The capture callback records when it last ran, so that a watchdog anywhere in the process can
// tell a stalled capture from a running one.
void RecordCallbackTime() {
  //! [TidewaveSynchroInfo]
  using vorn::TidewaveSynchroInfo;
  auto now =
      boost::chrono::time_point_cast<TidewaveSynchroInfo::Duration>(boost::chrono::system_clock::now());
  TidewaveSynchroInfo::Instance().SetLastTidewaveCodeCallbackTime(now);
  //! [TidewaveSynchroInfo]
}

// Captures packets through a pool and hands a clone of each to a consumer that writes it to a WAVE
// file one packet behind; every handle goes in the end, so the buffers return to the pool. A state
// machine follows the capture from start to stop, and refuses a packet before the start. The bytes
// written are kept in `written`, to check the read-back against. The listeners hear of the stop.
bool CaptureToWaveFile(const std::string& path, std::string& written, CaptureListeners& listeners) {
  CaptureMachine machine("vorn.DemoHost.Capture");
  BuildCaptureMachine(machine);
  //! [BufferQueue]
  auto audioPool = Melvo::BufferQueue::Create(kPoolCapacity, kFramesPerPacket * kFrameBytes);
  auto indexPool = Melvo::BufferQueue::Create(kPoolCapacity, kFramesPerPacket * 8);
  //! [BufferQueue]
  //! [WaveFileBuffer write]
  Melvo::WaveFileBuffer writer;
  if (!writer.Create(path, kSampleRate, kChannels, kBitsPerSample)) return false;
  std::deque<std::shared_ptr<Melvo::AudioCaptureInfo>> backlog;
  bool allWritten = true;
  const auto writeOldest = [&] {
    Melvo::Buffer& bytes = *backlog.front()->primaryBuffer->GetBuffer();
    const auto size = static_cast<std::uint32_t>(bytes.GetUsedSize());
    allWritten = writer.WriteDataToFile(bytes.GetBufferPtr(0), size) && allWritten;
    written.append(bytes.GetBufferPtr(0), size);
    backlog.pop_front();
  };
  //! [WaveFileBuffer write]

  const bool earlyPacketRefused = !machine.ProcessEvent({CaptureSignal::Packet, 0});  // not started yet
  machine.ProcessEvent({CaptureSignal::Start, 0});
  //! [capture loop]
  for (std::size_t packet = 0; packet < kPackets; ++packet) {
    RecordCallbackTime();
    auto audio = audioPool->AcquireBuffer(kFramesPerPacket * kFrameBytes, true);
    auto indexes = indexPool->AcquireBuffer(kFramesPerPacket * 8, true);
    CapturePacket(*audio->GetBuffer(), *indexes->GetBuffer(), packet * kFramesPerPacket);
    Melvo::AudioCaptureInfo info(packet, 0, 0.0f, kFrameBytes * 8, 0.0, 0.0, nullptr, audio, indexes);
    machine.ProcessEvent({CaptureSignal::Packet, backlog.size()});

    // The consumer gets its own copy of the packet, in buffers of the same pools.
    if (!backlog.empty()) writeOldest();
    backlog.push_back(info.Clone(audioPool->AcquireBuffer(0, true), indexPool->AcquireBuffer(0, true)));
  }
  //! [capture loop]
  machine.ProcessEvent({CaptureSignal::Stop, backlog.size()});
  while (!backlog.empty()) writeOldest();
  machine.ProcessEvent({CaptureSignal::Drained, 0});
  listeners.TellCaptureStopped();
  summary.Add("capture",
              Format("%zu packets of %zu frames through a pool of %zu buffers (%zu free, %zu in use "
                     "at the end); a packet before the start %s",
                     kPackets, kFramesPerPacket, audioPool->QueueCapacity(), audioPool->GetFreeQueueSize(),
                     audioPool->GetUsedQueueSize(), earlyPacketRefused ? "was refused" : "was NOT refused"));
  return allWritten && earlyPacketRefused;
}

bool ReadWaveFile(const std::string& path, const std::string& written) {
  //! [WaveFileBuffer read]
  Melvo::WaveFileBuffer reader;
  Melvo::WaveFileBuffer::WaveFileParams params;
  if (!reader.Load(path) || !reader.GetWaveFileParams(params)) return false;
  summary.Add("WAVE file",
              Format("%s: %u Hz, %d channels, %d bits, %lld audio bytes, %.3f s", path.c_str(),
                     params.sampleRate, params.numChannels, params.bitsPerSample,
                     static_cast<long long>(reader.GetAudioDataSize()), reader.GetDecimalSecondsInFile()));

  std::vector<char> block(16384);
  std::uint32_t got = 0;
  std::string readBack;
  while (reader.ReadDataFromFile(block.data(), got, static_cast<std::uint32_t>(block.size()))) {
    readBack.append(block.data(), got);
  }
  //! [WaveFileBuffer read]
  const bool same = readBack == written;
  summary.Add("read back", Format("%zu bytes in blocks of %zu, %s", readBack.size(), block.size(),
                                  same ? "the same as written" : "DIFFERENT from what was written"));
  return same;
}

// Checksums the recording and copies it; the copy replaces its destination only once it is complete
// and its own checksum matches the recording's. The callback could stop the work between blocks.
bool CopyVerified(const boost::filesystem::path& recording, const boost::filesystem::path& copy) {
  //! [FileIntegrity]
  std::uint32_t checksum = 0;
  std::string error;
  if (!Melvo::ComputeCRC32Checksum(recording, checksum, error, {})) {
    std::printf("checksum failed: %s\n", error.c_str());
    return false;
  }
  int checks = 0;
  const auto keepGoing = [&checks] {
    ++checks;
    return false;
  };
  if (!Melvo::FileCopyWithCRC32(recording, copy, checksum, error, keepGoing)) {
    std::printf("copy failed: %s\n", error.c_str());
    return false;
  }
  //! [FileIntegrity]
  summary.Add("verified copy", Format("%s, CRC-32 %08x proven (%d interruption checks)",
                                      copy.string().c_str(), static_cast<unsigned>(checksum), checks));
  return true;
}

// Versions order component by component, numbers as numbers.
void CompareVersions() {
  //! [Version]
  const Melvo::Version ours(Melvo::ApplicationInfo::Version());
  std::string lines;
  for (const char* other : {"0.9.12", "1.0.0", "1.0.0-rc1", "1.10"}) {
    const char* order = ours < other ? "<" : ours == other ? "=" : ">";
    lines += Format("%s%s %s %s", lines.empty() ? "" : ", ", ours.toString().c_str(), order, other);
  }
  //! [Version]
  summary.Add("versions", lines);
}

// A host's settings arrive as text: here a list of the channels to record, written in any case and
// with repeats, and the name of the file to record to.
void ReadSettings(const std::string& recording) {
  //! [StringUtils]
  std::vector<std::string> channels;
  Melvo::ParseDelimited("Left;right;LEFT;Centre", ";", channels, false, true);  // Left, right, Centre
  const bool isWave = Melvo::EndsWith(Melvo::ToLowercase(recording), ".wav");
  const std::wstring title = Melvo::Utf8ToWString("Plinth D\u00e9mo");  // one wchar_t per character
  //! [StringUtils]
  std::string list;
  for (const std::string& channel : channels) list += (list.empty() ? "" : ", ") + channel;
  summary.Add("settings", Format("channels %s; %s; a title of %zu characters", list.c_str(),
                                 isWave ? "records to a WAVE file" : "NOT a WAVE file name", title.size()));
}

}  // namespace

int main(int argc, char** argv) {
  //! [Start-up]
  StartLogging();
  summary.Add("start-up", "logging, then application information, then the crash handler");
  if (!DescribeApplication(argc, argv)) return 1;
  const auto crashObserver = SetUpCrashHandler();
  if (!crashObserver) return 1;
  //! [Start-up]
  UseBuffer();

  const boost::filesystem::path recordings =
      Melvo::ApplicationInfo::GetContentPath(Melvo::ContentFolderType::Recordings);
  const std::string recording = (recordings / "capture.wav").string();
  ReadSettings(recording);
  CaptureListeners listeners;
  const auto listener = std::make_shared<SummaryListener>();
  listeners.AddObserver(listener);
  std::string written;
  const bool worked = CaptureToWaveFile(recording, written, listeners) && ReadWaveFile(recording, written) &&
                      CopyVerified(recording, recordings / "capture-copy.wav");
  CompareVersions();
  summary.Add("files", "all under " + Melvo::ApplicationInfo::DataPath().string());
  summary.Print();
  if (!worked) {
    std::printf("the demo FAILED: see the messages above\n");
    return 1;
  }

  if (argc > 1 && std::strcmp(argv[argc - 1], "--crash") == 0) {
    // Called through a volatile pointer, so that it keeps a frame of its own in the backtrace.
    void (*volatile crash)() = &CrashOnPurpose;
    crash();
  }
  return 0;
}
