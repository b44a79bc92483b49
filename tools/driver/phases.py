"""Phases of a run: each is timed and its outcome kept, a failing one never stops the others,
and the summary lists them all."""

import time
import traceback
import subprocess

from .system import Failure


class Phases:
    def __init__(self, console):
        self.console = console
        self.names = []
        self.status = {}
        self.seconds = {}
        self.notes = {}

    def run(self, name, action, *arguments):
        self.names.append(name)
        self.console.say("=== " + name)
        start = time.monotonic()
        try:
            action(*arguments)
            self.status[name] = "ok"
        except Exception as error:  # any fault of one phase is reported and left behind
            self.status[name] = "FAILED"
            self.console.say("error: %s" % describe(error))
            self.console.say("%s failed" % name)
        self.seconds[name] = int(time.monotonic() - start)
        return self.ok(name)

    def skip(self, name, note):
        self.names.append(name)
        self.status[name] = "skipped"
        self.notes[name] = note

    def note(self, name, text):
        self.notes[name] = text

    def ok(self, name):
        return self.status.get(name) == "ok"

    def failed(self):
        return any(self.status[name] == "FAILED" for name in self.names)

    def summary(self):
        return [
            "  %-26s %-8s %5ss  %s"
            % (name, self.status[name], self.seconds.get(name, "-"), self.notes.get(name, ""))
            for name in self.names
        ]


def describe(error):
    if isinstance(error, Failure):
        return str(error)
    if isinstance(error, subprocess.CalledProcessError):
        return "exit %s from %s" % (error.returncode, " ".join(map(str, error.cmd)))
    return "".join(traceback.format_exception_only(type(error), error)).strip()
