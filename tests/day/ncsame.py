"""Two NetCDF files compared value for value and attribute for attribute, by netCDF4.

The global attributes that name the command and its inputs (history, source) are left out.
As a program: ncsame.py A B prints the differences and exits 1 when there is any."""
import math
import sys

import netCDF4
import numpy

NAMES_OF_INPUTS = {"history", "source"}


def _attributes(x):
    return {k: x.getncattr(k) for k in x.ncattrs()}


def _same(a, b):
    a, b = numpy.asarray(a), numpy.asarray(b)
    if a.shape != b.shape:
        return False
    if a.dtype.kind == "f" and b.dtype.kind == "f":
        return numpy.array_equal(a, b, equal_nan=True)
    return numpy.array_equal(a, b)


def differences(path_a, path_b):
    """What differs between the two files, as lines; empty when they are the same."""
    out = []
    a, b = netCDF4.Dataset(path_a), netCDF4.Dataset(path_b)
    dims_a = {k: len(d) for k, d in a.dimensions.items()}
    dims_b = {k: len(d) for k, d in b.dimensions.items()}
    if dims_a != dims_b:
        out.append(f"dimensions {dims_a} against {dims_b}")
    ga = {k: v for k, v in _attributes(a).items() if k not in NAMES_OF_INPUTS}
    gb = {k: v for k, v in _attributes(b).items() if k not in NAMES_OF_INPUTS}
    if ga.keys() != gb.keys():
        out.append(f"global attributes {sorted(ga)} against {sorted(gb)}")
    out += [f"global attribute {k}" for k in ga if k in gb and not _same(ga[k], gb[k])]
    if list(a.variables) != list(b.variables):
        out.append(f"variables {list(a.variables)} against {list(b.variables)}")
    for name in a.variables:
        if name not in b.variables:
            continue
        va, vb = a.variables[name], b.variables[name]
        if va.dimensions != vb.dimensions or va.dtype != vb.dtype:
            out.append(f"{name}: dimensions or type")
            continue
        aa, ab = _attributes(va), _attributes(vb)
        if aa.keys() != ab.keys():
            out.append(f"{name}: attributes {sorted(aa)} against {sorted(ab)}")
        out += [f"{name}: attribute {k}" for k in aa if k in ab and not _same(aa[k], ab[k])]
        xa, xb = va[:], vb[:]
        if va.dtype == numpy.float64:
            xa, xb = numpy.ma.filled(xa, math.nan), numpy.ma.filled(xb, math.nan)
        if not _same(xa, xb):
            out.append(f"{name}: values")
    return out


if __name__ == "__main__":
    found = differences(sys.argv[1], sys.argv[2])
    for line in found:
        print(f"{sys.argv[2]}: {line}")
    sys.exit(1 if found else 0)
