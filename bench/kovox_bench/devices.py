"""Building, kovox's limits, and the devices and ext4 images the measurements list."""

import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from .common import BUILD, DEVICES, SOURCE, fail, run, say

DEVICE_LAYOUT = "1"  # bump when a make_*_device function changes, so that old devices are remade


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


def make_devices_and_images(settings, limits):
    """Every device and image the measurements list, each made only where it is missing or stale;
    returns the names of the images made from the folder devices."""
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
    return images
