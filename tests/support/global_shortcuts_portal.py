# SPDX-License-Identifier: GPL-3.0-or-later
"""dbusmock template: a portal offering global shortcuts that answers each request at once, on the
request object the caller predicts from its bus name. Parameter bind_response: the code
BindShortcuts answers with (0 bound, 1 refused by the user)."""

import dbus
import dbus.exceptions
import dbus.lowlevel
import dbus.service

BUS_NAME = "org.freedesktop.portal.Desktop"
MAIN_OBJ = "/org/freedesktop/portal/desktop"
MAIN_IFACE = "org.freedesktop.portal.GlobalShortcuts"
SYSTEM_BUS = False
PROBE_IFACE = "org.wardlatch.Probe"


def load(mock, parameters):
    mock.AddProperty(MAIN_IFACE, "version", dbus.UInt32(1))
    mock.bound = ("", [])
    mock.triggers = []
    mock.bind_response = int((parameters or {}).get("bind_response", 0))


def _path(kind, sender, token):
    return "%s/%s/%s/%s" % (MAIN_OBJ, kind, sender.lstrip(":").replace(".", "_"), token)


def _respond(mock, path, results, code=0):
    message = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
    message.append(dbus.UInt32(code), results, signature="ua{sv}")
    for location in mock.locations:
        location[0].send_message(message)


@dbus.service.method(MAIN_IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
def CreateSession(self, options, sender):
    request = _path("request", sender, options["handle_token"])
    session = _path("session", sender, options["session_handle_token"])
    _respond(self, request, {"session_handle": dbus.String(session, variant_level=1)})
    return dbus.ObjectPath(request)


@dbus.service.method(MAIN_IFACE, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                     sender_keyword="sender")
def BindShortcuts(self, session, shortcuts, parent_window, options, sender):
    self.triggers = [str(s[1]["preferred_trigger"]) for s in shortcuts]
    if self.bind_response == 0:
        self.bound = (str(session), [str(s[0]) for s in shortcuts])
    request = _path("request", sender, options["handle_token"])
    described = [(s[0], {"trigger_description": dbus.String(s[1]["preferred_trigger"],
                                                            variant_level=1)}) for s in shortcuts]
    _respond(self, request,
             {"shortcuts": dbus.Array(described, signature="(sa{sv})", variant_level=1)},
             self.bind_response)
    return dbus.ObjectPath(request)


@dbus.service.method(PROBE_IFACE, in_signature="", out_signature="sas")
def Bound(self):
    return self.bound


@dbus.service.method(PROBE_IFACE, in_signature="", out_signature="as")
def Triggers(self):
    return self.triggers


@dbus.service.method("org.freedesktop.host.portal.Registry", in_signature="sa{sv}",
                     out_signature="")
def Register(self, app_id, options):
    # Only before any other call, as the real registry demands.
    if self.call_log[:-1]:
        raise dbus.exceptions.DBusException("registered too late",
                                            name="org.freedesktop.portal.Error.Failed")
