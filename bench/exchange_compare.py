#!/usr/bin/env python3
"""Whether a change slowed the healthy exchange: exchange.py, before against after.

A shared machine makes single runs of exchange.py differ by far more than the
few per cent that matter here, so this runs it many times, alternating between
a baseline build and the current one, and compares the medians of the module
rate over the C reference rate measured in the same run.

The baseline is a directory holding a VelkorHardwareAPI extension module and the
velkor-exchange-ref program built from the older sources (copy them out of a
virtual environment before installing the change).
"""

import argparse
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROW = re.compile(r"^(module|C ref|C\+\+ lib)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$")


def run(env, n):
    out = subprocess.run([sys.executable, os.path.join(HERE, "exchange.py"), "-n", str(n), "--rounds", "3",
                          "--skip-pyserial"], env=env, check=True, capture_output=True, text=True).stdout
    rows = {}
    for line in out.splitlines():
        m = ROW.match(line)
        if m:
            rows[m.group(1)] = {"rate": float(m.group(2)), "p50": float(m.group(3)), "cpu": float(m.group(5))}
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline", help="directory with the baseline module and velkor-exchange-ref")
    parser.add_argument("--pairs", type=int, default=20, help="before/after runs, alternating")
    parser.add_argument("-n", type=int, default=3000, help="exchanges per way and round")
    args = parser.parse_args()

    baseline = os.path.abspath(args.baseline)
    envs = {
        "before": dict(os.environ, PYTHONPATH=baseline,
                       VELKOR_EXCHANGE_REF=os.path.join(baseline, "velkor-exchange-ref")),
        "after": dict(os.environ),
    }
    runs = {"before": [], "after": []}
    for i in range(args.pairs):
        order = ("before", "after") if i % 2 == 0 else ("after", "before")
        for which in order:
            rows = run(envs[which], args.n)
            runs[which].append(rows)
            print(f"{which:6} module {rows['module']['rate']:7.0f}/s  C ref {rows['C ref']['rate']:7.0f}/s  "
                  f"C++ lib {rows['C++ lib']['rate']:7.0f}/s", flush=True)

    def median(which, figure):
        return statistics.median(figure(rows) for rows in runs[which])

    print(f"medians of {args.pairs} alternating runs each")
    print(f"{'':6} {'module/C ref':>12} {'lib/C ref':>10} {'module p50 us':>14} {'lib cpu us/x':>13}")
    ratios = {}
    for which in ("before", "after"):
        ratios[which] = median(which, lambda r: r["module"]["rate"] / r["C ref"]["rate"])
        print(f"{which:6} {ratios[which]:12.3f} {median(which, lambda r: r['C++ lib']['rate'] / r['C ref']['rate']):10.3f}"
              f" {median(which, lambda r: r['module']['p50']):14.1f} {median(which, lambda r: r['C++ lib']['cpu']):13.2f}")
    change = ratios["after"] / ratios["before"] - 1
    print(f"module/C ref, after against before: {change:+.1%}  (target: no worse than -5%: "
          f"{'ok' if change >= -0.05 else 'MISSED'})")


if __name__ == "__main__":
    sys.exit(main())
