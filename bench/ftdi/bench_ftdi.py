#!/usr/bin/env python3
"""FTDI benchmark: erase, program and verify a full 32 KiB image in a virtual mega328P
clocked at 16 MHz, over a virtual FT2232C (full speed, 1 ms USB latency, 2 MHz SCK from its
6 MHz base) and a virtual FT2232H (high speed, 125 us, 2.5 MHz from its 30 MHz base), with
polled (-wp) and timed (-w) writes.

Runs the program twice per case: once for the figures, once with the virtual target's trace
on, to show where the time goes. Prints a summary line per case. The ratio is taken to the
virtual chip's lower bound (SPI bits x SCK period + busy time) and, where ready polls were
clocked while the chip was busy, also to the tighter bound without those bits.

usage: bench_ftdi.py [build folder] [d2xx|libftdi|all] [--chip FT2232C|FT2232H|all]
                     [--mode wp|w|all] [--latency-us N]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 32768


def write_image(path):
    # varied bytes (no 0xFF pages that could be skipped), Intel HEX
    data = bytes((i * 151 + (i >> 8) * 7 + 13) % 255 for i in range(IMAGE_SIZE))
    with open(path, "w") as f:
        for base in range(0, len(data), 16):
            chunk = data[base:base + 16]
            rec = [len(chunk), base >> 8, base & 0xFF, 0] + list(chunk)
            rec.append((-sum(rec)) & 0xFF)
            f.write(":" + "".join("%02X" % b for b in rec) + "\n")
        f.write(":00000001FF\n")


def find_library(build, name):
    for root, _dirs, files in os.walk(build):
        if name in files:
            return os.path.join(root, name)
    return None


def counters(path):
    result = {}
    with open(path) as f:
        for line in f:
            m = re.match(r"\s*(\w+)\s*[=:]\s*(\d+)", line)
            if m:
                result[m.group(1)] = int(m.group(2))
    return result


def run(exe, args, env):
    """Runs the program; returns (status, output, start and end on the host's monotonic
    clock in ns, which is the clock of the virtual target's trace)."""
    start = time.monotonic_ns()
    p = subprocess.run([exe] + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    end = time.monotonic_ns()
    return p.returncode, p.stdout.decode(errors="replace"), start, end


COMMAND = re.compile(r"\s*([\d.]+) ms\s+(\w\w) (\w\w) (\w\w) (\w\w) -> (\w\w) (\w\w) (\w\w) (\w\w)\s+(\S+)")


def breakdown(trace_path, start_ns, end_ns, c, latency_ms):
    """Phases of the traced run, in ms."""
    cmds = []
    with open(trace_path) as f:
        for line in f:
            m = COMMAND.match(line)
            if m:
                cmds.append((float(m.group(1)), m.group(10), int(m.group(9), 16)))
    if not cmds:
        return None
    start_ms, end_ms = start_ns / 1e6, end_ns / 1e6
    bit_ms = c["sck_period_ns"] / 1e6
    spi = lambda n: n * 32 * bit_ms  # n four-byte commands
    names = [x[1] for x in cmds]
    erase = names.index("chip_erase")
    first_load = names.index("flash_load_lo")
    last_page = len(names) - 1 - names[::-1].index("flash_write_page")
    first_verify = next(i for i in range(last_page, len(names)) if names[i].startswith("flash_read"))
    pages = names.count("flash_write_page")

    # per page: the ready poll's answer comes back one USB round trip after the poll
    reply_wait = 0.0
    polls = 0
    for i, n in enumerate(names[first_load:first_verify], first_load):
        if n == "poll_busy":
            polls += 1
            ready = (cmds[i][2] & 1) == 0
            if ready:
                reply_wait += cmds[i + 1][0] - cmds[i][0]
    program_ms = cmds[first_verify][0] - cmds[first_load][0]
    program_spi = spi(first_verify - first_load)
    program_busy = c["busy_ns"] / 1e6  # page writes (and the short erase, which lies elsewhere)
    verify_ms = cmds[-1][0] - cmds[first_verify][0] + spi(1)
    verify_spi = spi(len(cmds) - first_verify)
    blocks = (IMAGE_SIZE + 511) // 512
    return {
        "startup": cmds[0][0] - start_ms,
        "connect": cmds[erase][0] - cmds[0][0],
        "erase": cmds[first_load][0] - cmds[erase][0],
        "program": program_ms,
        "program_spi": program_spi,
        "program_busy": program_busy,
        "reply_wait": reply_wait,
        "poll_rest": program_ms - program_spi - program_busy - reply_wait,
        "pages": pages,
        "polls": polls,
        "verify": verify_ms,
        "verify_spi": verify_spi,
        "blocks": blocks,
        "end": end_ms - cmds[-1][0] - spi(1),
        "wall": end_ms - start_ms,
    }


# chip: (target ratio, USB latency in us)
CHIPS = {"FT2232C": (1.30, 1000), "FT2232H": (1.25, 125)}


def bench(build, library, latency_us, exe, chip="FT2232C", mode="wp"):
    name = {"d2xx": "libftd2xx.so", "libftdi": "libftdi1.so.2"}[library]
    lib = find_library(build, name)
    if not lib:
        sys.exit("no virtual %s library (%s) under %s" % (library, name, build))
    work = tempfile.mkdtemp(prefix="bench-ftdi-")
    try:
        image = os.path.join(work, "image.hex")
        write_image(image)
        env = {k: v for k, v in os.environ.items() if not k.startswith("VT_")}
        env.update({
            "LD_LIBRARY_PATH": os.path.dirname(lib),
            "MORVIN_FTDI_LIBRARY": library,
            "VT_CHIP": "mega328P",
            "VT_CLOCK_KHZ": "16000",
            "VT_USB_LATENCY_US": str(latency_us),
            "VT_FTDI_DEVICES": chip + "/VT000001",
            "VT_STATE": os.path.join(work, "state"),
            "VT_COUNTERS": os.path.join(work, "counters"),
        })
        args = ["+mega328P", "-aft2232", "-o16MHz", "-e", "-" + mode, "-v", image]
        status, out, t0, t1 = run(exe, args, env)
        if status != 0:
            print(out)
            sys.exit("morvin ended with status %d" % status)
        c = counters(env["VT_COUNTERS"])
        total = re.search(r"^Total time .*$", out, re.M)

        # the same run again with the trace on, for the breakdown
        os.remove(env["VT_STATE"])
        env["VT_TRACE"] = os.path.join(work, "trace")
        status, out2, s0, s1 = run(exe, args, env)
        b = breakdown(env["VT_TRACE"], s0, s1, counters(env["VT_COUNTERS"]), latency_us / 1000) if status == 0 else None
    finally:
        shutil.rmtree(work)

    target = CHIPS[chip][0]
    wall = (t1 - t0) / 1e9
    bound = c["lower_bound_ns"] / 1e9
    tight = (c["lower_bound_ns"] - c.get("busy_bits", 0) * c["sck_period_ns"]) / 1e9
    trips = c.get("usb_round_trips", 0)
    latency = latency_us / 1e6
    spi_s = c["spi_bits"] * c["sck_period_ns"] / 1e9
    print("case:               %s, -%s, %s (%s)" % (chip, mode, library, lib))
    print("morvin says:        %s" % (total.group(0) if total else "-"))
    print("wall time:          %.3f s" % wall)
    print("USB round trips:    %d at %.3f ms" % (trips, latency_us / 1000))
    print("lower bound:        %.3f s (SPI %.3f s: %d bits at %.2f MHz SCK; chip busy %.3f s)"
          % (bound, spi_s, c["spi_bits"], 1e3 / c["sck_period_ns"], c["busy_ns"] / 1e9))
    print("ratio to bound:     %.3f (target %.2f)" % (wall / bound, target))
    print("tighter bound:      %.3f s (without %d poll bits clocked while the chip was busy), ratio %.3f"
          % (tight, c.get("busy_bits", 0), wall / tight))
    print("bound + trips x latency: %.3f s, ratio %.3f (round trips overlap the chip's busy time)"
          % (bound + trips * latency, wall / (bound + trips * latency)))
    if b:
        ms = lambda v: "%7.1f ms" % v
        print("where the time goes (traced run, wall %.3f s):" % (b["wall"] / 1e3))
        print("  start to first command    %s  program start, adapter set-up (20 ms wait), reset settle 2 x 100 ms"
              % ms(b["startup"]))
        print("  detection to Chip Erase   %s  signature, lock and calibration reads, one round trip each"
              % ms(b["connect"]))
        print("  erase and reconnect       %s  erase wait, reset settle 2 x 100 ms, detection and fuse reads"
              % ms(b["erase"]))
        print("  programming %3d pages     %s  = SPI %.1f + chip busy %.1f + ready-poll answers %.1f"
              " + polling granularity %.1f (%d polls)"
              % (b["pages"], ms(b["program"]), b["program_spi"], b["program_busy"], b["reply_wait"],
                 b["poll_rest"], b["polls"]))
        print("  verification %2d blocks    %s  = SPI %.1f + round trips %.1f"
              % (b["blocks"], ms(b["verify"]), b["verify_spi"], b["verify"] - b["verify_spi"]))
        print("  after the last command    %s  reset release, adapter off, library unload" % ms(b["end"]))
        fixed = b["startup"] + b["connect"] + b["erase"] + b["end"]
        floor = bound + fixed / 1e3 + (b["pages"] + b["blocks"]) * latency
        print("  floor of this command flow: bound + fixed phases %.3f s + one round trip per page and per"
              " verify block = %.3f s, ratio %.3f" % (fixed / 1e3, floor, floor / bound))
    print("summary: ftdi %s -%s %s: wall %.3f s, %d USB round trips at %d us, lower bound %.3f s, ratio %.3f"
          " (target %.2f), ratio to the tighter bound %.3f"
          % (chip, mode, library, wall, trips, latency_us, bound, wall / bound, target, wall / tight))
    return wall / bound


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?", default=os.path.join(here, "..", "..", "build", "dev"))
    parser.add_argument("library", nargs="?", default="all", choices=["d2xx", "libftdi", "all"])
    parser.add_argument("--chip", default="all", choices=list(CHIPS) + ["all"])
    parser.add_argument("--mode", default="all", choices=["wp", "w", "all"])
    parser.add_argument("--latency-us", type=int, default=0, help="default: 1000 (FT2232C), 125 (FT2232H)")
    a = parser.parse_args()
    build = os.path.abspath(a.build)
    exe = os.path.join(build, "morvin")
    if not os.access(exe, os.X_OK):
        sys.exit("no program at %s" % exe)
    for chip in (list(CHIPS) if a.chip == "all" else [a.chip]):
        for mode in (["wp", "w"] if a.mode == "all" else [a.mode]):
            for library in (["d2xx", "libftdi"] if a.library == "all" else [a.library]):
                bench(build, library, a.latency_us or CHIPS[chip][1], exe, chip, mode)
                print()


if __name__ == "__main__":
    main()
