"""Seeded camera-shake kernels and blurring, shared by the sample and the benchmarks."""

import os

import numpy as np
from scipy import interpolate, signal


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


# The uneven trajectories of uneven_shake_kernel, in the manner of Boracchi and
# Foi's random-motion model (IEEE TIP 2012) but with speed left free, so that
# exposure piles up where the camera lingers. Units are arbitrary: the path is
# scaled to the kernel afterwards.
UNEVEN_STEPS = 120  # steps of the exposure
UNEVEN_SUBSTEPS = 48  # points splatted per step, at equal times: under 0.3 px apart at 75 px
UNEVEN_JITTER = 0.05  # standard deviation of the Gaussian velocity change per step
UNEVEN_DAMPING = 0.15  # share of the velocity lost per step
UNEVEN_PULL = 0.003  # pull toward the starting point per step and unit of distance
UNEVEN_JERK_CHANCE = 0.025  # chance per step of a jerk, about 3 an exposure
UNEVEN_JERK = 1.0  # total velocity change of a jerk, about 10 times the jitter speed
UNEVEN_JERK_STEPS = 5  # steps a jerk is spread over
UNEVEN_JERK_TURN = 0.24  # most a jerk's direction turns from one step to the next (radians)
UNEVEN_JERK_RETURN = 0.6  # how much a jerk leans back toward the starting point
UNEVEN_FLATTEST = 0.35  # smallest ratio of the minor to the major axis of the jitter


def uneven_trajectory(seed):
    """Points of a seeded camera-shake trajectory at equal time intervals, as
    an (n, 2) array of (row, column): a particle whose velocity takes a
    Gaussian change each step (along a random main axis, stronger along it),
    loses part of itself to friction, is pulled back toward the start and,
    now and then, takes a jerk: a large change spread over a few steps, with a
    turning direction leaning back toward the start. Between jerks the
    particle lingers and wanders, which makes the bright blobs of a recorded
    kernel; a jerk makes a fast, faint stroke ending in a hook."""
    rng = np.random.default_rng(seed)
    angle = rng.uniform(0.0, np.pi)
    flatness = rng.uniform(UNEVEN_FLATTEST, 1.0)
    cos, sin = np.cos(angle), np.sin(angle)
    axes = np.array([[cos, -sin], [sin, cos]]) @ np.diag([1.0, flatness])
    position = np.zeros(2)
    velocity = 0.1 * (axes @ rng.normal(size=2))
    pending = []  # the parts of a jerk still to come, one a step
    path = [position.copy()]
    for _ in range(UNEVEN_STEPS):
        change = (UNEVEN_JITTER * (axes @ rng.normal(size=2)) - UNEVEN_DAMPING * velocity
                  - UNEVEN_PULL * position)
        if rng.random() < UNEVEN_JERK_CHANCE:
            direction = axes @ rng.normal(size=2)
            direction /= np.linalg.norm(direction)
            distance = np.linalg.norm(position)
            if distance > 0:
                direction -= UNEVEN_JERK_RETURN * position / distance
                direction /= np.linalg.norm(direction)
            turn = rng.uniform(-UNEVEN_JERK_TURN, UNEVEN_JERK_TURN)
            for k in range(UNEVEN_JERK_STEPS):
                c, s = np.cos(turn * k), np.sin(turn * k)
                pending.append(UNEVEN_JERK / UNEVEN_JERK_STEPS
                               * np.array([c * direction[0] - s * direction[1],
                                           s * direction[0] + c * direction[1]]))
        if pending:
            change += pending.pop(0)
        velocity = velocity + change
        position = position + velocity
        path.append(position.copy())
    # A cubic through the step positions, sampled at the middle of equal times.
    times = (np.arange(UNEVEN_STEPS * UNEVEN_SUBSTEPS) + 0.5) / UNEVEN_SUBSTEPS
    return interpolate.CubicSpline(np.arange(UNEVEN_STEPS + 1), np.array(path))(times)


def uneven_shake_kernel(size, seed):
    """A size x size camera-shake kernel of uneven speed: the trajectory of
    uneven_trajectory, centred on its centre of mass (where kestrel's
    estimators centre theirs), scaled as large as keeps it one pixel clear of
    every border, splatted bilinearly point by point so that each pixel holds
    the time spent over it, and normalised to sum 1."""
    if size < 3 or size % 2 == 0:
        raise ValueError(f"kernel size {size} is not odd and at least 3")
    points = uneven_trajectory(seed)
    points -= points.mean(axis=0)  # equal times: the mean is the centre of mass
    points *= (size - 3) / 2.0 / np.abs(points).max()
    points = np.clip(points + (size - 1) / 2.0, 1.0, size - 2.0)  # rounding aside, a no-op
    kernel = np.zeros((size, size))
    rows, cols = np.floor(points).astype(int).T
    fy, fx = (points - np.floor(points)).T
    np.add.at(kernel, (rows, cols), (1 - fy) * (1 - fx))
    np.add.at(kernel, (rows, cols + 1), (1 - fy) * fx)
    np.add.at(kernel, (rows + 1, cols), fy * (1 - fx))
    np.add.at(kernel, (rows + 1, cols + 1), fy * fx)
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
