"""The ostrel package against simulated controllers: every method, its
results and its exceptions, and threads on two buses."""

from __future__ import annotations

import datetime as dt
import pickle
import threading
import time

import pytest

import ostrel
from conftest import free_port


def test_version_and_help():
    assert ostrel.__version__.count(".") == 2
    assert "collect" in ostrel.Bus.__doc__ or ostrel.Bus.collect.__doc__
    assert issubclass(ostrel.NoReply, ostrel.OstrelError) and issubclass(ostrel.DriverError, ostrel.OstrelError)


def test_status_and_clock(sim):
    with ostrel.Bus(sim.device) as bus:
        bus.set_clock(20, dt.datetime(2026, 3, 15, 8, 30, 59))
        bus.set_lock_delay(20, 2, 7)
        s = bus.status(20)
        assert isinstance(s, ostrel.Status)
        assert (s.address, s.record_count, s.lock_delays[1]) == (20, 3, 7)
        assert s.clock.replace(second=0) >= dt.datetime(2026, 3, 15, 8, 30) and s.clock.year == 2026
        assert 0 <= s.weekday <= 6 and s.version == "1.02"
        bus.set_clock(20)  # now
        assert abs((bus.status(20).clock - dt.datetime.now()).total_seconds()) < 120


def test_locks(sim):
    with ostrel.Bus(sim.device) as bus:
        assert bus.lock_states(20) == (False, False)
        assert bus.open_lock(20, 2) is None
        assert bus.lock_states(20) == (False, True)


def test_cards(sim):
    with ostrel.Bus(sim.device) as bus:
        assert bus.enrol(20, "0012345678", 123, valid_from=dt.date(2026, 1, 1), valid_to=dt.date(2026, 12, 31),
                         hours=(dt.time(8), dt.time(18, 30)), days=(1, 5), lock1="in", lock2=3) is None
        bus.enrol(20, "0012345679", "000124")
        bus.remove_card(20, "123")
        bus.remove_card(20, 124)
        bus.remove_all_cards(20)
        assert bus.last_card(20) == "0012345678"
        bus.clear_last_card(20)


def test_records_collect_and_clear(sim):
    with ostrel.Bus(sim.device) as bus:
        seen = []
        records = bus.records(20, progress=lambda done, total: seen.append((done, total)))
        assert len(records) == 3 and seen[-1] == (3, 3)
        r = records[0]
        assert isinstance(r, ostrel.Record) and r.address == 20 and len(r.card) == 6
        assert isinstance(r.time, dt.datetime)
        assert r.line == f"20|{r.card}|{r.time:%Y-%m-%d}|{r.time:%H:%M}|{r.code_a}|{r.code_b}"
        assert bus.status(20).record_count == 3

        stored = []
        assert bus.collect(20, durable=stored.extend) == records
        assert stored == records and bus.status(20).record_count == 0
        assert bus.collect(20) == []
        bus.clear_records(20)


def test_record_fields_come_from_its_bytes(fake_line):
    # A record of card 00 12 34 at 2026-12-07 10:05, and one from a controller whose clock was never set.
    records = [bytes([20, 0x00, 0x12, 0x34, 0x26, 0x12, 0x07, 0x10, 0x05, 0x01, 0x0A]),
               bytes([20, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF])]
    sent = {"next": 0}

    def controller(frame):
        if frame[2] == 0x04:  # the status block: two records held
            return bytes([20, 0, 2]) + bytes(12)
        if frame[2] != 0x11:
            return None
        if sent["next"] == 0:
            sent["next"] = 1
            return bytes([20, 0, 2])
        sent["next"] += 1
        return records[sent["next"] - 2]

    line = fake_line(controller)
    with ostrel.Bus(line.device) as bus:
        first, unset = bus.records(20)
    assert (first.address, first.card, first.time) == (20, "001234", dt.datetime(2026, 12, 7, 10, 5))
    assert first.raw == records[0] and first.line.split("|")[4:] == [first.code_a, first.code_b]
    assert unset.time is None and unset.card == "000007" and unset.line.split("|")[1] == "000007"
    # Records compare by their bytes, so a set of them drops a download repeated.
    again = pickle.loads(pickle.dumps(first))
    assert again == first and again is not first and len({first, again, unset}) == 2
    assert repr(first) == f"Record({first.line!r})"


def test_collect_keeps_records_when_durable_step_fails(sim):
    with ostrel.Bus(sim.device) as bus:
        def fail(records):
            raise OSError("disk full")
        with pytest.raises(OSError, match="disk full"):
            bus.collect(20, durable=fail)
        with pytest.raises(ZeroDivisionError):
            bus.collect(20, progress=lambda d, t: 1 / 0)
        assert bus.status(20).record_count == 3


def test_collect_refuses_records_that_are_not_its_own(fake_line):
    # One record, whose byte 0 is another address.
    record = bytes([21, 0x00, 0x01, 0x23, 0x26, 0x01, 0x02, 0x08, 0x00, 0x01, 0x00])
    status = bytes([20, 0, 1]) + bytes(12)
    sequence = {"next": "count"}

    def controller(frame):
        if frame[2] == 0x04:
            return status
        if frame[2] == 0x11:
            reply = bytes([20, 0, 1]) if sequence["next"] == "count" else record
            sequence["next"] = "record" if sequence["next"] == "count" else "count"
            return reply
        return None

    line = fake_line(controller)
    with ostrel.Bus(line.device) as bus:
        with pytest.raises(ostrel.CollectError, match="not cleared") as e:
            bus.collect(20)
        assert e.value.records == []  # records that failed a check are never handed over
    assert all(f[2] != 0x06 for f in line.frames)


def test_no_reply_reasons(fake_line):
    silent = fake_line(lambda f: None)
    short = fake_line(lambda f: bytes([f[0], 0, 0]))
    other = fake_line(lambda f: bytes([f[0] + 1]) * 15)
    for line, reason in ((silent, "silent"), (short, "short"), (other, "another address")):
        with ostrel.Bus(line.device) as bus:
            with pytest.raises(ostrel.NoReply) as e:
                bus.status(20)
            assert e.value.reason == reason
            assert "controller 20" in str(e.value)
    with ostrel.Bus(silent.device) as bus:
        for call in (lambda: bus.open_lock(20, 1), lambda: bus.records(20)):
            with pytest.raises(ostrel.NoReply):
                call()


def test_arguments_are_refused_before_sending(fake_line):
    line = fake_line(lambda f: bytes([f[0]]))
    with ostrel.Bus(line.device) as bus:
        refused = [
            lambda: bus.status(256), lambda: bus.status("20"), lambda: bus.status(2 ** 40),
            lambda: bus.open_lock(20, 3), lambda: bus.set_lock_delay(20, 1, 19),
            lambda: bus.set_clock(20, dt.datetime(1999, 1, 1)), lambda: bus.set_clock(20, "now"),
            lambda: bus.enrol(20, "123", "1"), lambda: bus.enrol(20, 12345678, "1"),
            lambda: bus.enrol(20, "0123456789", "1234567"),
            lambda: bus.enrol(20, "0123456789", "1", valid_from=dt.date(2026, 1, 1)),
            lambda: bus.enrol(20, "0123456789", "1", lock1="sideways"),
            lambda: bus.enrol(20, "0123456789", "1", hours=(dt.time(8),)),
            lambda: bus.remove_card(20, "12x"),
        ]
        for call in refused:
            with pytest.raises(ValueError):
                call()
    assert line.frames == []


def test_driver_errors():
    with pytest.raises(ostrel.DriverError) as e:
        ostrel.Bus("/dev/null", "9600,q,8,1")
    assert e.value.number == 380
    # A local device is opened by Bus() itself: a missing one is refused there.
    with pytest.raises(ostrel.DriverError) as e:
        ostrel.Bus("/nonexistent/ttyX")
    assert e.value.number != 0 and "/nonexistent/ttyX" in e.value.description
    # A network device connects on first use.
    with ostrel.Bus(f"socket://127.0.0.1:{free_port()}") as bus:
        with pytest.raises(ostrel.DriverError) as e:
            bus.status(20)
        assert e.value.number != 0
    bus.close()
    with pytest.raises(ValueError):
        bus.status(20)


def test_devices_are_named_or_refused(fake_line):
    line = fake_line(lambda f: bytes([f[0]]))
    for device in ("", "\0", line.device + "\0junk"):
        with pytest.raises(ValueError, match="device"):
            ostrel.Bus(device)
    for device in (None, 123, line.device.encode()):
        with pytest.raises(TypeError, match="device: must be a str"):
            ostrel.Bus(device)
    with pytest.raises(TypeError, match="settings"):
        ostrel.Bus(line.device, 9600)
    assert line.frames == []


def test_callbacks_are_checked_before_the_first_frame(fake_line):
    line = fake_line(lambda f: bytes([f[0]]))
    with ostrel.Bus(line.device) as bus:
        for call in (lambda: bus.collect(22, progress=5), lambda: bus.records(22, progress="x"),
                     lambda: bus.collect(22, durable=[])):
            with pytest.raises(TypeError):
                call()
    assert line.frames == []


def test_a_download_failing_every_check_returns_nothing(fake_line):
    # One record whose month byte is no packed decimal, on every download.
    record = bytes([20, 0x00, 0x01, 0x23, 0x26, 0x1A, 0x02, 0x08, 0x00, 0x01, 0x00])
    sequence = {"next": "count"}

    def controller(frame):
        if frame[2] == 0x04:
            return bytes([20, 0, 1]) + bytes(12)
        if frame[2] == 0x11:
            reply = bytes([20, 0, 1]) if sequence["next"] == "count" else record
            sequence["next"] = "record" if sequence["next"] == "count" else "count"
            return reply
        return None

    line = fake_line(controller)
    with ostrel.Bus(line.device) as bus:
        for call in (bus.records, bus.collect):
            with pytest.raises(ostrel.CollectError, match="not packed decimal") as e:
                call(20)
            assert e.value.records == []
    assert all(f[2] != 0x06 for f in line.frames)


def test_record_to_dict_is_the_json_vocabulary(fake_line):
    record = bytes([20, 0x00, 0x12, 0x34, 0x26, 0x12, 0x07, 0x10, 0x05, 0x01, 0x1A])
    sequence = {"next": "count"}

    def controller(frame):
        if frame[2] == 0x04:
            return bytes([20, 0, 1]) + bytes(12)
        if frame[2] == 0x11:
            reply = bytes([20, 0, 1]) if sequence["next"] == "count" else record
            sequence["next"] = "record" if sequence["next"] == "count" else "count"
            return reply
        return None

    with ostrel.Bus(fake_line(controller).device) as bus:
        (r,) = bus.records(20)
    assert r.to_dict() == {"address": 20, "card": "001234", "time": "2026-12-07T10:05", "code_a": "01",
                           "code_b": "1A", "line": "20|001234|2026-12-07|10:05|01|1A"}


def test_two_buses_in_parallel_take_about_the_time_of_one(sim_factory):
    sims = [sim_factory("--address", "1", "--records", "100", "--pace") for _ in range(2)]
    buses = [ostrel.Bus(s.device) for s in sims]
    start = time.monotonic()
    assert len(buses[0].records(1)) == 100
    one = time.monotonic() - start

    results = []
    threads = [threading.Thread(target=lambda b=b: results.append(len(b.records(1)))) for b in buses]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    both = time.monotonic() - start
    assert results == [100, 100]
    assert both < 1.5 * one, f"two buses took {both:.2f} s, one {one:.2f} s"
    for b in buses:
        b.close()


def test_one_bus_shared_by_threads(sim):
    with ostrel.Bus(sim.device) as bus:
        counts = []

        def work():
            for _ in range(20):
                counts.append(bus.status(20).record_count)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert counts == [3] * 80


def test_echoing_adapter(sim_factory):
    s = sim_factory("--address", "20", "--echo")
    with ostrel.Bus(s.device, "9600,n,8,1,echo") as bus:
        bus.open_lock(20, 1)
        assert bus.status(20).address == 20
    with ostrel.Bus(s.device) as bus:
        with pytest.raises(ostrel.NoReply) as e:
            bus.clear_last_card(20)
        assert e.value.reason == "echo" and ",echo" in str(e.value)
