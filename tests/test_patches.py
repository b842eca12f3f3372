"""BoundingBox and the patches planner."""

import collections
import inspect
import math
import random

import pytest

from larkspan.splat import BoundingBox, patches

import support.planner as reference
from support.planner import NO_SOLUTION, rect, rects


def summary(count, cost):
    text = "NaN" if math.isnan(cost) else f"{cost:.2f}"
    return f"\u2705 Created {count} patches (aspect cost: {text})\n"


class Number:
    """Converts through the float and index protocols only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)

    def __index__(self):
        return int(self.value)


class TestBoundingBox:
    def test_integers_read_back_as_floats(self):
        box = BoundingBox(0, 10, 5, 7)
        assert (box.width, box.height) == (10.0, 2.0)
        assert rect(box) == (0.0, 10.0, 5.0, 7.0)
        assert all(type(v) is float for v in (*rect(box), box.width, box.height))

    def test_keywords_and_no_validation(self):
        box = BoundingBox(min_x=1.0, max_x=0.0, min_y=Number(2), max_y=3)
        assert box.width == -1.0
        assert box.min_y == 2.0

    def test_sizes_follow_assignment(self):
        box = BoundingBox(0, 10, 5, 7)
        box.max_x = 20
        box.min_y = Number(1)
        assert (box.max_x, box.width, box.height) == (20.0, 20.0, 6.0)

    @pytest.mark.parametrize("name", ["min_x", "max_x", "min_y", "max_y"])
    def test_deleting_a_coordinate_is_refused(self, name):
        box = BoundingBox(0, 10, 5, 7)
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(box, name)
        assert rect(box) == (0.0, 10.0, 5.0, 7.0)

    @pytest.mark.parametrize("name", ["min_x", "max_x", "min_y", "max_y"])
    def test_assigning_a_non_number_names_the_attribute(self, name):
        box = BoundingBox(0, 10, 5, 7)
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            setattr(box, name, "1.0")
        assert rect(box) == (0.0, 10.0, 5.0, 7.0)

    @pytest.mark.parametrize("name", ["width", "height"])
    def test_sizes_are_read_only(self, name):
        box = BoundingBox(0, 10, 5, 7)
        with pytest.raises(AttributeError):
            setattr(box, name, 1.0)
        with pytest.raises(AttributeError):
            delattr(box, name)

    def test_constructor_errors(self):
        with pytest.raises(TypeError) as missing:
            BoundingBox(0, 1, 2)
        assert str(missing.value) == "BoundingBox() missing 1 required positional argument: 'max_y'"
        with pytest.raises(TypeError) as unknown:
            BoundingBox(0, 1, 2, 3, min_z=4)
        assert str(unknown.value) == "BoundingBox() got an unexpected keyword argument 'min_z'"
        with pytest.raises(TypeError, match="^argument 'min_y': "):
            BoundingBox(0, 1, "2", 3)

    def test_plain_class_in_builtins(self):
        assert BoundingBox.__module__ == "builtins"
        assert BoundingBox.__name__ == "BoundingBox"
        assert str(inspect.signature(BoundingBox)) == "(min_x, max_x, min_y, max_y)"
        a, b = BoundingBox(0, 1, 0, 1), BoundingBox(0, 1, 0, 1)
        assert a != b and a == a  # identity comparison only


GRID = [(float(x), float(y)) for x in range(0, 41, 4) for y in range(0, 31, 3)]


class TestArguments:
    def test_signature(self):
        assert patches.__text_signature__ == (
            "(camera_positions, max_cameras=700, buffer_meters=1.5, target_bins=100)")

    def test_none_and_omitted_select_the_defaults(self, capfd):
        by_default = rects(patches(GRID, None, None, None))
        explicit = rects(patches(camera_positions=GRID, max_cameras=700, buffer_meters=1.5,
                                 target_bins=100))
        assert by_default == explicit
        assert rects(patches(GRID)) == explicit
        assert rects(patches(GRID, buffer_meters=None, target_bins=100)) == explicit
        assert by_default == reference.plan(GRID).boxes

    def test_any_sequence_of_tuples_of_numbers(self):
        Point = collections.namedtuple("Point", "x y")
        points = tuple(Point(Number(x), y) for x, y in GRID)
        assert rects(patches(points, Number(30), Number(0.5), Number(7))) == \
            reference.plan(GRID, 30, 0.5, 7).boxes

    @pytest.mark.parametrize("value, message", [
        ("1,2", "^argument 'camera_positions': Can't extract `str` to `Vec`$"),
        (5, "^argument 'camera_positions': "),
        ((p for p in GRID), "^argument 'camera_positions': "),
        ([[0.0, 1.0]], "^argument 'camera_positions': "),
        ([(0.0, "1")], "^argument 'camera_positions': "),
    ])
    def test_positions_of_the_wrong_type(self, value, message):
        with pytest.raises(TypeError, match=message):
            patches(value, None, None, None)

    @pytest.mark.parametrize("item", [(0.0, 1.0, 2.0), (0.0,)])
    def test_tuples_of_another_length(self, item):
        with pytest.raises(ValueError, match=f"length 2, but got tuple of length {len(item)}"):
            patches([(0.0, 0.0), item], None, None, None)

    @pytest.mark.parametrize("name, value, error", [
        ("max_cameras", 1.5, TypeError),
        ("max_cameras", -1, OverflowError),
        ("max_cameras", 2**64, OverflowError),
        ("buffer_meters", "1.5", TypeError),
        ("target_bins", 10.0, TypeError),
        ("target_bins", -3, OverflowError),
    ])
    def test_numbers_of_the_wrong_kind(self, name, value, error):
        arguments = dict(camera_positions=GRID, max_cameras=None, buffer_meters=None,
                         target_bins=None)
        arguments[name] = value
        with pytest.raises(error) as raised:
            patches(**arguments)
        if error is TypeError:
            assert str(raised.value).startswith(f"argument '{name}': ")

    def test_first_failing_argument_is_reported(self):
        with pytest.raises(TypeError, match="^argument 'camera_positions'"):
            patches("xy", 1.5, "b", 2.5)
        with pytest.raises(TypeError, match="^argument 'max_cameras'"):
            patches([], 1.5, "b", 2.5)

    @pytest.mark.parametrize("call, message", [
        (lambda: patches(), "missing 1 required positional argument: 'camera_positions'"),
        (lambda: patches(max_cameras=1), "missing 1 required positional argument: 'camera_positions'"),
        (lambda: patches(GRID, None, None, None, None),
         "takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: patches(GRID, None, max_cameras=1),
         "got multiple values for argument 'max_cameras'"),
        (lambda: patches(GRID, None, None, None, buffer=1),
         "got an unexpected keyword argument 'buffer'"),
    ])
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == f"patches() {message}"

    def test_empty_positions(self, capfd):
        with pytest.raises(ValueError, match="^Camera positions cannot be empty$"):
            patches([], None, None, None)
        assert capfd.readouterr().out == ""

    # Deliberate departure: zero leaves a chunk split without a chunk size
    # and the programme without columns, so both are refused up front.
    @pytest.mark.parametrize("name", ["max_cameras", "target_bins"])
    @pytest.mark.parametrize("positions", [[], [(1.0, 1.0)], GRID])
    def test_zero_is_refused(self, name, positions, capfd):
        arguments = dict(camera_positions=positions, max_cameras=None, buffer_meters=None,
                         target_bins=None)
        arguments[name] = 0
        with pytest.raises(ValueError, match=f"^{name} must be at least 1$"):
            patches(**arguments)
        assert capfd.readouterr().out == ""

    # Deliberate departure: such a buffer gave patches that cover no camera,
    # reported as "Created 1 patches".
    @pytest.mark.parametrize("buffer", [math.nan, -0.5, -math.inf])
    @pytest.mark.parametrize("positions", [[(1.0, 1.0)], GRID])
    def test_nan_or_negative_buffer_is_refused(self, buffer, positions, capfd):
        with pytest.raises(ValueError, match="^buffer_meters must be a non-negative number, not "):
            patches(positions, None, buffer, None)
        assert capfd.readouterr().out == ""


class TestShortcuts:
    """Degenerate layouts are answered directly and print nothing."""

    @pytest.mark.parametrize("n", [1, 3, 50])
    def test_one_point(self, n, capfd):
        boxes = patches([(2.0, -3.0)] * n, 3, 1.5, None)
        assert rects(boxes) == [(0.5, 3.5, -4.5, -1.5)]
        assert capfd.readouterr().out == ""

    def test_horizontal_line_in_chunks(self, capfd):
        cameras = [(x, 4.0) for x in (7.0, 0.0, 3.0, 1.0, 9.0)]
        boxes = patches(cameras, 2, 0.5, None)
        # x order 0 1 | 3 7 | 9: widths x_last - x_first + 1, the last at least 0.1.
        assert rects(boxes) == [(-0.5, 1.5, 3.5, 4.5), (2.5, 7.5, 3.5, 4.5),
                                (8.5, 9.5, 3.5, 4.5)]
        assert capfd.readouterr().out == ""

    def test_horizontal_line_without_buffer_gets_the_minimum_size(self):
        boxes = patches([(0.0, 1.0), (5.0, 1.0)], 1, 0.0, None)
        assert rects(boxes) == [(-0.05, 0.05, 0.95, 1.05), (4.95, 5.05, 0.95, 1.05)]

    def test_vertical_line_that_fits(self):
        boxes = patches([(3.0, 9.0), (3.0, 1.0)], 2, 1.0, None)
        assert rects(boxes) == [(2.0, 4.0, 0.0, 10.0)]

    def test_vertical_line_in_chunks_bottom_to_top(self):
        cameras = [(3.0, y) for y in (5.0, 1.0, 2.0, 9.0)]
        boxes = patches(cameras, 2, 0.25, None)
        # y order 1 2 | 5 9: centred on (first + last) / 2, height last - first + 0.5.
        assert rects(boxes) == [(2.75, 3.25, 0.75, 2.25), (2.75, 3.25, 4.75, 9.25)]


class TestGridPlan:
    def test_one_square_patch(self, capfd):
        cameras = [(0.0, 0.0), (10.0, 10.0), (4.0, 6.0)]
        boxes = patches(cameras, 3, 0.5, 10)
        assert rects(boxes) == [(-0.5, 10.5, -0.5, 10.5)]
        assert capfd.readouterr().out == summary(1, 1.0)

    def test_camera_on_the_last_line_belongs_to_the_last_strip(self, capfd):
        # Grid of 1 x 1 cells over [0, 10]; (10, 10) lies on the last x line.
        boxes = patches([(0.0, 0.0), (10.0, 10.0)], 1, 0.0, 10)
        assert rects(boxes) == [(0.0, 1.0, 0.0, 1.0), (9.0, 10.0, 9.0, 10.0)]
        assert capfd.readouterr().out == summary(2, 1.0)

    def test_camera_on_an_inner_line_belongs_to_the_column_on_its_right(self):
        boxes = patches([(0.0, 0.0), (5.0, 5.0), (10.0, 10.0)], 1, 0.0, 10)
        assert rects(boxes) == [(0.0, 1.0, 0.0, 1.0), (5.0, 6.0, 5.0, 6.0),
                                (9.0, 10.0, 9.0, 10.0)]

    def test_equal_cost_keeps_the_last_strip_starting_furthest_left(self, capfd):
        # Starting the last strip at x = 1.5 or at x = 2.5 both give three
        # patches with aspect product exactly 3.
        boxes = patches([(1.0, 2.0), (3.0, 2.0), (3.0, 4.0)], 1, 0.0, 4)
        assert rects(boxes) == [(1.0, 1.5, 2.0, 2.5), (1.5, 3.0, 2.0, 3.5),
                                (1.5, 3.0, 3.5, 4.0)]
        alternative = [(1.0, 1.5, 2.0, 2.5), (2.5, 3.0, 2.0, 3.5), (2.5, 3.0, 3.5, 4.0)]
        assert math.prod(reference.aspect_ratio(b) for b in alternative) == 3.0
        assert capfd.readouterr().out == summary(3, 3.0)

    def test_overfull_cell_without_rows_has_no_solution(self, capfd):
        rng = random.Random(5)
        crowd = [(10.0 + rng.random(), 10.0 + rng.random()) for _ in range(30)]
        with pytest.raises(ValueError, match=f"^{NO_SOLUTION}$"):
            patches(crowd + [(0.0, 0.0), (40.0, 40.0)], 20, 0.5, 40)
        assert capfd.readouterr().out == ""

    def test_dense_row_is_split_row_by_row(self, capfd):
        # 300 cameras 1/16 apart on y = 5 overfill their cell, so no strip can
        # be stacked; the row fallback cuts the row into chunks of 100 and
        # gives each stray its own patch. Rows come in no particular order.
        row = [(i * 0.0625, 5.0) for i in range(300)]
        boxes = patches(row + [(0.0, 0.0), (18.6875, 10.0)], 100, 0.5, 2)
        assert sorted(rects(boxes)) == [
            (-0.5, 0.5, -0.5, 0.5),          # stray
            (-0.5, 6.6875, 4.5, 5.5),        # x 0 .. 6.1875
            (5.75, 12.9375, 4.5, 5.5),       # x 6.25 .. 12.4375
            (12.0, 19.1875, 4.5, 5.5),       # x 12.5 .. 18.6875
            (18.1875, 19.1875, 9.5, 10.5),   # stray
        ]
        cost = math.prod(reference.aspect_ratio(rect(b)) for b in boxes)
        assert capfd.readouterr().out == summary(5, cost)

    def test_printed_count_and_cost_describe_the_result(self, capfd):
        rng = random.Random(11)
        cameras = [(rng.gauss(0, 20), rng.gauss(0, 10)) for _ in range(400)]
        boxes = patches(cameras, 60, None, 12)
        cost = math.prod(max(b.width, b.height) / min(b.width, b.height) for b in boxes)
        assert capfd.readouterr().out == summary(len(boxes), cost)

    def test_nan_coordinates_take_no_part(self):
        cameras = [(0.0, 0.0), (10.0, 10.0), (math.nan, 5.0), (5.0, math.nan), (math.nan, math.nan)]
        assert rects(patches(cameras, 1, 0.0, 10)) == \
            [(0.0, 1.0, 0.0, 1.0), (9.0, 10.0, 9.0, 10.0)]


    # A camera with a NaN coordinate first or last in a chunk used to make
    # that patch's bounds NaN, so the chunk's other cameras lay in no patch.
    # The chunk and row splits now leave such cameras out.
    @pytest.mark.parametrize("cameras, max_cameras, buffer, expected", [
        ([(0.0, 0.0), (0.0, 1.0), (0.0, 2.0), (0.0, math.nan)], 2, 0.5,
         [(-0.5, 0.5, -0.5, 1.5), (-0.5, 0.5, 1.5, 2.5)]),
        ([(0.0, 0.0), (1.0, 0.0), (2.0, 0.0), (math.nan, 0.0)], 2, 0.5,
         [(-0.5, 1.5, -0.5, 0.5), (1.5, 2.5, -0.5, 0.5)]),
        # A dense row at y = 0 led by a NaN-y camera at the same x.
        ([(0.0, math.nan)] + [(i * 0.03125, 0.0) for i in range(4)] + [(0.5, 3.0)], 2, 0.25,
         [(-0.25, 0.28125, -0.25, 0.25), (-0.1875, 0.34375, -0.25, 0.25),
          (0.25, 0.75, 2.75, 3.25)]),
    ], ids=["vertical line", "horizontal line", "row split"])
    def test_nan_camera_leaves_no_camera_of_its_chunk_outside(self, cameras, max_cameras,
                                                             buffer, expected):
        boxes = rects(patches(cameras, max_cameras, buffer, 1))
        assert boxes == expected
        for x, y in cameras:
            if not (math.isnan(x) or math.isnan(y)):
                assert any(x0 <= x <= x1 and y0 <= y <= y1 for x0, x1, y0, y1 in boxes)


class TestFailures:
    def test_unbinnable_range_is_an_internal_failure(self, capfd):
        # All x are NaN: the x extent stays [inf, -inf].
        with pytest.raises(BaseException) as raised:
            patches([(math.nan, 0.0), (math.nan, 1.0)], None, None, None)
        assert type(raised.value).__name__ == "PanicException"
        assert str(raised.value) == "Invalid range: [inf, -inf]"
        assert capfd.readouterr().out == ""

    def test_infinite_extent_leaves_no_columns(self):
        with pytest.raises(BaseException) as raised:
            patches([(0.0, 0.0), (math.inf, 1.0)], None, None, None)
        assert type(raised.value).__name__ == "PanicException"
        assert not isinstance(raised.value, Exception)

    def test_grid_too_large_to_hold(self):
        with pytest.raises(MemoryError, match="lower target_bins"):
            patches([(0.0, 0.0), (1.0, 1.0)], None, None, 10**6)


def layout(seed):
    """A seeded small layout of one of six kinds, with planner settings."""
    r = random.Random(seed)
    n = r.randint(1, 160)
    kind = seed % 6
    if kind == 0:  # clusters
        centres = [(r.uniform(0, 60), r.uniform(0, 40)) for _ in range(r.randint(1, 5))]
        spread = r.choice([0.5, 2.0, 6.0])
        points = [(cx + r.gauss(0, spread), cy + r.gauss(0, spread))
                  for cx, cy in (r.choice(centres) for _ in range(n))]
    elif kind == 1:  # lattice: cameras on grid lines and window bounds
        step = r.choice([0.5, 1.0, 2.0, 5.0])
        w, h = r.randint(2, 12), r.randint(2, 12)
        points = [(r.randint(0, w) * step, r.randint(0, h) * step) for _ in range(n)]
    elif kind == 2:  # dense rows at constant y, plus strays
        rows = [round(r.uniform(0, 30), 3) for _ in range(r.randint(1, 4))]
        spacing = r.choice([0.01, 0.05, 0.2])
        x0 = r.uniform(0, 10)
        points = [(x0 + r.randrange(n) * spacing, r.choice(rows)) for _ in range(n)]
        points += [(r.uniform(0, 20), r.uniform(0, 30)) for _ in range(r.randint(0, 10))]
    elif kind == 3:  # lines
        c = round(r.uniform(-5, 5), 2)
        t = [r.uniform(0, 50) for _ in range(n)]
        points = r.choice([[(c, v) for v in t], [(v, c) for v in t],
                           [(v, 0.5 * v + c) for v in t]])
    elif kind == 4:  # a few single points, repeated
        spots = [(round(r.uniform(-10, 10), 1), round(r.uniform(-10, 10), 1))
                 for _ in range(r.randint(1, 3))]
        points = [r.choice(spots) for _ in range(n)]
    else:  # clusters with NaN coordinates
        points = [(r.gauss(20, 8), r.gauss(10, 5)) for _ in range(n)]
        for _ in range(r.randint(1, max(1, n // 5))):
            i = r.randrange(n)
            x, y = points[i]
            points[i] = r.choice([(math.nan, y), (x, math.nan), (math.nan, math.nan)])
    settings = (r.choice([1, 2, 5, 10, 25, 60, 200]), r.choice([0.0, 0.25, 1.5, 4.0, 0.1]),
                r.randint(1, 14))
    return points, settings


def same(a, b):
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


@pytest.mark.parametrize("seed", range(300))
def test_plan_equals_the_straightforward_planner(seed, capfd):
    points, (max_cameras, buffer, target_bins) = layout(seed)
    try:
        expected = reference.plan(points, max_cameras, buffer, target_bins)
    except reference.NoSolution:
        with pytest.raises(ValueError, match=f"^{NO_SOLUTION}$"):
            patches(points, max_cameras, buffer, target_bins)
        assert capfd.readouterr().out == ""
        return
    got = rects(patches(points, max_cameras, buffer, target_bins))
    assert len(got) == len(expected.boxes)
    printed = capfd.readouterr().out
    if not expected.from_grid:
        assert all(same(a, b) for a, b in zip(got, expected.boxes))
        assert printed == ""
        return
    assert printed == summary(expected.num_patches, expected.cost)
    start = 0
    for _, _, strip in expected.strips:
        mine = got[start:start + strip.count]
        if strip.rows:  # the row order of a row-split strip is unspecified
            key = lambda box: tuple((math.isnan(v), 0.0 if math.isnan(v) else v) for v in box)
            mine, theirs = sorted(mine, key=key), sorted(strip.boxes, key=key)
        else:
            theirs = strip.boxes
        assert all(same(a, b) for a, b in zip(mine, theirs)), (mine, theirs)
        start += strip.count
