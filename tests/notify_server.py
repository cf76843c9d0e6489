"""A stand-in for the desktop's notification server on the session bus:
logs each notice as a line of JSON and, when asked, clicks its default
action at once, as a user would.
    notify_server.py LOG [default]"""
import json
import sys

from gi.repository import Gio, GLib

XML = """<node><interface name="org.freedesktop.Notifications">
<method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
<arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
<arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/></method>
<method name="CloseNotification"><arg type="u" direction="in"/></method>
<method name="GetCapabilities"><arg type="as" direction="out"/></method>
<method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
<arg type="s" direction="out"/><arg type="s" direction="out"/></method>
<signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
<signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
</interface></node>"""

log_path = sys.argv[1]
click = len(sys.argv) > 2 and sys.argv[2] == "default"
counter = [0]


def on_call(connection, sender, path, interface, method, params, invocation):
    if method == "Notify":
        app, _replaces, _icon, summary, body, actions, _hints, _timeout = params.unpack()
        counter[0] += 1
        with open(log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps({"app": app, "summary": summary, "body": body, "actions": actions}) + "\n")
        invocation.return_value(GLib.Variant("(u)", (counter[0],)))
        if click and "default" in actions:
            connection.emit_signal(sender, path, interface, "ActionInvoked",
                                   GLib.Variant("(us)", (counter[0], "default")))
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("test", "tessaly", "1", "1.2")))
    else:
        invocation.return_value(None)


def on_bus(connection, _name):
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    connection.register_object("/org/freedesktop/Notifications", info, on_call, None, None)


def on_name(_connection, _name):
    open(log_path + ".ready", "w").close()


Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE,
                 on_bus, on_name, lambda *_: sys.exit(1))
GLib.MainLoop().run()
