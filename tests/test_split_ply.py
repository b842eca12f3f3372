"""split_ply: points files against a reference, colours, sampling, failures, progress bars."""

import math
import random
import struct

import pytest

from larkspan.splat import Config, Patch, split_ply
from support.cloud_reference import INF, reference_split
from support.colmap import read_points_file
from support.ply import XYZ_RGB, cloud_bytes, make_config, run_on_terminal

@pytest.fixture
def cloud(tmp_path):  # writes cloud.ply, returns its path
    path = tmp_path / "cloud.ply"
    return lambda points, **kw: path.write_bytes(cloud_bytes(points, **kw)) and path

def test_one_point_into_new_folders(cloud, tmp_path):
    c = Config(str(cloud([(1.5, -2.0, 3.25, 10, 20, 30)])))
    c.add_patch(Patch(str(path := tmp_path / "a" / "b" / "patch.ply")))
    assert split_ply(c) == {"points_loaded": 1, "total_points_written": 1, "patches_written": 1}
    assert path.read_bytes() == struct.pack("<QQddd3BdQ", 1, 1, 1.5, -2.0, 3.25, 10, 20, 30, -1.0, 0)

def test_matches_reference(cloud, tmp_path):
    # Infinite, NaN, inverted, overlapping and hair-thin bounds, points on every
    # edge; patches that get no point write no file and leave an older one alone.
    rng = random.Random(11)
    edges = [-5.0, -1.5, 0.0, 0.5, 1.0, 2.0, 7.25]
    pick = lambda more: rng.choice(edges + more) if rng.random() < 0.3 else rng.uniform(-8, 8)
    points = [(pick([1e30, -1e-30]), pick([INF]), pick([-INF]), i % 256, 7, 9) for i in range(5000)]
    patches = [(pick([INF]), pick([-INF]), pick([math.nan]), pick([INF])) for _ in range(60)]
    patches += [(0.5, -INF, math.nextafter(0.5, 1), INF), (100, 100, 200, 200), (3, 3, 2, 4)]
    (tmp_path / "out").mkdir()
    for j in range(len(patches)):
        (tmp_path / "out" / f"p{j}.bin").write_bytes(b"older")
    split_ply(make_config(cloud(points), patches, tmp_path / "out", min_z=-1.5, max_z=1.0))
    _, expected = reference_split(points, patches, -1.5, 1.0)
    for j, e in enumerate(expected):
        assert (tmp_path / "out" / f"p{j}.bin").read_bytes() == (e or b"older"), patches[j]

D, F, S, U, U16 = "double", "float", "short", "uchar", "ushort"

@pytest.mark.parametrize("properties, expected", [
    (XYZ_RGB, (1.0, 2.0, 3.0, 10, 20, 30)),
    ([(F, "x"), (F, "y"), (F, "z"), (U, "r"), (U, "g"), (U, "b")], (1.0, 2.0, 3.0, 10, 20, 30)),
    ([(U, "blue"), (F, "z"), (U, "g"), (F, "y"), (F, "x"), (U, "red")], (1.0, 2.0, 3.0, 10, 20, 30)),
    ([(F, "x"), (F, "y"), (F, "z")], (1.0, 2.0, 3.0, 255, 255, 255)),
    ([(F, "x"), (F, "y"), (F, "z"), (U16, "green")], (1.0, 2.0, 3.0, 255, 20, 255)),
    # Every field at its offset and type; the later of two "red" properties wins.
    ([(D, "x"), ("f32", "y"), ("u8", "p"), (S, "z"), (U, "red"), (U16, "q"), (U, "red")],
     (1.0, 2.0, 3.0, 10, 255, 255)),
])
def test_fields_colours_and_their_aliases(cloud, tmp_path, properties, expected):
    split_ply(make_config(cloud([(1.0, 2.0, 3, 10, 20, 30)], properties=properties),
                          [(-INF, -INF, INF, INF)], tmp_path))
    assert read_points_file((tmp_path / "p0.bin").read_bytes())[0][1:7] == expected

@pytest.mark.parametrize("percentage, kept, line", [
    (100, 500, ""), (250, 500, ""), (0, 0, "Sampled 0.0%: 0 points\n"), (-INF, 0, "Sampled -inf%: 0 points\n"),
    (math.nan, 0, "")])
@pytest.mark.parametrize("patches", [[(-INF, -INF, INF, INF)], []])  # without patches the points are still counted
def test_sampling_edges(cloud, tmp_path, capfd, percentage, kept, line, patches):
    c = make_config(cloud([(i, 0, 0, 1, 2, 3) for i in range(500)]), patches,
                    tmp_path, sample_percentage=percentage)
    assert split_ply(c) == {"points_loaded": kept, "total_points_written": kept if patches else 0,
                            "patches_written": len(patches)}
    assert capfd.readouterr() == (line, "")  # no bars when stderr is no terminal
    assert (tmp_path / "p0.bin").exists() == bool(patches and kept)

def test_sampling_keeps_a_random_share_in_input_order(cloud, tmp_path, capfd):
    n = 20_000
    c = make_config(cloud([(i, 0, 0, 1, 2, 3) for i in range(n)]), [(-INF, -INF, INF, INF)],
                    tmp_path, sample_percentage=50)
    runs = []
    for _ in range(2):
        kept = split_ply(c)["points_loaded"]
        assert capfd.readouterr().out == f"Sampled 50.0%: {kept} points\n"
        assert abs(kept - n / 2) < 6 * math.sqrt(n / 4)  # six standard deviations
        xs = [r[1] for r in read_points_file((tmp_path / "p0.bin").read_bytes())]
        assert len(xs) == kept and xs == sorted(xs)
        runs.append(xs)
    assert runs[0] != runs[1]  # unseeded: two runs keep different points

@pytest.mark.parametrize("source, paths, error, message", [
    ("missing.ply", ["p.bin"], OSError, r"^PLY read error: No such file or directory \(os error 2\)$"),
    ("short.ply", ["p.bin"], OSError, "^PLY read error: the file ends before the end_header line$"),
    # Refused before the input (which does not even exist) is read.
    ("missing.ply", ["p.bin", "a.bin", "sub/../a.bin"], ValueError, "^Patches 1 and 2 both write to "),
    # Folders are made as mkdir -p makes them; the first failure is reported.
    ("cloud.ply", ["ok.bin", "plain/x.bin", "adir"], OSError, r"^Write error: Not a directory \(os error 20\)$"),
    ("cloud.ply", ["adir", "empty/x.bin"], OSError, r"^Write error: Is a directory \(os error 21\)$"),
])
def test_failures(cloud, tmp_path, source, paths, error, message):
    cloud([(0, 0, 0, 1, 1, 1)])
    (tmp_path / "short.ply").write_bytes(b"ply\nformat binary_little_endian 1.0\nelement vertex 1\n")
    (tmp_path / "plain").write_bytes(b"")
    (tmp_path / "adir").mkdir()
    c = Config(str(tmp_path / source))
    c.patches = [Patch(str(tmp_path / p)) for p in paths]
    with pytest.raises(error, match=message):
        split_ply(c)
    assert not (tmp_path / "p.bin").exists() and not (tmp_path / "a.bin").exists()
    assert not (tmp_path / "ok.bin").exists() or (tmp_path / "ok.bin").stat().st_size == 59

def test_progress_bars_on_a_terminal(tmp_path):
    (tmp_path / "cloud.ply").write_bytes(cloud_bytes([(i, i, 0, 1, 1, 1) for i in range(100)]))
    drawn = run_on_terminal(f"import larkspan.splat as s\nc = s.Config('{tmp_path}/cloud.ply')\nc.patches = "
                            f"[s.Patch('{tmp_path}/a.bin'), s.Patch('{tmp_path}/b.bin')]\ns.split_ply(c)")
    assert all(m in drawn for m in ("Extracting points", "Extraction complete", "Assigning to patches",
                                    "Assignment complete", "Writing patches", "Writing complete")), drawn
    assert "\u2588" * 10 in drawn and "] 100/100 (" in drawn and "] 2/2" in drawn
