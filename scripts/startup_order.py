#!/usr/bin/env python3
"""Writes dirtool/tool/startup_order.txt: the functions the tool's runs call, for the link to lay
side by side at the start of the tool's code (see dirtool/tool/CMakeLists.txt).

    scripts/startup_order.py [TOOL]    TOOL: the statically linked tool, build/host/kovont.exe

Run it again when the tool's start-up or its reading of an ext file system changes much; a stale
list costs only page faults, which the benchmark's start-up row shows. It runs the tool under
valgrind's callgrind, which records every function a run calls, over images it makes with mke2fs,
sfdisk and qemu-img. The functions of listing and copying runs on a bare ext4 image come first, in
name order; those that listing a partitioned disk, a compressed QCOW2 and a streamOptimized VMDK
add come after them. Under valgrind the C library takes its own variants of the string functions
and sets up no vDSO, so every variant of a string function that ran is named, every IFUNC
resolver (a static program runs them all before main) and the functions that map the vDSO.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
OUTPUT = SOURCE / "dirtool" / "tool" / "startup_order.txt"
# Called natively but not under valgrind: what sets up the vDSO, which valgrind gives no process,
# and the C runtime's start-up and exit calls.
NATIVE_ONLY = ["frame_dummy", "register_tm_clones", "deregister_tm_clones", "__do_global_dtors_aux",
               "_dl_new_object", "_dl_setup_hash", "_dl_add_to_namespace_list", "_dl_lookup_symbol_x",
               "do_lookup_x", "check_match", "_dl_name_match_p", "_dl_vdso_vsym", "setup_vdso"]
# The string functions that vDSO set-up calls.
NATIVE_ONLY_STRING_FUNCTIONS = ["strcmp"]


def need(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        sys.exit(f"startup_order: needs {', '.join(missing)} (scripts/setup.sh bench installs them)")


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        sys.exit(f"startup_order: {' '.join(map(str, command))} failed:\n{result.stderr}")
    return result


def make_images(folder):
    tree = folder / "tree"
    (tree / "docs" / "notes").mkdir(parents=True)
    for index in range(20):
        (tree / "docs" / f"file-{index}.txt").write_text("some text\n" * (index * 40 + 1))
    (tree / "docs" / "notes" / "readme").write_text("a note\n")
    # A folder of many blocks, as a real root is, whose extents need a tree block of their own.
    (tree / "wide").mkdir()
    for index in range(1500):
        (tree / "wide" / f"entry-with-a-long-name-{index:04}").mkdir()
    run(["mke2fs", "-q", "-t", "ext4", "-N", "4096", "-d", str(tree), str(folder / "bare.img"), "16M"])
    run(["qemu-img", "convert", "-c", "-O", "qcow2", str(folder / "bare.img"), str(folder / "packed.img")])
    run(["qemu-img", "convert", "-O", "vmdk", "-o", "subformat=streamOptimized", str(folder / "bare.img"),
         str(folder / "stream.img")])
    disk = folder / "parted.img"
    with open(disk, "wb") as file:
        file.truncate(20 * 1024 * 1024)
    run(["sfdisk", "-q", str(disk)], input="label: gpt\nstart=2048, type=linux\n")
    with open(folder / "bare.img", "rb") as bare, open(disk, "r+b") as file:
        file.seek(2048 * 512)
        file.write(bare.read())


def called_functions(tool, folder, arguments):
    """The names of the functions one run of the tool calls, as its symbol table spells them."""
    profile = folder / "callgrind.out"
    # The store of inflated clusters where a user's run finds it: below the cache folder.
    environment = {key: value for key, value in os.environ.items() if key != "KOVO_CACHE"}
    environment.update(KOVO_DEVICES=str(folder), XDG_CACHE_HOME=str(folder / "cache"))
    run(["valgrind", "--tool=callgrind", "--demangle=no", f"--callgrind-out-file={profile}", str(tool)] + arguments,
        cwd=folder / "copies", env=environment)
    names = set()
    for line in profile.read_text().splitlines():
        match = re.match(r"c?fn=\(\d+\) (.+)$", line)
        if match:
            names.add(re.sub(r"'\d+$", "", match.group(1)))
    profile.unlink()
    return {name for name in names if not name.startswith("0x") and not name.startswith("(")}


def symbol_table(tool):
    """The tool's function names, and the string functions the C library picks a variant of at
    start-up: those with a resolver, NAME_ifunc, or an IFUNC symbol (the link may have turned
    that into a plain entry point)."""
    functions, picked = set(), set()
    for line in run(["nm", str(tool)]).stdout.splitlines():
        fields = line.split()
        if len(fields) != 3 or fields[1] not in "tTwWi":
            continue
        functions.add(fields[2])
        if fields[1] == "i":
            picked.add(fields[2])
    picked |= {name[:-len("_ifunc")] for name in functions if name.endswith("_ifunc")}
    resolvers = {name for name in functions if name.endswith("_ifunc")} | (picked & functions)
    return functions, picked, resolvers


def with_variants(called, functions, picked, also=()):
    """Each string function that ran, in every variant the C library may pick on another CPU. A
    string function ran when one of its variants did: under valgrind its public name is its
    resolver, which runs in every run. `also` names string functions known to run natively."""
    bases = sorted(picked, key=len, reverse=True)
    ran = set(also)
    for name in called - picked:
        if not name.endswith("_ifunc"):
            ran |= {next((b for b in bases if name.startswith(f"__{b}_")), None)} - {None}
    return {f for f in functions for base in ran if f.startswith(f"__{base}_")}


def main():
    tool = Path(sys.argv[1] if len(sys.argv) > 1 else SOURCE / "build" / "host" / "kovont.exe").resolve()
    need("valgrind", "mke2fs", "sfdisk", "qemu-img", "nm")
    if not tool.is_file():
        sys.exit(f"startup_order: no tool at {tool}; build the host preset first")
    functions, picked, resolvers = symbol_table(tool)
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        (folder / "copies").mkdir()
        make_images(folder)
        first = set()
        for arguments in (["-s/dev/bare", "/"], ["-s/dev/bare", "/docs/"], ["-s/dev/bare", "/wide/"],
                          ["-READ", "-s/dev/bare", "/docs/file-3.txt", "file-3.txt"]):
            first |= called_functions(tool, folder, arguments)
        later = set()
        for arguments in (["-s/dev/parted", "/1/docs/"], ["-s/dev/packed", "/docs/"], ["-s/dev/stream", "/docs/"]):
            later |= called_functions(tool, folder, arguments)
    # What ran first, then the variants of its string functions that other CPUs take, then the same
    # for the other disks: each run then touches one stretch of code, and one beside it.
    first |= set(NATIVE_ONLY) | resolvers
    first_variants = with_variants(first, functions, picked, NATIVE_ONLY_STRING_FUNCTIONS) - first
    later -= first | first_variants
    later_variants = with_variants(later, functions, picked) - first - first_variants - later
    lines = ["# The functions the tool's runs call, laid first in its code by the link: written by",
             "# scripts/startup_order.py. Listing and copying on a bare ext4 image first, then what a",
             "# partitioned disk, a compressed QCOW2 and a streamOptimized VMDK add."]
    for group in (first, first_variants, later, later_variants):
        lines += sorted(name for name in group if name in functions)
    OUTPUT.write_text("\n".join(lines) + "\n")
    print(f"startup_order: {len(lines) - 3} functions into {OUTPUT.relative_to(SOURCE)}")


if __name__ == "__main__":
    main()
