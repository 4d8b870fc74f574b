"""The paths, the settings, the checks and small helpers shared by every measurement."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent.parent
BUILD = SOURCE / "build" / "bench"
DEVICES = BUILD / "devices"
RESULTS = BUILD / "results"
# Where the tool keeps the clusters it inflates from a compressed image for its next run; each timed
# walk of kovox starts with it empty, as a first opening of the image does.
CLUSTER_STORE = BUILD / "kovont-cache"
RECORD_LIBRARY = BUILD / "bench" / "libkovox_bench_record.so"


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
