"""Properties of the tools on generated inputs (hypothesis), most against a small independent
reference. LARKSPAN_PROPERTY_SCALE=N runs N times as many examples, for a longer hunt."""

import json
import math
import os
import struct
import tempfile
from contextlib import contextmanager
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import support.planner as planner_reference
from larkspan.splat import Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py, patches, split_ply
from support.cleanup_reference import reference_flags
from support.cloud_reference import reference_split as reference_split_ply
from support.colmap import (PARAM_COUNTS, Camera, Image, Point, at, camera_centre, files, model_bytes,
                            patch, points3d_bin, points_file, read_points_file, reference_split, split, write_model)
from support.ply import cloud_bytes, header_out, make_config, ply_header

INF = math.inf

def examples(n):
    return settings(max_examples=n * int(os.environ.get("LARKSPAN_PROPERTY_SCALE", "1")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.function_scoped_fixture])

@contextmanager
def scratch():
    with tempfile.TemporaryDirectory() as directory:
        yield Path(directory)

def plain(value):
    """Floats as their bits, so that structures compare -0.0 and NaN exactly."""
    if isinstance(value, float):
        return ("nan",) if math.isnan(value) else struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return {k: plain(v) for k, v in value.items()} if isinstance(value, dict) else value

f32s = st.floats(width=32)
finite = st.floats(allow_nan=False, allow_infinity=False)
lattice = st.integers(-8, 8).map(lambda k: k * 0.25)  # shared coordinates, records on edges
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=12)  # NUL included
names = st.text(st.characters(exclude_characters="\0", exclude_categories=("Cs",)), max_size=10)
TYPE_SIZES = {"uchar": 1, "int": 4, "float": 4, "double": 8}

@st.composite
def layouts(draw, fields):
    """The named fields among others of mixed sizes, in any order: (properties, offsets, record size)."""
    properties = [(draw(st.sampled_from(["float", "float", "double"])), name) for name in fields]
    others = draw(st.lists(st.sampled_from(sorted(TYPE_SIZES)), max_size=4))
    properties += [(t, f"extra_{k}") for k, t in enumerate(others)]
    properties, offsets, size = draw(st.permutations(properties)), {}, 0
    for type_name, name in properties:
        offsets[name], size = size, size + TYPE_SIZES[type_name]
    return properties, offsets, size

def records_with(draw, layout, values):
    """One record per dict of field values; every other byte is arbitrary."""
    properties, offsets, size = layout
    formats = {name: "<d" if type_name == "double" else "<f" for type_name, name in properties}
    out = []
    for fields in values:
        record = bytearray(draw(st.binary(min_size=size, max_size=size)))
        for name, value in fields.items():
            struct.pack_into(formats[name], record, offsets[name], value)
        out.append(bytes(record))
    return out

header_styles = st.fixed_dictionaries({
    "comments": st.lists(st.text("abc xyz_019", max_size=8), max_size=2),
    "newline": st.sampled_from(["\n", "\r\n"]), "count_form": st.sampled_from(["{}", "+{}", "0{}"])})

def header_of(layout, count, style, *, rewritten_from=None):
    form = style["count_form"] if rewritten_from in (None, count) else "{}"
    return ply_header(count, layout[0], count_text=form.format(count), comments=style["comments"],
                      newline=style["newline"])

def cell_header(layout, style, count):
    return header_out([ln.strip() for ln in header_of(layout, 0, style).decode().splitlines()], count)

def write_splats(path, layout, records, style):
    path.write_bytes(header_of(layout, len(records), style) + b"".join(records))
    return path

def merge(directory, paths):
    merge_ply_files_py(json.dumps({"input_files": [str(p) for p in paths],
                                   "output_file": str(directory / "merged.ply")}))
    return directory / "merged.ply"

@examples(40)
@given(st.data(), layouts(("x", "y", "z")), st.lists(st.integers(0, 6), min_size=1, max_size=4))
def test_merge_is_the_first_header_with_the_total_then_every_body(data, layout, counts):
    # Comments, line ends and how the count is written may differ from file to file.
    styles = [data.draw(header_styles) for _ in counts]
    records = [records_with(data.draw, layout, [{}] * n) for n in counts]
    with scratch() as d:
        paths = [write_splats(d / f"in_{i}.ply", layout, rs, s) for i, (rs, s) in enumerate(zip(records, styles))]
        merged = merge(d, paths).read_bytes()
    assert merged == header_of(layout, sum(counts), styles[0], rewritten_from=counts[0]) + b"".join(sum(records, []))

SPLAT_FIELDS = ("x", "y", "z", "scale_0", "scale_1", "scale_2")
point_coordinates = st.one_of(lattice, st.floats(-4, 4), st.floats())

@st.composite
def cleanup_cases(draw):
    layout = draw(layouts(SPLAT_FIELDS))
    splat = st.fixed_dictionaries({**{c: st.one_of(lattice, f32s) for c in SPLAT_FIELDS[:3]},
                                   **{s: st.one_of(st.floats(-3, 1, width=32), f32s) for s in SPLAT_FIELDS[3:]}})
    values = draw(st.lists(splat, max_size=30))
    bound = st.one_of(st.none(), lattice, st.floats(-10, 10), finite)
    config = {name: draw(bound) for name in ("min_x", "max_x", "min_y", "max_y", "min_z", "max_z")}
    config["max_area"] = draw(st.one_of(st.sampled_from([3.0, 6.0, 1e9]), finite))
    points = draw(st.one_of(st.none(), st.lists(st.tuples(*[point_coordinates] * 3), max_size=30)))
    if points is not None:
        config["radius"] = draw(st.one_of(st.sampled_from([0.25, 0.5, -0.5, 1.0]), finite.filter(bool)))
        config["min_neighbors"] = draw(st.integers(0, 4))
    return layout, records_with(draw, layout, values), values, points, config

@examples(60)
@given(cleanup_cases(), header_styles)
def test_cleanup_kept_and_discarded_divide_the_input(case, style):
    # Both outputs are the input's header with their count and the records the reference keep test gives them,
    # in input order; merged, they give the input back.
    layout, records, values, points, config = case
    with scratch() as d:
        document = dict(config, input_file=str(write_splats(d / "in.ply", layout, records, style)),
                        output_file=str(d / "kept.ply"), discarded_file=str(d / "gone.ply"))
        if points is not None:
            (d / "points3D.bin").write_bytes(points3d_bin(points))
            document["colmap_points_file"] = str(d / "points3D.bin")
        cleanup_splats(json.dumps(document))
        kept_file, gone_file = (d / "kept.ply").read_bytes(), (d / "gone.ply").read_bytes()
        merged = merge(d, [d / "kept.ply", d / "gone.ply"]).read_bytes()
    rows = [(v["x"], v["y"], v["z"], *[0.0] * 7, v["scale_0"], v["scale_1"], v["scale_2"]) for v in values]
    rules = dict(config, radius=config.get("radius", 0.1),
                 min_neighbors=config.get("min_neighbors", 10) if points is not None else 0)
    flags = reference_flags(rows, points or [], rules)
    kept, gone = ([r for r, keep in zip(records, flags) if bool(keep) == side] for side in (True, False))
    assert kept_file == header_of(layout, len(kept), style, rewritten_from=len(records)) + b"".join(kept)
    assert gone_file == header_of(layout, len(gone), style, rewritten_from=len(records)) + b"".join(gone)
    assert merged == header_of(layout, len(records), style, rewritten_from=len(kept)) + b"".join(kept + gone)

POINT_IDS = [0, 1, 2, 3, 7, 2**32, 2**40 + 1, 2**63 - 1, 2**63, 2**64 - 2]
u64s = st.integers(0, 2**64 - 1)

@st.composite
def noisy_models(draw):
    """A small model on the lattice with every camera model, repeated ids, keypoints naming missing
    points, observations missing from tracks, tracks naming missing images or keypoints, point
    ids past 2^63, NaN heights, any rotation."""
    cameras = []
    for _ in range(draw(st.integers(1, 4))):
        model = draw(st.integers(0, len(PARAM_COUNTS) - 1))
        params = draw(st.lists(finite, min_size=PARAM_COUNTS[model], max_size=PARAM_COUNTS[model]))
        camera_id = draw(st.sampled_from([0, 1, 2, 2**32 - 1]))
        cameras.append(Camera(camera_id, model, draw(u64s), draw(u64s), tuple(params)))
    points = [Point(draw(st.sampled_from(POINT_IDS)),
                    (draw(lattice), draw(lattice), draw(st.one_of(lattice, st.just(math.nan)))),
                    draw(st.tuples(*[st.integers(0, 255)] * 3)), draw(finite))
              for _ in range(draw(st.integers(0, 10)))]
    seen = st.sampled_from(sorted({(p.point3d_id + 2**63) % 2**64 - 2**63 for p in points}) + [-1, 12345])
    images = []
    for _ in range(draw(st.integers(0, 6))):
        centre = (draw(lattice), draw(lattice), draw(st.sampled_from([0.0, 1.0, 2.0, 3.0])))
        image = Image(draw(st.sampled_from([0, 1, 2, 3, 2**32 - 1])), at(*centre),
                      camera_id=draw(st.sampled_from([c.camera_id for c in cameras])), name=draw(names).encode())
        if draw(st.booleans()):  # any rotation, which moves the centre off the lattice
            image.qvec = draw(st.tuples(*[st.floats(-1, 1)] * 4))
        image.points2d = [(draw(finite), draw(finite), draw(seen)) for _ in range(draw(st.integers(0, 5)))]
        images.append(image)
    for im in images:
        for k, (_, _, point_id) in enumerate(im.points2d):
            for p in points:
                if p.point3d_id == point_id % 2**64 and draw(st.integers(0, 5)):
                    p.track.append((im.image_id, k))
    for p in points:
        p.track += draw(st.lists(st.tuples(st.sampled_from([0, 1, 9]), st.integers(0, 6)), max_size=2))
        p.track = draw(st.permutations(p.track))
    return cameras, images, points

@examples(60)
@given(st.data(), noisy_models(), st.integers(0, 5))
def test_every_colmap_patch_holds_what_the_rules_select(data, model, patch_count):
    # Any patches (edges on centres and points, overlapping, reversed, one over everything).
    cameras, images, points = model
    values = [v for im in images for v in camera_centre(im)] + [v for p in points for v in p.xyz if math.isfinite(v)]
    edge = st.one_of(lattice, st.sampled_from(values)) if values else lattice
    boxes = [(-1e308, -1e308, 1e308, 1e308)] + [tuple(data.draw(edge) for _ in range(4)) for _ in range(patch_count)]
    with scratch() as d:
        counts = split(write_model(d / "in", *model), [patch(d / f"p{j}", *b) for j, b in enumerate(boxes)],
                       -2.0, 2.0)
        loaded = [{c.camera_id: c for c in cameras}, {im.image_id: im for im in images},
                  {p.point3d_id: p for p in points}]
        totals = [0, 0, 0]
        for j, box in enumerate(boxes):
            expected = reference_split(*loaded, (*box, -2.0, 2.0))
            assert files(d / f"p{j}") == model_bytes(*expected), box
            totals = [t + len(e) for t, e in zip(totals, expected)]
    assert list(counts.values()) == [len(m) for m in loaded] + [len(boxes)] + totals

BOUNDS = ("min_x", "min_y", "max_x", "max_y")

def config_fields(c):
    return (c.input_file, c.sample_percentage, c.min_z, c.max_z,
            [(p.output_file, p.min_x, p.min_y, p.max_x, p.max_y) for p in c.patches])

def fields_read(input_file, sample, min_z, max_z, patch_list, read):
    """The fields a Config reads from these values, `read(value, default)` deciding each number."""
    return (input_file, read(sample, 100.0), read(min_z, -INF), read(max_z, INF),
            [(out, read(x0, -INF), read(y0, -INF), read(x1, INF), read(y1, INF))
             for out, x0, y0, x1, y1 in patch_list])

@examples(100)
@given(texts, *[st.floats()] * 3, st.lists(st.tuples(texts, *[st.floats()] * 4), max_size=4))
def test_config_json_round_trip(input_file, sample, min_z, max_z, patch_list):
    # Paths exactly (NUL included), finite numbers to the bit; a non-finite number is written as null and a
    # bound read back as its side's infinite default, so to_json is stable. A null sample_percentage is refused.
    c = Config(input_file)
    c.sample_percentage, c.min_z, c.max_z = sample, min_z, max_z
    c.patches = [Patch.with_bounds(out, *b) for out, *b in patch_list]
    assert plain(config_fields(c)) == plain((input_file, sample, min_z, max_z, patch_list))
    text = c.to_json()

    def null(v):
        return v if math.isfinite(v) else None
    assert plain(json.loads(text)) == plain({
        "input_file": input_file, "sample_percentage": null(sample), "minZ": null(min_z), "maxZ": null(max_z),
        "patches": [dict(zip(BOUNDS, map(null, b)), output_file=out) for out, *b in patch_list]})
    if not math.isfinite(sample):
        with pytest.raises(ValueError, match=r"^JSON parse error: invalid type: null, "
                                             r"expected f64 at line 3 column 27$"):
            Config.from_json(text)
        return
    again = Config.from_json(text)
    assert plain(config_fields(again)) == plain(fields_read(input_file, sample, min_z, max_z, patch_list,
                                                            lambda v, default: v if math.isfinite(v) else default))
    assert again.to_json() == text

maybe_finite = st.one_of(st.none(), finite)

@examples(60)
@given(st.data(), texts, maybe_finite, maybe_finite, maybe_finite,
       st.lists(st.tuples(texts, *[maybe_finite] * 4), max_size=3), st.booleans())
def test_config_documents_of_another_writer_read_as_their_values(data, input_file, sample, min_z, max_z,
                                                                 patch_list, ascii_only):
    # Keys in any order, unknown keys ("min_z" is not "minZ"), records as arrays, keys left out (None), integral
    # numbers as integers of any size, \u escapes or raw UTF-8: each field reads back as written or its default.
    def number(v):
        return int(v) if v is not None and v.is_integer() and data.draw(st.booleans()) else v

    sample, min_z, max_z = map(number, (sample, min_z, max_z))
    patch_list = [(out, *map(number, b)) for out, *b in patch_list]

    def record(pairs):
        present = [(k, v) for k, v in pairs if v is not None]
        if len(present) == len(pairs) and data.draw(st.booleans()):
            return [v for _, v in present]
        unknown = data.draw(st.lists(st.tuples(st.sampled_from(["min_z", "note", "Min_x", ""]),
                                               st.one_of(st.integers(), texts, st.lists(st.none(), max_size=2))),
                                     max_size=2, unique_by=lambda kv: kv[0]))
        return dict(data.draw(st.permutations(present + unknown)))

    document = record([("input_file", input_file), ("sample_percentage", sample), ("minZ", min_z), ("maxZ", max_z),
                       ("patches", [record([*zip(BOUNDS, b), ("output_file", out)]) for out, *b in patch_list])])
    c = Config.from_json(json.dumps(document, ensure_ascii=ascii_only))
    assert plain(config_fields(c)) == plain(fields_read(input_file, sample, min_z, max_z, patch_list,
                                                        lambda v, default: default if v is None else float(v)))

def drawn_rectangles(data, values, count):
    bound = st.one_of(lattice, st.floats(), *([st.sampled_from(values)] if values else []))
    return [tuple(data.draw(bound) for _ in range(4)) for _ in range(count)]

@examples(60)
@given(st.data(), st.lists(st.tuples(*[st.one_of(lattice, f32s)] * 3, *[st.integers(0, 255)] * 3), max_size=40),
       st.integers(0, 8), st.floats(), st.floats(),
       st.one_of(st.just(100.0), st.sampled_from([0.0, 50.0]), st.floats()))
def test_split_ply_writes_each_kept_point_to_exactly_the_patches_holding_it(data, points, count, min_z,
                                                                            max_z, percentage):
    # Sampling draws once per point, not per patch: a patch over the whole plane receives the kept points in
    # input order, every other one those inside it. At 100% or more all are kept; at 0, below or NaN none.
    rectangles = [(-INF, -INF, INF, INF)] + drawn_rectangles(data, [v for p in points for v in p[:2]], count)
    with scratch() as d:
        (d / "cloud.ply").write_bytes(cloud_bytes(points))
        counts = split_ply(make_config(d / "cloud.ply", rectangles, d, min_z=min_z, max_z=max_z,
                                       sample_percentage=percentage))
        got = [(d / f"p{j}.bin").read_bytes() if (d / f"p{j}.bin").exists() else None for j in range(len(rectangles))]
    candidates, expected = reference_split_ply(points, rectangles, min_z, max_z)
    kept = [r[1:7] for r in read_points_file(got[0])] if got[0] else []
    remaining = iter(plain(candidates))
    assert all(p in remaining for p in plain(kept)), "not a subsequence of the input"
    assert not percentage >= 100 or (got == expected and counts["points_loaded"] == len(candidates))
    assert percentage > 0 or kept == []
    assert counts["points_loaded"] == len(kept) or any(not math.isfinite(v) for p in points for v in p[:2])
    assert counts["patches_written"] == len(rectangles)
    assert counts["total_points_written"] == sum(len(read_points_file(f)) for f in got if f is not None)
    for (x0, y0, x1, y1), file in zip(rectangles, got):
        inside = [p for p in kept if x0 <= p[0] < x1 and y0 <= p[1] < y1]
        assert file == (points_file(inside) if inside else None)

@examples(60)
@given(st.data(), layouts(("x", "y", "z")), st.lists(st.tuples(*[st.one_of(lattice, f32s)] * 2), max_size=30),
       st.integers(0, 8), header_styles)
def test_ortho_cells_hold_exactly_the_splats_inside_them_and_merge_back(data, layout, points, count, style):
    # Bounds inclusive: a splat on an edge shared by k cells is written k times.
    cells = [(x0, x1, y0, y1) for x0, y0, x1, y1 in drawn_rectangles(data, [v for p in points for v in p], count)]
    records = records_with(data.draw, layout, [{"x": x, "y": y, "z": float(k)} for k, (x, y) in enumerate(points)])
    inside = [[r for r, (x, y) in zip(records, points) if c[0] <= x <= c[1] and c[2] <= y <= c[3]] for c in cells]
    with scratch() as d:
        paths = [d / f"cell_{i}.ply" for i in range(len(cells))]
        OrthoCells(str(write_splats(d / "in.ply", layout, records, style))).extract_all_cells(
            [(*c, str(p)) for c, p in zip(cells, paths)])
        assert [p.read_bytes() if p.exists() else None for p in paths] == \
            [cell_header(layout, style, len(rs)) + b"".join(rs) if rs else None for rs in inside]
        if any(inside):
            merged = merge(d, [p for p in paths if p.exists()]).read_bytes()
            assert merged == cell_header(layout, style, sum(map(len, inside))) + b"".join(sum(inside, []))

planner_coordinates = st.one_of(st.integers(0, 24).map(lambda k: k * 0.5), st.floats(0, 12), st.just(math.nan))

@st.composite
def camera_layouts(draw):
    """Cameras anywhere, on one vertical or horizontal line, or in dense rows with strays."""
    positions = draw(st.lists(st.tuples(planner_coordinates, planner_coordinates), min_size=1, max_size=80))
    line = draw(st.sampled_from([None, None, 0, 1, "rows"]))
    if line == "rows":
        ys = draw(st.lists(planner_coordinates, min_size=1, max_size=3))
        positions += [(k * 0.03125, draw(st.sampled_from(ys))) for k in range(draw(st.integers(0, 60)))]
    elif line is not None:
        c = draw(planner_coordinates.filter(lambda v: not math.isnan(v)))
        positions = [tuple(c if axis == line and not math.isnan(v) else v for axis, v in enumerate(p))
                     for p in positions]
    return positions

def holds(box, x, y):
    return box[0] <= x <= box[1] and box[2] <= y <= box[3]

@examples(150)
@given(camera_layouts(), st.one_of(st.integers(1, 12), st.sampled_from([25, 60, 200])),
       st.one_of(st.sampled_from([0.0, 0.25, 1.5]), st.floats(0, 3)), st.integers(1, 14))
def test_planner_is_the_straightforward_one_and_covers_every_camera_within_the_limit(
        capfd, positions, max_cameras, buffer, target_bins):
    # The plan and summary line are the straightforward planner's. A patch stacked on the grid holds at most
    # max_cameras cameras (edges included). With a buffer every camera without a NaN coordinate lies in some
    # patch (without one, rounding may leave a camera on an edge an ulp outside).
    assume(any(not math.isnan(x) for x, _ in positions) and any(not math.isnan(y) for _, y in positions))
    capfd.readouterr()
    try:
        expected = planner_reference.plan(positions, max_cameras, buffer, target_bins)
    except planner_reference.NoSolution:
        with pytest.raises(ValueError, match=f"^{planner_reference.NO_SOLUTION}$"):
            patches(positions, max_cameras, buffer, target_bins)
        assert capfd.readouterr().out == ""
        return
    boxes = planner_reference.rects(patches(positions, max_cameras, buffer, target_bins))
    cost = f"{expected.cost:.2f}".replace("nan", "NaN")
    assert capfd.readouterr().out == \
        (f"\u2705 Created {expected.num_patches} patches (aspect cost: {cost})\n" if expected.from_grid else "")
    assert plain(boxes) == plain(expected.boxes)
    for box in [b for _, _, strip in expected.strips if not strip.rows for b in strip.boxes]:
        assert sum(holds(box, x, y) for x, y in positions) <= max_cameras
    for x, y in positions:
        assert buffer < 0.25 or math.isnan(x) or math.isnan(y) or any(holds(b, x, y) for b in boxes), (x, y)
