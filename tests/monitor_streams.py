"""What the Linux and the Wine end-to-end harnesses both read from a running
monitor: the lines of its output streams, and the recording detector's log."""

import os
import threading
import time


def parse_records(data):
    """Records of the recording detector: (cwd, [arguments as bytes]). A
    record still being written when the log was read is left for the next
    read."""
    records = []
    parts = data.split(b"\0")
    i = 0
    while i < len(parts) - 1:
        count = int(parts[i])
        if i + 2 + count > len(parts) - 1:
            break
        records.append((parts[i + 1], parts[i + 2:i + 2 + count]))
        i += 2 + count
    return records


class Stream:
    """Collects the lines of one output stream of the monitor; None stands
    for a stream that is not a pipe, and reads as empty.

    A detector can outlive its monitor (it runs in the monitor's session, and
    under Wine one started at the end can hang), holding the pipe open, so the
    reader may stay blocked long after its test. It therefore reads a
    descriptor of its own, closed only by itself: a buffered reader would
    block every close of the pipe (the interpreter's at exit too), and a
    descriptor closed under it could be reused for a later test's pipe and
    read from."""

    def __init__(self, pipe, timeout):
        self.lines = []
        self._timeout = timeout
        self._cond = threading.Condition()
        self._closed = False
        fd = None
        if pipe is not None:
            fd = os.dup(pipe.fileno())
            pipe.close()
        self._thread = threading.Thread(target=self._pump, args=(fd,), daemon=True)
        self._thread.start()

    def _pump(self, fd):
        pending = b""
        while fd is not None:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                os.close(fd)
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            if complete:
                with self._cond:
                    self.lines.extend(l + b"\n" for l in complete)
                    self._cond.notify_all()
        with self._cond:
            if pending:
                self.lines.append(pending)
            self._closed = True
            self._cond.notify_all()

    def wait_for(self, predicate, timeout=None):
        """Waits, bounded, until predicate(lines) is true; returns its value."""
        deadline = time.monotonic() + (self._timeout if timeout is None else timeout)
        with self._cond:
            while True:
                value = predicate(self.lines)
                left = deadline - time.monotonic()
                if value or left <= 0 or self._closed:
                    return value
                self._cond.wait(left)

    def wait_for_line(self, line, timeout=None):
        """Waits until this exact line (newline included) has appeared;
        looks at each line once, so long outputs stay cheap."""
        seen = [0]

        def found(lines):
            for i in range(seen[0], len(lines)):
                if lines[i] == line:
                    return True
            seen[0] = len(lines)
            return False
        return self.wait_for(found, timeout)

    def wait_closed(self, timeout=None):
        self._thread.join(self._timeout if timeout is None else timeout)
        return not self._thread.is_alive()

    def snapshot(self):
        with self._cond:
            return list(self.lines)
