#!/usr/bin/env python3
# Times zrtool hex2bin against objcopy and srec_cat, and a 1000-image boot series against a plain write loop.
"""Usage: filebench.py BUILD_DIR [--runs N]

Generates Intel HEX files of 256 KiB and 1 MiB with 16- and 32-byte records, converts each with zrtool hex2bin,
objcopy and srec_cat (those installed), checks the outputs are equal and prints the median CPU time (user+sys)
of each, and each ratio as the median of the ratios of runs made side by side. Then writes a 1000-image boot series with zrtool boot and the same bytes with a plain
loop (bench/plainloop), with and without a sync per file, in the working directory and on a RAM disk."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BASE = 0x08000000


def hex_text(data, record):
    lines = []
    for at in range(0, len(data), record):
        address = BASE + at
        if at == 0 or (address & 0xFFFF) == 0:
            high = address >> 16
            body = bytes([2, 0, 0, 4, high >> 8, high & 0xFF])
            lines.append(":" + (body + bytes([-sum(body) & 0xFF])).hex().upper())
        chunk = data[at:at + record]
        body = bytes([len(chunk), (address >> 8) & 0xFF, address & 0xFF, 0]) + chunk
        lines.append(":" + (body + bytes([-sum(body) & 0xFF])).hex().upper())
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"


def cpu_time(command, cwd=None):
    """CPU seconds (user + sys) and wall seconds of one run of the command."""
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (process.returncode, " ".join(command), process.stderr.read().decode()))
    process.stderr.close()
    return usage.ru_utime + usage.ru_stime, time.monotonic() - start


def timed_runs(commands, runs, wall=False):
    """Runs the commands in turn after one warm-up round, each round starting one command later (A B C, B C A,
    C A B ...) so that none always follows the same one (a long run before a short one leaves the caches cold);
    each command is a list, or a function of the run's number that returns one. The CPU (or wall) seconds of
    every counted run, a list per command."""
    times = [[] for _ in commands]
    for run in range(runs + 1):
        for k in range(len(commands)):
            i = (run + k) % len(commands)
            command = commands[i]
            cpu, elapsed = cpu_time(command(run) if callable(command) else command)
            if run:
                times[i].append(elapsed if wall else cpu)
    return times


def median_ratio(a, b):
    """The median of the ratios of runs made side by side: drift of the machine's speed cancels out."""
    return statistics.median(x / y for x, y in zip(a, b) if y)


def row(cells, widths):
    return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 11
    zrtool = os.path.join(build, "zrtool", "zrtool")
    plainloop = os.path.join(build, "bench", "plainloop")
    qtstart = os.path.join(build, "bench", "qtstart")
    objcopy, srec_cat = shutil.which("objcopy"), shutil.which("srec_cat")
    work = tempfile.mkdtemp(prefix="filebench.", dir=os.getcwd())
    try:
        print("CPU time (user+sys), median of %d runs; load average %s" % (runs, os.getloadavg()))
        print()
        widths = [22, 12, 12, 12, 14, 14]
        print(row(["HEX file", "zrtool", "objcopy", "srec_cat", "zrtool/objcopy", "zrtool/srec_cat"], widths))
        print(row(["-" * w for w in widths], widths))
        rng = random.Random(1)
        for size in (256 << 10, 1 << 20):
            data = bytes(rng.getrandbits(8) for _ in range(size))
            for record in (16, 32):
                name = os.path.join(work, "%dk_%d.hex" % (size >> 10, record))
                with open(name, "w") as f:
                    f.write(hex_text(data, record))
                last = "0x%08X" % (BASE + size - 1)
                outputs = {"zrtool": name + ".zrtool.bin"}
                commands = [[zrtool, "hex2bin", name, "--first", "0x%08X" % BASE, "--last", last, "-o",
                             outputs["zrtool"]]]
                if objcopy:
                    outputs["objcopy"] = name + ".objcopy.bin"
                    commands.append([objcopy, "-I", "ihex", "-O", "binary", name, outputs["objcopy"]])
                if srec_cat:
                    outputs["srec_cat"] = name + ".srec_cat.bin"
                    commands.append([srec_cat, name, "-Intel", "-offset", "-0x%08X" % BASE, "-o",
                                     outputs["srec_cat"], "-Binary"])
                times = dict(zip(outputs, timed_runs(commands, runs)))
                for tool, path in outputs.items():
                    with open(path, "rb") as f:
                        if f.read() != data:
                            sys.exit("%s: output differs from the data" % tool)
                t = {tool: statistics.median(runs_of) for tool, runs_of in times.items()}
                cell = lambda tool: "%.1f ms" % (t[tool] * 1000) if tool in t else "-"
                ratio = lambda tool: "%.2f" % median_ratio(times["zrtool"], times[tool]) if tool in t else "-"
                print(row(["%d KiB, %d-byte records" % (size >> 10, record), cell("zrtool"), cell("objcopy"),
                           cell("srec_cat"), ratio("objcopy"), ratio("srec_cat")], widths))
        print()
        print("outputs byte-identical to the data for every tool")
        print()

        # The boot series: 1000 images of Zr501 (8 KiB boot area) against the same bytes written by a loop.
        boot = os.path.join(work, "boot.hex")
        with open(boot, "w") as f:
            f.write(hex_text(bytes(rng.getrandbits(8) for _ in range(0x1C00)), 16))
        widths = [20, 14, 14, 12, 14, 20, 18]
        print(row(["1000 images on", "zrtool CPU", "loop CPU", "zrtool/loop", "zrtool wall",
                   "loop+sync-each wall", "zrtool/loop+sync"], widths))
        print(row(["-" * w for w in widths], widths))
        floors = []
        for label, parent in (("working directory", work), ("RAM disk /dev/shm", "/dev/shm")):
            # Every run writes into a directory of its own that nothing was deleted from just before: a file system
            # that reuses the inodes of files deleted a moment ago (ext4 looks for ones not recently freed) would
            # time the clean-up of the run before instead of the writes.
            target = tempfile.mkdtemp(prefix="filebench.", dir=parent)
            try:
                def series(run, name="series"):
                    return [zrtool, "boot", "--model", "Zr501", "--bootloader", boot, "--year", "26", "--week", "14",
                            "--first", "0", "--count", "1000", "--out", os.path.join(target, "%s%d" % (name, run)),
                            "--no-registry"]

                def loop(run, sync=False, name="loop"):
                    out = os.path.join(target, "%s%d" % (name, run))
                    os.makedirs(out)
                    return [plainloop, out, "1000", size] + (["--sync"] if sync else [])

                cpu_time(series(0, "probe"))
                probe = os.path.join(target, "probe0")
                size = str(os.path.getsize(os.path.join(probe, os.listdir(probe)[0])))
                series_runs = max(3, runs // 2)
                # The floor: the loop's own work plus the start-up of a program that links Qt Core and does
                # nothing else, against the loop.
                cpu = timed_runs([series, loop, [qtstart], lambda run: loop(run, name="empty")[:2] + ["0", size]],
                                 series_runs)
                floors.append((label, statistics.median((l - e + q) / l for l, q, e in zip(*cpu[1:]))))
                wall = timed_runs([lambda run: series(run, "wseries"), lambda run: loop(run, True, "wloop")],
                                  series_runs, wall=True)
                with open(os.path.join(target, "series1", os.listdir(probe)[0]), "rb") as f:
                    if len(f.read()) != int(size):
                        sys.exit("boot series: an image has the wrong size")
                t = [statistics.median(c) for c in cpu]
                w = [statistics.median(c) for c in wall]
                print(row([label, "%.1f ms" % (t[0] * 1000), "%.1f ms" % (t[1] * 1000),
                           "%.2f" % median_ratio(*cpu[:2]), "%.0f ms" % (w[0] * 1000), "%.0f ms" % (w[1] * 1000),
                           "%.2f" % median_ratio(*wall)], widths))
            finally:
                shutil.rmtree(target, ignore_errors=True)
        print()
        print("floor of a Qt Core program writing the loop's files, against the loop: "
              + ", ".join("%.2f (%s)" % (f, label) for label, f in floors))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
