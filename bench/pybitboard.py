"""The "write it yourself" baseline: a 7 x 6 engine in plain Python, written the
way people usually write one, with two integers as bit sets.

Bits run up the columns, and each column has one spare bit on top (the sentinel
row), so a line of four never wraps from one column into the next:

     6 13 20 27 34 41 48    <- sentinel, never set
     5 12 19 26 33 40 47
     ...
     0  7 14 21 28 35 42    <- bottom row

A shift by 1 steps up a column, by 7 along a row, by 6 and 8 along the diagonals.
"""

WIDTH, HEIGHT = 7, 6
STRIDE = HEIGHT + 1
CELLS = WIDTH * HEIGHT
BOTTOM = tuple(STRIDE * c for c in range(WIDTH))
SENTINEL = tuple(STRIDE * c + HEIGHT for c in range(WIDTH))


def has_four(bits):
    for d in (1, STRIDE, STRIDE - 1, STRIDE + 1):
        pairs = bits & (bits >> d)
        if pairs & (pairs >> (2 * d)):
            return True
    return False


class BitboardGame:
    """Red (player 0) moves first; `winner` is 0, 1, or None for a draw or a running game."""

    __slots__ = ("pieces", "heights", "moves", "over", "winner")

    def __init__(self):
        self.pieces = [0, 0]
        self.heights = list(BOTTOM)  # the lowest free bit of every column
        self.moves = []
        self.over = False
        self.winner = None

    def legal_actions(self):
        if self.over:
            return []
        heights = self.heights
        return [c for c in range(WIDTH) if heights[c] != SENTINEL[c]]

    def apply(self, col):
        side = len(self.moves) & 1
        bits = self.pieces[side] | (1 << self.heights[col])
        self.pieces[side] = bits
        self.heights[col] += 1
        self.moves.append(col)
        if has_four(bits):
            self.over, self.winner = True, side
        elif len(self.moves) == CELLS:
            self.over = True

    def undo(self):
        col = self.moves.pop()
        self.heights[col] -= 1
        self.pieces[len(self.moves) & 1] ^= 1 << self.heights[col]
        self.over, self.winner = False, None

    def is_over(self):
        return self.over
