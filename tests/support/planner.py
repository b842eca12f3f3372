"""A straightforward patch planner: every strip rescans and re-sorts the cameras; slow, small
enough to check by eye. Floating-point expressions keep the native planner's operands and order,
so results agree bit for bit. Open choices are made as the native planner makes them: NaN
coordinates sort last and are left out of chunk and row splits; rows go by ascending row key."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

EPSILON = 2.220446049250313e-16
UNREACHABLE = 999999
INF = math.inf
NO_SOLUTION = "No solution found - try increasing max_cameras or reducing buffer"

class NoSolution(ValueError):
    pass

def divide(a, b):
    """IEEE division: a zero divisor gives an infinity or NaN instead of raising."""
    if b == 0.0:
        return math.nan if a == 0.0 or math.isnan(a) else math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b

def nan_min(a, b):  # the other value when one is NaN
    return b if math.isnan(a) or b < a else a

def nan_max(a, b):
    return b if math.isnan(a) or b > a else a

def saturating_u64(value):
    """Truncation toward zero; NaN and negatives give 0, too large the maximum."""
    return 0 if not value > 0.0 else 2**64 - 1 if value >= 2.0**64 else int(value)

def row_key(y):
    """y in millimetres, rounded half away from zero, saturated; NaN gives 0."""
    scaled = y * 1000.0
    if math.isnan(scaled) or abs(scaled) >= 2.0**63:
        return 0 if math.isnan(scaled) else 2**63 - 1 if scaled > 0 else -(2**63)
    whole = math.floor(abs(scaled)) + (abs(scaled) - math.floor(abs(scaled)) >= 0.5)
    return whole if scaled >= 0 else -whole

def aspect_ratio(box):
    w, h = box[1] - box[0], box[3] - box[2]
    return divide(nan_max(w, h), nan_min(w, h))

def nan_last(value):
    return (math.isnan(value), 0.0 if math.isnan(value) else value)

def bin_axis(lo, hi, target_bins):
    assert lo < hi, f"Invalid range: [{lo}, {hi}]"
    raw = (hi - lo) / target_bins
    mag = 10.0 ** float(math.floor(math.log10(raw)))
    factor = next((c for c in (1.0, 2.0, 5.0, 10.0) if raw <= c * mag), 10.0)
    step = factor * mag
    start = float(math.floor(lo / step)) * step
    return start, step, saturating_u64(float(math.ceil((hi - start) / step)))

def placed(points):
    return [p for p in points if not (math.isnan(p[0]) or math.isnan(p[1]))]

def line_chunks(points, size, buffer, axis, across):
    """Chunks of `size` along `axis` on the line at `across`, as (min_x, max_x, min_y, max_y)."""
    half = nan_max(2.0 * buffer, 0.1) / 2.0
    boxes = []
    ordered = sorted(placed(points), key=lambda p: nan_last(p[axis]))
    for chunk in (ordered[i:i + size] for i in range(0, len(ordered), size)):
        first, last = chunk[0][axis], chunk[-1][axis]
        length = nan_max(last - first + 2.0 * buffer, 0.1)
        centre = (first + last) / 2.0
        along = (centre - length / 2.0, centre + length / 2.0)
        boxes.append((*along, across - half, across + half) if axis == 0
                     else (across - half, across + half, *along))
    return boxes

@dataclass
class Strip:
    boxes: list = field(default_factory=list)
    count: int = 0
    cost: float = 1.0
    rows: bool = False  # made by the row fallback

@dataclass
class Plan:
    strips: list  # [(j, i, Strip)] in plan order; empty for the direct answers
    boxes: list
    num_patches: int
    cost: float
    from_grid: bool

def plan(positions, max_cameras=700, buffer=1.5, target_bins=100):
    """The plan for positions [(x, y)], or NoSolution."""
    positions = [(float(x), float(y)) for x, y in positions]
    if not positions:
        raise ValueError("Camera positions cannot be empty")
    n, b, m = len(positions), float(buffer), max_cameras

    min_x, max_x, min_y, max_y = INF, -INF, INF, -INF
    for x, y in positions:
        min_x, max_x, min_y, max_y = nan_min(min_x, x), nan_max(max_x, x), nan_min(min_y, y), nan_max(max_y, y)

    whole = (min_x - b, max_x + b, min_y - b, max_y + b)
    flat_x, flat_y = abs(max_x - min_x) < EPSILON, abs(max_y - min_y) < EPSILON
    if flat_x or flat_y:
        direct = [whole] if (flat_x and flat_y) or n <= m else \
            line_chunks(positions, m, b, 1, min_x) if flat_x else line_chunks(positions, m, b, 0, min_y)
        return Plan([], direct, len(direct), 1.0, False)

    ox, sx, X = bin_axis(min_x, max_x, float(target_bins))
    oy, sy, Y = bin_axis(min_y, max_y, float(target_bins))
    last_row = 0 if Y == 0 else Y - 1
    by_x = sorted(positions, key=lambda p: nan_last(p[0]))

    def strip_plan(j, i):
        x_start, x_end = ox + float(j) * sx, ox + float(i) * sx
        strip = [p for p in by_x if x_start <= p[0] and (p[0] <= x_end if i == X else p[0] < x_end)]
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
            y_low, y_high = oy + float(k) * sy - b, oy + float(e + 1) * sy + b
            return sum(1 for _, y in widened if y_low <= y <= y_high)

        result, k = Strip(), lo
        while k <= hi:
            accepted = hi if not widened else None
            if widened:
                for e in range(k, hi + 1):
                    if load(k, e) > m:
                        break
                    accepted = e
            if accepted is None:
                return row_fallback(strip)
            result.boxes.append((x_start - b, x_end + b, oy + float(k) * sy - b,
                                 oy + float(accepted + 1) * sy + b))
            k = accepted + 1
        return finish(result)

    def row_fallback(strip):
        rows = {}
        for p in placed(strip):
            rows.setdefault(row_key(p[1]), []).append(p)
        long_rows = [r for r in rows.values() if len(r) > m]
        dense = any(len(r) / nan_max(max(p[0] for p in r) - min(p[0] for p in r), 0.1) > 10.0
                    for r in long_rows)
        if not dense:
            return Strip(count=UNREACHABLE, cost=INF)
        result = Strip(rows=True)
        for key in sorted(rows):
            row, y0 = rows[key], rows[key][0][1]
            if len(row) <= m:
                xs = [p[0] for p in row]
                result.boxes.append((min(xs) - b, max(xs) + b, y0 - b, y0 + b))
            else:
                result.boxes.extend(line_chunks(row, m, b, 0, y0))
        return finish(result)

    def finish(result):
        result.count, result.cost = len(result.boxes), math.prod(map(aspect_ratio, result.boxes))
        return result

    states = [([], UNREACHABLE, INF) for _ in range(X)]  # (strips, num_patches, cost)
    for i in range(1, X + 1):
        for j in range(i):
            strip = strip_plan(j, i)
            before = ([], 0, 1.0) if j == 0 else states[j - 1]
            candidate = (before[0] + [(j, i, strip)], before[1] + strip.count, before[2] * strip.cost)
            _, count, cost = states[i - 1]
            if candidate[1] < count or (candidate[1] == count and cost > candidate[2]):
                states[i - 1] = candidate
    strips, count, cost = states[X - 1]
    if count >= UNREACHABLE:
        raise NoSolution(NO_SOLUTION)
    return Plan(strips, [box for _, _, s in strips for box in s.boxes], count, cost, True)

def rect(box):
    return (box.min_x, box.max_x, box.min_y, box.max_y)

def rects(boxes):
    return list(map(rect, boxes))
