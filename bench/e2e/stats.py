"""Summaries of repeated measurements: quantiles, and a figure with its spread."""

from dataclasses import dataclass


def quantile(values, q):
    """Linear-interpolated quantile q (0..1) of a non-empty sequence."""
    v = sorted(values)
    pos = q * (len(v) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (pos - lo)


@dataclass
class Figure:
    """A measured value: the median of its samples, and how far they spread
    (the 25th to 75th percentile of many samples, the extremes of a few)."""

    value: float
    low: float
    high: float
    samples: int

    @classmethod
    def of(cls, samples):
        samples = list(samples)
        if len(samples) >= 8:
            return cls(quantile(samples, 0.5), quantile(samples, 0.25), quantile(samples, 0.75), len(samples))
        return cls(quantile(samples, 0.5), min(samples), max(samples), len(samples))

    @classmethod
    def single(cls, value):
        return cls(value, value, value, 1)

    def scaled(self, factor):
        return Figure(self.value * factor, self.low * factor, self.high * factor, self.samples)


def latency(samples_ns):
    """Per-call times in nanoseconds as a Figure in milliseconds."""
    return Figure.of(s / 1e6 for s in samples_ns)
