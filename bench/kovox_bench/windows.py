"""Windows: kovox.exe under Wine over a folder device, against its floor under the same Wine."""

import os
import subprocess
from pathlib import Path

from .common import DEVICES, RESULTS, SOURCE, fail, median, ratios, run, say
from .kovox import check_kovox_run, expected_listing, printed
from .timing import alternating_rounds, timed


def loader_fails(loader):
    """Why Wine's loader cannot start here, or "" when it can. A kernel without 32-bit support
    refuses the 32-bit loader at once with "Exec format error"."""
    if not os.access(loader, os.X_OK):
        return f"{loader} is not installed"
    try:
        result = run([loader, "--version"], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{loader} does not start ({error})"
    return "" if result.returncode == 0 else f"{loader} does not start"


def windows_build():
    """The release build, i686 under 32-bit Wine, where this machine runs 32-bit code; else the same
    sources built for x86_64 under wine64, as the test command chooses."""
    why_not_win32 = loader_fails("/usr/lib/wine/wine")
    qemu = Path("/proc/sys/fs/binfmt_misc/qemu-i386")
    if not why_not_win32 and qemu.exists() and "enabled" in qemu.read_text():
        why_not_win32 = "32-bit x86 code runs here only through qemu user emulation"
    if not why_not_win32:
        return "win32", "mingw-i686.cmake", "/usr/lib/wine/wine", ""
    # wine64 through the tests' wrapper, which keeps it from failing now and then to start a process.
    return "win64", "mingw-x86_64.cmake", str(SOURCE / "cmake" / "wine64-fixed-layout.sh"), why_not_win32


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def measure_windows(folders, pairs, temp):
    """kovox.exe under Wine over a folder device, against its floor: the command texts kovox.exe
    builds for that device, run back to back through system() by kovox_bench_floor.exe under the same
    Wine, each redirected into its file and the file deleted. Both are built by a cross build of the
    benchmark's own, and both sides start one Windows program under Wine per timed run."""
    name = f"folders{folders}"
    arch, toolchain, loader, why = windows_build()
    say(f"Measuring Windows: kovox.exe ({arch}) under Wine over {name}, {pairs} pairs ...")
    cross = SOURCE / "build" / f"bench-{arch}"
    for command in (["cmake", "-S", str(SOURCE), "-B", str(cross), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                     f"-DCMAKE_TOOLCHAIN_FILE={SOURCE / 'cmake' / toolchain}"],
                    ["cmake", "--build", str(cross), "--target", "kovox_bench_windows"]):
        if run(command, stdout=subprocess.DEVNULL).returncode != 0:
            fail(f"the Windows build failed: {' '.join(command)}")
            return None
    env = dict(os.environ, WINEPREFIX=str(cross / "wineprefix"), WINEARCH=arch, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", KOVO_DEVICES=windows_path(DEVICES))
    env.pop("DISPLAY", None)
    if run([loader, "wineboot", "--init"], env=env, stdout=subprocess.DEVNULL,
           stderr=subprocess.DEVNULL).returncode != 0:
        fail("Wine could not make the benchmark's prefix")
        return None
    # One Wine server for every run, ended at the end: no run pays for starting it.
    run(["/usr/lib/wine/wineserver", "-p"], env=env)
    try:
        temp.fresh()
        win_temp = windows_path(temp.path)
        env["TEMP"] = env["TMP"] = win_temp
        expected = expected_listing(f"windows-{name}", win_temp, "\\", device=name)
        commands = RESULTS / f"windows-{name}.expected-commands"
        errors = RESULTS / f"windows-{name}.stderr"

        def kovox():
            output = RESULTS / f"windows-{name}.out"
            with open(output, "wb") as out, open(errors, "ab") as err:
                elapsed, status = timed([loader, "kovox.exe", f"{name}.img"], stdout=out, stderr=err, env=env,
                                        cwd=cross)
            check_kovox_run(f"{name} (Windows)", output, status, len(expected.lines), temp)
            if printed(output) != expected.lines:
                fail(f"kovox.exe's listing of {name} is not the device's ({output})")
            return elapsed

        def floor():
            # Standard output into a file, as kovox.exe's: Wine starts every program slower when its
            # standard output is /dev/null.
            with open(RESULTS / f"windows-{name}.floor.out", "wb") as out, open(errors, "ab") as err:
                elapsed, status = timed([loader, "kovox_bench_floor.exe", windows_path(commands)], stdout=out,
                                        stderr=err, env=env, cwd=cross)
            if status != 0:
                fail(f"the Windows floor of {name} failed")
            temp.check_empty(f"the Windows floor of {name}")
            return elapsed

        errors.write_bytes(b"")
        times = alternating_rounds(pairs, {"kovox": kovox, "floor": floor})
        # The interpreter's own complaints, as "Can't recognize" when it could not start the tool.
        complaints = errors.read_text(errors="replace").splitlines()
        if complaints:
            fail(f"Wine's cmd.exe complained {len(complaints)} times, e.g. {complaints[0]!r} ({errors})")
    finally:
        run(["/usr/lib/wine/wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    pair_ratios = ratios(times["kovox"], times["floor"])
    return {"arch": arch, "why_not_win32": why, "name": name, "tool_runs": len(expected.runs),
            "entries": len(expected.lines), "kovox_s": median(times["kovox"]), "floor_s": median(times["floor"]),
            "times": times, "ratio": median(pair_ratios), "ratios": pair_ratios, "pairs": pairs,
            "interpreter_complaints": len(complaints)}
