"""The campaign summary: the completeness of every station on every day, as a CSV and a page.

A station is a marker; its completeness on a day is the share of the day's epochs (86400 / step)
at which its receiver recorded a time (the NetCDF variable recorded_seconds). Days without files
and stations absent on a day are left empty. Run by the workflow's rule summary."""
import csv
import html
import os

import netCDF4
import numpy


def completeness(path, step):
    """Marker -> percentage of the day's epochs with a recorded time (the best receiver of a
    marker when several share it)."""
    epochs = 86400 // step
    out = {}
    with netCDF4.Dataset(path) as nc:
        markers = [str(m) for m in nc["marker"][:]]
        seconds = numpy.asarray(nc["epoch"][:])
        recorded = numpy.ma.filled(nc["recorded_seconds"][:], numpy.nan)
    counts = (~numpy.isnan(recorded[seconds < 86400])).sum(axis=0)
    for marker, n in zip(markers, counts):
        out[marker] = max(out.get(marker, 0.0), 100.0 * int(n) / epochs)
    return out


def main(inputs, out_html, out_csv, days, step):
    by_day = {}
    for path in inputs:
        day = os.path.basename(path)[: -len(".nc")]
        by_day[day] = completeness(path, step)
    stations = sorted({m for c in by_day.values() for m in c})
    with open(out_csv, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["station"] + days)
        for s in stations:
            w.writerow([s] + [f"{by_day[d][s]:.1f}" if s in by_day.get(d, {}) else "" for d in days])
    rows = []
    head = "".join(
        f'<th><a href="{d}/{d}.html">{d}</a></th>' if d in by_day else f"<th>{d}<br>no files</th>"
        for d in days)
    for s in stations:
        cells = ""
        for d in days:
            if s in by_day.get(d, {}):
                v = by_day[d][s]
                cells += f'<td style="background:hsl({int(1.2 * v)},70%,85%)">{v:.1f}</td>'
            else:
                cells += '<td class="none"></td>'
        rows.append(f"<tr><th>{html.escape(s)}</th>{cells}</tr>")
    page = (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>Campaign {days[0]} to {days[-1]}</title>\n<style>"
        "body{font-family:sans-serif}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:2px 6px;text-align:right}td.none{background:#eee}"
        "</style></head><body>\n"
        f"<h1>Campaign {days[0]} to {days[-1]}</h1>\n"
        f"<p>{len(stations)} stations, {len(by_day)} of {len(days)} days with files. Each cell: "
        f"the share of the day's {86400 // step} epochs at which the station recorded a time, in "
        "percent; a day's heading links to its page.</p>\n"
        f"<table><tr><th>station</th>{head}</tr>\n" + "\n".join(rows) + "\n</table>\n"
        "</body></html>\n")
    with open(out_html, "w") as f:
        f.write(page)


main(list(snakemake.input), snakemake.output.html, snakemake.output.csv,  # noqa: F821
     list(snakemake.params.days), int(snakemake.params.step))  # noqa: F821
