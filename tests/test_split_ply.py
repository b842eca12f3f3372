"""split_ply: points files against a reference, colours, sampling, failures,
Ctrl-C while writing, progress bars."""

import math
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from larkspan.splat import Config, Patch, split_ply
from support.cloud_reference import INF, f32, reference_split
from support.colmap import points_file, read_points_file
from support.ply import XYZ_RGB, cloud_bytes, make_config, run_on_terminal


@pytest.fixture
def cloud(tmp_path):
    def write(points, **kw):
        (tmp_path / "cloud.ply").write_bytes(cloud_bytes(points, **kw))
        return tmp_path / "cloud.ply"
    return write


def test_one_point_into_new_folders(cloud, tmp_path):
    c = Config(str(cloud([(1.5, -2.0, 3.25, 10, 20, 30)])))
    c.add_patch(Patch(str(tmp_path / "a" / "b" / "patch.ply")))
    assert split_ply(c) == {"points_loaded": 1, "total_points_written": 1, "patches_written": 1}
    assert (tmp_path / "a" / "b" / "patch.ply").read_bytes() == bytes.fromhex(
        "0100000000000000" "0100000000000000" "000000000000f83f" "00000000000000c0"
        "0000000000000a40" "0a141e" "000000000000f0bf" "0000000000000000")


def test_matches_reference(cloud, tmp_path):
    # Infinite, NaN, inverted, overlapping and hair-thin bounds, points on
    # every edge and non-finite coordinates; patches that get no point write
    # no file and leave an older one alone.
    rng = random.Random(11)
    edges = [-5.0, -1.5, 0.0, 0.5, 1.0, 2.0, 7.25]
    values = edges + [INF, -INF, math.nan, 1e30, -1e-30]
    pick = lambda: rng.choice(values) if rng.random() < 0.3 else rng.uniform(-8, 8)
    points = [(pick(), pick(), pick() / 4, rng.randrange(256), 7, 9) for _ in range(5000)]
    bound = lambda: rng.choice(edges + [INF, -INF, math.nan]) if rng.random() < 0.4 \
        else rng.uniform(-8, 8)
    patches = [(bound(), bound(), bound(), bound()) for _ in range(60)]
    patches += [(0.5, -INF, math.nextafter(0.5, 1), INF), (-1e300, -1e300, 1e300, 1e300),
                (100, 100, 200, 200), (3, 3, 2, 4)]
    (tmp_path / "out").mkdir()
    for j in range(len(patches)):
        (tmp_path / "out" / f"p{j}.bin").write_bytes(b"older")
    c = make_config(cloud(points), patches, tmp_path / "out", min_z=-1.5, max_z=1.0)
    kept, expected = reference_split(points, patches, -1.5, 1.0)
    assert split_ply(c) == {"points_loaded": len(kept), "patches_written": len(patches),
                            "total_points_written": sum((len(e) - 8) // 51 for e in expected if e)}
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


def test_counts_without_points_or_patches(cloud, tmp_path):
    assert split_ply(make_config(cloud([]), [(-INF, -INF, INF, INF)], tmp_path)) == {
        "points_loaded": 0, "total_points_written": 0, "patches_written": 1}
    assert split_ply(config=Config(str(cloud([(0, 0, 0, 0, 0, 0)] * 3)))) == {
        "points_loaded": 3, "total_points_written": 0, "patches_written": 0}


@pytest.mark.parametrize("percentage, kept, line", [
    (100, 500, ""), (250, 500, ""), (0, 0, "Sampled 0.0%: 0 points\n"),
    (-INF, 0, "Sampled -inf%: 0 points\n"), (math.nan, 0, ""),
])
def test_sampling_edges(cloud, tmp_path, capfd, percentage, kept, line):
    c = make_config(cloud([(i, 0, 0, 1, 2, 3) for i in range(500)]), [(-INF, -INF, INF, INF)],
                    tmp_path, sample_percentage=percentage)
    assert split_ply(c)["points_loaded"] == kept
    assert capfd.readouterr() == (line, "")  # no bars when stderr is no terminal


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
    c.sample_percentage = 33.333
    split_ply(c)
    assert capfd.readouterr().out.startswith("Sampled 33.3%: ")


@pytest.mark.parametrize("data, message", [
    (None, "No such file or directory (os error 2)"),
    (b"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\n",
     "the file ends before the end_header line"),
])
def test_read_failures(tmp_path, data, message):
    if data is not None:
        (tmp_path / "bad.ply").write_bytes(data)
    with pytest.raises(OSError) as raised:
        split_ply(make_config(tmp_path / "bad.ply", [(-INF, -INF, INF, INF)], tmp_path))
    assert str(raised.value) == "PLY read error: " + message
    assert not (tmp_path / "p0.bin").exists()


@pytest.mark.parametrize("second", ["a.bin", "./sub/../a.bin"])
def test_two_patches_with_one_output_file_are_refused(tmp_path, monkeypatch, second):
    # Refused before the input (which does not even exist) is read.
    monkeypatch.chdir(tmp_path)
    c = Config(str(tmp_path / "missing.ply"))
    c.patches = [Patch("other.bin"), Patch("a.bin"), Patch(second)]
    with pytest.raises(ValueError, match="^Patches 1 and 2 both write to "):
        split_ply(c)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("paths, message", [
    (["ok.bin", "plain/x.bin", "adir"], "Not a directory (os error 20)"),  # the first failure
    (["adir", "empty/x.bin"], "Is a directory (os error 21)"),
])
def test_write_failures(cloud, tmp_path, paths, message):
    (tmp_path / "plain").write_bytes(b"")
    (tmp_path / "adir").mkdir()
    c = Config(str(cloud([(0, 0, 0, 1, 1, 1)])))
    c.patches = [Patch(str(tmp_path / p)) for p in paths]
    with pytest.raises(OSError) as raised:
        split_ply(c)
    assert str(raised.value) == "Write error: " + message
    assert not (tmp_path / "ok.bin").exists() or (tmp_path / "ok.bin").stat().st_size == 59


def test_config_argument_is_checked():
    with pytest.raises(TypeError, match="argument 'config': 'dict' object cannot be converted "
                                        "to 'Config'"):
        split_ply({"input_file": "a"})


# The child's second patch is a FIFO: its writer blocks until the parent
# reads, so SIGINT arrives while the writers run. The handler raises an
# exception whose str() fails, and finds the config borrowed by the call.
INTERRUPTED = textwrap.dedent("""
    import signal, sys
    from larkspan.splat import Config, Patch, split_ply
    config = Config({cloud!r})
    config.patches = [Patch({small!r}), Patch({fifo!r})]
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")
    def handler(signum, frame):
        try:
            config.sample_percentage = 1
        except RuntimeError as e:
            print("handler:", e, flush=True)
        raise Unprintable()
    signal.signal(signal.SIGINT, handler)
    try:
        split_ply(config)
    except KeyboardInterrupt as e:
        print(type(e).__name__, repr(str(e)), config.sample_percentage, flush=True)
    sys.stdin.readline()
""")


def test_ctrl_c_while_writing_joins_the_writers(tmp_path):
    points = [(i * 0.5, -i * 0.25, i % 7, i % 256, 2 * i % 256, 255 - i % 256) for i in range(6000)]
    (tmp_path / "cloud.ply").write_bytes(cloud_bytes(points))
    fifo = tmp_path / "patch.fifo"
    os.mkfifo(fifo)
    script = INTERRUPTED.format(cloud=str(tmp_path / "cloud.ply"), small=str(tmp_path / "s.bin"),
                                fifo=str(fifo))
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        reader = os.open(fifo, os.O_RDONLY)  # returns once the writer has opened it
        chunks = [os.read(reader, 4096)]
        child.send_signal(signal.SIGINT)
        drained_at = []

        def drain():
            time.sleep(0.3)  # long enough for a call that does not wait to return
            drained_at.append(time.monotonic())
            while chunk := os.read(reader, 1 << 16):
                chunks.append(chunk)

        drainer = threading.Thread(target=drain)
        drainer.start()
        lines = []
        while not lines or lines[-1].startswith("handler:"):
            assert select.select([child.stdout], [], [], 20)[0], "no return after SIGINT"
            lines.append(child.stdout.readline().rstrip("\n"))
        returned_at = time.monotonic()
        drainer.join(timeout=20)
        os.close(reader)
        child.communicate("\n", timeout=20)
        assert child.returncode == 0
    finally:
        child.kill()
    # The writer was joined, having finished its file, before the call returned.
    assert drained_at[0] <= returned_at
    assert lines == ["handler: Already borrowed",
                     "KeyboardInterrupt 'Interrupted: Unprintable: <exception str() failed>' 100.0"]
    assert b"".join(chunks) == points_file([(f32(x), f32(y), f32(z), r, g, b)
                                            for x, y, z, r, g, b in points])


def test_progress_bars_on_a_terminal(tmp_path):
    (tmp_path / "cloud.ply").write_bytes(cloud_bytes([(i, i, 0, 1, 1, 1) for i in range(100)]))
    drawn = run_on_terminal(textwrap.dedent(f"""
        from larkspan.splat import Config, Patch, split_ply
        config = Config({str(tmp_path / "cloud.ply")!r})
        config.patches = [Patch({str(tmp_path / "a.bin")!r}), Patch({str(tmp_path / "b.bin")!r})]
        split_ply(config)
    """))
    for message in ("Extracting points", "Extraction complete", "Assigning to patches",
                    "Assignment complete", "Writing patches", "Writing complete"):
        assert message in drawn
    assert "\u2588" * 10 in drawn and "] 100/100 (" in drawn and "] 2/2" in drawn
