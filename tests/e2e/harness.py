# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs the real wardlatch executable against the private services of tests/support/services.py
and a umockdev testbed. Run under umockdev-wrapper."""

import json
import os
import re
import socket
import subprocess
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import dbus  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
from services import MOCK_IFACE, Services, wait_until  # noqa: E402,F401

EXECUTABLE = os.environ.get("WL_EXECUTABLE", "build/wardlatch")
ITEM_IFACE = "org.kde.StatusNotifierItem"
DBUSMENU = "com.canonical.dbusmenu"


class Harness(Services):
    """display: True (Xvfb), False (offscreen) or "wayland" (sway with waybar as the tray host);
    tray on X: "xembed", "sni" or None. The buses and a logind that confirms locks always."""

    def __init__(self, display=True, tray="xembed"):
        super().__init__()
        for sub in ("runtime", "config", "home"):
            os.makedirs(os.path.join(self.dir, sub), mode=0o700)
        # The tests read the log from the program's standard error, not the journal.
        self.env.update(XDG_RUNTIME_DIR=os.path.join(self.dir, "runtime"), WL_LOG="stderr",
                        XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                        HOME=os.path.join(self.dir, "home"))
        # The session the tests run in is not the one they make.
        for name in ("XDG_SESSION_ID", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "PULSE_SERVER",
                     "DISPLAY"):
            self.env.pop(name, None)
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.testbed = None
        try:
            self.buses()
            self.logind()
            if display == "wayland":
                self.wayland()
            elif display:
                self.x11(tray)
        except BaseException:
            self.close()  # no test gets the harness to close: leave no display or bus behind
            raise

    def x(self, *args):
        return subprocess.run(list(args), env=self.env, capture_output=True, text=True).stdout

    def tray_icons(self):
        """Our windows embedded in the tray host (trayer's panel is 32 px high at the top)."""
        icons = []
        for line in self.x("xwininfo", "-root", "-tree").splitlines():
            m = re.search(r"(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", line)
            if m and '("wardlatch" "Wardlatch")' in line:
                w, h, x, y = map(int, m.groups())
                if 8 <= w <= 64 and 8 <= h <= 64 and 0 <= y < 32:
                    icons.append((x, y, w, h))
        return icons

    def icon_geometry(self):
        return (self.tray_icons() or [None])[0]

    def panel_geometry(self):
        """(x, y, w, h) of the visible panel, None while it is hidden."""
        out = self.x("xdotool", "search", "--onlyvisible", "--name", "^Wardlatch$",
                     "getwindowgeometry", "--shell")
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")) if values else None

    def panel_visible(self):
        return self.panel_geometry() is not None

    def screen_size(self):
        return tuple(map(int, self.x("xdotool", "getdisplaygeometry").split()))

    def sway_windows(self):
        """Our windows in sway's tree: its nodes, with "floating" added."""
        out = subprocess.run(["swaymsg", "-r", "-t", "get_tree"], env=self.env,
                             capture_output=True, text=True, check=True).stdout
        found, pending = [], [(json.loads(out), False)]
        while pending:
            node, floating = pending.pop()
            if node.get("app_id") == "org.wardlatch.Wardlatch":
                found.append(dict(node, floating=floating))
            pending.extend((n, False) for n in node.get("nodes", []))
            pending.extend((n, True) for n in node.get("floating_nodes", []))
        return found

    def registered_items(self):
        return [str(i) for i in self.watcher.Get(
            "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems",
            dbus_interface=dbus.PROPERTIES_IFACE)]

    def wait_for(self, proc, predicate, what, timeout=15):
        """wait_until, failing with the program's output."""
        try:
            return wait_until(predicate, timeout, what)
        except AssertionError:
            output = self.output(proc)
            raise AssertionError("no %s; program output:\n%s" % (what, output)) from None

    def the_item(self, proc):
        """The one item the program registers."""
        [item] = self.wait_for(proc, self.registered_items, "registered item")
        return item

    def item_object(self, item):
        service, _, path = item.partition("/")
        return self.bus().get_object(service, "/" + (path or "StatusNotifierItem"))

    def activate_item(self, item):
        """What the tray host does on a click."""
        self.item_object(item).Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface=ITEM_IFACE)

    def item_menu(self, item):
        """{label: id} of every entry of the item's exported menu, submenus included; the
        menu's object to send the clicks to."""
        path = self.item_object(item).Get(ITEM_IFACE, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
        menu = self.bus().get_object(item.partition("/")[0], path)
        _, root = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=DBUSMENU)
        entries, pending = {}, [root]
        while pending:
            entry_id, props, children = pending.pop()
            if "label" in props:
                entries[str(props["label"])] = int(entry_id)
            pending.extend(children)
        return entries, menu

    def start_shortcuts_portal(self):
        """A desktop portal with global shortcuts on the session bus (see the template)."""
        template = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "support", "global_shortcuts_portal.py")
        self.portal = self.mock(False, "org.freedesktop.portal.Desktop", "--template", template,
                                path="/org/freedesktop/portal/desktop")

    def activate_shortcut(self, session, shortcut_id):
        self.portal.EmitSignal(
            "org.freedesktop.portal.GlobalShortcuts", "Activated", "osta{sv}",
            [dbus.ObjectPath(session), shortcut_id, dbus.UInt64(1),
             dbus.Dictionary({}, signature="sv")], dbus_interface=MOCK_IFACE)

    def lock_calls(self):
        return [c for c in self.session.GetCalls(dbus_interface=MOCK_IFACE) if str(c[1]) == "Lock"]

    def unlock(self):
        """The session unlocked again, as after the user typed the password."""
        self.session.UpdateProperties("org.freedesktop.login1.Session",
                                      {"LockedHint": dbus.Boolean(False)},
                                      dbus_interface=MOCK_IFACE)

    def wait_for_locks(self, count, timeout=10.0):
        return len(wait_until(lambda: len(self.lock_calls()) >= count and self.lock_calls(),
                              timeout, "%d lock request(s) at the logind stand-in" % count))

    def add_usb_device(self, name, vendor, product, devnum=2):
        if self.testbed is None:
            self.testbed = UMockdev.Testbed.new()
        return self.testbed.add_device(
            "usb", "usb1-%d" % devnum, None,
            ["idVendor", "%04x" % vendor, "idProduct", "%04x" % product, "bDeviceClass", "00",
             "product", name, "busnum", "1", "devnum", str(devnum)],
            ["DEVTYPE", "usb_device", "PRODUCT", "%x/%x/100" % (vendor, product),
             "ID_VENDOR_ID", "%04x" % vendor, "ID_MODEL_ID", "%04x" % product,
             "BUSNUM", "001", "DEVNUM", "%03d" % devnum])

    def wait_for_usb_watch(self, timeout=15.0):
        """Until the program listens for device events: under the mock, its monitor socket
        shows in the testbed's root as "event<fd>". A removal before that goes unseen."""
        root = self.testbed.get_root_dir()
        wait_until(lambda: any(n.startswith("event") for n in os.listdir(root)), timeout,
                   "the program to listen for USB events")

    def unplug(self, syspath):
        self.testbed.uevent(syspath, "remove")
        self.testbed.remove_device(syspath)

    def write_settings(self, text):
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "wardlatch")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "wardlatch.conf"), "w") as f:
            f.write(text)

    def program_env(self, extra=None):
        env = dict(self.env, **(extra or {}))
        if self.testbed is not None:
            env["UMOCKDEV_DIR"] = self.testbed.get_root_dir()
        return env

    def start_program(self, extra_env=None, stderr=None):
        """stderr: a file descriptor for the program's standard error; by default it shares
        the log file with standard output."""
        log = open(os.path.join(self.dir, "wardlatch-%d.log" % len(self.procs)), "w+")
        proc = self.spawn([EXECUTABLE], env=self.program_env(extra_env), stdout=log,
                          stderr=subprocess.STDOUT if stderr is None else stderr)
        proc.log = log
        return proc

    def run_program(self, *args, env=None):
        """Runs the program with arguments to its end: its exit status and text output."""
        return subprocess.run([EXECUTABLE, *args], env=env or self.program_env(),
                              capture_output=True, text=True, timeout=30)

    def instance_socket(self):
        return os.path.join(self.env["XDG_RUNTIME_DIR"], "wardlatch", "instance.socket")

    def instance_request(self, data, timeout=10.0):
        """Sends data to the running program's instance socket; True once the program has
        read it and closed the connection, False when it did not within the timeout."""
        with socket.socket(socket.AF_UNIX) as client:
            client.settimeout(timeout)
            client.connect(self.instance_socket())
            client.sendall(data)
            try:
                while client.recv(64):
                    pass
            except ConnectionResetError:
                pass
            except socket.timeout:
                return False
        return True

    @staticmethod
    def output(proc):
        proc.log.flush()
        proc.log.seek(0)
        return proc.log.read()
