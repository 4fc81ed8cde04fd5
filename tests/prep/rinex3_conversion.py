#!/usr/bin/env python3
"""RINEX 3/4 files converted by obsquilt-prep, checked field by field against their source.

Reads the source text and the written RINEX 2.11 file with readers of its own (not prep's) and
the mapping table as data, and checks: every written field is the source's 16 characters of the
chosen code; the chosen code of each satellite and type is the best of the table with a value
for that satellite; the type list, epoch records, clock offsets and events; the counts of the
notes after the kept line against a recount. Then the two files of one day are merged by
obsquilt and the matrices compared with the sources, and obsquilt-check runs on every result.

Usage: rinex3_conversion.py PREP MERGE CHECK SHARED_RINEX3_DIR
"""
import bz2
import decimal
import gzip
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

PREP, MERGE, CHECK, SHARED = (os.path.abspath(a) for a in sys.argv[1:5])

# The files of the shared folder, given to prep as they are; the test reads compact ones through
# their reference decoding (NAME.expected.gz).
FILES = [
    "ACOR00ESP_R_20213550000_01D_30S_MO.crx", "BME100HUN_R_20213550000_01D_30S_MO.crx",
    "CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz", "DOUR00BEL_R_20200130000_01D_30S_MO.crx",
    "FAA100PYF_R_20161700100_15M_01S_MO", "GANP00SVK_R_20151890000_01H_10M_MO.crx.gz",
    "GEOP092I.24o.gz", "GRAS00FRA_R_20223151700_15M_01S_MO.crx.gz",
    "KMS300DNK_R_20221591000_01H_30S_MO.crx", "NOA10630.22O",
    "P43300USA_R_20190012056_17M_15S_MO.crx.bz2", "VLNS0010.22D",
    "YEBE00ESP_R_20230891800_01H_30S_MO.crx.gz", "ZIMM00CHE_R_20190320000_15M_30S_MO.crx.gz",
    "abcd083.06o", "cycle-slip.00o", "demo3.10o", "embe083.06o", "flrs0010.12d",
    "gps.23O.gz", "sample.crx.Z", "z_tracking.rnx",
]
# Names under which a file without a usable name is given to prep (no MARKER NAME either).
RENAMED = {"sample.crx.Z": "samp0640.10d.Z"}

# RINEX 2 type <- RINEX 3 codes, best first, per system (the conversion's table).
def rows(system, version):
    g = {
        "C1": ["C1C"], "P1": ["C1P", "C1Y", "C1W"], "C2": ["C2L", "C2S", "C2X"],
        "P2": ["C2P", "C2Y", "C2W", "C2D"], "C5": ["C5I", "C5Q", "C5X"],
    }
    bands = {"1": "CPYWMNSLX", "2": "PYWCMNDLSX", "5": "IQX"}
    if system == "R":
        g = {"C1": ["C1C"], "P1": ["C1P"], "C2": ["C2C"], "P2": ["C2P"]}
        bands = {"1": "CP", "2": "PC"}
    elif system == "E":
        g, bands = {}, {"1": "CABXZ", "5": "IQX", "7": "IQX", "8": "IQX", "6": "ABCXZ"}
    elif system == "S":
        g, bands = {}, {"1": "C", "5": "IQX"}
    elif system == "C":
        g = {}
        b1i = [("2", a) for a in "IQX"] + [("1", a) for a in "IQ"] + ([("1", "X")] if version == "3.02" else [])
        b1c = [("1", a) for a in ("PDA" if version == "3.02" else "PXDA")]
        table = {"2": b1i, "1": b1c, "5": [("5", a) for a in "PXD"],
                 "7": [("7", a) for a in "IQXDPZ"], "6": [("6", a) for a in "IQXA"],
                 "8": [("8", a) for a in "PXD"]}
        for out, codes in table.items():
            for letter in "CLDS":
                g[letter + out] = [letter + b + a for b, a in codes]
        return g
    for band, attrs in bands.items():
        for letter in ("LDS" if system in "GR" else "CLDS"):
            g[letter + band] = [letter + band + a for a in attrs]
    return g

ORDER = [l + b for b in "125678" for l in "CPLDS" if not (l == "P" and b not in "12")]
KEPT = "GRESC"


def read_text(path):
    raw = open(path, "rb").read()
    for _ in range(3):
        if raw[:2] == b"\x1f\x8b":
            raw = gzip.decompress(raw)
        elif raw[:3] == b"BZh":
            raw = bz2.decompress(raw)
    return raw.decode("ascii", "replace").replace("\r\n", "\n").split("\n")


def label(line):
    return line[60:].rstrip()


def has_value(f):
    return f[:14].strip() != ""


class Source:
    """The RINEX 3 text: header type lists, and the observation epochs as dictionaries."""

    def __init__(self, lines):
        self.version = lines[0][:9].strip()
        self.layout, self.epochs, self.events, self.first_obs = {}, [], [], None
        i = 0
        while label(lines[i]) != "END OF HEADER":
            self.record(lines[i])
            i += 1
        i += 1
        while i < len(lines):
            line = lines[i]
            i += 1
            if not line.strip():
                continue
            tok = line[1:].split()
            timed = len(tok) >= 8
            flag, count = (int(tok[6]), int(tok[7])) if timed else (int(tok[0]), int(tok[1]))
            block = lines[i:i + count]
            i += count
            if flag >= 2:
                for rec in block:
                    if flag <= 5:
                        self.record(rec)
                self.events.append((tok, flag, block))
                continue
            sats = []
            for rec in block:
                sys_, prn = rec[0], int(rec[1:3].replace(" ", "0"))
                fields = {}
                for k, code in enumerate(self.layout.get(sys_, [])):
                    fields[code] = rec[3 + 16 * k:19 + 16 * k].ljust(16)
                sats.append(("%s%02d" % (sys_, prn), fields))
            clock = [t for t in tok[8:] if "." in t]
            self.epochs.append((tok, flag, sats, clock[0] if clock else None))

    def record(self, line):
        lab = label(line)
        if lab == "SYS / # / OBS TYPES":
            if line[0] != " ":
                self.sys, self.left = line[0], int(line[3:6])
                self.layout[self.sys] = []
            for k in range(13):
                if self.left > 0:
                    self.layout[self.sys].append(line[7 + 4 * k:10 + 4 * k])
                    self.left -= 1


def second_of(tok):
    return math.floor(int(tok[3]) * 3600 + float(tok[5]) + int(tok[4]) * 60 + 0.5)


def round_clock(text):
    d = decimal.Decimal(text).quantize(decimal.Decimal("0.000000001"), decimal.ROUND_HALF_UP)
    s = format(d, "f")
    s = s.replace("-.", "-0.") if s.startswith("-.") else ("0" + s if s.startswith(".") else s)
    return s.rjust(12), re.sub(r"^[-+]?\d*\.?\d{0,9}", "", text.lstrip("+-")).strip("0") != ""


def read_output(lines):
    """The RINEX 2.11 file: types, comments and epochs (time fields, flag, satellites, records)."""
    types, i = [], 0
    header = []
    while label(lines[i]) != "END OF HEADER":
        header.append(lines[i])
        if label(lines[i]) == "# / TYPES OF OBSERV":
            types += lines[i][6:60].split()
        i += 1
    i += 1
    epochs = []
    while i < len(lines) and lines[i]:
        line = lines[i]
        flag, count = int(line[28]), int(line[29:32])
        i += 1
        if flag >= 2:
            epochs.append((line, flag, lines[i:i + count], None))
            i += count
            continue
        sats = [line[32 + 3 * k:35 + 3 * k] for k in range(min(count, 12))]
        for _ in range(max(0, (count - 1) // 12)):
            sats += [lines[i][32 + 3 * k:35 + 3 * k] for k in range(12)]
            i += 1
        sats = sats[:count]
        per = max(1, (len(types) + 4) // 5)
        recs = []
        for s in sats:
            text = "".join(l.ljust(80)[:80] for l in lines[i:i + per])
            recs.append((s, {t: text[16 * k:16 * k + 16] for k, t in enumerate(types)}))
            i += per
        epochs.append((line, flag, recs, line[68:80] if len(line) > 68 else None))
    return header, types, epochs


failures = []
compared = [0]  # fields compared


def check(cond, what):
    if not cond:
        failures.append(what)
    return cond


def verify(name, src_lines, out_lines, stdout):
    src, (header, types, out) = Source(src_lines), read_output(out_lines)
    table = {s: rows(s, src.version) for s in KEPT}
    # Epochs kept: of the day of the first, on a second of the day not met before.
    first = next(e[0][:3] for e in src.epochs)
    seen, kept, repeats = set(), [], 0
    for e in src.epochs:
        if e[0][:3] != first:
            continue
        sec = second_of(e[0])
        if sec in seen:
            repeats += 1
            continue
        seen.add(sec)
        kept.append(e)
    # The chosen code of each satellite and type: the best with a value.
    chosen = {}
    for _, _, sats, _ in kept:
        for sat, fields in sats:
            if sat[0] not in KEPT:
                continue
            for t, codes in table[sat[0]].items():
                for rank, c in enumerate(codes):
                    if c in fields and has_value(fields[c]):
                        best = chosen.get((sat, t))
                        if best is None or codes.index(best) > rank:
                            chosen[(sat, t)] = c
                        break
    want_types = [t for t in ORDER if any(k[1] == t for k in chosen)]
    check(types == want_types, f"{name}: types {types}, want {want_types}")
    # The choice comments name the same codes and satellite counts.
    for sys_ in KEPT:
        for t in want_types:
            users = {}
            for (sat, tt), c in chosen.items():
                if sat[0] == sys_ and tt == t:
                    users[c] = users.get(c, 0) + 1
            if users:
                comment = f"{sys_} {t} <- " + ", ".join(f"{c} ({n} sat)" for c, n in sorted(users.items(), key=lambda kv: table[sys_][t].index(kv[0])))
                check(any(h[:60].rstrip() == comment[:60] for h in header), f"{name}: no comment '{comment}'")
    # Epoch by epoch, field by field; and the recount of what is left out.
    obs_out = [e for e in out if e[1] < 2]
    check(len(obs_out) == len(kept), f"{name}: {len(obs_out)} epochs written, want {len(kept)}")
    left_sys, unnamed, behind, rounded = {}, {}, {}, 0
    for (tok, flag, sats, clock), (line, oflag, recs, oclock) in zip(kept, obs_out):
        want_line = " %02d %2d %2d %2d %2d%11s  %d" % (int(tok[0]) % 100, int(tok[1]), int(tok[2]),
                                                     int(tok[3]), int(tok[4]), tok[5], flag)
        check(line[:29] == want_line, f"{name}: epoch '{line[:29]}', want '{want_line}'")
        kept_sats = [s for s in sats if s[0][0] in KEPT]
        check([r[0] for r in recs] == [s[0] for s in kept_sats], f"{name}: satellites of {line[:26]}")
        if clock is not None:
            text, r = round_clock(clock)
            rounded += r
            check(oclock == text, f"{name}: clock '{oclock}' of {line[:26]}, want '{text}' from '{clock}'")
        for sat, fields in sats:
            if sat[0] not in KEPT:
                left_sys[sat[0]] = left_sys.get(sat[0], 0) + 1
        for (sat, fields), (osat, ofields) in zip(kept_sats, recs):
            for t in types:
                c = chosen.get((sat, t))
                want = fields.get(c, " " * 16) if c else " " * 16
                compared[0] += 1
                check(ofields[t] == want, f"{name}: {line[:26]} {sat} {t} '{ofields[t]}', want '{want}' ({c})")
            for code, f in fields.items():
                if not has_value(f):
                    continue
                t = next((t for t, codes in table[sat[0]].items() if code in codes), None)
                key = f"{sat[0]} {code.strip()}"
                if t is None:
                    unnamed[key] = unnamed.get(key, 0) + 1
                elif chosen.get((sat, t)) != code and not has_value(fields.get(chosen.get((sat, t)), "")):
                    behind[key] = behind.get(key, 0) + 1
    # Events: flags 2-5 written with the records a RINEX 2 header knows, flag 6 and up left out.
    ev_out = [e for e in out if e[1] >= 2]
    ev_src = [e for e in src.events if e[1] <= 5]
    check(len(ev_out) == len(ev_src), f"{name}: {len(ev_out)} events written, want {len(ev_src)}")
    dropped = {}
    for e in src.events:
        if e[1] >= 6:
            dropped[f"flag {e[1]}"] = dropped.get(f"flag {e[1]}", 0) + 1

    def note(counts, phrase):
        want = f"{sum(counts.values())} " if counts else None
        got = [l for l in stdout.splitlines() if phrase in l]
        if not counts:
            return check(not got, f"{name}: unexpected note {got}")
        detail = " (" + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())) + ")" if "" not in counts else ""
        return check(len(got) == 1 and got[0].split(": ", 1)[1].startswith(want) and got[0].endswith(detail),
                     f"{name}: note {got}, want {want}...{detail}")
    note(left_sys, "of systems RINEX 2.11 leaves out")
    note(unnamed, "cannot name left out")
    note(behind, "left behind")
    note(dropped, "event blocks left out" if sum(dropped.values()) != 1 else "event block left out")
    note({"": rounded} if rounded else {}, "rounded to 9 decimals")
    note({"": repeats} if repeats else {}, "met before left out")
    return types


def run(args, cwd, stdin=""):
    return subprocess.run(args, cwd=cwd, input=stdin, capture_output=True, text=True)


def source_path(f):
    decoded = os.path.join(SHARED, f + ".expected.gz")
    return decoded if os.path.exists(decoded) else os.path.join(SHARED, f)


def main():
    if not os.path.isdir(SHARED):
        print(f"SKIPPED: {SHARED} is absent (the shared RINEX 3 files)")
        return 0
    work = tempfile.mkdtemp(prefix="rinex3-conversion-")
    try:
        for f in FILES:
            d = os.path.join(work, f)
            os.makedirs(d)
            given = os.path.join(d, RENAMED.get(f, f))
            os.symlink(os.path.join(SHARED, f), given)
            r = run([PREP, "--dir", "out", os.path.basename(given)], d)
            if not check(r.returncode in (0, 1) and "kept " in r.stdout, f"{f}: prep said {r.stdout} {r.stderr}"):
                continue
            outname = r.stdout.split(" -> ")[1].split(" ")[0]
            check(re.search(r"\((compact )?RINEX [34][^;]*; RINEX [34]\.\d\d converted to 2\.11\)", r.stdout.splitlines()[0]),
                  f"{f}: kept line {r.stdout.splitlines()[0]}")
            verify(f, read_text(source_path(f)), read_text(os.path.join(d, "out", outname)), r.stdout)
            c = run([CHECK, "0", "86400", "1"], os.path.join(d, "out"))
            check(c.returncode == 0, f"{f}: obsquilt-check exit {c.returncode}: {c.stdout} {c.stderr}")
        special_cases(work)
        merge_case(work)
    finally:
        shutil.rmtree(work)
    for f in failures[:40]:
        print("FAIL", f)
    print(f"{len(FILES)} files converted, {compared[0]} written fields checked, {len(failures)} failures")
    return 1 if failures else 0


def special_cases(work):
    d = os.path.join(work, "special")
    os.makedirs(d)
    # GEOP: an event of flag 2 without records before the first epoch, at its time.
    r = run([PREP, "--dir", "geop", os.path.join(SHARED, "GEOP092I.24o.gz")], d)
    text = open(os.path.join(d, "geop", "GEOP092I.24o")).read()
    check("\n 24  4  1  8 31 16.4427602  2  0\n 24  4  1  8 31 16.4427602  0 28C19" in text,
          "GEOP: the flag 2 event before the first epoch")
    # cycle-slip: the flag 3 block keeps no record (none is a header record), flag 6 left out.
    r = run([PREP, "--dir", "slip", os.path.join(SHARED, "cycle-slip.00o")], d)
    text = open(os.path.join(d, "slip", "rdlt0110.16o")).read()
    check("\n 16  1 11  0  0  5.0000000  3  0\n 16  1 11  0  0 15.0000000  0 25" in text,
          "cycle-slip: flag 3 with no record, flag 6 block gone")
    check("rdlt0110.16o: 1 event block left out (flag 6 1)" in r.stdout, f"cycle-slip notes: {r.stdout}")
    # demo3: the second epoch record is shifted one column left; its clock keeps its sign.
    r = run([PREP, "--dir", "demo", os.path.join(SHARED, "demo3.10o")], d)
    text = open(os.path.join(d, "demo", "mrkr0640.10o")).read()
    check(" 10  3  5  0  0 30.0000000  0  8G07G23G26G20G28R18R15R01           -0.123456789\n" in text
          or re.search(r"\n 10  3  5  0  0 30\.0000000  0  \d[^\n]{36}-0\.123456789\n", text),
          "demo3: the shifted epoch record")
    # The kept line of a compact RINEX 3 file in gzip under its long name.
    acor = "ACOR00ESP_R_20213550000_01D_30S_MO.crx"
    open(os.path.join(d, acor + ".gz"), "wb").write(gzip.compress(open(os.path.join(SHARED, acor), "rb").read()))
    r = run([PREP, "--dir", "acor", acor + ".gz"], d)
    check(r.stdout.splitlines()[0] == "kept ACOR00ESP_R_20213550000_01D_30S_MO.crx.gz -> acor3550.21o "
          "(compact RINEX 3, gzip; RINEX 3.04 converted to 2.11)" and r.returncode == 0,
          f"ACOR in gzip: {r.returncode} {r.stdout}")
    # Made by hand: a scale factor of 10, a BDT file, a file whose codes map nowhere.
    base = read_text(os.path.join(SHARED, "NOA10630.22O"))
    end = next(i for i, l in enumerate(base) if label(l) == "END OF HEADER")
    scaled = base[:end] + ["G   10  0".ljust(60) + "SYS / SCALE FACTOR"] + base[end:]
    bdt = [l[:48] + "BDT" + l[51:] if label(l) == "TIME OF FIRST OBS" else l for l in base]
    unnamed = []
    codes = iter(["C1L", "C1S", "C1X", "C1M", "C2C", "C2M"] * 20)
    for l in base:
        if label(l) == "SYS / # / OBS TYPES":
            l = l[:6] + "".join((" " + next(codes)) if l[7 + 4 * k:10 + 4 * k].strip() else "    " for k in range(13)) + l[58:]
        unnamed.append(l)
    for fname, lines in (("scal0630.22o", scaled), ("bdtt0630.22o", bdt), ("nomp0630.22o", unnamed)):
        open(os.path.join(d, fname), "w").write("\n".join(lines))
    r = run([PREP, "--dir", "hand", "scal0630.22o", "bdtt0630.22o", "nomp0630.22o", os.path.join(SHARED, "NOA10630.22O")], d)
    check(r.returncode == 1, f"hand-made cases: exit {r.returncode}")
    for want in ("left out scal0630.22o: values scaled by 10 (SYS / SCALE FACTOR)",
                 "left out bdtt0630.22o: time system BDT",
                 "left out nomp0630.22o: no observation maps to a RINEX 2.11 type"):
        check(want in r.stdout, f"hand-made: '{want}' not in {r.stdout}")


def merge_case(work):
    """ACOR and BME1 of one day, prepped side by side (one in RINEX 3, one in RINEX 2.11) and
    merged: every matrix value is the source value of the chosen code of that satellite and
    type, and every such value is there."""
    d = os.path.join(work, "merge")
    os.makedirs(d)
    names = ["ACOR00ESP_R_20213550000_01D_30S_MO.crx", "BME100HUN_R_20213550000_01D_30S_MO.crx"]
    for f in names:
        os.symlink(os.path.join(SHARED, f), os.path.join(d, f))
    # BME1 goes in as the RINEX 2.11 file prep made of it, beside ACOR in RINEX 3: both kinds
    # of one day in one directory.
    r = run([PREP, "--dir", "r2", names[1]], d)
    r = run([PREP, "--dir", "day", names[0], os.path.join("r2", "bme13550.21o")], d)
    if not check(r.returncode == 0 and f"kept r2/bme13550.21o -> bme13550.21o (RINEX)\n" in r.stdout,
                 f"merge case: prep exit {r.returncode} {r.stdout} {r.stderr}"):
        return
    m = run([MERGE, "0", "86400", "30"], os.path.join(d, "day"), stdin="\n")
    if not check(m.returncode == 0, f"merge case: obsquilt exit {m.returncode} {m.stderr[-500:]}"):
        return
    want = {}
    for f, marker in zip(names, ("ACOR", "BME1")):
        src = Source(read_text(source_path(f)))
        table = {s: rows(s, src.version) for s in KEPT}
        chosen = {}
        for tok, _, sats, _ in src.epochs:
            for sat, fields in sats:
                for t, codes in table.get(sat[0], {}).items():
                    for rank, c in enumerate(codes):
                        if c in fields and has_value(fields[c]):
                            if (sat, t) not in chosen or codes.index(chosen[(sat, t)]) > rank:
                                chosen[(sat, t)] = c
                            break
        for tok, _, sats, _ in src.epochs:
            for sat, fields in sats:
                for (s, t), c in chosen.items():
                    if s == sat and t[0] in "CPL" and has_value(fields.get(c, "")):
                        want[(marker, second_of(tok), sat, t)] = "%.3f" % float(fields[c][:14])
    got, second, rows_ = {}, None, []
    lines = open(os.path.join(d, "day", "obsquilt.txt"), newline="").read().split("\r\n")
    for line in lines:
        if line.startswith("e "):
            second = int(line[12:15]) * 3600 + int(line[15:18]) * 60 + int(line[18:21])
        elif line.startswith("f "):
            t, rows_, sats = line[2:4], [], None
        elif line.startswith("t "):
            rows_.append(line[2:6])
        elif line.startswith("s "):
            sats = line[1:].split()
            k = 0
        elif line.startswith("o "):
            vals = [line[1 + 15 * j:16 + 15 * j].strip() for j in range(len(sats))]
            for sat, v in zip(sats, vals):
                if v != "9999999999.999":
                    got[(rows_[k], second, sat, t)] = v
            k += 1
    print(f"merge of ACOR (RINEX 3) and BME1 (RINEX 2.11): {len(got)} matrix values, {len(want)} source values")
    check(got == want, f"merge case: {len(got)} matrix values, {len(want)} source values, "
          f"{len(set(got.items()) ^ set(want.items()))} differ")


if __name__ == "__main__":
    sys.exit(main())
