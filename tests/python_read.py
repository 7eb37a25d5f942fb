"""korvel reads what the recording held: values, event ids, units and the
events without data of every kind, in both dialects of the table, with
-fti, with a row cut short, in layout 1 and layout 2; bad files and names
give errors that name the file and the reason."""

import h5py
import numpy as np
import pytest

import python_common as pc
import korvel

DIALECTS = {"comma": ("-hdf5", "-xdump"), "tab": ("-xdump",)}


@pytest.fixture(scope="module", params=["comma-1", "tab-1", "comma-2"])
def run(request, tmp_path_factory):
    dialect, layout = request.param.split("-")
    path = pc.make_run(tmp_path_factory.mktemp(request.param), words=DIALECTS[dialect])
    if layout == "1":
        pc.to_layout1(path)
    with korvel.open_run(path) as r:
        yield r


def expected(name):
    return pc.EXPECT[name]


@pytest.mark.parametrize("name", sorted(pc.EXPECT))
def test_values_and_event_ids_of_every_kind(run, name):
    want = expected(name)
    a = run.get_array(name)
    assert list(a["event_id"].values) == sorted(want)
    np.testing.assert_array_equal(a.values, np.array([want[i] for i in sorted(want)],
                                                     dtype=float).reshape(a.shape))
    t = a["time"].values
    assert list(t.astype("datetime64[s]").astype(np.int64)) == \
        [pc.T0 + i - 10 for i in sorted(want)]


@pytest.mark.parametrize("name", ["BPM/X", "MAGNETS/Q1", "CAM/A", "SPECT/ADC[1]", "RUN/MARKER"])
def test_fill_keeps_every_event_and_never_shows_stored_zeros(run, name):
    want = expected(name)
    a = run.get_array(name, fill=np.nan)
    assert list(a["event_id"].values) == pc.IDS
    for k, i in enumerate(pc.IDS):
        got = a.values[k]
        if i in want:
            np.testing.assert_array_equal(got, np.asarray(want[i], dtype=float))
        else:
            assert np.isnan(got).all(), (name, i, got)
    b = run.get_array(name, fill=-1)
    assert [int(np.ravel(b.values[k])[0]) for k, i in enumerate(pc.IDS) if i not in want] \
        == [-1] * (len(pc.IDS) - len(want))


def test_events_units_axes_and_key(run):
    ev = run.events
    assert list(ev.index) == pc.IDS and list(ev["complete"]) == pc.COMPLETE
    assert str(ev["time"].iloc[0]) == "2026-12-07 14:35:23.500000"
    x = run.get_array("BPM/X")
    assert (x.attrs["units"], x.attrs["long_name"], x.attrs["kind"]) == \
        ("mm", "horizontal beam position", "value")
    assert run.channels.loc["BPM/X", "units"] == "mm"
    s = run.get_array("SPECT/ADC")
    assert s.dims == ("event_id", "member", "x")
    np.testing.assert_array_equal(s["x_member"].values, [[0, 0.5, 1, 1.5], [0, 1, 2, 3]])
    np.testing.assert_array_equal(run.get_array("SPECT/ADC[0]")["x"].values, [0, 0.5, 1, 1.5])
    assert run.get_array("CAM/A").dims == ("event_id", "y", "x")
    assert run.get_array("MAGNETS")["item"].values.tolist() == ["Q1", "Q2"]
    assert run.key == "run"
    assert run.get_array("CAM/A").attrs.get("exact") == (1 if run.layout_version == 2 else None)


def test_cut_row_has_data_only_before_the_failed_channel(run):
    row = pc.IDS.index(12)
    present = {}
    for name in ("BPM/X", "BPM/Y", "CAM/A", "RUN/MARKER"):
        present[name] = 12 in run.get_array(name)["event_id"].values
    assert present == {"BPM/X": True, "BPM/Y": False, "CAM/A": False, "RUN/MARKER": False}
    assert not run.events["complete"].iloc[row]
    assert run.summary()["cut_rows"] == 1


@pytest.mark.parametrize("dialect", sorted(DIALECTS))
def test_fti_values_are_restored_exactly(tmp_path, dialect):
    values = [0.1, 1e-40, -3.4e38]
    events = [{"id": i + 1, "channels": {"BPM/X": {"value": v},
                                         "MAGNETS": {"items": [["Q1", v]]}}}
              for i, v in enumerate(values)]
    text = pc.recording([{"name": "BPM/X"}, {"name": "MAGNETS"}], events, [])
    path = pc.make_run(tmp_path, text=text,
                       words=DIALECTS[dialect] + ("-fti", "BPM/X,MAGNETS"),
                       options=("--kind", "BPM/X=value"))
    with korvel.open_run(path) as r:
        want = np.array(values, dtype=np.float32)
        assert r.get_array("BPM/X").attrs["source_format"] == "integer form"
        np.testing.assert_array_equal(r.get_array("BPM/X").values, want)
        np.testing.assert_array_equal(r.get_dataframe("MAGNETS/Q1")["MAGNETS/Q1"].values, want)


def make_bad(tmp_path, how):
    """A file that is bad in one way, and the words its error must hold."""
    good = pc.make_run(tmp_path)
    bad = str(tmp_path / "bad.h5")
    if how == "text":
        open(bad, "w").write("not HDF5\n")
        return bad, "not an HDF5 file"
    if how == "foreign":
        h5py.File(bad, "w").create_dataset("x", data=[1])
        return bad, "not a korvel-h5 file"
    if how == "missing":
        return str(tmp_path / "nope.h5"), "no such file"
    with h5py.File(good, "r+") as f:
        if how == "version":
            f.attrs["layout_version"] = np.int32(7)
        elif how == "no_ids":
            del f["entry/event/id"]
    return good, {"version": "layout version 7", "no_ids": "/entry/event/id is missing"}[how]


@pytest.mark.parametrize("how", ["text", "foreign", "missing", "version", "no_ids"])
def test_a_file_that_is_not_a_run_is_refused_by_name(tmp_path, how):
    path, words = make_bad(tmp_path, how)
    with pytest.raises(korvel.KorvelError) as e:
        korvel.open_run(path)
    assert str(e.value).startswith(path + ": ") and words in str(e.value)


@pytest.mark.parametrize("dataset, call", [
    ("BPM/X/data", lambda r: r.get_array("BPM/X")),
    ("RUN/MARKER/present", lambda r: r.get_dataframe("RUN/*")),
    ("CAM/A/data", lambda r: r.get_dask_array("CAM/A")),
    ("MAGNETS/items/Q2", lambda r: r.get_array("MAGNETS")),
])
def test_a_missing_dataset_is_named(tmp_path, dataset, call):
    path = pc.make_run(tmp_path)
    with h5py.File(path, "r+") as f:
        del f["entry/channels/" + dataset]
    with korvel.open_run(path) as r, pytest.raises(korvel.KorvelError) as e:
        call(r)
    assert str(e.value).startswith(path + ": /entry/channels/%s is missing" % dataset)


@pytest.mark.parametrize("channel, dataset, data, words", [
    ("BPM/X", "BPM/X/data", np.zeros((5, 2), np.float32), "has 2 dimensions"),
    ("CAM/A", "CAM/A/data", np.array([b"a"] * 5), "not the data of a channel of kind image"),
    ("MAGNETS", "MAGNETS/item_names", np.arange(2), "not a table of dataset and name"),
    ("BPM/Y", "BPM/Y/present", np.zeros(3, np.int8), "has 3 rows, the run has 5 events"),
])
def test_a_dataset_of_the_wrong_shape_or_type_is_named(tmp_path, channel, dataset, data, words):
    path = pc.make_run(tmp_path)
    with h5py.File(path, "r+") as f:
        del f["entry/channels/" + dataset]
        f["entry/channels/" + dataset] = data
    with korvel.open_run(path) as r, pytest.raises(korvel.KorvelError) as e:
        r.get_array(channel)
    assert str(e.value).startswith(path + ": damaged: ") and words in str(e.value)


@pytest.mark.parametrize("call", [
    lambda r: r.select("NOPE*"),
    lambda r: r.get_array("BPM/Z"),
    lambda r: r.get_array("BPM/*"),
    lambda r: r.get_array("SPECT/ADC[2]"),
    lambda r: r.get_dataframe("CAM/*"),
    lambda r: r.select("BPM/X").get_array("BPM/Y"),
])
def test_an_unknown_channel_is_named(run, call):
    with pytest.raises(korvel.UnknownChannel) as e:
        call(run)
    assert str(e.value).startswith(run.path + ": ")
