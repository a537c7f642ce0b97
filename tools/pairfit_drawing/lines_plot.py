"""pairfit-plot in a folder fitted by pairfit-lines: fits.png/.pdf and trends.png/.pdf from
lines.csv, slices.csv and the curve files (lines_dat.txt, lines_sim_K.txt, lines_baseline.txt,
lines_res.txt), every value in the spectrum's own units."""

import csv
import math
import os

from . import plot
from .plot import MissingInput, ResultsError

LINES_FILE = "lines.csv"
SLICES_FILE = "slices.csv"
LINES_COLUMNS = ("slice", "z", "line", "shape", "position", "position_se", "half_width",
                 "half_width_se", "eta", "eta_se", "height", "height_se", "area", "area_se",
                 "status")
SLICES_COLUMNS = ("slice", "z", "points", "status", "iterations", "rss", "sigma", "noise",
                  "chi2_red", "baseline_0", "baseline_0_se", "baseline_1", "baseline_1_se")
TEXT_COLUMNS = ("line", "shape", "status")

# Colours of the lines, in order, beyond which they repeat; the data, sum, baseline and
# residual keep plot's own.
LINE_COLOURS = ("#1f77b4", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22",
                "#7f7f7f")
BASELINE_COLOUR = "#7f7f7f"


def is_lines_folder(folder):
    """Whether FOLDER holds a pairfit-lines fit to draw: lines.csv, and no two-line result
    newer than it."""
    lines = os.path.join(folder, LINES_FILE)
    results = os.path.join(folder, plot.RESULTS_FILE)
    if not os.path.exists(lines):
        return False
    if not os.path.exists(results):
        return True
    return os.stat(lines).st_mtime_ns >= os.stat(results).st_mtime_ns


def read_csv(folder, name, columns):
    """A CSV file of `columns` as {column: list per row}; numbers as floats, empty cells None."""
    try:
        with plot.open_input(os.path.join(folder, name), name, "r", encoding="ascii",
                             errors="replace", newline="") as file:
            rows = list(csv.reader(file))
    except (OSError, csv.Error) as error:
        reason = error.strerror if isinstance(error, OSError) else str(error)
        kind = MissingInput if isinstance(error, OSError) else ResultsError
        raise kind(f"{name}: cannot be read ({reason})") from None
    if not rows or tuple(rows[0]) != columns:
        raise ResultsError(f"{name}: row 1 is not the header '{','.join(columns)}'")
    table = {column: [] for column in columns}
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != len(columns):
            raise ResultsError(f"{name}: row {number} has {len(row)} values; expected "
                               f"{len(columns)}")
        for column, (key, field) in enumerate(zip(columns, row), start=1):
            if key in TEXT_COLUMNS:
                table[key].append(field)
            elif field == "":
                table[key].append(None)
            else:
                table[key].append(plot.parse_value(field, name, number, column))
    return table


def check_not_stale(folder):
    """lines.csv written before the 2d.txt beside it is the fit of another series."""
    series = os.path.join(folder, plot.SERIES_FILE)
    lines = os.path.join(folder, LINES_FILE)
    if os.path.exists(series) and os.stat(lines).st_mtime_ns < os.stat(series).st_mtime_ns:
        raise ResultsError(f"{LINES_FILE} is older than {plot.SERIES_FILE}: it is the fit of an "
                           f"earlier series; run pairfit-lines again to draw this one")


def read_lines_run(folder, warnings):
    """lines.csv, slices.csv and the curve files as {"names", "lines" (per name: column ->
    list per slice), "slices", "ppm", "dat", "sims", "baseline", "res", "z", "unit"}."""
    plot.check_folder(folder)
    check_not_stale(folder)
    lines = read_csv(folder, LINES_FILE, LINES_COLUMNS)
    slices = read_csv(folder, SLICES_FILE, SLICES_COLUMNS)
    slice_count = len(slices["slice"])
    if slice_count == 0:
        raise ResultsError(f"{SLICES_FILE}: no slice rows")
    names = list(dict.fromkeys(lines["line"]))
    if len(lines["line"]) != slice_count * len(names):
        raise ResultsError(f"{LINES_FILE}: {len(lines['line'])} rows; expected "
                           f"{slice_count * len(names)} (one per slice of {SLICES_FILE} and "
                           f"line)")
    per_line = {name: {column: [] for column in LINES_COLUMNS} for name in names}
    for row in range(len(lines["line"])):
        s, name = row // len(names), names[row % len(names)]
        if lines["line"][row] != name or lines["slice"][row] != s:
            raise ResultsError(f"{LINES_FILE}: row {row + 2} holds slice "
                               f"{lines['slice'][row]:g} line {lines['line'][row]}; expected "
                               f"slice {s} line {name}")
        for column in LINES_COLUMNS:
            per_line[name][column].append(lines[column][row])
    curve_names = (["lines_dat.txt"] + [f"lines_sim_{k + 1}.txt" for k in range(len(names))]
                   + (["lines_baseline.txt"] if any(v is not None for v in slices["baseline_0"])
                      else []) + ["lines_res.txt"])
    missing = [n for n in curve_names if not os.path.exists(os.path.join(folder, n))]
    if missing:
        raise MissingInput(f"{', '.join(missing)}: missing in {folder}; expected beside "
                           f"{LINES_FILE}")
    curves = {}
    for name in curve_names:
        rows = plot.read_table(os.path.join(folder, name), name)
        if not rows or any(len(row) != slice_count + 1 for row in rows):
            raise ResultsError(f"{name}: expected rows of a ppm and {slice_count} values (one "
                               f"per slice of {SLICES_FILE})")
        curves[name] = rows
    ppm = [row[0] for row in curves["lines_dat.txt"]]
    for name, rows in curves.items():
        if len(rows) != len(ppm) or any(row[0] != x for row, x in zip(rows, ppm)):
            raise ResultsError(f"{name}: its ppm column is not that of lines_dat.txt")

    def by_slice(name):
        return [[row[s + 1] for row in curves[name]] for s in range(slice_count)]

    z, unit = slices["z"], None
    if all(v is not None for v in z):
        z_path = os.path.join(folder, plot.Z_FILE)
        if os.path.exists(z_path):
            _, unit = plot.read_z(z_path, slice_count, warnings)
    else:
        z = None
    return {"names": names, "lines": per_line, "slices": slices, "ppm": ppm,
            "dat": by_slice("lines_dat.txt"),
            "sims": [by_slice(f"lines_sim_{k + 1}.txt") for k in range(len(names))],
            "baseline": by_slice("lines_baseline.txt") if "lines_baseline.txt" in curves
            else None,
            "res": by_slice("lines_res.txt"), "z": z, "unit": unit, "warnings": warnings}


def model(run, s):
    """The sum of every line and the baseline in slice s."""
    total = list(run["baseline"][s]) if run["baseline"] is not None else [0.0] * len(run["ppm"])
    for sim in run["sims"]:
        total = [t + v for t, v in zip(total, sim[s])]
    return total


def draw_line_fits(pyplot, run):
    slice_count = len(run["dat"])
    shown = plot.select_slices(slice_count)
    columns, rows = plot.grid_shape(len(shown))
    width, height = plot.fits_pixel_size(len(shown))
    figure, axes = pyplot.subplots(rows, columns, sharex=True, sharey=True, squeeze=False,
                                   figsize=(width / plot.DPI, height / plot.DPI), dpi=plot.DPI)
    figure.subplots_adjust(left=plot.FRAME_LEFT / width, right=1 - plot.FRAME_RIGHT / width,
                           top=1 - plot.FRAME_TOP / height, bottom=plot.FRAME_BOTTOM / height,
                           wspace=0.08, hspace=0.25)
    # Every residual a little below the lowest data point or curve of the shown slices.
    curves = [run["dat"][s] for s in shown] + [model(run, s) for s in shown]
    lowest = min(min(curve) for curve in curves)
    highest = max(max(curve) for curve in curves)
    offset = lowest - max(max(run["res"][s]) for s in shown) - 0.05 * (highest - lowest)
    ppm = run["ppm"]
    for panel, s in zip(axes.flat, shown):
        panel.plot(ppm, run["dat"][s], ".", color=plot.COLOURS["data"], markersize=2,
                   label="data")
        for k, name in enumerate(run["names"]):
            panel.plot(ppm, run["sims"][k][s], color=LINE_COLOURS[k % len(LINE_COLOURS)],
                       linewidth=1, label=name)
        if run["baseline"] is not None:
            panel.plot(ppm, run["baseline"][s], "--", color=BASELINE_COLOUR, linewidth=0.8,
                       label="baseline")
        panel.plot(ppm, model(run, s), color=plot.COLOURS["sum"], linewidth=1, label="sum")
        panel.plot(ppm, [r + offset for r in run["res"][s]], color=plot.COLOURS["residual"],
                   linewidth=0.8, label="residual (shifted down)")
        panel.axhline(offset, color="#b0b0b0", linewidth=0.5)
        status = run["slices"]["status"][s]
        panel.set_title(f"slice {s}" + ("" if status == "settled" else f" ({status})"),
                        fontsize=8, pad=2, color="black" if status == "settled"
                        else plot.UNSETTLED_COLOUR)
        panel.tick_params(labelsize=7, length=2, pad=1)
    for panel in list(axes.flat)[len(shown):]:
        panel.set_visible(False)
    axes[0][0].set_xlim(max(ppm), min(ppm))
    figure.supxlabel("ppm", fontsize=9, y=0.005)
    figure.suptitle(f"pairfit-lines: {len(shown)} of {slice_count} slices, "
                    f"{len(run['names'])} lines; residual drawn {-offset:.3g} below zero",
                    fontsize=10, y=1 - 8 / height, va="top")
    handles = axes[0][0].get_lines()
    figure.legend(handles=handles[:len(handles) - 1], loc="upper center",
                  ncol=min(len(handles) - 1, 10), fontsize=8, frameon=False,
                  bbox_to_anchor=(0.5, 1 - 26 / height))
    summary = (f"fits.png, fits.pdf: {len(shown)} of {slice_count} slices, "
               f"{len(run['names'])} lines, {len(ppm)} points from {ppm[0]:g} to {ppm[-1]:g} "
               f"ppm, {width}x{height} pixels")
    return figure, "fits", summary


def draw_line_trends(pyplot, run):
    """Each line's area and half-width with +-1 se against z (or the slice), the residual
    sum, and chi2_red with a noise region; slices not plainly settled marked."""
    slice_count = len(run["dat"])
    x = run["z"] if run["z"] is not None else list(range(slice_count))
    x_label = "slice index" if run["z"] is None else (
        "z" + (f" ({run['unit']})" if run["unit"] else ""))
    order = sorted(range(slice_count), key=lambda s: x[s])
    unsettled = [s for s, status in enumerate(run["slices"]["status"]) if status != "settled"]
    width, height = plot.TRENDS_SIZE
    figure, axes = pyplot.subplots(2, 2, sharex=True, figsize=(width / plot.DPI,
                                                               height / plot.DPI), dpi=plot.DPI)
    figure.subplots_adjust(left=0.08, right=0.98, top=0.92, bottom=0.07, hspace=0.18,
                           wspace=0.25)
    panels = ((axes[0][0], "area", "area (intensity x ppm)"),
              (axes[0][1], "half_width", "half width at half height (ppm)"),
              (axes[1][0], "height", "height (intensity)"))
    for panel, column, label in panels:
        for k, name in enumerate(run["names"]):
            values = run["lines"][name][column]
            errors = run["lines"][name][column + "_se"]
            panel.errorbar([x[s] for s in order],
                           [math.nan if values[s] is None else values[s] for s in order],
                           yerr=[0.0 if errors[s] is None else errors[s] for s in order],
                           fmt="o-", color=LINE_COLOURS[k % len(LINE_COLOURS)], markersize=3,
                           linewidth=1, capsize=2, label=name)
        panel.set_ylabel(label, fontsize=9)
        plot.mark_unsettled(panel, [x[s] for s in unsettled])
        panel.legend(fontsize=8)
        panel.grid(alpha=0.3)
    panel = axes[1][1]
    rss = run["slices"]["rss"]
    chi2 = run["slices"]["chi2_red"]
    with_noise = any(v is not None for v in chi2)
    values, label = (chi2, "chi2_red (rss / dof / noise^2)") if with_noise else (
        rss, "residual sum of squares")
    positive = [(x[s], values[s]) for s in order if values[s] is not None and values[s] > 0]
    panel.set_yscale("log")
    if positive:
        panel.plot(*zip(*positive), "o-", color=plot.COLOURS["residual"], markersize=3,
                   linewidth=1, label="chi2_red" if with_noise else "rss")
    if with_noise:
        panel.axhline(1.0, color="#b0b0b0", linewidth=0.8)
    plot.mark_unsettled(panel, [x[s] for s in unsettled])
    panel.set_ylabel(label, fontsize=9)
    panel.legend(fontsize=8)
    panel.grid(alpha=0.3, which="both")
    for panel in axes[1]:
        panel.set_xlabel(x_label)
    figure.suptitle(f"pairfit-lines: {len(run['names'])} lines over {slice_count} slices, "
                    "+-1 standard error (lines.csv)", fontsize=11)
    summary = (f"trends.png, trends.pdf: areas, half-widths and heights of "
               f"{', '.join(run['names'])} in {slice_count} slices against "
               f"{x_label.split()[0]}, {len(unsettled)} not plainly settled, "
               f"{'chi2_red' if with_noise else 'residual sum'} "
               + (f"{min(v for _, v in positive):g} to {max(v for _, v in positive):g}"
                  if positive else "0 for every slice") + f", {width}x{height} pixels")
    return figure, "trends", summary


def read_line_positions(path, warnings):
    """(name, ppm) of each row of lines.txt for --preview; a row without a position is left
    out with a warning (pairfit-lines itself says what is wrong with the file)."""
    try:
        with plot.open_input(path, "lines.txt") as file:
            text = file.read(1 << 20)
    except OSError as error:
        warnings.append(f"lines.txt: cannot be read ({error.strerror}); its lines not drawn")
        return []
    except ResultsError as error:
        warnings.append(f"{error}; its lines not drawn")
        return []
    positions = []
    for number, line in enumerate(text.split(b"\n"), start=1):
        fields = line.split(b"#", 1)[0].split()
        if not fields:
            continue
        values, _ = plot.parse_numbers(fields[1]) if len(fields) > 1 else ([], b"")
        if not values:
            warnings.append(f"lines.txt: line {number} holds no position; not drawn")
            continue
        positions.append((fields[0].decode("ascii", "replace"), values[0]))
    return positions
