"""What /proc says of a running process, for the measuring scripts.

The scripts import it by its path beside them:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "lib"))
    import procstat
"""

import glob
import os

CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    """utime + stime of every thread of `pid`, in clock ticks (CLK_TCK a second)."""
    with open(f"/proc/{pid}/stat") as f:
        # The command name may hold spaces; the fields after it do not.
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu_ns(pid):
    """CPU time of the live threads of `pid`, in nanoseconds: the scheduler's
    own count (schedstat), finer than clock ticks. A thread that ended is no
    longer counted, so a difference holds only over threads that lived
    throughout."""
    total = 0
    for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that just ended
    return total


def thread_ids(pid):
    """The ids of the live threads of `pid`."""
    return {int(os.path.basename(t)) for t in glob.glob(f"/proc/{pid}/task/*")}


def status_field(path, name):
    """The number a /proc status file gives for `name` (kB for sizes); 0 if absent."""
    with open(path) as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return 0


def voluntary_switches(pid):
    """Voluntary context switches of every thread of `pid`: its wake-ups."""
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            total += status_field(status, "voluntary_ctxt_switches")
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that just ended
    return total


def peak_rss_mb(pid):
    """Peak resident set size of `pid` (VmHWM), in MB."""
    return status_field(f"/proc/{pid}/status", "VmHWM") / 1024.0


def rss_mb(pid):
    """Resident set size of `pid` now (VmRSS), in MB."""
    return status_field(f"/proc/{pid}/status", "VmRSS") / 1024.0
