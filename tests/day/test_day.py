"""obsquilt-day against one run of obsquilt over the same files.

A generated day small enough for one run is merged once by obsquilt and exported, and once by
obsquilt-day with --max-files and --max-values forced small, so that it is cut into several
station groups and several time windows per group. The two NetCDF files must agree value for
value and attribute for attribute (all but history and source, which name the command and the
input files), and the two pages byte for byte. The values are compared by netCDF4, not by the
program's own reader."""
import json
import os
import subprocess
import sys
from pathlib import Path

import netCDF4
import numpy
import pytest

sys.path.insert(0, str(Path(__file__).parent))
import ncsame  # noqa: E402

BIN = Path(os.environ.get("OBSQUILT_BIN_DIR", ""))


def tool(name):
    return str(BIN / name)


def run(args, cwd=None, check=True):
    p = subprocess.run(args, cwd=cwd, input="\n", capture_output=True, text=True)
    if check and p.returncode != 0:
        raise AssertionError(f"{args[0]} exited {p.returncode}:\n{p.stdout}\n{p.stderr}")
    return p


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    if not (BIN / "obsquilt-day").exists():
        pytest.skip("OBSQUILT_BIN_DIR does not name a build with obsquilt-day")
    root = tmp_path_factory.mktemp("day")
    sim = root / "sim"
    run([tool("obsquilt-simulate"), "--stations", "7", "--epochs", "240", "--seed", "3", str(sim)])
    files = sorted(str(p) for p in sim.glob("*.26o"))
    # One run over every file.
    single = root / "single"
    run([tool("obsquilt-prep"), "--dir", str(single)] + files)
    run([tool("obsquilt"), "0", "86400", "30"], cwd=single)
    run([tool("obsquilt-export"), "-o", str(root / "single.nc"), str(single / "obsquilt.txt")])
    run([tool("obsquilt-report"), "--title", "2026-147", "-o", str(root / "single.html"),
         str(single / "obsquilt.txt")])
    # The same day cut into groups of at most 3 files and windows of at most 25,000 values.
    out = root / "out"
    p = run([tool("obsquilt-day"), "-j", "2", "--max-files", "3", "--max-values", "25000",
             "-o", str(out)] + files)
    return {"root": root, "out": out, "files": files, "summary": p.stdout}


def test_plan_has_several_groups_and_windows(day):
    plan = json.loads((day["out"] / "plan.json").read_text())
    assert plan["groups"] == 3  # 7 files, at most 3 a group: 2, 2 and 3 files
    assert [len(r["files"]) for r in plan["runs"] if r["from"] == 0] == [2, 2, 3]
    per_group = {}
    for r in plan["runs"]:
        per_group.setdefault(r["group"], []).append(r)
        assert r["values"] <= 25000
        assert (day["out"] / r["folder"] / "run.txt").exists()
    assert all(len(runs) >= 2 for runs in per_group.values())
    # Each group's windows follow each other without a gap or an overlap, from 0 to 86400.
    for runs in per_group.values():
        assert runs[0]["from"] == 0 and runs[-1]["to"] == 86400
        for a, b in zip(runs, runs[1:]):
            assert b["from"] == a["to"] + 30
    # The values of the plan are those one run stores (its console says how many).
    assert sum(r["values"] for r in plan["runs"]) == plan["values"]
    assert day["summary"].startswith("plan: 7 files, 2881 epochs of 30 s, ")


def test_single_run_store_matches_plan(day):
    plan = json.loads((day["out"] / "plan.json").read_text())
    check = run([tool("obsquilt-check"), "-C", str(day["root"] / "single"), "0", "86400", "30"],
                check=False)
    assert f"the store will hold {plan['values']} values" in check.stdout, check.stdout


def test_netcdf_equals_single_run(day):
    single, joined = day["root"] / "single.nc", day["out"] / "2026-147.nc"
    assert ncsame.differences(single, joined) == []
    a = netCDF4.Dataset(single)
    assert len(a.dimensions["receiver"]) == 7
    # Not a comparison of two empty files: every type holds values.
    for name in a.getncattr("observation_types").split():
        assert numpy.count_nonzero(~numpy.isnan(numpy.ma.filled(a[name][:], numpy.nan))) > 0


def test_page_equals_single_run(day):
    assert (day["out"] / "2026-147.html").read_bytes() == (day["root"] / "single.html").read_bytes()


def test_failed_run_is_reported_and_not_complete(day, tmp_path):
    out = tmp_path / "out"
    run([tool("obsquilt-day"), "plan", "--max-files", "4", "-o", str(out)] + day["files"])
    plan = json.loads((out / "plan.json").read_text())
    assert len(plan["runs"]) == 2
    # A prepared file cut inside an epoch after the plan: the run reading it stops.
    victim = out / plan["runs"][1]["files"][0]
    text = victim.read_bytes()
    victim.write_bytes(text[: len(text) // 2 + 7])
    p = run([tool("obsquilt-day"), "run", "-j", "2", "-o", str(out)], check=False)
    assert p.returncode == 2, p.stderr
    assert "run 2 failed (runs/002, obsquilt 0 86400 30" in p.stderr
    assert "obsquilt-check in runs/002 says:" in p.stderr
    assert "error:" in p.stderr  # the check's finding
    assert "console.txt" in p.stderr
    assert (out / "runs/001/run.txt").exists()
    assert not (out / "runs/002/run.txt").exists()
    # finish refuses a day with a run that is not complete, and writes nothing.
    p = run([tool("obsquilt-day"), "finish", "-o", str(out)], check=False)
    assert p.returncode == 2
    assert "runs not complete: 2" in p.stderr
    assert not list(out.glob("*.nc"))


def test_limits_that_cannot_be_met(day, tmp_path):
    p = run([tool("obsquilt-day"), "plan", "--max-values", "50", "-o", str(tmp_path / "x")]
            + day["files"], check=False)
    assert p.returncode == 2
    assert "alone holds" in p.stderr and "more than 50" in p.stderr


def test_earlier_plan_kept_without_force(day):
    p = run([tool("obsquilt-day"), "-o", str(day["out"])] + day["files"], check=False)
    assert p.returncode == 2
    assert "plan.json: a day planned before (use --force to plan again)" in p.stderr


def epoch(second, sats):
    """An epoch of a RINEX 2.11 file with types C1 L1: its record and one line per satellite."""
    h, m, s = second // 3600, second % 3600 // 60, second % 60
    text = f" 26  5 27 {h:2d} {m:2d}{s:11.7f}  0{len(sats):3d}" + "".join(sats) + "\n"
    for k, sat in enumerate(sats):
        text += f"{20000000.0 + 1000 * k + second:14.3f}  {100000000.0 + second:14.3f}  \n"
    return text


@pytest.mark.parametrize("limits", [["--max-files", "1"], ["--max-values", "8"]],
                         ids=["station groups", "time windows"])
def test_satellite_order_of_one_run(day, tmp_path, limits):
    # The first station sees G05 only in its second epoch; the second lists G07 before G05 in
    # its first. One run files G01, G05 (first file), then G07: its matrices list G01 G05 G07,
    # and so must the join of two groups (the second alone meets G07 first) or of two windows
    # (the first alone meets G07 before G05). Each second costs the store 8 values.
    sim = tmp_path / "sim"
    run([tool("obsquilt-simulate"), "--stations", "2", "--epochs", "0", "--types", "C1 L1",
         str(sim)])
    files = sorted(sim.glob("*.26o"))
    with open(files[0], "a") as f:
        f.write(epoch(0, ["G01"]) + epoch(30, ["G01", "G05"]))
    with open(files[1], "a") as f:
        f.write(epoch(0, ["G07", "G05"]) + epoch(30, ["G07"]))
    single = tmp_path / "single"
    run([tool("obsquilt-prep"), "--dir", str(single)] + [str(p) for p in files])
    run([tool("obsquilt"), "0", "86400", "30"], cwd=single)
    run([tool("obsquilt-export"), "-o", str(tmp_path / "single.nc"), str(single / "obsquilt.txt")])
    out = tmp_path / "out"
    run([tool("obsquilt-day"), "-o", str(out)] + limits + [str(p) for p in files])
    assert len(json.loads((out / "plan.json").read_text())["runs"]) == 2
    joined = out / "2026-147.nc"
    assert list(netCDF4.Dataset(joined)["satellite"][:]) == ["G01", "G05", "G07"]
    assert ncsame.differences(tmp_path / "single.nc", joined) == []
