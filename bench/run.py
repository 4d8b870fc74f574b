#!/usr/bin/python3
"""The benchmark: what kovox costs on top of the tool runs themselves.

    bench/run.py                       about 40 minutes on two busy cores
    KOVOX_BENCH_QUICK=1 bench/run.py   a trial of the benchmark itself, in a few minutes

Run by Debian's own Python 3 (/usr/bin/python3) with its matplotlib (python3-matplotlib, which
scripts/setup.sh bench installs). It builds kovox, the stand-in tool and the programs in bench/ in
build/bench (RelWithDebInfo, no sanitizers), makes the devices and images once in
build/bench/devices, checks every listing, measures, prints the tables, and writes every figure to
build/bench/results/results.json and the picture to build/bench/results/bench.png.

Exits non-zero when a listing is incomplete, a run crashes or leaves a temporary file behind, or a
floor run made no file; a missed performance target is printed, not an error. Not part of the test
command. bench/README.md says what each figure means.
"""

import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
BUILD = SOURCE / "build" / "bench"
DEVICES = BUILD / "devices"
RESULTS = BUILD / "results"
RECORD_LIBRARY = BUILD / "bench" / "libkovox_bench_record.so"
DEVICE_LAYOUT = "1"  # bump when a make_*_device function changes, so that old devices are remade


# --- settings ----------------------------------------------------------------------------------

def numbers_from_environment(name, default):
    return [int(word) for word in os.environ.get(name, default).split()]


@dataclass
class Settings:
    quick: bool
    sizes: list            # folder devices of N folders, and the ext4 images made from them
    pairs: list            # interleaved kovox/floor pairs per size
    startup_runs: int      # interpreter runs per start-up figure, three times over
    image_rounds: list     # rounds of kovox, floor and loop per image: the sizes', then realtree
    seven_zip_runs: int
    spawn_rounds: int      # the tool and a trivial program started directly, taking turns
    spawn_runs: int
    wide_folders: int      # folders in the one wide folder of the wide image
    wide_rounds: int
    windows_folders: int   # folders of the device kovox.exe lists under Wine
    windows_pairs: int
    real_tree: str


def read_settings():
    quick = bool(os.environ.get("KOVOX_BENCH_QUICK"))
    if quick:
        return Settings(quick, [100, 1000], [4, 2], 50, [3, 2, 3], 3, 3, 200, 6500, 1, 1000, 1,
                        os.environ.get("KOVOX_BENCH_REAL_TREE", "/usr/share/doc"))
    # Three pairs at 10,000 folders, so that the median stands when other work slows one run; more
    # pairs narrow the spread at the cost of half a minute a run, e.g. KOVOX_BENCH_PAIRS="16 6 5".
    return Settings(False, [100, 1000, 10000], numbers_from_environment("KOVOX_BENCH_PAIRS", "16 6 3"),
                    300, numbers_from_environment("KOVOX_BENCH_IMAGE_PAIRS", "12 5 3 7"), 9, 5, 500,
                    65000, int(os.environ.get("KOVOX_BENCH_WIDE_ROUNDS", "1")), 1000,
                    int(os.environ.get("KOVOX_BENCH_WINDOWS_PAIRS", "2")),
                    os.environ.get("KOVOX_BENCH_REAL_TREE", "/usr/share/doc"))


# --- checks and small helpers ------------------------------------------------------------------

failures = []


def fail(message):
    """A failed check: printed now, counted for the exit status; the run goes on."""
    failures.append(message)
    print(f"FAILED: {message}", file=sys.stderr, flush=True)


def say(message):
    print(message, flush=True)


def median(values):
    return statistics.median(values)


def lines_of(path):
    with open(path, "rb") as file:
        return file.read().count(b"\n")


def ratios(first, second):
    return [a / b for a, b in zip(first, second)]


def spread(values):
    return f"{min(values):.4f}..{max(values):.4f}"


def run(command, **options):
    return subprocess.run(command, check=False, **options)


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


class Temp:
    """The temporary directories kovox is given as TEMP: short, since their path counts against
    kovox's limits, and fresh for every device; kovox must leave each one empty."""

    def __init__(self):
        self.root = Path(tempfile.mkdtemp(prefix="kvb.", dir="/tmp"))
        self.path = self.root / "t"

    def fresh(self):
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir()
        os.environ["TEMP"] = str(self.path)
        return self.path

    def check_empty(self, what):
        left = sorted(os.listdir(self.path))
        if left:
            fail(f"{what} left files in the temporary directory: {' '.join(left[:3])}")

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# --- building ----------------------------------------------------------------------------------

def build():
    say("Building in build/bench ...")
    for command in (["cmake", "-S", str(SOURCE), "-B", str(BUILD), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DKOVOX_SANITIZE=OFF"],
                    ["cmake", "--build", str(BUILD), "--target", "kovox_bench"]):
        if run(command, stdout=subprocess.DEVNULL).returncode != 0:
            sys.exit(f"bench: {' '.join(command)} failed")


@dataclass
class Limits:
    """kovox's own limits, as its header sets them: kovox_bench_expect reads them from there."""
    max_path_length: int
    max_line_length: int
    max_command_length: int


def kovox_limits():
    output = run([str(BUILD / "kovox_bench_expect"), "--limits"], capture_output=True, text=True).stdout
    values = dict(line.split() for line in output.splitlines())
    return Limits(int(values["max_path_length"]), int(values["max_line_length"]), int(values["max_command_length"]))


# --- devices and images ------------------------------------------------------------------------

def make_folders_device(folder, count):
    """N folders: 10 top folders with N/10-1 folders inside each, so that every size has the same
    depth and only the number of folders (and the width of the top folders) changes; 10 empty files
    in every folder and in the root. 11N+10 entries, N+1 tool runs."""
    folders = [folder]
    for top in range(10):
        folders.append(folder / f"dir{top}")
        folders.extend(folder / f"dir{top}" / f"dir{inner:03d}" for inner in range(count // 10 - 1))
    for path in folders:
        path.mkdir(parents=True, exist_ok=True)
        for number in range(10):
            (path / f"file{number}.dat").touch()


def make_deep_device(folder, limits):
    """A chain of folders named "d", each also holding a file "f" and a file with a longer name:
    paths reach 40 characters past kovox's path limit, well past the last folder whose command text
    still fits. All above that point must be listed, the longer-named files only while their path
    fits, and nothing may break below."""
    path = folder
    for _ in range(limits.max_path_length // 2 + 21):
        (path / "f").touch()
        (path / "file-with-a-longer-name.txt").touch()
        path = path / "d"
        path.mkdir()


def make_wide_device(folder, count):
    """One folder, "wide", holding N empty folders: every tool run below it looks a name up in a
    folder of N entries."""
    for number in range(count):
        (folder / "wide" / f"d{number:05d}").mkdir(parents=True)


def make_device(name, maker, *arguments):
    folder = DEVICES / name
    stamp = DEVICES / f"{name}.layout"
    if stamp.exists() and stamp.read_text() == DEVICE_LAYOUT:
        return folder
    say(f"Making device {name} ...")
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    maker(folder, *arguments)
    stamp.write_text(DEVICE_LAYOUT)
    return folder


def make_image(name, folder):
    """An ext4 image of a folder, as mke2fs -d makes it with its defaults for that size; remade when
    the folder changes. NAME.img is the device NAME, so an image never shadows a folder device."""
    entries = int(run(f"find '{folder}' | wc -l", shell=True, capture_output=True, text=True).stdout)
    used = int(run(["du", "-sk", str(folder)], capture_output=True, text=True).stdout.split()[0])
    image = DEVICES / f"{name}.img"
    stamp_file = DEVICES / f"{name}.img.layout"
    stamp = f"{DEVICE_LAYOUT} {entries} {used}"
    if image.exists() and stamp_file.exists() and stamp_file.read_text() == stamp:
        return
    say(f"Making image {name} from {folder} ...")
    image.unlink(missing_ok=True)
    # Room for the data, a directory block and an inode for every entry, and the journal.
    if run(["mke2fs", "-q", "-F", "-t", "ext4", "-N", str(entries + 1024), "-d", str(folder), str(image),
            f"{used * 3 // 2 + entries + 65536}k"]).returncode != 0:
        fail(f"mke2fs could not make {name}.img")
    stamp_file.write_text(stamp)


# --- running kovox -----------------------------------------------------------------------------

def printed(listing):
    """The type and path of every line kovox printed: "d" or "-", a space, the path."""
    with open(listing, "rb") as file:
        return [line[:1] + b" " + line[46:].rstrip(b"\r\n") for line in file]


def check_kovox_run(name, output, status, expected_lines, temp):
    if status != 0:
        fail(f"kovox {name} ended with status {status}")
    if lines_of(output) != expected_lines:
        fail(f"kovox {name} printed {lines_of(output)} lines, not {expected_lines}")
    temp.check_empty(f"kovox {name}")


def run_kovox(name, output, expected_lines, temp, prefix=(), env=None):
    """kovox for a device, standard output into a file, as a caller that parses the listing
    afterwards would; checks the run."""
    with open(output, "wb") as out:
        status = run(list(prefix) + ["./kovox", f"{name}.img"], stdout=out, env=env).returncode
    check_kovox_run(name, output, status, expected_lines, temp)


@dataclass
class Record:
    """One untimed run of kovox with bench/record_system.cpp preloaded."""
    commands: list          # the texts kovox handed to system()
    stacks: list            # the stack address at each
    peak_heap: int
    peak_stack: int


def record_run(name, expected_lines, temp):
    record_file = RESULTS / f"{name}.record"
    env = dict(os.environ, KOVOX_BENCH_RECORD=str(record_file), LD_PRELOAD=str(RECORD_LIBRARY))
    run_kovox(name, RESULTS / f"{name}.listing", expected_lines, temp, env=env)
    commands, stacks, peaks = [], [], {}
    for line in record_file.read_text(errors="surrogateescape").splitlines():
        if line.startswith("#peak-"):
            kind, value = line[len("#peak-"):].split(" ", 1)
            if not value.isdigit():
                fail(f"no peak {kind} recorded for {name} ('{value}')")
            peaks[kind] = int(value) if value.isdigit() else 0
        else:
            stack, command = line.split("\t", 1)
            stacks.append(int(stack))
            commands.append(command)
    (RESULTS / f"{name}.commands").write_text("".join(c + "\n" for c in commands), errors="surrogateescape")
    return Record(commands, stacks, peaks.get("heap", 0), peaks.get("stack", 0))


def as_built(command):
    """The command text as kovox builds it, from the script the POSIX layer hands to the shell: without
    what it puts in front, and with each text it single-quoted ('\\'' for a quote) in double quotes again."""
    script = re.sub(r"^PATH=[^;]*; ", "", command)
    text, quoted, i = [], False, 0
    while i < len(script):
        if quoted and script.startswith("'\\''", i):
            text.append("'")
            i += 4
            continue
        if script[i] == "'":
            quoted = not quoted
            text.append('"')
        else:
            text.append(script[i])
        i += 1
    return "".join(text)


def listed_directory(command):
    match = re.search(r' -s/dev/\S* "(.*)" > "', as_built(command))
    return match.group(1) if match else ""


def depth_of(command):
    return int(re.search(r"kovoxtmp\.(\d+)", command).group(1))


@dataclass
class Expected:
    lines: list      # "d path" or "- path", as kovox must print them
    runs: list       # the directories the tool must run for, in order
    commands: list   # the command texts kovox must build for them


def expected_listing(name, temp_dir, separator="/", device=None):
    """What kovox must list for a device folder, worked out by bench/expected_listing.cpp from the
    folder itself and kovox's limits."""
    files = [RESULTS / f"{name}.{kind}" for kind in ("expected", "runs", "expected-commands")]
    if run([str(BUILD / "kovox_bench_expect"), str(DEVICES / (device or name)), device or name, str(temp_dir),
            *map(str, files), separator]).returncode != 0:
        fail(f"cannot work out the expected listing of {name}")
    text = [file.read_bytes().splitlines() for file in files]
    return Expected(text[0], [line.decode("utf-8", "surrogateescape") for line in text[1]],
                    [line.decode("utf-8", "surrogateescape") for line in text[2]])


def record_and_check(name, temp):
    """The record run of a folder device, checked against the listing worked out from its folder:
    every printed line (type and path), the directories the tool ran for, and the command texts."""
    expected = expected_listing(name, temp.path)
    record = record_run(name, len(expected.lines), temp)
    if printed(RESULTS / f"{name}.listing") != expected.lines:
        fail(f"kovox's listing of {name} is not the device's "
             f"(compare {RESULTS}/{name}.listing with {RESULTS}/{name}.expected)")
    if [listed_directory(command) for command in record.commands] != expected.runs:
        fail(f"kovox ran the tool for other directories of {name} than it must ({RESULTS}/{name}.runs)")
    # The Windows floor runs texts worked out this way: here they must be kovox's own, to the byte.
    if [as_built(command) for command in record.commands] != expected.commands:
        fail(f"kovox's command texts for {name} are not the ones worked out ({RESULTS}/{name}.expected-commands)")
    return expected, record


def own_instructions(name, expected_lines, temp):
    """kovox's own instructions, its children not traced (callgrind)."""
    out = RESULTS / f"{name}.callgrind"
    run_kovox(name, RESULTS / f"{name}.callgrind.listing", expected_lines, temp,
              prefix=["valgrind", "-q", "--tool=callgrind", "--trace-children=no", f"--callgrind-out-file={out}"])
    match = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.M)
    if not match:
        fail(f"callgrind counted nothing for {name}")
    return int(match.group(1)) if match else 0


def massif_peaks(name, expected_lines, temp):
    """Massif's view of kovox's peaks, to set beside the recorder's: heap with the allocator's
    overhead at the peak snapshot, and the largest stack of any snapshot."""
    out = RESULTS / f"{name}.massif"
    run_kovox(name, RESULTS / f"{name}.massif.listing", expected_lines, temp,
              prefix=["valgrind", "-q", "--tool=massif", "--stacks=yes", "--peak-inaccuracy=0",
                      "--trace-children=no", f"--massif-out-file={out}"])
    heap = stack = peak = 0
    for line in out.read_text().splitlines():
        key, _, value = line.partition("=")
        if key == "mem_heap_B":
            heap = int(value)
        elif key == "mem_heap_extra_B":
            peak = max(peak, heap + int(value))
        elif key == "mem_stacks_B":
            stack = max(stack, int(value))
    return peak, stack


def stack_per_level(record):
    """The stack address recorded at each depth's tool run: kovox calls system() from the same place
    at every level, so the difference between two depths is exactly the stack of the levels between.
    Returns the bytes per level, the deepest depth and whether every level takes the same."""
    first_at = {}
    for stack, command in zip(record.stacks, record.commands):
        first_at.setdefault(depth_of(command), stack)
    deepest = max(first_at)
    step = first_at[0] - first_at.get(1, first_at[0])
    same = all(first_at[d - 1] - first_at[d] == step for d in range(1, deepest + 1))
    return step, deepest, same


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


# --- the measurements --------------------------------------------------------------------------

def measure_folder_device(size, pairs, temp):
    """A folder device: the record run and its checks, then interleaved pairs of kovox and its floor
    (kovox's own command texts run back to back through system()), then kovox's own instructions and
    its peak heap and stack."""
    name = f"folders{size}"
    say(f"Measuring {name}: {size + 1} tool runs a listing, {pairs} pairs ...")
    temp.fresh()
    expected, record = record_and_check(name, temp)

    def kovox():
        with open(RESULTS / f"{name}.out", "wb") as out:
            elapsed, status = timed(["./kovox", f"{name}.img"], stdout=out)
        check_kovox_run(name, RESULTS / f"{name}.out", status, len(expected.lines), temp)
        return elapsed

    def floor():
        elapsed, status = timed(["./kovox_bench_floor", str(RESULTS / f"{name}.commands")])
        if status != 0:
            fail(f"the floor of {name} failed")
        temp.check_empty(f"the floor of {name}")
        return elapsed

    times = alternating_rounds(pairs, {"kovox": kovox, "floor": floor})
    pair_ratios = ratios(times["kovox"], times["floor"])
    instructions = own_instructions(name, len(expected.lines), temp)
    _, depth, _ = stack_per_level(record)
    return {"name": name, "entries": len(expected.lines), "tool_runs": len(record.commands), "depth": depth,
            "kovox_s": median(times["kovox"]), "floor_s": median(times["floor"]), "times": times,
            "ratio": median(pair_ratios), "ratios": pair_ratios, "pairs": pairs,
            "instructions": instructions, "instructions_per_entry": instructions / len(expected.lines),
            "peak_heap": record.peak_heap, "peak_stack": record.peak_stack}


def measure_deep_device(shallow, limits, temp):
    """The deep device lists completely to where its command texts stop fitting, with no crash and
    no memcheck error; the stack and heap it takes per depth level."""
    say("Measuring the deep device ...")
    failures_before = len(failures)
    temp.fresh()
    expected, record = record_and_check("deep", temp)
    memcheck_listing = RESULTS / "deep.memcheck.listing"
    with open(memcheck_listing, "wb") as out, open(RESULTS / "deep.memcheck", "wb") as err:
        status = run(["valgrind", "-q", "--tool=memcheck", "--error-exitcode=99", "--trace-children=no",
                      "./kovox", "deep.img"], stdout=out, stderr=err).returncode
    if status != 0:
        fail(f"kovox under memcheck on the deep device: status {status} (see {RESULTS}/deep.memcheck)")
    if memcheck_listing.read_bytes() != (RESULTS / "deep.listing").read_bytes():
        fail("kovox under memcheck listed the deep device otherwise")
    temp.check_empty("kovox deep under memcheck")
    step, depth, same = stack_per_level(record)
    massif_heap, massif_stack = massif_peaks("deep", len(expected.lines), temp)
    levels = depth - shallow["depth"]
    return {"entries": len(expected.lines), "tool_runs": len(record.commands), "depth": depth,
            "longest_path": max(len(listed_directory(c)) for c in record.commands),
            "longest_command": max(len(as_built(c)) for c in record.commands),
            "command_limit": limits.max_command_length, "memcheck_status": status,
            "peak_heap": record.peak_heap, "peak_stack": record.peak_stack,
            "stack_step": step, "stack_same_at_every_level": same,
            "stack_mark_step": round((record.peak_stack - shallow["peak_stack"]) / levels),
            "heap_step": round((record.peak_heap - shallow["peak_heap"]) / levels),
            "massif_heap": massif_heap, "massif_stack": massif_stack,
            "complete": len(failures) == failures_before}


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


def seven_zip_listing(image):
    """What 7-Zip reads in an image, as kovox must print it: the type and path of every entry,
    sorted; without 7-Zip's own "[SYS]" entries (the journal) and without what lies below the root's
    "dev", which kovox prints but does not enter. Links are plain entries, whatever they point to."""
    output = run(["7zz", "l", "-slt", str(image)], capture_output=True).stdout
    entries, path, in_entries = [], b"", False
    for line in output.splitlines():
        if line == b"----------":
            in_entries = True
        elif in_entries and line.startswith(b"Path = "):
            path = line[7:]
        elif in_entries and line.startswith(b"Mode = "):
            entry = (b"d" if line[7:8] == b"d" else b"-") + b" " + path
            if not (path == b"[SYS]" or path.startswith(b"[SYS]/") or path.startswith(b"dev/")):
                entries.append(entry)
    return sorted(entries)


def measure_image(name, rounds, seven_zip_runs, temp):
    """An ext4 image: the record run, checked entry by entry against 7-Zip's reading of the image;
    rounds of kovox, its floor and the trivial loop (the same texts with a trivial static program in
    the tool's place: the interpreter, one program and one file per folder, the least this design
    can cost); then 7-Zip listing the image in its own process, the in-process reference."""
    temp.fresh()
    image = DEVICES / f"{name}.img"
    expected = seven_zip_listing(image)
    if not expected:
        fail(f"7-Zip read no entries in {name}.img")
    record = record_run(name, len(expected), temp)
    like_seven_zip = sorted(printed(RESULTS / f"{name}.listing")) == expected
    if not like_seven_zip:
        fail(f"kovox's listing of {name} is not what 7-Zip reads in the image ({RESULTS}/{name}.listing)")
    folders = sum(1 for entry in expected if entry.startswith(b"d ") and entry != b"d dev")
    if len(record.commands) != folders + 1:
        fail(f"kovox ran the tool {len(record.commands)} times for {name}, not {folders + 1}")
    loop_file = RESULTS / f"{name}.loop"
    loop_file.write_text("".join(c.replace("kovont.exe", "kovox_bench_trivial", 1) + "\n" for c in record.commands),
                         errors="surrogateescape")
    say(f"  {name}: {len(record.commands)} tool runs a listing, {rounds} rounds ...")

    def kovox():
        with open(RESULTS / f"{name}.out", "wb") as out:
            elapsed, status = timed(["./kovox", f"{name}.img"], stdout=out)
        check_kovox_run(name, RESULTS / f"{name}.out", status, len(expected), temp)
        return elapsed

    def floor_of(kind, commands):
        def side():
            elapsed, status = timed(["./kovox_bench_floor", str(commands)])
            if status != 0:
                fail(f"the {kind} of {name} failed")
            temp.check_empty(f"the {kind} of {name}")
            return elapsed
        return side

    times = alternating_rounds(rounds, {"kovox": kovox, "floor": floor_of("floor", RESULTS / f"{name}.commands"),
                                        "loop": floor_of("loop", loop_file)})
    seven_zip = []
    for _ in range(seven_zip_runs):
        elapsed, status = timed(["7zz", "l", str(image)])
        if status != 0:
            fail(f"7zz l {name}.img ended with status {status}")
        seven_zip.append(elapsed)
    floor_ratios = ratios(times["kovox"], times["floor"])
    loop_ratios = ratios(times["kovox"], times["loop"])
    return {"name": name, "folders": len(record.commands), "entries": len(expected),
            "kovox_s": median(times["kovox"]), "floor_s": median(times["floor"]), "loop_s": median(times["loop"]),
            "seven_zip_s": median(seven_zip), "times": times, "seven_zip_times": seven_zip,
            "ratio": median(floor_ratios), "ratios": floor_ratios,
            "loop_ratio": median(loop_ratios), "loop_ratios": loop_ratios, "rounds": rounds,
            "like_seven_zip": like_seven_zip, "commands": record.commands}


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


# --- Windows: kovox.exe under Wine -------------------------------------------------------------

def loader_fails(loader):
    """Why Wine's loader cannot start here, or "" when it can. A kernel without 32-bit support
    refuses the 32-bit loader at once with "Exec format error"."""
    if not os.access(loader, os.X_OK):
        return f"{loader} is not installed"
    try:
        result = run([loader, "--version"], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{loader} does not start ({error})"
    return "" if result.returncode == 0 else f"{loader} does not start"


def windows_build():
    """The release build, i686 under 32-bit Wine, where this machine runs 32-bit code; else the same
    sources built for x86_64 under wine64, as the test command chooses."""
    why_not_win32 = loader_fails("/usr/lib/wine/wine")
    qemu = Path("/proc/sys/fs/binfmt_misc/qemu-i386")
    if not why_not_win32 and qemu.exists() and "enabled" in qemu.read_text():
        why_not_win32 = "32-bit x86 code runs here only through qemu user emulation"
    if not why_not_win32:
        return "win32", "mingw-i686.cmake", "/usr/lib/wine/wine", ""
    # wine64 through the tests' wrapper, which keeps it from failing now and then to start a process.
    return "win64", "mingw-x86_64.cmake", str(SOURCE / "cmake" / "wine64-fixed-layout.sh"), why_not_win32


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def measure_windows(folders, pairs, temp):
    """kovox.exe under Wine over a folder device, against its floor: the command texts kovox.exe
    builds for that device, run back to back through system() by kovox_bench_floor.exe under the same
    Wine, each redirected into its file and the file deleted. Both are built by a cross build of the
    benchmark's own, and both sides start one Windows program under Wine per timed run."""
    name = f"folders{folders}"
    arch, toolchain, loader, why = windows_build()
    say(f"Measuring Windows: kovox.exe ({arch}) under Wine over {name}, {pairs} pairs ...")
    cross = SOURCE / "build" / f"bench-{arch}"
    for command in (["cmake", "-S", str(SOURCE), "-B", str(cross), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                     f"-DCMAKE_TOOLCHAIN_FILE={SOURCE / 'cmake' / toolchain}"],
                    ["cmake", "--build", str(cross), "--target", "kovox_bench_windows"]):
        if run(command, stdout=subprocess.DEVNULL).returncode != 0:
            fail(f"the Windows build failed: {' '.join(command)}")
            return None
    env = dict(os.environ, WINEPREFIX=str(cross / "wineprefix"), WINEARCH=arch, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", KOVO_DEVICES=windows_path(DEVICES))
    env.pop("DISPLAY", None)
    if run([loader, "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL,
           stderr=subprocess.DEVNULL).returncode != 0:
        fail("Wine could not make the benchmark's prefix")
        return None
    # One Wine server for every run, ended at the end: no run pays for starting it.
    run(["/usr/lib/wine/wineserver", "-p"], env=env)
    try:
        temp.fresh()
        win_temp = windows_path(temp.path)
        env["TEMP"] = env["TMP"] = win_temp
        expected = expected_listing(f"windows-{name}", win_temp, "\\", device=name)
        commands = RESULTS / f"windows-{name}.expected-commands"
        errors = RESULTS / f"windows-{name}.stderr"

        def kovox():
            output = RESULTS / f"windows-{name}.out"
            with open(output, "wb") as out, open(errors, "ab") as err:
                elapsed, status = timed([loader, "kovox.exe", f"{name}.img"], stdout=out, stderr=err, env=env,
                                        cwd=cross)
            check_kovox_run(f"{name} (Windows)", output, status, len(expected.lines), temp)
            if printed(output) != expected.lines:
                fail(f"kovox.exe's listing of {name} is not the device's ({output})")
            return elapsed

        def floor():
            # Standard output into a file, as kovox.exe's: Wine starts every program slower when its
            # standard output is /dev/null.
            with open(RESULTS / f"windows-{name}.floor.out", "wb") as out, open(errors, "ab") as err:
                elapsed, status = timed([loader, "kovox_bench_floor.exe", windows_path(commands)], stdout=out,
                                        stderr=err, env=env, cwd=cross)
            if status != 0:
                fail(f"the Windows floor of {name} failed")
            temp.check_empty(f"the Windows floor of {name}")
            return elapsed

        errors.write_bytes(b"")
        times = alternating_rounds(pairs, {"kovox": kovox, "floor": floor})
        # The interpreter's own complaints, as "Can't recognize" when it could not start the tool.
        complaints = errors.read_text(errors="replace").splitlines()
        if complaints:
            fail(f"Wine's cmd.exe complained {len(complaints)} times, e.g. {complaints[0]!r} ({errors})")
    finally:
        run(["/usr/lib/wine/wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    pair_ratios = ratios(times["kovox"], times["floor"])
    return {"arch": arch, "why_not_win32": why, "name": name, "tool_runs": len(expected.runs),
            "entries": len(expected.lines), "kovox_s": median(times["kovox"]), "floor_s": median(times["floor"]),
            "times": times, "ratio": median(pair_ratios), "ratios": pair_ratios, "pairs": pairs,
            "interpreter_complaints": len(complaints)}


# --- the tables, the targets and the picture ---------------------------------------------------

def kib(value):
    return f"{value / 1024:.1f}"


def print_tables(result, settings):
    machine = result["machine"]
    say("")
    say(f"kovox benchmark, {machine['date']}; {machine['cpus']} CPUs; /bin/sh is {machine['shell']}; "
        f"load average {machine['load_start']} at the start, {machine['load_end']} at the end; "
        f"{result['seconds']:.0f} s")
    say(f"timed runs at {machine['priority']}")
    if float(machine["load_start"].split()[0]) > 0.5:
        say("(other work was running: wall times are noisier; instructions and memory are not)")
    say("")
    row = "{:<12} {:>8} {:>6} {:>9} {:>9} {:>8} {:>8}  {}"
    say(row.format("device", "entries", "tool", "kovox", "floor", "kovox", "floor", "kovox/floor"))
    say(row.format("", "", "runs", "s", "s", "ms/run", "ms/run", "median [min..max] (pairs)"))
    for d in result["folders"]:
        say(row.format(d["name"], d["entries"], d["tool_runs"], f"{d['kovox_s']:.3f}", f"{d['floor_s']:.3f}",
                       f"{d['kovox_s'] * 1000 / d['tool_runs']:.3f}", f"{d['floor_s'] * 1000 / d['tool_runs']:.3f}",
                       f"{d['ratio']:.4f} [{spread(d['ratios'])}] ({d['pairs']})"))
    say("")
    row = "{:<12} {:>8} {:>6} {:>12} {:>10} {:>10} {:>10} {:>10}"
    say(row.format("device", "entries", "depth", "own instr", "instr", "peak heap", "peak stack", "heap+stack"))
    say(row.format("", "", "", "", "/entry", "KiB", "KiB", "KiB"))
    for d in result["folders"]:
        say(row.format(d["name"], d["entries"], d["depth"], d["instructions"], f"{d['instructions_per_entry']:.0f}",
                       kib(d["peak_heap"]), kib(d["peak_stack"]), kib(d["peak_heap"] + d["peak_stack"])))
    deep = result["deep"]
    say(row.format("deep", deep["entries"], deep["depth"], "", "", kib(deep["peak_heap"]), kib(deep["peak_stack"]),
                   kib(deep["peak_heap"] + deep["peak_stack"])))
    say("")
    shallow = result["folders"][0]
    memcheck = "no error" if deep["memcheck_status"] == 0 else f"FAILED (status {deep['memcheck_status']})"
    say(f"deep device: {deep['entries']} entries, as worked out from its folder; {deep['tool_runs']} tool runs, "
        f"down to depth {deep['depth']}")
    say(f"  longest directory path run: {deep['longest_path']} characters; longest command text: "
        f"{deep['longest_command']} (limit {deep['command_limit']})")
    say(f"  kovox under memcheck: {memcheck}")
    say(f"stack per depth level: {deep['stack_step']} bytes at each tool run (the same at all {deep['depth']} "
        f"levels: {'yes' if deep['stack_same_at_every_level'] else 'no'})")
    say(f"  from the high-water marks: {deep['stack_mark_step']} bytes a level; heap: {deep['heap_step']} bytes a "
        f"level (an open file each)")
    massif = result["massif_smallest"]
    say(f"  massif, for comparison: {shallow['name']} heap {kib(massif[0])} KiB, stack {kib(massif[1])} KiB; "
        f"deep heap {kib(deep['massif_heap'])} KiB, stack {kib(deep['massif_stack'])} KiB")
    startup = result["startup"]
    say(f"one tool run through the interpreter, ms (median of 3 x {settings.startup_runs} runs):")
    for label, key in (("interpreter alone (its no-op built-in)", "interpreter"),
                       ("trivial static program", "trivial"),
                       ("kovont.exe listing an empty device", "empty"),
                       ("kovont.exe listing 10 folders and 10 files", "typical"),
                       ("the tool's own start-up (empty - trivial)", "tool_own")):
        say(f"  {label:<44} {startup[key]:6.3f}")
    say("")
    say(f"ext4 images (mke2fs -d): ext<N> from the folder device of N folders, wide{settings.wide_folders} one "
        f"folder of {settings.wide_folders:,} folders, realtree from {settings.real_tree}")
    row = "{:<9} {:>6} {:>7} {:>8} {:>8} {:>7}  {:<27} {:>8}  {:<27} {:>7} {:>5}"
    say(row.format("image", "folders", "entries", "kovox", "floor", "kovox", "kovox/floor", "loop", "kovox/loop",
                   "7zz l", "like"))
    say(row.format("", "", "", "s", "s", "ms/fold", "median [min..max] (pairs)", "s", "median [min..max]", "s",
                   "7-Zip"))
    for i in result["images"][:-1] + [result["wide"], result["images"][-1]]:
        say(row.format(i["name"], i["folders"], i["entries"], f"{i['kovox_s']:.3f}", f"{i['floor_s']:.3f}",
                       f"{i['kovox_s'] * 1000 / i['folders']:.3f}",
                       f"{i['ratio']:.4f} [{spread(i['ratios'])}] ({i['rounds']})", f"{i['loop_s']:.3f}",
                       f"{i['loop_ratio']:.4f} [{spread(i['loop_ratios'])}]", f"{i['seven_zip_s']:.3f}",
                       "yes" if i["like_seven_zip"] else "NO"))
    say("  floor: kovox's own command texts run back to back through system(); loop: the same texts with a")
    say("  trivial static program in the tool's place; like 7-Zip: every entry 7zz reads in the image printed")
    spawn = result["spawn"]
    say(f"the tool started directly, ms a run (median of {spawn['rounds']} rounds of {spawn['runs']} runs each, "
        f"taking turns; arguments {spawn['device']} \"{spawn['path']}\"):")
    say(f"  {'trivial static program':<44} {spawn['trivial_ms']:6.3f}")
    say(f"  {'kovont.exe listing the folder':<44} {spawn['tool_ms']:6.3f}")
    say(f"  {'kovont.exe / trivial (median of the rounds)':<44} {spawn['ratio']:6.4f} [{spread(spawn['ratios'])}]")
    say("where a folder of realtree goes, ms per folder:")
    for label, value in result["split"].items():
        say(f"  {label:<52} {value:6.3f}")
    say(f"  kovox per folder is {result['split']['kovox, all of it'] / spawn['trivial_ms']:.2f} times a plain fork "
        f"and exec of a trivial static program")
    wide, widest_ext = result["wide"], result["images"][len(settings.sizes) - 1]
    say(f"a folder of wide{settings.wide_folders} (below one folder of {settings.wide_folders:,}): "
        f"{wide['kovox_s'] * 1000 / wide['folders']:.3f} ms for kovox, "
        f"{wide['floor_s'] * 1000 / wide['folders']:.3f} for its floor; {widest_ext['name']}: "
        f"{widest_ext['kovox_s'] * 1000 / widest_ext['folders']:.3f} and "
        f"{widest_ext['floor_s'] * 1000 / widest_ext['folders']:.3f}")
    windows = result["windows"]
    if windows:
        say("")
        say(f"Windows: kovox.exe ({windows['arch']}, under Wine{'' if not windows['why_not_win32'] else ': ' + windows['why_not_win32']})")
        row = "{:<12} {:>8} {:>6} {:>9} {:>9} {:>8} {:>8}  {}"
        say(row.format("device", "entries", "tool", "kovox", "floor", "kovox", "floor", "kovox/floor"))
        say(row.format("", "", "runs", "s", "s", "ms/run", "ms/run", "median [min..max] (pairs)"))
        say(row.format(windows["name"], windows["entries"], windows["tool_runs"], f"{windows['kovox_s']:.3f}",
                       f"{windows['floor_s']:.3f}", f"{windows['kovox_s'] * 1000 / windows['tool_runs']:.3f}",
                       f"{windows['floor_s'] * 1000 / windows['tool_runs']:.3f}",
                       f"{windows['ratio']:.4f} [{spread(windows['ratios'])}] ({windows['pairs']})"))
        say(f"  cmd.exe complaints (\"Can't recognize\" and the like): {windows['interpreter_complaints']}")
    say("")


def targets(result, settings):
    """The performance targets: each (text, figure, met). A missed target is printed, not an error."""
    folders = result["folders"]
    worst_ratio = max(d["ratio"] for d in folders)
    worst_instructions = max(d["instructions_per_entry"] for d in folders)
    memory = [d["peak_heap"] + d["peak_stack"] for d in folders]
    realtree = result["images"][-1]
    wide, widest_ext = result["wide"], result["images"][len(settings.sizes) - 1]
    wide_growth = (wide["kovox_s"] / wide["folders"]) / (widest_ext["kovox_s"] / widest_ext["folders"])
    found = [
        (f"kovox/floor <= 1.03 at every size (worst median {worst_ratio:.4f})", worst_ratio <= 1.03),
        (f"own instructions per entry <= 5,000 (worst {worst_instructions:.0f})", worst_instructions <= 5000),
        (f"peak memory flat from {settings.sizes[0]} to {settings.sizes[-1]} folders ({min(memory)} to "
         f"{max(memory)} bytes)", max(memory) - min(memory) <= 1024),
        ("the deep device lists completely, with no crash", result["deep"]["complete"]),
        (f"the tool started directly <= 1.2 x a trivial static program (median {result['spawn']['ratio']:.4f})",
         result["spawn"]["ratio"] <= 1.2),
        (f"kovox over realtree <= 1.4 x the trivial loop (median {realtree['loop_ratio']:.4f})",
         realtree["loop_ratio"] <= 1.4),
        (f"a folder below one of {settings.wide_folders:,} <= 1.2 x a folder of {widest_ext['name']} "
         f"(kovox, {wide_growth:.4f})", wide_growth <= 1.2),
    ]
    if result["windows"]:
        found.append((f"kovox.exe/floor under Wine <= 1.03 (median {result['windows']['ratio']:.4f})",
                      result["windows"]["ratio"] <= 1.03))
    return found


def draw_picture(result, path):
    """Milliseconds per folder for every device and image, for kovox, its floor, the trivial loop and
    7-Zip, and the split of one folder of the real tree as a stacked bar."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [(d["name"], d["tool_runs"], d["kovox_s"], d["floor_s"], None, None) for d in result["folders"]]
    rows += [(i["name"], i["folders"], i["kovox_s"], i["floor_s"], i["loop_s"], i["seven_zip_s"])
             for i in result["images"] + [result["wide"]]]
    if result["windows"]:
        w = result["windows"]
        rows.append((f"{w['name']}\n({w['arch']}, Wine)", w["tool_runs"], w["kovox_s"], w["floor_s"], None, None))
    sides = [("kovox", 2, "#1f77b4"), ("floor", 3, "#ff7f0e"), ("trivial loop", 4, "#2ca02c"), ("7-Zip", 5, "#7f7f7f")]
    figure, (bars, split) = plt.subplots(1, 2, figsize=(13, 5.2), gridspec_kw={"width_ratios": [5, 1]})
    width = 0.2
    for offset, (label, column, colour) in enumerate(sides):
        xs = [x + (offset - 1.5) * width for x, r in enumerate(rows) if r[column] is not None]
        ys = [r[column] * 1000 / r[1] for r in rows if r[column] is not None]
        bars.bar(xs, ys, width, label=label, color=colour)
    bars.set_yscale("log")
    bars.set_xticks(range(len(rows)), [r[0] for r in rows], rotation=30, ha="right", fontsize=8)
    bars.set_ylabel("ms per folder (log scale)")
    bars.set_title("One listing, per folder listed")
    bars.legend(fontsize=8)
    bars.grid(axis="y", which="both", alpha=0.3)

    layers = [(label, value) for label, value in result["split"].items() if label != "kovox, all of it"]
    bottom = 0.0
    colours = ["#9467bd", "#8c564b", "#e377c2", "#17becf"]
    for (label, value), colour in zip(layers, colours):
        shown = max(value, 0.0)  # kovox's own work is a difference of medians and can come out below 0
        split.bar(0, shown, 0.6, bottom=bottom, color=colour, label=f"{label} {value:.2f}")
        bottom += shown
    split.set_xticks([0], ["realtree"])
    split.set_ylabel("ms per folder")
    split.set_title("Where a folder goes")
    split.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.08))
    machine = result["machine"]
    figure.suptitle(f"kovox benchmark, {machine['date']}, commit {machine['commit']}"
                    f"{' (quick)' if result['quick'] else ''}", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)


# --- the run -----------------------------------------------------------------------------------

def machine_facts():
    commit = run(["git", "-C", str(SOURCE), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    return {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "cpus": os.cpu_count(),
            "shell": Path(os.path.realpath("/bin/sh")).name, "commit": commit.stdout.strip(),
            "load_start": " ".join(Path("/proc/loadavg").read_text().split()[:3]),
            "priority": f"real-time priority ({' '.join(REALTIME)})" if REALTIME else "normal priority"}


def main():
    if run([str(SOURCE / "scripts" / "setup.sh"), "bench"]).returncode != 0:
        sys.exit(1)
    settings = read_settings()
    build()
    limits = kovox_limits()
    shutil.rmtree(RESULTS, ignore_errors=True)
    RESULTS.mkdir(parents=True)
    DEVICES.mkdir(parents=True, exist_ok=True)
    for size in settings.sizes:
        make_device(f"folders{size}", make_folders_device, size)
    make_device("deep", make_deep_device, limits)
    make_device(f"wide{settings.wide_folders}", make_wide_device, settings.wide_folders)
    (DEVICES / "empty").mkdir(exist_ok=True)
    images = [f"ext{size}" for size in settings.sizes]
    for size in settings.sizes:
        make_image(f"ext{size}", DEVICES / f"folders{size}")
    make_image(f"wide{settings.wide_folders}", DEVICES / f"wide{settings.wide_folders}")
    make_image("realtree", Path(settings.real_tree))

    temp = Temp()
    os.environ["KOVO_DEVICES"] = str(DEVICES)
    os.chdir(BUILD)  # kovox finds kovont.exe in its current directory, as on Windows
    result = {"quick": settings.quick, "machine": machine_facts(), "limits": vars(limits)}
    start = time.perf_counter()
    try:
        result["folders"] = [measure_folder_device(size, pairs, temp)
                             for size, pairs in zip(settings.sizes, settings.pairs)]
        smallest = result["folders"][0]
        result["deep"] = measure_deep_device(smallest, limits, temp)
        temp.fresh()
        result["massif_smallest"] = massif_peaks(smallest["name"], smallest["entries"], temp)
        result["startup"] = measure_startup(smallest["name"], settings.startup_runs, temp)
        say("Measuring the images ...")
        result["images"] = [measure_image(name, rounds, settings.seven_zip_runs, temp)
                            for name, rounds in zip(images + ["realtree"], settings.image_rounds)]
        result["spawn"] = measure_spawn(result["images"][-1]["commands"], settings.spawn_rounds,
                                        settings.spawn_runs, temp)
        result["split"] = folder_split(result["images"][-1], result["spawn"])
        say(f"Measuring the wide folder: {settings.wide_folders:,} folders in one ...")
        result["wide"] = measure_image(f"wide{settings.wide_folders}", settings.wide_rounds, 3, temp)
        result["windows"] = measure_windows(settings.windows_folders, settings.windows_pairs, temp)
    finally:
        temp.remove()
    result["seconds"] = time.perf_counter() - start
    result["machine"]["load_end"] = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    for image in result["images"] + [result["wide"]]:
        del image["commands"]

    print_tables(result, settings)
    result["targets"] = [{"target": text, "met": met} for text, met in targets(result, settings)]
    for target in result["targets"]:
        say(f"target: {target['target']}: {'met' if target['met'] else 'NOT MET'}")
    result["failures"] = failures
    (RESULTS / "results.json").write_text(json.dumps(result, indent=1) + "\n")
    draw_picture(result, RESULTS / "bench.png")
    say(f"(figures: {RESULTS}/results.json; picture: {RESULTS}/bench.png; listings, records and valgrind "
        f"files beside them)")
    if failures:
        print(f"{len(failures)} check(s) failed: see above", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
