"""The NetCDF file of obsquilt-export as xarray opens it: dimensions, names, fill values and
the values of a reference output against its text."""
import math
import os
import subprocess
from pathlib import Path

import pytest
import xarray as xr

SHARED = Path(os.environ.get("OBSQUILT_SHARED_DIR", Path(__file__).parents[3] / "shared"))
SCENARIO = SHARED / "golden" / "short-excerpts" / "expected.obsquilt.txt"


def blocks(lines):
    """(second of day, type, markers, satellites, value texts by row) of every block."""
    for i, line in enumerate(lines):
        if line.startswith("e "):
            second = int(line[12:15]) * 3600 + int(line[15:18]) * 60 + int(line[18:21])
        elif line.startswith("f "):
            rows, cols = int(line[4:9]), int(line[9:14])
            yield (second, line[2:4], [lines[i + 1 + r][2:6] for r in range(rows)],
                   [lines[i + 1 + rows][2 + 4 * c:5 + 4 * c] for c in range(cols)],
                   [[lines[i + 2 + rows + r][2 + 15 * c:16 + 15 * c] for c in range(cols)] for r in range(rows)])


def test_exported_file_as_xarray_reads_it(tmp_path):
    if not SCENARIO.exists():
        pytest.skip(f"no reference output {SCENARIO}")
    subprocess.run([os.environ.get("OBSQUILT_EXPORT", "obsquilt-export"), "-o", tmp_path / "day.nc", SCENARIO], check=True)
    lines = SCENARIO.read_bytes().decode("latin-1").split("\r\n")
    tmin, tmax, step, nrec = (int(lines[0][k:k + 6]) for k in (2, 8, 14, 20))
    with xr.open_dataset(tmp_path / "day.nc") as ds:
        assert (ds.sizes["epoch"], ds.sizes["receiver"]) == ((tmax - tmin) // step + 1, nrec)
        assert list(ds.marker.values) == [lines[1 + r][2:6] for r in range(nrec)]
        assert list(ds.dh.values) == [float(lines[1 + r][29:43]) for r in range(nrec)]
        assert str(ds.epoch.values[0]).startswith(lines[1 + nrec][2:6] + "-")  # the file's date
        present = 0
        for second, t, markers, sats, rows in blocks(lines):
            assert ds[t].dims == ("epoch", "receiver", "satellite") and ds[t].attrs["observation_type"] == t
            assert math.isnan(ds[t].encoding["_FillValue"])
            for marker, values in zip(markers, rows):
                got = ds[t].isel(epoch=(second - tmin) // step, receiver=list(ds.marker.values).index(marker))
                for sat, text, value in zip(sats, values, got.sel(satellite=sats).values):
                    if "*" in text or float(text) >= 9999999999.99:
                        assert math.isnan(value), (second, t, marker, sat)
                    else:
                        assert value == float(text), (second, t, marker, sat, text)
                        present += 1
        assert present == sum(int(ds[t].notnull().sum()) for t in {b[1] for b in blocks(lines)})
