#!/usr/bin/env python3
"""Counts the ARM instructions one run executed, exactly, from QEMU user mode's
logs (-d in_asm,exec,nochain): every translated block is logged once with its
instructions ("IN:"), every execution of a block once ("Trace"); without
chaining no execution goes unlogged. Each execution is weighted by its block's
size and booked to the symbol QEMU names for the block's start.

    arm_cost_count.py PARENT_LOG [CHILD_LOG...]

Prints one line per symbol group, "group count": the parent's instructions by
group, the children's (gunzip) as "children".
"""
import re
import sys

# The first matching group wins; symbols are those of the unstripped static
# binary, C++ names mangled.
GROUPS = [
    # ChaCha20 is the envelope's cipher; the pin's one-time keys take 32
    # bytes of it a chunk, nothing to speak of.
    ("cipher", re.compile(r"ChaCha20|chacha")),
    ("mac", re.compile(r"[Pp]oly1305|gcm|GHASH|ghash|AES_|aes_|chunk_mac|aead_")),
    ("sha256", re.compile(r"sha256|SHA256|trust_update")),
    ("byte_sums", re.compile(r"byte_sum")),
    ("copies", re.compile(r"^_*mem(cpy|move)")),
]

INSN = re.compile(r"^0x([0-9a-f]+):\s+((?:[0-9a-f]{4,8} ?)+)\s")


def instruction(words):
    """Bytes and instructions of one line of code. ARM code shows 8-digit
    words, one instruction each; Thumb code 4-digit halfwords, where a first
    halfword of 0b11101, 0b11110 or 0b11111 begins a 32-bit instruction. QEMU
    7.2 prints some of those as two lines of one halfword each: the first
    counts the instruction, the second (returned as -1) nothing."""
    parts = words.split()
    if len(parts[0]) == 8:
        return 4 * len(parts), len(parts)
    first = int(parts[0], 16) >> 11
    if len(parts) == 1 and first in (0x1D, 0x1E, 0x1F):
        return 2, -1
    return 2 * len(parts), 1


def group_of(symbol):
    for name, pattern in GROUPS:
        if pattern.search(symbol):
            return name
    return "rest"


class Blocks:
    """The translated blocks of one log. A child forked by the program runs
    under the same QEMU, logging into the same file until it execs, so its
    lines can fall between those of a block the parent is printing. A block's
    lines are therefore told apart by their addresses: each continues the
    open block whose next address it has, or opens one; a block closes at the
    blank line after its last line. Blocks that follow on from one another
    ("IN:" at the address where the last one ended) are apart by then."""

    def __init__(self):
        self.open = {}          # next address -> [start, instructions, half pending]
        self.last = None        # the block that took the latest line
        self.done = {}          # start -> instructions, of its latest translation

    def line(self, address, words):
        size, count = instruction(words)
        block = self.open.pop(address, None)
        if block is None:
            block = [address, 0, False]
        if block[2]:
            block[2] = False        # the second half of a split instruction
        elif count < 0:
            block[1] += 1
            block[2] = True
        else:
            block[1] += count
        self.open[address + size] = block
        self.last = block

    def close(self):
        if self.last is None:
            return
        for key, block in list(self.open.items()):
            if block is self.last:
                del self.open[key]
        self.done[self.last[0]] = self.last[1]
        self.last = None

    def size(self, pc):
        if pc in self.done:
            return self.done[pc]
        for block in self.open.values():
            if block[0] == pc:
                return block[1]
        return None


def count_log(path, totals, child):
    sizes = {}          # a Trace line as logged -> (instructions, group)
    runs = {}           # the same -> executions
    blocks = Blocks()
    lost = 0
    with open(path, "r", errors="replace") as log:
        for line in log:
            if line.startswith("Trace"):
                seen = runs.get(line)
                if seen is None:
                    # "Trace 0: HOST [CS_BASE/PC/FLAGS/CFLAGS] SYMBOL": the block's
                    # first execution follows its translation.
                    inside = line[line.index("[") + 1:line.index("]")]
                    pc = int(inside.split("/")[1], 16)
                    symbol = line[line.index("]") + 1:].strip()
                    size = blocks.size(pc)
                    if size is None:
                        size = 0
                        lost += 1
                    sizes[line] = (size, "children" if child else group_of(symbol))
                    seen = 0
                runs[line] = seen + 1
            elif line.startswith("0x"):
                match = INSN.match(line)
                if match:
                    blocks.line(int(match.group(1), 16), match.group(2))
            elif line.strip() == "":
                blocks.close()
    if lost:
        print("%s: %d blocks executed whose translation was not found" % (path, lost),
              file=sys.stderr)
    for line, executions in runs.items():
        size, group = sizes[line]
        totals[group] = totals.get(group, 0) + size * executions


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    totals = {}
    count_log(sys.argv[1], totals, child=False)
    for path in sys.argv[2:]:
        count_log(path, totals, child=True)
    for name in [g for g, _ in GROUPS] + ["rest", "children"]:
        print(name, totals.get(name, 0))


if __name__ == "__main__":
    main()
