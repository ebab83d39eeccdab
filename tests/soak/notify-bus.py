#!/usr/bin/python3
"""A private session bus with python3-dbusmock's notification daemon on it, for the soak.

usage: notify-bus.py        (Debian's /usr/bin/python3, where python3-dbusmock lives)

Prints one JSON line {"address": …} once the server answers, then reads requests, one JSON
line each, and answers each with one JSON line:

  {"cmd": "shown"}                          every notification posted so far, oldest first:
                                            {"calls": [{"id", "summary", "body", "actions"}]}
  {"cmd": "click", "id": N, "action": KEY}  the user's click on a notification's button
                                            (the server's ActionInvoked signal): {"ok": true}

Ends, taking the bus and the server with it, when its input closes.
"""

import json
import os
import subprocess
import sys

import dbus
import dbusmock

NOTIFICATIONS = "org.freedesktop.Notifications"


def shown(mock, next_id):
    """The Notify calls with the ids the mock gave them: replaces_id, else the next number."""
    out = []
    for _, args in mock.GetMethodCalls("Notify", dbus_interface=dbusmock.MOCK_IFACE):
        replaces = int(args[1])
        if replaces:
            number = replaces
        else:
            number = next_id[0]
            next_id[0] += 1
        out.append({"id": number, "summary": str(args[3]), "body": str(args[4]),
                    "actions": [str(a) for a in args[5]]})
    return out


def main():
    # The bus is the daemon's own, forked off; tearDownClass stops it.
    dbusmock.DBusTestCase.start_session_bus()
    server, mock = dbusmock.DBusTestCase.spawn_server_template(
        "notification_daemon", {"capabilities": "body actions body-markup"},
        stdout=subprocess.DEVNULL)
    print(json.dumps({"address": os.environ["DBUS_SESSION_BUS_ADDRESS"]}), flush=True)
    try:
        for line in sys.stdin:
            try:
                request = json.loads(line)
                if request.get("cmd") == "shown":
                    answer = {"calls": shown(mock, [1])}
                elif request.get("cmd") == "click":
                    mock.EmitSignal(NOTIFICATIONS, "ActionInvoked", "us",
                                    [dbus.UInt32(int(request["id"])), str(request["action"])],
                                    dbus_interface=dbusmock.MOCK_IFACE)
                    answer = {"ok": True}
                else:
                    answer = {"error": "unknown command"}
            except (ValueError, KeyError, dbus.DBusException) as e:
                answer = {"error": str(e)}
            print(json.dumps(answer), flush=True)
    finally:
        server.terminate()
        server.wait()
        dbusmock.DBusTestCase.tearDownClass()


if __name__ == "__main__":
    main()
