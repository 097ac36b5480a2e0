"""The production-line command against devices that are not manifestation tolerant and as
strict as hardware may be: each waits for a bus reset after manifesting, stalls early status
requests and DFU_DETACH in its bootloader, and runs its writes past the time it announced."""
from __future__ import annotations

import json

import pytest

from conftest import device


@pytest.mark.parametrize("end", ["wait-for-reset", "reset-self", "leave-during-status"])
def test_sixteen_strict_devices_are_upgraded_byte_exact(sim, end):
    serials = ["STRICT-%02d" % n for n in range(16)]
    sim.write_devices([device(serial, ManifestationTolerant="no", Strict="yes", ManifestationEnd=end)
                       for serial in serials])
    image = sim.image(16 * 1024 + 5)
    data = image.read_bytes()
    result = sim.run("upgrade", str(image), "--report", str(sim.folder / "report.json"), timeout=240)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "16 device(s) upgraded, 0 failed." in result.stdout
    for serial in serials:
        assert sim.received(serial) == data, serial
    report = json.loads((sim.folder / "report.json").read_text(encoding="utf-8"))
    assert report["devices_failed"] == 0
    assert all(entry["status"] == 0 and entry["phase"] == "Done" for entry in report["devices"])
