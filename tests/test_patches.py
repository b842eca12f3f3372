"""BoundingBox and the patches planner, against the straightforward planner."""

import collections
import inspect
import math
import random

import pytest

import support.planner as reference
from larkspan.splat import BoundingBox, patches
from support.planner import NO_SOLUTION, rect, rects

GRID = [(float(x), float(y)) for x in range(0, 41, 4) for y in range(0, 31, 3)]
NAMES = ["min_x", "max_x", "min_y", "max_y"]
RNG = random.Random(5)
CROWD = [(10.0 + RNG.random(), 10.0 + RNG.random()) for _ in range(30)] + [(0.0, 0.0), (40.0, 40.0)]

class Number:
    """Converts through the float and index protocols only."""
    def __init__(self, value): self.value = value
    def __float__(self): return float(self.value)
    def __index__(self): return int(self.value)

@pytest.mark.parametrize("name", NAMES)
def test_bounding_box_values_and_refusals(name):
    box = BoundingBox(0, 10, 5, max_y=Number(7))
    assert (rect(box), box.width, box.height) == ((0.0, 10.0, 5.0, 7.0), 10.0, 2.0)
    assert all(type(v) is float for v in (*rect(box), box.width, box.height))
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(box, name)
    for change in (lambda: setattr(box, name, "1.0"), lambda: BoundingBox(**dict(zip(NAMES, range(4)), **{name: "2"}))):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            change()
    with pytest.raises(AttributeError):
        box.width = 1.0
    box.max_x, box.min_y = -20, Number(8)  # nothing is validated; sizes follow
    assert (rect(box), box.width, box.height) == ((0.0, -20.0, 8.0, 7.0), -20.0, -1.0)

def test_defaults_and_argument_forms():
    assert str(inspect.signature(BoundingBox)) == "(min_x, max_x, min_y, max_y)"
    assert patches.__text_signature__ == "(camera_positions, max_cameras=700, buffer_meters=1.5, target_bins=100)"
    expected = reference.plan(GRID, 700, 1.5, 100).boxes
    assert rects(patches(GRID)) == rects(patches(GRID, None, None, None)) == expected
    assert rects(patches(camera_positions=GRID, buffer_meters=None, target_bins=100)) == expected
    point = collections.namedtuple("Point", "x y")
    assert rects(patches(tuple(point(Number(x), y) for x, y in GRID), Number(30), Number(0.5),
                         Number(7))) == reference.plan(GRID, 30, 0.5, 7).boxes

P = patches

@pytest.mark.parametrize("call, error, message", [
    (lambda: P("1,2"), TypeError, "^argument 'camera_positions': Can't extract `str` to `Vec`$"),
    (lambda: P(5), TypeError, "^argument 'camera_positions': "),
    (lambda: P([[0.0, 1.0]]), TypeError, "^argument 'camera_positions': "),
    (lambda: P([(0.0, "1")]), TypeError, "^argument 'camera_positions': "),
    (lambda: P("xy", 1.5, "b"), TypeError, "^argument 'camera_positions'"),  # the first failing one
    (lambda: P([], 1.5, "b"), TypeError, "^argument 'max_cameras': "),
    (lambda: P(GRID, -1), OverflowError, None),
    (lambda: P(GRID, None, "1.5"), TypeError, "^argument 'buffer_meters': "),
    (lambda: P(GRID, None, None, 10.0), TypeError, "^argument 'target_bins': "),
    (lambda: P([(0.0, 0.0), (0.0, 1.0, 2.0)]), ValueError, "length 2, but got tuple of length 3"),
    (lambda: P([]), ValueError, "^Camera positions cannot be empty$"),
    (lambda: P([(0.0, 0.0), (1.0, 1.0)], None, None, 10**6), MemoryError, "lower target_bins"),
    # More than max_cameras scattered in one cell (no dense row): no admissible plan.
    (lambda: P(CROWD, 20, 0.5, 40), ValueError, f"^{NO_SOLUTION}$"),
    (lambda: BoundingBox(0, 1, 2), TypeError, r"^BoundingBox\(\) missing 1 required positional argument: 'max_y'$"),
    (lambda: BoundingBox(0, 1, 2, 3, min_z=4), TypeError, r"^BoundingBox\(\) got an unexpected keyword argument"),
    (lambda: P(GRID, None, None, None, None), TypeError,
     r"^patches\(\) takes from 1 to 4 positional arguments but 5 were given$"),
    # Refused on purpose: zero leaves a chunk split without a chunk size and the grid without columns; a NaN
    # or negative buffer gave patches covering no camera, reported as created.
    (lambda: P([], 0), ValueError, "^max_cameras must be at least 1$"),
    (lambda: P([], None, None, 0), ValueError, "^target_bins must be at least 1$"),
    (lambda: P([(1.0, 1.0)], None, math.nan), ValueError, "^buffer_meters must be a non-negative number, not "),
    (lambda: P(GRID, None, -0.5), ValueError, "^buffer_meters must be a non-negative number, not "),
    # Positions that cannot be binned are an internal failure (the x extent of NaN ones stays empty).
    (lambda: P([(math.nan, 0.0), (math.nan, 1.0)]), BaseException, r"^Invalid range: \[inf, -inf\]$"),
    (lambda: P([(0.0, 0.0), (math.inf, 1.0)]), BaseException, None),
])
def test_refused_arguments_print_nothing(call, error, message, capfd):
    with pytest.raises(error, match=message) as raised:
        call()
    assert isinstance(raised.value, Exception) != (error is BaseException)  # a panic is not an Exception
    assert capfd.readouterr().out == ""

NAN = math.nan
ROW = [(i * 0.0625, 5.0) for i in range(300)]  # 1/16 apart: a dense row

# Plans worked out by hand, with the summary line's cost (None: answered directly, silently).
@pytest.mark.parametrize("cameras, max_cameras, buffer, bins, expected, cost", [
    ([(2.0, -3.0)] * 50, 3, 1.5, None, [(0.5, 3.5, -4.5, -1.5)], None),
    # x order 0 1 | 3 7 | 9: widths x_last - x_first + 2 * buffer, at least 0.1
    ([(x, 4.0) for x in (7.0, 0.0, 3.0, 1.0, 9.0)], 2, 0.5, None,
     [(-0.5, 1.5, 3.5, 4.5), (2.5, 7.5, 3.5, 4.5), (8.5, 9.5, 3.5, 4.5)], None),
    # A camera on the last grid line belongs to the last strip, one on an inner line to the column on its
    # right; NaN coordinates take no part.
    ([(0.0, 0.0), (5.0, 5.0), (10.0, 10.0), (NAN, 5.0), (5.0, NAN)], 1, 0.0, 10,
     [(0.0, 1.0, 0.0, 1.0), (5.0, 6.0, 5.0, 6.0), (9.0, 10.0, 9.0, 10.0)], 1.0),
    # Equal cost (3) from the last strip starting at x = 1.5 or 2.5: the first found is kept.
    ([(1.0, 2.0), (3.0, 2.0), (3.0, 4.0)], 1, 0.0, 4,
     [(1.0, 1.5, 2.0, 2.5), (1.5, 3.0, 2.0, 3.5), (1.5, 3.0, 3.5, 4.0)], 3.0),
    # The dense row overfills its cell: split row by row, bottom to top, in chunks of 100.
    (ROW + [(0.0, 0.0), (18.6875, 10.0)], 100, 0.5, 2,
     [(-0.5, 0.5, -0.5, 0.5), (-0.5, 6.6875, 4.5, 5.5), (5.75, 12.9375, 4.5, 5.5), (12.0, 19.1875, 4.5, 5.5),
      (18.1875, 19.1875, 9.5, 10.5)], 0),
    # A camera with a NaN coordinate first or last in a chunk made that patch's bounds NaN, leaving the
    # chunk's other cameras in no patch; it is left out.
    ([(0.0, 0.0), (0.0, 1.0), (0.0, 2.0), (0.0, NAN)], 2, 0.5, 1,
     [(-0.5, 0.5, -0.5, 1.5), (-0.5, 0.5, 1.5, 2.5)], None),
    ([(0.0, NAN)] + [(i * 0.03125, 0.0) for i in range(4)] + [(0.5, 3.0)], 2, 0.25, 1,
     [(-0.25, 0.28125, -0.25, 0.25), (-0.1875, 0.34375, -0.25, 0.25), (0.25, 0.75, 2.75, 3.25)], 0),
    # Exactly max_cameras on a line thinner than epsilon fit in one patch spanning the whole extent; a
    # split would take the line's first coordinate for both sides.
    ([(0.5, 0.0), (0.5 + 2**-53, 1.0)], 2, 0.0, None, [(0.5, 0.5 + 2**-53, 0.0, 1.0)], None),
    ([(0.0, 0.5), (1.0, 0.5 + 2**-53)], 2, 0.0, None, [(0.0, 1.0, 0.5, 0.5 + 2**-53)], None),
], ids=["one point", "horizontal chunks", "grid lines", "equal cost", "dense row", "NaN on a vertical line",
        "NaN in a row split", "full vertical line", "full horizontal line"])
def test_hand_worked_plans(cameras, max_cameras, buffer, bins, expected, cost, capfd):
    boxes = rects(patches(cameras, max_cameras, buffer, bins))
    assert boxes == expected == reference.plan(cameras, max_cameras, buffer, bins or 100).boxes
    if cost == 0:  # a product of awkward ratios
        cost = math.prod(map(reference.aspect_ratio, boxes))
    out = "" if cost is None else f"\u2705 Created {len(boxes)} patches (aspect cost: {cost:.2f})\n"
    assert capfd.readouterr().out == out.replace("nan", "NaN")
