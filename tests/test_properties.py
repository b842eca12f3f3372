"""Properties of the tools on generated inputs (hypothesis), through the
Python surface: cutting into cells and merging keeps every record, cleanup
divides its input, a COLMAP split of everything reproduces the model, the
Config JSON form carries what it can, the cell and patch indexes change no
comparison, and the planner's patches cover the cameras within the limit.

Each property runs a modest number of examples; LARKSPAN_PROPERTY_SCALE=N
runs N times as many, for a longer hunt.
"""

import json
import math
import os
import re
import shutil
import struct
import tempfile
from collections import Counter
from contextlib import contextmanager
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import support.planner as planner_reference
from support.colmap import PARAM_COUNTS, Camera, Image, Point, at, camera_centre, reference_split, \
    write_model
from support.ply import ply_header
from support.cleanup_reference import reference_flags
from support.colmap import points3d_bin
from support.ply import header_out
from support.planner import NO_SOLUTION, rects
from support.colmap import files as model_files
from support.colmap import model_bytes, parse_model
from support.ply import cloud_bytes, make_config
from support.colmap import points_file, read_points_file
from support.cloud_reference import reference_split as reference_split_ply
from larkspan.splat import Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py, \
    patches, split_cameras_json, split_ply

INF = math.inf


def examples(n):
    """n examples (times LARKSPAN_PROPERTY_SCALE); no per-example deadline
    on shared cores."""
    return settings(max_examples=n * int(os.environ.get("LARKSPAN_PROPERTY_SCALE", "1")),
                    deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """A fresh directory per example: a function-scoped tmp_path would be
    shared by all examples of a test."""
    base = tmp_path_factory.mktemp("properties")

    @contextmanager
    def fresh():
        directory = Path(tempfile.mkdtemp(dir=base))
        try:
            yield directory
        finally:
            shutil.rmtree(directory)

    return fresh


def plain(value):
    """Floats as their bits, so that structures compare -0.0 and NaN exactly."""
    if isinstance(value, float):
        return ("nan",) if math.isnan(value) else ("float", struct.pack("<d", value))
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value


# ---- strategies shared by the properties ----

f32s = st.floats(width=32)
finite = st.floats(allow_nan=False, allow_infinity=False)
# Few distinct values, so records share coordinates and lie on edges.
lattice = st.integers(-8, 8).map(lambda k: k * 0.25)
planar = st.one_of(lattice, st.floats(-100, 100, width=32),
                   st.floats(width=32, allow_nan=False, allow_infinity=False))
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=12)  # NUL included
names = st.text(st.characters(exclude_characters="\0", exclude_categories=("Cs",)), max_size=10)


# ---- PLY files with generated layouts, records and headers ----

# Types whose byte size every reader agrees on.
TYPE_SIZES = {"uchar": 1, "int": 4, "float": 4, "double": 8}


@st.composite
def layouts(draw, fields):
    """Vertex properties: the named fields among others of mixed sizes, in any
    order. Returns (properties, offsets by name, record size)."""
    others = draw(st.lists(st.sampled_from(sorted(TYPE_SIZES)), max_size=4))
    properties = [(draw(st.sampled_from(["float", "float", "double"])), name) for name in fields]
    properties += [(t, f"extra_{k}") for k, t in enumerate(others)]
    properties = draw(st.permutations(properties))
    offsets, size = {}, 0
    for type_name, name in properties:
        offsets[name] = size
        size += TYPE_SIZES[type_name]
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
    "newline": st.sampled_from(["\n", "\r\n"]),
    "count_form": st.sampled_from(["{}", "+{}", "0{}"]),  # how the count is written
})


def header_of(layout, count, style, *, rewritten_from=None):
    """The header of `count` records in `style`. A count rewritten from
    another value is stated plainly; rewriting it to its own value changes
    nothing."""
    form = style["count_form"] if rewritten_from in (None, count) else "{}"
    return ply_header(count, layout[0], count_text=form.format(count),
                      comments=style["comments"], newline=style["newline"])


def trimmed_header_lines(layout, style):
    """The source header's lines as OrthoCells keeps them."""
    return [line.strip() for line in header_of(layout, 0, style).decode().splitlines()]


def write_splats(path, layout, records, style):
    path.write_bytes(header_of(layout, len(records), style) + b"".join(records))
    return path


def read_ply(path, record_size):
    """(header, records) of a PLY file, whose count must match its body."""
    data = path.read_bytes()
    end = re.search(rb"^end_header\r?\n", data, re.M).end()
    header, body = data[:end], data[end:]
    count = int(re.search(rb"^element vertex (\+?\d+)\r?$", header, re.M).group(1))
    assert len(body) == count * record_size, "header count disagrees with the body"
    return header, [body[i:i + record_size] for i in range(0, len(body), record_size)]


def inside_cell(cell, x, y):
    """OrthoCells' rule: (min_x, max_x, min_y, max_y), every bound inclusive."""
    min_x, max_x, min_y, max_y = cell[:4]
    return min_x <= x <= max_x and min_y <= y <= max_y


def extract(source, cells, directory):
    paths = [directory / f"cell_{i}.ply" for i in range(len(cells))]
    OrthoCells(str(source)).extract_all_cells([(*c, str(p)) for c, p in zip(cells, paths)])
    return paths


# ---- split into cells, then merge ----

@st.composite
def partitioned_splats(draw):
    """Splats and a tiling of their bounding rectangle by guillotine cuts;
    about half the cuts run through a splat, so splats lie on shared edges
    and corners, and some cells have no width."""
    layout = draw(layouts(("x", "y", "z")))
    points = draw(st.lists(st.tuples(planar, planar), min_size=1, max_size=30))
    records = records_with(draw, layout, [{"x": x, "y": y, "z": float(k)}
                                          for k, (x, y) in enumerate(points)])
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    cells = [(min(xs), max(xs), min(ys), max(ys))]
    for _ in range(draw(st.integers(0, 10))):
        min_x, max_x, min_y, max_y = cells.pop(draw(st.integers(0, len(cells) - 1)))
        axis = draw(st.sampled_from("xy"))
        lo, hi = (min_x, max_x) if axis == "x" else (min_y, max_y)
        through = [v for v in (xs if axis == "x" else ys) if lo <= v <= hi]
        if through and draw(st.booleans()):
            cut = draw(st.sampled_from(through))
        else:
            cut = min(max(lo + draw(st.floats(0, 1)) * (hi - lo), lo), hi)
        cells += [(min_x, cut, min_y, max_y), (cut, max_x, min_y, max_y)] if axis == "x" else \
                 [(min_x, max_x, min_y, cut), (min_x, max_x, cut, max_y)]
    return layout, records, points, draw(st.permutations(cells))


class TestSplitAndJoin:
    @examples(50)
    @given(partitioned_splats(), header_styles)
    def test_cells_of_a_partition_merge_back_to_the_input(self, scratch, scene, style):
        # Every splat lies in at least one cell. One on an edge shared by k
        # cells is written k times, so the merge holds the input's records,
        # each as often as cells hold it (once, off the edges), under the
        # cells' header with the total count.
        layout, records, points, cells = scene
        holders = [sum(inside_cell(c, x, y) for c in cells) for x, y in points]
        assert min(holders) >= 1
        with scratch() as d:
            paths = extract(write_splats(d / "in.ply", layout, records, style), cells, d)
            written = [p for p in paths if p.exists()]
            assert written == [p for c, p in zip(cells, paths)
                               if any(inside_cell(c, x, y) for x, y in points)]
            merge_ply_files_py(json.dumps({"input_files": [str(p) for p in written],
                                           "output_file": str(d / "merged.ply")}))
            header, merged = read_ply(d / "merged.ply", layout[2])
        expected = Counter()
        for record, k in zip(records, holders):
            expected[record] += k
        assert Counter(merged) == expected
        assert header == header_out(trimmed_header_lines(layout, style), sum(holders))

    @examples(40)
    @given(st.data(), layouts(("x", "y", "z")), st.lists(st.integers(0, 6), min_size=1, max_size=4))
    def test_merge_joins_files_of_one_layout_whatever_their_headers_say_besides(
            self, scratch, data, layout, counts):
        # Comments, line ends and the way the count is written may differ
        # from file to file: the merge is the first header with the total
        # count, then every body in order.
        styles = [data.draw(header_styles) for _ in counts]
        bodies = [b"".join(records_with(data.draw, layout, [{}] * n)) for n in counts]
        with scratch() as d:
            paths = [d / f"in_{i}.ply" for i in range(len(counts))]
            for path, n, style, body in zip(paths, counts, styles, bodies):
                path.write_bytes(header_of(layout, n, style) + body)
            merge_ply_files_py(json.dumps({"input_files": [str(p) for p in paths],
                                           "output_file": str(d / "merged.ply")}))
            merged = (d / "merged.ply").read_bytes()
        assert merged == header_of(layout, sum(counts), styles[0], rewritten_from=counts[0]) + \
            b"".join(bodies)


# ---- cleanup divides its input ----

SPLAT_FIELDS = ("x", "y", "z", "scale_0", "scale_1", "scale_2")
box_bounds = st.one_of(st.none(), lattice, st.floats(-10, 10), finite)
point_coordinates = st.one_of(lattice, st.floats(-4, 4), st.floats())


@st.composite
def cleanup_cases(draw):
    """Splats with any coordinates and scales (NaN and infinities too), any
    subset of the six box bounds, and optionally COLMAP points (NaN,
    infinite and huge among them) with any non-zero radius."""
    layout = draw(layouts(SPLAT_FIELDS))
    splat = st.fixed_dictionaries({
        **{c: st.one_of(lattice, f32s) for c in SPLAT_FIELDS[:3]},
        **{s: st.one_of(st.floats(-3, 1, width=32), f32s) for s in SPLAT_FIELDS[3:]}})
    values = draw(st.lists(splat, max_size=30))
    config = {name: draw(box_bounds)
              for name in ("min_x", "max_x", "min_y", "max_y", "min_z", "max_z")}
    config["max_area"] = draw(st.one_of(st.sampled_from([3.0, 6.0, 1e9]), finite))
    points = draw(st.one_of(st.none(), st.lists(st.tuples(*[point_coordinates] * 3), max_size=30)))
    if points is not None:
        config["radius"] = draw(st.one_of(st.sampled_from([0.25, 0.5, -0.5, 1.0]),
                                          finite.filter(lambda r: r != 0)))
        config["min_neighbors"] = draw(st.integers(0, 4))
    return layout, records_with(draw, layout, values), values, points, config


class TestCleanupPartition:
    @examples(60)
    @given(cleanup_cases(), header_styles)
    def test_kept_and_discarded_divide_the_input(self, scratch, case, style):
        # Both outputs carry the input's header with their own count; each
        # input record is in exactly one of them, both keep input order, and
        # which one agrees with an independent keep test. Merged again, the
        # two give the input's header and records.
        layout, records, values, points, config = case
        with scratch() as d:
            source = write_splats(d / "in.ply", layout, records, style)
            document = dict(config, input_file=str(source), output_file=str(d / "kept.ply"),
                            discarded_file=str(d / "gone.ply"))
            if points is not None:
                (d / "points3D.bin").write_bytes(points3d_bin(points))
                document["colmap_points_file"] = str(d / "points3D.bin")
            cleanup_splats(json.dumps(document))
            kept_header, kept = read_ply(d / "kept.ply", layout[2])
            gone_header, gone = read_ply(d / "gone.ply", layout[2])
            outputs = [str(d / "kept.ply"), str(d / "gone.ply")]
            merge_ply_files_py(json.dumps({"input_files": outputs,
                                           "output_file": str(d / "merged.ply")}))
            merged = (d / "merged.ply").read_bytes()

        assert kept_header == header_of(layout, len(kept), style, rewritten_from=len(records))
        assert gone_header == header_of(layout, len(gone), style, rewritten_from=len(records))
        assert Counter(kept) + Counter(gone) == Counter(records)
        rows = [(v["x"], v["y"], v["z"], *[0.0] * 7, v["scale_0"], v["scale_1"], v["scale_2"])
                for v in values]
        rules = dict(config, radius=config.get("radius", 0.1),
                     min_neighbors=config.get("min_neighbors", 10) if points is not None else 0)
        flags = reference_flags(rows, points or [], rules)
        assert kept == [r for r, keep in zip(records, flags) if keep]
        assert gone == [r for r, keep in zip(records, flags) if not keep]
        assert merged == header_of(layout, len(records), style, rewritten_from=len(kept)) + \
            b"".join(kept + gone)


# ---- COLMAP splits ----

u32s = st.integers(0, 2**32 - 1)
u64s = st.integers(0, 2**64 - 1)


@st.composite
def consistent_models(draw):
    """Every keypoint names an existing point or -1, and every track lists
    exactly the keypoints that name its point, in any order. Cameras may go
    unused and points unobserved."""
    cameras = []
    for camera_id in draw(st.lists(u32s, min_size=1, max_size=4, unique=True)):
        model = draw(st.integers(0, len(PARAM_COUNTS) - 1))
        params = tuple(draw(st.lists(finite, min_size=PARAM_COUNTS[model],
                                     max_size=PARAM_COUNTS[model])))
        cameras.append(Camera(camera_id, model, draw(u64s), draw(u64s), params))
    # Ids below 2^63: a keypoint stores the id it sees signed.
    points = [Point(point_id, draw(st.tuples(*[st.floats(-1e300, 1e300)] * 3)),
                    draw(st.tuples(*[st.integers(0, 255)] * 3)), draw(finite))
              for point_id in draw(st.lists(st.integers(0, 2**63 - 1), max_size=12, unique=True))]
    by_id = {p.point3d_id: p for p in points}
    images = []
    for image_id in draw(st.lists(u32s, max_size=6, unique=True)):
        image = Image(image_id, draw(st.tuples(*[st.floats(-1e6, 1e6)] * 3)),
                      draw(st.tuples(*[st.floats(-1, 1)] * 4)),
                      draw(st.sampled_from([c.camera_id for c in cameras])),
                      draw(names).encode())
        seen = st.sampled_from(sorted(by_id) + [-1]) if by_id else st.just(-1)
        image.points2d = draw(st.lists(st.tuples(finite, finite, seen), max_size=8))
        for k, (_, _, point_id) in enumerate(image.points2d):
            if point_id != -1:
                by_id[point_id].track.append((image_id, k))
        images.append(image)
    for p in points:
        p.track = draw(st.permutations(p.track))
    return cameras, images, points


POINT_IDS = [0, 1, 2, 3, 7, 2**32, 2**40 + 1, 2**63 - 1, 2**63, 2**64 - 2]


def signed(point_id):
    return point_id - 2**64 if point_id >= 2**63 else point_id


@st.composite
def noisy_models(draw):
    """A small model on the lattice with the faults a model from elsewhere may
    have: repeated ids (the later record wins), keypoints naming missing
    points, observations missing from tracks, tracks naming missing images
    or keypoints, point ids past 2^63, NaN heights."""
    cameras = [Camera(draw(st.sampled_from([0, 1, 2, 2**32 - 1])), 0, 640, 480,
                      (draw(finite), 320.0, 240.0)) for _ in range(draw(st.integers(1, 4)))]
    points = [Point(draw(st.sampled_from(POINT_IDS)),
                    (draw(lattice), draw(lattice), draw(st.one_of(lattice, st.just(math.nan)))),
                    error=0.5) for _ in range(draw(st.integers(0, 10)))]
    seen = st.sampled_from(sorted({signed(p.point3d_id) for p in points}) + [-1, 12345])
    images = []
    for _ in range(draw(st.integers(0, 6))):
        centre = (draw(lattice), draw(lattice), draw(st.sampled_from([0.0, 1.0, 2.0, 3.0])))
        image = Image(draw(st.sampled_from([0, 1, 2, 3, 2**32 - 1])), at(*centre),
                      camera_id=draw(st.sampled_from([c.camera_id for c in cameras])),
                      name=draw(names).encode())
        if draw(st.booleans()):  # any rotation, which moves the centre off the lattice
            image.qvec = draw(st.tuples(*[st.floats(-1, 1)] * 4))
        image.points2d = [(0.5, 0.5, draw(seen)) for _ in range(draw(st.integers(0, 5)))]
        images.append(image)
    for im in images:
        for k, (_, _, point_id) in enumerate(im.points2d):
            for p in points:
                if signed(p.point3d_id) == point_id and draw(st.integers(0, 5)):
                    p.track.append((im.image_id, k))
    for p in points:
        p.track += draw(st.lists(st.tuples(st.sampled_from([0, 1, 9]), st.integers(0, 6)),
                                 max_size=2))
        p.track = draw(st.permutations(p.track))
    return cameras, images, points


def split(directory, model, boxes, min_z, max_z):
    """Writes the model, splits it into one patch per (min_x, min_y, max_x,
    max_y) box, and returns the counts."""
    write_model(directory / "in", *model)
    return split_cameras_json(json.dumps({
        "input_path": str(directory / "in"), "min_z": min_z, "max_z": max_z,
        "save_points3d": True,
        "patches": [{"min_x": b[0], "min_y": b[1], "max_x": b[2], "max_y": b[3],
                     "output_path": str(directory / f"p{j}")} for j, b in enumerate(boxes)]}))


class TestColmapSplit:
    @examples(40)
    @given(consistent_models())
    def test_one_patch_over_everything_reproduces_the_model(self, scratch, model):
        # A patch drops only what a patch model cannot refer to: cameras no
        # image uses, keypoints that see no point, points no keypoint sees.
        # The rest comes back with the point ids renumbered 1..N one to one,
        # keypoint indices closed up, tracks sorted and point errors -1.
        cameras, images, points = model
        with scratch() as d:
            counts = split(d, model, [(-1e308, -1e308, 1e308, 1e308)], -1e308, 1e308)
            out_cameras, out_images, out_points = parse_model(d / "p0")

        used = {im.camera_id for im in images}
        assert out_cameras == {c.camera_id: c for c in cameras if c.camera_id in used}
        assert sorted(out_images) == sorted(im.image_id for im in images)
        renumbered, new_index = {}, {}
        for im in images:
            got = out_images[im.image_id]
            assert plain((got.tvec, got.qvec, got.camera_id, got.name)) == \
                plain((im.tvec, im.qvec, im.camera_id, im.name))
            seeing = [(k, kp) for k, kp in enumerate(im.points2d) if kp[2] != -1]
            assert [kp[:2] for kp in got.points2d] == [kp[:2] for _, kp in seeing]
            for n, ((k, (_, _, old)), (_, _, new)) in enumerate(zip(seeing, got.points2d)):
                assert renumbered.setdefault(old, new) == new, "one point, two new ids"
                new_index[im.image_id, k] = n

        observed = {p.point3d_id for p in points if p.track}
        assert set(renumbered) == observed
        assert sorted(renumbered.values()) == sorted(out_points) == \
            list(range(1, len(observed) + 1))
        for p in points:
            if p.point3d_id in observed:
                got = out_points[renumbered[p.point3d_id]]
                assert (got.xyz, got.rgb, got.error) == (p.xyz, p.rgb, -1.0)
                assert got.track == sorted((i, new_index[i, k]) for i, k in p.track)
        assert counts == {
            "cameras_loaded": len(cameras), "images_loaded": len(images),
            "points3d_loaded": len(points), "patches_written": 1,
            "total_cameras_written": len(out_cameras), "total_images_written": len(images),
            "total_points3d_written": len(observed)}

    @examples(40)
    @given(st.data(), noisy_models(), st.integers(0, 5))
    def test_every_patch_holds_what_the_rules_select(self, scratch, data, model, patch_count):
        # Any patches (edges on camera centres and points, overlapping,
        # reversed) over a model with dangling references: each patch model
        # is, byte for byte, what the selection rules give.
        cameras, images, points = model
        values = [v for im in images for v in camera_centre(im)] + \
                 [v for p in points for v in p.xyz if math.isfinite(v)]
        edge = st.one_of(lattice, st.sampled_from(values)) if values else lattice
        boxes = [tuple(data.draw(edge) for _ in range(4)) for _ in range(patch_count)]
        with scratch() as d:
            counts = split(d, model, boxes, -2.0, 2.0)
            loaded = parse_model(d / "in")
            totals = [0, 0, 0]
            for j, box in enumerate(boxes):
                expected = reference_split(*loaded, (*box, -2.0, 2.0))
                assert model_files(d / f"p{j}") == model_bytes(*expected), box
                totals = [t + len(e) for t, e in zip(totals, expected)]
        assert list(counts.values()) == [len(m) for m in loaded] + [len(boxes)] + totals


# ---- Config and Patch through their JSON form ----

any_floats = st.floats()  # NaN, both infinities, -0.0 and subnormals included
maybe_finite = st.one_of(st.none(), finite)


def config_of(input_file, sample, min_z, max_z, patch_list):
    c = Config(input_file)
    c.sample_percentage, c.min_z, c.max_z = sample, min_z, max_z
    c.patches = [Patch.with_bounds(out, *b) for out, *b in patch_list]
    return c


def fields_of(c):
    return (c.input_file, c.sample_percentage, c.min_z, c.max_z,
            [(p.output_file, p.min_x, p.min_y, p.max_x, p.max_y) for p in c.patches])


def written(value):
    """How to_json writes a number: non-finite ones as null."""
    return value if math.isfinite(value) else None


def read_back(value, default):
    """A bound after the round trip: itself when finite, else (written as
    null) the infinite default of its side."""
    return value if math.isfinite(value) else default


class TestConfigJson:
    @examples(100)
    @given(texts, any_floats, any_floats, any_floats,
           st.lists(st.tuples(texts, *[any_floats] * 4), max_size=4))
    def test_round_trip(self, input_file, sample, min_z, max_z, patch_list):
        # What round-trips: every path exactly (NUL and any other character);
        # every finite number to the bit, -0.0 included; a non-finite bound
        # (NaN, or an infinity on either side) as the infinite default of its
        # side, so -inf minima and +inf maxima come back unchanged and the
        # second to_json equals the first. A non-finite sample_percentage is
        # written as null too, and that document is refused: null is no
        # sample percentage.
        c = config_of(input_file, sample, min_z, max_z, patch_list)
        assert plain(fields_of(c)) == plain((input_file, sample, min_z, max_z, patch_list))
        text = c.to_json()
        assert plain(json.loads(text)) == plain({
            "input_file": input_file, "sample_percentage": written(sample),
            "minZ": written(min_z), "maxZ": written(max_z),
            "patches": [{"min_x": written(x0), "min_y": written(y0), "max_x": written(x1),
                         "max_y": written(y1), "output_file": out}
                        for out, x0, y0, x1, y1 in patch_list]})
        if not math.isfinite(sample):
            with pytest.raises(ValueError, match=r"^JSON parse error: invalid type: null, "
                                                 r"expected f64 at line 3 column 27$"):
                Config.from_json(text)
            return
        again = Config.from_json(text)
        assert plain(fields_of(again)) == plain((
            input_file, sample, read_back(min_z, -INF), read_back(max_z, INF),
            [(out, read_back(x0, -INF), read_back(y0, -INF), read_back(x1, INF),
              read_back(y1, INF)) for out, x0, y0, x1, y1 in patch_list]))
        assert again.to_json() == text

    @examples(60)
    @given(st.data(), texts, maybe_finite, maybe_finite, maybe_finite,
           st.lists(st.tuples(texts, *[maybe_finite] * 4), max_size=3), st.booleans())
    def test_documents_of_another_writer_read_as_their_values(
            self, data, input_file, sample, min_z, max_z, patch_list, ascii_only):
        # Keys in any order, unknown keys (among them "min_z", which is not
        # "minZ"), records as arrays, keys left out (None here), integral
        # numbers written as integers of any size, strings with \u escapes
        # (surrogate pairs included) or as raw UTF-8: every field reads back
        # as the value written, or its default when left out.
        def number(value):
            if value is not None and value.is_integer() and data.draw(st.booleans()):
                return int(value)
            return value

        sample, min_z, max_z = number(sample), number(min_z), number(max_z)
        patch_list = [(out, *map(number, bounds)) for out, *bounds in patch_list]

        def record(pairs):
            present = [(k, v) for k, v in pairs if v is not None]
            if len(present) == len(pairs) and data.draw(st.booleans()):
                return [v for _, v in present]
            unknown = data.draw(st.lists(
                st.tuples(st.sampled_from(["min_z", "note", "Min_x", ""]),
                          st.one_of(st.integers(), texts, st.lists(st.none(), max_size=2))),
                max_size=2, unique_by=lambda kv: kv[0]))
            return dict(data.draw(st.permutations(present + unknown)))

        document = record([
            ("input_file", input_file), ("sample_percentage", sample), ("minZ", min_z),
            ("maxZ", max_z),
            ("patches", [record([("min_x", x0), ("min_y", y0), ("max_x", x1), ("max_y", y1),
                                 ("output_file", out)]) for out, x0, y0, x1, y1 in patch_list])])
        c = Config.from_json(json.dumps(document, ensure_ascii=ascii_only))

        def read(value, default):
            return default if value is None else float(value)

        assert plain(fields_of(c)) == plain((
            input_file, read(sample, 100.0), read(min_z, -INF), read(max_z, INF),
            [(out, read(x0, -INF), read(y0, -INF), read(x1, INF), read(y1, INF))
             for out, x0, y0, x1, y1 in patch_list]))


# ---- the patch and cell indexes change no comparison ----

any_bound = st.one_of(lattice, st.floats())


def drawn_rectangles(data, values, count):
    """Four bounds each, of any kind (NaN, infinite, inverted, equal), half
    of them on a record's own coordinate."""
    bound = st.one_of(any_bound, st.sampled_from(values)) if values else any_bound
    return [tuple(data.draw(bound) for _ in range(4)) for _ in range(count)]


def clouds(coordinates):
    return st.lists(st.tuples(coordinates, coordinates, st.one_of(lattice, f32s),
                              *[st.integers(0, 255)] * 3), max_size=40)


def patch_files(directory, count):
    return [(directory / f"p{j}.bin").read_bytes() if (directory / f"p{j}.bin").exists() else None
            for j in range(count)]


class TestCellsAndPatches:
    @examples(40)
    @given(st.data(), clouds(st.one_of(lattice, f32s)), st.integers(0, 8), st.floats(),
           st.floats())
    def test_split_ply_writes_each_point_to_exactly_the_patches_holding_it(
            self, scratch, data, points, patch_count, min_z, max_z):
        rectangles = drawn_rectangles(data, [v for p in points for v in p[:2]], patch_count)
        with scratch() as d:
            (d / "cloud.ply").write_bytes(cloud_bytes(points))
            counts = split_ply(make_config(d / "cloud.ply", rectangles, d,
                                           min_z=min_z, max_z=max_z))
            got = patch_files(d, len(rectangles))
        kept, expected = reference_split_ply(points, rectangles, min_z, max_z)
        assert got == expected
        assert counts == {"points_loaded": len(kept), "patches_written": len(rectangles),
                          "total_points_written": sum(len(read_points_file(e))
                                                      for e in expected if e is not None)}

    @examples(30)
    @given(st.data(), clouds(planar), st.integers(0, 4),
           st.one_of(st.sampled_from([0.0, 30.0, 50.0, 99.9, 100.0]), st.floats()))
    def test_sampling_keeps_one_subset_for_every_patch(self, scratch, data, points, patch_count,
                                                       percentage):
        # Sampling draws once per point, not per patch: a patch over the
        # whole plane receives the kept points (x and y are finite here), in
        # input order, and every other patch exactly those of them inside it.
        # At 100% or more all are kept; at 0, below or NaN none.
        rectangles = [(-INF, -INF, INF, INF)] + \
            drawn_rectangles(data, [v for p in points for v in p[:2]], patch_count)
        with scratch() as d:
            (d / "cloud.ply").write_bytes(cloud_bytes(points))
            counts = split_ply(make_config(d / "cloud.ply", rectangles, d,
                                           sample_percentage=percentage))
            got = patch_files(d, len(rectangles))
        candidates, _ = reference_split_ply(points, rectangles)
        kept = [r[1:7] for r in read_points_file(got[0])] if got[0] else []
        remaining = iter(plain(candidates))
        assert all(p in remaining for p in plain(kept)), "not a subsequence of the input"
        if percentage >= 100:
            assert plain(kept) == plain(candidates)
        if not percentage > 0:
            assert kept == []
        assert counts["points_loaded"] == len(kept)
        for (x0, y0, x1, y1), file in zip(rectangles, got):
            inside = [p for p in kept if x0 <= p[0] < x1 and y0 <= p[1] < y1]
            assert file == (points_file(inside) if inside else None)

    @examples(50)
    @given(st.data(), layouts(("x", "y", "z")),
           st.lists(st.tuples(st.one_of(lattice, f32s), st.one_of(lattice, f32s)), max_size=30),
           st.integers(0, 8), header_styles)
    def test_ortho_cells_hold_exactly_the_splats_inside_them(self, scratch, data, layout, points,
                                                             cell_count, style):
        cells = [(x0, x1, y0, y1) for x0, y0, x1, y1 in
                 drawn_rectangles(data, [v for p in points for v in p], cell_count)]
        records = records_with(data.draw, layout, [{"x": x, "y": y, "z": 1.0} for x, y in points])
        lines = trimmed_header_lines(layout, style)
        with scratch() as d:
            paths = extract(write_splats(d / "in.ply", layout, records, style), cells, d)
            got = [p.read_bytes() if p.exists() else None for p in paths]
        for cell, file in zip(cells, got):
            inside = [r for r, (x, y) in zip(records, points) if inside_cell(cell, x, y)]
            assert file == (header_out(lines, len(inside)) + b"".join(inside) if inside else None)


# ---- the patch planner ----

planner_coordinates = st.one_of(st.integers(0, 24).map(lambda k: k * 0.5), st.floats(0, 12),
                                st.just(math.nan))


@st.composite
def camera_layouts(draw):
    """Cameras anywhere, or on one vertical or horizontal line (the NaN
    coordinates stay NaN)."""
    positions = draw(st.lists(st.tuples(planner_coordinates, planner_coordinates),
                              min_size=1, max_size=80))
    line = draw(st.sampled_from([None, None, 0, 1]))
    if line is not None:
        c = draw(planner_coordinates.filter(lambda v: not math.isnan(v)))
        positions = [tuple(c if axis == line and not math.isnan(v) else v
                           for axis, v in enumerate(p)) for p in positions]
    return positions


def holds(box, x, y):
    return box.min_x <= x <= box.max_x and box.min_y <= y <= box.max_y


class TestPlanner:
    @examples(60)
    @given(camera_layouts(), st.integers(1, 12),
           st.one_of(st.sampled_from([0.0, 0.25, 1.5]), st.floats(0, 3)), st.integers(1, 12))
    def test_patches_cover_every_camera_within_the_limit(self, positions, max_cameras, buffer,
                                                         target_bins):
        # The plan is the straightforward planner's (row-split strips in any
        # order). A patch stacked on the grid holds at most max_cameras
        # cameras, counted as the planner counts them (edges included). With
        # a buffer, every camera without a NaN coordinate lies in some patch;
        # without one, the rounding of the row and chunk arithmetic may leave
        # a camera on a patch's edge an ulp outside it.
        assume(any(not math.isnan(x) for x, _ in positions))  # else nothing to bin:
        assume(any(not math.isnan(y) for _, y in positions))  # an internal failure
        try:
            expected = planner_reference.plan(positions, max_cameras, buffer, target_bins)
        except planner_reference.NoSolution:
            with pytest.raises(ValueError, match=f"^{NO_SOLUTION}$"):
                patches(positions, max_cameras, buffer, target_bins)
            return
        boxes = patches(positions, max_cameras, buffer, target_bins)
        assert sorted(map(plain, rects(boxes)), key=repr) == \
            sorted(map(plain, expected.boxes), key=repr)
        for x, y in positions:
            if buffer >= 0.25 and not (math.isnan(x) or math.isnan(y)):
                assert any(holds(b, x, y) for b in boxes), (x, y)
        start = 0
        for _, _, strip in expected.strips:
            if not strip.rows:
                for box in boxes[start:start + strip.count]:
                    assert sum(holds(box, x, y) for x, y in positions) <= max_cameras
            start += strip.count
