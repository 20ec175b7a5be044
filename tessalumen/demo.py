"""The demo job: augment a scene and its label mask, write the results, and
show them on a contact sheet.

Without arguments it draws a synthetic scene in code (an RGB image with
shapes and the matching label mask). Given a folder of JPEG/PNG files it
augments those instead, with a mask made from each image's brightness.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import pathlib
import sys
import time

import numpy as np

import _tessalumen as tl

SEED = 20261211
SCENE_SIZE = (256, 320)  # height, width
AUGMENTATIONS = 8  # per source image on the contact sheet

# Label colours for mask overlays (label 0 is background).
PALETTE = np.array(
    [[0, 0, 0], [230, 60, 60], [60, 200, 90], [70, 110, 240], [240, 200, 40], [200, 80, 220]],
    dtype=np.uint8,
)


class Destination:
    """One write destination of a call."""

    def __init__(self, path: os.PathLike | str):
        self._destination = os.fspath(path)


class Binding:
    """A target's source together with the destinations of its write outputs."""

    def __init__(self, source, *destinations):
        self._source = source
        self._write_bindings = tuple(Destination(d) for d in destinations)


def synthetic_scene(height: int, width: int) -> tuple[np.ndarray, np.ndarray]:
    """An RGB image with a gradient sky, a sun, a house and a tree, and its labels."""
    y, x = np.mgrid[0:height, 0:width]
    image = np.empty((height, width, 3), dtype=np.uint8)
    image[..., 0] = 90 + (y * 80 // height)
    image[..., 1] = 150 + (y * 60 // height)
    image[..., 2] = 235 - (y * 40 // height)
    mask = np.zeros((height, width), dtype=np.uint8)

    ground = y > height * 2 // 3
    image[ground] = (70, 150, 60)
    mask[ground] = 2

    sun = (y - height // 5) ** 2 + (x - width * 4 // 5) ** 2 < (height // 9) ** 2
    image[sun] = (250, 220, 70)
    mask[sun] = 4

    top, left = height // 3, width // 5
    house = (y >= top) & (y < height * 2 // 3 + 4) & (x >= left) & (x < left + width // 4)
    image[house] = (200, 90, 70)
    mask[house] = 1
    roof = (y < top) & (y >= top - (x - left).clip(0) // 2) & (y >= top - (left + width // 4 - x).clip(0) // 2)
    roof &= (x >= left) & (x < left + width // 4)
    image[roof] = (120, 60, 50)
    mask[roof] = 1

    trunk = (x > width * 3 // 5) & (x < width * 3 // 5 + 10) & (y > height // 2) & ~ground
    image[trunk] = (110, 80, 40)
    mask[trunk] = 3
    crown = (y - height // 2) ** 2 + (x - width * 3 // 5 - 5) ** 2 < (height // 8) ** 2
    image[crown] = (40, 120, 40)
    mask[crown] = 3
    return image, mask


def brightness_mask(image: np.ndarray) -> np.ndarray:
    """Three labels from brightness terciles, so real photos get a mask too."""
    gray = image.mean(axis=2) if image.ndim == 3 else image.astype(np.float64)
    low, high = np.percentile(gray, [33, 66])
    return (1 + (gray > low) + (gray > high)).astype(np.uint8)


def candidate_steps(height: int, width: int) -> list[dict]:
    """A realistic augmentation pipeline; steps the build cannot run are dropped."""
    crop_h, crop_w = height * 7 // 8, width * 7 // 8
    return [
        {"type": "RandomResizedCrop", "height": crop_h, "width": crop_w, "scale": (0.5, 1.0),
         "ratio": (0.75, 1.333), "interpolation": "bilinear", "antialias": True, "p": 0.5},
        {"type": "RandomCrop", "height": crop_h, "width": crop_w},
        {"type": "HorizontalFlip"},
        {"type": "VerticalFlip", "p": 0.2},
        {"type": "Affine", "degrees": (-15, 15), "translate": (0.05, 0.05), "scale": (0.9, 1.1),
         "shear": (-5, 5, -5, 5), "interpolation": "bilinear", "border_mode": "reflect101", "fill": [0], "p": 0.6},
        {"type": "GridDistortion", "num_steps": 5, "distort_limit": (-0.2, 0.2), "interpolation": "bilinear",
         "border_mode": "constant", "fill": [0], "p": 0.3},
        {"type": "PadIfNeeded", "min_height": height, "min_width": width, "pad_height_divisor": None,
         "pad_width_divisor": None, "position": "random", "border_mode": "constant", "fill": [0]},
        {"type": "ColorJitter", "brightness": (0.8, 1.2), "contrast": (0.8, 1.2), "saturation": (0.8, 1.2),
         "hue": (-0.05, 0.05), "p": 0.8},
        {"type": "GaussianBlur", "kernel_size": 5, "sigma": (0.3, 1.5), "p": 0.3},
        {"type": "GaussianNoise", "mean": (0, 0), "std": (2, 8), "per_channel": True, "p": 0.3},
        {"type": "CoarseDropout", "num_holes_range": (1, 4), "hole_height_unit": "fraction",
         "hole_height_range": (0.05, 0.12), "hole_width_unit": "fraction", "hole_width_range": (0.05, 0.12),
         "fill": [0], "p": 0.3},
    ]


def runs_in_this_build(step: dict, image: np.ndarray, mask: np.ndarray) -> bool:
    """Whether a step runs here: some operations arrive in later builds."""
    probe = dict(step, p=1.0)
    try:
        pipeline = tl.Pipeline([probe], SEED, "reference", array_targets())
        pipeline.apply_targets((image, mask), key=0)
    except RuntimeError:
        return False
    return True


def array_targets(write: bool = False) -> list[dict]:
    image_outputs = [{"type": "return_array"}]
    mask_outputs = [{"type": "return_array"}]
    if write:
        image_outputs.append({"type": "write"})
        mask_outputs.append({"type": "write", "format": "png"})
    return [
        {"role": "image", "carrier": "array", "outputs": image_outputs, "name": "image"},
        {"role": "mask", "fill": 0, "carrier": "array", "outputs": mask_outputs, "name": "mask"},
    ]


def encoded_targets() -> list[dict]:
    return [
        {"role": "image", "carrier": "encoded", "outputs": [{"type": "return_tensor"}], "name": "image"},
        {"role": "mask", "fill": 0, "carrier": "encoded", "outputs": [{"type": "return_array"}], "name": "mask"},
    ]


def overlay(image: np.ndarray, mask: np.ndarray) -> np.ndarray:
    colours = PALETTE[mask % len(PALETTE)]
    blended = (image.astype(np.uint16) + colours.astype(np.uint16)) // 2
    return np.where(mask[..., None] > 0, blended, image).astype(np.uint8)


def fit(tile: np.ndarray, height: int, width: int) -> np.ndarray:
    """Place a tile on a black cell of the given size (cropping what overflows)."""
    cell = np.zeros((height, width, 3), dtype=np.uint8)
    h, w = min(height, tile.shape[0]), min(width, tile.shape[1])
    cell[:h, :w] = tile[:h, :w]
    return cell


def contact_sheet(rows: list[list[np.ndarray]], cell_h: int, cell_w: int, gap: int = 4) -> np.ndarray:
    columns = max(len(r) for r in rows)
    sheet = np.full((len(rows) * (cell_h + gap) + gap, columns * (cell_w + gap) + gap, 3), 255, dtype=np.uint8)
    for r, row in enumerate(rows):
        for c, tile in enumerate(row):
            top, left = gap + r * (cell_h + gap), gap + c * (cell_w + gap)
            sheet[top:top + cell_h, left:left + cell_w] = fit(tile, cell_h, cell_w)
    return sheet


def load_sources(folder: pathlib.Path | None) -> list[tuple[str, np.ndarray, np.ndarray]]:
    if folder is None:
        image, mask = synthetic_scene(*SCENE_SIZE)
        return [("scene", image, mask)]
    sources = []
    for path in sorted(folder.iterdir()):
        if path.suffix.lower() in (".jpg", ".jpeg", ".png"):
            image = tl.read_image(path, "rgb")
            sources.append((path.stem, image, brightness_mask(image)))
    if not sources:
        raise SystemExit(f"no JPEG or PNG files in {folder}")
    return sources


def throughput(pipeline, image: bytes, mask: bytes, calls: int, threads: int) -> float:
    """Calls per second with explicit keys, spread over the given number of threads.

    The inputs are encoded files, as a data loader reads them, so each call
    decodes, augments and runs without the interpreter lock.
    """
    def work(first_key: int) -> None:
        for key in range(first_key, calls, threads):
            pipeline.apply_targets((image, mask), key=key)

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        list(pool.map(work, range(threads)))
    return calls / (time.perf_counter() - start)


def run(folder: pathlib.Path | None, output: pathlib.Path, calls: int) -> None:
    output.mkdir(parents=True, exist_ok=True)
    sources = load_sources(folder)
    _, first_image, first_mask = sources[0]
    height, width = first_image.shape[:2]
    steps = [s for s in candidate_steps(height, width) if runs_in_this_build(s, first_image, first_mask)]
    print(f"pipeline: {', '.join(s['type'] for s in steps) or '(empty)'}")

    rows = []
    for name, image, mask in sources:
        h, w = image.shape[:2]
        steps_here = [s for s in candidate_steps(h, w) if any(s["type"] == t["type"] for t in steps)]
        pipeline = tl.Pipeline(steps_here, SEED, "compiled", array_targets(write=True))
        augmented, overlays = [], []
        for key in range(AUGMENTATIONS):
            bindings = (
                Binding(image, output / f"{name}-{key:02d}.png"),
                Binding(mask, output / f"{name}-{key:02d}-mask.png"),
            )
            (out_image, _), (out_mask, _) = pipeline.apply_targets(bindings, key=key)
            augmented.append(out_image)
            overlays.append(overlay(out_image, out_mask))
        # Per row pair: the original and its augmentations, then their mask overlays.
        half = AUGMENTATIONS // 2
        for start in range(0, AUGMENTATIONS, half):
            rows.append([image] + augmented[start:start + half])
            rows.append([overlay(image, mask)] + overlays[start:start + half])

    cell_h = max(r.shape[0] for row in rows for r in row)
    cell_w = max(r.shape[1] for row in rows for r in row)
    sheet_path = output / "contact-sheet.png"
    tl.write_image(sheet_path, contact_sheet(rows, cell_h, cell_w), "png")
    print(f"wrote {AUGMENTATIONS * len(sources)} augmented images and masks and {sheet_path}")

    timed = tl.Pipeline(steps, SEED, "compiled", encoded_targets())
    encoded_image = tl.encode_image(first_image, "jpeg", quality=90)
    encoded_mask = tl.encode_image(first_mask, "png")
    throughput(timed, encoded_image, encoded_mask, 20, 1)  # warm the workspace pool
    single = throughput(timed, encoded_image, encoded_mask, calls, 1)
    double = throughput(timed, encoded_image, encoded_mask, calls, 2)
    print(f"throughput on {width}x{height}: {single:.0f} calls/s on 1 thread, "
          f"{double:.0f} calls/s on 2 threads ({double / single:.2f}x)")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="python -m tessalumen demo", description=__doc__)
    parser.add_argument("folder", nargs="?", type=pathlib.Path, help="a folder of JPEG/PNG files")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("demo-output"))
    parser.add_argument("--calls", type=int, default=400, help="calls per throughput measurement")
    args = parser.parse_args(argv)
    run(args.folder, args.output, args.calls)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
