"""Decode and encode speed of our JPEG and PNG codecs against Pillow and OpenCV.

All three libraries run on the same files in the same process, in interleaved
rounds (each round times every library once, in rotating order), so machine
load affects them alike; the ratios are the other library's median time over
ours (above 1 means we are faster).

Pillow and opencv-python-headless are used only here; `make bench` installs
them into the virtual environment. Run alone with `.venv/bin/python
bench/codec_bench.py [--rounds N]`.
"""

import argparse
import io
import pathlib
import statistics
import sys
import time

import numpy as np

try:
    import cv2
    from PIL import Image
except ImportError as missing:  # pragma: no cover - a setup problem, not a result
    sys.exit(f"codec_bench needs Pillow and opencv-python-headless: {missing}")

import _tessalumen

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata" / "jpeg" / "harvesters.jpeg"


def photo() -> np.ndarray:
    """A 4-megapixel RGB photograph (the 1165 x 859 test photo scaled 2x), or a
    synthetic smooth image with grain when the test data is absent."""
    if SOURCE.exists():
        image = Image.open(SOURCE).convert("RGB")
        image = image.resize((image.width * 2, image.height * 2), Image.BICUBIC)
        return np.asarray(image).copy()
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:1718, 0:2330]
    base = np.stack([(x // 9) % 256, (y // 7) % 256, ((x + y) // 11) % 256], axis=-1)
    return (base + rng.integers(0, 12, base.shape)).clip(0, 255).astype(np.uint8)


def encoded(array: np.ndarray, fmt: str, **options) -> bytes:
    out = io.BytesIO()
    Image.fromarray(array).save(out, format=fmt, **options)
    return out.getvalue()


def pillow_decode(data: bytes):
    image = Image.open(io.BytesIO(data))
    image.load()
    return image


def cases(rgb: np.ndarray):
    gray = np.asarray(Image.fromarray(rgb).convert("L")).copy()
    rgba = np.dstack([rgb, np.full(rgb.shape[:2], 200, np.uint8)])
    png_rgb = encoded(rgb, "PNG", compress_level=6)
    png_gray = encoded(gray, "PNG", compress_level=6)
    png_rgba = encoded(rgba, "PNG", compress_level=6)
    jpeg_420 = encoded(rgb, "JPEG", quality=90)
    bgr = np.ascontiguousarray(rgb[:, :, ::-1])
    pil_rgb = Image.fromarray(rgb)

    def decode_case(name, data):
        buffer = np.frombuffer(data, np.uint8)
        return name, {
            "ours": lambda: _tessalumen.decode_image(data, mode="unchanged", max_pixels=None),
            "pillow": lambda: pillow_decode(data),
            "opencv": lambda: cv2.imdecode(buffer, cv2.IMREAD_UNCHANGED),
        }

    yield decode_case("PNG decode RGB", png_rgb)
    yield decode_case("PNG decode gray", png_gray)
    yield decode_case("PNG decode RGBA", png_rgba)
    yield decode_case("JPEG decode RGB 4:2:0 q90", jpeg_420)
    if SOURCE.exists():
        yield decode_case("JPEG decode harvesters.jpeg", SOURCE.read_bytes())
    yield "PNG encode RGB level 6", {
        "ours": lambda: _tessalumen.encode_image(rgb, "png", compression=6),
        "pillow": lambda: pil_rgb.save(io.BytesIO(), format="PNG", compress_level=6),
        "opencv": lambda: cv2.imencode(".png", bgr, [cv2.IMWRITE_PNG_COMPRESSION, 6]),
    }
    yield "JPEG encode RGB q95", {
        "ours": lambda: _tessalumen.encode_image(rgb, "jpeg", quality=95),
        "pillow": lambda: pil_rgb.save(io.BytesIO(), format="JPEG", quality=95),
        "opencv": lambda: cv2.imencode(".jpg", bgr, [cv2.IMWRITE_JPEG_QUALITY, 95]),
    }


def measure(functions: dict, rounds: int) -> dict:
    names = list(functions)
    times = {name: [] for name in names}
    for name in names:  # warm-up: per-thread handles, page faults, caches
        functions[name]()
    for r in range(rounds):
        for name in names[r % len(names):] + names[: r % len(names)]:
            start = time.perf_counter()
            functions[name]()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) * 1000 for name, values in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    cv2.setNumThreads(1)  # every library on one thread, as ours runs
    rgb = photo()
    print(f"image {rgb.shape[1]}x{rgb.shape[0]}, {args.rounds} interleaved rounds, median ms")
    print(f"{'case':30} {'ours':>9} {'pillow':>9} {'opencv':>9} {'pil/ours':>9} {'cv/ours':>8}")
    results = {}
    for name, functions in cases(rgb):
        ms = measure(functions, args.rounds)
        results[name] = ms
        print(f"{name:30} {ms['ours']:9.2f} {ms['pillow']:9.2f} {ms['opencv']:9.2f} "
              f"{ms['pillow'] / ms['ours']:9.2f} {ms['opencv'] / ms['ours']:8.2f}")
    goals = [
        ("PNG decode RGB", 1.3, "PNG decode at least 1.3x Pillow"),
        ("JPEG decode RGB 4:2:0 q90", 1.0, "JPEG decode no slower than Pillow"),
        ("PNG encode RGB level 6", 1.0, "PNG encode level 6 no slower than Pillow"),
    ]
    for case, goal, text in goals:
        ratio = results[case]["pillow"] / results[case]["ours"]
        print(f"goal: {text}: {ratio:.2f} ({'met' if ratio >= goal else 'NOT met'})")


if __name__ == "__main__":
    main()
