#!/usr/bin/python3
"""A stand-in desktop notification server for the shell tests.

Owns org.freedesktop.Notifications on the bus at --address and appends one JSON object per Notify call to
--record: the call's D-Bus signature and its arguments, each hint with the D-Bus type it came as. GetCapabilities
answers the comma-separated --capabilities. With --hang it never answers any call.
"""

import argparse
import json
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"

HINT_TYPES = {
    dbus.String: "s",
    dbus.Boolean: "b",
    dbus.Byte: "y",
    dbus.Int32: "i",
    dbus.UInt32: "u",
    dbus.Int64: "x",
    dbus.UInt64: "t",
    dbus.Double: "d",
}


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Array, list)):
        return [plain(item) for item in value]
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(key): plain(item) for key, item in value.items()}
    if isinstance(value, (int,)):
        return int(value)
    if isinstance(value, float):
        return float(value)
    return str(value)


class Server(dbus.service.Object):
    def __init__(self, bus, record, capabilities, hang):
        super().__init__(bus, PATH)
        self.record = record
        self.capabilities = capabilities
        self.hang = hang
        self.next_id = 1
        self.parked = []  # the callbacks of calls never answered, kept so that no reply is sent on collection

    @dbus.service.method(NAME, in_signature="", out_signature="as",
                         async_callbacks=("reply", "fail"))
    def GetCapabilities(self, reply, fail):
        if self.hang:
            self.parked.append((reply, fail))
            return
        reply(dbus.Array(self.capabilities, signature="s"))

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u",
                         async_callbacks=("reply", "fail"), message_keyword="message")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout,
               reply, fail, message):
        entry = {
            "signature": message.get_signature(),
            "app_name": str(app_name),
            "replaces_id": int(replaces_id),
            "app_icon": str(app_icon),
            "summary": str(summary),
            "body": str(body),
            "actions": [str(action) for action in actions],
            "hints": {str(key): plain(value) for key, value in hints.items()},
            "hint_types": {str(key): HINT_TYPES.get(type(value), type(value).__name__)
                           for key, value in hints.items()},
            "expire_timeout": int(expire_timeout),
        }
        with open(self.record, "a", encoding="utf-8") as file:
            file.write(json.dumps(entry, ensure_ascii=False) + "\n")
        if self.hang:
            self.parked.append((reply, fail))
            return
        reply(dbus.UInt32(self.next_id))
        self.next_id += 1

    @dbus.service.method(NAME, in_signature="u", out_signature="")
    def CloseNotification(self, notification_id):
        pass

    @dbus.service.method(NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("Fake notification server", "Ebbcast tests", "1", "1.2")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--capabilities", default="")
    parser.add_argument("--hang", action="store_true")
    arguments = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(arguments.address)
    capabilities = [item for item in arguments.capabilities.split(",") if item]
    server = Server(bus, arguments.record, capabilities, arguments.hang)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("owning " + NAME, file=sys.stderr, flush=True)
    loop = GLib.MainLoop()
    try:
        loop.run()
    finally:
        del name, server


if __name__ == "__main__":
    main()
