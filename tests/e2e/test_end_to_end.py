# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program, end to end: a mocked USB key device, the tray, the shortcut, one instance."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Harness, wait_until  # noqa: E402

EXECUTABLE = os.environ.get("WL_EXECUTABLE", "build/wardlatch")
ARTEFACTS = os.environ.get("WL_ARTEFACT_DIR", os.path.dirname(EXECUTABLE))

VENDOR, PRODUCT = 0x1234, 0xABCD
STORED_CHOICE = "[General]\nidVendor=%d\nidProduct=%d\nkDeviceName=Key Stick\n" % (VENDOR, PRODUCT)


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.h = Harness(display=True)
        self.addCleanup(self.h.close)

    def start(self):
        proc = self.h.start_program(EXECUTABLE)
        try:
            wait_until(self.h.icon_geometry, 15, "the tray icon")
        except AssertionError:
            self.fail("no tray icon; program output:\n" + self.h.output(proc))
        return proc

    def test_unplugging_the_stored_device_locks_and_other_devices_do_not(self):
        key = self.h.add_usb_device("Key Stick", VENDOR, PRODUCT, devnum=2)
        other = self.h.add_usb_device("Mouse", 0x046D, 0xC52B, devnum=3)
        self.h.write_settings(STORED_CHOICE)
        proc = self.start()
        self.h.wait_for_usb_watch()
        self.h.unplug(other)
        self.h.unplug(key)
        self.assertEqual(self.h.wait_for_locks(1), 1, self.h.output(proc))
        self.assertIsNone(proc.poll())

    def test_a_broken_or_stalled_stderr_neither_ends_nor_blocks_the_program(self):
        for kind in ("reader gone", "full, never read"):
            with self.subTest(stderr=kind):
                h = self.h if kind == "reader gone" else Harness(display=True)
                if h is not self.h:
                    self.addCleanup(h.close)
                key = h.add_usb_device("Key Stick", VENDOR, PRODUCT)
                h.write_settings(STORED_CHOICE)
                read_end, write_end = os.pipe()
                if kind == "full, never read":
                    os.set_blocking(write_end, False)
                    try:
                        while True:
                            os.write(write_end, b"x" * 4096)
                    except BlockingIOError:
                        pass
                    os.set_blocking(write_end, True)  # as the program gets it
                proc = h.start_program(EXECUTABLE, stderr=write_end)
                os.close(write_end)
                wait_until(h.icon_geometry, 15, "the tray icon")
                h.wait_for_usb_watch()
                if kind == "reader gone":
                    os.close(read_end)  # the terminal or log reader goes away while it runs
                else:
                    self.addCleanup(os.close, read_end)
                # A request it does not know makes the program write a log line.
                self.assertTrue(h.instance_request(b"hello\n"), "the log line blocked the program")
                h.unplug(key)
                self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
                self.assertIsNone(proc.poll())

    def test_losing_the_watched_audio_output_locks_once_and_stays_armed(self):
        self.h.start_pulse()
        module = self.h.pactl("load-module", "module-null-sink", "sink_name=e2e_out")
        self.assertIsNotNone(module)
        self.h.pactl("set-default-sink", "e2e_out")
        self.h.write_settings("[General]\nuseHeadphones=true\n")
        proc = self.start()
        wait_until(lambda: "Wardlatch" in (self.h.pactl("list", "clients") or ""), 10,
                   "the program's audio connection")
        # Unloading again and again until the watch is on: the launch arms it a moment later.
        before = time.monotonic_ns()
        for _ in range(20):
            self.assertIsNotNone(self.h.pactl("unload-module", module), self.h.output(proc))
            try:
                wait_until(self.h.lock_stamps, 1, "a lock request")
                break
            except AssertionError:
                pass
            module = self.h.pactl("load-module", "module-null-sink", "sink_name=e2e_out")
            self.h.pactl("set-default-sink", "e2e_out")
        wait_until(self.h.lock_stamps, 5, "a lock request")
        stamps = self.h.lock_stamps()
        self.assertEqual(len(stamps), 1, self.h.output(proc))
        self.assertGreater(stamps[0], before)
        # The sink comes back under its name: its next loss locks again.
        self.h.unlock()
        module = self.h.pactl("load-module", "module-null-sink", "sink_name=e2e_out")
        self.h.pactl("set-default-sink", "e2e_out")
        self.h.pactl("unload-module", module)
        self.assertEqual(self.h.wait_for_locks(2), 2, self.h.output(proc))
        self.assertIsNone(proc.poll())

    def test_clicking_the_icon_toggles_the_panel(self):
        self.start()
        wait_until(self.h.panel_visible, 10, "the panel opened at launch")
        self.h.screenshot(os.path.join(ARTEFACTS, "wardlatch-panel-e2e.png"))
        x, y, w, h = self.h.icon_geometry()
        self.h.click(x + w // 2, y + h // 2)
        wait_until(lambda: not self.h.panel_visible(), 10, "the panel to close")
        # A separate click, not the second half of a double click (which does not toggle).
        time.sleep(0.6)
        self.h.click(x + w // 2, y + h // 2)
        wait_until(self.h.panel_visible, 10, "the panel to open again")

    def test_the_shortcut_locks_with_no_device_chosen(self):
        proc = self.start()
        wait_until(self.h.panel_visible, 10, "the launch to finish")
        self.h.key("ctrl+alt+super+l")
        self.assertEqual(self.h.wait_for_locks(1), 1, self.h.output(proc))

    def test_a_second_start_leaves_one_icon(self):
        first = self.start()
        wait_until(self.h.panel_visible, 10, "the panel opened at launch")
        second = self.h.start_program(EXECUTABLE)
        self.assertEqual(second.wait(10), 0, self.h.output(second))
        self.assertIsNone(first.poll())
        self.assertEqual(len(self.h.tray_icons()), 1)


class CommandLine(unittest.TestCase):
    """The options, against the real program with no display (it runs offscreen)."""

    def setUp(self):
        self.h = Harness(display=False)
        self.addCleanup(self.h.close)

    def start_instance(self):
        proc = self.h.start_program(EXECUTABLE)
        wait_until(lambda: os.path.exists(self.h.instance_socket()), 15, "the instance socket")
        return proc

    def test_options_that_need_no_display_write_nothing(self):
        env = {k: v for k, v in self.h.env.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        for args, status, stream, text in (
                (["--help"], 0, "stdout", "--lock"),
                (["--version"], 0, "stdout", "wardlatch 0.1"),
                (["--frobnicate"], 2, "stderr", "--status"),
                (["--lock", "extra"], 2, "stderr", "Usage:")):
            with self.subTest(args=args):
                done = self.h.run_program(EXECUTABLE, *args, env=env)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, getattr(done, stream))
        # In the user's language.
        done = self.h.run_program(EXECUTABLE, "--help", env=dict(env, LANGUAGE="de"))
        self.assertIn("Die Sitzung jetzt sperren", done.stdout)
        self.assertEqual(os.listdir(self.h.env["XDG_CONFIG_HOME"]), [])
        self.assertEqual(os.listdir(self.h.env["XDG_RUNTIME_DIR"]), [])

    def test_lock_through_the_running_instance_exits_by_the_confirmation(self):
        proc = self.start_instance()
        for confirms, status in ((True, 0), (False, 1)):
            with self.subTest(confirms=confirms):
                self.h.unlock()
                self.h.desktop_confirms_locks(confirms)
                before = len(self.h.lock_calls())
                done = self.h.run_program(EXECUTABLE, "--lock")
                self.assertEqual(len(self.h.lock_calls()), before + 1, self.h.output(proc))
                self.assertEqual(done.returncode, status, done.stderr)
        self.assertIsNone(proc.poll())

    def test_lock_with_no_instance_locks_directly_and_does_not_stay(self):
        done = self.h.run_program(EXECUTABLE, "--lock")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(self.h.lock_calls()), 1)
        self.assertFalse(os.path.exists(self.h.instance_socket()))

    def test_status_exits_0_only_while_guarding(self):
        def status():
            return self.h.run_program(EXECUTABLE, "--status")

        done = status()
        self.assertEqual((done.returncode, done.stdout), (3, "Wardlatch is not running\n"))
        key = self.h.add_usb_device("Key Stick", VENDOR, PRODUCT)
        self.h.write_settings(STORED_CHOICE)
        proc = self.start_instance()
        done = wait_until(lambda: (lambda d: d.returncode == 0 and d)(status()), 15, "guarding")
        self.assertIn("Key Stick", done.stdout)
        self.h.wait_for_usb_watch()
        self.h.unplug(key)
        done = wait_until(lambda: (lambda d: d.returncode == 3 and d)(status()), 15,
                          "not guarding")
        self.assertIn("not connected", done.stdout)
        self.assertIsNone(proc.poll())

if __name__ == "__main__":
    unittest.main(verbosity=2)
