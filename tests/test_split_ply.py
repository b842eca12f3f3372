"""split_ply: points files, counts, sampling, failures, interrupts, progress."""

import math
import os
import random
import select
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from larkspan.splat import Config, Patch, split_ply
from support.cloud_reference import INF, f32, reference_split
from support.colmap import points_file, read_points_file
from support.ply import XYZ_RGB, cloud_bytes, make_config


# ---- inputs and reference -------------------------------------------------


@pytest.fixture
def cloud(tmp_path):
    def write(points, name="cloud.ply", **kw):
        path = tmp_path / name
        path.write_bytes(cloud_bytes(points, **kw))
        return path
    return write


# ---- output ---------------------------------------------------------------

class TestOutput:
    def test_single_point_gives_59_bytes(self, cloud, tmp_path):
        c = make_config(cloud([(1.5, -2.0, 3.25, 10, 20, 30)]), [(-INF, -INF, INF, INF)], tmp_path)
        assert split_ply(c) == {"points_loaded": 1, "total_points_written": 1, "patches_written": 1}
        assert (tmp_path / "p0.bin").read_bytes() == bytes.fromhex(
            "0100000000000000" "0100000000000000" "000000000000f83f" "00000000000000c0"
            "0000000000000a40" "0a141e" "000000000000f0bf" "0000000000000000")

    def test_patches_get_their_points_in_input_order(self, cloud, tmp_path):
        rng = random.Random(5)
        points = [(rng.uniform(-10, 10), rng.uniform(-10, 10), rng.uniform(-2, 2),
                   rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(3000)]
        patches = [(-10, -10, 0, 0), (-1, -1, 10, 10), (5, -10, 5.5, 10), (3, 3, 2, 4),
                   (-INF, 2, INF, INF), (100, 100, 200, 200)]
        c = make_config(cloud(points), patches, tmp_path / "out", min_z=-1.5, max_z=1.0)
        kept, expected = reference_split(points, patches, -1.5, 1.0)
        result = split_ply(c)
        written = [e for e in expected if e is not None]
        assert result == {"points_loaded": len(kept),
                          "total_points_written": sum((len(e) - 8) // 51 for e in written),
                          "patches_written": len(patches)}
        for j, e in enumerate(expected):
            path = tmp_path / "out" / f"p{j}.bin"
            assert (path.read_bytes() if path.exists() else None) == e, f"patch {j}"

    def test_matches_reference_on_awkward_patches_and_points(self, cloud, tmp_path):
        # Infinite, NaN, inverted and hair-thin bounds, points on every edge,
        # and non-finite coordinates: the patch index must not change a
        # single comparison.
        rng = random.Random(11)
        edges = [-5.0, -1.0, 0.0, 0.5, 2.0, 7.25]
        values = edges + [INF, -INF, math.nan, 1e30, -1e-30]
        points = []
        for _ in range(4000):
            x = rng.choice(values) if rng.random() < 0.3 else rng.uniform(-8, 8)
            y = rng.choice(values) if rng.random() < 0.3 else rng.uniform(-8, 8)
            points.append((x, y, 0.0, 1, 2, 3))
        bound = lambda: rng.choice(edges + [INF, -INF, math.nan]) if rng.random() < 0.4 \
            else rng.uniform(-8, 8)
        patches = [(bound(), bound(), bound(), bound()) for _ in range(60)]
        patches += [(0.5, -INF, math.nextafter(0.5, 1), INF), (-1e300, -1e300, 1e300, 1e300)]
        c = make_config(cloud(points), patches, tmp_path / "out")
        _, expected = reference_split(points, patches)
        split_ply(c)
        for j, e in enumerate(expected):
            path = tmp_path / "out" / f"p{j}.bin"
            assert (path.read_bytes() if path.exists() else None) == e, f"patch {j}: {patches[j]}"

    def test_large_cloud_split_in_pieces_keeps_input_order(self, tmp_path):
        # Enough vertices for the read and assignment steps to run in several
        # pieces; the lists must still come out ascending.
        n = 400_000
        rng = random.Random(3)
        xs = [rng.uniform(0, 100) for _ in range(n)]
        header = (f"ply\nformat binary_little_endian 1.0\nelement vertex {n}\n"
                  "property float x\nproperty float y\nproperty float z\nend_header\n").encode()
        body = struct.pack(f"<{3 * n}f", *(v for i, x in enumerate(xs) for v in (x, 100 - x, i)))
        (tmp_path / "big.ply").write_bytes(header + body)
        c = make_config(tmp_path / "big.ply", [(0, 0, 50, 100), (25, 0, 100, 100)], tmp_path)
        assert split_ply(c)["points_loaded"] == n
        for j, (lo, hi) in enumerate([(0, 50), (25, 100)]):
            records = read_points_file((tmp_path / f"p{j}.bin").read_bytes())
            zs = [r[3] for r in records]
            assert zs == sorted(zs)
            assert zs == [float(i) for i, x in enumerate(xs) if lo <= f32(x) < hi]
            assert [r[0] for r in records] == list(range(1, len(records) + 1))
            assert {(r[4], r[5], r[6], r[7], r[8]) for r in records} == {(255, 255, 255, -1.0, 0)}

    @pytest.mark.parametrize("properties, colour", [
        (XYZ_RGB, (10, 20, 30)),
        ([("float", "x"), ("float", "y"), ("float", "z"),
          ("uchar", "r"), ("uchar", "g"), ("uchar", "b")], (10, 20, 30)),
        ([("uchar", "blue"), ("float", "z"), ("uchar", "g"), ("float", "y"), ("float", "x"),
          ("uchar", "red")], (10, 20, 30)),
        ([("float", "x"), ("float", "y"), ("float", "z")], (255, 255, 255)),
        ([("float", "x"), ("float", "y"), ("float", "z"), ("uchar", "green")], (255, 20, 255)),
    ])
    def test_colours_and_their_aliases(self, cloud, tmp_path, properties, colour):
        c = make_config(cloud([(1.0, 2.0, 3.0, 10, 20, 30)], properties=properties),
                        [(-INF, -INF, INF, INF)], tmp_path)
        split_ply(c)
        assert read_points_file((tmp_path / "p0.bin").read_bytes())[0][4:7] == colour

    def test_record_layout_rules(self, cloud, tmp_path):
        # Every field at the offset the PLY type table gives, decoded by its
        # declared type; the later of two "red" properties wins.
        properties = [("double", "x"), ("f32", "y"), ("u8", "pad"), ("short", "z"),
                      ("uchar", "red"), ("ushort", "pad2"), ("uchar", "red")]
        c = make_config(cloud([(1.1, 2.5, -3, 9, 0, 0)], properties=properties),
                        [(-INF, -INF, INF, INF)], tmp_path)
        split_ply(c)
        assert read_points_file((tmp_path / "p0.bin").read_bytes())[0][1:7] == \
            (1.1, 2.5, -3.0, 9, 255, 255)

    def test_bounds_include_minimum_exclude_maximum(self, cloud, tmp_path):
        points = [(0.0, 0.0, 0.0, 1, 1, 1), (1.0, 0.5, 0.0, 2, 2, 2), (0.5, 1.0, 0.0, 3, 3, 3),
                  (0.5, 0.5, 1.0, 4, 4, 4), (0.5, 0.5, -1.0, 5, 5, 5)]
        c = make_config(cloud(points), [(0, 0, 1, 1)], tmp_path, min_z=-1.0, max_z=1.0)
        assert split_ply(c)["points_loaded"] == 4  # z == max_z dropped
        assert [r[4] for r in read_points_file((tmp_path / "p0.bin").read_bytes())] == [1, 5]

    def test_overlapping_patches_count_a_point_twice(self, cloud, tmp_path):
        points = [(0.5, 0.5, 0, 1, 1, 1), (1.5, 0.5, 0, 2, 2, 2), (2.5, 0.5, 0, 3, 3, 3)]
        c = make_config(cloud(points), [(0, 0, 2, 1), (1, 0, 3, 1)], tmp_path)
        assert split_ply(c) == {"points_loaded": 3, "total_points_written": 4, "patches_written": 2}
        assert [r[0] for r in read_points_file((tmp_path / "p1.bin").read_bytes())] == [1, 2]

    def test_empty_patch_leaves_no_file_and_still_counts(self, cloud, tmp_path):
        old = tmp_path / "p1.bin"
        old.write_bytes(b"older file")
        c = make_config(cloud([(0.5, 0.5, 0, 1, 1, 1)]), [(0, 0, 1, 1), (5, 5, 6, 6), (1, 1, 0, 0)],
                        tmp_path)
        assert split_ply(c) == {"points_loaded": 1, "total_points_written": 1, "patches_written": 3}
        assert old.read_bytes() == b"older file"
        assert not (tmp_path / "p2.bin").exists()

    def test_no_patches_still_reads_the_input(self, cloud, tmp_path):
        c = Config(str(cloud([(0, 0, 0, 0, 0, 0)] * 3)))
        assert split_ply(config=c) == {"points_loaded": 3, "total_points_written": 0,
                                       "patches_written": 0}
        with pytest.raises(OSError, match="^PLY read error: "):
            split_ply(Config(str(tmp_path / "missing.ply")))

    def test_output_directories_are_created_and_names_do_not_matter(self, cloud, tmp_path):
        c = Config(str(cloud([(0, 0, 0, 9, 9, 9)])))
        c.add_patch(Patch(str(tmp_path / "a" / "b" / "c" / "patch.ply")))
        split_ply(c)
        assert len((tmp_path / "a" / "b" / "c" / "patch.ply").read_bytes()) == 59

    def test_empty_cloud(self, cloud, tmp_path):
        c = make_config(cloud([]), [(-INF, -INF, INF, INF)], tmp_path)
        assert split_ply(c) == {"points_loaded": 0, "total_points_written": 0, "patches_written": 1}

    def test_header_without_format_line_reads_as_little_endian(self, cloud, tmp_path):
        c = make_config(cloud([(1, 2, 3, 4, 5, 6)], fmt=None, extra_lines=["comment no format"]),
                        [(-INF, -INF, INF, INF)], tmp_path)
        assert split_ply(c)["points_loaded"] == 1

    def test_nothing_written_to_stderr_when_it_is_not_a_terminal(self, cloud, tmp_path, capfd):
        c = make_config(cloud([(0, 0, 0, 1, 1, 1)] * 10), [(-1, -1, 1, 1)], tmp_path,
                        sample_percentage=50)
        split_ply(c)
        out, err = capfd.readouterr()
        assert err == ""
        assert out.startswith("Sampled 50.0%: ")


class TestSampling:
    def points(self, n):
        return [(i % 100, i // 100, 0, 1, 2, 3) for i in range(n)]

    @pytest.mark.parametrize("percentage, kept, line", [
        (100, 500, ""),
        (250, 500, ""),
        (0, 0, "Sampled 0.0%: 0 points\n"),
        (-5, 0, "Sampled -5.0%: 0 points\n"),
        (-INF, 0, "Sampled -inf%: 0 points\n"),
        (math.nan, 0, ""),
    ])
    def test_edges(self, cloud, tmp_path, capfd, percentage, kept, line):
        c = make_config(cloud(self.points(500)), [(-INF, -INF, INF, INF)], tmp_path,
                        sample_percentage=percentage)
        assert split_ply(c)["points_loaded"] == kept
        assert capfd.readouterr().out == line

    def test_half_keeps_about_half_at_random(self, cloud, tmp_path, capfd):
        n = 20_000
        c = make_config(cloud(self.points(n)), [(-INF, -INF, INF, INF)], tmp_path,
                        sample_percentage=50)
        runs = []
        for _ in range(2):
            kept = split_ply(c)["points_loaded"]
            assert capfd.readouterr().out == f"Sampled 50.0%: {kept} points\n"
            assert abs(kept - n / 2) < 6 * math.sqrt(n / 4)  # six standard deviations
            records = read_points_file((tmp_path / "p0.bin").read_bytes())
            assert len(records) == kept
            positions = [(r[1], r[2]) for r in records]
            assert positions == sorted(positions, key=lambda p: (p[1], p[0]))  # input order
            runs.append(positions)
        assert runs[0] != runs[1]  # unseeded: two runs keep different points

    def test_one_decimal_in_the_line(self, cloud, tmp_path, capfd):
        c = make_config(cloud(self.points(10)), [], tmp_path, sample_percentage=33.333)
        kept = split_ply(c)["points_loaded"]
        assert capfd.readouterr().out == f"Sampled 33.3%: {kept} points\n"


# ---- failures ---------------------------------------------------------------

class TestErrors:
    def run_error(self, config, kind):
        with pytest.raises(kind) as raised:
            split_ply(config)
        return str(raised.value)

    def test_missing_input(self, tmp_path):
        c = Config(str(tmp_path / "nothing.ply"))
        assert self.run_error(c, OSError) == \
            "PLY read error: No such file or directory (os error 2)"

    @pytest.mark.parametrize("data, message", [
        (b"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\n",
         "PLY read error: the file ends before the end_header line"),
        (cloud_bytes([(0, 0, 0, 0, 0, 0)], count=2), "PLY read error: failed to fill whole buffer"),
        (cloud_bytes([], count=2 ** 62), "PLY read error: failed to fill whole buffer"),
        (cloud_bytes([], count=2 ** 64 - 1), "PLY read error: failed to fill whole buffer"),
        (cloud_bytes([], count="12a"), "PLY read error: invalid digit found in string"),
        (cloud_bytes([], count="-1"), "PLY read error: invalid digit found in string"),
        (cloud_bytes([], count="18446744073709551616"),
         "PLY read error: number too large to fit in target type"),
        (b"ply\ncomment caf\xe9\nend_header\n", "PLY read error: stream did not contain valid UTF-8"),
    ])
    def test_read_failures(self, tmp_path, data, message):
        path = tmp_path / "bad.ply"
        path.write_bytes(data)
        c = make_config(path, [(-INF, -INF, INF, INF)], tmp_path)
        assert self.run_error(c, OSError) == message
        assert not (tmp_path / "p0.bin").exists()

    @pytest.mark.parametrize("fmt, declared", [("ascii 1.0", "ascii"),
                                               ("binary_big_endian 1.0", "binary_big_endian")])
    def test_formats_other_than_little_endian_are_refused(self, cloud, tmp_path, fmt, declared):
        c = make_config(cloud([(1, 2, 3, 4, 5, 6)], fmt=fmt), [(-INF, -INF, INF, INF)], tmp_path)
        message = self.run_error(c, OSError)
        assert message.startswith("PLY read error: unsupported PLY format: ")
        assert declared in message
        assert not (tmp_path / "p0.bin").exists()

    @pytest.mark.parametrize("first, second", [("a.bin", "a.bin"), ("a.bin", "./sub/../a.bin")])
    def test_two_patches_with_one_output_file_are_refused(self, tmp_path, monkeypatch, first, second):
        # Departure: refused before anything is read (the input does not
        # even exist) or written.
        monkeypatch.chdir(tmp_path)
        c = Config(str(tmp_path / "missing.ply"))
        c.patches = [Patch("other.bin"), Patch(first), Patch(second)]
        message = self.run_error(c, ValueError)
        assert message.startswith("Patches 1 and 2 both write to ")
        assert os.listdir(tmp_path) == []

    def test_write_failure_reports_the_first_failing_patch(self, cloud, tmp_path):
        (tmp_path / "plain").write_bytes(b"")
        (tmp_path / "adir").mkdir()
        c = Config(str(cloud([(0, 0, 0, 1, 1, 1)])))
        c.patches = [Patch(str(tmp_path / "ok.bin")), Patch(str(tmp_path / "plain" / "x.bin")),
                     Patch(str(tmp_path / "adir"))]
        assert self.run_error(c, OSError) == "Write error: Not a directory (os error 20)"
        assert (tmp_path / "ok.bin").stat().st_size == 59  # files already written stay

    def test_directory_as_output_path(self, cloud, tmp_path):
        c = Config(str(cloud([(0, 0, 0, 1, 1, 1)])))
        c.patches = [Patch(str(tmp_path / "adir")), Patch(str(tmp_path / "empty" / "x.bin"))]
        (tmp_path / "adir").mkdir()
        assert self.run_error(c, OSError) == "Write error: Is a directory (os error 21)"

    @pytest.mark.parametrize("call, fragment", [
        (lambda: split_ply(), "config"),
        (lambda: split_ply(Config("a"), Config("b")), "split_ply"),
        (lambda: split_ply({"input_file": "a"}), "argument 'config': 'dict' object cannot be "
                                                 "converted to 'Config'"),
        (lambda: split_ply(conf=Config("a")), "conf"),
    ])
    def test_binding_errors(self, call, fragment):
        with pytest.raises(TypeError, match=fragment):
            call()


# ---- interrupts -------------------------------------------------------------

def run_until_writers_block(tmp_path, points, child_body):
    """Runs split_ply in a child whose second patch is a FIFO.

    The FIFO's writer blocks until this process reads it, so a signal sent
    once the first bytes arrived reaches the child while its writers run; the
    FIFO is then drained, so the stopped writer can return and be joined.
    `child_body` is the child's code around `split_ply(config)`; it prints
    its lines, then waits for a line on stdin. Returns the child's lines and
    every byte the FIFO writer produced.
    """
    (tmp_path / "cloud.ply").write_bytes(cloud_bytes(points))
    fifo = tmp_path / "patch.fifo"
    os.mkfifo(fifo)
    script = textwrap.dedent(f"""
        import gc, signal, sys
        from larkspan.splat import Config, Patch, split_ply
        config = Config({str(tmp_path / "cloud.ply")!r})
        config.patches = [Patch({str(tmp_path / "small.bin")!r}), Patch({str(fifo)!r})]
    """) + textwrap.dedent(child_body) + textwrap.dedent("""
        del config
        gc.collect()
        junk = [bytearray(1 << 20) for _ in range(256)]
        del junk
        print("released", flush=True)
        sys.stdin.readline()
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = []
    chunks = []
    try:
        reader = os.open(fifo, os.O_RDONLY)  # returns once the writer has opened it
        chunks.append(os.read(reader, 4096))
        child.send_signal(signal.SIGINT)

        drained_from = []

        def drain():
            time.sleep(0.3)  # long enough for a call that does not wait to return
            drained_from.append(time.monotonic())
            while chunk := os.read(reader, 1 << 16):
                chunks.append(chunk)

        drainer = threading.Thread(target=drain)
        drainer.start()
        while True:
            ready, _, _ = select.select([child.stdout], [], [], 20)
            assert ready, "split_ply did not return after SIGINT"
            lines.append(child.stdout.readline().rstrip("\n"))
            if lines[-1] not in ("released", "") and not lines[-1].startswith("handler:"):
                returned_at = time.monotonic()
            if lines[-1] in ("released", ""):
                break
        drainer.join(timeout=20)
        assert not drainer.is_alive()
        os.close(reader)
        # The writer was joined before the call returned: the child could not
        # report the exception before the FIFO was drained.
        assert drained_from[0] <= returned_at
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.wait(timeout=20) == 0, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
    return lines, b"".join(chunks)


class TestInterrupts:
    POINTS = [(i * 0.5, -i * 0.25, i % 7, i % 256, (2 * i) % 256, 255 - i % 256) for i in range(6000)]

    def expected_fifo_bytes(self):
        return points_file([(f32(x), f32(y), f32(z), r, g, b) for x, y, z, r, g, b in self.POINTS])

    # Deliberate departure: the writers are stopped and joined before the
    # call returns (a writer already in its final write completes it).
    def test_ctrl_c_while_writing_joins_the_writers(self, tmp_path):
        lines, received = run_until_writers_block(tmp_path, self.POINTS, """
            try:
                split_ply(config)
                print("returned", flush=True)
            except KeyboardInterrupt as e:
                print("interrupted", repr(str(e)), flush=True)
        """)
        assert lines == ["interrupted 'Interrupted: KeyboardInterrupt: '", "released"]
        assert received == self.expected_fifo_bytes()

    def test_handler_exception_in_text_form_and_config_borrowed(self, tmp_path):
        lines, received = run_until_writers_block(tmp_path, self.POINTS, """
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
        """)
        assert lines == ["handler: Already borrowed",
                         "KeyboardInterrupt 'Interrupted: Unprintable: <exception str() failed>' 100.0",
                         "released"]
        assert received == self.expected_fifo_bytes()


# ---- progress bars ----------------------------------------------------------

def test_progress_bars_are_drawn_on_a_terminal(tmp_path):
    (tmp_path / "cloud.ply").write_bytes(cloud_bytes([(i, i, 0, 1, 1, 1) for i in range(100)]))
    script = textwrap.dedent(f"""
        from larkspan.splat import Config, Patch, split_ply
        config = Config({str(tmp_path / "cloud.ply")!r})
        config.patches = [Patch({str(tmp_path / "a.bin")!r}), Patch({str(tmp_path / "b.bin")!r})]
        print(split_ply(config)["points_loaded"])
    """)
    master, slave = os.openpty()
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=slave, env={**os.environ, "TERM": "xterm"})
    os.close(slave)
    screen = b""
    try:
        while True:
            ready, _, _ = select.select([master], [], [], 20)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO once the child has closed the terminal
                break
            if not chunk:
                break
            screen += chunk
        assert child.wait(timeout=20) == 0
        assert child.stdout.read() == b"100\n"
    finally:
        os.close(master)
        if child.poll() is None:
            child.kill()
    text = screen.decode()
    for message in ("Extracting points", "Extraction complete", "Assigning to patches",
                    "Assignment complete", "Writing patches", "Writing complete"):
        assert message in text
    assert "\u2588" * 10 in text  # filled cells
    assert "] 100/100 (" in text and "] 2/2" in text
