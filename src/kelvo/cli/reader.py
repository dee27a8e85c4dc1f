"""The records of a CSV file, a chunk at a time, split by the native reader: each record's span
of text, and the cells of the columns a layout reads, numbers as floats and texts as codes into
their distinct values."""
import codecs

import numpy as np

from kelvo._arrays import scan_csv
from kelvo.cli.common import BadInput, first_line_not_utf8

RECORD_LIMIT = 1 << 20  # bytes: a longer record is a quote never closed, not a contract
CHUNK_BYTES = 1 << 26  # a chunk holds fewer records where its text would pass this
BLOCK = 1 << 16
READ_AHEAD = 1.25  # bytes read for a chunk, over its records' length as measured so far
MAX_HEADER_FIELDS = 1 << 16


class Records:
    """A chunk of records: the text they lie in, each one's span in it, count of missing fields
    and first line, and per column read its numbers, or its codes into its distinct texts."""

    __slots__ = ("text", "starts", "ends", "pads", "lines", "numbers", "codes", "distinct")

    def __len__(self):
        return len(self.starts)

    def cells(self, i):
        """Every cell of record i, as the csv module reads it (with no limit on a field's
        length)."""
        text = self.text[self.starts[i]:self.ends[i]]
        n = text.count(b",") + 1
        _, _, _, _, missing, _, _, _, distinct = scan_csv(text, 0, 1, True, n, (),
                                                          tuple(range(n)), 1)
        # n counts the commas inside quotes too: the fields past the record's are not its own
        cells = [column[0] for column in distinct][:n - int(missing[0])]
        return cells + [""] * int(self.pads[i])

    def cell(self, i, column):
        cells = self.cells(i)
        return cells[column] if column < len(cells) else ""


class RecordReader:
    """The records of a CSV file, a chunk at a time, from blocks of its bytes (checked to be
    UTF-8 as they are read)."""

    def __init__(self, path, progress=None):
        self.path, self.progress = path, progress
        self.file = open(path, "rb")
        self.decoder = codecs.getincrementaldecoder("utf-8")()
        self.text, self.position, self.line = b"", 0, 1
        self.at_end, self.started = False, False
        self.record_bytes = 64.0  # bytes a record, as measured so far

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def header(self):
        """The cells of the first record that holds more than blanks and commas, and its
        text."""
        while True:
            try:
                records = self.read(MAX_HEADER_FIELDS, (), (), 1)
            except BadInput as error:
                if "fields, the header has" not in str(error):
                    raise
                raise BadInput(f"line {self.line}: the header has more than "
                               f"{MAX_HEADER_FIELDS:,} fields") from None
            if records is None:
                raise BadInput("line 1: the file is empty (expected a header row)")
            if records.text[records.starts[0]:records.ends[0]].strip(b" \t,"):
                break
        cells = records.cells(0)
        return (cells[:len(cells) - int(records.pads[0])],
                records.text[records.starts[0]:records.ends[0]])

    def read(self, n_fields, numbers, texts, count):
        """The next count records (fewer at the end of the file, or where count of them would
        pass CHUNK_BYTES; None after the last), with the cells of the columns numbers read as
        numbers and those of texts as texts."""
        while True:
            wanted = max(1, min(count, int(CHUNK_BYTES / self.record_bytes)))
            self._fill(wanted)
            try:
                (position, line, starts, ends, pads, lines, values, codes,
                 distinct) = scan_csv(self.text, self.position, self.line, self.at_end, n_fields,
                                      numbers, texts, wanted)
            except ValueError as error:
                raise BadInput(str(error)) from None
            if len(starts) == wanted or self.at_end:
                break
            if not len(starts) and position > self.position:
                # blank lines only, so far: they are passed over, not kept
                self.position, self.line = position, line
                continue
            # the text after the records read is one record the text does not yet hold whole
            if len(self.text) - position > RECORD_LIMIT:
                raise BadInput(f"line {line}: cannot read this CSV record: it runs past "
                               f"{RECORD_LIMIT} bytes (a quoted field never closed?)")
            self.record_bytes *= 2  # a chunk's records were longer than those before
        if not len(starts):
            return None
        long = np.flatnonzero(ends - starts > RECORD_LIMIT)
        if len(long):
            raise BadInput(f"line {int(lines[long[0]])}: cannot read this CSV record: it runs "
                           f"past {RECORD_LIMIT} bytes (a quoted field never closed?)")
        over = np.flatnonzero(ends - starts[0] > CHUNK_BYTES)
        if len(over) and over[0] + 1 < len(starts):  # more text than a chunk holds: cut it
            k = max(1, int(over[0]))
            position, line = int(starts[k]), int(lines[k])
            starts, ends, pads, lines = starts[:k], ends[:k], pads[:k], lines[:k]
            values = tuple(v[:k] for v in values)
            codes = tuple(c[:k] for c in codes)
        self.record_bytes = max(1.0, (position - self.position) / len(starts))
        records = Records()
        records.text, records.starts, records.ends, records.pads, records.lines = (
            self.text, starts, ends, pads, lines)
        records.numbers, records.codes, records.distinct = values, codes, distinct
        self.position, self.line = position, line
        return records

    def _fill(self, count):
        """Read until the text ahead holds about count records, or the file ends."""
        ahead = len(self.text) - self.position
        wanted = int(count * self.record_bytes * READ_AHEAD) + BLOCK
        if self.at_end or ahead >= wanted:
            return
        block = self.file.read(wanted - ahead)
        if self.progress is not None:
            self.progress.update(len(block))
        if not block:
            self.at_end = True
            try:
                self.decoder.decode(b"", final=True)
            except UnicodeDecodeError:
                self._not_utf8()
        else:
            try:
                self.decoder.decode(block)
            except UnicodeDecodeError:
                self._not_utf8()
            if not self.started:
                self.started = True
                block = block.removeprefix(codecs.BOM_UTF8)
        self.text = self.text[self.position:] + block
        self.position = 0

    def _not_utf8(self):
        raise BadInput(f"line {first_line_not_utf8(self.path)}: the file is not UTF-8 text")


def read_header(path, sample=1000):
    """The cells of the first record, its text, and the cells of up to sample records after it
    by column (header name -> cells; None where there are none)."""
    with RecordReader(path) as reader:
        header, text = reader.header()
        records = reader.read(len(header), (), tuple(range(len(header))), sample)
    if records is None:
        return header, text, None
    cells = {}
    for name, codes, distinct in zip(header, records.codes, records.distinct):
        cells.setdefault(name, [distinct[c] for c in codes.tolist()])
    return header, text, cells
