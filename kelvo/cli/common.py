"""What every part of the command line shares: its errors and exit codes, the report of the
rows skipped, progress on standard error, outputs replaced only when complete, and a standard
output that may go away."""
import math
import os
import shutil
import sys
import tempfile
from pathlib import Path

EXIT_CANNOT_WRITE = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # as a shell reports a run ended by SIGINT


class BadInput(Exception):
    """A problem with the input that stops the run with exit code 2."""


class BadRow(BadInput):
    def __init__(self, line, message):
        super().__init__(f"line {line}: {message}")
        self.line = line


class CannotWrite(Exception):
    """An output that cannot be written: the run stops with exit code 1."""


class SkippedRows:
    """The rows --skip-bad-rows passed over: a count and the first few messages as plain text
    (an exception would keep its traceback, and with it the whole chunk)."""

    KEPT = 20

    def __init__(self):
        self.count = 0
        self.first = []  # (line, message)

    def add(self, bad):
        self.count += 1
        if len(self.first) < self.KEPT:
            self.first.append((bad.line, str(bad)))

    def lines(self):
        """'N bad rows (lines a, b and K more)'."""
        lines = ", ".join(str(line) for line, _ in self.first)
        more = self.count - len(self.first)
        return (f"{self.count} bad row{'s' if self.count > 1 else ''} (line"
                f"{'s' if self.count > 1 else ''} {lines}{f' and {more} more' if more else ''})")

    def report(self, stream):
        if not self.count:
            return
        stream.write(f"kelvo: skipped {self.lines()}\n")
        for _, message in self.first:
            stream.write(f"  {message}\n")


class Progress:
    """Bytes read, shown on standard error when it is a terminal: tqdm's bar where tqdm is
    installed, a plain line otherwise."""

    def __init__(self, total, label, stream=None):
        stream = stream if stream is not None else sys.stderr  # as it is now, not at import
        self.total, self.label, self.stream = total, label, stream
        self.done = 0
        self.enabled = total > 0 and stream.isatty()
        self.bar = None
        if self.enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, unit="B", unit_scale=True, desc=label, file=stream)

    def update(self, n):
        self.done += n
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(n)
        else:
            self.stream.write(f"\r{self.label}: {100 * self.done // self.total:3d}%")

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            self.stream.write("\n")


class AtomicOutput:
    """A file written under a temporary name in the target's directory and renamed into place
    only when complete, so that the target is always either the old file or the whole new one.
    Opened before the input is read, so that an unwritable target fails at once."""

    def __init__(self, target):
        self.target = Path(target)
        if self.target.is_dir():
            raise CannotWrite(f"{self.target}: is a directory")
        try:
            fd, name = tempfile.mkstemp(dir=self.target.parent or ".", suffix=self.target.suffix,
                                        prefix=f".{self.target.name}.")
        except OSError as error:
            raise CannotWrite(f"cannot write {self.target}: {error.strerror}") from None
        self.temp = Path(name)
        self.file = os.fdopen(fd, "wb")

    def commit(self):
        try:
            self.file.close()
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.temp, 0o666 & ~umask)  # as a plain open() would have made it
            os.replace(self.temp, self.target)
        except OSError as error:
            self.discard()
            raise CannotWrite(f"cannot write {self.target}: {error.strerror}") from None

    def discard(self):
        self.file.close()
        self.temp.unlink(missing_ok=True)


class Terminal:
    """Standard output that stops printing, without stopping the run, once the reader has gone
    (a pipe into head) or when there is none."""

    def __init__(self, stream):
        self.stream = stream
        self.gone = stream is None

    def write(self, text):
        if self.gone:
            return
        try:
            self.stream.write(text)
        except (BrokenPipeError, ValueError):  # ValueError: closed
            self.hang_up()

    def flush(self):
        if not self.gone:
            try:
                self.stream.flush()
            except (BrokenPipeError, ValueError):
                self.hang_up()

    def hang_up(self):
        self.gone = True
        # what is still buffered would fail again when the interpreter flushes at exit
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def spool_standard_input():
    """Standard input copied to a temporary file, which the two passes can read."""
    spool = tempfile.NamedTemporaryFile(prefix="kelvo-stdin-", suffix=".csv", delete=False)
    with spool:
        shutil.copyfileobj(sys.stdin.buffer, spool, 1 << 20)
    return Path(spool.name)


def first_line_not_utf8(path):
    """The number of the first line holding bytes that are not UTF-8."""
    import codecs

    decoder = codecs.getincrementaldecoder("utf-8")()
    line = 1
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            try:
                decoder.decode(block)
            except UnicodeDecodeError as error:
                return line + block[:error.start].count(b"\n")
            line += block.count(b"\n")
    return line


def positive_number(text):
    value = float(text)
    if not 0 < value < math.inf:
        raise ValueError(text)
    return value


positive_number.__name__ = "positive number"  # argparse names the type in its message
