"""Opens and reads every session folder below CASES (one folder per case) in one process,
as test_hostile_sessions.py asks, and prints one JSON line per case and its own peak
memory at the end:

    /usr/bin/python3 hostile_worker.py CASES OUTSIDE

Files under OUTSIDE (and its images/ folder) are watched with inotify: any open of
them while a case runs is reported with the case. Each case has 10 s before an alarm
ends it, so a reader that hangs shows as a case that timed out.
"""

from __future__ import annotations

import ctypes
import json
import os
import resource
import signal
import struct
import sys
import warnings

import numpy as np

import sensconv

CASE_SECONDS = 10
IN_ACCESS, IN_OPEN = 0x1, 0x20


class Watch:
    """inotify on some folders: which of their files were opened or read."""

    def __init__(self, folders: list[str]) -> None:
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.folders = {}
        for folder in folders:
            wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder), IN_ACCESS | IN_OPEN)
            if wd < 0:
                raise OSError(ctypes.get_errno(), f"inotify_add_watch {folder}")
            self.folders[wd] = folder

    def events(self) -> list[str]:
        seen = []
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                return seen
            at = 0
            while at < len(data):
                wd, _, _, length = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + length].rstrip(b"\0").decode(errors="replace")
                seen.append(os.path.join(self.folders.get(wd, "?"), name))
                at += 16 + length


def exercise(part: str) -> dict:
    step = "open"
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            session = sensconv.open_session(part)
            step = "summary"
            session.summary()
            step = "channels"
            for name in session.channels.index:
                if name == "audio":
                    session.audio()
                else:
                    channel = session.channel(name)
                    float(np.asarray(channel.values, dtype=np.float64).sum())
                    channel.filled
                    channel.times
            step = "gps"
            session.gps()
            step = "images"
            session.images()
        return {"kind": "ok"}
    except sensconv.SessionError as error:
        return {"kind": "SessionError", "path": error.path, "problem": error.problem, "step": step}
    except BaseException as error:  # everything else is what the test looks for
        return {"kind": type(error).__name__, "message": str(error)[:500], "step": step}


def peak_mb() -> float:
    """This program's own peak resident size. The process's maximum resident size also
    counts what the process it was forked from had at the fork (a test process that has
    read a week of data before), so the peak of this program's memory is taken instead."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def on_alarm(signum, frame):
    raise TimeoutError(f"no answer within {CASE_SECONDS} s")


def main(cases: str, outside: str) -> int:
    watch = Watch([outside, os.path.join(outside, "images")])
    signal.signal(signal.SIGALRM, on_alarm)
    for name in sorted(os.listdir(cases)):
        signal.alarm(CASE_SECONDS)
        try:
            result = exercise(os.path.join(cases, name, "part_00"))
        finally:
            signal.alarm(0)
        result.update(case=name, outside=watch.events())
        print(json.dumps(result), flush=True)
    print(json.dumps({"peak_mb": peak_mb()}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
