#!/usr/bin/python3
"""Makes the README's pictures from what `make demo` wrote into out/: the
sample before and after (docs/astronaut_before_after.jpg) and the true and
estimated kernels side by side (docs/astronaut_kernels.png).

Run from the project root after `make demo`: /usr/bin/python3 scripts/make_readme_pictures.py"""

import numpy as np
from skimage import io, transform

PICTURE_SIDE = 300
KERNEL_SIDE = 150
GAP = 10


def grey(picture):
    return picture[..., 0] if picture.ndim == 3 else picture


def scaled(picture, side, order):
    resized = transform.resize(picture.astype(np.float64), (side, side), order=order,
                               preserve_range=True, anti_aliasing=order > 0)
    return np.clip(np.round(resized), 0, 255).astype(np.uint8)


def main():
    before = io.imread("samples/astronaut_blurred.png")
    after = io.imread("out/astronaut_deblurred.png")
    pair = np.concatenate([scaled(before, PICTURE_SIDE, 1), scaled(after, PICTURE_SIDE, 1)], axis=1)
    io.imsave("docs/astronaut_before_after.jpg", pair, quality=90)

    true_kernel = grey(io.imread("samples/astronaut_true_kernel.png")).astype(np.float64)
    estimate = grey(io.imread("out/astronaut_blurred_kernel.png")).astype(np.float64)
    # The true kernel is smaller than the estimate's grid: centre it on a grid
    # of the same size so that both are drawn at one scale.
    padded = np.zeros_like(estimate)
    top = (estimate.shape[0] - true_kernel.shape[0]) // 2
    left = (estimate.shape[1] - true_kernel.shape[1]) // 2
    padded[top:top + true_kernel.shape[0], left:left + true_kernel.shape[1]] = true_kernel
    panels = [scaled(k / k.max() * 255, KERNEL_SIDE, 0) for k in (padded, estimate)]
    gap = np.zeros((KERNEL_SIDE, GAP), dtype=np.uint8)
    io.imsave("docs/astronaut_kernels.png", np.concatenate([panels[0], gap, panels[1]], axis=1),
              check_contrast=False)


if __name__ == "__main__":
    main()
