"""The multipath and cycle slips of obsquilt-report's page, recomputed here from the NetCDF file of
obsquilt-export with numpy (the definitions of obsquilt-report(1), written anew): on real days of
../shared/rinex merged by obsquilt, MP1/MP2 RMS per receiver and per satellite agree to 1 mm and
the slips exactly; on a simulated day with slips and multipath of known size the page finds every
slip the geometry-free combination can see, and no other, and the multipath RMS within 10 %."""
import json
import math
import os
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

SHARED = Path(os.environ.get("OBSQUILT_SHARED_DIR", Path(__file__).parents[3] / "shared"))
RINEX = SHARED / "rinex"
BIN = {name: os.environ.get(var, name) for name, var in [
    ("obsquilt", "OBSQUILT_BIN"), ("obsquilt-report", "OBSQUILT_REPORT"),
    ("obsquilt-export", "OBSQUILT_EXPORT"), ("obsquilt-simulate", "OBSQUILT_SIMULATE")]}

C = 299792458.0
F1, F2, F5 = 1575.42e6, 1227.60e6, 1176.45e6

# Real days: files of one day and the run's window (see ../shared/rinex/CATALOG.md).
DAYS = {
    "spain-france": (["acor1480.08o", "madr1480.08o", "scoa1480.08o", "sfer1480.08o", "tlse1480.08o"],
                     "0 86400 30"),
    "arequipa-st-croix": (["areq015o.10o", "cro1015o.10o"], "68400 71999 1"),
    "geonet": (["07590920.05o", "30400920.05o"], "0 3570 30"),
    "catalonia": (["bell0300.02o", "ebre0300.02o"], "0 86400 30"),
    "netherlands-zimmerwald": (["delf0010.21o", "wsra0010.21o", "zegv0010.21o", "zimm0010.21o"],
                               "0 86400 30"),
}


def merge(folder, files, args):
    """obsquilt over the files, as the reference runs are made; the page and the NetCDF file."""
    folder.mkdir()
    for f in map(Path, files):
        (folder / f.name).symlink_to(f if f.is_absolute() else RINEX / f)
    (folder / "list.txt").write_text("".join(Path(f).name + "\n" for f in files))
    subprocess.run([BIN["obsquilt"], *args.split()], cwd=folder, input=b"\n", check=True,
                   stdout=subprocess.DEVNULL)
    start, stop, _ = args.split()
    report = subprocess.run([BIN["obsquilt-report"], "-w", start, stop, "-o", "page.html", "obsquilt.txt"],
                            cwd=folder)
    assert report.returncode in (0, 1)
    subprocess.run([BIN["obsquilt-export"], "-o", "day.nc", "obsquilt.txt"], cwd=folder, check=True)
    html = (folder / "page.html").read_text()
    page = json.loads(re.search(r'id="quilt-data">(.*?)</script>', html, re.S).group(1))
    return page, xr.open_dataset(folder / "day.nc")


def signals(ds, r, s):
    """For receiver r and satellite s over the epochs: MP1, MP2, GF (m) and the signals' choice,
    NaN / -1 where the two-frequency combination cannot be formed."""
    n = ds.sizes["epoch"]
    get = lambda t: ds[t].isel(receiver=r, satellite=s).values if t in ds else np.full(n, np.nan)
    p1, c1, p2, c2, c5, l1, l2, l5 = (get(t) for t in ("P1", "C1", "P2", "C2", "C5", "L1", "L2", "L5"))
    galileo = str(ds.satellite.values[s]).startswith("E")
    code1 = np.where(~np.isnan(p1), p1, c1)
    which1 = np.where(~np.isnan(p1), 0, 1)
    use_l2 = ~np.isnan(l2) & (~np.isnan(p2) | ~np.isnan(c2)) & (not galileo)
    use_l5 = ~use_l2 & ~np.isnan(l5) & ~np.isnan(c5)
    code2 = np.where(use_l2, np.where(~np.isnan(p2), p2, c2), c5)
    phase2 = np.where(use_l2, l2, l5)
    f2 = np.where(use_l2, F2, F5)
    combo = np.where(use_l2, np.where(~np.isnan(p2), 1, 2), 3) * 10 + which1
    ok = (use_l2 | use_l5) & ~np.isnan(code1) & ~np.isnan(l1)
    a = (F1 / f2) ** 2
    w1, w2 = C / F1, C / f2
    mp1 = code1 - (1 + 2 / (a - 1)) * w1 * l1 + (2 / (a - 1)) * w2 * phase2
    mp2 = code2 - (2 * a / (a - 1)) * w1 * l1 + (2 * a / (a - 1) - 1) * w2 * phase2
    gf = w1 * l1 - w2 * phase2
    return ok, np.where(ok, combo, -1), mp1, mp2, gf


def recompute(ds, step):
    """Per receiver: squared deviations and their count, observations, slips [(second, sat)],
    and the same per satellite."""
    threshold = 0.05 + 0.06 / 60 * step
    seconds = ds.epoch.values.astype("datetime64[s]").astype(np.int64) % 86400 if np.issubdtype(
        ds.epoch.dtype, np.datetime64) else ds.epoch.values
    out = []
    for r in range(ds.sizes["receiver"]):
        rec = {"sq1": 0.0, "sq2": 0.0, "n": 0, "obs": 0, "slips": [], "sats": {}}
        for s, code in enumerate(ds.satellite.values):
            if str(code)[0] not in "GE":
                continue
            ok, combo, mp1, mp2, gf = signals(ds, r, s)
            if not ok.any():
                continue
            prev_ok = np.concatenate([[False], ok[:-1]])
            same = prev_ok & ok & (combo == np.concatenate([[-2], combo[:-1]]))
            jump = np.abs(gf - np.concatenate([[np.nan], gf[:-1]]))
            slip = same & (jump > threshold)
            start = ok & (~same | slip)
            arc = np.cumsum(start)
            sat = {"sq1": 0.0, "sq2": 0.0, "n": 0, "obs": int(ok.sum()), "slips": int(slip.sum())}
            for a in np.unique(arc[ok]):
                idx = np.flatnonzero(ok & (arc == a))
                if len(idx) < 10:
                    continue
                d1 = mp1[idx] - mp1[idx].mean()
                d2 = mp2[idx] - mp2[idx].mean()
                sat["sq1"] += float((d1 * d1).sum())
                sat["sq2"] += float((d2 * d2).sum())
                sat["n"] += len(idx)
            rec["sats"][str(code)] = sat
            for key in ("sq1", "sq2", "n", "obs"):
                rec[key] += sat[key]
            rec["slips"] += [(int(seconds[k]), str(code)) for k in np.flatnonzero(slip)]
        out.append(rec)
    return out


def rms(sq, n):
    return math.sqrt(sq / n) if n else None


def page_slips(page, r):
    return sorted((page["tmin"] + k * page["step"], page["sats"][s]) for k, s, _ in page["mp"][r]["slips"])


@pytest.mark.parametrize("day", sorted(DAYS))
def test_page_agrees_with_a_computation_from_the_netcdf_file(day, tmp_path):
    files, args = DAYS[day]
    missing = [f for f in files if not (RINEX / f).exists()]
    if missing:
        pytest.skip(f"absent from {RINEX}: {' '.join(missing)}")
    page, ds = merge(tmp_path / day, files, args)
    with ds:
        want = recompute(ds, page["step"])
    compared = 0
    for r, w in enumerate(want):
        got = page["mp"][r]
        assert got["obs"] == w["obs"], (day, r)
        for k, key in ((0, "sq1"), (1, "sq2")):
            mine = rms(w[key], w["n"])
            assert (got["rms"][k] is None) == (mine is None), (day, r)
            if mine is not None:
                assert abs(got["rms"][k] - mine) <= 0.001, (day, r, k, got["rms"][k], mine)
        assert page_slips(page, r) == sorted(w["slips"]), (day, r)
        sats = {page["sats"][x[0]]: x for x in got["sats"]}
        assert set(sats) == {s for s, v in w["sats"].items() if v["obs"]}, (day, r)
        for code, v in w["sats"].items():
            x = sats[code]
            assert (x[4], x[5]) == (v["obs"], v["slips"]), (day, r, code)
            for k, key in ((1, "sq1"), (2, "sq2")):
                mine = rms(v[key], v["n"])
                assert (x[k] is None) == (mine is None) and (mine is None or abs(x[k] - mine) <= 0.001), \
                    (day, r, code, x, mine)
            compared += 1
    assert compared > 0, f"{day}: no GPS or Galileo satellite with two frequencies"


def test_page_finds_the_slips_and_the_multipath_put_into_a_simulated_day(tmp_path):
    sim = tmp_path / "sim"
    subprocess.run([BIN["obsquilt-simulate"], "--stations", "4", "--epochs", "2880", "--slips", "24",
                    "--multipath", "100", str(sim)], check=True)
    files = sorted(p.name for p in sim.glob("*.26o"))
    page, ds = merge(tmp_path / "day", [str(sim / f) for f in files], "0 86400 30")
    step = page["step"]
    threshold = 0.05 + 0.06 / 60 * step
    markers = list(page["markers"])
    inserted, seen, hidden = set(), 0, 0
    with ds:
        sats = [str(s) for s in ds.satellite.values]
        for line in (sim / "slips.txt").read_text().splitlines()[1:]:
            marker, second, sat, n1, n2 = line.split()
            r, second, n1, n2 = markers.index(marker), int(second), int(n1), int(n2)
            inserted.add((r, second, sat))
            ok, combo, _, _, _ = signals(ds, r, sats.index(sat))
            k = (second - int(ds.attrs["first_second"])) // step
            if not (ok[k] and ok[k - 1] and combo[k] == combo[k - 1]):
                continue  # the satellite has no combination at the epoch or the one before
            change = abs(n1 * C / F1 - n2 * C / F2)
            found = (second, sat) in page_slips(page, r)
            if change > threshold + 0.05:
                assert found, f"slip of {n1}, {n2} cycles of {sat} at {second} s in {marker} not found"
                seen += 1
            elif change < threshold - 0.02:
                hidden += 1  # n1 w1 = n2 w2 nearly: the geometry-free combination cannot see it
    print(f"slips seen {seen}, hidden {hidden}")
    assert seen >= 40 and hidden >= 5, (seen, hidden)
    for r in range(len(markers)):
        for second, sat in page_slips(page, r):
            assert (r, second, sat) in inserted, f"a slip of {sat} at {second} s in {markers[r]} that was not put in"
        # Code noise uniform in +-0.3 m (variance 0.03 m2) and a sine of 1 m amplitude.
        want = math.sqrt(0.6 ** 2 / 12 + 1.0 ** 2 / 2)
        for got in page["mp"][r]["rms"]:
            assert abs(got - want) <= 0.1 * want, (markers[r], got, want)
