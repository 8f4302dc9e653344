# SPDX-License-Identifier: Apache-2.0
"""Every method against cse-host's results for the same commands, on the demo and long20 chains,
through the embedded emulator and through a quorbit-sim process."""

import random

import koraven_cse as kc
import pytest

from conftest import CHAINS, cse_host


def chain_devices(name):
    """(IR length, IDCODE or None, IDCODE opcode, {opcode: width}) per device, device 0 first."""
    devices = []
    for line in (CHAINS / name).read_text().splitlines():
        fields = line.split("#")[0].split()
        if len(fields) >= 4:
            registers = dict((int(o, 16), int(w)) for o, w in (f.split("=") for f in fields[4:]))
            idcode = None if fields[2] == "-" else int(fields[2], 16)
            devices.append((int(fields[1]), idcode, fields[3], registers))
    return devices


def commands(name):
    """cse-host command lines that touch every method: first, middle and last device."""
    devices = chain_devices(name)
    with_idcode = [i for i, d in enumerate(devices) if d[1] is not None]
    picked = sorted({with_idcode[0], with_idcode[len(with_idcode) // 2], with_idcode[-1]})
    total_ir = sum(d[0] for d in devices)
    rng = random.Random(name)
    lines = ["idcode %d" % i for i in picked]
    lines.append("irscan-chain %d 0x%X" % (total_ir, (1 << total_ir) - 1))
    lines.append("drscan-chain %d 0x%X" % (len(devices) + 40, rng.getrandbits(len(devices) + 40)))
    for i in picked:
        lines += ["irscan %d %d 0x%s" % (i, devices[i][0], devices[i][2]), "drscan %d 32 0" % i]
    user = next(i for i, d in enumerate(devices) if d[3] and d[1] is not None)
    opcode, width = next(iter(devices[user][3].items()))
    lines += ["irscan %d %d 0x%X" % (user, devices[user][0], opcode),
              "drscan %d %d 0x%X" % (user, width, rng.getrandbits(width)),
              "drscan %d %d 0" % (user, width),
              "drscan-chain 1000 0x%X" % rng.getrandbits(1000),
              "state PAUSE_DR 16", "state Pause-IR", "state IDLE 5 10", "state reset"]
    return lines


def through_python(session, line):
    command, *args = line.split()
    numbers = [int(a, 0) for a in args if not a[0].isalpha()]
    if command == "idcode":
        return session.idcode(numbers[0])
    if command == "irscan":
        assert session.devices[numbers[0]].irlen == numbers[1]
        return session.irscan(numbers[0], numbers[2])
    if command == "drscan":
        return session.drscan(numbers[0], numbers[2], numbers[1])
    if command == "irscan-chain":
        return session.irscan_chain(numbers[1], numbers[0])
    if command == "drscan-chain":  # bytes in, bytes out
        size = (numbers[0] + 7) // 8
        out = session.drscan_chain(numbers[1].to_bytes(size, "little"), numbers[0])
        assert isinstance(out, bytes) and len(out) == size
        return int.from_bytes(out, "little")
    assert command == "state"
    return session.state(args[0], *numbers)


def expected_value(result):
    if "state" in result:
        return result["state"]
    return int(result.get("tdo", result.get("idcode")), 16)


def expected_device(index, found):
    hex_or_none = lambda v: None if v is None else int(v, 16)
    return kc.Device(index=index, idcode=hex_or_none(found["idcode"]), irlen=found["irLength"],
                     manufacturer=None if found["idcode"] is None
                     else (int(found["idcode"], 16) >> 1) & 0x7FF,
                     part=hex_or_none(found.get("part")), version=found.get("version"),
                     openocd_position=found["openocdPosition"], bank=found.get("bank"),
                     id=hex_or_none(found.get("id")))


@pytest.mark.parametrize("place", ["embedded", "quorbit-sim process"])
@pytest.mark.parametrize("chain", ["demo.chain", "long20.chain"])
def test_every_method_agrees_with_cse_host(chain, place, quorbit_sim, tmp_path):
    lines = commands(chain)
    script = tmp_path / "session.run"
    script.write_text("scan\n" + "\n".join(lines) + "\n")
    if place == "embedded":
        host_place, python_place = ["--sim-chain", str(CHAINS / chain)], {"sim_chain": CHAINS / chain}
    else:  # one each: user registers keep what the other one's session wrote
        host_place = ["--node", "127.0.0.1", "--port", str(quorbit_sim(CHAINS / chain).port)]
        python_place = {"node": "127.0.0.1", "port": quorbit_sim(CHAINS / chain).port}
    results = cse_host(*host_place, "run", str(script))["results"]

    with kc.Session(**python_place) as session:
        assert session.embedded == (place == "embedded")
        assert session.devices == [expected_device(i, d) for i, d in enumerate(results[0]["devices"])]
        for line, result in zip(lines, results[1:]):
            assert through_python(session, line) == expected_value(result), line
        assert session.tap_state == expected_value(results[-1])  # where "state reset" left it
    assert session.closed
