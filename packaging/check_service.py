#!/usr/bin/env python3
"""Runs an installed monitor.service's command line the way systemd runs it,
without systemd: its environment file read, standard input at its end, a bare
environment, a notify socket of its own, both output streams into one journal
file, named by JOURNAL_STREAM, so that lines carry the priority journald reads
(<3> a failure, <6> a change; the detector's own lines none).

 - With the shipped environment file, untouched, it ends at once with a line
   saying what to set, and with a status the unit never restarts on.
 - With the directories set (a list with a space in a name and semicolons),
   READY=1 arrives only once the kernel watches every folder of a tree of
   10,000 (an inotify watch on each, or, where the monitor chose fanotify, a
   filesystem mark); a change is reported and the detector's verdict follows;
   SIGTERM ends it with the status the unit counts as a clean stop.

    check_service.py UNIT WORK_DIR
"""
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time

DEADLINE = 60.0
FOLDERS = 10000
# The PATH systemd gives a service.
SERVICE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"


def fail(message, journal=None):
    print("check_service: FAILED: " + message, file=sys.stderr)
    if journal and os.path.exists(journal):
        with open(journal, "rb") as f:
            sys.stderr.write(f.read().decode("utf-8", "replace"))
    sys.exit(1)


def read_unit(path):
    """Settings of the unit's [Service] section, each a list of values."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and line and line[0] not in "#;":
                key, _, value = line.partition("=")
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def read_environment_file(path):
    """KEY=VALUE lines as systemd reads them: comments skipped, a value in
    double quotes unquoted, with \\" and \\\\ unescaped."""
    values = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            key, _, value = line.partition("=")
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] == '"':
                value = re.sub(r'\\(["\\])', r"\1", value[1:-1])
            values[key.strip()] = value
    return values


def command_line(exec_start, environment):
    """ExecStart split into words; ${NAME} is the variable's value, within
    one word, and $$ a dollar sign."""
    def expand(word):
        return re.sub(r"\$\$|\$\{(\w+)\}",
                      lambda m: environment.get(m.group(1), "") if m.group(1) else "$", word)
    return [expand(word) for word in shlex.split(exec_start)]


WATCH_LINE = re.compile(r"inotify wd:\S+ .*\bmask:([0-9a-f]+)")


def watch_count(pid):
    """Watches of watched folders held by the process, per the kernel:
    inotify watches asking for writes (IN_MODIFY), not the ones on the
    folders on the way to a root, which ask for renames only; and fanotify
    filesystem marks."""
    count = marks = 0
    for name in os.listdir("/proc/%d/fdinfo" % pid):
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, name)) as f:
                for line in f:
                    m = WATCH_LINE.match(line)
                    count += 1 if m and int(m.group(1), 16) & 0x2 else 0
                    marks += 1 if line.startswith("fanotify sdev:") else 0
        except OSError:
            pass
    return count, marks


class Service:
    """One run of the unit's command line with an environment file."""

    def __init__(self, unit, environment_file, work, name):
        self.journal = os.path.join(work, name + ".journal")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(os.path.join(work, name + ".notify"))
        environment = {"PATH": SERVICE_PATH}
        environment.update(read_environment_file(environment_file))
        environment["NOTIFY_SOCKET"] = self.notify.getsockname()
        argv = command_line(unit["ExecStart"][0], environment)
        with open(self.journal, "wb") as journal:
            status = os.fstat(journal.fileno())
            environment["JOURNAL_STREAM"] = "%d:%d" % (status.st_dev, status.st_ino)
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=journal,
                                            stderr=subprocess.STDOUT, cwd="/", env=environment)

    def ready(self, timeout):
        self.notify.settimeout(timeout)
        try:
            # READY=1 comes with a STATUS= line: the first line is the news.
            return self.notify.recv(4096).split(b"\n")[0]
        except (socket.timeout, BlockingIOError):
            return None

    def lines(self):
        with open(self.journal, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def wait_line(self, line, deadline):
        # The journal is a file: re-read it, bounded by the deadline.
        while line not in self.lines():
            if time.monotonic() > deadline or self.process.poll() is not None:
                fail("no line %r" % line, self.journal)
            time.sleep(0.01)

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.notify.close()


def check_untouched(unit, default_file, work):
    service = Service(unit, default_file, work, "untouched")
    try:
        status = service.process.wait(timeout=10)
        if service.ready(0) is not None:
            fail("READY=1 with nothing to watch", service.journal)
    except subprocess.TimeoutExpired:
        fail("with the shipped settings it did not end at once", service.journal)
    finally:
        service.end()
    if str(status) not in unit["RestartPreventExitStatus"][0].split():
        fail("status %d, which the unit restarts on" % status, service.journal)
    message = "<3>[-] No directories to watch: set MONITOR_DIRECTORIES in %s, then run: " \
              "systemctl enable --now monitor" % default_file
    if service.lines() != [message]:
        fail("expected only the line %r" % message, service.journal)
    print("check_service: untouched settings: status %d at once, with its line" % status)


def make_tree(root):
    """Exactly FOLDERS folders below root: a hundred, 99 inside each."""
    for i in range(100):
        for j in range(FOLDERS // 100 - 1):
            os.makedirs(os.path.join(root, "d%d" % i, "e%d" % j))
    return FOLDERS


def check_running(unit, default_file, work):
    big, small = os.path.join(work, "data one"), os.path.join(work, "two")
    folders = make_tree(big)
    os.makedirs(small)
    # The administrator's edit: the shipped file with the list set.
    settings = os.path.join(work, "monitor.settings")
    with open(default_file) as f, open(settings, "w") as out:
        out.write(f.read() + 'MONITOR_DIRECTORIES=";%s;;%s"\n' % (big, small))
    service = Service(unit, settings, work, "running")
    try:
        deadline = time.monotonic() + DEADLINE
        if service.ready(DEADLINE) != b"READY=1":
            fail("no READY=1 within %.0f s" % DEADLINE, service.journal)
        expected = folders + 2
        watched, marks = watch_count(service.process.pid)
        # Both fields lie on one filesystem: fanotify watches them with one mark.
        if watched != expected and not (watched == 0 and marks >= 1):
            fail("READY=1 with %d watches and %d filesystem marks, %d folders to watch"
                 % (watched, marks, expected), service.journal)
        for path in (os.path.join(big, "d99", "e98", "new.txt"), os.path.join(small, "new.txt")):
            with open(path, "w") as f:
                f.write("clean\n")
            service.wait_line("<6>[+] Change detected in file: " + path, deadline)
            service.wait_line("[AV_Quillmar] %s: clean" % path, deadline)
        service.process.send_signal(signal.SIGTERM)
        status = service.process.wait(timeout=10)
    finally:
        service.end()
    if status != -signal.SIGTERM or unit["KillSignal"] != ["SIGTERM"] or \
            "SIGTERM" not in unit["SuccessExitStatus"][0].split():
        fail("status %d on SIGTERM; the unit's stop: %r, clean: %r"
             % (status, unit.get("KillSignal"), unit.get("SuccessExitStatus")), service.journal)
    others = [line for line in service.lines() if not line.startswith(("<6>", "[AV_Quillmar]"))]
    if others:
        fail("lines other than changes and verdicts: %r" % others, service.journal)
    print("check_service: READY=1 at %s; changes in both folders reported and "
          "detected; SIGTERM, a clean stop"
          % ("%d watches" % expected if watched else "the filesystem's mark"))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    unit = read_unit(sys.argv[1])
    work = os.path.abspath(sys.argv[2])
    os.makedirs(work)
    # What this run stands in for: systemd's part of those settings.
    if unit.get("Type") != ["notify"] or unit.get("StandardInput") != ["null"]:
        fail("the unit is not Type=notify with StandardInput=null")
    default_file = unit["EnvironmentFile"][0].lstrip("-")
    check_untouched(unit, default_file, work)
    check_running(unit, default_file, work)


if __name__ == "__main__":
    main()
