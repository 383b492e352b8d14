# SPDX-License-Identifier: GPL-3.0-or-later
"""The real program in a Wayland session without X11: the lock shortcut goes through the desktop
portal's global shortcuts."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Harness, wait_until  # noqa: E402

EXECUTABLE = os.environ.get("WL_EXECUTABLE", "build/wardlatch")


class WaylandShortcut(unittest.TestCase):
    def test_the_portal_binds_the_shortcut_and_its_activation_locks(self):
        h = Harness(display=False)
        self.addCleanup(h.close)
        h.start_shortcuts_portal()
        proc = h.start_program(EXECUTABLE, {"XDG_SESSION_TYPE": "wayland"})
        try:
            session, ids = wait_until(lambda: h.portal_binding()[0] and h.portal_binding(), 15,
                                      "the shortcut binding")
        except AssertionError:
            self.fail("nothing bound; program output:\n" + h.output(proc))
        self.assertEqual(len(ids), 1, ids)
        h.activate_shortcut(session, "someone-else")
        h.activate_shortcut(session, ids[0])
        self.assertEqual(h.wait_for_locks(1), 1, h.output(proc))
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0, h.output(proc))
        self.assertEqual(len(h.lock_calls()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
