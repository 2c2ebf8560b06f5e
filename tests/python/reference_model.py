"""A slow, plain-Python model of the game: rules, texts, input planes, position
hashes and batch mirroring, written from the rules alone for differential tests.

Boards are 2-D lists, grid[row][col], row 0 at the bottom; every rule scans
cells one by one. Nothing here is tuned for speed except memoised hashes and
texts, which are dropped on every change.
"""

RED, YELLOW = 1, -1
PLANES = 17
HISTORY_POSITIONS = 8

PLAYER_TEXT = {RED: "Red", YELLOW: "Yellow"}
# Outcomes are the stored bytes 0, 1, 2.
RED_WIN, YELLOW_WIN, DRAW = 0, 1, 2
OUTCOME_TEXT = ("Red wins", "Yellow wins", "Draw")
OUTCOME_DEBUG = ("RedWin", "YellowWin", "Draw")
OUTCOME_WINNER = (RED, YELLOW, None)
# Reward from Red's side; a perspective of Yellow negates it.
OUTCOME_ABSOLUTE = (1.0, -1.0, 0.0)

# Line directions as (dcol, drow): horizontal, vertical, both diagonals.
DIRECTIONS = ((1, 0), (0, 1), (1, 1), (-1, 1))


def other(player):
    return YELLOW if player == RED else RED


def words_for(width, height):
    """64-bit words needed for one bit per cell, e.g. 7 x 6 needs 1, 9 x 8 needs 2."""
    return (width * height + 63) // 64


# ---- SipHash-1-3, key (0, 0) ----

_M64 = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & _M64


def _sipround(v0, v1, v2, v3):
    v0 = (v0 + v1) & _M64
    v1 = _rotl(v1, 13) ^ v0
    v0 = _rotl(v0, 32)
    v2 = (v2 + v3) & _M64
    v3 = _rotl(v3, 16) ^ v2
    v0 = (v0 + v3) & _M64
    v3 = _rotl(v3, 21) ^ v0
    v2 = (v2 + v1) & _M64
    v1 = _rotl(v1, 17) ^ v2
    v2 = _rotl(v2, 32)
    return v0, v1, v2, v3


def siphash13(data, k0=0, k1=0):
    """SipHash with one compression round per block and three finalisation rounds."""
    v0 = k0 ^ 0x736F6D6570736575
    v1 = k1 ^ 0x646F72616E646F6D
    v2 = k0 ^ 0x6C7967656E657261
    v3 = k1 ^ 0x7465646279746573
    n = len(data)
    full = n - n % 8
    for i in range(0, full, 8):
        m = int.from_bytes(data[i:i + 8], "little")
        v3 ^= m
        v0, v1, v2, v3 = _sipround(v0, v1, v2, v3)
        v0 ^= m
    # The last block carries the tail bytes and the length mod 256 in its top byte.
    m = ((n & 0xFF) << 56) | int.from_bytes(data[full:], "little")
    v3 ^= m
    v0, v1, v2, v3 = _sipround(v0, v1, v2, v3)
    v0 ^= m
    v2 ^= 0xFF
    for _ in range(3):
        v0, v1, v2, v3 = _sipround(v0, v1, v2, v3)
    return v0 ^ v1 ^ v2 ^ v3


def python_hash(h):
    """An unsigned 64-bit hash as Python's hash(): signed, and never -1."""
    if h >= 1 << 63:
        h -= 1 << 64
    return -2 if h == -1 else h


def _u64(x):
    return x.to_bytes(8, "little")


# ---- values ----

def move_text(col, row):
    return f"col {col}"


def move_repr(col, row):
    return f"Move(col={col}, row={row})"


def move_hash(col, row):
    return python_hash(siphash13(bytes((col & 0xFF, row & 0xFF))))


def outcome_repr(outcome):
    return f"GameOutcome({OUTCOME_TEXT[outcome]})"


def outcome_reward(outcome, perspective):
    """Reward of `perspective` (1 or -1) for a finished outcome."""
    r = OUTCOME_ABSOLUTE[outcome]
    if perspective == RED:
        return r
    return -r if r else 0.0


# ---- board ----

class Board:
    """Pieces on a width x height grid, no game bookkeeping."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.grid = [[None] * width for _ in range(height)]

    def copy(self):
        b = Board(self.width, self.height)
        b.grid = [row[:] for row in self.grid]
        return b

    def on_board(self, col, row):
        return col < self.width and row < self.height

    def get_piece(self, col, row):
        col, row = col % 256, row % 256
        return self.grid[row][col] if self.on_board(col, row) else None

    def set_piece(self, col, row, piece):
        """piece is RED, YELLOW or None; off-board writes do nothing."""
        col, row = col % 256, row % 256
        if self.on_board(col, row):
            self.grid[row][col] = piece

    def clear(self):
        self.grid = [[None] * self.width for _ in range(self.height)]

    def column_height(self, col):
        """Pieces in the column, counted, not the first gap; 0 off the board."""
        col %= 256
        if col >= self.width:
            return 0
        return sum(1 for r in range(self.height) if self.grid[r][col] is not None)

    def is_column_full(self, col):
        """Only the top cell decides; a column off the board is full."""
        col %= 256
        if col >= self.width:
            return True
        return self.grid[self.height - 1][col] is not None

    def is_board_full(self):
        return all(p is not None for p in self.grid[self.height - 1])

    def lowest_gap(self, col):
        for r in range(self.height):
            if self.grid[r][col] is None:
                return r
        return None

    def has_four(self, player):
        """Whether `player` has four in a line anywhere, found by visiting every cell."""
        w, h, g = self.width, self.height, self.grid
        for r in range(h):
            for c in range(w):
                if g[r][c] != player:
                    continue
                for dc, dr in DIRECTIONS:
                    ec, er = c + 3 * dc, r + 3 * dr
                    if not (0 <= ec < w and er < h):
                        continue
                    if all(g[r + i * dr][c + i * dc] == player for i in (1, 2, 3)):
                        return True
        return False

    def bits(self, player):
        """The player's cells as one integer, cell (c, r) at bit r * width + c."""
        x = 0
        for r, line in enumerate(self.grid):
            base = r * self.width
            for c, p in enumerate(line):
                if p == player:
                    x |= 1 << (base + c)
        return x

    def text(self):
        lines = []
        for r in range(self.height - 1, -1, -1):
            cells = "".join(
                ("R" if p == RED else "Y" if p == YELLOW else ".") + "|"
                for p in self.grid[r])
            lines.append("|" + cells + "\n")
        lines.append(" " + "".join(f"{c} " for c in range(self.width)) + "\n")
        return "".join(lines)

    def repr(self):
        return f"Board(width={self.width}, height={self.height})"


# ---- game ----

class Game:
    """One game: a board, the side to move, the result and the moves played."""

    def __init__(self, width, height):
        self.board = Board(width, height)
        self.turn = RED
        self.over = False
        self.outcome = None
        self.history = []
        self._memo = {}

    @property
    def width(self):
        return self.board.width

    @property
    def height(self):
        return self.board.height

    def clone(self):
        g = Game.__new__(Game)
        g.board = self.board.copy()
        g.turn, g.over, g.outcome = self.turn, self.over, self.outcome
        g.history = list(self.history)
        g._memo = dict(self._memo)
        return g

    def _changed(self):
        self._memo.clear()

    # -- rules --

    def legal_moves(self):
        if self.over:
            return []
        b = self.board
        return [(c, b.column_height(c)) for c in range(self.width)
                if b.grid[self.height - 1][c] is None]

    def legal_actions(self):
        return [c for c, _ in self.legal_moves()]

    def is_legal_move(self, col, row):
        col, row = col % 256, row % 256
        b = self.board
        return (not self.over and col < self.width and not b.is_column_full(col)
                and row == b.column_height(col))

    def make_move(self, col, row):
        col, row = col % 256, row % 256
        if not self.is_legal_move(col, row):
            return False
        # On an edited board the piece still falls to the lowest gap, which
        # may lie below the row the move named; history keeps where it landed.
        landed = self.board.lowest_gap(col)
        if landed is None:
            return False
        self.board.grid[landed][col] = self.turn
        self.history.append((col, landed))
        if self.board.has_four(self.turn):
            self.over = True
            self.outcome = RED_WIN if self.turn == RED else YELLOW_WIN
        elif self.board.is_board_full():
            self.over = True
            self.outcome = DRAW
        self.turn = other(self.turn)
        self._changed()
        return True

    def unmake_move(self):
        if not self.history:
            return False
        col, row = self.history.pop()
        if self.board.on_board(col, row):
            self.board.grid[row][col] = None
        self.over = False
        self.outcome = None
        self.turn = other(self.turn)
        self._changed()
        return True

    def get_piece(self, col, row):
        return self.board.get_piece(col, row)

    def set_piece(self, col, row, piece):
        self.board.set_piece(col, row, piece)
        self._changed()

    # -- actions and rewards --

    def decode_action(self, action):
        """The move that lands in column `action`, or None; looks at the board only."""
        if action >= self.width:
            return None
        h = self.board.column_height(action)
        return (action, h) if h < self.height else None

    def apply_action(self, action):
        m = self.decode_action(action)
        return False if m is None else self.make_move(*m)

    def reward_absolute(self):
        return 0.0 if self.outcome is None else OUTCOME_ABSOLUTE[self.outcome]

    def reward_from_perspective(self, perspective):
        """None stands for the internal error of a finished game asked for a non-player."""
        if self.outcome is None:
            return 0.0
        if perspective not in (RED, YELLOW):
            return None
        return outcome_reward(self.outcome, perspective)

    # -- planes --

    def planes(self):
        """The 17 input planes as a flat list, from a private copy taken back move by move."""
        w, h = self.width, self.height
        area = w * h
        mover = self.turn
        out = [0.0] * (PLANES * area)
        copy = self.clone()
        steps = min(len(self.history), HISTORY_POSITIONS - 1)
        for t in range(steps + 1):
            if t:
                copy.unmake_move()
            for r, line in enumerate(copy.board.grid):
                for c, p in enumerate(line):
                    if p is None:
                        continue
                    plane = 2 * t if p == mover else 2 * t + 1
                    out[plane * area + r * w + c] = 1.0
        if mover == RED:
            out[16 * area:] = [1.0] * area
        return out

    # -- hashes --

    def _fields(self):
        """The hash message split where the three game hashes stop: 1-7, 8-10, 11-12."""
        nw = words_for(self.width, self.height)
        b = self.board
        pieces = (_u64(nw) + b.bits(RED).to_bytes(8 * nw, "little")
                  + _u64(nw) + b.bits(YELLOW).to_bytes(8 * nw, "little")
                  + bytes((self.width, self.height, self.turn & 0xFF)))
        status = bytes((1 if self.over else 0,))
        if self.outcome is None:
            status += _u64(0)
        else:
            status += _u64(1) + _u64(self.outcome)
        recent = self.history[-(HISTORY_POSITIONS - 1):] if self.history else []
        moves = _u64(len(recent)) + b"".join(bytes((c, r)) for c, r in recent)
        return pieces, status, moves

    def _hashes(self):
        if "hashes" not in self._memo:
            pieces, status, moves = self._fields()
            self._memo["hashes"] = (
                siphash13(pieces + status + moves),
                siphash13(pieces + status),
                python_hash(siphash13(pieces)),
            )
        return self._memo["hashes"]

    def state_hash(self):
        return self._hashes()[0]

    def transposition_hash(self):
        return self._hashes()[1]

    def py_hash(self):
        return self._hashes()[2]

    # -- texts --

    def text(self):
        if "text" not in self._memo:
            outcome = "None" if self.outcome is None else f"Some({OUTCOME_DEBUG[self.outcome]})"
            self._memo["text"] = (
                f"Game(turn: {PLAYER_TEXT[self.turn]}, "
                f"is_over: {'true' if self.over else 'false'}, outcome: {outcome})\n"
                + self.board.text())
        return self._memo["text"]

    def repr(self):
        return (f"Game(width={self.width}, height={self.height}, "
                f"turn={PLAYER_TEXT[self.turn]}, over={'true' if self.over else 'false'})")


# ---- batch mirroring ----

def mirror_batch(states, policies, values, opponent_policies, masks):
    """The batch followed by its left-right mirror, as new C-ordered float32 arrays."""
    import numpy as np

    def doubled(a, flip):
        a = np.asarray(a)
        twin = a[..., ::-1] if flip else a
        return np.ascontiguousarray(np.concatenate([a, twin]), dtype=np.float32)

    return (doubled(states, True), doubled(policies, True), doubled(values, False),
            doubled(opponent_policies, True), doubled(masks, False))
