"""Flat frames of real messages written back: the replication factors, bitmaps and substituted or
replaced values the writer asks for when a frame cannot tell its counts or what a bitmap selects,
as the columns a user would add."""
import collections

import pandas as pd
import pyarrow as pa

import quorvex
from quorvex import _engine

TABLES = _engine.Tables(None)
TABLE_KEYS = {"masterTablesVersionNumber": "master_table_version", "localTablesVersionNumber": "local_table_version",
              "bufrHeaderCentre": "centre", "bufrHeaderSubCentre": "sub_centre"}
# The writer's refusals that factor or bitmap columns answer.
STRUCTURE_REFUSALS = ("the replication count cannot be told from the keys it repeats",
                      "compressed data hold one replication count for all subsets",
                      "without its dataPresentIndicator columns, a bitmap selects none",
                      "a bitmap selects it for a substituted (2-23) value: give column",
                      "a bitmap selects it for a replaced (2-32) value: give column")
# The attributes a flat frame lacks and the writer takes from columns #n#key->name.
SELECTED_ATTRIBUTES = ("substitutedValue", "replacedRetainedValue")


def structure_columns(message):
    """The message's replication factors and bitmap entries as flat columns, #n#key numbered
    within each subset, and the substituted or replaced values a bitmap selects as the attributes
    of their elements (#n#key->substitutedValue)."""
    batch, _bad, _events, links = _engine.read_tree(message, 0, len(message), TABLES)
    table = pa.table(batch).to_pydict()
    columns, seen, ranked = collections.defaultdict(dict), collections.Counter(), collections.Counter()
    rank_of = {}  # row of a numbered value -> its number within its subset
    for row, (subset, key, role, rank) in enumerate(zip(table["subset"], table["key"], table["role"],
                                                        table["rank"])):
        if role in ("replication_factor", "bitmap"):
            seen[subset, key] += 1
            columns[f"#{seen[subset, key]}#{key}"][subset] = table["value"][row]
        elif rank is not None:
            ranked[subset, key] += 1
            rank_of[row] = ranked[subset, key]
    for attribute, element, name in links:
        if name in SELECTED_ATTRIBUTES:
            subset = table["subset"][element]
            text = table["text"][attribute]
            columns[f"#{rank_of[element]}#{table['key'][element]}->{name}"][subset] = (
                text if text is not None else table["value"][attribute])
    subsets = sorted(set(table["subset"]))
    return pd.DataFrame({name: [cells.get(s) for s in subsets] for name, cells in columns.items()})


def write_flat(message, structure=False, compressed=None):
    """The message's flat frame and the frame written back with the message's own descriptors and
    compression, given its factor and bitmap columns where the writer cannot tell a count or what
    a bitmap selects (or always, with `structure`: the message's structure then, where a frame of
    several subsets cannot tell a
    repetition whose values are all missing from one that is not there). The header keys come
    from the frame's own columns but for those that choose the tables. Raises the ValueError of a
    refusal that these columns do not answer. `compressed`: written so rather than as the
    message is."""
    frame = quorvex.read_dataframe(message)
    header = _engine.read_header(message, 0, len(message))
    options = {"descriptors": header["descriptors"],
               "compressed": header["compressed"] if compressed is None else compressed,
               "header": {key: header[field] for key, field in TABLE_KEYS.items()}}
    if not structure:
        try:
            return frame, quorvex.write_bufr(frame, **options)
        except ValueError as e:
            if not any(reason in str(e) for reason in STRUCTURE_REFUSALS):
                raise
    return frame, quorvex.write_bufr(pd.concat([frame, structure_columns(message)], axis=1), **options)
