#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Private services for every test tier: D-Bus buses and stand-ins, displays with tray hosts, an
audio server. It runs the command with their addresses in its environment and ends all it started
when the command ends, on SIGINT or SIGTERM, and when it dies itself. Without a command it prints
the addresses (NAME=value) and "ready", and keeps the services until it is ended."""

import argparse
import atexit
import ctypes
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUS_CONF = """<busconfig><type>session</type><listen>unix:tmpdir={dir}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/><allow user="*"/></policy></busconfig>
"""
MOCK_IFACE = "org.freedesktop.DBus.Mock"
LOGIND = "org.freedesktop.login1"
SESSION_PATH = "/org/freedesktop/login1/session/c1"
WATCHER = "org.kde.StatusNotifierWatcher"
# sway refuses to run as root: the compositor and its bar run as nobody.
COMPOSITOR_UID = 65534
SWAY_CONF = "output HEADLESS-1 resolution 1024x768\nxwayland disable\n"
WAYBAR_CONF = '{"position": "top", "height": 30, "modules-right": ["tray"], "tray": {"icon-size": 18}}'


_prctl = ctypes.CDLL(None).prctl


def _die_with_parent(sig=signal.SIGKILL):
    _prctl(1, int(sig))  # PR_SET_PDEATHSIG


def wait_until(predicate, timeout=10.0, what="condition", interval=0.02):
    """Waits for an outside process's state: it has no event to wait on."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)
    return value


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def _end(proc, timeout=5):
    for sig, wait in ((signal.SIGTERM, timeout), (signal.SIGKILL, None)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            proc.wait(wait)
            return
        except subprocess.TimeoutExpired:
            pass


class Services:
    """Ended by close() or at exit; each runs in a process group of its own, ended with it, and
    dies when this process does."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="wardlatch-services-")
        self.env = dict(os.environ)
        self.procs = []
        self._bus = {}
        atexit.register(self.close)

    def spawn(self, args, env=None, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        proc = subprocess.Popen(args, env=self.env if env is None else env, process_group=0,
                                preexec_fn=_die_with_parent, **kwargs)
        self.procs.append(proc)
        return proc

    def close(self):
        for proc in reversed(self.procs):
            _end(proc)
        self.procs = []
        shutil.rmtree(self.dir, ignore_errors=True)

    def buses(self):
        conf = _write(os.path.join(self.dir, "bus.conf"), BUS_CONF.format(dir=self.dir))
        for kind in ("SYSTEM", "SESSION"):
            daemon = self.spawn(["dbus-daemon", "--config-file=" + conf, "--nofork",
                                 "--print-address=1"], stdout=subprocess.PIPE, text=True)
            address = daemon.stdout.readline().strip()
            if not address:
                raise AssertionError("dbus-daemon did not start")
            self.env["DBUS_%s_BUS_ADDRESS" % kind] = address

    def bus(self, system=False):
        import dbus
        address = self.env["DBUS_SYSTEM_BUS_ADDRESS" if system else "DBUS_SESSION_BUS_ADDRESS"]
        if address not in self._bus:
            self._bus[address] = dbus.bus.BusConnection(address)
        return self._bus[address]

    def mock(self, system, name, *args, path=None):
        """A python3-dbusmock process owning name; its object at path when given."""
        bus = self.bus(system)
        proc = self.spawn(["/usr/bin/python3", "-m", "dbusmock",
                           "--system" if system else "--session", *args])
        wait_until(lambda: bus.name_has_owner(name) or proc.poll() is not None, what=name)
        if proc.poll() is not None:
            raise AssertionError("the %s stand-in exited with %s" % (name, proc.returncode))
        return bus.get_object(name, path) if path else proc

    def logind(self, confirms=True):
        """Session c1, which GetSessionByPID answers; confirms: its Lock sets LockedHint."""
        manager = self.mock(True, LOGIND, "--template", "logind", path="/org/freedesktop/login1")
        manager.AddSession("c1", "seat0", 1000, "alice", True, dbus_interface=MOCK_IFACE)
        manager.AddMethod(LOGIND + ".Manager", "GetSessionByPID", "u", "o",
                          "ret = '%s'" % SESSION_PATH, dbus_interface=MOCK_IFACE)
        self.session = self.bus(True).get_object(LOGIND, SESSION_PATH)
        self.confirm_locks(confirms)

    def confirm_locks(self, confirms):
        code = "self.UpdateProperties('', {'LockedHint': dbus.Boolean(True)})" if confirms else ""
        self.session.AddMethod(LOGIND + ".Session", "Lock", "", "", code,
                               dbus_interface=MOCK_IFACE)

    def screen_saver(self, confirms):
        name, path = "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"
        saver = self.mock(False, name, name, path, name, path=path)
        saver.AddMethods(name, [
            ("Lock", "", "", "self.wl_active = True" if confirms else ""),
            ("SetActive", "b", "b",
             "self.wl_active = args[0]\nret = args[0]" if confirms else "ret = False"),
            ("GetActive", "", "b", "ret = getattr(self, 'wl_active', False)"),
        ], dbus_interface=MOCK_IFACE)

    def sni_watcher(self):
        import dbus
        self.watcher = self.mock(False, WATCHER, WATCHER, "/StatusNotifierWatcher", WATCHER,
                                 path="/StatusNotifierWatcher")
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

    def x11(self, tray=None):
        read_fd, write_fd = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "800x600x24",
                    "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,))
        os.close(write_fd)
        with os.fdopen(read_fd) as ready:  # Xvfb writes its display number there when ready
            number = ready.readline().strip()
        if not number:
            raise AssertionError("Xvfb did not start")
        self.env.update(DISPLAY=":" + number, QT_QPA_PLATFORM="xcb")
        for name in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE"):
            self.env.pop(name, None)
        if tray == "sni":
            self.sni_watcher()
        elif tray == "xembed":
            self._trayer()

    def _trayer(self):
        def mapped():
            tree = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env,
                                  capture_output=True, text=True).stdout.lower()
            return "trayer" in tree or "panel" in tree

        # Under a loaded machine trayer can take long to map its panel, or die before it does:
        # wait longer, and start it once more if it died.
        for _ in (1, 2):
            trayer = self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "pixel", "--width", "120", "--height", "32", "--SetDockType",
                                 "true"])
            wait_until(lambda: mapped() or trayer.poll() is not None, 30, "the tray host")
            if trayer.poll() is None:
                return
        raise AssertionError("the tray host exited with %s" % trayer.returncode)

    def wayland(self):
        os.chmod(self.dir, 0o711)  # the compositor's user reaches the bus and its own folders
        runtime, home = (os.path.join(self.dir, n) for n in ("wayland-runtime", "wayland-home"))
        for folder in (runtime, home):
            os.makedirs(folder, mode=0o700)
            os.chown(folder, COMPOSITOR_UID, COMPOSITOR_UID)
        for name, text in (("sway.conf", SWAY_CONF), ("waybar.json", WAYBAR_CONF),
                           ("waybar.css", "* { font-size: 12px; }\n")):
            _write(os.path.join(home, name), text)
        env = {"PATH": "/usr/bin:/bin", "HOME": home, "XDG_RUNTIME_DIR": runtime,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
               "WLR_RENDERER": "pixman",
               "DBUS_SESSION_BUS_ADDRESS": self.env["DBUS_SESSION_BUS_ADDRESS"]}
        # A new user clears the parent-death signal: setpriv sets it again after the switch.
        as_nobody = ["setpriv", "--reuid=%d" % COMPOSITOR_UID, "--regid=%d" % COMPOSITOR_UID,
                     "--clear-groups", "--pdeathsig", "KILL"]
        log = open(os.path.join(self.dir, "sway.log"), "w")
        sway = self.spawn(as_nobody + ["sway", "-c", os.path.join(home, "sway.conf")], env=env,
                          stdout=log, stderr=subprocess.STDOUT)
        display = os.path.join(runtime, "wayland-1")

        def ipc_socket():
            if sway.poll() is not None:
                with open(log.name) as f:
                    raise AssertionError("sway exited with %s:\n%s" % (sway.returncode, f.read()))
            names = [n for n in os.listdir(runtime) if n.startswith("sway-ipc.")]
            return os.path.exists(display) and names and os.path.join(runtime, names[0])

        self.env.update(SWAYSOCK=wait_until(ipc_socket, 30, "sway to start"),
                        WAYLAND_DISPLAY=display, QT_QPA_PLATFORM="wayland",
                        XDG_SESSION_TYPE="wayland")
        self.env.pop("DISPLAY", None)
        waybar = self.spawn(as_nobody + ["waybar", "-c", os.path.join(home, "waybar.json"), "-s",
                                         os.path.join(home, "waybar.css")],
                            env=dict(env, WAYLAND_DISPLAY="wayland-1"), stdout=log,
                            stderr=subprocess.STDOUT)
        bus = self.bus()
        wait_until(lambda: waybar.poll() is not None or bus.name_has_owner(WATCHER), 30,
                   "waybar's tray watcher")
        if waybar.poll() is not None:
            raise AssertionError("waybar exited with %s" % waybar.returncode)
        self.watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher")

    def pulse(self):
        """On the socket PULSE_SERVER names (unix:PATH), or on one of its own."""
        server = self.env.get("PULSE_SERVER", "")
        socket = server[5:] if server.startswith("unix:") else os.path.join(self.dir, "pulse-native")
        os.makedirs(os.path.dirname(socket), mode=0o700, exist_ok=True)
        env = {k: v for k, v in self.env.items() if k not in ("DISPLAY", "PULSE_SERVER")}
        env.update(XDG_RUNTIME_DIR=self.dir, HOME=self.dir, DBUS_SESSION_BUS_ADDRESS="disabled:")
        daemon = self.spawn(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                             "--disallow-exit", "--use-pid-file=no", "--log-level=error", "-L",
                             "module-native-protocol-unix auth-anonymous=1 socket=" + socket],
                            env=env)
        self.env.setdefault("PULSE_COOKIE", os.path.join(self.dir, "pulse-cookie"))
        self.env["PULSE_SERVER"] = "unix:" + socket
        wait_until(lambda: daemon.poll() is not None or self.pactl("info") is not None, 15,
                   "the audio server")
        if daemon.poll() is not None:
            raise AssertionError("pulseaudio exited at start")

    def pactl(self, *args):
        done = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else None


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--buses", action="store_true")
    parser.add_argument("--logind", choices=("confirms", "ignores"))
    parser.add_argument("--screen-saver", choices=("confirms", "ignores"))
    parser.add_argument("--mock", action="append", default=[], metavar="'BUS NAME ARGS...'")
    parser.add_argument("--x11", nargs="?", const="none", choices=("none", "xembed"))
    parser.add_argument("--pulse", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    _die_with_parent(signal.SIGTERM)
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, signal.default_int_handler)
    services = Services()
    try:
        if args.buses:
            services.buses()
        if args.logind:
            services.logind(args.logind == "confirms")
        if args.screen_saver:
            services.screen_saver(args.screen_saver == "confirms")
        for words in args.mock:
            bus, name, *rest = shlex.split(words)
            services.mock(bus == "system", name, *rest)
        if args.x11:
            services.x11(None if args.x11 == "none" else args.x11)
        if args.pulse:
            services.pulse()
        if not command:
            for name, value in services.env.items():
                if os.environ.get(name) != value:
                    print("%s=%s" % (name, value))
            print("ready", flush=True)
            while True:
                signal.pause()
        return services.spawn(command, stdout=None, stderr=None).wait()
    except KeyboardInterrupt:
        return 130
    finally:
        services.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
