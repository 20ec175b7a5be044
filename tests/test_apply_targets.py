"""Whole calls: bindings, acquisition, execution and delivery."""

import os
import pathlib
import sys
import threading

import numpy as np
import pytest

import _tessalumen as tl

TESTDATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata"


class Destination:
    def __init__(self, path):
        self._destination = path


class Binding:
    def __init__(self, source, *destinations):
        self._source = source
        self._write_bindings = tuple(Destination(d) for d in destinations)


def image_target(*outputs, carrier="array", **extra):
    outputs = outputs or ("return_array",)
    declared = [o if isinstance(o, dict) else {"type": o} for o in outputs]
    return dict({"role": "image", "carrier": carrier, "outputs": declared}, **extra)


def mask_target(*outputs, carrier="array", fill=0, **extra):
    outputs = outputs or ("return_array",)
    declared = [o if isinstance(o, dict) else {"type": o} for o in outputs]
    return dict({"role": "mask", "carrier": carrier, "fill": fill, "outputs": declared}, **extra)


def rgb(height=8, width=10, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


CROP_FLIP = [{"type": "RandomCrop", "height": 5, "width": 6}, {"type": "HorizontalFlip"}]


def pipeline(targets, specs=CROP_FLIP, mode="reference", seed=7):
    return tl.Pipeline(specs, seed, mode, targets)


# --- results -----------------------------------------------------------------


def test_signature():
    assert tl.Pipeline.apply_targets.__text_signature__ == "($self, bindings, key=None)"


def test_masks_stay_aligned_with_images_in_every_mode():
    # The image carries each pixel's row and column; the mask a label made from both.
    y, x = np.mgrid[0:12, 0:14]
    image = np.stack([y, x, y + x], axis=-1).astype(np.uint8)
    mask = (y * 14 + x).astype(np.uint8)
    results = {}
    for mode in ("reference", "compiled", "staged-fresh", "staged-reuse"):
        p = pipeline([image_target(), mask_target()], mode=mode)
        for key in range(6):
            (out,), (out_mask,) = p.apply_targets((image, mask), key=key)
            source = out[..., 0].astype(np.int64) * 14 + out[..., 1]
            assert np.array_equal(out_mask, source.astype(np.uint8))
            results.setdefault(key, []).append((out, out_mask))
    for outs in results.values():
        for out, out_mask in outs[1:]:
            assert np.array_equal(out, outs[0][0]) and np.array_equal(out_mask, outs[0][1])


def test_output_layouts_and_dtypes():
    gray = rgb()[..., 0].copy()
    p = pipeline([image_target("return_array", "return_tensor")])
    (hwc, chw), = p.apply_targets((gray,), key=1)
    assert hwc.shape == (5, 6) and chw.shape == (1, 5, 6)
    (hwc1, chw1), = p.apply_targets((gray[..., None],), key=1)
    assert hwc1.shape == (5, 6, 1) and np.array_equal(hwc1[..., 0], hwc)
    assert np.array_equal(chw1[0], hwc)

    normalize = CROP_FLIP + [{"type": "Normalize", "mean": [0.5], "std": [0.25]}]
    p = pipeline([image_target("return_array", "return_tensor"), mask_target("return_array", "return_tensor")],
                 specs=normalize)
    (hwc, chw), (m1, m2) = p.apply_targets((rgb(), rgb()[..., 0].copy()), key=3)
    assert hwc.dtype == np.float32 and hwc.shape == (5, 6, 3)
    assert chw.dtype == np.float32 and chw.shape == (3, 5, 6)
    assert np.array_equal(np.transpose(hwc, (2, 0, 1)), chw)
    assert m1.dtype == np.uint8 and m1.shape == (5, 6) and np.array_equal(m1, m2)


def test_repeated_outputs_are_independent_and_own_their_buffers():
    p = pipeline([image_target("return_array", "return_array"), mask_target("return_array", "return_tensor")])
    (a, b), (m1, m2) = p.apply_targets((rgb(), rgb()[..., 1].copy()), key=0)
    assert np.array_equal(a, b) and not np.shares_memory(a, b)
    assert np.array_equal(m1, m2) and not np.shares_memory(m1, m2)
    a[:] = 0
    assert b.any()
    for array in (a, b, m1, m2):
        assert array.flags.c_contiguous and array.flags.writeable
        assert array.base is not None and not isinstance(array.base, np.ndarray)


def test_encode_outputs():
    p = pipeline([image_target({"type": "encode", "format": "png"}, "return_array"),
                  mask_target({"type": "encode", "format": "png"})])
    (encoded, array), (mask_png,) = p.apply_targets((rgb(), rgb()[..., 2].copy()), key=5)
    assert isinstance(encoded, bytes)
    assert np.array_equal(tl.decode_image(encoded), array)
    assert tl.decode_image(mask_png, "unchanged").shape == (5, 6)


def test_encoder_error_reaches_python_without_label_and_keeps_key():
    p = pipeline([image_target({"type": "encode", "format": "jpeg", "quality": 0})])
    with pytest.raises(ValueError) as raised:
        p.apply_targets((rgb(),))
    assert str(raised.value) == "JPEG quality must be between 1 and 100"
    assert p._snapshot_next_key() == 0


ALLOCATION_FAILURE_SCRIPT = """
import os, resource, numpy as np, _tessalumen as tl
outputs = [{"type": "return_array"}] * 64
p = tl.Pipeline([{"type": "HorizontalFlip", "p": 1.0}], 0, "reference",
                [{"role": "image", "carrier": "array", "outputs": outputs}])
big = np.zeros((2048, 2048, 3), np.uint8)  # 64 copies of 12 MiB do not fit below the limit
small = np.arange(24, dtype=np.uint8).reshape(2, 4, 3)
used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), hard))
try:
    p.apply_targets((big,))
except RuntimeError as error:
    print("failed:", error)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("next key:", p._snapshot_next_key())
print("retry equals key 0:", np.array_equal(p.apply_targets((small,))[0][0], p.apply_targets((small,), key=0)[0][0]))
print("next key:", p._snapshot_next_key())
"""


def test_allocation_failure_fails_only_its_call_and_keeps_the_key():
    import subprocess

    result = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE_SCRIPT], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120)
    assert result.stdout.splitlines() == [
        "failed: output allocation failed", "next key: 0", "retry equals key 0: True", "next key: 1"], result.stderr


def test_keys():
    p = pipeline([image_target()])
    assert p._snapshot_next_key() == 0
    implicit = [p.apply_targets((rgb(),))[0][0] for _ in range(3)]
    assert p._snapshot_next_key() == 3
    p.apply_targets((rgb(),), key=10)
    assert p._snapshot_next_key() == 3
    for key, result in enumerate(implicit):
        assert np.array_equal(p.apply_targets((rgb(),), key=key)[0][0], result)
    restored = tl.Pipeline._restore(CROP_FLIP, 7, "reference", [image_target()], 2**64 - 1)
    restored.apply_targets((rgb(),))
    assert restored._snapshot_next_key() == 0
    with pytest.raises(TypeError, match="^argument 'key': "):
        p.apply_targets((rgb(),), key="1")
    with pytest.raises(OverflowError):
        p.apply_targets((rgb(),), key=-1)


def test_threads_match_single_threaded_results():
    p = pipeline([image_target(), mask_target()], mode="compiled")
    image, mask = rgb(32, 40), rgb(32, 40)[..., 0].copy()
    expected = [p.apply_targets((image, mask), key=k) for k in range(48)]
    got = [None] * 48
    strided = rgb(32, 80)[:, ::2]  # copied, so the calls release the interpreter lock

    def work(offset):
        for k in range(offset, 48, 8):
            got[k] = p.apply_targets((image, mask), key=k)
            p.apply_targets((strided, mask), key=k)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for e, g in zip(expected, got):
        assert all(np.array_equal(x, y) for x, y in zip(e[0] + e[1], g[0] + g[1]))


def test_implicit_keys_are_each_used_once_across_threads():
    p = pipeline([image_target()])
    image = rgb(16, 16)
    expected = sorted(p.apply_targets((image,), key=k)[0][0].tobytes() for k in range(40))
    seen = []
    lock = threading.Lock()

    def work():
        for _ in range(10):
            out = p.apply_targets((image,))[0][0]
            with lock:
                seen.append(out.tobytes())

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert p._snapshot_next_key() == 40
    assert sorted(seen) == expected


# --- binding validation ------------------------------------------------------


def label_of(name):
    return f'target 1 ("{name}")'


@pytest.mark.parametrize(
    "targets, bindings, kind, message",
    [
        ([image_target()], [rgb()], TypeError, "'list' object cannot be converted to 'tuple'"),
        ([image_target(), image_target()], (rgb(),), TypeError, "expected 2 target bindings, received 1"),
        ([image_target("write")], (rgb(),), TypeError, "expected 1 Write bindings for target 0, received 0"),
        ([image_target()], (np.zeros((4, 4), np.float32),), TypeError, "target 0 must be a NumPy uint8 array"),
        ([image_target(), image_target(name="left")], (rgb(), rgb().astype(np.float32)), TypeError,
         'target 1 ("left") must be a NumPy uint8 array'),
        ([image_target()], ([[1]],), TypeError, "target 0 must be a NumPy uint8 array"),
        ([image_target()], (np.zeros((4, 4, 4), np.uint8),), ValueError,
         "target 0 must be a non-empty HW, HWC1, or HWC RGB array"),
        ([image_target()], (np.zeros((4, 4, 2), np.uint8),), ValueError,
         "target 0 must be a non-empty HW, HWC1, or HWC RGB array"),
        ([image_target()], (np.zeros((0, 5), np.uint8),), ValueError,
         "target 0 must be a non-empty HW, HWC1, or HWC RGB array"),
        ([mask_target()], (np.zeros((4, 4, 1), np.uint8),), ValueError, "target 0 must be a non-empty HW array"),
        ([image_target(carrier="encoded")], ("abc",), TypeError,
         "encoded data must be bytes, bytearray, or memoryview"),
        ([image_target(carrier="encoded", max_encoded_bytes=100)], (b"x" * 101,), ValueError,
         "encoded target 0 has 101 bytes, exceeding the configured limit of 100"),
        ([image_target(carrier="path")], (5,), TypeError, "target 0 source must be a local path"),
        ([image_target({"type": "write"})], (Binding(rgb(), "out"),), ValueError,
         "format is required for target 0 destination without a JPEG or PNG suffix"),
        ([image_target({"type": "write"})], (Binding(rgb(), ".png"),), ValueError,
         "format is required for target 0 destination without a JPEG or PNG suffix"),
        ([image_target({"type": "write", "format": "png"})], (Binding(rgb(), "out.jpg"),), ValueError,
         "target 0 output format conflicts with the destination suffix"),
        ([mask_target({"type": "write"})], (Binding(rgb()[..., 0].copy(), "m.jpeg"),), ValueError,
         "Mask Write output must use PNG"),
        ([image_target({"type": "write", "quality": 80})], (Binding(rgb(), "x.png"),), ValueError,
         "quality is only valid for JPEG"),
        ([image_target({"type": "write", "compression": 1})], (Binding(rgb(), "x.jpg"),), ValueError,
         "compression is only valid for PNG"),
        ([image_target({"type": "write"})], (Binding(rgb(), "missing/x.png"),), ValueError,
         "target 0 destination parent 'missing' is not a directory"),
        ([image_target({"type": "write", "format": "png"})], (Binding(rgb(), ".."),), ValueError,
         "target 0 destination must have a file name"),
    ],
)
def test_binding_errors(tmp_path, monkeypatch, targets, bindings, kind, message):
    monkeypatch.chdir(tmp_path)
    p = pipeline(targets)
    with pytest.raises(kind) as raised:
        p.apply_targets(tuple(bindings) if isinstance(bindings, tuple) else bindings)
    assert str(raised.value) == message


def test_destination_checks(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a").mkdir()
    (tmp_path / "dir.png").mkdir()
    two = pipeline([image_target("write"), image_target("write")])
    with pytest.raises(ValueError) as raised:
        two.apply_targets((Binding(rgb(), "a/b.png"), Binding(rgb(), "a//b.png")))
    assert str(raised.value) == "duplicate target destination 'a//b.png'"
    two.apply_targets((Binding(rgb(), "a/b.png"), Binding(rgb(), "./a/b.png")))  # not detected: both written
    one = pipeline([image_target("write")])
    with pytest.raises(ValueError) as raised:
        one.apply_targets((Binding(rgb(), "dir.png"),))
    assert str(raised.value) == "target 0 destination 'dir.png' is a directory"
    one.apply_targets((Binding(rgb(), pathlib.Path("a") / "upper.PNG"),))
    assert tl.read_image(tmp_path / "a" / "upper.PNG").shape == (5, 6, 3)


def test_destinations_with_invalid_utf8(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    one = pipeline([image_target("write")])
    with pytest.raises(ValueError) as raised:
        one.apply_targets((Binding(rgb(), os.fsdecode(b"missing\xff/x.png")),))
    assert str(raised.value) == "target 0 destination parent 'missing\ufffd' is not a directory"
    assert one.apply_targets((Binding(rgb(), os.fsdecode(b"\xff.png")),), key=0) == ((None,),)
    assert os.listdir(b".") == [b"\xff.png"]


def test_write_outputs_are_atomic(tmp_path):
    p = pipeline([image_target("write", "return_array")])
    out = tmp_path / "out.png"
    out.write_bytes(b"previous")
    none, array = p.apply_targets((Binding(rgb(), out),), key=2)[0]
    assert none is None
    assert np.array_equal(tl.read_image(out), array)
    assert sorted(os.listdir(tmp_path)) == ["out.png"]


def block_temporary_names(folder, name, count=20000):
    """Pre-creates every temporary name this process could use for `name`."""
    for n in range(count):
        (folder / f".{name}.tessalumen-{os.getpid()}-{n}").touch()


def test_exhausted_temporary_names_fail_the_write(tmp_path):
    p = pipeline([image_target("write")])
    block_temporary_names(tmp_path, "out.png")
    with pytest.raises(OSError) as raised:
        p.apply_targets((Binding(rgb(), tmp_path / "out.png"),))
    assert str(raised.value) == (f"failed to write destination '{tmp_path / 'out.png'}': "
                                 "could not allocate a temporary sibling file")
    assert not (tmp_path / "out.png").exists()
    assert p._snapshot_next_key() == 0


def test_failed_second_write_keeps_the_first_file_and_the_key(tmp_path):
    p = pipeline([image_target("write"), image_target("write")])
    block_temporary_names(tmp_path, "second.png")
    with pytest.raises(OSError):
        p.apply_targets((Binding(rgb(), tmp_path / "first.png"), Binding(rgb(), tmp_path / "second.png")))
    assert tl.read_image(tmp_path / "first.png").shape == (5, 6, 3)
    assert not (tmp_path / "second.png").exists()
    assert p._snapshot_next_key() == 0
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".first.png")]


def test_encoding_fails_before_anything_is_written(tmp_path):
    p = pipeline([image_target("write"), image_target({"type": "encode", "format": "jpeg", "quality": 101})])
    with pytest.raises(ValueError, match="JPEG quality must be between 1 and 100"):
        p.apply_targets((Binding(rgb(), tmp_path / "first.png"), rgb()))
    assert os.listdir(tmp_path) == []


# --- acquisition -------------------------------------------------------------


def png(array):
    return tl.encode_image(array, "png")


@pytest.mark.parametrize(
    "targets, bindings, kind, message",
    [
        ([image_target(), image_target()], (rgb(64, 48), rgb(64, 49)), ValueError,
         "target 1 dimensions do not match the initial coordinate frame"),
        # The size check runs before the channel check.
        ([image_target(), image_target()], (rgb(64, 48), rgb(64, 49)[..., 0].copy()), ValueError,
         "target 1 dimensions do not match the initial coordinate frame"),
        ([image_target(carrier="encoded")], (b"not an image",), ValueError, "target 0: "),
        ([mask_target(carrier="encoded")], (tl.encode_image(rgb()[..., 0].copy(), "jpeg"),), ValueError,
         "target 0: semantic masks must use PNG input"),
        ([mask_target(carrier="encoded")], (b"GIF89a..",), ValueError,
         "target 0: input is not a supported JPEG or PNG image"),
        ([mask_target(carrier="encoded")], (png(rgb()),), ValueError,
         "target 0: semantic masks must use grayscale or indexed PNG without alpha"),
        ([mask_target(carrier="encoded")], (png(np.zeros((4, 4), np.uint16)),), ValueError,
         "target 0: semantic masks must use 1, 2, 4, or 8-bit samples"),
        ([image_target(carrier="encoded")], (png(np.zeros((4, 4), np.uint16)),), TypeError,
         "target 0: decoded pipeline input dtype must be uint8"),
        ([image_target(carrier="encoded", max_pixels=10)], (png(rgb()),), ValueError,
         "target 0: image has 80 pixels, exceeding the configured limit"),
    ],
)
def test_acquisition_errors(targets, bindings, kind, message):
    p = tl.Pipeline([], 0, "reference", targets)
    with pytest.raises(kind) as raised:
        p.apply_targets(bindings)
    assert str(raised.value).startswith(message)
    assert p._snapshot_next_key() == 0


def test_channel_requirement_is_labelled_twice():
    specs = [{"type": "Affine", "degrees": (0, 0), "translate": (0, 0), "scale": (1, 1), "shear": (0, 0, 0, 0),
              "interpolation": "nearest", "border_mode": "constant", "fill": [1, 2, 3]}]
    p = tl.Pipeline(specs, 0, "reference", [image_target(name="left")])
    with pytest.raises(ValueError) as raised:
        p.apply_targets((rgb()[..., 0].copy(),))
    assert str(raised.value) == ('target 0 ("left"): target 0: Affine fill has three values and requires RGB')


def test_path_sources(tmp_path):
    image = rgb(12, 16)
    source = tmp_path / "in.png"
    tl.write_image(source, image, "png")
    p = tl.Pipeline([], 0, "reference", [image_target(carrier="path"), image_target(carrier="path", decode_mode="gray")])
    (color,), (gray,) = p.apply_targets((source, str(source)))
    assert np.array_equal(color, image)
    assert gray.shape == (12, 16)
    missing = tmp_path / "missing.png"
    with pytest.raises(OSError) as raised:
        p.apply_targets((source, missing))
    assert str(raised.value) == f"target 1: failed to read source '{missing}': No such file or directory (os error 2)"
    limited = tl.Pipeline([], 0, "reference", [image_target(carrier="path", max_encoded_bytes=100)])
    with pytest.raises(ValueError) as raised:
        limited.apply_targets((source,))
    assert str(raised.value) == "target 0: encoded image has 101 bytes, exceeding the configured limit of 100"


def test_paths_with_nul_fail_when_opened(tmp_path):
    (tmp_path / "a").write_bytes(b"must stay")
    nul_path = str(tmp_path / "a") + "\0b.png"
    p = tl.Pipeline([], 0, "reference", [image_target(carrier="path")])
    with pytest.raises(OSError) as raised:
        p.apply_targets((nul_path,))
    assert str(raised.value) == f"target 0: failed to read source '{nul_path}': file name contained an unexpected NUL byte"
    p = pipeline([image_target("write")])
    with pytest.raises(OSError) as raised:
        p.apply_targets((Binding(rgb(), nul_path),))
    assert str(raised.value) == f"failed to write destination '{nul_path}': file name contained an unexpected NUL byte"
    assert os.listdir(tmp_path) == ["a"] and (tmp_path / "a").read_bytes() == b"must stay"
    assert p._snapshot_next_key() == 0


def test_indexed_png_masks_keep_palette_indices():
    if not TESTDATA.is_dir():
        pytest.skip("shared test images are not available")
    data = (TESTDATA / "pngsuite" / "basn3p04.png").read_bytes()
    p = tl.Pipeline([], 0, "reference", [mask_target(carrier="encoded")])
    (mask,), = p.apply_targets((data,))
    assert mask.dtype == np.uint8 and mask.ndim == 2 and mask.max() < 16


def test_strided_arrays_are_copied_and_contiguous_arrays_read_in_place():
    image = rgb(8, 20)
    p = tl.Pipeline([], 0, "reference", [image_target()])
    (out,), = p.apply_targets((image[:, ::2],))
    assert np.array_equal(out, image[:, ::2])
    (out,), = p.apply_targets((image,))
    assert np.array_equal(out, image) and not np.shares_memory(out, image)


def test_reference_counts_and_memory_stay_flat():
    import gc
    import resource

    image = rgb()
    p = pipeline([image_target(), mask_target()])
    failing = [(image,), [image], (image, np.zeros((3, 3), np.uint8)), (image, image)]
    before = sys.getrefcount(image)
    for _ in range(200):
        p.apply_targets((image, image[..., 0].copy()))
        for bindings in failing:
            with pytest.raises((TypeError, ValueError)):
                p.apply_targets(bindings)
    gc.collect()
    assert sys.getrefcount(image) == before
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(2000):
        p.apply_targets((image, image[..., 0].copy()))
        for bindings in failing:
            with pytest.raises((TypeError, ValueError)):
                p.apply_targets(bindings)
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 16 * 1024
