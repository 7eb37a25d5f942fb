"""Dask: arrays whose chunks are whole chunks of the file and read nothing
until computed; map_runs on a two-process LocalCluster gives what it gives
in order, a damaged run its error in its slot. The cluster listens on
127.0.0.1 only and leaves no process behind."""

import os
import shutil
import signal

import h5py
import numpy as np
import psutil
import pytest

import python_common as pc
import korvel
from korvel import _arrays, _file


def frame_mean(run):
    return float(run.get_array("CAM/A").mean())


def test_chunks_follow_the_file_and_nothing_is_read_before_compute(tmp_path, monkeypatch):
    path = pc.make_run(tmp_path)
    opened = []
    real = _file.handle
    monkeypatch.setattr(_arrays, "DASK_CHUNK_BYTES", 1)
    monkeypatch.setattr(_file, "handle", lambda p: opened.append(p) or real(p))
    with korvel.open_run(path) as run:
        with h5py.File(path, "r") as f:
            assert f["entry/channels/CAM/A/data"].chunks[0] == 1
        frames = run.get_dask_array("CAM/A")
        assert frames.chunks[0] == (1, 1, 1) and not opened
        want = [pc.EXPECT["CAM/A"][i] for i in (10, 13, 15)]
        np.testing.assert_array_equal(frames.compute(), want)
        assert opened
        filled = run.get_dask_array("CAM/A", fill=np.nan)
        assert filled.chunks[0] == (1,) * len(pc.IDS) and filled.dtype == np.float32
        assert np.isnan(filled[1].compute()).all()


def listening(pid):
    return [c.laddr.ip for c in psutil.Process(pid).connections("inet")
            if c.status == psutil.CONN_LISTEN]


def test_map_runs_on_a_local_cluster_equals_in_order(tmp_path):
    from distributed import Client
    a = pc.make_run(tmp_path, "a")
    damaged = str(tmp_path / "damaged.h5")
    shutil.copy(a, damaged)
    with h5py.File(damaged, "r+") as f:
        del f["entry/channels/CAM/A/data"]
    paths = [a, damaged, str(tmp_path / "missing.h5"), a]
    here = os.getpid()
    trim_here = os.environ.get("MALLOC_TRIM_THRESHOLD_")
    before = {p.pid for p in psutil.Process(here).children(recursive=True)}
    local = korvel.map_runs(frame_mean, paths)
    # Every socket of the scheduler, the nannies and the workers listens on
    # 127.0.0.1 only (host= alone leaves the HTTP servers on every interface).
    cluster = korvel.local_cluster(n_workers=2)
    started = []
    try:
        children = [p for p in psutil.Process(here).children(recursive=True)
                    if p.pid not in before]
        started = [p.pid for p in children if "spawn_main" in " ".join(p.cmdline())]
        assert len(started) == 2
        for pid in [p.pid for p in children] + [here]:
            assert set(listening(pid)) <= {"127.0.0.1"}, (pid, listening(pid))
        with Client(cluster) as client:
            remote = korvel.map_runs(frame_mean, paths, client=client)
            # Dask's trim threshold would pin glibc's mmap threshold in the
            # workers, and every column read would fault its pages in anew.
            trim = client.run(lambda: os.environ.get("MALLOC_TRIM_THRESHOLD_"))
            assert set(trim.values()) == {trim_here}
    finally:
        cluster.close()
        left = [p for p in started if psutil.pid_exists(p)
                and psutil.Process(p).status() != psutil.STATUS_ZOMBIE]
        for p in left:
            os.kill(p, signal.SIGKILL)
    assert not left, "worker processes left after the cluster closed: %s" % left
    # Worked by hand: the pixels of the three frames with data, 6 each.
    mean = (sum([0, 255, 16, 32, 127, 128]) + sum(range(1, 7)) + 90) / 18
    for got in (local, remote):
        assert got[0] == pytest.approx(mean) and got[3] == pytest.approx(mean)
        assert isinstance(got[1], korvel.KorvelError)
        assert "damaged.h5: /entry/channels/CAM/A/data is missing" in str(got[1])
        assert isinstance(got[2], korvel.KorvelError) and "missing.h5: no such file" in str(got[2])
