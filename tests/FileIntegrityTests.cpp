#include <Plinth/FileIntegrity.h>

#include <functional>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/crc.hpp>
#include <boost/filesystem/operations.hpp>

#ifndef _WIN32
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
using namespace PlinthTest;

const std::string kInterrupted = "File operation interrupted";

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

// The reports of passes over `size` bytes worked through one block at a time: before each 4096-byte
// block of a checksum; before and after reading each 32768-byte block of a copy.
std::vector<Checks::Report> BlockReports(std::uint64_t size, std::initializer_list<FilePass> passes) {
  std::vector<Checks::Report> reports;
  for (const FilePass pass : passes) {
    const std::uint64_t block = pass == FilePass::Copy ? 32768 : 4096;
    for (std::uint64_t start = 0; start <= size; start += block) {
      reports.emplace_back(pass, start, size);
      if (pass == FilePass::Copy) reports.emplace_back(pass, std::min(size, start + block), size);
    }
  }
  return reports;
}

class FileIntegrityTest : public testing::Test {
 protected:
  path File(const char* name, const std::string& bytes) const {
    WriteFile(folder / name, bytes);
    return folder / name;
  }

  TempFolder folder;
  std::string message = "earlier text";
};

TEST_F(FileIntegrityTest, ChecksumsAndCopiesTakeEveryByteAndReportEveryBlock) {
#ifdef _WIN32
  const TempFolder elsewhere;
#else
  // A memory file system: from there the kernel cannot copy, so the bytes pass through the process.
  const TempFolder elsewhere("/dev/shm");
#endif
  File("copy.partial", RandomBytes(200000));  // left by an earlier copy: cut to size
  // Sizes around the blocks of a checksum and of a copy, around the larger steps in which the bytes
  // really move, and past one in-kernel copy step.
  for (const std::size_t size :
       {0, 1, 4095, 4096, 4097, 32767, 32768, 32769, 131071, 131072, 131073, 400000, (9 << 20) + 3}) {
    SCOPED_TRACE(size);
    const std::string bytes = RandomBytes(size);
    const path source = File("source", bytes);
    Checks checksum, copy, verified;
    std::uint32_t crc = 1;
    ASSERT_TRUE(ComputeCRC32ChecksumWithProgress(source, crc, message, checksum.Progress()));
    EXPECT_EQ(crc, BoostCrc(bytes));
    EXPECT_EQ(checksum.reports, BlockReports(size, {FilePass::Checksum}));
    WriteFile(elsewhere / "source", bytes);
    ASSERT_TRUE(FileCopyWithProgress(elsewhere / "source", folder / "copy", message, copy.Progress()));
    EXPECT_EQ(copy.reports, BlockReports(size, {FilePass::Copy}));
    ASSERT_TRUE(
        FileCopyWithCRC32WithProgress(source, folder / "verified", crc, message, verified.Progress()));
    EXPECT_EQ(verified.reports, BlockReports(size, {FilePass::Copy, FilePass::Verify}));
    // Each check calls a fresh copy of the callable: counting in itself, this one never gets to 3.
    EXPECT_TRUE(FileCopyWithCRC32(source, source, crc, message, [n = 0]() mutable { return ++n >= 3; }));
    // An empty callback never interrupts.
    EXPECT_TRUE(VerifyCRC32Checksum(source, crc, message, {})) << "copied onto itself";
    EXPECT_EQ(ReadFile(folder / "copy") + ReadFile(folder / "verified"), bytes + bytes);
  }
  // A check comes before the read it guards: what the first one adds to an empty file is read.
  const path empty = File("empty", "");
  std::uint32_t crc = 0;
  EXPECT_TRUE(
      ComputeCRC32Checksum(empty, crc, message, [&] { return WriteFile(empty, "123456789"), false; }));
  EXPECT_EQ(crc, BoostCrc("123456789"));
}

// Every way a checksum or a copy fails: false with the exact text, the checksum and the destination
// untouched, the work file removed unless something else stood in its place.
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
      // The source itself in the work file's place: neither written through nor removed.
      {occupied, [&] { return WriteFile(work, "mine"), copy(work, to)() || ReadFile(work) != "mine"; }, 0,
       nullptr, fs::regular_file},
  };
  // Stopped at any check, of the first read step or a later one, it asks no further.
  for (const int stopAt : {1, 2, 32, 33, 34, 74}) rows.push_back({kInterrupted, checksum(source), stopAt});
  for (const int stopAt : {1, 2, 9}) rows.push_back({kInterrupted, copy(source, to), stopAt});
  for (const path& into : std::vector<path>{folder.Path(), folder / "fifo", folder / "null"}) {
    if (fs::exists(into))  // the pipe and the link to a device on POSIX only
      rows.push_back(
          {"Fail to replace destination: " + into.string() + " is not a regular file", copy(source, into)});
  }
#ifndef _WIN32
  // A link in the work file's place is neither followed nor removed.
  rows.push_back({occupied, [&] { return fs::create_symlink(other, work), copy(source, to)(); }, 0, nullptr,
                  fs::symlink_file});
  // Memory at address 0 is never mapped, so reading there is a true read error; its size reads as 0,
  // so a copy that missed the failure would create an empty file.
  rows.push_back({"Failed to read /proc/self/mem", checksum("/proc/self/mem")});
  rows.push_back({"Fail to read file: /proc/self/mem", copy("/proc/self/mem", to)});
  // Its size reads as 0, yet reading it gives text: the sizes differ, which fails without a message.
  rows.push_back({"earlier text", copy("/proc/self/status", to)});
  // Under a file-size limit of 0 the first write fails: only that failure tells this copy of a
  // source whose size reads as 0 from one of an empty file. Only a failed open is retried, whatever
  // errno an earlier call left: a host without standard input gets descriptor 0 back for the source,
  // which must not make it open a second time.
  const auto cramped = [] {
    const rlimit none{0, 0};
    ASSERT_TRUE(std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &none) == 0);
    errno = ::close(0) == 0 ? EINTR : 0;
  };
  rows.push_back({"Fail to write file: " + work.string(),
                  [&] { return copy("/proc/self/status", to)() || ::fcntl(0, F_GETFD) != -1; }, 0, cramped});
  // Without root's powers, a copy cannot replace root's file in a sticky folder.
  ::chmod(folder.Path().c_str(), 01777);
  rows.push_back({std::generic_category().message(EPERM), copy(source, to), 0,
                  [] { ASSERT_TRUE(::setgid(65534) == 0 && ::setuid(65534) == 0); }});
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
      EXPECT_EQ(message, row.expected);
      EXPECT_EQ(crc, 77u);
      EXPECT_TRUE(row.stopAt == 0 || checks.asked == row.stopAt) << checks.asked << " checks";
    };
#ifndef _WIN32
    if (row.inChild) {
      RunInChildProcess(run);
    }
#endif
    if (!row.inChild) run();
    EXPECT_EQ(ReadFile(to) + ReadFile(other), "old contentuntouched");
    EXPECT_EQ(fs::symlink_status(work).type(), row.left);
    fs::remove(work);
  }
}

#ifndef _WIN32
// A copy takes the source's permission bits less the umask's, whatever the destination had, before
// its first byte: a private file is never readable by others, not even half-copied. Holes stay
// holes, at the start, in the middle and at the end, past one in-kernel copy step, with every byte
// the same and the callback asked as for any file of that size.
TEST_F(FileIntegrityTest, CopiesTakeTheSourcesPermissionsAndHoles) {
  RunInChildProcess([&] {
    // 0755 under 027 gives 0750, which neither the source's bits, nor the umask, nor the most private
    // mask gives alone.
    ::umask(027);
    const path source = folder / "sparse", destination = File("destination", "old");
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(::pwrite(fd, "island", 6, 6 << 20) == 6 && ::pwrite(fd, "island", 6, 12 << 20) == 6);
    ASSERT_EQ(::ftruncate(fd, 24 << 20) + ::fchmod(fd, 0755) + ::close(fd), 0);
    ::chmod(destination.c_str(), 0666);
    struct stat copying = {}, copied = {};
    int checks = 0;
    const auto look = [&] {
      return ++checks, ::stat((destination.string() + ".partial").c_str(), &copying), false;
    };
    EXPECT_TRUE(FileCopy(source, destination, message, look) && ::stat(destination.c_str(), &copied) == 0);
    EXPECT_EQ(copying.st_mode & 07777, 0750u);
    EXPECT_EQ(copied.st_mode & 07777, 0750u);
    EXPECT_EQ(checks, 2 * ((24 << 20) / 32768 + 1));
    EXPECT_EQ(ReadFile(destination), ReadFile(source));
    EXPECT_LT(copied.st_blocks * 512, 1 << 20) << "holes were filled";
  });
}
#endif  // _WIN32

}  // namespace
