# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs the real wardlatch executable against a private X display with a tray host, private
D-Bus buses with a logind stand-in, and a umockdev testbed. Run under umockdev-wrapper."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import json

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import dbus  # noqa: E402

BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:tmpdir={dir}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/><allow user="*"/></policy></busconfig>
"""

# sway refuses to run as root: the compositor and its bar run as nobody.
COMPOSITOR_UID = 65534
SWAY_CONF = "output HEADLESS-1 resolution 1024x768\nxwayland disable\n"
WAYBAR_CONF = '{"position": "top", "height": 30, "modules-right": ["tray"], "tray": {"icon-size": 18}}'

MOCK_IFACE = "org.freedesktop.DBus.Mock"
WATCHER = "org.kde.StatusNotifierWatcher"
ITEM_IFACE = "org.kde.StatusNotifierItem"
DBUSMENU = "com.canonical.dbusmenu"
PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
SESSION_PATH = "/org/freedesktop/login1/session/c1"
STAMPS_IFACE = "org.wardlatch.Stamps"


def wait_until(predicate, timeout=10.0, what="condition", interval=0.02):
    """Waits for an outside process's state, checking it at a short interval up to a deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Harness:
    """tray: "xembed" (a tray host window on the display), "sni" (a StatusNotifierWatcher on the
    session bus, no tray window) or None (no tray host at all). display="wayland": a headless
    sway session with waybar as the tray host instead of an X display."""

    def __init__(self, display=True, tray="xembed"):
        self.dir = tempfile.mkdtemp(prefix="wardlatch-e2e-")
        self.procs = []
        self.daemon_pids = []
        self.env = dict(os.environ)
        for sub in ("runtime", "config", "home"):
            os.makedirs(os.path.join(self.dir, sub), mode=0o700)
        self.env.update(
            XDG_RUNTIME_DIR=os.path.join(self.dir, "runtime"),
            XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
            HOME=os.path.join(self.dir, "home"),
            # The tests read the log from the program's standard error, not the journal.
            WL_LOG="stderr",
        )
        self.env.pop("XDG_SESSION_ID", None)
        # The session the tests run in is not the one they make.
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("XDG_SESSION_TYPE", None)
        self.env.pop("PULSE_SERVER", None)
        self.program = None
        self.testbed = None
        try:
            if display == "wayland":
                self._start_buses()
                self._start_wayland()
                return
            if display:
                self._start_display(tray == "xembed")
            else:
                self.env["QT_QPA_PLATFORM"] = "offscreen"
                self.env.pop("DISPLAY", None)
            self._start_buses()
            if tray == "sni":
                self._start_watcher()
        except BaseException:
            self.close()  # no test gets the harness to close: leave no display or bus behind
            raise

    # --- display and tray -------------------------------------------------------------
    def _start_display(self, tray_host):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        self.procs.append(xvfb)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_fd, 16)
            if not chunk:
                raise AssertionError("Xvfb did not start")
            number += chunk
        os.close(read_fd)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        self.env.pop("QT_QPA_PLATFORM", None)
        if not tray_host:
            return
        # Under a loaded machine trayer can take long to map its panel, or die before it does:
        # wait longer, and start it once more if it died.
        for attempt in (1, 2):
            trayer = subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                 "120", "--height", "32", "--SetDockType", "true"],
                env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.procs.append(trayer)
            wait_until(lambda: self.tray_owner() or trayer.poll() is not None, timeout=30.0,
                       what="the tray host")
            if trayer.poll() is None:
                return
        raise AssertionError("the tray host exited with %s" % trayer.returncode)

    def x(self, *args):
        return subprocess.run(list(args), env=self.env, capture_output=True, text=True).stdout

    def tray_owner(self):
        out = self.x("xwininfo", "-root", "-tree")
        return "trayer" in out.lower() or "panel" in out.lower()

    def tray_icons(self):
        """Our windows embedded in the tray host (trayer's panel is 32 px high at the top)."""
        out = self.x("xwininfo", "-root", "-tree")
        icons = []
        for line in out.splitlines():
            if '("wardlatch" "Wardlatch")' not in line:
                continue
            m = re.search(r"(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", line)
            if not m:
                continue
            w, h, x, y = map(int, m.groups())
            if 8 <= w <= 64 and 8 <= h <= 64 and 0 <= y < 32:
                icons.append((x, y, w, h))
        return icons

    def icon_geometry(self):
        icons = self.tray_icons()
        return icons[0] if icons else None

    def panel_visible(self):
        out = self.x("xdotool", "search", "--onlyvisible", "--name", "^Wardlatch$")
        return bool(out.strip())

    def panel_geometry(self):
        """(x, y, w, h) of the visible panel, None while it is hidden."""
        out = self.x("xdotool", "search", "--onlyvisible", "--name", "^Wardlatch$",
                     "getwindowgeometry", "--shell")
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        if "X" not in values:
            return None
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def screen_size(self):
        width, height = self.x("xdotool", "getdisplaygeometry").split()
        return int(width), int(height)

    def move_pointer(self, x, y):
        self.x("xdotool", "mousemove", str(x), str(y))

    def click(self, x, y, button=1):
        self.x("xdotool", "mousemove", str(x), str(y), "click", str(button))

    def key(self, chord):
        self.x("xdotool", "key", chord)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root", path],
                       env=self.env, check=True, capture_output=True)

    # --- a Wayland session -----------------------------------------------------------------
    def _start_wayland(self):
        for tool in ("sway", "waybar", "swaymsg", "setpriv"):
            if shutil.which(tool) is None:
                raise AssertionError(tool + " is not installed: the Wayland session cannot run")
        os.chmod(self.dir, 0o711)  # the compositor's user reaches the bus and its own folders
        runtime = os.path.join(self.dir, "wayland-runtime")
        home = os.path.join(self.dir, "wayland-home")
        for folder in (runtime, home):
            os.makedirs(folder, mode=0o700)
            os.chown(folder, COMPOSITOR_UID, COMPOSITOR_UID)
        for name, text in (("sway.conf", SWAY_CONF), ("waybar.json", WAYBAR_CONF),
                           ("waybar.css", "* { font-size: 12px; }\n")):
            with open(os.path.join(home, name), "w") as f:
                f.write(text)
        env = {"PATH": "/usr/bin:/bin", "HOME": home, "XDG_RUNTIME_DIR": runtime,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
               "WLR_RENDERER": "pixman",
               "DBUS_SESSION_BUS_ADDRESS": self.env["DBUS_SESSION_BUS_ADDRESS"]}
        as_nobody = ["setpriv", "--reuid=%d" % COMPOSITOR_UID, "--regid=%d" % COMPOSITOR_UID,
                     "--clear-groups"]
        log = open(os.path.join(self.dir, "sway.log"), "w")
        sway = subprocess.Popen(as_nobody + ["sway", "-c", os.path.join(home, "sway.conf")],
                                env=env, stdout=log, stderr=subprocess.STDOUT)
        self.procs.append(sway)
        display = os.path.join(runtime, "wayland-1")

        def ipc_socket():
            if sway.poll() is not None:
                with open(log.name) as f:
                    raise AssertionError("sway exited with %s:\n%s" % (sway.returncode, f.read()))
            names = [n for n in os.listdir(runtime) if n.startswith("sway-ipc.")]
            return os.path.exists(display) and names and os.path.join(runtime, names[0])

        self.env["SWAYSOCK"] = wait_until(ipc_socket, 30, "sway to start")
        self.env["WAYLAND_DISPLAY"] = display
        self.env["QT_QPA_PLATFORM"] = "wayland"
        self.env["XDG_SESSION_TYPE"] = "wayland"
        self.env.pop("DISPLAY", None)
        env["WAYLAND_DISPLAY"] = "wayland-1"
        waybar = subprocess.Popen(
            as_nobody + ["waybar", "-c", os.path.join(home, "waybar.json"), "-s",
                         os.path.join(home, "waybar.css")],
            env=env, stdout=log, stderr=subprocess.STDOUT)
        self.procs.append(waybar)
        self.session_bus = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        wait_until(lambda: waybar.poll() is not None or self.session_bus.name_has_owner(WATCHER),
                   30, "waybar's tray watcher")
        if waybar.poll() is not None:
            raise AssertionError("waybar exited with %s" % waybar.returncode)
        self.watcher = self.session_bus.get_object(WATCHER, "/StatusNotifierWatcher")

    def sway_windows(self):
        """Our windows in sway's tree: dicts with "name", "rect", "border" and "floating"."""
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

    # --- buses -------------------------------------------------------------------------
    def _start_buses(self):
        conf = os.path.join(self.dir, "bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONF.format(dir=self.dir))
        addresses = []
        for _ in range(2):
            out = subprocess.run(
                ["dbus-daemon", "--config-file=" + conf, "--print-address=1", "--print-pid=1",
                 "--fork"], capture_output=True, text=True, check=True).stdout.split()
            addresses.append(out[0])
            self.daemon_pids.append(int(out[1]))
        self.env["DBUS_SYSTEM_BUS_ADDRESS"], self.env["DBUS_SESSION_BUS_ADDRESS"] = addresses
        self.system = dbus.bus.BusConnection(addresses[0])
        logind = subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(logind)
        wait_until(lambda: self.system.name_has_owner("org.freedesktop.login1"),
                   what="the logind stand-in")
        manager = self.system.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
        manager.AddSession("c1", "seat0", dbus.UInt32(1000), "alice", True, dbus_interface=MOCK_IFACE)
        manager.AddMethod("org.freedesktop.login1.Manager", "GetSessionByPID", "u", "o",
                          "ret = '%s'" % SESSION_PATH, dbus_interface=MOCK_IFACE)
        session = self.system.get_object("org.freedesktop.login1", SESSION_PATH)
        session.AddMethod(STAMPS_IFACE, "LockStamps", "", "at",
                          "ret = dbus.Array(getattr(self, 'lock_stamps', []), signature='t')",
                          dbus_interface=MOCK_IFACE)
        self.session = session
        self.desktop_confirms_locks(True)

    def desktop_confirms_locks(self, confirms):
        """A desktop that confirms each lock, as a real one does through LockedHint, or one
        that ignores it. Each request is stamped on arrival (CLOCK_MONOTONIC, comparable
        across processes)."""
        code = ("self.lock_stamps = getattr(self, 'lock_stamps', []) + "
                "[__import__('time').monotonic_ns()]")
        if confirms:
            code += "\nself.UpdateProperties('', {'LockedHint': dbus.Boolean(True)})"
        self.session.AddMethod("org.freedesktop.login1.Session", "Lock", "", "", code,
                               dbus_interface=MOCK_IFACE)

    def _start_watcher(self):
        """A StatusNotifierWatcher with a host registered, as KDE Plasma and GNOME with the
        AppIndicator extension have; it remembers the items that register."""
        self.session_bus = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        watcher = subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--session", WATCHER, "/StatusNotifierWatcher",
             WATCHER], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(watcher)
        wait_until(lambda: self.session_bus.name_has_owner(WATCHER), what="the watcher stand-in")
        self.watcher = self.session_bus.get_object(WATCHER, "/StatusNotifierWatcher")
        self.watcher.AddProperties(WATCHER, {
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array([], signature="s"),
        }, dbus_interface=MOCK_IFACE)
        self.watcher.AddMethods(WATCHER, [
            ("RegisterStatusNotifierItem", "s", "",
             "self.props['%s']['RegisteredStatusNotifierItems'].append(args[0])\n"
             "self.EmitSignal('%s', 'StatusNotifierItemRegistered', 's', [args[0]])"
             % (WATCHER, WATCHER)),
            ("RegisterStatusNotifierHost", "s", "", ""),
        ], dbus_interface=MOCK_IFACE)

    def start_shortcuts_portal(self):
        """A desktop portal with global shortcuts on the session bus (see the template)."""
        template = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "support", "global_shortcuts_portal.py")
        self.session_bus = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        portal = subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--session", "--template", template],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(portal)
        wait_until(lambda: self.session_bus.name_has_owner(PORTAL), what="the portal stand-in")
        self.portal = self.session_bus.get_object(PORTAL, PORTAL_PATH)

    def portal_binding(self):
        """(session, [shortcut ids]) of the portal's last binding."""
        session, ids = self.portal.Bound(dbus_interface="org.wardlatch.Probe")
        return str(session), [str(i) for i in ids]

    def activate_shortcut(self, session, shortcut_id):
        self.portal.EmitSignal(
            "org.freedesktop.portal.GlobalShortcuts", "Activated", "osta{sv}",
            [dbus.ObjectPath(session), shortcut_id, dbus.UInt64(1),
             dbus.Dictionary({}, signature="sv")], dbus_interface=MOCK_IFACE)

    def registered_items(self):
        return [str(i) for i in self.watcher.Get(WATCHER, "RegisteredStatusNotifierItems",
                                                 dbus_interface=dbus.PROPERTIES_IFACE)]

    def item_object(self, item):
        service, _, path = item.partition("/")
        return self.session_bus.get_object(service, "/" + (path or "StatusNotifierItem"))

    def activate_item(self, item):
        """What the tray host does on a click: Activate on the item's object."""
        self.item_object(item).Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface=ITEM_IFACE)

    def item_properties(self, item):
        return self.item_object(item).GetAll(ITEM_IFACE, dbus_interface=dbus.PROPERTIES_IFACE)

    def item_menu(self, item):
        """{label: id} of every entry of the item's exported menu, submenus included; the
        menu's object for click_menu_entry."""
        path = str(self.item_properties(item)["Menu"])
        menu = self.session_bus.get_object(item.partition("/")[0], path)
        _, root = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=DBUSMENU)
        entries, pending = {}, [root]
        while pending:
            entry_id, props, children = pending.pop()
            if "label" in props:
                entries[str(props["label"])] = int(entry_id)
            pending.extend(children)
        return entries, menu

    @staticmethod
    def click_menu_entry(menu, entry_id):
        """What the tray host does when an entry of the item's menu is chosen."""
        menu.Event(dbus.Int32(entry_id), "clicked", dbus.Int32(0), dbus.UInt32(0),
                   dbus_interface=DBUSMENU)

    def lock_calls(self):
        calls = self.session.GetCalls(dbus_interface=MOCK_IFACE)
        return [c for c in calls if str(c[1]) == "Lock"]

    def lock_stamps(self):
        """CLOCK_MONOTONIC nanoseconds at which each lock request reached the stand-in."""
        return [int(t) for t in self.session.LockStamps(dbus_interface=STAMPS_IFACE)]

    def unlock(self):
        """The session unlocked again, as after the user typed the password."""
        self.session.UpdateProperties("org.freedesktop.login1.Session",
                                      {"LockedHint": dbus.Boolean(False)},
                                      dbus_interface=MOCK_IFACE)

    def wait_for_locks(self, count, timeout=10.0):
        wait_until(lambda: len(self.lock_calls()) >= count, timeout,
                   "%d lock request(s) at the logind stand-in" % count)
        return len(self.lock_calls())

    # --- USB testbed ---------------------------------------------------------------------
    def add_usb_device(self, name, vendor, product, busnum=1, devnum=2):
        if self.testbed is None:
            self.testbed = UMockdev.Testbed.new()
        syspath = self.testbed.add_device(
            "usb", "usb%d-%d" % (busnum, devnum), None,
            ["idVendor", "%04x" % vendor, "idProduct", "%04x" % product, "bDeviceClass", "00",
             "product", name, "busnum", str(busnum), "devnum", str(devnum)],
            ["DEVTYPE", "usb_device", "PRODUCT", "%x/%x/100" % (vendor, product),
             "ID_VENDOR_ID", "%04x" % vendor, "ID_MODEL_ID", "%04x" % product,
             "BUSNUM", "%03d" % busnum, "DEVNUM", "%03d" % devnum])
        return syspath

    def wait_for_usb_watch(self, timeout=15.0):
        """Until the program listens for device events: under the mock, its monitor socket
        shows in the testbed's root as "event<fd>". A removal before that goes unseen."""
        root = self.testbed.get_root_dir()
        wait_until(lambda: any(n.startswith("event") for n in os.listdir(root)), timeout,
                   "the program to listen for USB events")

    def unplug(self, syspath):
        self.testbed.uevent(syspath, "remove")
        self.testbed.remove_device(syspath)

    # --- audio server ---------------------------------------------------------------------
    def start_pulse(self):
        """A private pulseaudio daemon; the program started afterwards talks to it."""
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "pulse", "native")
        os.makedirs(os.path.dirname(socket), mode=0o700, exist_ok=True)
        env = dict(self.env, DBUS_SESSION_BUS_ADDRESS="disabled:")
        env.pop("DISPLAY", None)
        daemon = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--log-level=error", "-L",
             "module-native-protocol-unix auth-anonymous=1 socket=" + socket,
             "-L", "module-cli-protocol-unix socket=" + self.pulse_cli_socket()],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(daemon)
        self.env["PULSE_SERVER"] = "unix:" + socket
        self.env["PULSE_COOKIE"] = os.path.join(self.env["HOME"], "pulse-cookie")
        wait_until(lambda: daemon.poll() is not None or self.pactl("info") is not None,
                   what="the audio server")
        if daemon.poll() is not None:
            raise AssertionError("pulseaudio exited at start")

    def pulse_cli_socket(self):
        """The daemon's command-line socket: commands written there need no client start-up."""
        return os.path.join(self.env["XDG_RUNTIME_DIR"], "pulse", "cli")

    def pactl(self, *args):
        """pactl's output, or None when it failed."""
        done = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else None

    # --- the program -----------------------------------------------------------------------
    def write_settings(self, text):
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "wardlatch")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "wardlatch.conf"), "w") as f:
            f.write(text)

    def start_program(self, executable, extra_env=None, stderr=None):
        """stderr: a file descriptor for the program's standard error; by default it shares
        the log file with standard output."""
        env = dict(self.env)
        if self.testbed is not None:
            env["UMOCKDEV_DIR"] = self.testbed.get_root_dir()
        env.update(extra_env or {})
        log = open(os.path.join(self.dir, "wardlatch-%d.log" % len(self.procs)), "w+")
        proc = subprocess.Popen([executable], env=env, stdout=log,
                                stderr=subprocess.STDOUT if stderr is None else stderr)
        proc.log = log
        self.procs.append(proc)
        if self.program is None:
            self.program = proc
        return proc

    def run_program(self, executable, *args, env=None, timeout=30):
        """Runs the program with arguments to its end: its exit status and text output."""
        env = dict(self.env if env is None else env)
        if self.testbed is not None:
            env["UMOCKDEV_DIR"] = self.testbed.get_root_dir()
        return subprocess.run([executable, *args], env=env, capture_output=True, text=True,
                              timeout=timeout)

    def instance_socket(self):
        return os.path.join(self.env["XDG_RUNTIME_DIR"], "wardlatch", "instance.socket")

    def instance_request(self, data, timeout=10.0):
        """Sends data to the running program's instance socket; True once the program has
        read it and closed the connection, False when it did not within the timeout."""
        path = self.instance_socket()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
            client.settimeout(timeout)
            client.connect(path)
            client.sendall(data)
            try:
                while client.recv(64):
                    pass
            except socket.timeout:
                return False
            except ConnectionResetError:
                pass
        return True

    @staticmethod
    def output(proc):
        proc.log.flush()
        proc.log.seek(0)
        return proc.log.read()

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        for pid in self.daemon_pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
