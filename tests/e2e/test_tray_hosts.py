# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program with a StatusNotifierItem tray host, and with no tray host at all."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Harness, wait_until  # noqa: E402

EXECUTABLE = os.environ.get("WL_EXECUTABLE", "build/wardlatch")
NO_TRAY_LINE = "No system tray is available"


class StatusNotifierHost(unittest.TestCase):
    def setUp(self):
        self.h = Harness(display=True, tray="sni")
        self.addCleanup(self.h.close)

    def assert_fully_visible_at(self, pointer):
        x, y, w, h = wait_until(self.h.panel_geometry, 10, "the panel to open")
        width, height = self.h.screen_size()
        self.assertTrue(0 <= x and 0 <= y and x + w <= width and y + h <= height,
                        "panel %r off the %dx%d screen" % ((x, y, w, h), width, height))
        # No icon geometry: the panel opens at the pointer.
        px, py = pointer
        self.assertTrue(x <= px <= x + w and y - 1 <= py <= y + h + 1,
                        "panel %r is not at the pointer %r" % ((x, y, w, h), pointer))

    def test_the_item_registers_and_activate_toggles_the_panel_at_the_pointer(self):
        proc = self.h.start_program(EXECUTABLE)
        try:
            items = wait_until(self.h.registered_items, 15, "the item to register")
        except AssertionError:
            self.fail("no item registered; program output:\n" + self.h.output(proc))
        self.assertEqual(len(items), 1, items)
        self.assertEqual(self.h.tray_icons(), [], "an XEmbed icon besides the item")
        wait_until(self.h.panel_visible, 10, "the panel opened at launch")
        self.h.activate_item(items[0])
        wait_until(lambda: not self.h.panel_visible(), 10, "the panel to close")
        # In a corner, so that opening at the pointer has to keep the panel on the screen.
        width, height = self.h.screen_size()
        pointer = (width - 10, height - 10)
        self.h.move_pointer(*pointer)
        self.h.activate_item(items[0])
        self.assert_fully_visible_at(pointer)
        self.h.activate_item(items[0])
        wait_until(lambda: not self.h.panel_visible(), 10, "the panel to close again")
        self.assertNotIn(NO_TRAY_LINE, self.h.output(proc))
        self.assertIsNone(proc.poll())

    def test_the_item_tells_the_state_and_its_menu_locks(self):
        proc = self.h.start_program(EXECUTABLE)
        items = wait_until(self.h.registered_items, 15, "the item to register")
        properties = self.h.item_properties(items[0])
        self.assertEqual(str(properties["Title"]), "Wardlatch")
        self.assertEqual(str(properties["ToolTip"][2]),
                         "Wardlatch is not guarding: choose a key device")
        entries, menu = self.h.item_menu(items[0])
        for label in ("Lock Now", "Pause Guarding", "For 15 Minutes", "For 1 Hour",
                      "Until I Resume", "Resume Guarding", "Open Panel", "About Wardlatch",
                      "Quit Wardlatch"):
            self.assertIn(label, entries)
        self.h.click_menu_entry(menu, entries["Lock Now"])
        self.assertEqual(self.h.wait_for_locks(1), 1, self.h.output(proc))
        self.assertIn("Lock Now in the tray menu", self.h.output(proc))


class NoTrayHost(unittest.TestCase):
    def test_says_so_once_and_the_shortcut_still_locks(self):
        h = Harness(display=True, tray=None)
        self.addCleanup(h.close)
        proc = h.start_program(EXECUTABLE)
        wait_until(lambda: NO_TRAY_LINE in h.output(proc), 15, "the no-tray line")
        wait_until(h.panel_visible, 10, "the launch to finish")
        h.key("ctrl+alt+super+l")
        self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
        self.assertEqual(h.output(proc).count(NO_TRAY_LINE), 1, h.output(proc))
        self.assertIsNone(proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
