"""The NetCDF file of obsquilt-export as xarray opens it: dimensions, names, fill values and
every value of a reference output against its text."""
import math
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

SHARED = Path(os.environ.get("OBSQUILT_SHARED_DIR", Path(__file__).parents[3] / "shared"))
EXPORT = os.environ.get("OBSQUILT_EXPORT", "obsquilt-export")
SCENARIO = SHARED / "golden" / "short-excerpts" / "expected.obsquilt.txt"


def blocks(text):
    """(second, type, markers, satellites, rows of value texts) of every block of the file."""
    lines = text.split("\r\n")
    second = None
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("e "):
            h, m, s = int(line[12:15]), int(line[15:18]), int(line[18:21])
            second = h * 3600 + m * 60 + s
        if line.startswith("f "):
            rows, cols = int(line[4:9]), int(line[9:14])
            markers = [lines[i + 1 + r][2:6] for r in range(rows)]
            sats = [lines[i + 1 + rows][2 + 4 * c:5 + 4 * c] for c in range(cols)]
            values = [[lines[i + 2 + rows + r][2 + 15 * c:16 + 15 * c] for c in range(cols)] for r in range(rows)]
            yield second, line[2:4], markers, sats, values
            i += 2 * rows + 1
        i += 1


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    if not SCENARIO.exists():
        pytest.skip(f"no reference output {SCENARIO}")
    out = tmp_path_factory.mktemp("xr") / "day.nc"
    subprocess.run([EXPORT, "-o", str(out), str(SCENARIO)], check=True)
    with xr.open_dataset(out) as ds:
        yield ds.load(), SCENARIO.read_bytes().decode("latin-1")


def test_dimensions_names_and_fill_values(exported):
    ds, text = exported
    head = text.split("\r\n")
    nrec = int(head[0][20:26])
    assert dict(ds.sizes) == {"epoch": (int(head[0][8:14]) - int(head[0][2:8])) // int(head[0][14:20]) + 1,
                              "receiver": nrec, "satellite": ds.sizes["satellite"]}
    assert list(ds.marker.values) == [head[1 + r][2:6] for r in range(nrec)]
    assert [float(x) for x in ds.dh.values] == [float(head[1 + r][29:43]) for r in range(nrec)]
    assert str(ds.epoch.values[0]).startswith(head[1 + nrec][2:6].strip() + "-")  # decoded to the file's date
    types = {b[1] for b in blocks(text)}
    for t in types:
        assert ds[t].dims == ("epoch", "receiver", "satellite")
        assert ds[t].dtype == np.float64
        assert math.isnan(ds[t].encoding["_FillValue"])
        assert ds[t].attrs["observation_type"] == t
    assert set(ds.satellite.values) == {s for b in blocks(text) for s in b[3]}


def test_every_value_equals_its_text(exported):
    ds, text = exported
    markers = list(ds.marker.values)
    start = int(text[2:8])
    step = int(text[14:20])
    present = 0
    for second, t, rows, sats, values in blocks(text):
        e = (second - start) // step
        for marker, row in zip(rows, values):
            r = markers.index(marker)
            got = ds[t].isel(epoch=e, receiver=r).sel(satellite=sats).values
            for s, v, g in zip(sats, row, got):
                if v.strip().startswith("*") or float(v) >= 9999999999.99:
                    assert math.isnan(g), (second, t, marker, s)
                else:
                    assert g == float(v), (second, t, marker, s, v)
                    present += 1
    assert present == sum(int(ds[t].notnull().sum()) for t in {b[1] for b in blocks(text)})
