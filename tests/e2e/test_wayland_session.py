# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program in a Wayland session: in headless sway with waybar as the tray host, and
with the lock shortcut through the desktop portal's global shortcuts."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Harness, wait_until  # noqa: E402

NO_SHORTCUT_LINE = ("No global shortcut is available in this session: bind \u201cwardlatch "
                    "--lock\u201d to a key in the desktop's keyboard settings")


class WaylandSession(unittest.TestCase):
    def test_activate_toggles_a_small_floating_panel(self):
        h = Harness(display="wayland")
        self.addCleanup(h.close)

        def panel():
            windows = h.sway_windows()
            self.assertLessEqual(len(windows), 1, windows)
            return windows[0] if windows else None

        def assert_small_floating_panel():
            window = h.wait_for(proc, panel, "panel")
            rect = window["rect"]
            self.assertTrue(window["floating"], "the panel is tiled: %r" % rect)
            self.assertTrue(rect["width"] < 500 and rect["height"] < 500, rect)
            # No title bar: the compositor draws none over a frameless window.
            self.assertEqual(window["deco_rect"]["height"], 0, window["border"])

        proc = h.start_program()
        item = h.the_item(proc)
        assert_small_floating_panel()  # opened once at launch
        for _ in range(2):
            h.activate_item(item)
            wait_until(lambda: panel() is None, 10, "the panel to close")
            h.activate_item(item)
            assert_small_floating_panel()
        self.assertLessEqual({"Lock Now", "Open Panel"}, set(h.item_menu(item)[0]))
        self.assertEqual(h.output(proc).count(NO_SHORTCUT_LINE), 1, h.output(proc))
        self.assertIsNone(proc.poll())

    def test_the_portal_binds_the_shortcut_and_its_activation_locks(self):
        h = Harness(display=False)
        self.addCleanup(h.close)
        h.start_shortcuts_portal()
        proc = h.start_program({"XDG_SESSION_TYPE": "wayland"})

        def binding():
            session, ids = h.portal.Bound(dbus_interface="org.wardlatch.Probe")
            return session and (str(session), [str(i) for i in ids])

        session, ids = h.wait_for(proc, binding, "shortcut binding")
        self.assertEqual(len(ids), 1, ids)
        h.activate_shortcut(session, "someone-else")
        h.activate_shortcut(session, ids[0])
        self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0, h.output(proc))
        self.assertEqual(len(h.lock_calls()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
