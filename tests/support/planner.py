"""A straightforward patch planner: every strip rescans and re-sorts the
cameras, exactly as the algorithm reads. Slow, and small enough to check by
eye; the tests compare the native planner's plans against it.

Floating-point expressions are written with the same operands in the same
order as the native code, so results agree bit for bit. Two choices the
algorithm leaves open are made as the native planner makes them: positions
with a NaN coordinate sort last, and the row fallback takes rows by ascending
row key. As in the native planner, the chunk and row splits leave out
positions with a NaN coordinate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

EPSILON = 2.220446049250313e-16
UNREACHABLE = 999999
INF = math.inf
U64_MAX = 2**64 - 1


class NoSolution(ValueError):
    pass


def divide(a, b):
    """IEEE division: a zero divisor gives an infinity or NaN instead of raising."""
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def nan_min(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b < a else a


def nan_max(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b > a else a


def saturating_u64(value):
    """Truncation toward zero; NaN and negatives give 0, too large the maximum."""
    if not value > 0.0:
        return 0
    if value >= 18446744073709551616.0:
        return U64_MAX
    return int(value)


def row_key(y):
    scaled = y * 1000.0
    if math.isnan(scaled):
        return 0
    if scaled >= 2.0**63:
        return 2**63 - 1
    if scaled <= -(2.0**63):
        return -(2**63)
    magnitude = abs(scaled)
    whole = math.floor(magnitude)
    if magnitude - whole >= 0.5:
        whole += 1
    return whole if scaled >= 0 else -whole


def aspect_ratio(box):
    w = box[1] - box[0]
    h = box[3] - box[2]
    return divide(nan_max(w, h), nan_min(w, h))


def nan_last(value):
    return (math.isnan(value), 0.0 if math.isnan(value) else value)


def bin_axis(lo, hi, target_bins):
    assert lo < hi, f"Invalid range: [{lo}, {hi}]"
    raw = (hi - lo) / target_bins
    mag = 10.0 ** float(math.floor(math.log10(raw)))
    factor = 10.0
    for candidate in (1.0, 2.0, 5.0, 10.0):
        if raw <= candidate * mag:
            factor = candidate
            break
    step = factor * mag
    start = float(math.floor(lo / step)) * step
    return start, step, saturating_u64(float(math.ceil((hi - start) / step)))


def chunks(seq, size):
    return [seq[i:i + size] for i in range(0, len(seq), size)]


def placed(points):
    """The points without a NaN coordinate: the chunk and row splits leave
    the others out (the first or last of a chunk, one would make the chunk's
    bounds NaN and leave the chunk's other cameras in no patch)."""
    return [p for p in points if not (math.isnan(p[0]) or math.isnan(p[1]))]


def partition_1d_horizontal(points, chunk_size, buffer, center_y):
    ordered = sorted(placed(points), key=lambda p: nan_last(p[0]))
    hy = nan_max(2.0 * buffer, 0.1) / 2.0
    boxes = []
    for chunk in chunks(ordered, chunk_size):
        x_first, x_last = chunk[0][0], chunk[-1][0]
        width = nan_max(x_last - x_first + 2.0 * buffer, 0.1)
        cx = (x_first + x_last) / 2.0
        boxes.append((cx - width / 2.0, cx + width / 2.0, center_y - hy, center_y + hy))
    return boxes


@dataclass
class Strip:
    boxes: list = field(default_factory=list)
    count: int = 0
    cost: float = 1.0
    rows: bool = False  # made by the row fallback (row order unspecified)


@dataclass
class State:
    strips: list = field(default_factory=list)  # (j, i, Strip) in plan order
    num_patches: int = UNREACHABLE
    cost: float = INF


@dataclass
class Plan:
    strips: list  # [(j, i, Strip)]; empty for the direct answers
    boxes: list
    num_patches: int
    cost: float
    from_grid: bool


def plan(positions, max_cameras=700, buffer=1.5, target_bins=100):
    """The plan for positions [(x, y)], or NoSolution."""
    positions = [(float(x), float(y)) for x, y in positions]
    assert max_cameras > 0 and target_bins > 0
    if not positions:
        raise ValueError("Camera positions cannot be empty")
    n, b, m = len(positions), float(buffer), max_cameras

    min_x, max_x, min_y, max_y = INF, -INF, INF, -INF
    for x, y in positions:
        min_x, max_x = nan_min(min_x, x), nan_max(max_x, x)
        min_y, max_y = nan_min(min_y, y), nan_max(max_y, y)

    whole = (min_x - b, max_x + b, min_y - b, max_y + b)
    flat_x = abs(max_x - min_x) < EPSILON
    flat_y = abs(max_y - min_y) < EPSILON
    direct = None
    if flat_x and flat_y:
        direct = [whole]
    elif flat_x:
        if n <= m:
            direct = [whole]
        else:
            hx = nan_max(2.0 * b, 0.1) / 2.0
            direct = []
            for chunk in chunks(sorted(placed(positions), key=lambda p: nan_last(p[1])), m):
                y_first, y_last = chunk[0][1], chunk[-1][1]
                height = nan_max(y_last - y_first + 2.0 * b, 0.1)
                cy = (y_first + y_last) / 2.0
                direct.append((min_x - hx, min_x + hx, cy - height / 2.0, cy + height / 2.0))
    elif flat_y:
        direct = [whole] if n <= m else partition_1d_horizontal(positions, m, b, min_y)
    if direct is not None:
        return Plan([], direct, len(direct), 1.0, False)

    ox, sx, X = bin_axis(min_x, max_x, float(target_bins))
    oy, sy, Y = bin_axis(min_y, max_y, float(target_bins))
    last_row = 0 if Y == 0 else Y - 1
    by_x = sorted(positions, key=lambda p: nan_last(p[0]))

    def strip_plan(j, i):
        x_start = ox + float(j) * sx
        x_end = ox + float(i) * sx
        if i == X:
            strip = [p for p in by_x if x_start <= p[0] <= x_end]
        else:
            strip = [p for p in by_x if x_start <= p[0] < x_end]
        if not strip:
            return Strip()
        ys_min, ys_max = INF, -INF
        for _, y in strip:
            ys_min, ys_max = nan_min(ys_min, y), nan_max(ys_max, y)
        lo = min(last_row, saturating_u64(divide(ys_min - oy, sy)))
        hi = min(last_row, saturating_u64(divide(ys_max - oy, sy)))
        if hi < lo:
            return Strip()
        widened = sorted((p for p in positions if x_start - b <= p[0] <= x_end + b),
                         key=lambda p: nan_last(p[1]))

        def load(k, e):
            y_low = oy + float(k) * sy - b
            y_high = oy + float(e + 1) * sy + b
            return sum(1 for _, y in widened if y_low <= y <= y_high)

        result = Strip()
        k = lo
        while k <= hi:
            accepted = None
            if not widened:
                accepted = hi
            else:
                for e in range(k, hi + 1):
                    if load(k, e) > m:
                        break
                    accepted = e
            if accepted is None:
                return row_fallback(strip)
            box = (x_start - b, x_end + b, oy + float(k) * sy - b, oy + float(accepted + 1) * sy + b)
            result.boxes.append(box)
            k = accepted + 1
        return finish(result)

    def row_fallback(strip):
        rows = {}
        for p in placed(strip):
            rows.setdefault(row_key(p[1]), []).append(p)
        long_rows = [r for r in rows.values() if len(r) > m]
        if not long_rows:
            return Strip(count=UNREACHABLE, cost=INF)
        dense = any(len(r) / nan_max(max(p[0] for p in r) - min(p[0] for p in r), 0.1) > 10.0
                    for r in long_rows)
        if not dense:
            return Strip(count=UNREACHABLE, cost=INF)
        result = Strip(rows=True)
        for key in sorted(rows):
            row = rows[key]
            y0 = row[0][1]
            if len(row) <= m:
                xs = [p[0] for p in row]
                result.boxes.append((min(xs) - b, max(xs) + b, y0 - b, y0 + b))
            else:
                result.boxes.extend(partition_1d_horizontal(row, m, b, y0))
        return finish(result)

    def finish(result):
        result.count = len(result.boxes)
        result.cost = 1.0
        for box in result.boxes:
            result.cost *= aspect_ratio(box)
        return result

    states = [State() for _ in range(X)]
    for i in range(1, X + 1):
        for j in range(i):
            strip = strip_plan(j, i)
            if j == 0:
                candidate = State([(j, i, strip)], strip.count, strip.cost)
            else:
                before = states[j - 1]
                candidate = State(before.strips + [(j, i, strip)],
                                  before.num_patches + strip.count, before.cost * strip.cost)
            state = states[i - 1]
            if (candidate.num_patches < state.num_patches
                    or (candidate.num_patches == state.num_patches and state.cost > candidate.cost)):
                states[i - 1] = candidate
    final = states[X - 1]
    if final.num_patches >= UNREACHABLE:
        raise NoSolution("No solution found - try increasing max_cameras or reducing buffer")
    boxes = [box for _, _, strip in final.strips for box in strip.boxes]
    return Plan(final.strips, boxes, final.num_patches, final.cost, True)


NO_SOLUTION = "No solution found - try increasing max_cameras or reducing buffer"


def rect(box):
    return (box.min_x, box.max_x, box.min_y, box.max_y)


def rects(boxes):
    return [rect(b) for b in boxes]
