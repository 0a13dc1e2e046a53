"""Scoring shared by the end-to-end quality benchmarks: pictures in and out,
alignment with the truth, kernel similarity, running a command."""

import subprocess
import sys
import time

import numpy as np
from skimage import io
from skimage.metrics import peak_signal_noise_ratio, structural_similarity

MAX_SHIFT = 4  # pixels searched each way when aligning a result with the truth
MARGIN = 8  # border pixels left out of the comparison


def fail(program, message):
    sys.exit(f"{program}: {message}")


def to_unit(picture):
    return picture.astype(np.float64) / 255.0


def read(path):
    return to_unit(io.imread(path))


def read_grey(path):
    """A picture as one plane: grey pictures are written as equal R, G, B."""
    picture = read(path)
    return picture[..., 0] if picture.ndim == 3 else picture


def save(path, picture):
    io.imsave(path, np.round(np.clip(picture, 0.0, 1.0) * 255).astype(np.uint8),
              check_contrast=False)


def aligned_scores(result, truth, margin=MARGIN, max_shift=MAX_SHIFT):
    """PSNR, SSIM and sum of squared errors of result against truth at the
    integer shift with the least squared error."""
    if result.ndim == 3 and truth.ndim == 2:
        result = result[..., 0]  # grey pictures are written as equal R, G, B
    h, w = truth.shape[:2]
    m = margin + max_shift
    reference = truth[m:h - m, m:w - m]
    best = (np.inf, 0, 0)
    for dy in range(-max_shift, max_shift + 1):
        for dx in range(-max_shift, max_shift + 1):
            candidate = result[m + dy:h - m + dy, m + dx:w - m + dx]
            ssd = np.sum((candidate - reference) ** 2)
            if ssd < best[0]:
                best = (ssd, dy, dx)
    ssd, dy, dx = best
    candidate = result[m + dy:h - m + dy, m + dx:w - m + dx]
    psnr = peak_signal_noise_ratio(reference, candidate, data_range=1.0)
    ssim = structural_similarity(reference, candidate, data_range=1.0,
                                 channel_axis=2 if reference.ndim == 3 else None)
    return psnr, ssim, ssd


def kernel_similarity(estimate, truth):
    """Normalised cross-correlation of two kernels, maximised over shifts."""
    size = max(*estimate.shape, *truth.shape) * 2
    a = np.zeros((size, size))
    b = np.zeros((size, size))
    a[:estimate.shape[0], :estimate.shape[1]] = estimate
    b[:truth.shape[0], :truth.shape[1]] = truth
    fa, fb = np.fft.fft2(a), np.fft.fft2(b)
    correlation = np.real(np.fft.ifft2(fa * np.conj(fb)))
    return correlation.max() / (np.linalg.norm(a) * np.linalg.norm(b))


def run(program, command, hint=""):
    """Runs a command, exits with its error output if it fails; returns wall seconds."""
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        output = done.stderr.strip().splitlines()[-5:]
        fail(program, f"{' '.join(command)} failed with exit status {done.returncode}"
             + "".join("\n  " + line for line in output) + (f"\n{hint}" if hint else ""))
    return seconds
