"""The images of the disk rows: containers that qemu-img writes from raw images, a logical volume in
a partition whose metadata LVM's own tools write, ext4 file systems of 8 TiB and of 1 GiB holding
the same tree, and a file system whose journal holds committed transactions not yet written in
place. Each is made once in build/bench/devices and again when what it is made from changes. A
maker returns None, or why the image cannot be had on this machine (no loop device, a host file
system that refuses a file of 8 TiB): the row then says so instead of giving a figure."""

import os
import random
import shutil
import subprocess

from .common import DEVICES, fail, run, say

DISK_LAYOUT = "1"  # bump when a maker changes, so that old images are made again
WORK = DEVICES / "disk-work"
MIB = 1 << 20
TIB = 1 << 40
# mke2fs and debugfs take the time from here: the 8 TiB and 1 GiB file systems get the same dates.
FAKE_TIME = dict(os.environ, E2FSPROGS_FAKE_TIME="1700000000")


def checked(command, what, env=None, input_text=None):
    """Runs a command that making an image needs; a failure is a failed check. Returns its output."""
    result = run(command, capture_output=True, text=True, env=env, input=input_text)
    if result.returncode != 0:
        fail(f"{what}: {' '.join(map(str, command))} ended with status {result.returncode}: "
             f"{result.stderr.strip()[-400:]}")
        return None
    return result.stdout


def made(image, sources, maker, *arguments):
    """Makes `image` with `maker` unless it was made from `sources` as they are now. Returns None,
    or why it cannot be had here."""
    stamp_file = image.with_name(image.name + ".layout")
    stamp = DISK_LAYOUT + "".join(f" {s.stat().st_size}:{s.stat().st_mtime_ns}" for s in sources)
    if image.exists() and stamp_file.exists() and stamp_file.read_text() == stamp:
        return None
    say(f"Making {image.name} ...")
    image.unlink(missing_ok=True)
    stamp_file.unlink(missing_ok=True)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    why = maker(image, *arguments)
    shutil.rmtree(WORK, ignore_errors=True)
    if why is None and image.exists():
        stamp_file.write_text(stamp)
        return None
    image.unlink(missing_ok=True)
    return why or "could not be made"


def sparse_file(path, size):
    """An empty sparse file of `size` bytes; None, or the host file system's refusal."""
    try:
        with open(path, "wb") as file:
            file.truncate(size)
    except OSError as error:
        path.unlink(missing_ok=True)
        return f"the host file system refuses a file of {size >> 40} TiB ({error.strerror})"
    return None


def container(image, raw, virtual_size, options):
    """`raw` in the container qemu-img writes with `options`: written at the start of a sparse disk
    of `virtual_size` bytes when that is given (qemu-img skips the holes), else as it is."""
    source = raw
    if virtual_size:
        source = WORK / "disk.raw"
        shutil.copyfile(raw, source)
        try:
            os.truncate(source, virtual_size)
        except OSError as error:
            return f"the host file system refuses a file of {virtual_size >> 40} TiB ({error.strerror})"
    if checked(["qemu-img", "convert", "-f", "raw", *options, str(source), str(image)], f"making {image.name}") is None:
        return "qemu-img could not write it"
    return None


def lvm_disk(image, raw):
    """`raw` in a logical volume "realtree" of a group whose one physical volume is partition 1 of
    an MBR disk: pvcreate, vgcreate and lvcreate describe it through a loop device over the
    partition, with a configuration of their own and without the device mapper; the image then
    goes where lvs says the volume's extents lie."""
    extent = 4 * MIB
    extents = -(-raw.stat().st_size // extent)
    start, physical = MIB, (extents + 2) * extent  # two extents' room for the label and metadata
    if sparse_file(image, start + physical) or checked(["sfdisk", "-q", str(image)], "partitioning the LVM disk",
                                                       input_text="label: dos\nstart=2048, type=8e\n") is None:
        return "could not partition it"
    attach = run(["losetup", "-f", "--show", "-o", str(start), "--sizelimit", str(physical), str(image)],
                 capture_output=True, text=True)
    loop = attach.stdout.strip()
    if attach.returncode != 0 or not loop.startswith("/dev/loop"):
        return f"no loop device on this machine (losetup: {attach.stderr.strip()[-200:]})"
    try:
        (WORK / "lvm").mkdir()
        (WORK / "lvm" / "lvm.conf").write_text(
            f'devices {{ filter = [ "a|^{loop}$|", "r|.*|" ] obtain_device_list_from_udev = 0 use_devicesfile = 0 }}\n'
            "activation { udev_sync = 0 udev_rules = 0 monitoring = 0 }\nbackup { backup = 0 archive = 0 }\n")
        env = dict(os.environ, LVM_SYSTEM_DIR=str(WORK / "lvm"), LVM_SUPPRESS_FD_WARNINGS="1")

        def lvm(*words):
            return checked(["lvm", words[0], "--driverloaded", "n", "--nolocking", *words[1:]], "describing the LVM "
                           "volume", env=env)

        if (lvm("pvcreate", "-q", loop) is None or lvm("vgcreate", "-q", "-s", "4m", "kvbench", loop) is None or
                lvm("lvcreate", "-q", "-an", "-Zn", "-l", str(extents), "-n", "realtree", "kvbench") is None):
            return "LVM's tools could not describe the volume"
        pe_start = lvm("pvs", "--noheadings", "--units", "b", "--nosuffix", "-o", "pe_start", loop)
        segments = lvm("lvs", "--noheadings", "--separator", "|", "-o", "seg_start_pe,seg_pe_ranges", "kvbench/realtree")
        if pe_start is None or segments is None:
            return "LVM's tools could not say where the volume lies"
        # One segment from the volume's first extent: "0|/dev/loopN:FIRST-LAST".
        fields = segments.strip().split("|")
        if len(segments.strip().splitlines()) != 1 or fields[0].strip() != "0" or ":" not in fields[1]:
            fail(f"the benchmark's logical volume is not one segment: {segments.strip()}")
            return "the volume is not one segment"
        first = int(fields[1].split(":")[1].split("-")[0])
        offset = start + int(pe_start) + first * extent
        if checked(["dd", f"if={raw}", f"of={image}", "bs=1M", f"seek={offset}", "oflag=seek_bytes", "conv=notrunc",
                    "status=none"], "writing the LVM volume") is None:
            return "could not write the volume"
    finally:
        run(["losetup", "-d", loop])
    return None


def sized_ext(image, tree, size):
    """An ext4 file system of `size` bytes holding `tree`, every table left to be initialised
    lazily, so that even 8 TiB takes little room on the host."""
    why = sparse_file(image, size)
    if why:
        return why
    result = run(["mke2fs", "-q", "-F", "-t", "ext4", "-E", "lazy_itable_init=1,lazy_journal_init=1,nodiscard",
                  "-d", str(tree), str(image)], capture_output=True, text=True, env=FAKE_TIME)
    if result.returncode != 0:
        if "too large" in result.stderr.lower():
            return f"the host file system refuses a file of {size >> 40} TiB"
        fail(f"mke2fs could not make {image.name}: {result.stderr.strip()[-300:]}")
        return "mke2fs could not make it"
    return None


def changed_blocks(before, after, block_size):
    """The numbers of the blocks in which `after` differs from `before`, and their bytes in `after`."""
    changed = []
    with open(before, "rb") as old, open(after, "rb") as new:
        number = 0
        while True:
            old_block, new_block = old.read(block_size), new.read(block_size)
            if not new_block:
                return changed
            if old_block != new_block:
                changed.append((number, new_block))
            number += 1


def crashed_ext(crashed, tree, journaled):
    """A file system as a crash leaves it: `journaled` bytes of new files in a new folder /crash,
    committed to the journal by debugfs's journal writer (transactions of at most 4 MiB) and not
    written in place. Beside it "<name>-before", the file system as it was before the change."""
    block = 4096
    before, after = WORK / "before.img", WORK / "after.img"
    if checked(["mke2fs", "-q", "-F", "-t", "ext4", "-b", str(block), "-J", "size=64", "-d", str(tree), str(before),
                "256M"], "making the file system to crash", env=FAKE_TIME) is None:
        return "mke2fs could not make it"
    shutil.copyfile(before, after)
    script = ["mkdir /crash"]
    files = random.Random(1)
    for number in range(4):
        (WORK / f"new{number}").write_bytes(files.randbytes(journaled // 4))
        script.append(f"write {WORK}/new{number} /crash/new{number}.dat")
    (WORK / "change").write_text("\n".join(script) + "\n")
    if checked(["debugfs", "-w", "-f", str(WORK / "change"), str(after)], "changing the file system to crash",
               env=FAKE_TIME) is None:
        return "debugfs could not change it"
    changed = changed_blocks(before, after, block)
    journal = ["jo"]
    for first in range(0, len(changed), 1024):
        part = changed[first:first + 1024]
        (WORK / f"blocks{first}").write_bytes(b"".join(data for _, data in part))
        journal.append(f"jw -b {','.join(str(number) for number, _ in part)} {WORK}/blocks{first}")
    (WORK / "journal").write_text("\n".join(journal + ["jc"]) + "\n")
    shutil.copyfile(before, crashed.with_name(crashed.stem + "-before.img"))
    shutil.copyfile(before, WORK / "crashed.img")
    if checked(["debugfs", "-w", "-f", str(WORK / "journal"), str(WORK / "crashed.img")],
               "writing the journal of the crashed file system") is None:
        return "debugfs could not write the journal"
    shutil.move(WORK / "crashed.img", crashed)
    crashed.with_suffix(".journaled").write_text(str(len(changed) * block))
    return None


def recovered_ext(recovered, crashed):
    """A copy of the crashed file system, recovered by e2fsck (status 1: it fixed something)."""
    shutil.copyfile(crashed, recovered)
    status = run(["e2fsck", "-fy", str(recovered)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    if status not in (0, 1):
        fail(f"e2fsck -fy could not recover {crashed.name} (status {status})")
        return "e2fsck could not recover it"
    return None

