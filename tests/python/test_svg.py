"""The notebook drawings (_repr_svg_ of Game and Board): valid, self-contained
XML, and rendered by a real SVG renderer the right colour in every cell."""
import random
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib

import pytest

import drevik_gravline as dg

NS = "{http://www.w3.org/2000/svg}"
RED, YELLOW, HOLE, MARK = (0xD7, 0x26, 0x3D), (0xF6, 0xC9, 0x0E), (0xF4, 0xF6, 0xFA), (0x1A, 0x1A, 0x1A)
FRAME = "#1b4f9c"


def read_png(data):
    """(width, height, rows of RGB triples) of an 8-bit, non-interlaced RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, head = 8, b"", None
    while pos < len(data):
        (length,), kind = struct.unpack(">I", data[pos:pos + 4]), data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    width, height, depth, colour, _, _, interlace = head
    assert depth == 8 and colour in (2, 6) and interlace == 0, head
    bpp = 4 if colour == 6 else 3
    raw, stride, rows, prev = zlib.decompress(idat), width * bpp, [], bytearray(width * bpp)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * bpp:x * bpp + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def render(svg, tmp_path):
    if shutil.which("rsvg-convert") is None:
        pytest.skip("rsvg-convert (Debian's librsvg2-bin) is not installed")
    path = tmp_path / "drawing.svg"
    path.write_text(svg, encoding="utf-8")
    png = subprocess.run(["rsvg-convert", str(path)], capture_output=True, check=True).stdout
    return read_png(png)


def parse(svg):
    """The parsed drawing, checked to be self-contained: no scripts, links or foreign content."""
    root = ET.fromstring(svg)
    assert root.tag == NS + "svg"
    for element in root.iter():
        assert element.tag.startswith(NS), element.tag
        assert element.tag not in (NS + "script", NS + "image", NS + "foreignObject", NS + "style")
        assert not any("href" in name or name.startswith("on") for name in element.attrib)
    assert "url(" not in svg and "@import" not in svg
    return root


def grid_of(root, width, height):
    """Centre of cell (col, row) in pixels, from the frame rectangle of the drawing."""
    frame = [e for e in root.iter(NS + "rect") if e.get("fill") == FRAME]
    assert len(frame) == 1
    x, y = float(frame[0].get("x")), float(frame[0].get("y"))
    cell = float(frame[0].get("width")) / width
    assert float(frame[0].get("height")) == pytest.approx(cell * height)
    return cell, lambda col, row: (x + (col + 0.5) * cell, y + (height - 1 - row + 0.5) * cell)


def near(got, want):
    return all(abs(g - w) <= 24 for g, w in zip(got, want))


def pixel(rows, x, y):
    return rows[int(y)][int(x)]


def check_cells(obj, tmp_path, four=()):
    """Every cell's centre is red, yellow or an empty hole as the object says;
    the four cells named have a dark centre with the winner's colour around it."""
    width, height = obj.width(), obj.height()
    root = parse(obj._repr_svg_())
    cell, centre = grid_of(root, width, height)
    png_w, png_h, rows = render(obj._repr_svg_(), tmp_path)
    assert (png_w, png_h) == (round(float(root.get("width"))), round(float(root.get("height"))))
    colours = {1: RED, -1: YELLOW, None: HOLE}
    for row in range(height):
        for col in range(width):
            x, y = centre(col, row)
            want = colours[obj.get_piece(col, row)]
            if (col, row) in four:
                assert near(pixel(rows, x, y), MARK), (col, row, pixel(rows, x, y))
                x += 0.22 * cell
            assert near(pixel(rows, x, y), want), (col, row, pixel(rows, x, y), want)
    labels = [e.text for e in root.iter(NS + "text")]
    assert [str(c) for c in range(width)] == [t for t in labels if t.isdigit()]
    return root, labels


def test_boards_of_4x4_7x6_and_32x32_render_their_pieces(tmp_path):
    rng = random.Random(3)
    for width, height in [(4, 4), (7, 6), (32, 32)]:
        board = dg.Board(width, height)
        for _ in range(width * height // 3):
            board.set_piece(rng.randrange(width), rng.randrange(height), rng.choice([1, -1]))
        # A floating piece at the top: row 0 must be drawn at the bottom.
        board.set_piece(width - 1, height - 1, -1)
        board.set_piece(width - 1, 0, None)
        root, labels = check_cells(board, tmp_path)
        assert [t for t in labels if not t.isdigit()] == []


@pytest.mark.parametrize("width, height, columns, four", [
    (4, 4, [0, 1, 0, 1, 0, 1, 0], [(0, 0), (0, 1), (0, 2), (0, 3)]),
    # Yellow's rising diagonal from (0, 0) to (3, 3), completed at (3, 3).
    (7, 6, [6, 0, 1, 1, 2, 2, 3, 2, 3, 3, 5, 3], [(0, 0), (1, 1), (2, 2), (3, 3)]),
    (32, 32, [28, 28, 29, 29, 30, 30, 31], [(28, 0), (29, 0), (30, 0), (31, 0)]),
])
def test_finished_games_mark_the_winning_four(tmp_path, play, width, height, columns, four):
    game = play(dg.Game(width, height), columns)
    assert game.is_over()
    winner = game.outcome().winner()
    root, labels = check_cells(game, tmp_path, four)
    assert ("Red wins" if winner == 1 else "Yellow wins") in labels


def test_the_four_through_the_last_move_is_marked_else_any(tmp_path, play):
    # A red four put in column 0 by hand; Red's first move ends the game on it.
    game = dg.Game(7, 6)
    for row in range(4):
        game.set_piece(0, row, 1)
    vertical = [(0, 0), (0, 1), (0, 2), (0, 3)]
    check_cells(play(game.clone(), [5]), tmp_path, vertical)
    # With three more on row 0, the move at (6, 0) makes a second four, which is marked.
    for col in (3, 4, 5):
        game.set_piece(col, 0, 1)
    check_cells(play(game, [6]), tmp_path, [(3, 0), (4, 0), (5, 0), (6, 0)])


def test_caption_follows_the_game(play):
    game = dg.Game(7, 6)
    texts = lambda: [e.text for e in parse(game._repr_svg_()).iter(NS + "text")][0]
    assert texts() == "Red to move"
    play(game, [3])
    assert texts() == "Yellow to move"
    play(game, [0, 1, 0, 1, 0, 1, 0])
    assert texts() == "Yellow wins"
    game.unmake_move()
    assert texts() == "Yellow to move"
    draw = play(dg.Game(4, 4), [0, 1, 0, 1, 1, 0, 1, 0, 2, 3, 2, 3, 3, 2, 3, 2])
    assert draw.outcome().is_draw()
    assert [e.text for e in parse(draw._repr_svg_()).iter(NS + "text")][0] == "Draw"


def test_every_size_fits_a_notebook_cell():
    widths = {}
    for width in (4, 7, 11, 12, 16, 31, 32):
        root = parse(dg.Board(width, 32)._repr_svg_())
        widths[width] = float(root.get("width"))
        assert widths[width] <= 600
        cell, _ = grid_of(root, width, 32)
        assert cell >= 17
    assert widths[32] == max(widths.values())


def test_drawing_leaves_the_object_and_its_borrow_as_they_were(play):
    game = play(dg.Game(7, 6), [3, 3, 4])
    before = (str(game), game.state_hash(), game.turn())
    assert game._repr_svg_() == game._repr_svg_()
    assert (str(game), game.state_hash(), game.turn()) == before
    assert game.make_move(dg.Move(0, 0))
    board = game.board()
    board._repr_svg_()
    board.set_piece(0, 1, 1)
    assert board.get_piece(0, 1) == 1
