"""The Python module against the emulated machine: errors with their codes, the EEPROM, the
device's requests, acquisitions with their loss accounting, the rendezvous, and a machine that
closes what stands on it."""
import threading

import numpy as np
import pytest

import tarvik

RAMP = ["word0=Ramp:0,1"]  # word 0 counts the clock's ticks: two a frame


@pytest.fixture
def machine():
    with tarvik.EmulatedMachine(virtual=True, sources=RAMP) as booted:
        yield booted


@pytest.fixture
def device(machine):
    with tarvik.Device() as opened:
        opened.open_board()
        yield opened


def test_failures_raise_errors_that_carry_the_drivers_codes(machine):
    with tarvik.Device() as device:
        with pytest.raises(tarvik.Error) as failure:
            device.serial_number()  # a blank EEPROM holds none
    error = failure.value
    assert error.last_error_name == "DAQ_ERR_NO_SERIAL"
    assert error.win32_error == 31 and error.status == 0xC0000001
    assert error.operation == "read the serial number"
    assert "DAQ_ERR_NO_SERIAL" in str(error)
    assert tarvik.last_error_name(error.last_error) == "DAQ_ERR_NO_SERIAL"
    with pytest.raises(RuntimeError):
        tarvik.EmulatedMachine()  # one at a time
    with pytest.raises(ValueError):
        device.open_board()  # closed


def test_without_a_machine_there_is_no_device_and_bad_options_are_refused():
    with pytest.raises(tarvik.Error) as failure:
        tarvik.Device()
    assert failure.value.win32_error == 2 and failure.value.last_error_name == "DAQ_OK"
    for source in ("word9=Constant:300", "word0=Constant:1.7", "word7=Ramp:0,1"):
        with pytest.raises(ValueError):
            tarvik.EmulatedMachine(sources=[source])


def test_board_ports_and_registers(device):
    info = device.board_info()
    assert info["identification"] == [0x54, 0x56, 0x4B, 0x01, 0x09] and info["good_board"]
    assert info["port_ranges"][1] == {"base": 0xE400, "length": 64, "memory_space": False}
    # +0 reads the identification byte selected last (byte 4, read by board_info)
    assert device.port_in(0xE400, 1) == device.read_register(0) == 0x09
    with pytest.raises(tarvik.Error) as failure:
        device.port_in(0x80, 1)
    assert failure.value.last_error_name == "DAQ_ERR_PORT_RANGE"


def test_eeprom_words_persist_in_the_image_file(tmp_path):
    image = tmp_path / "card.img"
    with tarvik.EmulatedMachine(virtual=True, eeprom_image=image) as machine:
        with tarvik.Device() as device:
            device.write_eeprom(58, [0x5678, 0x1234])  # the serial number's words
        assert machine.eeprom_save_failures == 0
    with tarvik.EmulatedMachine(virtual=True, eeprom_image=image):
        with tarvik.Device() as device:
            assert device.serial_number() == 0x12345678
            assert device.read_eeprom(57, 3) == [0xFFFF, 0x5678, 0x1234]


def test_blocks_arrive_numbered_and_a_full_pools_drops_are_counted(machine, device):
    with device.acquire(frames_per_block=4, blocks=2) as run:
        first = next(run)
        assert first.sequence == 0 and first.lost_frames == 0
        assert first.frames.dtype == np.uint16 and first.frames.shape == (4, 16)
        assert list(first.frames[:, 0]) == [3, 5, 7, 9]
        machine.step(2 * 16)  # four blocks into a pool of two: the last two are dropped
        kept = [next(run), next(run)]
        assert [a.sequence for a in kept] == [1, 2]
        after = next(run)
        assert after.sequence == 5 and after.lost_frames == 8
        assert after.frames[0, 0] == 3 + 2 * 20  # the dropped frames' ticks are skipped
        assert (run.lost_blocks, run.lost_frames) == (2, 8)
    assert not device.acquisition_running()


def test_the_ring_hands_over_the_newest_frames_once(machine, device):
    with device.acquire(mode="continuous", frames_per_block=8) as run:
        first = next(run)
        assert first.sequence is None and len(first.frames) == 8
        machine.step(2 * 20)  # more than the ring holds before the next read
        later = next(run)
        assert later.lost_frames > 0
        ticks = np.concatenate([first.frames[:, 0], later.frames[:, 0]]).astype(int)
        assert (np.diff(ticks[:8]) == 2).all() and (np.diff(ticks[8:]) == 2).all()
        assert run.lost_frames == later.lost_frames
        assert ticks[8] - ticks[7] == 2 * (later.lost_frames + 1)


def test_a_frame_rate_the_card_cannot_run_is_refused_or_the_nearest_taken(device):
    with pytest.raises(ValueError, match="nearest"):
        device.acquire(frame_rate=3333)
    with device.acquire(frame_rate=3333, nearest=True) as run:
        assert run.frame_rate == pytest.approx(10000 / 3)
    assert tarvik.plan_rate(10000)["frame_rate"] == 5000


def test_a_signal_reaches_the_parked_wait_and_a_cancel_ends_one(device):
    with tarvik.Device() as other:
        wait = device.begin_wait()
        threading.Timer(0.05, other.signal, args=(0x12345678,)).start()
        assert wait.wait(timeout=5) == 0x12345678
        parked = device.begin_wait()
        assert parked.wait(timeout=0.01) is None
        assert parked.cancel() is True and parked.completed


def test_closing_the_machine_closes_what_stands_on_it():
    machine = tarvik.EmulatedMachine(virtual=True)
    device = tarvik.Device()
    device.open_board()
    run = device.acquire()
    wait = device.begin_wait()
    machine.close()
    for use in (lambda: next(run), device.last_error, lambda: wait.wait(0)):
        with pytest.raises(ValueError):
            use()
    assert tarvik.take_broken_rules() == []


def test_device_commands_reach_a_card_with_the_identification_byte_given():
    with tarvik.EmulatedMachine(virtual=True, id_byte4=7):
        with tarvik.Device() as device:
            base = device.device_command(bytes([64]))  # the card's port base
            assert len(base) == 100 and base[0] | base[1] << 8 == 0xE400
            ids = device.device_command(bytes([70, 5]))  # identification bytes 0 to 4
            assert list(ids[:5]) == [0x54, 0x56, 0x4B, 0x01, 0x07]
            assert not device.board_info()["good_board"]
            with pytest.raises(ValueError):
                device.device_command(bytes(101))
