"""The ``recording`` command: reading recordings, their summary and the divergence of two. Plain
files only; no library is loaded."""
from __future__ import annotations

import json
import zlib

import pytest
from conftest import BLOCK, RecordingBuilder, upgrade_session

from flashbridge.cli import main
from flashbridge.recording import RecordingError, read_recording
from flashbridge.recording_summary import summarize


def run(capsys, *args):
    code = main(["recording", *map(str, args)])
    return code, capsys.readouterr().out


def device_summary(write_recording, builder, label="d1"):
    summary = summarize(read_recording(write_recording(builder)))
    return next(device for device in summary["devices"] if device["device"] == label)


def test_summary_of_an_upgrade(write_recording, capsys):
    path = write_recording(upgrade_session())
    code, out = run(capsys, path, "--json")
    assert code == 0
    summary = json.loads(out)
    assert summary["header"]["version"] == 1 and summary["header"]["backend"] == "virtual-bus"
    assert summary["records"] == 21 and summary["duration_us"] == 800000
    assert summary["images"] == [{"record": 8, "t": 310000, "size": 3072, "sha256": "ab" * 32}]
    (device,) = summary["devices"]
    assert device["requests"] == {"DFU_GETSTATUS": 7, "DFU_DNLOAD": 4, "DFU_DETACH": 1}
    assert [(i["vid_pid"], i["arrivals"], i["removals"]) for i in device["identities"]] == [
        ("1209:0001", [0, 800000], [5000]), ("1209:0002", [300000], [500000])]
    assert [(p["name"], p["start_us"], p["end_us"], p["ended_by"]) for p in device["phases"]] == [
        ("application", 0, 1100, "DFU_DETACH"),
        ("bootloader", 300000, 400000, "DFU_DNLOAD"),
        ("download", 400000, 445000, "zero-length DFU_DNLOAD"),
        ("manifestation", 445000, 500000, "removal"),
        ("application", 800000, 800000, "end of recording")]
    assert device["errors"] == []
    timing = device["timing"]
    # Blocks submitted at 400000, 410000, 430000 and the zero-length DNLOAD at 440000.
    assert (timing["dnload_blocks"], timing["dnload_bytes"]) == (3, 3072)
    assert timing["block_time_mean_us"] == pytest.approx(40000 / 3)
    assert timing["block_time_max_us"] == 20000
    assert (timing["getstatus_polls"], timing["getstatus_polls_max_per_block"]) == (7, 2)
    assert timing["longest_request"] == {"latency_us": 5000, "record": 18, "request": "DFU_DNLOAD"}

    code, out = run(capsys, path)
    assert code == 0
    assert "per block mean 13.333 ms max 20.000 ms" in out
    assert "phase download 0.400-0.445 s (records 9-18, until zero-length DFU_DNLOAD)" in out


def _xmos_session():
    return upgrade_session(detach="21f2000000000000")


def _starts_in_bootloader():
    b = RecordingBuilder()
    b.arrival(0, 2)
    b.dnload(100, 0, BLOCK)
    b.dnload(200, 1, b"")
    return b


def _manifestation_ends_idle_then_reset():
    b = _starts_in_bootloader()
    b.getstatus(300, 7)
    b.getstatus(400, 2)
    b.add("reset", t=500, device="d1", handle=2, result=0)
    return b


def _leaves_without_detach():
    b = RecordingBuilder()
    b.arrival(0, 1)
    b.getstatus(50, 0)
    b.removal(100, 1)
    b.arrival(200, 2)
    return b


@pytest.mark.parametrize("builder, phases", [
    (_xmos_session, ["application", "bootloader", "download", "manifestation", "application"]),
    (_starts_in_bootloader, ["bootloader", "download", "manifestation"]),
    (_manifestation_ends_idle_then_reset, ["bootloader", "download", "manifestation", "bootloader"]),
    (_leaves_without_detach, ["application", "bootloader"]),
], ids=["xmos-reset-into-dfu", "starts-in-bootloader", "dfuidle-and-reset", "removal"])
def test_phases(write_recording, builder, phases):
    device = device_summary(write_recording, builder())
    assert [phase["name"] for phase in device["phases"]] == phases
    if builder is _xmos_session:
        assert device["phases"][0]["ended_by"] == "XMOS_DFU_RESETINTODFU"
        assert device["requests"]["XMOS_DFU_RESETINTODFU"] == 1
    if builder is _manifestation_ends_idle_then_reset:
        assert device["phases"][2]["ended_by"] == "dfuIDLE"
        assert device["phases"][3]["resets"] == device["resets"] == [7]


@pytest.mark.parametrize("setup, name", [
    ("c1d3000000005000", "PRIV_GET_UNLOCK_TOKEN"),
    ("41d4000000002000", "PRIV_UNLOCK_TARGET"),
    ("41d1000000003c00", "PRIV_STORE_IMAGE_METADATA_HEADER"),
    ("c1d2000000000400", "PRIV_CHECK_IMAGE_COMPATIBILITY"),
    ("21f4010000000000", "XMOS_DFU_SELECTIMAGE"),
    ("a105000000000100", "DFU_GETSTATE"),
    ("8006000100001200", "GET_DESCRIPTOR"),
    ("010b010000000000", "SET_INTERFACE"),
    ("c1e0000000000100", "REQUEST_C1_E0"),
    ("2107000000000000", "REQUEST_21_07"),
])
def test_request_names(write_recording, setup, name):
    b = RecordingBuilder()
    b.transfer(0, setup)
    assert device_summary(write_recording, b)["requests"] == {name: 1}


@pytest.mark.parametrize("add, kind, text", [
    (lambda b: b.getstatus(0, 5, result=31), "result", "DFU_GETSTATUS -> 31 ERROR_GEN_FAILURE (stall)"),
    (lambda b: b.dnload(0, 0, BLOCK, result=121), "result", "DFU_DNLOAD -> 121 ERROR_SEM_TIMEOUT"),
    (lambda b: b.getstatus(0, 5, result=995), "result", "995 ERROR_OPERATION_ABORTED (cancelled)"),
    (lambda b: b.transfer(0, "2100e80300000000", result=1167, submit_error=True), "result",
     "DFU_DETACH -> 1167 ERROR_DEVICE_NOT_CONNECTED on submission"),
    (lambda b: b.getstatus(0, 5, result=87), "result", "DFU_GETSTATUS -> 87"),
    (lambda b: b.getstatus(0, 10, status=3), "dfu_status", "bStatus 3 errWRITE, bState 10 dfuERROR"),
    (lambda b: b.getstatus(0, 10), "dfu_status", "bStatus 0 OK, bState 10 dfuERROR"),
    (lambda b: b.add("timeout", t=0, device="d1", handle=2, wait_ms=5000), "timeout", "after 5000 ms"),
    (lambda b: b.add("cancel", t=0, device="d1", handle=2, result=0), "cancel", "cancelled"),
    (lambda b: b.add("alt_setting", t=0, device="d1", handle=2, alt=0, result=31), "result",
     "alt_setting 0 -> 31 ERROR_GEN_FAILURE (stall)"),
])
def test_errors_are_named(write_recording, add, kind, text):
    b = RecordingBuilder()
    b.arrival(0, 2)
    add(b)
    b.getstatus(10, 2)  # a good answer is no error
    (error,) = device_summary(write_recording, b)["errors"]
    assert (error["record"], error["kind"]) == (3, kind)
    assert text in error["text"]


REFUSALS = [
    (upgrade_session(RecordingBuilder(version=2)).records, "recording format version 2 is not supported "
                                                           "(supported: 1)"),
    (upgrade_session(RecordingBuilder(version=0)).records, "version 0 is not supported (supported: 1)"),
    (upgrade_session(RecordingBuilder(version="1")).records, 'version "1" is not supported'),
    ([{"type": "header", "format": "flashbridge-recording"}], "version none is not supported"),
    (upgrade_session(RecordingBuilder(format_name="other")).records, "is not a flashbridge recording: the "
                                                                     'header\'s format is "other"'),
    (upgrade_session().records[1:], 'not a flashbridge recording: record 1 is a "arrival" record'),
    ([], "is empty"),
    ("[1, 2]\n", "record 1 is not a header object"),
    ("hello\n", "not a flashbridge recording: record 1 is not JSON"),
    (upgrade_session().records[:3] + ['{"type": "transfer", "setup": '], "record 4 (line 4) is not valid JSON"),
    (upgrade_session().records[:5] + [{"type": "transfer", "setup": "a103"}], "record 6 is a transfer without"),
    (upgrade_session().records[:2] + [{"t": 5}], 'record 3 is not a JSON object with a "type"'),
    # Valid JSON of the wrong types, and JSON nested deeper than the reader goes.
    (upgrade_session().records[:2] + [{"type": "arrival", "t": 5, "node": "usb1"}],
     'record 3: "node" is not a JSON object'),
    (upgrade_session().records[:2] + [{"type": "arrival", "t": 5, "node": {"instance": ["a"]}}],
     'record 3: "instance" is not a string'),
    (upgrade_session().records[:2] + [{"type": "arrival", "t": 5, "node": {"path": 7}}],
     'record 3: "path" is not a string'),
    (upgrade_session().records[:2] + [{"type": "arrival", "t": 5, "node": {"hardware_ids": 12}}],
     'record 3: "hardware_ids" is not a list of strings'),
    (upgrade_session().records[:2] + [{"type": "arrival", "t": 5, "node": {"hardware_ids": [None]}}],
     'record 3: "hardware_ids" is not a list of strings'),
    (upgrade_session().records[:2] + [{"type": "removal", "t": 5, "path": {}}], 'record 3: "path" is not a string'),
    (upgrade_session().records[:2] + [{"type": "open", "t": "5"}], 'record 3: "t" is not a whole number'),
    (upgrade_session().records[:2] + [{"type": "note", "t": 1.5}], 'record 3: "t" is not a whole number'),
    (upgrade_session().records[:4] + [dict(upgrade_session().records[4], t_complete=True)],
     'record 5: "t_complete" is not a whole number'),
    (upgrade_session().records[:2] + ['{"type": "note", "x": %s}' % ("[" * 100000 + "]" * 100000)],
     "record 3 is nested too deeply"),
    ("[" * 100000 + "]" * 100000 + "\n", "record 1 is nested too deeply"),
]


@pytest.mark.parametrize("records, message", REFUSALS, ids=lambda value: value[:40] if isinstance(value, str) else None)
def test_refused_files(write_recording, capsys, records, message):
    text = records if isinstance(records, str) else "".join(
        (r if isinstance(r, str) else json.dumps(r)) + "\n" for r in records)
    path = write_recording(text)
    with pytest.raises(RecordingError):
        read_recording(path)
    code, out = run(capsys, path)
    assert code == 2
    assert out.count("\n") == 1 and out.startswith(str(path)), out
    assert message in out


def test_transfer_without_completion(write_recording, capsys):
    # A transfer still pending when the recording ended has a submission and no completion.
    b = RecordingBuilder()
    b.arrival(0, 2)
    b.add("transfer", t_submit=100, device="d1", handle=2, setup="a103000000000600")
    b.add("note", t=300, text="stopped")
    summary = summarize(read_recording(write_recording(b)))
    assert summary["duration_us"] == 300
    assert summary["devices"][0]["timing"]["longest_request"] is None
    b.records[1:] = b.records[2:3]  # the pending transfer alone: no end is known
    summary = summarize(read_recording(write_recording(b)))
    assert summary["duration_us"] is None and summary["devices"][0]["timing"]["duration_us"] is None
    assert run(capsys, write_recording(b))[0] == 0


def test_unreadable_file_and_unknown_keys(write_recording, tmp_path, capsys):
    code, out = run(capsys, tmp_path / "missing.jsonl")
    assert code == 2 and "missing.jsonl: cannot be read" in out
    # Keys and record types a later recorder may add are left alone; a blank line keeps numbers.
    b = upgrade_session()
    b.records[3]["future_key"] = {"x": 1}
    b.records.insert(4, {"type": "future_record", "t": 1})
    path = write_recording(b)
    text = path.read_text().replace("\n", "\n\n", 1)
    path.write_text(text)
    assert summarize(read_recording(path))["devices"][0]["timing"]["longest_request"]["record"] == 20


def _swap(b: RecordingBuilder) -> None:
    b.records[11], b.records[12] = b.records[12], b.records[11]


def _drop(b: RecordingBuilder) -> None:
    del b.records[10]


def _other_digest(b: RecordingBuilder) -> None:
    b.records[11]["out_crc32"] = "00000000"


def _other_result(b: RecordingBuilder) -> None:
    b.records[10]["result"] = 31


@pytest.mark.parametrize("change, number_a, number_b, a_text, b_text", [
    (_swap, 12, 12, "DFU_DNLOAD 2101010000000004 (1024 bytes, crc", "DFU_GETSTATUS a103000000000600 -> 0"),
    (_drop, 11, 11, "DFU_GETSTATUS a103000000000600 -> 0", "DFU_DNLOAD 2101010000000004 (1024 bytes"),
    (_other_digest, 12, 12, "crc %08x) -> 0" % zlib.crc32(BLOCK), "crc 00000000) -> 0"),
    (_other_result, 11, 11, "-> 0", "-> 31 ERROR_GEN_FAILURE"),
], ids=["swapped", "missing", "out-digest", "result"])
def test_divergence(write_recording, capsys, change, number_a, number_b, a_text, b_text):
    a = write_recording(upgrade_session())
    changed = upgrade_session()
    change(changed)
    b = write_recording(changed)
    code, out = run(capsys, a, b, "--json")
    assert code == 1
    first = json.loads(out)["first"]
    assert (first["device"], first["a"]["record"], first["b"]["record"]) == ("d1", number_a, number_b)
    assert a_text in first["a"]["description"] and b_text in first["b"]["description"]
    code, out = run(capsys, a, b)
    assert code == 1
    assert "record %d in A: " % number_a in out and "record %d in B: " % number_b in out


def test_missing_tail_and_device(write_recording, capsys):
    full = upgrade_session()
    full.arrival(900000, 1, device="d2", serial="SN0002")
    a = write_recording(full)
    b = write_recording(_truncated(upgrade_session(), 20))
    code, out = run(capsys, a, b, "--json")
    result = json.loads(out)
    assert code == 1
    d1, d2 = result["devices"]
    assert d1["a"]["record"] == 21 and d1["b"]["record"] is None
    assert "B has no more records of d1 (its last is record 20)" in d1["b"]["text"]
    assert d2["b"]["text"] == "B has no records of d2"
    assert result["first"]["device"] == "d1"


def _truncated(builder: RecordingBuilder, records: int) -> RecordingBuilder:
    builder.records = builder.records[:records]
    return builder


def _other_in_and_times(b: RecordingBuilder) -> None:
    for record in b.records:
        if "in" in record:
            record["in"] = "0f" * 6
        for key in ("t", "t_submit", "t_complete"):
            if key in record:
                record[key] += 7
        record.pop("offset", None)
    b.records[3]["handle"] = 9


def _inline_data(b: RecordingBuilder) -> None:
    for record in b.records:
        if "out_len" in record:
            del record["out_len"], record["out_crc32"]
            record["out"] = BLOCK.hex()


@pytest.mark.parametrize("change", [lambda b: None, _other_in_and_times, _inline_data],
                         ids=["identical", "in-contents-times-handles", "inline-vs-digest"])
def test_no_divergence(write_recording, capsys, change):
    a = write_recording(upgrade_session())
    changed = upgrade_session()
    change(changed)
    code, out = run(capsys, a, write_recording(changed))
    assert code == 0
    assert "no divergence: 1 device(s), 19 records matched" in out


def _line_of_two(shift: int) -> RecordingBuilder:
    """d1 and d2 upgraded side by side, d2 started shift microseconds later; records in time order."""
    line = upgrade_session()
    line.records += upgrade_session(device="d2", serial="SN0002", shift=shift).records[1:]
    line.records[1:] = sorted(line.records[1:], key=lambda r: r.get("t", r.get("t_submit")))
    return line


def test_devices_side_by_side(write_recording, capsys):
    a = write_recording(_line_of_two(3000))
    summary = summarize(read_recording(a))
    d1, d2 = summary["devices"]
    assert summary["duration_us"] == 803000
    for device in (d1, d2):
        assert [p["name"] for p in device["phases"]] == ["application", "bootloader", "download", "manifestation",
                                                         "application"]
        timing = device["timing"]
        assert (timing["dnload_blocks"], timing["block_time_max_us"], timing["getstatus_polls"]) == (3, 20000, 7)
        assert timing["block_time_mean_us"] == pytest.approx(40000 / 3)
    assert d2["identities"][1]["instance"] == "USB\\VID_1209&PID_0002\\SN0002"
    # Another interleaving of the same two sessions is no divergence.
    code, out = run(capsys, a, write_recording(_line_of_two(7000)))
    assert code == 0 and "no divergence: 2 device(s), 38 records matched" in out


def _bootloader_as(label: str, serial: str = "SN0001", app_leaves: object = True):
    """The upgrade with the bootloader's records (its arrival to its removal) under another label,
    as when the system gives the bootloader another container; optionally another serial number,
    or an application that never left or left only by refusing a request."""
    def change(b: RecordingBuilder) -> None:
        first = next(i for i, r in enumerate(b.records) if r["type"] == "arrival" and "PID_0002" in r["node"]["instance"])
        last = max(i for i, r in enumerate(b.records) if r["type"] == "removal" and "pid_0002" in r["path"])
        for record in b.records[first:last + 1]:
            if "device" in record:
                record["device"] = label
        b.records[first]["node"]["instance"] = "USB\\VID_1209&PID_0002\\" + serial
        removal = next(i for i, r in enumerate(b.records) if r["type"] == "removal")
        if app_leaves == "refused":  # seen gone only through a request it refused
            b.records[removal] = dict(b.records[removal - 1], t_submit=5000, t_complete=5010, result=1167)
        elif not app_leaves:
            del b.records[removal]
    return change


@pytest.mark.parametrize("change, code, text", [
    (_bootloader_as("d2"), 0, "d1 (in B with d2): 19 records"),
    (_bootloader_as("d2", app_leaves="refused"), 1, "d1 (in B with d2) diverges after 4 matching record(s)"),
    (_bootloader_as("d2", serial="SN0009"), 1, "A has no records of d2"),
    (_bootloader_as("d2", app_leaves=False), 1, "A has no records of d2"),
], ids=["joined", "left-by-refused-request", "other-serial", "application-stays"])
def test_run_modes_under_two_labels(write_recording, capsys, change, code, text):
    a = write_recording(upgrade_session())
    b = upgrade_session()
    change(b)
    result, out = run(capsys, a, write_recording(b))
    assert result == code and text in out

