"""Memory per record of the exact search's in-memory copy of a collection's
records, measured by the helper mirror_memory in a process of its own on the
filled n_big collection (closed here first: a database is open in one place)."""

from .stats import Figure
from .table import Row, Target, fmt_bytes_per_record


def measure(ctx, db_dir, collection):
    ctx.log(f"memory of the exact search's record copy ({collection})")
    out = ctx.tools.mirror_memory(db_dir, collection)
    records = max(1, out["records"])
    work = f"exact-search mirror, {out['records']:,} records"
    mirror = out.get("mirror")
    if mirror is not None:
        held = max(1, mirror["records"])
        fixed = mirror["fixed_bytes"] / held
        total = (mirror["fixed_bytes"] + mirror["text_bytes"] + mirror["form_bytes"]) / held
        ctx.table.add(Row(f"{work}: per record beside its texts", Figure.single(fixed), fmt_bytes_per_record,
                          target=Target("<=", 64, ratio=False, text="≤ 64 B/rec"),
                          note=f"with identifier and metadata copies {total:.1f} B/rec; RssAnon growth of the "
                               f"first search {out['rss_anon_growth'] / records:.1f} B/rec"))
    else:
        # Used until the core reports the copy's footprint (tools/mirror_memory.cpp
        # prints it once collection/record_mirror.h exists).
        ctx.table.add(Row(f"{work}: RssAnon growth of the first search", Figure.single(
            out["rss_anon_growth"] / records), fmt_bytes_per_record,
            target=Target("<=", 64, ratio=False, text="≤ 64 B/rec"),
            note="this core keeps no record copy and reports no footprint: the figure is the resident "
                 "anonymous memory the first search leaves behind, per record"))
