#!/usr/bin/env python3
"""The tool's .npy and HDF5 files loaded as their users load them, with NumPy and h5py.

readback.py TOOL [RUNNER]: runs `TOOL acquire --virtual` (behind RUNNER, the emulator an i686
build runs its programs under) in a scratch folder and checks shape, dtype, values and the
description. HDF5 is checked where the tool writes it; a tool built without libhdf5 must
refuse it with exit 2.
"""
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

try:
    import h5py
    import numpy
except ImportError as error:
    sys.exit(f"readback: {error}; install python3-numpy and python3-h5py (scripts/install-deps)")

tool = [str(Path(sys.argv[1]).resolve())]  # run from a scratch folder
runner = [sys.argv[2]] if len(sys.argv) > 2 and sys.argv[2] else []
RAMP = ["--virtual", "--source", "word0=Ramp:0,1"]


def acquire(folder, *arguments, expect=0):
    run = subprocess.run(runner + tool + RAMP + ["acquire", *arguments], cwd=folder,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == expect, f"{arguments}: exit {run.returncode}\n{run.stdout}{run.stderr}"
    return run


def check_npy(folder):
    acquire(folder, "--frames", "50", "--frames-per-block", "10", "-o", "all.npy")
    data = numpy.load(folder / "all.npy")
    assert data.shape == (50, 16) and data.dtype == numpy.uint64, (data.shape, data.dtype)
    assert data[0, 0] == 3 and (numpy.diff(data[:, 0]) == 2).all(), data[:3, 0]
    ticks = data[:, 10]  # counter 0, unwrapped
    assert (numpy.diff(ticks.astype(numpy.int64)) == 2).all(), ticks[:3]

    acquire(folder, "--frames", "20", "--words", "result_b,word0", "-o", "two.npy")
    data = numpy.load(folder / "two.npy")
    assert data.shape == (20, 2) and data.dtype == numpy.uint16, (data.shape, data.dtype)
    assert (numpy.diff(data[:, 1].astype(numpy.int64)) == 2).all(), data[:3]
    description = json.loads((folder / "two.npy.json").read_text())
    assert description["words"] == ["result_b", "word0"], description["words"]


def check_hdf5_file(folder):
    acquire(folder, "--frames", "300", "--frames-per-block", "7", "--frame-rate", "1000",
            "--words", "word0,ticks,result_b", "--scale", "result_b=0.001,-1,V",
            "--gain", "10", "--time-column", "-o", "run.h5")
    description = json.loads((folder / "run.h5.json").read_text())
    with h5py.File(folder / "run.h5", "r") as h5:
        frames = h5["frames"]
        assert frames.shape == (300, 3) and frames.dtype == numpy.uint64, frames
        assert frames.chunks is not None and frames.maxshape == (None, 3), frames.maxshape
        assert list(frames.attrs["words"]) == ["word0", "ticks", "result_b"]
        assert (numpy.diff(frames[:, 0].astype(numpy.int64)) == 10).all(), frames[:3]
        assert (numpy.diff(frames[:, 1].astype(numpy.int64)) == 10).all(), frames[:3]
        time = h5["time"][:]
        assert time.shape == (300,) and abs(time[1] - time[0] - 0.001) < 1e-12, time[:3]
        attrs = h5.attrs
        assert attrs["mode"] == "block" and attrs["gain"] == 10 and attrs["range_code"] == 1
        assert list(attrs["shape"]) == [300, 3] and attrs["frame_rate"] == 1000.0
        assert list(attrs["board.identification"]) == [0x54, 0x56, 0x4B, 0x01, 0x09]
        assert "board.serial_number" not in attrs  # a blank EEPROM holds none
        assert attrs["interrupted"] == 0 and attrs["start_time_utc"].endswith("Z")
        assert json.loads(attrs["description"]) == description
        assert json.loads(attrs["channels"])[2]["scale"] == {"factor": 0.001, "offset": -1.0}
    # Written to a temporary name and renamed: nothing else is left.
    assert sorted(p.name for p in folder.iterdir() if p.name.startswith(".")) == []


def check_killed_hdf5(folder):
    """A slow real-time run killed outright: its temporary file opens with the frames of all
    but its last second or so, none of them out of order."""
    command = runner + tool + ["--source", "word0=Ramp:0,1", "acquire", "--rate", "2000",
                               "--frames", "100000", "-o", "killed.h5"]
    process = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    time.sleep(3.5)
    process.kill()
    process.wait()
    with h5py.File(folder / f".killed.h5.{process.pid}.tmp", "r") as h5:
        frames = h5["frames"][:]
    assert len(frames) >= 1000, frames.shape  # 1000 frames a second, flushed every second
    # The clock at 10 kHz, one capture in five passed on: ten ticks a frame.
    assert (numpy.diff(frames[:, 0].astype(numpy.int64)) % 65536 == 10).all(), frames[:3, 0]


def main():
    with tempfile.TemporaryDirectory(prefix="tarvik_readback_") as scratch:
        folder = Path(scratch)
        check_npy(folder)
        refused = subprocess.run(runner + tool + RAMP + ["acquire", "--frames", "1", "-o", "x.h5"],
                                 cwd=folder, capture_output=True, text=True, timeout=300)
        if refused.returncode == 2 and "writes no HDF5" in refused.stderr:
            print("readback: this tool writes no HDF5 (built without libhdf5); .npy checked")
            return
        assert refused.returncode == 0, refused.stdout + refused.stderr
        check_hdf5_file(folder)
        check_killed_hdf5(folder)
    print("readback: .npy and HDF5 load in NumPy and h5py as described")


main()
