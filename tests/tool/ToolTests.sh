#!/usr/bin/env bash
# Runs the plinth tool in a fresh temporary folder and checks its output and exit status.
#   ToolTests.sh TOOL CASE VERSION   CASE: crc32, copy, interrupt, progress, wave, version or usage
set -uo pipefail
tool=$1
case_name=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
# expect STATUS COMMAND...: runs the command with its output in out and err, checks its status.
expect() {
  local want=$1 status
  shift
  "$@" >out 2>err
  status=$?
  [ "$status" -eq "$want" ] || fail "$* exited $status, not $want; stderr: $(cat err)"
}
same() { [ "$1" = "$2" ] || fail "got [$1], expected [$2]"; }

case "$case_name" in
crc32)
  # Each file's checksum in rhash's simple format, "-" being standard input; a file that fails is
  # reported with the system's reason, the others still run. Output that cannot be written fails.
  printf 123456789 >digits
  : >empty
  head -c 100000 /dev/urandom >"random data"
  expect 0 "$tool" crc32 digits empty - "random data" <"random data"
  same "$(cat out)" "$(rhash --simple --crc32 digits empty - "random data" <"random data")"
  mkdir folder
  expect 1 "$tool" crc32 missing folder digits
  same "$(cat out)" "cbf43926  digits"
  same "$(cat err)" "plinth: Failed to open missing: No such file or directory
plinth: Failed to read folder: Is a directory"
  "$tool" crc32 digits >/dev/full 2>err
  same "$?:$(cat err)" "1:plinth: cannot write to standard output: No space left on device"
  ;;
copy)
  # A copy replaces the destination; with --verify it prints the proven checksum. A failed copy
  # gives the library's message and leaves the destination as it was; no terminal, no progress line.
  head -c 300000 /dev/urandom >source
  echo old >dest
  expect 0 "$tool" copy source dest
  cmp source dest || fail "the copy differs from its source"
  [ ! -s err ] || fail "unexpected stderr: $(cat err)"
  expect 0 "$tool" copy --verify source verified
  cmp source verified || fail "the verified copy differs from its source"
  same "$(cat out)" "$(rhash --simple --crc32 source | sed 's/source$/verified/')"
  # Failures give the library's message and the system's reason, as cp does.
  echo old >dest
  mkdir folder
  while IFS='|' read -r source destination message; do
    expect 1 "$tool" copy "$source" "$destination"
    same "$(cat err)" "plinth: $message"
  done <<'ROWS'
missing|dest|Fail to open source file: missing: No such file or directory
folder|dest|Fail to read file: folder: Is a directory
source|folder|Fail to replace destination: folder is not a regular file: Is a directory
source|nowhere/dest|Fail to open destionation file: nowhere/dest.partial: No such file or directory
ROWS
  # A pipe is read to its end, though the library cannot prove a copy of it complete.
  mkfifo pipe
  printf data >pipe &
  expect 1 "$tool" copy pipe dest
  same "$(cat err)" "plinth: the copy of pipe cannot be proven complete by its size: it is not a regular file"
  (ulimit -f 100 && trap '' XFSZ && exec "$tool" copy source dest) >out 2>err
  same "$?:$(cat err)" "1:plinth: Fail to write file: dest.partial: File too large"
  same "$(cat dest)" old
  [ ! -e dest.partial ] || fail "the work file was left behind"
  ;;
interrupt)
  # Ctrl-C, SIGTERM or SIGHUP half-way: the source is a pipe, so the copy is certainly still running
  # when the signal comes, and it sees the request at the next block the pipe delivers. Each job gets
  # a process group of its own, where SIGINT is not ignored as in a script's background commands.
  set -m
  mkfifo source
  echo old >dest
  for signal in INT TERM HUP; do
    "$tool" copy source dest >out 2>err &
    pid=$!
    exec 3>source
    head -c 100000 /dev/zero >&3
    for _ in $(seq 100); do [ -e dest.partial ] && break; sleep 0.05; done
    [ -e dest.partial ] || fail "the copy did not start"
    kill -"$signal" "$pid"
    head -c 100000 /dev/zero >&3
    exec 3>&-
    wait "$pid"
    same "$?:$(cat err):$(cat dest)" "$((128 + $(kill -l "$signal"))):plinth: File operation interrupted:old"
    [ ! -e dest.partial ] || fail "the work file was left behind"
  done
  # Ctrl-C while the pipe has had no writer yet.
  "$tool" copy source dest >out 2>err &
  pid=$!
  for _ in $(seq 100); do [ "$(cat "/proc/$pid/wchan")" = wait_for_partner ] && break; sleep 0.05; done
  kill -INT "$pid"
  wait "$pid"
  same "$?:$(cat err):$(cat dest)" "130:plinth: interrupted while waiting for a writer to source:old"
  [ ! -e dest.partial ] || fail "the work file was left behind"
  # A writer that sends nothing keeps the copy from its next check: a second signal stops it.
  exec 3<>source
  "$tool" copy source dest >out 2>err &
  pid=$!
  for _ in $(seq 100); do [ -e dest.partial ] && break; sleep 0.05; done
  kill -TERM "$pid"
  sleep 0.1
  kill -TERM "$pid"
  wait "$pid"
  same "$?:$(cat err):$(cat dest)" "143:plinth: stopped at once by a second signal:old"
  [ ! -e dest.partial ] || fail "the work file was left behind"
  exec 3>&-
  ;;
progress)
  # On a terminal the copy draws its progress line: each pass from its start, the last to its end.
  head -c 200000 /dev/urandom >source
  script -qec "'$tool' copy --verify source dest" /dev/null >typescript || fail "copy on a terminal failed"
  for line in "checksumming 0 of 200000 bytes (0%)" "copying 0 of 200000 bytes (0%)" \
              "verifying 200000 of 200000 bytes (100%)"; do
    grep -qF "$line" typescript || fail "no progress line '$line' in: $(cat typescript)"
  done
  cmp source dest || fail "the copy differs from its source"
  ;;
wave)
  # A file written by sox is described; a file that is no WAVE file is refused with the library's
  # message.
  sox -n -r 8000 -c 1 -b 16 tone.wav synth 0.5 sine 440
  expect 0 "$tool" wave info tone.wav
  same "$(cat out)" "format: RIFF/WAVE
encoding: signed integer PCM
sample rate: 8000 Hz
channels: 1
bits per sample: 16
file size: $(stat -c %s tone.wav) bytes
audio data size: 8000 bytes
duration: 0.500 s"
  head -c 1000 /dev/zero >noise.wav
  expect 1 "$tool" wave info noise.wav
  grep -qx "plinth: Error opening file noise.wav for reading. File header is not that of a wave file." err ||
    fail "no reason given: $(cat err)"
  [ ! -s out ] || fail "unexpected stdout: $(cat out)"
  expect 1 "$tool" wave info missing.wav
  grep -qx "plinth: missing.wav: No such file or directory" err || fail "no reason given: $(cat err)"
  # The encodings that soxi -e tells apart (sox writes 24 bits as extensible).
  while IFS='|' read -r options encoding; do
    read -ra options <<<"$options"
    sox -n -r 8000 -c 1 "${options[@]}" coded.wav synth 0.1 sine 440
    expect 0 "$tool" wave info coded.wav
    same "$(sed -n 2p out)" "encoding: $encoding"
  done <<'ROWS'
-e unsigned-integer -b 8|unsigned integer PCM
-e floating-point -b 32|IEEE float
-e mu-law|mu-law
-e a-law|A-law
-e signed-integer -b 24|extensible
-e ima-adpcm|format tag 0x0011
ROWS
  # Sizes the header cannot state give no duration: a file cut short, and one of 4 GiB and more
  # (sparse) whose header sizes wrapped.
  head -c 1044 tone.wav >cut.wav
  cp tone.wav big.wav
  truncate -s $((4294967296 + 8044)) big.wav
  while IFS='|' read -r file duration; do
    expect 0 "$tool" wave info "$file"
    same "$(tail -1 out)" "duration: unknown: $duration"
  done <<'ROWS'
cut.wav|the header declares 8000 bytes of audio, the file holds 1000
big.wav|the file holds 4294975296 bytes after its header, more than the header's sizes can count (they wrap past 4 GiB)
ROWS
  ;;
version)
  for row in "1.9 1.10 <" "1.2.0 1.2 >" "2.0 2.0 =" "1.0.0 1.0.0-rc1 <" "1.02 1.2 <"; do
    read -r a b want <<<"$row"
    expect 0 "$tool" version compare "$a" "$b"
    same "$(cat out)" "$want"
  done
  ;;
usage)
  # A command line the tool cannot take: the problem and the usage line on standard error, status 2.
  while IFS='|' read -r arguments problem usage; do
    read -ra arguments <<<"$arguments"
    expect 2 "$tool" "${arguments[@]}"
    same "$(cat err)" "plinth: $problem
Usage: plinth$usage"
  done <<'ROWS'
bogus|The following argument was not expected: bogus| [OPTIONS] SUBCOMMAND
-V|The following argument was not expected: -V| [OPTIONS] SUBCOMMAND
|a command is required| [OPTIONS] SUBCOMMAND
copy onlyone|DEST is required| copy [OPTIONS] SOURCE DEST
ROWS
  expect 0 "$tool" --version
  same "$(cat out)" "plinth $version
built with the Plinth library $version"
  "$tool" --version >/dev/full 2>err
  same "$?:$(cat err)" "1:plinth: cannot write to standard output: No space left on device"
  ;;
*) fail "unknown case $case_name" ;;
esac
echo "ok: $case_name"
