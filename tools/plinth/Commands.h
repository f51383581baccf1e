// The tool's commands. Each writes its results to standard output and its failures, prefixed with
// "plinth: ", to standard error: the library's message, then the system's reason where there is one.
// Each returns the process's exit status: 0, 1 for a failure.
#pragma once

#include <string>
#include <vector>

namespace PlinthTool {

// One line per file: its CRC-32 in 8 lowercase hex digits, two spaces and the name as given
// (the format of `rhash --simple --crc32`); "-" is standard input, named "(stdin)". A file that
// fails is reported and the others still run.
int Crc32(const std::vector<std::string>& files);

// Copies `source` over `destination` through the library's all-or-nothing copy; with `verify`,
// checksums the source first and has the copy proven against it, then prints the checksum line.
// Ctrl-C, SIGTERM and SIGHUP stop it at its next check (a second one at once); it then returns 128 +
// the signal's number.
int Copy(const std::string& source, const std::string& destination, bool verify);

// Prints the format, encoding, rate, channels, sample width, sizes and duration of a WAVE file; a
// duration its sizes cannot give is said to be unknown, and why.
int WaveInfo(const std::string& file);

// Prints "<", "=" or ">" for the order of two version texts.
int VersionCompare(const std::string& left, const std::string& right);

}  // namespace PlinthTool
