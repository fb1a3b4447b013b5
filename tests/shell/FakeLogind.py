#!/usr/bin/python3
"""A stand-in for logind's manager object for the shell tests.

Owns org.freedesktop.login1 on the bus at --address. Inhibit answers with the write end of a new pipe and keeps
the read end: the lock counts as released when that end sees end-of-file, that is when every copy of the write
end is closed. Appends one JSON object per event to --record: {"event": "inhibit", "what", "who", "why", "mode",
"lock"} and {"event": "released", "lock"}. The test interface's EmitPrepareForShutdown(b) sends the manager's
PrepareForShutdown signal.
"""

import argparse
import json
import os
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.login1"
PATH = "/org/freedesktop/login1"
MANAGER = "org.freedesktop.login1.Manager"
TEST = "org.ebbcast.test.FakeLogind"


class Manager(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, PATH)
        self.record = record
        self.next_lock = 1

    def write(self, entry):
        with open(self.record, "a", encoding="utf-8") as file:
            file.write(json.dumps(entry) + "\n")

    @dbus.service.method(MANAGER, in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        lock = self.next_lock
        self.next_lock += 1
        read_end, write_end = os.pipe()
        self.write({"event": "inhibit", "what": str(what), "who": str(who), "why": str(why),
                    "mode": str(mode), "lock": lock})

        def closed(source, condition):
            try:
                data = os.read(source, 64)
            except OSError:
                data = b""
            if data:
                return True
            os.close(source)
            self.write({"event": "released", "lock": lock})
            return False

        GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, read_end, GLib.IOCondition.IN | GLib.IOCondition.HUP,
                              closed)
        answer = dbus.types.UnixFd(write_end)  # a copy of its own, closed once sent
        os.close(write_end)
        return answer

    @dbus.service.signal(MANAGER, signature="b")
    def PrepareForShutdown(self, starting):
        pass

    @dbus.service.method(TEST, in_signature="b", out_signature="")
    def EmitPrepareForShutdown(self, starting):
        self.PrepareForShutdown(starting)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--record", required=True)
    arguments = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(arguments.address)
    manager = Manager(bus, arguments.record)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("owning " + NAME, file=sys.stderr, flush=True)
    loop = GLib.MainLoop()
    try:
        loop.run()
    finally:
        del name, manager


if __name__ == "__main__":
    main()
