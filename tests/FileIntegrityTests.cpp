#include <Plinth/FileIntegrity.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/crc.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include "support/LogCapture.h"
#include "support/TempFolder.h"

namespace {

using boost::filesystem::path;
using Melvo::ComputeCRC32Checksum;
using Melvo::FileCopy;
using Melvo::FileCopyWithCRC32;
using Melvo::VerifyCRC32Checksum;

constexpr std::uint32_t kDigitsCrc = 0xCBF43926;  // of "123456789"
const std::string kInterrupted = "File operation interrupted";
const boost::function<bool()> kNoCallback;  // never interrupts

std::string ReadAll(const path& file) {
  boost::filesystem::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const path& file, const std::string& bytes) {
  boost::filesystem::ofstream(file, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string RandomBytes(std::size_t size) {
  static std::mt19937_64 random(1206);
  std::string bytes(size + 8, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(&bytes[i], &word, 8);
  }
  bytes.resize(size);
  return bytes;
}

std::uint32_t BoostCrc(const std::string& bytes) {
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  return crc.checksum();
}

// Counts the checks of one operation and interrupts at check `stopAt` (never when 0).
struct Checks {
  int asked = 0;
  int stopAt = 0;
  boost::function<bool()> Callback() {
    return [this] { return ++asked == stopAt; };
  }
};

// Runs `work` in a child process and gives the text it returned; the child's own state (limits,
// user, signals) dies with it.
std::string InChild(const std::function<std::string()>& work) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    const std::string text = work();
    const bool sent = ::write(pipeEnds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipeEnds[1]);
  std::string text;
  char piece[256];
  for (ssize_t got; (got = ::read(pipeEnds[0], piece, sizeof piece)) != 0;) {
    if (got > 0)
      text.append(piece, static_cast<std::size_t>(got));
    else if (errno != EINTR)
      break;
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return text;
}

// Leaves root's powers, so that file permissions apply.
void BecomeNobody() {
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
}

// A folder in /dev/shm, a memory file system apart from the temporary folder's; empty when there
// is none.
class ShmFolder {
 public:
  ShmFolder() {
    boost::system::error_code error;
    const path folder = path("/dev/shm") / boost::filesystem::unique_path("plinth-test-%%%%-%%%%");
    if (boost::filesystem::create_directory(folder, error)) path_ = folder;
  }
  ~ShmFolder() {
    boost::system::error_code ignored;
    if (!path_.empty()) boost::filesystem::remove_all(path_, ignored);
  }
  const path& Path() const { return path_; }

 private:
  path path_;
};

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(boost::filesystem::directory_iterator("/proc/self/fd"),
                                                boost::filesystem::directory_iterator()));
}

class FileIntegrityTest : public testing::Test {
 protected:
  void SetUp() override { PlinthTest::LogCapture::Take(); }
  void TearDown() override {
    EXPECT_TRUE(PlinthTest::LogCapture::Take().empty()) << "the file utilities never log";
    EXPECT_FALSE(HasWorkFile()) << "a work file was left behind";
  }

  path File(const char* name, const std::string& bytes) const {
    WriteAll(folder / name, bytes);
    return folder / name;
  }
  bool HasWorkFile() const {
    for (const auto& entry : boost::filesystem::recursive_directory_iterator(folder.Path())) {
      if (entry.path().extension() == ".partial") return true;
    }
    return false;
  }

  PlinthTest::TempFolder folder;
  std::string message = "earlier text";
};

// Sizes around the blocks of a checksum (4096) and of a copy (32768), and around the larger steps
// in which the bytes really move.
const std::size_t kSizes[] = {0, 1, 4095, 4096, 4097, 32767, 32768, 32769, 131071, 131072, 131073, 400000};

TEST_F(FileIntegrityTest, ChecksumIsTheStandardCrcAskedOncePerBlock) {
  for (const std::size_t size : kSizes) {
    const std::string bytes = RandomBytes(size);
    const path file = File("data", bytes);
    Checks checks;
    std::uint32_t crc = 1;
    ASSERT_TRUE(ComputeCRC32Checksum(file, crc, message, checks.Callback())) << size;
    EXPECT_EQ(crc, BoostCrc(bytes)) << size;
    EXPECT_EQ(checks.asked, static_cast<int>(size / 4096 + 1)) << size;
    EXPECT_TRUE(VerifyCRC32Checksum(file, crc, message, kNoCallback));
  }
  std::uint32_t crc = 1;
  EXPECT_TRUE(ComputeCRC32Checksum(File("digits", "123456789"), crc, message, kNoCallback));
  EXPECT_EQ(crc, kDigitsCrc);
  EXPECT_EQ(message, "earlier text");
}

TEST_F(FileIntegrityTest, ChecksumFailuresLeaveTheChecksumAlone) {
  const path missing = folder / "missing";
  const path digits = File("digits", "123456789");
  const std::pair<std::function<bool(std::uint32_t&)>, std::string> cases[] = {
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum(path(), crc, message, kNoCallback); },
       "No input file"},
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum(missing, crc, message, kNoCallback); },
       "Failed to open " + missing.string()},
      // Memory at address 0 is never mapped, so reading there is a true read error.
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum("/proc/self/mem", crc, message, kNoCallback); },
       "Failed to read /proc/self/mem"},
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum(digits, crc, message, [] { return true; }); },
       kInterrupted},
      {[&](std::uint32_t&) { return VerifyCRC32Checksum(missing, kDigitsCrc, message, kNoCallback); },
       "Failed to open " + missing.string()},
      {[&](std::uint32_t&) { return VerifyCRC32Checksum(digits, 1, message, kNoCallback); },
       "Checksum failure when copying: " + digits.string() + ". We expected 1 but we got 3421780262"},
  };
  for (const auto& [call, expected] : cases) {
    std::uint32_t crc = 77;
    message.clear();
    EXPECT_FALSE(call(crc)) << expected;
    EXPECT_EQ(message, expected);
    EXPECT_EQ(crc, 77u) << expected;
  }
  std::uint32_t crc = 0;
  EXPECT_FALSE(ComputeCRC32Checksum(File("empty", ""), crc, message, [] { return true; }));
}

TEST_F(FileIntegrityTest, ChecksumStopsAtTheCheckThatInterrupts) {
  const path file = File("data", RandomBytes(300000));  // 74 checks, over three read steps
  for (const int stopAt : {1, 2, 32, 33, 34, 74}) {
    Checks checks{0, stopAt};
    std::uint32_t crc = 5;
    EXPECT_FALSE(ComputeCRC32Checksum(file, crc, message, checks.Callback()));
    EXPECT_EQ(checks.asked, stopAt);
    EXPECT_EQ(message, kInterrupted);
    EXPECT_EQ(crc, 5u);
  }
}

// A callable that counts in itself and interrupts from its third call on.
struct SelfCounting {
  int calls = 0;
  bool operator()() { return ++calls >= 3; }
};

TEST_F(FileIntegrityTest, EveryCheckCallsAFreshCopyOfTheCallable) {
  const path file = File("data", RandomBytes(100000));
  std::uint32_t crc = 0;
  EXPECT_TRUE(ComputeCRC32Checksum(file, crc, message, SelfCounting()));
  EXPECT_TRUE(FileCopyWithCRC32(file, folder / "copy", crc, message, SelfCounting()));
  int shared = 0;
  EXPECT_FALSE(ComputeCRC32Checksum(file, crc, message, [&shared] { return ++shared >= 3; }));
  EXPECT_EQ(shared, 3);
}

TEST_F(FileIntegrityTest, CopiesEveryByteAskingTwicePerBlock) {
  const ShmFolder otherFileSystem;
  std::vector<std::size_t> sizes(std::begin(kSizes), std::end(kSizes));
  sizes.push_back((9 << 20) + 3);  // more than one in-kernel copy step
  for (const std::size_t size : sizes) {
    const std::string bytes = RandomBytes(size);
    const path source = File("source", bytes);
    Checks checks;
    ASSERT_TRUE(FileCopy(source, folder / "copy", message, checks.Callback())) << size;
    EXPECT_EQ(ReadAll(folder / "copy"), bytes) << size;
    // A new file, with the permissions every new file gets.
    EXPECT_EQ(boost::filesystem::status(folder / "copy").permissions(),
              boost::filesystem::status(source).permissions());
    EXPECT_EQ(checks.asked, static_cast<int>(2 * (size / 32768 + 1))) << size;

    Checks verified;
    ASSERT_TRUE(
        FileCopyWithCRC32(source, folder / "verified", BoostCrc(bytes), message, verified.Callback()));
    EXPECT_EQ(ReadAll(folder / "verified"), bytes) << size;
    EXPECT_EQ(verified.asked, static_cast<int>(2 * (size / 32768 + 1) + size / 4096 + 1)) << size;

    // From another file system the kernel cannot copy, so the bytes pass through the process.
    if (otherFileSystem.Path().empty()) continue;
    const path elsewhere = otherFileSystem.Path() / "source";
    WriteAll(elsewhere, bytes);
    Checks throughProcess;
    ASSERT_TRUE(FileCopy(elsewhere, folder / "copy", message, throughProcess.Callback())) << size;
    EXPECT_EQ(ReadAll(folder / "copy"), bytes) << size;
    EXPECT_EQ(throughProcess.asked, checks.asked) << size;
  }
  EXPECT_EQ(message, "earlier text");
}

// What the callback adds to the source at a given check shows whether the block it guards was read
// before or after that check.
TEST_F(FileIntegrityTest, EachCheckComesBeforeOrAfterTheReadItGuards) {
  const auto appendingAt = [](const path& file, int check) {
    return [file, check, calls = std::make_shared<int>(0)] {
      if (++*calls == check)
        boost::filesystem::ofstream(file, std::ios::app | std::ios::binary) << "123456789";
      return false;
    };
  };
  std::uint32_t crc = 0;
  const path empty = File("empty", "");
  EXPECT_TRUE(ComputeCRC32Checksum(empty, crc, message, appendingAt(empty, 1)));
  EXPECT_EQ(crc, kDigitsCrc);

  const path source = File("source", "");
  EXPECT_TRUE(FileCopy(source, folder / "copy", message, appendingAt(source, 1)));
  EXPECT_EQ(ReadAll(folder / "copy"), "123456789");

  // Four whole blocks, then the empty fifth is read between checks 9 and 10.
  const std::string bytes = RandomBytes(4 * 32768);
  WriteAll(source, bytes);
  EXPECT_TRUE(FileCopy(source, folder / "copy", message, appendingAt(source, 9)));
  EXPECT_EQ(ReadAll(folder / "copy"), bytes + "123456789");
  WriteAll(source, bytes);
  EXPECT_FALSE(FileCopy(source, folder / "copy", message, appendingAt(source, 10)));  // sizes differ
  EXPECT_EQ(message, "earlier text");
  EXPECT_EQ(ReadAll(folder / "copy"), bytes + "123456789");

  // Stopped at once, even a copy with nothing to move fails.
  EXPECT_FALSE(FileCopy(File("nothing", ""), folder / "copy", message, [] { return true; }));
  EXPECT_EQ(message, kInterrupted);
}

TEST_F(FileIntegrityTest, CopyReplacesTheDestinationAndReusesAStaleWorkFile) {
  const path source = File("source", RandomBytes(70000));
  const path destination = File("destination", "old content");
  File("destination.partial", RandomBytes(200000));
  EXPECT_TRUE(FileCopy(source, destination, message, kNoCallback));
  EXPECT_EQ(ReadAll(destination), ReadAll(source));
  // Onto itself: the source is read into the work file, which then takes its place.
  EXPECT_TRUE(FileCopy(source, source, message, kNoCallback));
  EXPECT_EQ(ReadAll(source), ReadAll(destination));
}

TEST_F(FileIntegrityTest, FailedCopiesKeepTheDestinationAndRemoveTheWorkFile) {
  const std::string sourceBytes = RandomBytes(300000);  // 10 copy blocks: 20 checks
  const path source = File("source", sourceBytes);
  const path destination = folder / "destination";
  const path missing = folder / "missing";
  boost::filesystem::create_directories(folder / "directory" / "inside");
  const std::string renameFailure =
      boost::system::error_code(EISDIR, boost::system::system_category()).message();
  const std::uint32_t right = BoostCrc(sourceBytes);
  struct Case {
    path from, to;
    int stopAt;
    std::string expected;
    std::uint32_t expectedCrc;  // for the verified copy
    bool verifiedOnly;
  };
  const Case cases[] = {
      {"", destination, 0, "No source file provided", right, false},
      {source, "", 0, "No destination file provided", right, false},
      {missing, destination, 0, "Fail to open source file: " + missing.string(), right, false},
      {source, missing / "copy", 0, "Fail to open destionation file: " + (missing / "copy.partial").string(),
       right, false},
      {"/proc/self/mem", destination, 0, "Fail to read file: /proc/self/mem", right, false},
      {source, destination, 1, kInterrupted, right, false},
      {source, destination, 2, kInterrupted, right, false},
      {source, destination, 9, kInterrupted, right, false},
      {source, destination, 22, kInterrupted, right, true},  // the first check of the checksum
      {source, destination, 0,
       "Checksum failure when copying: " + destination.string() + ".partial. We expected 1 but we got " +
           std::to_string(right),
       1, true},
      {source, folder / "directory", 0, renameFailure, right, false},
      // The kernel reports this file's size as 0, yet reading it gives text: the sizes differ, which
      // fails without a message.
      {"/proc/self/status", destination, 0, "earlier text", right, false},
  };
  const std::size_t descriptors = OpenDescriptors();
  for (const Case& c : cases) {
    for (const bool verified : {false, true}) {
      if (c.verifiedOnly && !verified) continue;
      WriteAll(destination, "old content");
      message = "earlier text";
      Checks checks{0, c.stopAt};
      const bool copied = verified
                              ? FileCopyWithCRC32(c.from, c.to, c.expectedCrc, message, checks.Callback())
                              : FileCopy(c.from, c.to, message, checks.Callback());
      EXPECT_FALSE(copied) << c.expected;
      EXPECT_EQ(message, c.expected);
      EXPECT_EQ(ReadAll(destination), "old content") << c.expected;
      EXPECT_FALSE(HasWorkFile()) << c.expected;
      if (c.stopAt != 0) {
        EXPECT_EQ(checks.asked, c.stopAt);
      }
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptors) << "every file is closed on every way out";
}

TEST_F(FileIntegrityTest, CopyNeverWritesThroughAWorkFileThatIsNotItsOwn) {
  // The source is itself the work file of the destination: truncating it would lose it.
  const path source = File("data.partial", "precious");
  EXPECT_FALSE(FileCopy(source, folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + source.string());
  EXPECT_EQ(ReadAll(source), "precious");
  boost::filesystem::remove(source);

  // A link found in the work file's place is not followed.
  const path other = File("other", "untouched");
  boost::filesystem::create_symlink(other, folder / "data.partial");
  EXPECT_FALSE(FileCopy(File("source", "new"), folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + (folder / "data.partial").string());
  EXPECT_EQ(ReadAll(other), "untouched");
  boost::filesystem::remove(folder / "data.partial");

  // A pipe in the work file's place opens (a reader waits on it) but cannot be truncated.
  ASSERT_EQ(::mkfifo((folder / "data.partial").c_str(), 0600), 0);
  const int reader = ::open((folder / "data.partial").c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_FALSE(FileCopy(folder / "source", folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + (folder / "data.partial").string());
  ::close(reader);
}

TEST_F(FileIntegrityTest, CallbackExceptionsPassAfterTheWorkFileIsRemoved) {
  const path destination = File("destination", "old content");
  int calls = 0;
  const auto throwing = [&calls]() -> bool {
    if (++calls == 3) throw std::runtime_error("host failure");
    return false;
  };
  EXPECT_THROW(FileCopy(File("source", RandomBytes(100000)), destination, message, throwing),
               std::runtime_error);
  EXPECT_EQ(ReadAll(destination), "old content");
}

TEST_F(FileIntegrityTest, UnreadableFilesFailToOpen) {
  const path source = File("source", "secret");
  boost::filesystem::permissions(source, boost::filesystem::no_perms);
  boost::filesystem::permissions(folder.Path(), boost::filesystem::all_all);
  const std::string result = InChild([&] {
    BecomeNobody();
    std::string checksumFailure, copyFailure;
    std::uint32_t crc = 0;
    ComputeCRC32Checksum(source, crc, checksumFailure, kNoCallback);
    FileCopy(source, folder / "copy", copyFailure, kNoCallback);
    return checksumFailure + "|" + copyFailure;
  });
  EXPECT_EQ(result, "Failed to open " + source.string() + "|Fail to open source file: " + source.string());
}

TEST_F(FileIntegrityTest, WriteFailureMidCopyRemovesTheWorkFile) {
  const path source = File("source", RandomBytes(1 << 20));
  const path destination = File("destination", "old content");
  const std::string result = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{300000, 300000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool copied = FileCopy(source, destination, message, kNoCallback);
    return (copied ? "copied: " : "") + message;
  });
  EXPECT_EQ(result, "Fail to write file: " + destination.string() + ".partial");
  EXPECT_EQ(ReadAll(destination), "old content");
}

TEST_F(FileIntegrityTest, CopyKilledHalfWayLeavesTheDestinationWhole) {
  const std::string bytes = RandomBytes(16 << 20);
  const path source = File("source", bytes);
  const path destination = File("destination", "old content");
  int progress[2];
  ASSERT_EQ(::pipe(progress), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    int checks = 0;
    FileCopy(source, destination, message, [&] {
      // Half-way, tell the parent and wait to be killed.
      if (++checks == 256 && ::write(progress[1], "!", 1) == 1) ::pause();
      return false;
    });
    ::_exit(0);
  }
  char signal = 0;
  ASSERT_EQ(::read(progress[0], &signal, 1), 1);
  const auto written = boost::filesystem::file_size(folder / "destination.partial");
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, bytes.size());
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(progress[0]);
  ::close(progress[1]);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(ReadAll(destination), "old content");
  // The next copy takes the work file over.
  EXPECT_TRUE(FileCopyWithCRC32(source, destination, BoostCrc(bytes), message, kNoCallback));
  EXPECT_EQ(ReadAll(destination), bytes);
}

TEST_F(FileIntegrityTest, ChecksumOfAPipeRidesOutSignals) {
  const path fifo = folder / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = RandomBytes(1 << 20);
  const std::string result = InChild([&] {
    // A slow writer, so that opening and reading wait, while signals without SA_RESTART keep
    // breaking into the waits.
    if (::fork() == 0) {
      ::alarm(10);  // never outlives a reader that gave up
      ::usleep(20000);
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      for (std::size_t done = 0; done < bytes.size(); ::usleep(100)) {
        const ssize_t put =
            ::write(fd, bytes.data() + done, std::min<std::size_t>(4096, bytes.size() - done));
        done += put > 0 ? static_cast<std::size_t>(put) : 0;
      }
      ::_exit(0);
    }
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &action, nullptr);
    const itimerval every{{0, 300}, {0, 300}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    std::uint32_t crc = 0;
    std::string error;
    const bool computed = ComputeCRC32Checksum(fifo, crc, error, kNoCallback);
    return computed ? std::to_string(crc) : error;
  });
  EXPECT_EQ(result, std::to_string(BoostCrc(bytes)));
}

TEST_F(FileIntegrityTest, CallsRunAtOnceOnSeveralThreads) {
  std::vector<std::thread> threads;
  std::vector<int> succeeded(4, 0);
  for (int i = 0; i < 4; ++i) {
    const std::string name = "source" + std::to_string(i);
    const std::string bytes = RandomBytes(200000 + i);
    const path source = File(name.c_str(), bytes);
    threads.emplace_back([&, i, source, bytes] {
      std::string text;
      std::uint32_t crc = 0;
      const path copy = source.string() + ".copy";
      succeeded[i] = FileCopyWithCRC32(source, copy, BoostCrc(bytes), text, kNoCallback) &&
                     ComputeCRC32Checksum(copy, crc, text, kNoCallback) && crc == BoostCrc(bytes);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded, std::vector<int>(4, 1));
}

}  // namespace
