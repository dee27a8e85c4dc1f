"""What every part of the command line shares: its errors and exit codes, the report of the
rows skipped, progress on standard error, outputs replaced only when complete, and a standard
output that may go away."""
import contextlib
import errno
import math
import os
import shutil
import stat
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
        self.enabled = total > 0 and stream is not None and stream.isatty()  # None: closed
        self.bar = None
        if self.enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, unit="B", unit_scale=True, desc=label, file=stream)

    open_line = None  # the plain line being drawn, which other output ends first

    def update(self, n):
        self.done += n
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(n)
        else:
            self.stream.write(f"\r{self.label}: {100 * self.done // self.total:3d}%")
            Progress.open_line = self.stream

    def close(self):
        if self.bar is not None:
            self.bar.close()
        else:
            Progress.end_line()

    @staticmethod
    def end_line():
        """Ends the plain progress line, so that what is written next starts a line of its
        own."""
        stream, Progress.open_line = Progress.open_line, None
        if stream is not None:
            try:
                stream.write("\n")
            except (OSError, ValueError):
                pass


class Output:
    """Where -o or --plot writes, opened before the input is read so that an unwritable target
    fails at once:

    - a new path or a regular file: a temporary file beside it, renamed into place only when
      complete (so the target is always the old file or the whole new one), with the replaced
      file's mode; a symbolic link is followed and its target replaced so;
    - a regular file with other hard links: written beside it too, then copied into it when
      complete, so that every link keeps seeing it;
    - anything else (a FIFO, a device, /dev/stdout, /proc/self/fd/N) and "-" (standard output):
      written in place, as the run goes."""

    def __init__(self, target):
        self.temp = None
        self.in_place = self.copy_back = False
        if target == "-":
            self.file, self.in_place, self.name = sys.stdout.buffer, True, "standard output"
            return
        self.name = str(target)
        try:
            st = os.stat(target)  # through links
        except FileNotFoundError:
            st = None
        except OSError as error:
            raise CannotWrite(f"cannot write {target}: {error.strerror}") from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise CannotWrite(f"{target}: is a directory")
        real = Path(os.path.realpath(target))
        try:
            if st is not None and not stat.S_ISREG(st.st_mode):
                self.file, self.in_place = open(target, "wb"), True
                return
            fd, name = tempfile.mkstemp(dir=real.parent, suffix=real.suffix,
                                        prefix=f".{real.name}.")
        except OSError as error:
            raise CannotWrite(f"cannot write {target}: {error.strerror}") from None
        self.real, self.temp = real, Path(name)
        self.mode = stat.S_IMODE(st.st_mode) if st is not None else None
        self.copy_back = st is not None and st.st_nlink > 1
        self.file = os.fdopen(fd, "wb")

    def commit(self):
        try:
            if self.in_place:
                self.file.flush()
                if self.file is not sys.stdout.buffer:
                    self.file.close()
                return
            self.file.close()
            if self.copy_back:
                with open(self.temp, "rb") as new, open(self.real, "r+b") as old:
                    old.truncate(0)
                    shutil.copyfileobj(new, old, 1 << 20)
                self.temp.unlink()
                return
            if self.mode is None:
                umask = os.umask(0)
                os.umask(umask)
                self.mode = 0o666 & ~umask  # as a plain open() would have made it
            os.chmod(self.temp, self.mode)
            os.replace(self.temp, self.real)
        except OSError as error:
            self.discard()
            raise CannotWrite(f"cannot write {self.name}: {error.strerror}") from None

    def discard(self):
        if not (self.in_place and self.file is sys.stdout.buffer):
            try:
                self.file.close()
            except OSError:  # what it could not flush (a full disk) is dropped anyway
                pass
        if not self.in_place:
            self.temp.unlink(missing_ok=True)

    def same_as(self, other):
        """Whether this output and other (an Output) write to one file."""
        if self.name == "standard output" or other.name == "standard output":
            return self.name == other.name
        return os.path.realpath(self.name) == os.path.realpath(other.name)


def printable(text):
    """Text for the terminal with the control characters of the file's cells (an escape
    sequence, a carriage return, a right-to-left override) escaped, as repr escapes them; its
    own line ends kept."""
    from kelvo.chain import shown

    return "\n".join(shown(line) for line in text.split("\n"))


class Terminal:
    """Standard output or error that stops printing, without stopping the run, once the reader
    has gone (a pipe into head) or when there is none. Standard error carries messages only,
    and stops printing on any failure."""

    def __init__(self, stream):
        self.stream = stream
        self.gone = stream is None
        self.messages = stream is sys.stderr

    def write(self, text):
        if self.gone:
            return
        Progress.end_line()
        try:
            self.stream.write(text)
        except UnicodeEncodeError:  # a symbol the terminal's encoding cannot write
            encoding = getattr(self.stream, "encoding", None) or "ascii"
            self.write(text.encode(encoding, "backslashreplace").decode(encoding))
        except (OSError, ValueError) as error:
            self.failed(error)

    def flush(self):
        if not self.gone:
            try:
                self.stream.flush()
            except (OSError, ValueError) as error:
                self.failed(error)

    def failed(self, error):
        """The reader has gone (a pipe closed, no descriptor as with 2>&-, the stream closed):
        hang up; any other failure of standard output (a full disk) is the run's."""
        gone = not isinstance(error, OSError) or error.errno in (errno.EPIPE, errno.EBADF)
        self.hang_up()  # either way: what is buffered would fail again as the interpreter exits
        if not (gone or self.messages):
            raise error

    def hang_up(self):
        self.gone = True
        # what is still buffered would fail again when the interpreter flushes at exit
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass


def note(text):
    """Writes text on standard error as it is now (Terminal), a file's cells in it printable."""
    Terminal(sys.stderr).write(printable(text))


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def spool(source):
    """A copy of standard input (source None) or of a stream that can be read only once (a FIFO,
    <(...)) in a temporary file, which the two passes can read; nothing is left behind when the
    copy fails or is interrupted."""
    try:
        stream = sys.stdin.buffer if source is None else open(source, "rb")
    except (AttributeError, ValueError, OSError):
        raise BadInput("standard input is closed" if source is None else
                       f"{source}: cannot be read") from None
    spool = tempfile.NamedTemporaryFile(prefix="kelvo-stdin-", suffix=".csv", delete=False)
    try:
        with spool, stream if source is not None else contextlib.nullcontext():
            shutil.copyfileobj(stream, spool, 1 << 20)
    except BaseException as error:
        Path(spool.name).unlink(missing_ok=True)
        if isinstance(error, (OSError, ValueError)):
            name = "standard input" if source is None else str(source)
            raise BadInput(f"{name}: cannot be read: {getattr(error, 'strerror', None) or error}"
                           ) from None
        raise
    return Path(spool.name)


def first_line_not_utf8(path):
    """The number of the first line holding bytes that are not UTF-8."""
    import codecs

    def line_ends(data, after_cr):  # LF, CRLF and a lone CR, as the reader counts them
        return (data.count(b"\n") + data.count(b"\r") - data.count(b"\r\n")
                - (after_cr and data[:1] == b"\n"))

    decoder = codecs.getincrementaldecoder("utf-8")()
    line, after_cr = 1, False
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            try:
                decoder.decode(block)
            except UnicodeDecodeError as error:
                return line + line_ends(block[:error.start], after_cr)
            line += line_ends(block, after_cr)
            after_cr = block[-1:] == b"\r"
    return line


def positive_number(text):
    value = float(text)
    if not 0 < value < math.inf:
        raise ValueError(text)
    return value


positive_number.__name__ = "positive number"  # argparse names the type in its message
