#include <Plinth/FileIntegrity.h>

#include <functional>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/crc.hpp>
#include <boost/filesystem/operations.hpp>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#endif

#include "support/Files.h"

namespace {

namespace fs = boost::filesystem;
using fs::path;
using namespace Melvo;
using PlinthTest::RandomBytes;
using PlinthTest::ReadFile;
using PlinthTest::WriteFile;

const std::string kInterrupted = "File operation interrupted";
const boost::function<bool()> kNever;  // an empty callback never interrupts

std::uint32_t BoostCrc(const std::string& bytes) {
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  return crc.checksum();
}

// Counts the checks of one operation and interrupts at check `stopAt` (never when 0); as a progress
// callback it also keeps what each check reported.
struct Checks {
  using Report = std::tuple<FilePass, std::uint64_t, std::optional<std::uint64_t>>;
  int stopAt = 0;
  int asked = 0;
  std::vector<Report> reports{};
  boost::function<bool()> Callback() {
    return [this] { return ++asked == stopAt; };
  }
  FileProgressCallback Progress() {
    return [this](const FileProgress& now) {
      reports.emplace_back(now.pass, now.bytesDone, now.bytesTotal);
      return ++asked == stopAt;
    };
  }
};

// Appends the reports of a pass over `size` bytes worked through one block at a time: before each
// 4096-byte block of a checksum; before and after reading each 32768-byte block of a copy.
void AddBlockReports(std::vector<Checks::Report>& reports, FilePass pass, std::uint64_t size) {
  const std::uint64_t block = pass == FilePass::Copy ? 32768 : 4096;
  for (std::uint64_t start = 0; start <= size; start += block) {
    reports.emplace_back(pass, start, size);
    if (pass == FilePass::Copy) reports.emplace_back(pass, std::min(size, start + block), size);
  }
}

class FileIntegrityTest : public testing::Test {
 protected:
  void TearDown() override {
    for (const auto& entry : fs::recursive_directory_iterator(folder.Path()))
      EXPECT_NE(entry.path().extension(), ".partial") << "a work file was left behind";
  }
  path File(const char* name, const std::string& bytes) const {
    WriteFile(folder / name, bytes);
    return folder / name;
  }

  PlinthTest::TempFolder folder;
  std::string message = "earlier text";
};

TEST_F(FileIntegrityTest, ChecksumsAndCopiesTakeEveryByteAndReportEveryBlock) {
#ifdef _WIN32
  const PlinthTest::TempFolder elsewhere;
#else
  // A memory file system: from there the kernel cannot copy, so the bytes pass through the process.
  const PlinthTest::TempFolder elsewhere("/dev/shm");
#endif
  File("copy.partial", RandomBytes(200000));  // left by an earlier copy: cut to size
  // Sizes around the blocks of a checksum and of a copy, around the larger steps in which the bytes
  // really move, and past one in-kernel copy step.
  for (const std::size_t size :
       {0, 1, 4095, 4096, 4097, 32767, 32768, 32769, 131071, 131072, 131073, 400000, (9 << 20) + 3}) {
    SCOPED_TRACE(size);
    const std::string bytes = RandomBytes(size);
    const path source = File("source", bytes);
    std::vector<Checks::Report> checksumReports, copyReports;
    AddBlockReports(checksumReports, FilePass::Checksum, size);
    AddBlockReports(copyReports, FilePass::Copy, size);
    Checks checksum, copy, otherCopy, verified;
    std::uint32_t crc = 1;
    ASSERT_TRUE(ComputeCRC32ChecksumWithProgress(source, crc, message, checksum.Progress()));
    EXPECT_EQ(crc, BoostCrc(bytes));
    EXPECT_EQ(checksum.reports, checksumReports);
    ASSERT_TRUE(FileCopy(source, folder / "copy", message, copy.Callback()));
    EXPECT_EQ(copy.asked, static_cast<int>(copyReports.size()));
    WriteFile(elsewhere / "source", bytes);
    ASSERT_TRUE(FileCopyWithProgress(elsewhere / "source", folder / "other", message, otherCopy.Progress()));
    EXPECT_EQ(otherCopy.reports, copyReports);
    ASSERT_TRUE(
        FileCopyWithCRC32WithProgress(source, folder / "verified", crc, message, verified.Progress()));
    AddBlockReports(copyReports, FilePass::Verify, size);
    EXPECT_EQ(verified.reports, copyReports);
    // Each check calls a fresh copy of the callable: counting in itself, this one never gets to 3.
    EXPECT_TRUE(FileCopyWithCRC32(source, source, crc, message, [n = 0]() mutable { return ++n >= 3; }));
    EXPECT_TRUE(VerifyCRC32Checksum(source, crc, message, kNever)) << "copied onto itself";
    for (const char* copied : {"copy", "other", "verified"}) EXPECT_EQ(ReadFile(folder / copied), bytes);
  }
  EXPECT_EQ(message, "earlier text");
}

// What the callback adds to an empty source at a check shows whether the check came before the read
// it guards (the first, whose addition is read) or after the read that found the end (a copy's
// second, whose addition makes the sizes differ, which fails without a message).
TEST_F(FileIntegrityTest, ChecksComeBeforeTheReadsTheyGuard) {
  const path source = File("source", "");
  int calls = 0, addAt = 1;
  const auto adding = [&] {
    if (++calls == addAt) WriteFile(source, "123456789");
    return false;
  };
  std::uint32_t crc = 0;
  EXPECT_TRUE(ComputeCRC32Checksum(source, crc, message, adding));
  EXPECT_EQ(crc, BoostCrc("123456789"));
  for (; addAt <= 2; ++addAt) {
    WriteFile(source, "");
    calls = 0;
    EXPECT_EQ(FileCopy(source, folder / "copy", message, adding), addAt == 1);
    EXPECT_EQ(ReadFile(folder / "copy"), "123456789");  // the first copy's
  }
  EXPECT_EQ(message, "earlier text");
}

// Every way a checksum or a copy fails: false with the exact text, the checksum and the destination
// untouched, the work file removed unless something else stood in its place, no file left open.
TEST_F(FileIntegrityTest, FailuresLeaveTheChecksumAndTheDestinationAlone) {
  const std::string bytes = RandomBytes(300000);  // 10 copy blocks (20 checks), 74 checksum blocks
  const path source = File("source", bytes), missing = folder / "missing", to = folder / "destination",
             work = folder / "destination.partial", other = File("other", "untouched");
  const std::string occupied = "Fail to open destionation file: " + work.string();
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", folder / "null");
#endif
  std::uint32_t crc = 0;
  Checks checks;
  const auto copy = [&](const path& from, const path& into) {
    return [&, from, into] { return FileCopy(from, into, message, checks.Callback()); };
  };
  const auto checksum = [&](const path& file) {
    return [&, file] { return ComputeCRC32Checksum(file, crc, message, checks.Callback()); };
  };
  const auto verified = [&] {
    return FileCopyWithCRC32WithProgress(source, to, 1, message, checks.Progress());
  };
  struct Row {
    std::string expected;
    std::function<bool()> call;
    int stopAt = 0;
    std::function<void()> inChild = nullptr;  // prepares a child process to run the call in
    fs::file_type left = fs::file_not_found;  // in the work file's place afterwards
  };
  std::vector<Row> rows = {
      {"No input file", checksum(path())},
      {"Failed to open " + missing.string(), checksum(missing)},
      {"No source file provided", copy("", to)},
      {"No destination file provided", copy(source, "")},
      {"Fail to open source file: " + missing.string(), copy(missing, to)},
      {"Fail to open destionation file: " + (missing / "to.partial").string(), copy(source, missing / "to")},
      {"Checksum failure when copying: " + work.string() + ". We expected 1 but we got " +
           std::to_string(BoostCrc(bytes)),
       verified},
      {kInterrupted, verified, 22},  // the first check of the checksum
      // Neither written through nor removed: the source itself, or a folder, in the work file's place.
      {occupied, [&] { return WriteFile(work, "mine"), copy(work, to)() || ReadFile(work) != "mine"; }, 0,
       nullptr, fs::regular_file},
      {occupied, [&] { return fs::create_directory(work) && copy(source, to)(); }, 0, nullptr,
       fs::directory_file},
  };
  // Stopped at any check, of the first read step or a later one, it asks no further.
  for (const int stopAt : {1, 2, 32, 33, 34, 74}) rows.push_back({kInterrupted, checksum(source), stopAt});
  for (const int stopAt : {1, 2, 9}) rows.push_back({kInterrupted, copy(source, to), stopAt});
  for (const path& into : std::vector<path>{folder.Path(), folder / "fifo", folder / "null"}) {
    if (fs::exists(into))  // the pipe and the link to a device on POSIX only
      rows.push_back(
          {"Fail to replace destination: " + into.string() + " is not a regular file", copy(source, into)});
  }
#ifdef _WIN32
  // A file that another handle holds without sharing cannot be opened, nor replaced.
  const auto held = [&](const path& file, const std::function<bool()>& call) {
    return [&, file, call] {
      const HANDLE handle =
          ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      const bool done = call();
      return ::CloseHandle(handle) && done;
    };
  };
  rows.push_back({"Failed to open " + source.string(), held(source, checksum(source))});
  rows.push_back({"Fail to open source file: " + source.string(), held(source, copy(source, to))});
  rows.push_back({occupied, held(work, copy(source, to)), 0, nullptr, fs::regular_file});
  rows.push_back({"", held(to, copy(source, to))});  // the rename fails, in the system's words
#else
  // A link is not followed; a pipe opens for writing (a reader waits on it) but cannot be truncated,
  // so the copy took it for its work file and removes it.
  rows.push_back({occupied, [&] { return fs::create_symlink(other, work), copy(source, to)(); }, 0, nullptr,
                  fs::symlink_file});
  rows.push_back({occupied, [&] {
                    ::mkfifo(work.c_str(), 0600);
                    const int reader = ::open(work.c_str(), O_RDONLY | O_NONBLOCK);
                    return copy(source, to)() || ::close(reader) != 0;
                  }});
  // Memory at address 0 is never mapped, so reading there is a true read error; its size reads as 0,
  // so a copy that missed the failure would create an empty file.
  rows.push_back({"Failed to read /proc/self/mem", checksum("/proc/self/mem")});
  rows.push_back({"Fail to read file: /proc/self/mem", copy("/proc/self/mem", to)});
  // Its size reads as 0, yet reading it gives text: the sizes differ, which fails without a message.
  rows.push_back({"earlier text", copy("/proc/self/status", to)});
  // Under a file-size limit of 0 the first write fails; only that failure tells this copy of a
  // source whose size reads as 0 from one of an empty file.
  const auto noFileSize = [] {
    const rlimit none{0, 0};
    ASSERT_TRUE(std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &none) == 0);
  };
  rows.push_back({"Fail to write file: " + work.string(), copy("/proc/self/status", to), 0, noFileSize});
  // Only a failed open is retried, whatever errno an earlier call left: a host without standard input
  // gets descriptor 0 back, which must not make the file open a second time.
  const auto staleErrno = [] { errno = ::close(0) == 0 ? EINTR : 0; };
  rows.push_back({"earlier text",
                  [&] { return copy("/proc/self/status", to)() || ::fcntl(0, F_GETFD) != -1; }, 0,
                  staleErrno});
  // Without root's powers: a file nobody may read, and root's file in a sticky folder.
  const path secret = File("secret", "secret");
  fs::permissions(secret, fs::no_perms);
  ::chmod(folder.Path().c_str(), 01777);
  const auto nobody = [] { ASSERT_TRUE(::setgid(65534) == 0 && ::setuid(65534) == 0); };
  rows.push_back({"Failed to open " + secret.string(), checksum(secret), 0, nobody});
  rows.push_back({"Fail to open source file: " + secret.string(), copy(secret, to), 0, nobody});
  rows.push_back({std::generic_category().message(EPERM), copy(source, to), 0, nobody});
  const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected + " at check " + std::to_string(row.stopAt));
    WriteFile(to, "old content");
    const auto run = [&] {
      if (row.inChild) row.inChild();
      message = "earlier text";
      crc = 77;
      checks = Checks{row.stopAt};
      EXPECT_FALSE(row.call());
      EXPECT_TRUE(row.expected.empty() ? message != "earlier text" : message == row.expected) << message;
      EXPECT_EQ(crc, 77u);
      EXPECT_TRUE(row.stopAt == 0 || checks.asked == row.stopAt) << checks.asked << " checks";
    };
#ifndef _WIN32
    if (row.inChild) {
      PlinthTest::RunInChildProcess(run);
    }
#endif
    if (!row.inChild) run();
    EXPECT_EQ(ReadFile(to) + ReadFile(other), "old contentuntouched");
    EXPECT_EQ(fs::symlink_status(work).type(), row.left);
    fs::remove(work);
  }
#ifndef _WIN32
  EXPECT_EQ(fs::status(folder / "fifo").type(), fs::fifo_file);
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()), descriptors)
      << "every file is closed on every way out";
#endif
}

#ifndef _WIN32
// The copy takes the source's permission bits less the umask's, whatever the destination had, and
// before its first byte: a private file is never readable by others, not even half-copied.
TEST_F(FileIntegrityTest, CopiesTakeTheSourcesPermissionsBeforeTheirFirstByte) {
  for (const auto& [sourceMode, umask, copyMode] : {std::tuple{0755, 022, 0755}, {0644, 077, 0600}}) {
    PlinthTest::RunInChildProcess([&, sourceMode = sourceMode, umask = umask, copyMode = copyMode] {
      ::umask(umask);
      const path source = File("source", RandomBytes(100000)), destination = File("destination", "old");
      ::chmod(source.c_str(), sourceMode);
      ::chmod(destination.c_str(), 0666);
      struct stat copying {
      }, copied{};
      const auto look = [&] { return ::stat((destination.string() + ".partial").c_str(), &copying), false; };
      EXPECT_TRUE(FileCopy(source, destination, message, look) && ::stat(destination.c_str(), &copied) == 0);
      EXPECT_EQ(copying.st_mode & 07777, copyMode) << std::oct << sourceMode << " under umask " << umask;
      EXPECT_EQ(copied.st_mode & 07777, copyMode);
    });
  }
}

// Holes stay holes, at the start, in the middle and at the end, past one in-kernel copy step, with
// every byte the same and the callback asked as for any file of that size.
TEST_F(FileIntegrityTest, SparseFilesStaySparse) {
  const path source = folder / "sparse", copy = folder / "copy";
  const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_TRUE(::pwrite(fd, "island", 6, 6 << 20) == 6 && ::pwrite(fd, "island", 6, 12 << 20) == 6);
  ASSERT_EQ(::ftruncate(fd, 24 << 20) + ::close(fd), 0);
  Checks checks;
  ASSERT_TRUE(FileCopy(source, copy, message, checks.Callback())) << message;
  EXPECT_EQ(checks.asked, 2 * ((24 << 20) / 32768 + 1));
  EXPECT_EQ(ReadFile(copy), ReadFile(source));
  struct stat status {};
  EXPECT_TRUE(::stat(copy.c_str(), &status) == 0 && status.st_blocks * 512 < (1 << 20))
      << "holes were filled";
}
#endif  // _WIN32

}  // namespace
