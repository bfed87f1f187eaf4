"""Reads the download window of a running installer as a screen reader does, over AT-SPI.

    accessibility_probe.py PID

Prints one line for each thing it finds, and ends after the last one or after 8 seconds:
    bar NAME                 the progress bar and its accessible name
    value-changed A B        the bar's value went from A to B
    status TEXT              the first text the status line holds
    failure ROLE TEXT        the status line once it holds a failure (TEXT with \\n for line feeds)
    announced ROLE TEXT      an announcement by the ROLE object of the program, read out at once
"""

import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

FAILURE_START = "Error during the download process."
POLL_MS = 50
DEADLINE_S = 8

pid = int(sys.argv[1])
seen = {"bar": None, "value": None, "changed": False, "failure": False, "announced": False,
        "status": False}


def say(line):
    print(line, flush=True)


def application():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def find(node, role):
    if node is None:
        return None
    if node.get_role() == role:
        return node
    for i in range(node.get_child_count()):
        found = find(node.get_child_at_index(i), role)
        if found is not None:
            return found
    return None


def text_of(node):
    return Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node))


def role_name(node):
    return node.get_role_name().replace(" ", "-")


def poll():
    try:
        app = application()
        bar = find(app, Atspi.Role.PROGRESS_BAR)
        if bar is None:
            return True
        if seen["bar"] is None:
            seen["bar"] = bar.get_name()
            say("bar " + seen["bar"])
        value = Atspi.Value.get_current_value(bar)
        if not seen["changed"] and seen["value"] is not None and value != seen["value"]:
            seen["changed"] = True
            say("value-changed %s %s" % (seen["value"], value))
        seen["value"] = value
        status = find(app, Atspi.Role.LABEL)
        if status is not None and not seen["status"] and text_of(status):
            seen["status"] = True
            say("status " + text_of(status))
        if not seen["failure"] and status is not None:
            text = text_of(status)
            if text.startswith(FAILURE_START):
                seen["failure"] = True
                say("failure %s %s" % (role_name(status), text.replace("\n", "\\n")))
    except GLib.Error:
        pass  # the tree changed while it was read: read it again
    if seen["failure"] and seen["announced"]:
        loop.quit()
    return True


def on_announcement(event):
    source = event.source
    if source.get_process_id() == pid and not seen["announced"]:
        seen["announced"] = True
        say("announced %s %s" % (role_name(source), str(event.any_data).replace("\n", "\\n")))


loop = GLib.MainLoop()
listener = Atspi.EventListener.new(on_announcement)
listener.register("object:announcement")
GLib.timeout_add(POLL_MS, poll)
GLib.timeout_add_seconds(DEADLINE_S, loop.quit)
loop.run()
