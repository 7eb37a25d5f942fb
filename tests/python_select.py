"""Selections and tables: select by wildcards, items and members, with
require_all exactly the events where every channel has data; events by id;
the mean frame of an id range; get_dataframe with NaN where absent; two
runs with the same event ids joined, a channel one of them lacks."""

import numpy as np
import pytest

import python_common as pc
import korvel


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    with korvel.open_run(pc.make_run(tmp_path_factory.mktemp("select"))) as r:
        yield r


@pytest.mark.parametrize("patterns, names", [
    ("BPM/*", ["BPM/X", "BPM/Y"]),
    (["CAM/?", "RUN/*"], ["CAM/A", "RUN/MARKER"]),
    ("MAGNETS/*", ["MAGNETS/Q1", "MAGNETS/Q2"]),
    ("*/Q2", ["MAGNETS/Q2"]),
    ("SPECT/*[1]", ["SPECT/ADC[1]"]),
    ("CAM/B:1", ["CAM/B:1"]),
    ("*", [c["name"] + (":1" if "sub" in c else "") for c in pc.CHANNELS]),
])
def test_select_names(run, patterns, names):
    assert list(run.select(patterns).channels.index) == names


@pytest.mark.parametrize("patterns, ids", [
    (["BPM/X", "BPM/Y"], [10, 15]),
    (["MAGNETS/Q1", "CAM/A"], [10]),
    (["SPECT/ADC[0]", "BPM/X"], [10, 11]),
    (["CAM/*", "RUN/MARKER"], [10]),
    (["EQ/TEMP", "BPM/X"], []),
    (["BPM/X"], [10, 11, 12, 15]),
])
def test_require_all_keeps_exactly_the_events_where_all_have_data(run, patterns, ids):
    sel = run.select(patterns, require_all=True)
    assert list(sel.events.index) == ids
    for n in sel.channels.index:
        assert list(sel.get_array(n)["event_id"].values) == ids


@pytest.mark.parametrize("key, ids", [
    (slice(11, 13), [11, 12, 13]),
    (slice(None, 11), [10, 11]),
    (slice(14, None), [15]),
    ([15, 10], [10, 15]),
    (np.array([True, False, False, False, True]), [10, 15]),
])
def test_select_events(run, key, ids):
    assert list(run.select_events(key).events.index) == ids


def test_select_events_by_a_series_of_the_run(run):
    df = run.get_dataframe("BPM/*")
    assert list(run.select_events(df["BPM/Y"] > 0).events.index) == [10, 15]
    assert list(run.select_events(run.events["complete"]).events.index) == [10, 11, 13, 15]
    with pytest.raises(KeyError, match="no event with id 14"):
        run.select_events([14])


@pytest.mark.parametrize("first, last, frames", [
    (10, 15, [[[0, 255, 16], [32, 127, 128]], [[1, 2, 3], [4, 5, 6]],
              [[10, 10, 10], [20, 20, 20]]]),
    (11, 15, [[[1, 2, 3], [4, 5, 6]], [[10, 10, 10], [20, 20, 20]]]),
])
def test_mean_frame_over_an_id_range_is_the_mean_of_the_present_frames(run, first, last, frames):
    # Worked by hand: the frames with data in [first, last] (event 12's was
    # cut off, 11 has none); the zero frames the file stores are not in it.
    want = np.mean(np.array(frames, dtype=float), axis=0)
    part = run.select_events(slice(first, last))
    np.testing.assert_allclose(part.get_array("CAM/A").mean("event_id").values, want)
    np.testing.assert_allclose(part.get_dask_array("CAM/A").mean(axis=0).compute(), want)
    np.testing.assert_allclose(part.get_array("CAM/A", lazy=True).mean("event_id").values, want)


def test_dataframe_is_nan_where_absent(run):
    df = run.get_dataframe()
    assert list(df.index) == pc.IDS and df.index.name == "event_id"
    assert list(df.columns) == ["time", "RUN/MARKER", "BPM/X", "BPM/Y",
                                "MAGNETS/Q1", "MAGNETS/Q2"]
    for col in df.columns[1:]:
        want = [pc.EXPECT[col].get(i, np.nan) for i in pc.IDS]
        np.testing.assert_array_equal(df[col].to_numpy(), np.array(want, dtype=np.float32))


def test_joined_runs_keep_events_of_equal_ids(tmp_path):
    a = pc.make_run(tmp_path, "a")
    channels = [c for c in pc.CHANNELS if c["name"] != "BPM/Y"]
    events = [{k: v for k, v in e.items() if k != "channels"} for e in pc.EVENTS]
    for e, src in zip(events, pc.EVENTS):
        e["channels"] = {k: v for k, v in src.get("channels", {}).items() if k != "BPM/Y"}
    b = pc.make_run(tmp_path, "b", text=pc.recording(channels, events))
    with korvel.open_runs([a, b], run=["first", "second"]) as runs:
        ev = runs.events
        assert list(ev.index) == [(k, i) for k in ("first", "second") for i in pc.IDS]
        with pytest.warns(korvel.MissingChannelWarning, match="second"):
            df = runs.get_dataframe("BPM/*")
        np.testing.assert_array_equal(df.loc["first", "BPM/Y"], [4, np.nan, np.nan, -1, 8.5])
        assert df.loc["second", "BPM/Y"].isna().all()
        # Run b has no BPM/Y, whose failed query cut event 12 short in run a.
        complete = [10, 11, 13, 15] + pc.IDS
        for key, ids in ((runs.events["complete"], complete),
                         (runs.events["complete"].to_numpy(), complete),
                         (slice(12, 13), [12, 13, 12, 13])):
            assert list(runs.select_events(key).events.index.get_level_values(1)) == ids
        x = runs.get_array("BPM/X")
        assert list(zip(x["run"].values, x["event_id"].values)) == \
            [(k, i) for k in ("first", "second") for i in sorted(pc.EXPECT["BPM/X"])]
        with pytest.warns(korvel.MissingChannelWarning):
            y = runs.get_array("BPM/Y", fill=np.nan)
        assert y.sizes["event_id"] == 2 * len(pc.IDS)
        assert np.isnan(y.where(y["run"] == "second", drop=True)).all()
    with korvel.open_runs([a]) as one:
        assert one.keys == ["a"]
    with pytest.raises(ValueError, match="same key"):
        korvel.open_runs([a, a])
    # Runs converted under one key are told apart by their files' names.
    same = [pc.make_run(tmp_path, n, options=("--run", "same")) for n in ("c", "d")]
    with pytest.warns(UserWarning, match="share the key"), korvel.open_runs(same) as two:
        assert two.keys == ["c", "d"]
