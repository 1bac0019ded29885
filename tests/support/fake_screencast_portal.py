#!/usr/bin/python3
"""A scripted ScreenCast portal for tests: org.freedesktop.portal.Desktop on the session bus in
DBUS_SESSION_BUS_ADDRESS, answering CreateSession / SelectSources / Start / OpenPipeWireRemote the
way the desktop's portal does (Request objects answered by their Response signal). Start grants
one monitor: the PipeWire node --node-id, reached through the daemon socket --pipewire-socket.
A restore token it issued before (kept in --state across runs) restores the grant without
"asking"; otherwise it "asks" and grants, or refuses with --deny. SIGUSR1 revokes every grant, as
a user would in the desktop's settings: each session gets its Closed signal, and Start answers 2
for the tokens issued so far. Every step is written to --log as a JSON line."""

import argparse
import json
import signal
import socket

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
SCREENCAST = "org.freedesktop.portal.ScreenCast"


def plain(value):
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.UInt32, dbus.Int32)):
        return int(value)
    return repr(value)


class Portal(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, PATH)
        self.bus = bus
        self.args = args
        self.selected = {}
        self.sessions = {}  # handle: the client's unique name

    def log(self, step, **fields):
        with open(self.args.log, "a") as out:
            out.write(json.dumps(dict(step=step, **fields)) + "\n")

    def tokens(self):
        try:
            with open(self.args.state) as state:
                return json.load(state)
        except (OSError, ValueError):
            return {"issued": [], "revoked": []}

    def keep(self, tokens):
        with open(self.args.state, "w") as state:
            json.dump(tokens, state)

    def revoke(self):
        tokens = self.tokens()
        self.keep({"issued": [], "revoked": tokens["revoked"] + tokens["issued"]})
        for handle, sender in self.sessions.items():
            message = dbus.lowlevel.SignalMessage(
                handle, "org.freedesktop.portal.Session", "Closed")
            message.set_destination(sender)
            message.append(dbus.Dictionary({}, signature="sv"))
            self.bus.send_message(message)
        self.log("Revoked", sessions=len(self.sessions))
        self.sessions = {}
        return True

    def respond(self, sender, options, code, results):
        token = str(options.get("handle_token", "t"))
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)

        def emit():
            message = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
            message.set_destination(sender)
            message.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"))
            self.bus.send_message(message)
            return False

        GLib.timeout_add(20, emit)
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        values = {"version": dbus.UInt32(4), "AvailableSourceTypes": dbus.UInt32(3),
                  "AvailableCursorModes": dbus.UInt32(7)}
        return values[name]

    @dbus.service.method(SCREENCAST, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        handle = "/org/freedesktop/portal/desktop/session/%s/%s" % (
            sender[1:].replace(".", "_"), options.get("session_handle_token", "s"))
        self.sessions[handle] = sender
        self.log("CreateSession")
        return self.respond(sender, options, 0, {"session_handle": dbus.ObjectPath(handle)})

    @dbus.service.method(SCREENCAST, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def SelectSources(self, session, options, sender=None):
        self.selected = {str(k): plain(v) for k, v in options.items() if k != "handle_token"}
        self.log("SelectSources", **self.selected)
        return self.respond(sender, options, 0, {})

    @dbus.service.method(SCREENCAST, in_signature="osa{sv}", out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender=None):
        tokens = self.tokens()
        if self.selected.get("restore_token") in tokens["revoked"]:
            self.log("Start", asked=False, revoked=True)
            return self.respond(sender, options, 2, {})
        restored = self.selected.get("restore_token") in tokens["issued"]
        self.log("Start", asked=not restored)
        if not restored and self.args.deny:
            return self.respond(sender, options, 1, {})
        results = {"streams": dbus.Array([dbus.Struct((dbus.UInt32(self.args.node_id), dbus.Dictionary({
            "position": dbus.Struct((dbus.Int32(0), dbus.Int32(0)), signature="ii"),
            "size": dbus.Struct((dbus.Int32(self.args.width), dbus.Int32(self.args.height)), signature="ii"),
            "source_type": dbus.UInt32(1)}, signature="sv")), signature="ua{sv}")], signature="(ua{sv})")}
        if self.selected.get("persist_mode") == 2:
            token = "token-%d" % (len(tokens["issued"]) + len(tokens["revoked"]) + 1)
            tokens["issued"].append(token)
            self.keep(tokens)
            results["restore_token"] = dbus.String(token)
        return self.respond(sender, options, 0, results)

    @dbus.service.method(SCREENCAST, in_signature="oa{sv}", out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        connection.connect(self.args.pipewire_socket)
        self.log("OpenPipeWireRemote")
        return dbus.types.UnixFd(connection)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--node-id", type=int, required=True)
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--pipewire-socket", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--deny", action="store_true")
    args = parser.parse_args()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, args)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, portal.revoke)
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
