"""The one table the benchmark prints: a row per figure and anchor."""

from dataclasses import dataclass, field
from typing import Callable, Optional

from .stats import Figure


def fmt_ms(f: Figure):
    def one(x):
        return f"{x:.3f}" if x < 10 else f"{x:.1f}"
    spread = f" ({one(f.low)}–{one(f.high)})" if f.samples > 1 else ""
    return f"{one(f.value)} ms{spread}"


def _rate(x):
    if x >= 1e6:
        return f"{x / 1e6:.2f}M"
    if x >= 1e4:
        return f"{x / 1e3:.0f}k"
    if x >= 1e3:
        return f"{x / 1e3:.1f}k"
    return f"{x:.0f}"


def fmt_rate(unit):
    def fmt(f: Figure):
        spread = f" ({_rate(f.low)}–{_rate(f.high)})" if f.samples > 1 else ""
        return f"{_rate(f.value)} {unit}{spread}"
    return fmt


def fmt_bytes_per_record(f: Figure):
    return f"{f.value:.1f} B/rec"


def fmt_seconds(f: Figure):
    spread = f" ({f.low:.1f}–{f.high:.1f})" if f.samples > 1 else ""
    return f"{f.value:.1f} s{spread}"


@dataclass
class Target:
    """A bound on the row's ratio to its anchor (ratio=True) or on the figure
    itself, e.g. Target("<=", 0.15) or Target(">=", 500_000, ratio=False)."""

    op: str
    bound: float
    ratio: bool = True
    text: str = ""

    def met(self, figure, ratio):
        x = ratio if self.ratio else figure
        if x is None:
            return None
        return x <= self.bound if self.op == "<=" else x >= self.bound

    def describe(self):
        if self.text:
            return self.text
        what = "× anchor" if self.ratio else ""
        bound = f"{self.bound:g}" if self.ratio else _rate(self.bound) + "/s"
        return f"{self.op} {bound} {what}".strip().replace("<=", "≤").replace(">=", "≥")


@dataclass
class Row:
    work: str
    figure: Optional[Figure]
    fmt: Callable[[Figure], str]
    anchor: str = "–"
    anchor_figure: Optional[Figure] = None
    target: Optional[Target] = None
    note: str = ""
    # A verdict the figures cannot show (no figure where one was required).
    met_override: Optional[bool] = None

    def ratio(self):
        if self.figure is None or self.anchor_figure is None or self.anchor_figure.value == 0:
            return None
        return self.figure.value / self.anchor_figure.value

    def cells(self):
        ratio = self.ratio()
        met = None
        if self.target is not None and self.figure is not None:
            met = self.target.met(self.figure.value, ratio)
        if self.met_override is not None:
            met = self.met_override
        return [
            self.work,
            self.fmt(self.figure) if self.figure is not None else "–",
            self.anchor,
            self.fmt(self.anchor_figure) if self.anchor_figure is not None else "–",
            f"{ratio:.2f}" if ratio is not None else "–",
            self.target.describe() if self.target is not None else "–",
            {True: "yes", False: "NO", None: "–"}[met],
        ]


HEADERS = ["work", "tessello", "anchor", "anchor figure", "ratio", "target", "met"]


@dataclass
class Table:
    rows: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    def add(self, row):
        self.rows.append(row)
        if row.note:
            self.notes.append(f"{row.work}: {row.note}")

    def render(self):
        lines = [[str(c) for c in r.cells()] for r in self.rows]
        widths = [max(len(h), *(len(l[i]) for l in lines)) if lines else len(h) for i, h in enumerate(HEADERS)]

        def line(cells):
            return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

        out = [line(HEADERS), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
        out += [line(l) for l in lines]
        return "\n".join(out)
