# SPDX-License-Identifier: GPL-3.0-or-later
"""Latency, start-up and idle cost of the real wardlatch executable, measured from outside.

Prints one markdown table row per figure (| figure | runs | median | p99 | target |) on stdout
and notes on stderr. Run under umockdev-wrapper:

  umockdev-wrapper python3 bench/program_bench.py --executable build/wardlatch [--idle-seconds S]
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
from harness import MOCK_IFACE, wait_until  # noqa: E402

STAMPS_IFACE = "org.wardlatch.Stamps"


class Harness(harness.Harness):
    """The end-to-end harness with what only measuring needs: each lock request stamped as it
    arrives (CLOCK_MONOTONIC, comparable across processes), and the audio server's command socket,
    on which a command needs no client start-up."""

    def confirm_locks(self, confirms):
        code = ("self.lock_stamps = getattr(self, 'lock_stamps', []) + "
                "[__import__('time').monotonic_ns()]")
        if confirms:
            code += "\nself.UpdateProperties('', {'LockedHint': dbus.Boolean(True)})"
        self.session.AddMethod("org.freedesktop.login1.Session", "Lock", "", "", code,
                               dbus_interface=MOCK_IFACE)
        self.session.AddMethod(STAMPS_IFACE, "LockStamps", "", "at",
                               "ret = dbus.Array(getattr(self, 'lock_stamps', []), signature='t')",
                               dbus_interface=MOCK_IFACE)

    def lock_stamps(self):
        return [int(t) for t in self.session.LockStamps(dbus_interface=STAMPS_IFACE)]

    def start_pulse(self):
        self.pulse()
        if self.pactl("load-module", "module-cli-protocol-unix",
                      "socket=" + self.pulse_cli_socket()) is None:
            raise AssertionError("the audio server's command socket did not open")

    def pulse_cli_socket(self):
        return os.path.join(self.dir, "pulse-cli")

    def start_program(self, executable):
        harness.EXECUTABLE = executable
        return super().start_program()

VENDOR, PRODUCT = 0x1234, 0xABCD
STORED_CHOICE = "[General]\nidVendor=%d\nidProduct=%d\nkDeviceName=Key Stick\n" % (VENDOR, PRODUCT)
HEADPHONES_CHOICE = "[General]\nuseHeadphones=true\n"
SINK = "wl_bench_sink"
WATCHING_AUDIO = "Start watching audio"  # logged as the listener goes on
# Between events the program is left alone this long, so one event's work never overlaps the next.
PACE_S = 0.02


def note(text):
    print(text, file=sys.stderr, flush=True)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p * (len(ordered) - 1) + 0.5))]


def row(figure, values, unit, target, scale=1.0):
    if not values:
        return "| %s | 0 | - | - | %s |" % (figure, target)
    fmt = {"ms": "%.2f %s", "MB": "%.1f %s"}.get(unit, "%.0f%s")
    return "| %s | %d | %s | %s | %s |" % (
        figure, len(values), fmt % (percentile(values, 0.5) * scale, unit),
        fmt % (percentile(values, 0.99) * scale, unit), target)


class Stamps:
    """Waits for the next lock request at the logind stand-in and returns its latency."""

    def __init__(self, harness):
        self.h = harness
        self.seen = len(harness.lock_stamps())

    def latency_ms(self, start_ns, timeout=5.0):
        stamps = wait_until(lambda: self._fresh(), timeout, "a lock request", interval=0.002)
        self.seen += len(stamps)
        if len(stamps) > 1:
            raise AssertionError("%d lock requests for one event" % len(stamps))
        return (stamps[0] - start_ns) / 1e6

    def _fresh(self):
        return self.h.lock_stamps()[self.seen:]


def without_preload(h):
    """Programs started by this harness run without the mocked-udev preload (no USB here)."""
    h.env.pop("LD_PRELOAD", None)
    return h


def start_armed(h, executable, arm, timeout=15.0):
    """Starts the program and repeats `arm` (one event) until a lock shows the watch is on."""
    proc = h.start_program(executable)
    stamps = Stamps(h)
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            raise AssertionError("the program exited:\n" + h.output(proc))
        arm()
        try:
            stamps.latency_ms(0, timeout=0.5)
            return proc
        except AssertionError:
            if time.monotonic() > deadline:
                raise AssertionError("no lock while arming:\n" + h.output(proc))


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    proc.wait(10)


# --- USB removal ------------------------------------------------------------------------
def usb_removal(executable, removals):
    h = Harness(display=False)
    try:
        key = h.add_usb_device("Key Stick", VENDOR, PRODUCT, devnum=2)
        for n in range(10):  # bystanders on the bus
            h.add_usb_device("Other %d" % n, 0x2000, n, devnum=10 + n)
        h.write_settings(STORED_CHOICE)

        def cycle():
            h.unlock()
            h.testbed.uevent(key, "add")
            time.sleep(PACE_S)
            h.testbed.uevent(key, "remove")

        proc = start_armed(h, executable, cycle)
        stamps = Stamps(h)
        latencies = []
        for _ in range(removals):
            h.unlock()
            h.testbed.uevent(key, "add")
            time.sleep(PACE_S)
            start = time.monotonic_ns()
            h.testbed.uevent(key, "remove")
            latencies.append(stamps.latency_ms(start))
        if proc.poll() is not None:
            raise AssertionError("the program exited during the removals")
        return latencies
    finally:
        h.close()


# --- audio server event -----------------------------------------------------------------
def audio_event(executable, events):
    """Latencies from `pactl unload-module` issued, and from the same command written on the
    daemon's already open command socket (the event itself, without a client's start-up)."""
    h = without_preload(Harness(display=False))
    cli = socket.socket(socket.AF_UNIX)
    try:
        h.start_pulse()
        h.write_settings(HEADPHONES_CHOICE)
        cli.connect(h.pulse_cli_socket())
        # A user's pactl runs without the mocked-udev preload this process has.
        pactl_env = dict(h.env)
        pactl_env.pop("LD_PRELOAD", None)
        module = [None]

        def load():
            module[0] = h.pactl("load-module", "module-null-sink", "sink_name=" + SINK)
            h.pactl("set-default-sink", SINK)

        def unload_with_pactl():
            start = time.monotonic_ns()
            subprocess.run(["pactl", "unload-module", module[0]], env=pactl_env, check=True)
            return start

        def unload_on_socket():
            start = time.monotonic_ns()
            cli.sendall(b"unload-module %s\n" % module[0].encode())
            return start

        def start():
            proc = h.start_program(executable)
            wait_until(lambda: proc.poll() is not None or WATCHING_AUDIO in h.output(proc), 15,
                       "the audio watch")
            if proc.poll() is not None:
                raise AssertionError("the program exited:\n" + h.output(proc))
            return proc

        # Another client of the daemon, stamping each sink removal it is told of: the floor
        # under the program's figure (the daemon's own unload and its notification).
        watcher = subprocess.Popen(["stdbuf", "-oL", "pactl", "subscribe"], env=pactl_env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        told = []

        def read_events():
            for line in watcher.stdout:
                if "'remove' on sink" in line:
                    told.append(time.monotonic_ns())

        threading.Thread(target=read_events, daemon=True).start()
        floor = []
        load()
        restarts = 0
        proc = start()
        stamps = Stamps(h)
        results = {unload_with_pactl: [], unload_on_socket: []}
        for i in range(2 * events):
            unload = unload_with_pactl if i % 2 == 0 else unload_on_socket
            h.unlock()
            time.sleep(PACE_S)
            before = len(told)
            start = unload()
            try:
                results[unload].append(stamps.latency_ms(start, timeout=2.0))
                if unload is unload_on_socket:
                    wait_until(lambda: len(told) > before, 2, "the subscriber", interval=0.002)
                    floor.append((told[before] - start) / 1e6)
                load()
                continue
            except AssertionError:
                pass
            # A watch that stays on the device it was armed for needs a new start.
            load()
            stop(proc)
            restarts += 1
            if restarts > 5:
                raise AssertionError("no lock after a restart:\n" + h.output(proc))
            proc = start()
            stamps = Stamps(h)
        note("audio: %d program restart(s) over %d events" % (restarts, 2 * events))
        watcher.terminate()
        watcher.wait(5)
        return results[unload_with_pactl], results[unload_on_socket], floor
    finally:
        cli.close()
        h.close()


# --- shortcut ---------------------------------------------------------------------------
def shortcut(executable, presses):
    """Latencies from `xdotool key` started (with its default pacing of 12 ms between key
    events, so that the chord's last key goes down some 18 ms after the first; and without),
    and from the same chord typed by an xdotool that is already running (reading commands from
    its input, no delay between the chord's keys)."""
    h = without_preload(Harness(display=True))
    typist = None
    try:
        proc = h.start_program(executable)
        wait_until(h.icon_geometry, 15, "the tray icon")
        wait_until(h.panel_visible, 10, "the launch to finish")
        typist = subprocess.Popen(["xdotool", "-"], stdin=subprocess.PIPE, env=h.env, text=True)
        stamps = Stamps(h)
        paced, spawned, typed = [], [], []
        for i in range(3 * presses):
            h.unlock()
            time.sleep(PACE_S)
            start = time.monotonic_ns()
            if i % 3 == 0:
                subprocess.run(["xdotool", "key", "ctrl+alt+super+l"], env=h.env, check=True)
                paced.append(stamps.latency_ms(start))
            elif i % 3 == 1:
                subprocess.run(["xdotool", "key", "--delay", "0", "ctrl+alt+super+l"],
                               env=h.env, check=True)
                spawned.append(stamps.latency_ms(start))
            else:
                typist.stdin.write("key --delay 0 ctrl+alt+super+l\n")
                typist.stdin.flush()
                typed.append(stamps.latency_ms(start))
        if proc.poll() is not None:
            raise AssertionError("the program exited during the presses")
        return paced, spawned, typed
    finally:
        if typist:
            typist.stdin.close()
            typist.wait(5)
        h.close()


# --- start-up ---------------------------------------------------------------------------
def peak_rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    raise AssertionError("no VmHWM for %d" % pid)


def start_up(executable, runs):
    h = without_preload(Harness(display=True))
    try:
        times, cpu, peaks = [], [], []
        for _ in range(runs):
            start = time.monotonic_ns()
            proc = h.start_program(executable)
            wait_until(h.icon_geometry, 15, "the tray icon", interval=0.002)
            times.append((time.monotonic_ns() - start) / 1e6)
            cpu.append(process_counters(proc.pid)[0])
            wait_until(h.panel_visible, 10, "the launch to finish")
            peaks.append(peak_rss_mb(proc.pid))
            stop(proc)
            wait_until(lambda: not h.tray_icons(), 10, "the icon to go")
        return times, cpu, peaks
    finally:
        h.close()


# --- idle cost --------------------------------------------------------------------------
def process_counters(pid):
    """(CPU ms, voluntary context switches per thread name) of the whole process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu_ms = (int(fields[11]) + int(fields[12])) * 1000.0 / os.sysconf("SC_CLK_TCK")
    switches = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = "%s[%s]" % (f.read().strip(), tid)
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        switches[name] = int(line.split()[1])
        except FileNotFoundError:
            pass
    return cpu_ms, switches


def settle(pid, quiet_s=1.0, timeout=20.0):
    """Waits until the process has stopped switching for a while after its launch."""
    deadline = time.monotonic() + timeout
    last = sum(process_counters(pid)[1].values())
    while time.monotonic() < deadline:
        time.sleep(quiet_s)
        now = sum(process_counters(pid)[1].values())
        if now == last:
            return
        last = now


def idle(executable, seconds, armed_for):
    h = Harness(display=True)
    try:
        # A desktop has an audio server either way.
        h.start_pulse()
        if armed_for == "usb":
            h.add_usb_device("Key Stick", VENDOR, PRODUCT, devnum=2)
            h.write_settings(STORED_CHOICE)
        else:
            without_preload(h)
            h.pactl("load-module", "module-null-sink", "sink_name=" + SINK)
            h.pactl("set-default-sink", SINK)
            h.write_settings(HEADPHONES_CHOICE)
        proc = h.start_program(executable)
        wait_until(h.icon_geometry, 15, "the tray icon")
        settle(proc.pid)
        cpu0, sw0 = process_counters(proc.pid)
        time.sleep(seconds)
        cpu1, sw1 = process_counters(proc.pid)
        woke = {name: sw1[name] - sw0.get(name, 0) for name in sw1 if sw1[name] != sw0.get(name, 0)}
        note("idle, armed for %s, %g s: wake-ups by thread: %s" % (armed_for, seconds, woke or "none"))
        if proc.poll() is not None:
            raise AssertionError("the program exited while idle")
        return cpu1 - cpu0, sum(woke.values())
    finally:
        h.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--executable", default="build/wardlatch")
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--removals", type=int, default=200)
    parser.add_argument("--audio-events", type=int, default=50)
    parser.add_argument("--presses", type=int, default=100)
    parser.add_argument("--starts", type=int, default=10)
    args = parser.parse_args()
    exe = os.path.abspath(args.executable)

    print(row("USB removal to lock request (umockdev, offscreen)",
              usb_removal(exe, args.removals), "ms", "p99 < 5 ms"), flush=True)
    by_pactl, on_socket, floor = audio_event(exe, args.audio_events)
    print(row("Audio sink unloaded (`pactl unload-module` issued) to lock request", by_pactl,
              "ms", "p99 < 20 ms"))
    print(row("Audio sink unloaded (command written on an open daemon socket) to lock request",
              on_socket, "ms", "p99 < 20 ms"))
    print(row("of which the daemon: same command to the removal reaching a `pactl subscribe`",
              floor, "ms", "(floor)"), flush=True)
    paced, spawned, typed = shortcut(exe, args.presses)
    print(row("Shortcut (`xdotool key` started, Xvfb, its default 12 ms between keys) to lock "
              "request", paced, "ms", "p99 < 20 ms"))
    print(row("Shortcut (`xdotool key --delay 0` started, Xvfb) to lock request", spawned, "ms",
              "p99 < 20 ms"))
    print(row("Shortcut (chord typed by a running xdotool, no key delay) to lock request", typed,
              "ms", "p99 < 20 ms"), flush=True)
    times, cpu, peaks = start_up(exe, args.starts)
    print(row("Start-up: exec to tray icon embedded (Xvfb + trayer)", times, "ms", "< 300 ms"))
    print(row("Start-up: CPU time of the program until then (10 ms ticks)", cpu, "ms", ""))
    print(row("Start-up: peak resident memory (VmHWM)", peaks, "MB", "< 40 MB"), flush=True)
    for armed_for, label in (("usb", "a USB device"), ("headphones", "headphones")):
        cpu, woke = idle(exe, args.idle_seconds, armed_for)
        span = "%g s" % args.idle_seconds
        print(row("Idle, armed for %s: CPU time over %s" % (label, span), [cpu], "ms",
                  "no wake-up of ours"))
        print(row("Idle, armed for %s: voluntary context switches over %s" % (label, span),
                  [woke], "", "0 of ours"), flush=True)


if __name__ == "__main__":
    main()
