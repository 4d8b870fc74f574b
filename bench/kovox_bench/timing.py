"""Timed runs and interleaved pairs; the tool's start-up, through the interpreter and started
directly; where a folder of the real tree goes; and the facts of the machine the times were taken on."""

import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from .common import RESULTS, SOURCE, fail, median, ratios, run, say
from .kovox import as_built

# Timed runs start at real-time priority where the benchmark may set it (as root): the interpreter
# and the tool inherit it, so other work on the machine delays the chain of processes far less.
# kovox and the floor run alike; each runs one process at a time and mostly waits.
REALTIME = ["chrt", "-f", "10"]
if shutil.which("chrt") is None or run(REALTIME + ["true"], stderr=subprocess.DEVNULL).returncode != 0:
    REALTIME = []


def timed(command, stdout=subprocess.DEVNULL, stderr=None, env=None, cwd=None):
    """The wall time of one command in seconds and its exit status, at real-time priority."""
    start = time.perf_counter()
    status = run(REALTIME + command, stdout=stdout, stderr=stderr, env=env, cwd=cwd).returncode
    return time.perf_counter() - start, status


def alternating_rounds(rounds, sides):
    """Rounds that alternate the order of the sides (forwards, then backwards, and so on), so that
    load rising or falling during the rounds weighs on every side alike. Each side is a function
    returning one wall time; the result holds each side's times."""
    times = {side: [] for side in sides}
    for round_number in range(rounds):
        order = list(sides) if round_number % 2 == 0 else list(reversed(sides))
        for side in order:
            times[side].append(sides[side]())
    return times


def load_average():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def machine_facts():
    commit = run(["git", "-C", str(SOURCE), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    return {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "cpus": os.cpu_count(),
            "shell": Path(os.path.realpath("/bin/sh")).name, "commit": commit.stdout.strip(),
            "load_start": load_average(),
            "priority": f"real-time priority ({' '.join(REALTIME)})" if REALTIME else "normal priority"}


def measure_startup(smallest, runs, temp):
    """One tool run through the interpreter: the root's listing command of the smallest device as it
    is, and with the tool replaced by the shell's no-op built-in (the interpreter alone), by a
    trivial static program, and by the tool for an empty device; median of three rounds."""
    say("Measuring the tool's start-up ...")
    temp.fresh()
    typical = (RESULTS / f"{smallest}.commands").read_text().splitlines()[0]
    texts = {"interpreter": typical.replace("kovont.exe", ":", 1),
             "trivial": typical.replace("kovont.exe", "kovox_bench_trivial", 1),
             "empty": typical.replace(f"-s/dev/{smallest}", "-s/dev/empty", 1),
             "typical": typical}
    for kind, text in texts.items():
        (RESULTS / f"startup.{kind}").write_text((text + "\n") * runs)
    times = {kind: [] for kind in texts}
    for _ in range(3):
        for kind in texts:
            elapsed, status = timed(["./kovox_bench_floor", str(RESULTS / f"startup.{kind}")])
            if status != 0:
                fail(f"the start-up runs '{kind}' failed")
            times[kind].append(elapsed)
    per_run = {kind: median(values) * 1000 / runs for kind, values in times.items()}
    per_run["tool_own"] = per_run["empty"] - per_run["trivial"]
    return per_run


def measure_spawn(realtree_commands, rounds, runs, temp):
    """The tool's start-up against a trivial static program, each started directly (fork, exec,
    output into a file) with the arguments of one of kovox's tool runs on the real tree: the first
    folder below the root other than lost+found, so the tool also looks its way through the root, the
    widest folder. In each round the two take turns run by run; the ratio is the median of the
    rounds' ratios."""
    say("Measuring the tool's start-up, started directly ...")
    temp.fresh()
    device, path = next((m.group(1), m.group(2)) for m in
                        (re.search(r'kovont\.exe (-s/dev/\S*) "(/[^/]*/)" > "', as_built(c)) for c in realtree_commands)
                        if m and m.group(2) != "/lost+found/")
    trivial, tool = [], []
    for _ in range(rounds):
        result = run(REALTIME + ["./kovox_bench_spawn", str(runs), str(temp.path / "spawned"),
                                 "./kovox_bench_trivial", device, path, "--", "./kovont.exe", device, path],
                     capture_output=True, text=True)
        if result.returncode != 0:
            fail("starting the tool or the trivial program directly failed")
            continue
        first, second = map(float, result.stdout.split())
        trivial.append(first)
        tool.append(second)
    round_ratios = ratios(tool, trivial) or [0.0]
    return {"device": device, "path": path, "trivial_ms": median(trivial or [0.0]), "tool_ms": median(tool or [0.0]),
            "ratio": median(round_ratios), "ratios": round_ratios, "rounds": rounds, "runs": runs}


def folder_split(realtree, spawn):
    """Where a folder of the real tree goes, in ms: each layer's cost beyond the one below it."""
    per_folder = {key: realtree[key] * 1000 / realtree["folders"] for key in ("kovox_s", "floor_s", "loop_s")}
    return {"starting a trivial static program (fork, exec)": spawn["trivial_ms"],
            "the interpreter and its redirection around it": per_folder["loop_s"] - spawn["trivial_ms"],
            "the stand-in tool, beyond a trivial program": per_folder["floor_s"] - per_folder["loop_s"],
            "kovox's own work": per_folder["kovox_s"] - per_folder["floor_s"],
            "kovox, all of it": per_folder["kovox_s"]}
