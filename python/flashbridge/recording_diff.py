"""Where two recordings of a session part: per device, the first record whose match key differs.

The match key is what a replay matches on: the record type, and for a transfer its setup packet,
its OUT data (as length and CRC-32, so inline data matches a digest) and its result; other
records add their result and what they asked for (descriptor type and index, alternate
setting, the VID:PID that arrived). IN contents, times, handle numbers and paths are never
compared: they differ between runs that behaved the same.
"""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from .recording import Record, Recording, describe, out_digest, vid_pid
from .recording_summary import UNLABELLED

# Records that belong to no device's request sequence.
_UNMATCHED = ("header", "note", "image")
# ERROR_DEVICE_NOT_CONNECTED: a request refused because the device has left.
_DEVICE_NOT_CONNECTED = 1167


def match_key(record: Record) -> Tuple[Any, ...]:
    data = record.data
    if record.type == "transfer":
        return ("transfer", data["setup"].lower(), out_digest(record), record.result)
    if record.type == "arrival":
        return ("arrival", vid_pid(data.get("node") or {}))
    if record.type == "descriptor":
        return ("descriptor", data.get("dtype"), data.get("index"), data.get("lang"), data.get("length"),
                record.result)
    if record.type == "alt_setting":
        return ("alt_setting", data.get("alt"), record.result)
    if record.type == "claim":
        return ("claim", data.get("index"), record.result)
    if record.type == "timeout":
        return ("timeout",)
    return (record.type, record.result)


def _instance_suffix(instance: Any) -> str:
    """The last part of a whole device's instance id (its serial number or port location); empty
    for a function of a composite device."""
    if not isinstance(instance, str) or "\\" not in instance or "&mi_" in instance.lower():
        return ""
    return instance.rsplit("\\", 1)[1].lower()


def _leaves(record: Record) -> bool:
    return record.type == "removal" or (record.type == "transfer" and record.result == _DEVICE_NOT_CONNECTED)


def _other_run_mode_of(later: List[Record], earlier: List[Record]) -> bool:
    """Whether the device labelled `later` is the one labelled `earlier` enumerated again in
    another run mode: it first arrives with the same vendor and instance suffix under another
    product, and `earlier` leaves the bus after the arrival it had shown last."""
    first = later[0]
    if first.type != "arrival":
        return False
    arrivals = [i for i, record in enumerate(earlier) if record.type == "arrival" and record.number < first.number]
    if not arrivals:
        return False
    leaves = False
    for record in earlier[arrivals[-1] + 1:]:
        if record.type == "arrival":
            break
        if _leaves(record):
            leaves = True
            break
    known, listed = earlier[arrivals[-1]].data.get("node") or {}, first.data.get("node") or {}
    suffix = _instance_suffix(listed.get("instance"))
    known_id, listed_id = vid_pid(known), vid_pid(listed)
    return (leaves and bool(suffix) and suffix == _instance_suffix(known.get("instance")) and
            known_id is not None and listed_id is not None and
            known_id.split(":")[0] == listed_id.split(":")[0] and known_id != listed_id)


def sequences(recording: Recording) -> Tuple[Dict[str, List[Record]], Dict[str, List[str]]]:
    """Each device's matched records in order, devices in order of first appearance, and the
    labels joined into each. A device the recorder labelled anew when it enumerated in another
    run mode (the system gave it another container) is joined to the label it had first, as a
    replay plays it."""
    labelled: Dict[str, List[Record]] = {}
    for record in recording.records:
        if record.type not in _UNMATCHED:
            labelled.setdefault(record.device or UNLABELLED, []).append(record)
    result: Dict[str, List[Record]] = {}
    joined: Dict[str, List[str]] = {}
    for label, records in labelled.items():
        earlier = next((known for known in result if label != UNLABELLED and known != UNLABELLED and
                        _other_run_mode_of(records, result[known])), None)
        if earlier is None:
            result[label] = records
            continue
        result[earlier] = sorted(result[earlier] + records, key=lambda record: record.number)
        joined.setdefault(earlier, []).append(label)
    return result, joined


def _shown(entry: Dict[str, Any]) -> str:
    """A device's label, and the labels joined into it on each side: "d1 (in B with d2)"."""
    parts = ["in %s with %s" % (side, ", ".join(entry["joined_" + side.lower()]))
             for side in ("A", "B") if entry["joined_" + side.lower()]]
    return "%s (%s)" % (entry["device"], "; ".join(parts)) if parts else entry["device"]


def _side(record: Optional[Record], records: List[Record], name: str, label: str) -> Dict[str, Any]:
    if record is not None:
        return {"record": record.number, "description": describe(record),
                "text": "record %d in %s: %s" % (record.number, name, describe(record))}
    if records:
        text = "%s has no more records of %s (its last is record %d)" % (name, label, records[-1].number)
    else:
        text = "%s has no records of %s" % (name, label)
    return {"record": None, "description": None, "text": text}


def diverge(a: Recording, b: Recording) -> Dict[str, Any]:
    """The comparison as plain data (what ``--json`` prints): per device whether it matched and,
    if not, the first place the two differ; "first" is the earliest of those in A."""
    (seq_a, joined_a), (seq_b, joined_b) = sequences(a), sequences(b)
    labels = list(seq_a) + [label for label in seq_b if label not in seq_a]
    devices = []
    for label in labels:
        records_a, records_b = seq_a.get(label, []), seq_b.get(label, [])
        entry: Dict[str, Any] = {"device": label, "records_a": len(records_a), "records_b": len(records_b),
                                 "equal": True, "joined_a": joined_a.get(label, []),
                                 "joined_b": joined_b.get(label, [])}
        for index in range(max(len(records_a), len(records_b))):
            left = records_a[index] if index < len(records_a) else None
            right = records_b[index] if index < len(records_b) else None
            if left is not None and right is not None and match_key(left) == match_key(right):
                continue
            entry.update({"equal": False, "index": index + 1, "a": _side(left, records_a, "A", label),
                          "b": _side(right, records_b, "B", label)})
            break
        devices.append(entry)
    differing = [entry for entry in devices if not entry["equal"]]

    def order(entry: Dict[str, Any]) -> Tuple[float, float]:
        return (entry["a"]["record"] or float("inf"), entry["b"]["record"] or float("inf"))
    differing.sort(key=order)
    return {
        "a": a.path, "b": b.path, "equal": not differing,
        "compared": sum(min(entry["records_a"], entry["records_b"]) if entry["equal"] else entry["index"] - 1
                        for entry in devices),
        "first": differing[0] if differing else None,
        "devices": devices,
    }


def divergence_lines(result: Dict[str, Any]) -> List[str]:
    lines = ["A: %s" % result["a"], "B: %s" % result["b"]]
    if result["equal"]:
        lines.append("no divergence: %d device(s), %d records matched" % (len(result["devices"]),
                                                                        result["compared"]))
        for entry in result["devices"]:
            lines.append("  %s: %d records" % (_shown(entry), entry["records_a"]))
        return lines
    differing = [entry for entry in result["devices"] if not entry["equal"]]
    differing.sort(key=lambda entry: entry is not result["first"])
    for entry in differing:
        lines.append("%s diverges after %d matching record(s):" % (_shown(entry), entry["index"] - 1))
        lines.append("  %s" % entry["a"]["text"])
        lines.append("  %s" % entry["b"]["text"])
    for entry in result["devices"]:
        if entry["equal"]:
            lines.append("%s: no divergence (%d records)" % (_shown(entry), entry["records_a"]))
    return lines
