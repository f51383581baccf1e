"""Running commands: builds, and test processes bounded in time and memory.

A mutated size can make a test allocate without end, and a mutated loop can make it spin: on a
shared machine both must end fast. A test runs in a session of its own, and everything in the
session is killed when the time is up or once the test itself has ended (a forked child a mutant
left hanging would otherwise spin on). Memory is bounded by the address space (RLIMIT_AS) in a
plain build; a sanitized build reserves terabytes of address space for its shadow memory, so there
the resident memory of the whole session is watched instead.
"""

import os
import resource
import signal
import subprocess
import time

# Bytes of address space for each test process: room for a thousand thread stacks (a logging test
# starts that many), yet a bound on a test that a mutated size makes allocate without end.
TEST_MEMORY_LIMIT = 12 << 30
# Bytes of resident memory for all the processes of a sanitized test together.
SANITIZED_MEMORY_LIMIT = 8 << 30
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def run(command, timeout=None, cwd=None):
    """Runs command (a build step, a listing) in its own process group; returns (exit code, or None
    when it timed out, and its output)."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


def _limit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (TEST_MEMORY_LIMIT, TEST_MEMORY_LIMIT))


def run_test(command, timeout, cwd, environment, log, sanitized):
    """Runs a test process with its output in the file log; returns (exit code or None, seconds
    taken, and "time" or "memory" when it ran out of that, else ""). environment holds the variables
    set on top of ours."""
    env = dict(os.environ)
    env.update(environment)
    started = time.monotonic()
    with open(log, "wb") as output:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=output, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True,
                                   preexec_fn=None if sanitized else _limit_address_space)
    deadline = started + timeout
    pause, next_memory_check = 0.001, started + 0.5
    exceeded = ""
    while True:
        # Waits without reaping: while the leader is a zombie its session id cannot be reused, so
        # killing the session below can only reach the test's own processes.
        if os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
            break
        now = time.monotonic()
        if now > deadline:
            exceeded = "time"
            break
        if sanitized and now > next_memory_check:
            next_memory_check = now + 0.5
            if _session_resident_bytes(process.pid) > SANITIZED_MEMORY_LIMIT:
                exceeded = "memory"
                break
        time.sleep(pause)
        pause = min(pause * 2, 0.05)
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()
    return (None if exceeded else process.returncode), time.monotonic() - started, exceeded


def _session_resident_bytes(session):
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                stat = handle.read()
        except OSError:
            continue
        # The fields after the command name: state, ppid, pgrp, session, ..., rss (the 22nd).
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 21 and int(fields[3]) == session:
            total += int(fields[21]) * PAGE_SIZE
    return total
