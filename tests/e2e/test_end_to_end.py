# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program, end to end: a mocked USB key device, the audio output, the tray, one
instance, the command line."""

import fcntl
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Harness, wait_until  # noqa: E402

VENDOR, PRODUCT = 0x1234, 0xABCD
STORED_CHOICE = "[General]\nidVendor=%d\nidProduct=%d\nkDeviceName=Key Stick\n" % (VENDOR, PRODUCT)


class EndToEnd(unittest.TestCase):
    def harness(self):
        h = Harness(display=True)
        self.addCleanup(h.close)
        return h

    def start(self, h, **kwargs):
        proc = h.start_program(**kwargs)
        h.wait_for(proc, h.icon_geometry, "tray icon")
        return proc

    def test_unplugging_the_stored_device_locks_with_stderr_broken_or_stalled(self):
        """Other devices going do not lock; a log line neither ends nor blocks the program."""
        for kind in ("reader gone", "full, never read"):
            with self.subTest(stderr=kind):
                h = self.harness()
                key = h.add_usb_device("Key Stick", VENDOR, PRODUCT, devnum=2)
                other = h.add_usb_device("Mouse", 0x046D, 0xC52B, devnum=3)
                h.write_settings(STORED_CHOICE)
                read_end, write_end = os.pipe()
                if kind == "full, never read":
                    os.write(write_end, b"x" * fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ))
                proc = self.start(h, stderr=write_end)
                os.close(write_end)
                h.wait_for_usb_watch()
                if kind == "reader gone":
                    os.close(read_end)  # the terminal or log reader goes away while it runs
                else:
                    self.addCleanup(os.close, read_end)
                h.unplug(other)
                # A request it does not know makes the program write a log line.
                self.assertTrue(h.instance_request(b"hello\n"), "the log line blocked the program")
                self.assertEqual(h.lock_calls(), [])
                h.unplug(key)
                self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
                self.assertIsNone(proc.poll())

    def test_losing_the_watched_audio_output_locks_once_and_stays_armed(self):
        h = self.harness()
        h.pulse()

        def load():
            module = h.pactl("load-module", "module-null-sink", "sink_name=e2e_out")
            h.pactl("set-default-sink", "e2e_out")
            return module

        module = load()
        h.write_settings("[General]\nuseHeadphones=true\n")
        proc = self.start(h)
        wait_until(lambda: "Wardlatch" in (h.pactl("list", "clients") or ""), 10,
                   "the program's audio connection")
        self.assertEqual(h.lock_calls(), [])
        # Unloading again and again until the watch is on: the launch arms it a moment later.
        for _ in range(20):
            self.assertIsNotNone(h.pactl("unload-module", module), h.output(proc))
            try:
                wait_until(h.lock_calls, 1, "a lock request")
                break
            except AssertionError:
                module = load()
        self.assertEqual(h.wait_for_locks(1, 5), 1, h.output(proc))
        # The sink comes back under its name: its next loss locks again.
        h.unlock()
        h.pactl("unload-module", load())
        self.assertEqual(h.wait_for_locks(2), 2, h.output(proc))
        self.assertIsNone(proc.poll())

    def test_a_second_start_leaves_one_icon_and_a_click_on_it_toggles_the_panel(self):
        h = self.harness()
        first = self.start(h)
        wait_until(h.panel_visible, 10, "the panel opened at launch")
        second = h.start_program()
        self.assertEqual(second.wait(10), 0, h.output(second))
        self.assertIsNone(first.poll())
        [(x, y, w, ht)] = h.tray_icons()
        h.x("xdotool", "mousemove", str(x + w // 2), str(y + ht // 2), "click", "1")
        wait_until(lambda: not h.panel_visible(), 10, "the panel to close")
        # A separate click, not the second half of a double click (which does not toggle).
        time.sleep(0.6)
        h.x("xdotool", "mousemove", str(x + w // 2), str(y + ht // 2), "click", "1")
        wait_until(h.panel_visible, 10, "the panel to open again")


class CommandLine(unittest.TestCase):
    """The options, against the real program with no display (it runs offscreen)."""

    def setUp(self):
        self.h = Harness(display=False)
        self.addCleanup(self.h.close)

    def start_instance(self):
        proc = self.h.start_program()
        wait_until(lambda: os.path.exists(self.h.instance_socket()), 15, "the instance socket")
        return proc

    def test_options_that_need_no_display_write_nothing(self):
        env = {k: v for k, v in self.h.program_env().items() if k != "QT_QPA_PLATFORM"}
        for args, language, status, stream, text in (
                (["--help"], "en", 0, "stdout", "--lock"),
                (["--help"], "de", 0, "stdout", "Die Sitzung jetzt sperren"),
                (["--version"], "en", 0, "stdout", "wardlatch 0.1"),
                (["--frobnicate"], "en", 2, "stderr", "--status"),
                (["--lock", "extra"], "en", 2, "stderr", "Usage:")):
            with self.subTest(args=args, language=language):
                done = self.h.run_program(*args, env=dict(env, LANGUAGE=language))
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, getattr(done, stream))
        self.assertEqual(os.listdir(self.h.env["XDG_CONFIG_HOME"]), [])
        self.assertEqual(os.listdir(self.h.env["XDG_RUNTIME_DIR"]), [])

    def test_lock_locks_directly_or_through_the_instance_and_exits_by_the_confirmation(self):
        # No instance: it locks itself and does not stay.
        done = self.h.run_program("--lock")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(self.h.lock_calls()), 1)
        self.assertFalse(os.path.exists(self.h.instance_socket()))
        proc = self.start_instance()
        for confirms, status in ((True, 0), (False, 1)):
            with self.subTest(confirms=confirms):
                self.h.unlock()
                self.h.confirm_locks(confirms)
                before = len(self.h.lock_calls())
                done = self.h.run_program("--lock")
                self.assertEqual(len(self.h.lock_calls()), before + 1, self.h.output(proc))
                self.assertEqual(done.returncode, status, done.stderr)
        self.assertIsNone(proc.poll())

    def test_status_exits_0_only_while_guarding(self):
        def status(code):
            done = self.h.run_program("--status")
            return done.returncode == code and done

        self.assertEqual(status(3).stdout, "Wardlatch is not running\n")
        key = self.h.add_usb_device("Key Stick", VENDOR, PRODUCT)
        self.h.write_settings(STORED_CHOICE)
        proc = self.start_instance()
        self.assertIn("Key Stick", wait_until(lambda: status(0), 15, "guarding").stdout)
        self.h.wait_for_usb_watch()
        self.h.unplug(key)
        self.assertIn("not connected", wait_until(lambda: status(3), 15, "not guarding").stdout)
        self.assertIsNone(proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
