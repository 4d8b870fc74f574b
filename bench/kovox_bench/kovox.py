"""Running kovox: its checked runs, the record runs with bench/record_system.cpp preloaded, the
listing and command texts it must produce, and valgrind's counts of its instructions and memory."""

import os
import re
from dataclasses import dataclass

from .common import BUILD, DEVICES, RECORD_LIBRARY, RESULTS, fail, lines_of, run

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
