"""The ext4 images: each listing checked entry by entry against 7-Zip's reading of the image, and
rounds of kovox, its floor and the trivial loop, set beside 7-Zip listing the image itself."""

from .common import DEVICES, RESULTS, fail, median, ratios, run, say
from .kovox import check_kovox_run, printed, record_run
from .timing import alternating_rounds, timed


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
