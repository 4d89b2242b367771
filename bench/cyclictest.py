"""cyclictest (Debian's rt-tests), the kernel's own wake-up latency: the floor any timer of ours is
compared with. One run at 1 kHz, read from its histogram (1 µs buckets)."""

import re
import subprocess


def cyclictest(seconds, priority=None, cpu=None):
    """p50, p99, avg and max lateness in µs over `seconds`; {"error": ...} when it cannot run."""
    cmd = ["cyclictest", "-m", "-q", "-i1000", f"-l{int(seconds * 1000)}", "-h20000"]
    if priority:
        cmd.append(f"-p{priority}")
    if cpu is not None:
        cmd.append(f"-a{cpu}")
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds * 3 + 30).stdout
    except (FileNotFoundError, subprocess.TimeoutExpired) as e:
        return {"error": str(e)}
    hist = [(int(m.group(1)), int(m.group(2))) for m in
            (re.match(r"^(\d{6})\s+(\d+)", line) for line in out.splitlines()) if m]
    total = sum(count for _, count in hist)

    def quantile(fraction):
        seen = 0
        for us, count in hist:
            seen += count
            if seen >= fraction * total:
                return us
        return float("nan")

    avg = re.search(r"# Avg Latencies: (\d+)", out)
    mx = re.search(r"# Max Latencies: (\d+)", out)
    return {"p50": quantile(0.5), "p99": quantile(0.99),
            "avg": int(avg.group(1)) if avg else float("nan"),
            "max": int(mx.group(1)) if mx else float("nan")}
