"""The tables, the performance targets, results.json and the picture."""

import json

from .common import RESULTS, failures, say, spread
from .disks import disk_targets, print_disk_rows


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


def report(result, settings):
    """The tables and the targets printed; every figure, the targets and the failed checks written to
    results.json; and the picture."""
    print_tables(result, settings)
    print_disk_rows(result["disks"])
    # A disk row without a figure (its image not read yet, or not to be had here) has met None.
    result["targets"] = [{"target": text, "met": met}
                         for text, met in targets(result, settings) + disk_targets(result["disks"])]
    for target in result["targets"]:
        verdict = "not measured" if target["met"] is None else "met" if target["met"] else "NOT MET"
        say(f"target: {target['target']}: {verdict}")
    result["failures"] = failures
    (RESULTS / "results.json").write_text(json.dumps(result, indent=1) + "\n")
    draw_picture(result, RESULTS / "bench.png")
    say(f"(figures: {RESULTS}/results.json; picture: {RESULTS}/bench.png; listings, records and valgrind "
        f"files beside them)")
