"""pairfit-trend-plot FOLDER: draws the fit of pairfit-trend, which runs it.

Reads the points, their fitted curves and residuals as JSON on standard input and writes
FOLDER/trend.png and FOLDER/trend.pdf, each through a temporary file renamed over it; a
picture whose write permission is off is kept as it is.
Exit statuses (the table of every pairfit program, see constants): 0 success, 1 wrong
arguments, 2 input not readable, 4 a picture could not be written or was kept (each named
on standard error, the other one written), 5 an unexpected internal error, 6 matplotlib
cannot be loaded.
"""

import json
import os
import sys

from .constants import (EXIT_BAD_ARGUMENTS, EXIT_MALFORMED_INPUT, EXIT_MISSING_TOOL,
                        EXIT_SUCCESS, EXIT_WRITE_FAILED)
from .pictures import guarded, load_pyplot, picture_problem

PROGRAM = "pairfit-trend-plot"
DPI = 120

def main(argv):
    """The run, with every unexpected exception turned into one message and status 5."""
    return guarded(PROGRAM, run, argv)


def run(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: pairfit-trend-plot FOLDER < data.json\n")
        return EXIT_BAD_ARGUMENTS
    folder = argv[1]
    try:
        data = json.load(sys.stdin)
        lines = data["lines"]
    except (ValueError, KeyError, TypeError) as error:
        sys.stderr.write("pairfit-trend-plot: the data on standard input are not readable: %s\n"
                         % error)
        return EXIT_MALFORMED_INPUT
    try:
        plt = load_pyplot()
    except ImportError as error:
        sys.stderr.write("pairfit-trend-plot: matplotlib cannot be loaded: %s\n" % error)
        return EXIT_MISSING_TOOL

    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 6),
                                         gridspec_kw={"height_ratios": [3, 1]})
    # One colour per line, in the order of the lines; a second model (--compare) is drawn as
    # a dashed curve over the first model's points.
    palette = ["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
               "tab:pink", "tab:olive", "tab:cyan", "tab:grey"]
    colours = {}
    for line in lines:
        colours.setdefault(line["line"], palette[len(colours) % len(palette)])
    for line in lines:
        colour = colours[line["line"]]
        if line.get("model", data.get("model")) != data.get("model"):
            top.plot(line["curve_z"], line["curve_y"], "--", color=colour,
                     label="%s (%s)" % (line["line"], line["model"]))
            continue
        se = [0.0 if s is None else s for s in line["se"]]
        top.errorbar(line["z"], line["y"], yerr=se, fmt="o", color=colour, capsize=3,
                     label="%s (%s)" % (line["line"], line["label"]))
        top.plot(line["curve_z"], line["curve_y"], "-", color=colour)
        residual = [0.0 if r is None else r for r in line["residual"]]
        bottom.plot(line["z"], residual, "o", color=colour)
    bottom.axhline(0.0, color="grey", linewidth=0.8)
    for level in (-1.0, 1.0):
        bottom.axhline(level, color="grey", linewidth=0.6, linestyle="--")
    unit = data.get("unit") or ""
    bottom.set_xlabel("z" + (" (%s)" % unit if unit else ""))
    bottom.set_ylabel("residual / se" if data.get("weighted", True) else "residual / s")
    top.set_ylabel(", ".join(dict.fromkeys(line["label"] for line in lines)))
    top.set_title("pairfit-trend: %s" % data.get("model", ""))
    top.legend()
    if data.get("log_z"):
        bottom.set_xscale("log")
    figure.tight_layout()

    problems = []
    for extension in ("png", "pdf"):
        path = os.path.join(folder, "trend." + extension)
        problem = picture_problem(figure, path, path, extension, DPI)
        if problem is not None:
            problems.append(problem)
    for message in problems:
        print(f"pairfit-trend-plot: {message}", file=sys.stderr)
    return EXIT_WRITE_FAILED if problems else EXIT_SUCCESS
