# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program with a StatusNotifierItem tray host, and with no tray host at all."""

import os
import sys
import unittest

import dbus

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import DBUSMENU, ITEM_IFACE, Harness, wait_until  # noqa: E402

NO_TRAY_LINE = "No system tray is available"


class TrayHosts(unittest.TestCase):
    def harness(self, tray):
        h = Harness(display=True, tray=tray)
        self.addCleanup(h.close)
        return h, h.start_program()

    def test_the_item_tells_the_state_toggles_the_panel_at_the_pointer_and_its_menu_locks(self):
        h, proc = self.harness("sni")
        item = h.the_item(proc)
        self.assertEqual(h.tray_icons(), [], "an XEmbed icon besides the item")
        properties = h.item_object(item).GetAll(ITEM_IFACE, dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(str(properties["Title"]), "Wardlatch")
        self.assertEqual(str(properties["ToolTip"][2]),
                         "Wardlatch is not guarding: choose a key device")
        wait_until(h.panel_visible, 10, "the panel opened at launch")
        h.activate_item(item)
        wait_until(lambda: not h.panel_visible(), 10, "the panel to close")
        # No icon geometry: the panel opens at the pointer, here in a corner, so that it has to
        # be kept on the screen.
        width, height = h.screen_size()
        px, py = width - 10, height - 10
        h.x("xdotool", "mousemove", str(px), str(py))
        h.activate_item(item)
        x, y, w, ht = wait_until(h.panel_geometry, 10, "the panel to open")
        self.assertTrue(0 <= x and 0 <= y and x + w <= width and y + ht <= height,
                        "panel %r off the %dx%d screen" % ((x, y, w, ht), width, height))
        self.assertTrue(x <= px <= x + w and y - 1 <= py <= y + ht + 1,
                        "panel %r is not at the pointer %r" % ((x, y, w, ht), (px, py)))
        h.activate_item(item)
        wait_until(lambda: not h.panel_visible(), 10, "the panel to close again")
        entries, menu = h.item_menu(item)
        self.assertLessEqual({"Lock Now", "Pause Guarding", "For 15 Minutes", "For 1 Hour",
                              "Until I Resume", "Resume Guarding", "Open Panel",
                              "About Wardlatch", "Quit Wardlatch"}, set(entries), entries)
        menu.Event(dbus.Int32(entries["Lock Now"]), "clicked", dbus.Int32(0), dbus.UInt32(0),
                   dbus_interface=DBUSMENU)
        self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
        self.assertIn("Lock Now in the tray menu", h.output(proc))
        self.assertNotIn(NO_TRAY_LINE, h.output(proc))
        self.assertIsNone(proc.poll())

    def test_no_tray_host_is_said_once_and_the_shortcut_still_locks(self):
        h, proc = self.harness(None)
        h.wait_for(proc, lambda: NO_TRAY_LINE in h.output(proc), "no-tray line")
        wait_until(h.panel_visible, 10, "the launch to finish")
        h.x("xdotool", "key", "ctrl+alt+super+l")
        self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
        self.assertEqual(h.output(proc).count(NO_TRAY_LINE), 1, h.output(proc))
        self.assertIsNone(proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
