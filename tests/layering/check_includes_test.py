#!/usr/bin/env python3
"""The include check on small made-up trees: each rule holds and each break is caught."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_includes.py")
sys.path.insert(0, HERE)
import check_includes  # noqa: E402


def make_tree(top, files):
    os.makedirs(os.path.join(top, "src", "os"))
    for path, text in files.items():
        full = os.path.join(top, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)


def run_checker(*args):
    return subprocess.run([sys.executable, CHECKER] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


class include_rules(unittest.TestCase):
    # (file, its text, a piece of the break it must give; None: it must pass)
    CASES = [
        ("src/run/entry.cpp", '#include "run/options.h"\n#include "ftdi/ftdi_chip.h"\n#include <string>\n', None),
        ("src/image/passes.cpp", '#include "avr/devices.h"\n#include "image/image.h"\n', None),
        ("src/avr/link.cpp", '#include "adapters/spi.h"\n#include "base/messages.h"\n', None),
        ("src/ftdi/spi.cpp", '#include "adapters/pin_map.h"\n#include <libftdi1/ftdi.h>\n', None),
        ("src/os/os_posix.cpp", "#include <unistd.h>\n#include <linux/ppdev.h>\n", None),
        ("src/base/timer.cpp", '#include "timer.h"\n#include <csignal>\n', None),
        ("vtarget/src/lpt.cpp", '#include "vtarget/lpt.h"\n#include <unistd.h>\n', None),
        ("src/avr/link.cpp", '\n  #  include "run/options.h"\n', 'src/avr/link.cpp:2: "run/options.h"'),
        ("src/image/passes.cpp", '#include "run/insertions.h"\n', '"run/insertions.h": src/image may include'),
        ("src/avr/fuses.cpp", '#include "adapters/lpt.h"\n', '"adapters/lpt.h": src/avr may include'),
        ("src/avr/fuses.cpp", '#include "image/image.h"\n', '"image/image.h": src/avr may include'),
        ("src/base/dll.cpp", '#include "avr/devices.h"\n', '"avr/devices.h": src/base may include'),
        ("src/adapters/registry.cpp", '#include "ftdi/ft2232_adapter.h"\n', 'src/adapters may include'),
        ("src/ftdi/chip.cpp", '#include "adapters/lpt.h"\n', '"adapters/lpt.h": src/ftdi may include'),
        ("src/base/dll.cpp", "#include <dlfcn.h>\n", "src/base/dll.cpp:1: <dlfcn.h>: system headers belong in src/os"),
        ("src/adapters/lpt.h", "#include <windows.h>\n", "<windows.h>: system headers"),
        ("src/adapters/lpt.cpp", "#include <libftdi1/ftdi.h>\n", "<libftdi1/ftdi.h>: system headers"),
        ("src/image/hex.cpp", "#include <stdio.h>\n", "<stdio.h>: system headers"),
        ("src/gui/window.cpp", "#include <vector>\n", "src/gui is a folder without include rules"),
        ("vtarget/drivers/ftd2xx.cpp", '#include "base/messages.h"\n', "the virtual target includes nothing from src"),
        ("vtarget/src/chip.cpp", '#include "../../src/avr/devices.h"\n', "the virtual target includes nothing"),
    ]

    def checker_lines(self, *args, status):
        """Runs the checker, checks its exit status and returns its output lines."""
        result = run_checker(*args)
        self.assertEqual(result.returncode, status, result.stdout)
        return result.stdout.splitlines()

    def test_each_rule(self):
        for path, text, wanted in self.CASES:
            with self.subTest(path=path, text=text), tempfile.TemporaryDirectory() as top:
                make_tree(top, {path: text})
                breaks = check_includes.check(top)
                if wanted is None:
                    self.assertEqual(breaks, [])
                else:
                    self.assertEqual(len(breaks), 1, breaks)
                    self.assertIn(wanted, breaks[0])

    def test_exit_status_and_report(self):
        with tempfile.TemporaryDirectory() as top:
            make_tree(top, {"src/base/format.cpp": '#include "base/messages.h"\n'})
            clean = run_checker(top)
            self.assertEqual((clean.returncode, clean.stdout), (0, "include rules hold\n"))
            with open(os.path.join(top, "src/os/os.h"), "w") as f:
                f.write('#include "run/options.h"\n')
            with open(os.path.join(top, "src/base/timer.h"), "w") as f:
                f.write("#include <sys/time.h>\n")
            self.assertEqual(self.checker_lines(top, status=1), [
                'src/base/timer.h:1: <sys/time.h>: system headers belong in src/os',
                'src/os/os.h:1: "run/options.h": src/os may include only os',
                "2 include rule breaks",
            ])

    def test_picture_names_what_each_folder_uses(self):
        with tempfile.TemporaryDirectory() as top:
            make_tree(top, {
                "src/run/entry.cpp": '#include "run/entry.h"\n#include "avr/link.h"\n#include "avr/fuses.h"\n'
                                     '#include "avr/devices.h"\n#include "avr/target.h"\n#include <vector>\n',
                "src/avr/link.cpp": '#include "adapters/spi.h"\n#include "base/messages.h"\n',
            })
            self.assertEqual(self.checker_lines("--picture", top, status=0), [
                "avr: adapters (spi.h), base (messages.h)",
                "os: -",
                "run: avr",
            ])

    def test_a_folder_without_src_is_a_usage_error(self):
        with tempfile.TemporaryDirectory() as top:
            self.checker_lines(top, status=2)


if __name__ == "__main__":
    unittest.main()
