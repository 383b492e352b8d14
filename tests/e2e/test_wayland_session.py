# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program in a headless wlroots session (sway) with waybar as the tray host."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Harness, wait_until  # noqa: E402

EXECUTABLE = os.environ.get("WL_EXECUTABLE", "build/wardlatch")
NO_SHORTCUT_LINE = ("No global shortcut is available in this session: bind \u201cwardlatch "
                    "--lock\u201d to a key in the desktop's keyboard settings")


class WaylandSession(unittest.TestCase):
    def setUp(self):
        self.h = Harness(display="wayland")
        self.addCleanup(self.h.close)

    def panel(self):
        windows = self.h.sway_windows()
        self.assertLessEqual(len(windows), 1, windows)
        return windows[0] if windows else None

    def assert_small_floating_panel(self, proc):
        try:
            panel = wait_until(self.panel, 15, "the panel to open")
        except AssertionError:
            self.fail("no panel; program output:\n" + self.h.output(proc))
        rect = panel["rect"]
        self.assertTrue(panel["floating"], "the panel is tiled: %r" % rect)
        self.assertLess(rect["width"], 500, rect)
        self.assertLess(rect["height"], 500, rect)
        # No title bar: the compositor draws none over a frameless window.
        self.assertEqual(panel["deco_rect"]["height"], 0, panel["border"])

    def test_activate_toggles_a_small_floating_panel(self):
        proc = self.h.start_program(EXECUTABLE)
        try:
            items = wait_until(self.h.registered_items, 15, "the item to register")
        except AssertionError:
            self.fail("no item registered; program output:\n" + self.h.output(proc))
        self.assertEqual(len(items), 1, items)
        self.assert_small_floating_panel(proc)  # opened once at launch
        self.h.activate_item(items[0])
        wait_until(lambda: self.panel() is None, 10, "the panel to close")
        self.h.activate_item(items[0])
        self.assert_small_floating_panel(proc)
        self.h.activate_item(items[0])
        wait_until(lambda: self.panel() is None, 10, "the panel to close again")
        entries, _ = self.h.item_menu(items[0])
        self.assertIn("Lock Now", entries)
        self.assertIn("Open Panel", entries)
        self.assertEqual(self.h.output(proc).count(NO_SHORTCUT_LINE), 1, self.h.output(proc))
        self.assertIsNone(proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
