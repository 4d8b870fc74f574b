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
command. bench/README.md says what each figure means; the measurements are in bench/kovox_bench/,
which Python finds beside this file, as it puts a script's own folder first on its path.
"""

import os
import shutil
import sys
import time

from kovox_bench.common import BUILD, CLUSTER_STORE, DEVICES, RESULTS, SOURCE, Temp, failures, read_settings, run, say
from kovox_bench.devices import build, kovox_limits, make_devices_and_images
from kovox_bench.disks import disk_settings, make_disk_images, measure_disks
from kovox_bench.folders import measure_deep_device, measure_folder_device
from kovox_bench.kovox import massif_peaks
from kovox_bench.report import report
from kovox_bench.seven_zip import measure_image
from kovox_bench.timing import folder_split, load_average, machine_facts, measure_spawn, measure_startup
from kovox_bench.windows import measure_windows


def main():
    if run([str(SOURCE / "scripts" / "setup.sh"), "bench"], cwd=SOURCE).returncode != 0:
        sys.exit(1)
    settings = read_settings()
    build()
    limits = kovox_limits()
    shutil.rmtree(RESULTS, ignore_errors=True)
    RESULTS.mkdir(parents=True)
    images = make_devices_and_images(settings, limits)
    unavailable = make_disk_images(images[0], settings.real_tree)

    temp = Temp()
    os.environ["KOVO_DEVICES"] = str(DEVICES)
    os.environ["KOVO_CACHE"] = str(CLUSTER_STORE)
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
        result["disks"] = measure_disks(images[0], disk_settings(settings.quick), unavailable, temp)
        result["windows"] = measure_windows(settings.windows_folders, settings.windows_pairs, temp)
    finally:
        temp.remove()
    result["seconds"] = time.perf_counter() - start
    result["machine"]["load_end"] = load_average()
    for image in result["images"] + [result["wide"]]:
        del image["commands"]

    report(result, settings)
    if failures:
        print(f"{len(failures)} check(s) failed: see above", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
