#include <Plinth/FileIntegrity.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/crc.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#endif

#include "support/LogCapture.h"
#include "support/Files.h"

namespace {

using boost::filesystem::path;
using Melvo::ComputeCRC32Checksum;
using Melvo::FileCopy;
using Melvo::FileCopyWithCRC32;
using Melvo::FilePass;
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

// Counts the checks of one operation and interrupts at check `stopAt` (never when 0); as a progress
// callback it also keeps what each check reported.
struct Checks {
  using Report = std::tuple<FilePass, std::uint64_t, std::optional<std::uint64_t>>;
  int asked = 0;
  int stopAt = 0;
  std::vector<Report> reports{};
  boost::function<bool()> Callback() {
    return [this] { return ++asked == stopAt; };
  }
  Melvo::FileProgressCallback Progress() {
    return [this](const Melvo::FileProgress& now) {
      reports.emplace_back(now.pass, now.bytesDone, now.bytesTotal);
      return ++asked == stopAt;
    };
  }
};

// The reports of a verified copy of `size` bytes, worked through one block at a time: the copy's
// before and after reading each 32768-byte block, then the checksum's before each 4096-byte block of
// the work file.
std::vector<Checks::Report> BlockReports(std::uint64_t size) {
  std::vector<Checks::Report> reports;
  for (std::uint64_t start = 0; start <= size; start += 32768) {
    reports.emplace_back(FilePass::Copy, start, size);
    reports.emplace_back(FilePass::Copy, std::min(size, start + 32768), size);
  }
  for (std::uint64_t start = 0; start <= size; start += 4096)
    reports.emplace_back(FilePass::Verify, start, size);
  return reports;
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
      if (entry.path().extension() == ".partial" && !boost::filesystem::is_directory(entry.symlink_status()))
        return true;
    }
    return false;
  }

  PlinthTest::TempFolder folder;
  std::string message = "earlier text";
};

#ifndef _WIN32
std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(boost::filesystem::directory_iterator("/proc/self/fd"),
                                                boost::filesystem::directory_iterator()));
}
#endif  // _WIN32

// Sizes around the blocks of a checksum (4096) and of a copy (32768), around the larger steps in
// which the bytes really move, and past one in-kernel copy step.
const std::size_t kSizes[] = {0,     1,      4095,   4096,   4097,   32767,        32768,
                              32769, 131071, 131072, 131073, 400000, (9 << 20) + 3};

TEST_F(FileIntegrityTest, ChecksumsAndCopiesTakeEveryByteAskingOncePerBlock) {
#ifndef _WIN32
  // On a memory file system, apart from the temporary folder's.
  const PlinthTest::TempFolder otherFileSystem("/dev/shm");
#endif
  for (const std::size_t size : kSizes) {
    SCOPED_TRACE(size);
    const std::string bytes = RandomBytes(size);
    const path source = File("source", bytes);
    Checks checksum;
    std::uint32_t crc = 1;
    ASSERT_TRUE(ComputeCRC32Checksum(source, crc, message, checksum.Callback()));
    EXPECT_EQ(crc, BoostCrc(bytes));
    EXPECT_EQ(checksum.asked, static_cast<int>(size / 4096 + 1));

    Checks copy;
    ASSERT_TRUE(FileCopy(source, folder / "copy", message, copy.Callback()));
    EXPECT_EQ(ReadAll(folder / "copy"), bytes);
    // A new file, with the permissions every new file gets.
    EXPECT_EQ(boost::filesystem::status(folder / "copy").permissions(),
              boost::filesystem::status(source).permissions());
    EXPECT_EQ(copy.asked, static_cast<int>(2 * (size / 32768 + 1)));

    Checks verified;
    ASSERT_TRUE(
        Melvo::FileCopyWithCRC32WithProgress(source, folder / "verified", crc, message, verified.Progress()));
    EXPECT_EQ(ReadAll(folder / "verified"), bytes);
    EXPECT_EQ(verified.reports, BlockReports(size));
#ifndef _WIN32
    // From another file system the kernel cannot copy, so the bytes pass through the process.
    const path elsewhere = otherFileSystem.Path() / "source";
    WriteAll(elsewhere, bytes);
    Checks throughProcess;
    ASSERT_TRUE(FileCopy(elsewhere, folder / "copy", message, throughProcess.Callback()));
    EXPECT_EQ(ReadAll(folder / "copy"), bytes);
    EXPECT_EQ(throughProcess.asked, copy.asked);
#endif
  }
  std::uint32_t crc = 1;
  EXPECT_TRUE(ComputeCRC32Checksum(File("digits", "123456789"), crc, message, kNoCallback));
  EXPECT_EQ(crc, kDigitsCrc);
  EXPECT_EQ(message, "earlier text");
}

TEST_F(FileIntegrityTest, ChecksumFailuresLeaveTheChecksumAlone) {
  const path missing = folder / "missing";
  const path digits = File("digits", "123456789");
  std::vector<std::pair<std::function<bool(std::uint32_t&)>, std::string>> cases = {
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum(path(), crc, message, kNoCallback); },
       "No input file"},
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum(missing, crc, message, kNoCallback); },
       "Failed to open " + missing.string()},
      {[&](std::uint32_t& crc) { return ComputeCRC32Checksum(digits, crc, message, [] { return true; }); },
       kInterrupted},
      {[&](std::uint32_t&) { return VerifyCRC32Checksum(missing, kDigitsCrc, message, kNoCallback); },
       "Failed to open " + missing.string()},
      {[&](std::uint32_t&) { return VerifyCRC32Checksum(digits, 1, message, kNoCallback); },
       "Checksum failure when copying: " + digits.string() + ". We expected 1 but we got 3421780262"},
      {[&](std::uint32_t&) {
         const auto stopUnlessVerifying = [](const Melvo::FileProgress& now) {
           return now.pass != FilePass::Verify;
         };
         return Melvo::VerifyCRC32ChecksumWithProgress(digits, 1, message, stopUnlessVerifying);
       },
       "Checksum failure when copying: " + digits.string() + ". We expected 1 but we got 3421780262"},
  };
#ifndef _WIN32
  // Memory at address 0 is never mapped, so reading there is a true read error.
  cases.emplace_back(
      [&](std::uint32_t& crc) { return ComputeCRC32Checksum("/proc/self/mem", crc, message, kNoCallback); },
      "Failed to read /proc/self/mem");
#endif
  for (const auto& [call, expected] : cases) {
    std::uint32_t crc = 77;
    message.clear();
    EXPECT_FALSE(call(crc)) << expected;
    EXPECT_EQ(message, expected);
    EXPECT_EQ(crc, 77u) << expected;
  }
  std::uint32_t crc = 0;
  EXPECT_FALSE(ComputeCRC32Checksum(File("empty", ""), crc, message, [] { return true; }));

  // Stopped at any check, of the first read step or a later one, it asks no further.
  const path file = File("data", RandomBytes(300000));  // 74 checks, over three read steps
  for (const int stopAt : {1, 2, 32, 33, 34, 74}) {
    Checks checks{0, stopAt};
    EXPECT_FALSE(ComputeCRC32Checksum(file, crc, message, checks.Callback()));
    EXPECT_EQ(checks.asked, stopAt);
    EXPECT_EQ(message, kInterrupted);
    Checks reported{0, stopAt};
    EXPECT_FALSE(Melvo::ComputeCRC32ChecksumWithProgress(file, crc, message, reported.Progress()));
    EXPECT_EQ(reported.reports.back(), Checks::Report(FilePass::Checksum, (stopAt - 1) * 4096, 300000));
  }
}

TEST_F(FileIntegrityTest, EveryCheckCallsAFreshCopyOfTheCallable) {
  const path file = File("data", RandomBytes(100000));
  // Counting in itself, it would interrupt from its third call on.
  const auto selfCounting = [calls = 0]() mutable { return ++calls >= 3; };
  std::uint32_t crc = 0;
  EXPECT_TRUE(ComputeCRC32Checksum(file, crc, message, selfCounting));
  EXPECT_TRUE(FileCopyWithCRC32(file, folder / "copy", crc, message, selfCounting));
  int shared = 0;
  EXPECT_FALSE(ComputeCRC32Checksum(file, crc, message, [&shared] { return ++shared >= 3; }));
  EXPECT_EQ(shared, 3);
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
  const path directory = folder / "directory";
  boost::filesystem::create_directories(directory / "inside");
  // The system's own words for a file renamed over a folder.
  boost::filesystem::remove(folder / "probe");
  const std::uint32_t right = BoostCrc(sourceBytes);
  struct Case {
    path from, to;
    int stopAt;
    std::string expected;
    std::uint32_t expectedCrc;  // for the verified copy
    bool verifiedOnly;
  };
  std::vector<Case> cases = {
      {"", destination, 0, "No source file provided", right, false},
      {source, "", 0, "No destination file provided", right, false},
      {missing, destination, 0, "Fail to open source file: " + missing.string(), right, false},
      {source, missing / "copy", 0, "Fail to open destionation file: " + (missing / "copy.partial").string(),
       right, false},
      {source, destination, 1, kInterrupted, right, false},
      {source, destination, 2, kInterrupted, right, false},
      {source, destination, 9, kInterrupted, right, false},
      {source, destination, 22, kInterrupted, right, true},  // the first check of the checksum
      {source, destination, 0,
       "Checksum failure when copying: " + destination.string() + ".partial. We expected 1 but we got " +
           std::to_string(right),
       1, true},
      {source, directory, 0, "Fail to replace destination: " + directory.string() + " is not a regular file",
       right, false},
  };
#ifndef _WIN32
  cases.push_back({"/proc/self/mem", destination, 0, "Fail to read file: /proc/self/mem", right, false});
  // The kernel reports this file's size as 0, yet reading it gives text: the sizes differ, which
  // fails without a message.
  cases.push_back({"/proc/self/status", destination, 0, "earlier text", right, false});
  const std::size_t descriptors = OpenDescriptors();
#endif
  for (const Case& c : cases) {
    for (const int form : {0, 1, 2}) {  // FileCopy, FileCopyWithCRC32, and that with progress
      if (c.verifiedOnly && form == 0) continue;
      SCOPED_TRACE(c.expected);
      WriteAll(destination, "old content");
      message = "earlier text";
      Checks checks{0, c.stopAt};
      const bool copied =
          form == 2
              ? Melvo::FileCopyWithCRC32WithProgress(c.from, c.to, c.expectedCrc, message, checks.Progress())
          : form == 1 ? FileCopyWithCRC32(c.from, c.to, c.expectedCrc, message, checks.Callback())
                      : FileCopy(c.from, c.to, message, checks.Callback());
      EXPECT_FALSE(copied);
      EXPECT_EQ(message, c.expected);
      EXPECT_EQ(ReadAll(destination), "old content");
      EXPECT_FALSE(HasWorkFile());
      if (c.stopAt != 0) {
        EXPECT_EQ(checks.asked, c.stopAt);
      }
    }
  }
#ifndef _WIN32
  EXPECT_EQ(OpenDescriptors(), descriptors) << "every file is closed on every way out";
#endif
}

TEST_F(FileIntegrityTest, CopyNeverWritesThroughAWorkFileThatIsNotItsOwn) {
  // The source is itself the work file of the destination: truncating it would lose it.
  const path source = File("data.partial", "precious");
  EXPECT_FALSE(FileCopy(source, folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + source.string());
  EXPECT_EQ(ReadAll(source), "precious");
  boost::filesystem::remove(source);

  // A folder in the work file's place is neither written into nor removed.
  boost::filesystem::create_directory(folder / "data.partial");
  EXPECT_FALSE(FileCopy(File("source", "new"), folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + (folder / "data.partial").string());
  EXPECT_TRUE(boost::filesystem::is_directory(folder / "data.partial"));
  boost::filesystem::remove(folder / "data.partial");

#ifndef _WIN32
  // A link found in the work file's place is not followed.
  const path other = File("other", "untouched");
  boost::filesystem::create_symlink(other, folder / "data.partial");
  EXPECT_FALSE(FileCopy(folder / "source", folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + (folder / "data.partial").string());
  EXPECT_EQ(ReadAll(other), "untouched");
  boost::filesystem::remove(folder / "data.partial");

  // A pipe in the work file's place opens (a reader waits on it) but cannot be truncated.
  ASSERT_EQ(::mkfifo((folder / "data.partial").c_str(), 0600), 0);
  const int reader = ::open((folder / "data.partial").c_str(), O_RDONLY | O_NONBLOCK);
  message = "earlier text";
  EXPECT_FALSE(FileCopy(folder / "source", folder / "data", message, kNoCallback));
  EXPECT_EQ(message, "Fail to open destionation file: " + (folder / "data.partial").string());
  ::close(reader);
#endif
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

TEST_F(FileIntegrityTest, CallsRunAtOnceOnSeveralThreads) {
  const std::string bytes = RandomBytes(200000);
  const path source = File("source", bytes);
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, copy = folder.Path() / ("copy" + std::to_string(i))] {
      std::string text;
      std::uint32_t crc = 0;
      succeeded += FileCopyWithCRC32(source, copy, BoostCrc(bytes), text, kNoCallback) &&
                   ComputeCRC32Checksum(copy, crc, text, kNoCallback) && crc == BoostCrc(bytes);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded, 4);
}

#ifdef _WIN32
// A file that another handle holds without sharing cannot be opened: not as the source, nor as the
// work file, nor replaced as the destination.
TEST_F(FileIntegrityTest, FilesHeldWithoutSharingStopTheWorkCleanly) {
  const auto holdExclusively = [](const path& file) {
    return ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const path source = File("source", "content");
  const path destination = File("destination", "old content");
  const path work = folder / "destination.partial";
  const std::pair<path, std::string> cases[] = {
      {source, "Fail to open source file: " + source.string()},
      {work, "Fail to open destionation file: " + work.string()},
      {destination, ""},  // the rename fails, in the system's words
  };
  for (const auto& [held, expected] : cases) {
    SCOPED_TRACE(held.string());
    const HANDLE handle = holdExclusively(held);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    message = "earlier text";
    EXPECT_FALSE(FileCopyWithCRC32(source, destination, BoostCrc("content"), message, kNoCallback));
    EXPECT_TRUE(expected.empty() ? message != "earlier text" : message == expected) << message;
    ::CloseHandle(handle);
    EXPECT_EQ(ReadAll(destination), "old content");
    // A work file that someone else holds is not the copy's own to remove.
    EXPECT_EQ(boost::filesystem::remove(work), held == work);
  }
  const HANDLE handle = holdExclusively(source);
  std::uint32_t crc = 0;
  EXPECT_FALSE(ComputeCRC32Checksum(source, crc, message, kNoCallback));
  EXPECT_EQ(message, "Failed to open " + source.string());
  ::CloseHandle(handle);
}
#else
// Leaves root's powers, so that file permissions apply.
void BecomeNobody() {
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
}

TEST_F(FileIntegrityTest, UnreadableFilesFailToOpen) {
  const path source = File("source", "secret");
  boost::filesystem::permissions(source, boost::filesystem::no_perms);
  boost::filesystem::permissions(folder.Path(), boost::filesystem::all_all);
  PlinthTest::RunInChildProcess([&] {
    BecomeNobody();
    std::uint32_t crc = 0;
    EXPECT_FALSE(ComputeCRC32Checksum(source, crc, message, kNoCallback));
    EXPECT_EQ(message, "Failed to open " + source.string());
    EXPECT_FALSE(FileCopy(source, folder / "copy", message, kNoCallback));
    EXPECT_EQ(message, "Fail to open source file: " + source.string());
  });
}

// The copy is private before its first byte whenever the source is: it takes the source's
// permission bits less the umask's, whatever the destination had before.
TEST_F(FileIntegrityTest, CopiesTakeTheSourcesPermissionsBeforeTheirFirstByte) {
  const struct {
    mode_t source;
    mode_t umask;
    mode_t copy;
  } cases[] = {{0600, 022, 0600}, {0755, 022, 0755}, {0644, 077, 0600}, {0666, 002, 0664}};
  for (const auto& c : cases) {
    PlinthTest::RunInChildProcess([&] {
      ::umask(c.umask);
      const path source = File("source", RandomBytes(100000));
      ::chmod(source.c_str(), c.source);
      const path destination = File("destination", "old");
      ::chmod(destination.c_str(), 0666);
      mode_t whileCopying = 0;
      const boost::function<bool()> look = [&] {
        struct stat status {};
        if (whileCopying == 0 && ::stat((destination.string() + ".partial").c_str(), &status) == 0)
          whileCopying = status.st_mode & 07777;
        return false;
      };
      EXPECT_TRUE(FileCopy(source, destination, message, look)) << message;
      struct stat status {};
      ::stat(destination.c_str(), &status);
      EXPECT_EQ(status.st_mode & 07777, c.copy) << std::oct << c.source << " under umask " << c.umask;
      EXPECT_EQ(whileCopying, c.copy);
    });
  }
}

// A destination that is not a regular file, or a link to one, is left as it is: no work file. A
// file the rename may not replace fails with the system's text.
TEST_F(FileIntegrityTest, CopiesNeverReplaceWhatIsNotAFile) {
  const path source = File("source", "bytes");
  const path fifo = folder / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const path device = folder / "null";
  boost::filesystem::create_symlink("/dev/null", device);
  for (const path& destination : {fifo, device}) {
    EXPECT_FALSE(FileCopy(source, destination, message, kNoCallback));
    EXPECT_EQ(message, "Fail to replace destination: " + destination.string() + " is not a regular file");
  }
  EXPECT_EQ(boost::filesystem::status(fifo).type(), boost::filesystem::fifo_file);
  EXPECT_TRUE(boost::filesystem::is_symlink(device));

  const path othersFile = File("others", "theirs");
  ::chmod(folder.Path().c_str(), 01777);
  PlinthTest::RunInChildProcess([&] {
    BecomeNobody();
    EXPECT_FALSE(FileCopy(source, othersFile, message, kNoCallback));
    EXPECT_EQ(message, std::generic_category().message(EPERM));
  });
  EXPECT_EQ(ReadAll(othersFile), "theirs");
}

// Holes stay holes, at the start, in the middle and at the end of the file, with every byte the
// same and the callback asked as for any file of that size.
TEST_F(FileIntegrityTest, SparseFilesStaySparse) {
  constexpr off_t kSize = 64 << 20;
  const path source = folder / "sparse";
  const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0600);
  for (const off_t at : {off_t{20 << 20}, off_t{40 << 20}}) ASSERT_EQ(::pwrite(fd, "island", 6, at), 6);
  ASSERT_EQ(::ftruncate(fd, kSize), 0);
  ::close(fd);
  const path copy = folder / "copy";
  Checks checks;
  ASSERT_TRUE(FileCopy(source, copy, message, checks.Callback())) << message;
  EXPECT_EQ(checks.asked, 2 * (kSize / 32768 + 1));
  EXPECT_EQ(ReadAll(copy), ReadAll(source));
  struct stat status {};
  ::stat(copy.c_str(), &status);
  EXPECT_LT(status.st_blocks * 512, 1 << 20) << "the holes were filled";
}

TEST_F(FileIntegrityTest, WriteFailuresMidCopyRemoveTheWorkFile) {
  const path source = File("source", RandomBytes(1 << 20));
  const path destination = File("destination", "old content");
  PlinthTest::RunInChildProcess([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{300000, 300000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_FALSE(FileCopy(source, destination, message, kNoCallback));
    EXPECT_EQ(message, "Fail to write file: " + destination.string() + ".partial");
  });
  EXPECT_EQ(ReadAll(destination), "old content");
}

TEST_F(FileIntegrityTest, CopyKilledHalfWayLeavesTheDestinationWhole) {
  const std::string bytes = RandomBytes(16 << 20);
  const path source = File("source", bytes);
  const path destination = File("destination", "old content");
  const int status = PlinthTest::RunInChild([&] {
    int checks = 0;
    FileCopy(source, destination, message, [&] { return ++checks == 256 && ::raise(SIGKILL) != 0; });
  });
  EXPECT_EQ(PlinthTest::DescribeWaitStatus(status), "signal 9");
  const auto written = boost::filesystem::file_size(folder / "destination.partial");
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, bytes.size());
  EXPECT_EQ(ReadAll(destination), "old content");
  // The next copy takes the work file over.
  EXPECT_TRUE(FileCopyWithCRC32(source, destination, BoostCrc(bytes), message, kNoCallback));
  EXPECT_EQ(ReadAll(destination), bytes);
}

TEST_F(FileIntegrityTest, ChecksumOfAPipeRidesOutSignals) {
  const path fifo = folder / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = RandomBytes(1 << 20);
  PlinthTest::RunInChildProcess([&] {
    // A slow writer, so that opening and reading wait, while signals without SA_RESTART keep
    // breaking into the waits.
    if (::fork() == 0) {
      ::alarm(10);  // never outlives a reader that gave up
      ::usleep(20000);
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      // Pieces that do not divide the read chunk, so that reads come back short.
      for (std::size_t done = 0; done < bytes.size(); ::usleep(100)) {
        const ssize_t put =
            ::write(fd, bytes.data() + done, std::min<std::size_t>(1000, bytes.size() - done));
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
    // A pipe has no size to report: a total would stop the checksum.
    const auto stopOnTotal = [](const Melvo::FileProgress& now) { return now.bytesTotal.has_value(); };
    EXPECT_TRUE(Melvo::ComputeCRC32ChecksumWithProgress(fifo, crc, message, stopOnTotal)) << message;
    EXPECT_EQ(crc, BoostCrc(bytes));

    // Only a failed call is retried, whatever errno an earlier call left: a host without standard
    // input gets descriptor 0 back, which must not make the file open a second time, and a copy
    // that reaches the end of its source must not retry forever.
    const path digits = File("digits", "123456789");
    ::close(0);
    errno = EINTR;
    EXPECT_TRUE(ComputeCRC32Checksum(digits, crc, message, kNoCallback));
    EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "descriptor 0 was left open";
    errno = EINTR;
    EXPECT_TRUE(FileCopy(digits, folder / "copy", message, kNoCallback));
  });
}
#endif  // _WIN32

}  // namespace
