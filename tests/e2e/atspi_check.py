"""Drives the running program over AT-SPI: finds its frame, the controller table
and the first row's "Disabled" box, checks what they say of themselves, toggles
the box by its accessible action and checks that the database holds the change.
Usage: atspi_check.py <database file>"""

import sqlite3
import sys
import time

import pyatspi

CAPTION = "Velmora/Controller Connection Utility"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_for(what, find, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        found = find()
        if found is not None:
            return found
        time.sleep(0.2)
    fail("no " + what)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name == "velmora-controllers":
            return app
    return None


def frame_of(app):
    for child in app:
        if child is not None and child.name == CAPTION:
            return child
    return None


def flag(db, site, controller):
    with sqlite3.connect(db) as connection:
        row = connection.execute("SELECT ConnectArden FROM Controllers WHERE Site=? AND Controller=?",
                                 (site, controller)).fetchone()
    return row[0]


def main():
    db = sys.argv[1]
    app = wait_for("application 'velmora-controllers' on the accessibility bus", application)
    frame = wait_for("window named '%s'" % CAPTION, lambda: frame_of(app))
    if frame.getRole() != pyatspi.ROLE_FRAME:
        fail("the window's role is %s, not frame" % frame.getRoleName())

    table = pyatspi.findDescendant(frame, lambda a: a is not None and a.getRole() == pyatspi.ROLE_TABLE)
    if table is None:
        fail("no table in the window")
    if table.name != "Controllers":
        fail("the table is named '%s'" % table.name)
    cells = table.queryTable()
    if cells.nColumns != 5 or cells.nRows != 60:
        fail("the table has %d rows and %d columns" % (cells.nRows, cells.nColumns))

    site = cells.getAccessibleAt(0, 0)
    if site.getRole() != pyatspi.ROLE_TABLE_CELL or site.name != "1":
        fail("the first cell is a %s named '%s'" % (site.getRoleName(), site.name))

    box = cells.getAccessibleAt(0, 4)
    if box.getRole() != pyatspi.ROLE_CHECK_BOX:
        fail("the Disabled cell is a %s, not a check box" % box.getRoleName())
    if box.name != "Disabled":
        fail("the Disabled cell is named '%s'" % box.name)
    states = box.getState()
    # Qt 6.4's bridge passes on "checked" but not yet "checkable"; the check box
    # role is what tells a screen reader that the cell can be checked.
    checkable = states.contains(pyatspi.STATE_CHECKABLE)
    before = flag(db, 1, 1)
    if states.contains(pyatspi.STATE_CHECKED) != (before == 1):
        fail("the box says checked=%s, the database holds %r" % (states.contains(pyatspi.STATE_CHECKED), before))

    action = box.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    toggle = next((i for i, n in enumerate(names) if n.lower() == "toggle"), None)
    if toggle is None:
        fail("the box offers no toggle action, only %s" % names)
    action.doAction(toggle)

    expected = 0 if before == 1 else 1
    deadline = time.time() + 10
    while flag(db, 1, 1) != expected and time.time() < deadline:
        time.sleep(0.1)
    after = flag(db, 1, 1)
    if after != expected:
        fail("after the toggle action the database holds %r, expected %r" % (after, expected))
    deadline = time.time() + 5
    while box.getState().contains(pyatspi.STATE_CHECKED) != (expected == 1) and time.time() < deadline:
        time.sleep(0.1)
    if box.getState().contains(pyatspi.STATE_CHECKED) != (expected == 1):
        fail("the box does not say its new state")
    print("PASS: frame '%s', table '%s' %dx%d, check box '%s' (checkable state %s, actions %s) toggled %r -> %r "
          "in the database" % (frame.name, table.name, cells.nRows, cells.nColumns, box.name,
                               "shown" if checkable else "not passed on", names, before, after))


main()
