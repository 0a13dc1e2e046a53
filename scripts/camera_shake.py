"""Seeded camera-shake kernels and blurring, shared by the sample and the benchmarks."""

import os

import numpy as np
from scipy import signal


def shake_kernel(size, seed, steps=None):
    """A size x size motion-blur kernel: a smooth random walk of the optical
    axis, splatted bilinearly onto the grid, centred on its centre of mass
    and normalised to sum 1."""
    rng = np.random.default_rng(seed)
    steps = steps or 8 * size
    # A walk with momentum looks like hand shake: mostly smooth, sometimes turning.
    velocity = rng.normal(size=2)
    velocity /= np.linalg.norm(velocity)
    position = np.zeros(2)
    path = [position.copy()]
    for _ in range(steps):
        velocity = 0.9 * velocity + 0.35 * rng.normal(size=2)
        velocity /= max(np.linalg.norm(velocity), 1e-9)
        position = position + 0.25 * velocity
        path.append(position.copy())
    path = np.array(path)
    path -= path.mean(axis=0)
    extent = np.abs(path).max()
    reach = (size - 3) / 2.0
    if extent > reach:
        path *= reach / extent
    kernel = np.zeros((size, size))
    centre = (size - 1) / 2.0
    for y, x in path + centre:
        y0, x0 = int(np.floor(y)), int(np.floor(x))
        fy, fx = y - y0, x - x0
        kernel[y0, x0] += (1 - fy) * (1 - fx)
        kernel[y0, x0 + 1] += (1 - fy) * fx
        kernel[y0 + 1, x0] += fy * (1 - fx)
        kernel[y0 + 1, x0 + 1] += fy * fx
    return kernel / kernel.sum()


def blur_valid(image, kernel, noise_sigma, seed):
    """Convolves every plane of an H x W (x C) image in [0, 1] with the kernel,
    keeps the part not touched by the borders, adds Gaussian noise and clips."""
    rng = np.random.default_rng(seed)
    planes = image[..., None] if image.ndim == 2 else image
    blurred = np.stack([signal.fftconvolve(planes[..., c], kernel, mode="valid")
                        for c in range(planes.shape[2])], axis=2)
    blurred += rng.normal(scale=noise_sigma, size=blurred.shape)
    blurred = np.clip(blurred, 0.0, 1.0)
    return blurred[..., 0] if image.ndim == 2 else blurred


def shaken_photo(megapixels, folder, kernel_side=31, aspect=4 / 3):
    """The astronaut photo resized to about the given megapixels (4:3), blurred
    with a seeded kernel_side camera-shake kernel and noise 0.01, saved once in
    folder as photo_<megapixels>mp.png; returns its path."""
    from skimage import data, io, transform

    path = os.path.join(folder, f"photo_{megapixels}mp.png")
    if os.path.exists(path):
        return path
    height = int(round(np.sqrt(megapixels * 1e6 / aspect)))
    width = int(round(height * aspect))
    base = data.astronaut().astype(np.float64) / 255.0
    photo = transform.resize(base, (height + kernel_side - 1, width + kernel_side - 1), order=3,
                             anti_aliasing=False)
    blurred = blur_valid(np.clip(photo, 0, 1), shake_kernel(kernel_side, 31), 0.01, 32)
    io.imsave(path, np.round(blurred * 255).astype(np.uint8), check_contrast=False)
    return path
