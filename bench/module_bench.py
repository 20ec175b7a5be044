"""Cost of one native round trip and of constructing a 10-step pipeline.

`boundary(x)` is compared with `len(())`, a trivial built-in call measured in
the same run, so the ratio does not depend on the machine's speed.
"""

import statistics
import timeit

import _tessalumen

TARGETS = [{"role": "image", "carrier": "array", "outputs": [{"type": "return_array"}]}]
TEN_STEPS = [
    {"type": "RandomResizedCrop", "height": 224, "width": 224, "scale": (0.08, 1.0), "ratio": (0.75, 1.333),
     "interpolation": "bilinear", "antialias": True},
    {"type": "HorizontalFlip"},
    {"type": "ColorJitter", "brightness": (0.8, 1.2), "contrast": (0.8, 1.2), "saturation": (0.8, 1.2),
     "hue": (-0.05, 0.05), "p": 0.8},
    {"type": "Affine", "degrees": (-15, 15), "translate": (0.1, 0.1), "scale": (0.9, 1.1),
     "shear": (-5, 5, -5, 5), "interpolation": "bilinear", "border_mode": "reflect101", "fill": [0]},
    {"type": "GaussianNoise", "mean": (0, 0), "std": (2, 8), "per_channel": True, "p": 0.3},
    {"type": "Sharpen", "alpha": (0.1, 0.3), "lightness": (0.9, 1.1), "p": 0.2},
    {"type": "GaussianBlur", "kernel_size": 5, "sigma": (1.0, 1.0), "p": 0.2},
    {"type": "CoarseDropout", "num_holes_range": (1, 4), "hole_height_unit": "fraction",
     "hole_height_range": (0.05, 0.1), "hole_width_unit": "pixels", "hole_width_range": (4, 16), "fill": [0]},
    {"type": "Solarize", "threshold": 200, "p": 0.1},
    {"type": "Normalize", "mean": [0.485, 0.456, 0.406], "std": [0.229, 0.224, 0.225]},
]


def best_per_call(stmt, number, repeat=15, **names):
    times = timeit.repeat(stmt, globals=names, number=number, repeat=repeat)
    return min(times) / number, statistics.median(times) / number


def main():
    value = object()
    number = 2_000_000
    # Interleave the two measurements so that frequency changes hit both.
    boundary, builtin = [], []
    for _ in range(5):
        boundary.append(best_per_call("boundary(value)", number, repeat=3,
                                      boundary=_tessalumen.boundary, value=value)[0])
        builtin.append(best_per_call("len(empty)", number, repeat=3, empty=())[0])
    b, l = min(boundary), min(builtin)
    print(f"boundary(x):   {b * 1e9:7.1f} ns per call")
    print(f"len(()):       {l * 1e9:7.1f} ns per call")
    print(f"ratio:         {b / l:7.2f} (goal <= 1.3)")

    best, median = best_per_call("Pipeline(specs, 0, 'reference', targets)", 2000,
                                 Pipeline=_tessalumen.Pipeline, specs=TEN_STEPS, targets=TARGETS)
    print(f"10-step Pipeline construction: {best * 1e6:.1f} us best, {median * 1e6:.1f} us median")


if __name__ == "__main__":
    main()
