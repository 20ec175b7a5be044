"""Whole-call costs of apply_targets, as ratios to baselines run in the same process.

- Per-call overhead: a 1 x 1 image through an empty pipeline with one
  return_array output, against `boundary()` (one bare native round trip).
- Parallelism: a 512 x 512 RGB pipeline fed encoded inputs (the interpreter
  lock is released for the native part) on 2 threads against 1.
- No copy: a returned array is backed by the engine's buffer (its base is the
  owning capsule, not another array).
"""

import concurrent.futures
import statistics
import time
import timeit

import numpy as np

import _tessalumen as tl

ARRAY_TARGET = [{"role": "image", "carrier": "array", "outputs": [{"type": "return_array"}]}]
ENCODED_TARGET = [{"role": "image", "carrier": "encoded", "outputs": [{"type": "return_array"}]}]
STEPS = [
    {"type": "RandomCrop", "height": 448, "width": 448},
    {"type": "HorizontalFlip"},
    {"type": "PadIfNeeded", "min_height": 480, "min_width": 480, "pad_height_divisor": None,
     "pad_width_divisor": None, "position": "center", "border_mode": "reflect101", "fill": [0]},
    {"type": "VerticalFlip", "p": 0.3},
]


def per_call_overhead():
    pipeline = tl.Pipeline([], 0, "compiled", ARRAY_TARGET)
    bindings = (np.zeros((1, 1, 3), np.uint8),)
    value = object()
    calls, rounds = [], []
    for _ in range(9):
        calls.append(min(timeit.repeat(lambda: pipeline.apply_targets(bindings, key=0), number=20_000, repeat=3)))
        rounds.append(min(timeit.repeat(lambda: tl.boundary(value), number=20_000, repeat=3)))
    call, round_trip = statistics.median(calls) / 20_000, statistics.median(rounds) / 20_000
    print(f"apply_targets 1x1, empty pipeline: {call * 1e9:.0f} ns/call, "
          f"{call / round_trip:.1f} x boundary() ({round_trip * 1e9:.0f} ns)")


def throughput(pipeline, encoded, calls, threads):
    def work(first):
        for key in range(first, calls, threads):
            pipeline.apply_targets((encoded,), key=key)

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(work, range(threads)))
    return calls / (time.perf_counter() - start)


def parallel_speedup():
    rng = np.random.default_rng(1)
    image = rng.integers(0, 256, (512, 512, 3), dtype=np.uint8)
    image = np.ascontiguousarray(np.cumsum(image, axis=1, dtype=np.uint16).astype(np.uint8))
    encoded = tl.encode_image(image, "jpeg", quality=90)
    pipeline = tl.Pipeline(STEPS, 0, "compiled", ENCODED_TARGET)
    throughput(pipeline, encoded, 20, 2)
    ratios = []
    for _ in range(3):
        one = throughput(pipeline, encoded, 200, 1)
        two = throughput(pipeline, encoded, 200, 2)
        ratios.append(two / one)
    print(f"512x512 RGB from JPEG: {one:.0f} calls/s on 1 thread, {two:.0f} on 2 threads; "
          f"speedup {statistics.median(ratios):.2f}x (median of 3)")


def no_copy_check():
    pipeline = tl.Pipeline(STEPS[:2], 0, "compiled", ARRAY_TARGET)
    (out,), = pipeline.apply_targets((np.zeros((512, 512, 3), np.uint8),), key=0)
    owned = out.base is not None and not isinstance(out.base, np.ndarray)
    print(f"returned array backed by the engine's buffer (capsule base, no copy): {owned}")


if __name__ == "__main__":
    per_call_overhead()
    parallel_speedup()
    no_copy_check()
