"""The folder devices: interleaved pairs of kovox and its floor, kovox's own instructions and its
peak heap and stack; and the deep device, which must list completely with no crash."""

from .common import RESULTS, fail, failures, median, ratios, run, say
from .kovox import (as_built, check_kovox_run, listed_directory, massif_peaks, own_instructions,
                    record_and_check, stack_per_level)
from .timing import alternating_rounds, timed


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
