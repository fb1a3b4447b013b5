#!/usr/bin/python3
"""A stand-in StatusNotifierWatcher with a host, as a desktop panel offers, for the tray menu tests.

Owns org.kde.StatusNotifierWatcher on the bus at --address and says that a StatusNotifierHost is registered, so
that an application's tray icon exports itself as a StatusNotifierItem. Appends one JSON object per item that
registers to --record: {"event": "item", "service": the bus name, "path": the item's object path,
"sender": the caller's unique name}; hosts that register are recorded as {"event": "host", "service": ...}.
"""

import argparse
import json
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
PROPERTIES = "org.freedesktop.DBus.Properties"
INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"
ITEM_PATH = "/StatusNotifierItem"

# dbus-python leaves properties out of its introspection data; a QDBusInterface reads a property only when the
# introspection names it.
INTROSPECTION = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface" type="s" direction="in"/><arg name="values" type="a{sv}" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <signal name="PropertiesChanged">
      <arg type="s"/><arg type="a{sv}"/><arg type="as"/>
    </signal>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="data" type="s" direction="out"/></method>
  </interface>
</node>
"""


class Watcher(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, PATH)
        self.bus = bus
        self.record = record
        self.items = []  # "service/path", as the protocol lists them

    def write(self, entry):
        with open(self.record, "a", encoding="utf-8") as file:
            file.write(json.dumps(entry) + "\n")

    @dbus.service.method(NAME, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        # A bus name, or only an object path on the caller's own connection.
        if service.startswith("/"):
            name, path = str(sender), str(service)
        else:
            name, path = str(service), ITEM_PATH
        item = name + path
        if item not in self.items:
            self.items.append(item)
        self.write({"event": "item", "service": name, "path": path, "sender": str(sender)})
        self.StatusNotifierItemRegistered(item)

    @dbus.service.method(NAME, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierHost(self, service, sender):
        self.write({"event": "host", "service": str(service), "sender": str(sender)})
        self.StatusNotifierHostRegistered()

    @dbus.service.signal(NAME, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(NAME, signature="s")
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(NAME, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.signal(NAME, signature="")
    def StatusNotifierHostUnregistered(self):
        pass

    def properties(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        values = self.properties()
        if interface != NAME or name not in values:
            raise dbus.exceptions.DBusException("no property " + name,
                                                name="org.freedesktop.DBus.Error.UnknownProperty")
        return values[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != NAME:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary(self.properties(), signature="sv")

    @dbus.service.method(PROPERTIES, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        raise dbus.exceptions.DBusException("read-only property " + name,
                                            name="org.freedesktop.DBus.Error.PropertyReadOnly")

    @dbus.service.method(INTROSPECTABLE, in_signature="", out_signature="s")
    def Introspect(self):
        return INTROSPECTION


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--record", required=True)
    arguments = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(arguments.address)
    watcher = Watcher(bus, arguments.record)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("owning " + NAME, file=sys.stderr, flush=True)
    loop = GLib.MainLoop()
    try:
        loop.run()
    finally:
        del name, watcher


if __name__ == "__main__":
    main()
