#!/usr/bin/python3
"""A stand-in for udisks2 on a private bus, for the tests of the udisks2 client.

Usage: udisks_standin.py IMAGE LOG [--without-resolve]. Serves org.freedesktop.UDisks2 with the
Manager's ResolveDevice (absent with --without-resolve, as in older udisks2) and three block
devices, named as udisks2 names them:
  /dev/standin-card      OpenForBackup hands over IMAGE opened read-only
  /dev/standin-locked    OpenForBackup answers NotAuthorizedDismissed (password dialog cancelled)
  /dev/standin-writable  OpenForBackup hands over IMAGE opened for reading and writing
Each call is appended to LOG as one line: method, object path, arguments, and whether the caller
allowed interactive authorisation.
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.freedesktop.UDisks2"
BLOCKS = "/org/freedesktop/UDisks2/block_devices/"
DEVICES = {
    "/dev/standin-card": "standin_2dcard",
    "/dev/standin-locked": "standin_2dlocked",
    "/dev/standin-writable": "standin_2dwritable",
}

image, log_path = sys.argv[1], sys.argv[2]


def log(*fields):
    with open(log_path, "a", encoding="utf-8") as out:
        out.write("|".join(str(f) for f in fields) + "\n")


class NotAuthorizedDismissed(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"


class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.UDisks2.Manager", in_signature="a{sv}a{sv}",
                         out_signature="ao", message_keyword="msg")
    def ResolveDevice(self, devspec, options, msg):
        path = str(devspec.get("path", ""))
        log("ResolveDevice", msg.get_path(), path)
        name = DEVICES.get(path)
        return dbus.Array([dbus.ObjectPath(BLOCKS + name)] if name else [], signature="o")


class Block(dbus.service.Object):
    def __init__(self, bus, name):
        super().__init__(bus, BLOCKS + name)
        self.name = name

    @dbus.service.method("org.freedesktop.UDisks2.Block", in_signature="a{sv}", out_signature="h",
                         message_keyword="msg")
    def OpenForBackup(self, options, msg):
        log("OpenForBackup", msg.get_path(), dict(options), msg.get_allow_interactive_authorization())
        if self.name == "standin_2dlocked":
            raise NotAuthorizedDismissed("The authentication dialog was dismissed")
        flags = os.O_RDWR if self.name == "standin_2dwritable" else os.O_RDONLY
        fd = os.open(image, flags)
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
manager = None if "--without-resolve" in sys.argv[3:] else Manager(bus, "/org/freedesktop/UDisks2/Manager")
blocks = [Block(bus, name) for name in DEVICES.values()]
# Claim the name last: once it is on the bus, every object answers.
name = dbus.service.BusName(BUS_NAME, bus)
log("ready")
GLib.MainLoop().run()
