#!/usr/bin/python3
"""Makes the bundled demo picture: scikit-image's public-domain astronaut photo,
blurred with a seeded camera-shake kernel and light noise.

Writes samples/astronaut_blurred.png and samples/astronaut_true_kernel.png.
Run from the project root: /usr/bin/python3 scripts/make_sample.py"""

import os
import sys

import numpy as np
from skimage import data, io

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from camera_shake import blur_valid, shake_kernel  # noqa: E402

KERNEL_SIZE = 21
KERNEL_SEED = 2026
NOISE_SIGMA = 0.005
NOISE_SEED = 7


def main():
    sharp = data.astronaut().astype(np.float64) / 255.0
    kernel = shake_kernel(KERNEL_SIZE, KERNEL_SEED)
    blurred = blur_valid(sharp, kernel, NOISE_SIGMA, NOISE_SEED)
    os.makedirs("samples", exist_ok=True)
    io.imsave("samples/astronaut_blurred.png", np.round(blurred * 255).astype(np.uint8),
              check_contrast=False)
    picture = np.round(kernel / kernel.max() * 255).astype(np.uint8)
    io.imsave("samples/astronaut_true_kernel.png", np.stack([picture] * 3, axis=2),
              check_contrast=False)


if __name__ == "__main__":
    main()
