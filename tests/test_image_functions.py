"""read_image, decode_image, encode_image and write_image."""

import os
import pathlib
import sys

import numpy as np
import pytest

import _tessalumen as tl

TESTDATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata"


def gradient(height=12, width=10, channels=3, dtype=np.uint8):
    top = np.iinfo(dtype).max
    y, x = np.mgrid[0:height, 0:width]
    planes = [(y * 7 + x * 13 + c * 31) % (top + 1) for c in range(channels)]
    image = np.stack(planes, axis=-1).astype(dtype)
    return image[..., 0] if channels == 0 else image


@pytest.mark.parametrize(
    "image, mode, shape, dtype",
    [
        (gradient(channels=3), "rgb", (12, 10, 3), np.uint8),
        (gradient(channels=3), "unchanged", (12, 10, 3), np.uint8),
        (gradient(channels=3), "gray", (12, 10), np.uint8),
        (gradient(channels=4), "unchanged", (12, 10, 4), np.uint8),
        (gradient(channels=4), "rgb", (12, 10, 3), np.uint8),
        (gradient(channels=2), "unchanged", (12, 10, 2), np.uint8),
        (gradient(channels=1), "unchanged", (12, 10), np.uint8),
        (gradient(channels=1)[..., 0], "rgba", (12, 10, 4), np.uint8),
        (gradient(channels=3, dtype=np.uint16), "unchanged", (12, 10, 3), np.uint16),
        (gradient(channels=1, dtype=np.uint16)[..., 0], "unchanged", (12, 10), np.uint16),
    ],
)
def test_png_round_trip_shapes(image, mode, shape, dtype):
    decoded = tl.decode_image(tl.encode_image(image, "png"), mode)
    assert decoded.shape == shape
    assert decoded.dtype == dtype
    assert decoded.flags.c_contiguous and decoded.flags.owndata is False
    if mode == "unchanged":
        assert np.array_equal(decoded.reshape(image.shape), image)


def test_decoded_array_owns_its_buffer_without_copy():
    decoded = tl.decode_image(tl.encode_image(gradient(), "png"))
    base = decoded.base
    assert base is not None and not isinstance(base, np.ndarray)
    del base
    decoded[0, 0, 0] = 1  # writable, and independent of anything else


def test_jpeg_round_trip_is_close():
    y, x = np.mgrid[0:32, 0:32]
    image = np.stack([y * 4, x * 4, (x + y) * 2], axis=-1).astype(np.uint8)
    decoded = tl.decode_image(tl.encode_image(image, "jpeg", quality=100))
    assert decoded.shape == image.shape
    assert np.abs(decoded.astype(int) - image.astype(int)).max() <= 8


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: tl.encode_image(np.zeros((2, 2), np.float32), "png"), ValueError,
         "image dtype must be uint8 or uint16"),
        (lambda: tl.encode_image([[1, 2]], "png"), ValueError, "image dtype must be uint8 or uint16"),
        (lambda: tl.encode_image(np.zeros((0, 2), np.uint8), "png"), ValueError,
         "image must have HW or HWC shape with positive dimensions"),
        (lambda: tl.encode_image(np.zeros((2,), np.uint8), "png"), ValueError,
         "image must have HW or HWC shape with positive dimensions"),
        (lambda: tl.encode_image(np.zeros((2, 2, 5), np.uint8), "png"), ValueError,
         "image must have between one and four channels"),
        (lambda: tl.encode_image(np.zeros((2, 2, 0), np.uint8), "png"), ValueError,
         "image must have between one and four channels"),
        (lambda: tl.encode_image(np.zeros((3, 4, 3), np.uint8).transpose(1, 0, 2), "png"), ValueError,
         "image must be C-contiguous"),
        # The image is checked before the format.
        (lambda: tl.encode_image(np.zeros((2, 2), np.float32), "gif"), ValueError,
         "image dtype must be uint8 or uint16"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "gif"), ValueError, "format must be 'jpeg' or 'png'"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "PNG"), ValueError, "format must be 'jpeg' or 'png'"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "png", quality=90), ValueError,
         "quality is only valid for JPEG"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "jpeg", compression=1), ValueError,
         "compression is only valid for PNG"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "png", compression=12), ValueError,
         "PNG compression must be between 0 and 9"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "jpeg", quality=0), ValueError,
         "JPEG quality must be between 1 and 100"),
        (lambda: tl.encode_image(np.zeros((2, 2, 3), np.uint16), "jpeg"), ValueError,
         "JPEG encoding requires uint8 pixels"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "png", compression=256), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), 5), TypeError, "argument 'format': "),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "png", compression="6"), TypeError,
         "argument 'compression': "),
        (lambda: tl.decode_image("abc"), TypeError, "encoded data must be bytes, bytearray, or memoryview"),
        (lambda: tl.decode_image([1, 2]), TypeError, "encoded data must be bytes, bytearray, or memoryview"),
        (lambda: tl.decode_image(b"x" * 11, max_encoded_bytes=10), ValueError,
         "encoded image has 11 bytes, exceeding the configured limit of 10"),
        (lambda: tl.decode_image(b"x", max_encoded_bytes=0), ValueError, "max_encoded_bytes must be positive or None"),
        # The pixel limit is checked before the mode, both before the data.
        (lambda: tl.decode_image("abc", "bad", max_pixels=0), ValueError, "max_pixels must be positive or None"),
        (lambda: tl.decode_image("abc", "bad"), ValueError, "mode must be 'unchanged', 'gray', 'rgb', or 'rgba'"),
        (lambda: tl.decode_image(b"x", "RGB"), ValueError, "mode must be 'unchanged', 'gray', 'rgb', or 'rgba'"),
        (lambda: tl.decode_image(b"x", max_pixels=-1), OverflowError, ""),
        (lambda: tl.decode_image(b"x", max_pixels="1"), TypeError, "argument 'max_pixels': "),
        (lambda: tl.read_image(5), TypeError, "argument 'path': "),
        (lambda: tl.read_image(b"bytes-path.png"), TypeError, "argument 'path': "),
        (lambda: tl.decode_image(), TypeError, ""),
        (lambda: tl.encode_image(np.zeros((2, 2), np.uint8), "png", None, None, 1), TypeError, ""),
    ],
)
def test_errors(call, kind, message):
    with pytest.raises(kind) as raised:
        call()
    assert str(raised.value).startswith(message)


def test_decode_accepts_bytearray_and_memoryview_and_defaults():
    encoded = tl.encode_image(gradient(), "png")
    expected = tl.decode_image(encoded)
    assert np.array_equal(tl.decode_image(bytearray(encoded)), expected)
    assert np.array_equal(tl.decode_image(memoryview(encoded)), expected)
    assert np.array_equal(tl.decode_image(data=encoded, mode="rgb", max_pixels=None), expected)
    # A limit equal to the size passes.
    assert np.array_equal(tl.decode_image(encoded, max_encoded_bytes=len(encoded)), expected)


def test_pixel_limit_comes_from_the_codec():
    encoded = tl.encode_image(np.zeros((20, 30), np.uint8), "png")
    with pytest.raises(ValueError, match="exceeding the configured limit"):
        tl.decode_image(encoded, max_pixels=599)
    assert tl.decode_image(encoded, "gray", max_pixels=600).shape == (20, 30)


def test_read_and_write_files(tmp_path):
    image = np.random.default_rng(7).integers(0, 256, (12, 10, 3), dtype=np.uint8)
    path = tmp_path / "picture.png"
    path.write_bytes(b"old content")
    assert tl.write_image(path, image, "png") is None
    assert np.array_equal(tl.read_image(path), image)
    assert np.array_equal(tl.read_image(str(path), "unchanged"), image)
    size = path.stat().st_size
    with pytest.raises(ValueError) as raised:
        tl.read_image(path, max_encoded_bytes=100)
    assert str(raised.value) == "encoded image has 101 bytes, exceeding the configured limit of 100"
    assert size > 101
    with pytest.raises(ValueError, match="max_encoded_bytes must be positive or None"):
        tl.read_image(path, max_encoded_bytes=0)


def test_file_errors(tmp_path):
    missing = tmp_path / "missing.png"
    with pytest.raises(OSError) as raised:
        tl.read_image(missing)
    assert str(raised.value) == f"failed to read source '{missing}': No such file or directory (os error 2)"
    with pytest.raises(OSError) as raised:
        tl.read_image(tmp_path)
    assert str(raised.value) == f"failed to read source '{tmp_path}': Is a directory (os error 21)"
    target = tmp_path / "nowhere" / "x.png"
    with pytest.raises(OSError) as raised:
        tl.write_image(target, np.zeros((2, 2), np.uint8), "png")
    assert str(raised.value) == f"failed to write destination '{target}': No such file or directory (os error 2)"
    assert not (tmp_path / "nowhere").exists()


def test_paths_with_nul_convert_and_then_fail_as_file_errors(tmp_path):
    (tmp_path / "a").write_bytes(b"must stay")
    nul_path = str(tmp_path / "a") + "\0b.png"
    # The path converts, so the mode is checked before the file is touched.
    with pytest.raises(ValueError, match="^mode must be"):
        tl.read_image(nul_path, "bad")
    with pytest.raises(OSError) as raised:
        tl.read_image(nul_path)
    assert str(raised.value) == f"failed to read source '{nul_path}': file name contained an unexpected NUL byte"
    with pytest.raises(OSError) as raised:
        tl.write_image(nul_path, np.zeros((2, 2), np.uint8), "png")
    assert str(raised.value) == f"failed to write destination '{nul_path}': file name contained an unexpected NUL byte"
    assert (tmp_path / "a").read_bytes() == b"must stay"


def test_signatures():
    assert tl.read_image.__text_signature__ == '(path, mode="rgb", max_pixels=..., max_encoded_bytes=None)'
    assert tl.decode_image.__text_signature__ == '(data, mode="rgb", max_pixels=..., max_encoded_bytes=None)'
    assert tl.encode_image.__text_signature__ == "(image, format, quality=None, compression=None)"
    assert tl.write_image.__text_signature__ == "(path, image, format, quality=None, compression=None)"


@pytest.mark.skipif(not TESTDATA.is_dir(), reason="shared test images are not available")
def test_real_files_decode():
    cmyk_like = [p for p in (TESTDATA / "jpeg").glob("*.jp*g")]
    assert cmyk_like
    decoded = tl.read_image(TESTDATA / "pngsuite" / "basn0g16.png", "unchanged")
    assert decoded.dtype == np.uint16 and decoded.ndim == 2
    decoded = tl.read_image(TESTDATA / "pngsuite" / "basn4a08.png", "unchanged")
    assert decoded.shape[2] == 2
    decoded = tl.read_image(TESTDATA / "pngsuite" / "basn6a08.png", "rgb")
    assert decoded.shape[2] == 3 and decoded.dtype == np.uint8


def test_reference_counts_and_memory_stay_flat(tmp_path):
    import gc
    import resource

    image = gradient(64, 64)
    encoded = tl.encode_image(image, "png")
    buffer = bytearray(encoded)
    path = tmp_path / "o.png"
    failing = [
        lambda: tl.decode_image(b"xx"),
        lambda: tl.decode_image(encoded, max_encoded_bytes=3),
        lambda: tl.encode_image(image, "png", quality=3),
        lambda: tl.encode_image(image.transpose(1, 0, 2), "png"),
        lambda: tl.read_image(tmp_path / "missing.png"),
    ]

    def calls():
        tl.decode_image(encoded)
        tl.decode_image(memoryview(buffer), "gray")
        tl.encode_image(image, "jpeg")
        tl.write_image(path, image, "png")
        tl.read_image(path)
        for call in failing:
            with pytest.raises((ValueError, OSError)):
                call()

    before = [sys.getrefcount(o) for o in (image, encoded, buffer)]
    for _ in range(100):
        calls()
    gc.collect()
    assert [sys.getrefcount(o) for o in (image, encoded, buffer)] == before
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(400):
        calls()
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 16 * 1024
