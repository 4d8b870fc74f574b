"""The disk rows: what a virtual-disk container, a logical volume, a file system of 8 TiB and a
crashed file system cost against the same tree in a raw, bare, small or recovered image. Each row
first checks that its image lists exactly as its counterpart does, then times it: the tool started
directly on one folder, both images taking turns run by run, or kovox over the whole real tree, in
rounds that alternate which image goes first. A row whose image the tool cannot read yet, or that
this machine cannot make, says so instead of giving a figure."""

import shutil
import subprocess
from dataclasses import dataclass
from functools import lru_cache

from .common import CLUSTER_STORE, DEVICES, RESULTS, fail, median, numbers_from_environment, ratios, run, say, spread
from .disk_images import MIB, TIB, container, crashed_ext, lvm_disk, made, recovered_ext, sized_ext
from .kovox import check_kovox_run
from .timing import REALTIME, alternating_rounds, timed

NOT_READ = "not read by this tool yet"
NOT_RECOVERED = "the journal is not recovered by this tool yet"
TIMED_FOLDER = "/dir0/"  # a folder below the small tree's root: each run looks its way through the root

# device, what it is, how qemu-img writes it, goal: the tool on a 1 TiB disk holding the small tree
SMALL_CONTAINERS = [
    ("tibvhdx", "a tool run on a 1 TiB dynamic VHDX", ["-O", "vhdx", "-o", "subformat=dynamic,block_size=1M"], 1.2),
    ("tibvdi", "a tool run on a 1 TiB dynamic VDI", ["-O", "vdi"], 1.2),
    ("tibqcow2", "a tool run on a 1 TiB QCOW2", ["-O", "qcow2"], 1.2),
    ("tibvmdk", "a tool run on a 1 TiB sparse VMDK", ["-O", "vmdk", "-o", "subformat=monolithicSparse"], 1.2),
]
# the same for kovox over the real tree
REAL_CONTAINERS = [
    ("realvhdx", "kovox over realtree in a dynamic VHDX", ["-O", "vhdx", "-o", "subformat=dynamic,block_size=1M"], 1.1),
    ("realqcow2c", "kovox over realtree in a compressed QCOW2", ["-c", "-O", "qcow2"], 1.2),
    ("realvmdks", "kovox over realtree in a streamOptimized VMDK", ["-O", "vmdk", "-o", "subformat=streamOptimized"],
     1.2),
]
LVM_PREFIX = b"1/realtree"  # partition 1, logical volume "realtree"


@dataclass
class DiskSettings:
    tool_rounds: int    # rounds of the tool started directly on both images, taking turns
    tool_runs: int      # runs of each image a round
    kovox_rounds: int   # rounds of kovox over both images
    memory_runs: int    # runs of each image whose peak memory is taken


def disk_settings(quick):
    if quick:
        return DiskSettings(3, 60, 2, 3)
    return DiskSettings(*numbers_from_environment("KOVOX_BENCH_DISK_ROUNDS", "5 300 5"), 9)


def make_disk_images(small, real_tree):
    """Every image of the disk rows; returns why an image cannot be had, by device name."""
    raw, real = DEVICES / f"{small}.img", DEVICES / "realtree.img"
    tree = DEVICES / small.replace("ext", "folders", 1)
    why = {}
    for name, _, options, _ in SMALL_CONTAINERS:
        why[name] = made(DEVICES / f"{name}.img", [raw], container, raw, TIB, options)
    for name, _, options, _ in REAL_CONTAINERS:
        why[name] = made(DEVICES / f"{name}.img", [real], container, real, 0, options)
    why["reallvm"] = made(DEVICES / "reallvm.img", [real], lvm_disk, real)
    why["ext8tib"] = made(DEVICES / "ext8tib.img", [raw], sized_ext, tree, 8 * TIB)
    why["ext1gib"] = made(DEVICES / "ext1gib.img", [raw], sized_ext, tree, 1 << 30)
    why["crashed"] = made(DEVICES / "crashed.img", [raw], crashed_ext, tree, 16 * MIB)
    if why["crashed"] is None:
        why["recovered"] = made(DEVICES / "recovered.img", [DEVICES / "crashed.img"], recovered_ext,
                                DEVICES / "crashed.img")
    return {name: reason for name, reason in why.items() if reason}


# --- checks ------------------------------------------------------------------------------------

def tool_output(device, path):
    result = run(["./kovont.exe", f"-s/dev/{device}", path], capture_output=True)
    return result.stdout.splitlines(), result.stderr, result.returncode


def entries_of(lines):
    """The entry lines of a tool listing: without ".", ".." and the closing or failing lines."""
    return [line for line in lines if not line.startswith((b"Disk space:", b"Can't find"))
            and not line.endswith((b" .", b" .."))]


def same_tool_listing(device, against, path, free_space_too):
    lines, _, _ = tool_output(device, path)
    their, _, _ = tool_output(against, path)
    if not free_space_too:  # another file system of its own: only its free space differs
        lines, their = entries_of(lines), entries_of(their)
    return lines == their


def kovox_listing(name, temp, strip=b""):
    """kovox's lines for a device; with `strip`, the lines below that folder with it taken from
    their paths, and the folders on the way to it left out."""
    temp.fresh()
    listing = RESULTS / f"{name}.disk-listing"
    # What the tool says on standard error (a recovered journal, say) goes beside the listing.
    with open(listing, "wb") as out, open(RESULTS / f"{name}.disk-stderr", "ab") as errors:
        status = run(["./kovox", f"{name}.img"], stdout=out, stderr=errors).returncode
    if status != 0:
        fail(f"kovox {name} ended with status {status}")
    temp.check_empty(f"kovox {name}")
    lines = listing.read_bytes().splitlines()
    if strip:
        parts = strip.split(b"/")
        above = {b"/".join(parts[:n]) for n in range(1, len(parts) + 1)}
        lines = [line[:46] + line[46 + len(strip) + 1:] for line in lines
                 if line[46:].startswith(strip + b"/") or line[46:] not in above]
    return lines


@lru_cache(maxsize=None)
def counterpart_listing(name, temp):
    """kovox's lines for a raw, bare, small or recovered image, which several rows are set against."""
    return kovox_listing(name, temp)


def checked_row(row, device, against, temp, folder=TIMED_FOLDER, strip=b"", free_space_too=True):
    """Whether a row can be measured: the tool reads the device, and kovox lists it as its
    counterpart, entry for entry, as does the tool the timed folder. Sets the row's status."""
    lines, errors, _ = tool_output(device, "/")
    if b"no file system this tool can read" in errors or (not strip and not entries_of(lines)):
        row["status"] = NOT_READ
        return False
    listing, their = kovox_listing(device, temp, strip), counterpart_listing(against, temp)
    if strip and not listing:
        row["status"] = NOT_READ
        return False
    if listing != their:
        fail(f"kovox's listing of {device} is not that of {against} ({RESULTS}/{device}.disk-listing)")
        row["status"] = "listing differs"
        return False
    if folder and not same_tool_listing(device, against, folder, free_space_too):
        fail(f"the tool lists {folder} of {device} otherwise than that of {against}")
        row["status"] = "listing differs"
        return False
    row["entries"] = len(listing)
    row["status"] = "measured"
    return True


# --- timing ------------------------------------------------------------------------------------

def time_tool_runs(row, settings, temp, folder=TIMED_FOLDER):
    """The tool started directly on both images, taking turns run by run (bench/spawn.cpp); per
    round the median of each side's runs, and their ratio."""
    temp.fresh()
    sides, mine, theirs = [], [], []
    for _ in range(settings.tool_rounds):
        result = run(REALTIME + ["./kovox_bench_spawn", str(settings.tool_runs), str(temp.path / "spawned"),
                                 "./kovont.exe", f"-s/dev/{row['device']}", folder, "--",
                                 "./kovont.exe", f"-s/dev/{row['against']}", folder], capture_output=True, text=True)
        if result.returncode != 0:
            fail(f"the timed tool runs of {row['device']} failed: {result.stderr.strip()}")
            return
        first, second = map(float, result.stdout.split())
        mine.append(first)
        theirs.append(second)
    sides = ratios(mine, theirs)
    row.update(unit="ms", side=median(mine), against_side=median(theirs), times=mine, against_times=theirs,
               ratio=median(sides), ratios=sides, rounds=settings.tool_rounds, runs=settings.tool_runs)


def time_kovox(row, settings, temp, expected_lines):
    """kovox over both images in rounds that alternate which goes first."""
    def side(name, lines):
        def one():
            temp.fresh()
            shutil.rmtree(CLUSTER_STORE, ignore_errors=True)
            with open(RESULTS / f"{name}.out", "wb") as out, open(RESULTS / f"{name}.disk-stderr", "ab") as errors:
                elapsed, status = timed(["./kovox", f"{name}.img"], stdout=out, stderr=errors)
            check_kovox_run(name, RESULTS / f"{name}.out", status, lines, temp)
            return elapsed
        return one

    times = alternating_rounds(settings.kovox_rounds, {"mine": side(row["device"], expected_lines),
                                                       "theirs": side(row["against"], row["entries"])})
    sides = ratios(times["mine"], times["theirs"])
    row.update(unit="s", side=median(times["mine"]), against_side=median(times["theirs"]), times=times["mine"],
               against_times=times["theirs"], ratio=median(sides), ratios=sides, rounds=settings.kovox_rounds)


def peak_memory_kib(device, folder, temp):
    """The tool's peak resident memory for one run, as the kernel counts it for the child of GNU
    time: a small process, where a child forked from this one would count Python's pages first."""
    figure = temp.path / "peak"
    status = run(["/usr/bin/time", "-f", "%M", "-o", str(figure), "./kovont.exe", f"-s/dev/{device}", folder],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    if status != 0 or not figure.read_text().strip().isdigit():
        fail(f"the tool ended with status {status} on {device}, or GNU time measured nothing")
        return 0
    return int(figure.read_text())


def memory_row(size_row, settings, temp):
    temp.fresh()
    mine = [peak_memory_kib(size_row["device"], TIMED_FOLDER, temp) for _ in range(settings.memory_runs)]
    theirs = [peak_memory_kib(size_row["against"], TIMED_FOLDER, temp) for _ in range(settings.memory_runs)]
    temp.path.joinpath("peak").unlink(missing_ok=True)
    return {"row": "peak memory of a tool run on an 8 TiB ext4", "device": size_row["device"],
            "against": size_row["against"], "goal": 2.0, "status": "measured", "unit": "KiB",
            "side": median(mine), "against_side": median(theirs), "times": mine, "against_times": theirs,
            "ratio": median(mine) / max(median(theirs), 1), "ratios": ratios(mine, [max(t, 1) for t in theirs]), "rounds": settings.memory_runs}


# --- the rows ----------------------------------------------------------------------------------

def new_row(device, what, against, goal, why_not):
    """A row; with `why_not`, one that this machine cannot have, which says why."""
    row = {"row": what, "device": device, "against": against, "goal": goal}
    if why_not:
        row["status"] = why_not
    return row


def measure_disks(small, settings, unavailable, temp):
    """Every disk row, checked, then timed where it can be."""
    say("Measuring the disk rows: containers, a logical volume, 8 TiB and a crashed file system ...")
    realtree_lines = len(counterpart_listing("realtree", temp))
    rows = []
    for device, what, _, goal in SMALL_CONTAINERS:
        row = new_row(device, what, small, goal, unavailable.get(device))
        if "status" not in row and checked_row(row, device, small, temp):
            time_tool_runs(row, settings, temp)
        rows.append(row)
    for device, what, _, goal in REAL_CONTAINERS + [("reallvm", "kovox over realtree on an LVM volume in a "
                                                     "partition", None, 1.05)]:
        row = new_row(device, what, "realtree", goal, unavailable.get(device))
        strip = LVM_PREFIX if device == "reallvm" else b""
        if "status" not in row and checked_row(row, device, "realtree", temp, folder=None, strip=strip):
            time_kovox(row, settings, temp, realtree_lines + (len(strip.split(b"/")) if strip else 0))
        rows.append(row)
    size_row = new_row("ext8tib", "a tool run on an 8 TiB sparse ext4", "ext1gib", 1.2,
                       unavailable.get("ext8tib") or unavailable.get("ext1gib"))
    if "status" not in size_row and checked_row(size_row, "ext8tib", "ext1gib", temp, free_space_too=False):
        time_tool_runs(size_row, settings, temp)
    rows.append(size_row)
    rows.append(memory_row(size_row, settings, temp) if size_row.get("ratio") else
                dict(size_row, row="peak memory of a tool run on an 8 TiB ext4", goal=2.0))
    rows.append(crash_row(settings, unavailable, temp))
    return {"rows": rows, "settings": vars(settings)}


def crash_row(settings, unavailable, temp):
    """The crashed file system against its recovered copy, on the folder the journal made; until
    the tool recovers a journal it lists the file system as it was before the crash."""
    row = new_row("crashed", "a tool run with 16 MiB of the journal unrecovered", "recovered",
                  1.5, unavailable.get("crashed") or unavailable.get("recovered"))
    if "status" in row:
        return row
    row["journaled_bytes"] = int((DEVICES / "crashed.journaled").read_text())
    if (same_tool_listing("crashed", "crashed-before", "/", False) and
            not same_tool_listing("crashed", "recovered", "/", False)):
        row["status"] = NOT_RECOVERED
        return row
    if checked_row(row, "crashed", "recovered", temp, folder="/crash/", free_space_too=False):
        time_tool_runs(row, settings, temp, folder="/crash/")
    return row


# --- the table and the targets -----------------------------------------------------------------

def print_disk_rows(disks):
    settings = disks["settings"]
    say(f"disk rows: each against the same tree raw, bare, small or recovered; a tool run started directly "
        f"(median of {settings['tool_rounds']} rounds of {settings['tool_runs']} runs each, taking turns) or "
        f"kovox over realtree ({settings['kovox_rounds']} rounds, alternating)")
    row_format = "{:<52} {:<11} {:<10} {:>9} {:>9} {:<5} {}"
    say(row_format.format("row", "device", "against", "image", "against", "unit", "ratio median [min..max] (rounds)"))
    for row in disks["rows"]:
        if row.get("status") != "measured" or "ratio" not in row:
            say(row_format.format(row["row"], row["device"], row["against"], "", "", "", row.get("status", "")))
            continue
        digits = 0 if row["unit"] == "KiB" else 3
        say(row_format.format(row["row"], row["device"], row["against"], f"{row['side']:.{digits}f}",
                              f"{row['against_side']:.{digits}f}", row["unit"],
                              f"{row['ratio']:.4f} [{spread(row['ratios'])}] ({row['rounds']})"))
    crash = disks["rows"][-1]
    if crash.get("journaled_bytes"):
        say(f"  the crashed file system's journal holds {crash['journaled_bytes'] / MIB:.1f} MiB of committed blocks")
    say("")


def disk_targets(disks):
    """Each row's goal: (text, met), met None where the row has no figure."""
    found = []
    for row in disks["rows"]:
        text = f"{row['row']} <= {row['goal']} x {row['against']}"
        if row.get("status") == "measured" and "ratio" in row:
            found.append((f"{text} (median {row['ratio']:.4f})", row["ratio"] <= row["goal"]))
        else:
            found.append((f"{text} ({row.get('status', 'not measured')})", None))
    return found

