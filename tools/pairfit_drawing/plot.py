"""pairfit-plot [FOLDER]: draws the fits and the trends of a pairfit run;
pairfit-plot --preview [--noise A B] [FOLDER]: draws the series of 2d.txt before a fit.





Exit statuses (the table of every pairfit program, see constants): 0 success, 1 wrong
arguments or input files missing or unreadable, 2 input files not regular files or
malformed, 4 a picture could not be written or was kept, 5 an unexpected internal error,
6 matplotlib cannot be loaded.
"""

import math
import os
import re
import stat
import sys

from .constants import (EXIT_BAD_ARGUMENTS, EXIT_MALFORMED_INPUT, EXIT_MISSING_INPUT,
                        EXIT_MISSING_TOOL, EXIT_SUCCESS, EXIT_WRITE_FAILED, MAX_UNIT_LENGTH,
                        REPORT_COLUMNS, Z_UNIT_OPEN)
from .pictures import guarded, load_pyplot, picture_problem

PROGRAM = "pairfit-plot"

USAGE = """usage: pairfit-plot [FOLDER]
       pairfit-plot --preview [--noise A B] [FOLDER]

Run it where pairfit4, pairfit2, pairfit2x or pairfit-lines has fitted a series (or name
that folder).
It reads dat.txt, sim_a.txt, sim_b.txt, res.txt and results.txt and writes
fits.png and fits.pdf (data, line A, line B, their sum and the residual of every slice)
and trends.png and trends.pdf (heights, half-widths, integrals, residual sum per slice).
With report.csv (pairfit4 --report) the trends show its full-precision values with
+-1 standard-error bars against z (or the slice index) and mark slices not plainly settled.
After pairfit-lines (lines.csv newer than any results.txt) it reads lines.csv, slices.csv
and the curve files lines_dat.txt, lines_sim_K.txt, lines_baseline.txt and lines_res.txt:
fits show the data, every line, the baseline, their sum and the residual; trends show
each line's area, half-width and height with +-1 se against z, and the residual sum (or
chi2_red with --noise). A lines.csv older than 2d.txt is refused.

--preview, before a fit: preview.png and preview.pdf show up to 12 slices of 2d.txt
over their whole ppm range, with the window and the peaks of peaks.txt when it is there,
the z of each slice from z.txt when it is there, the lines of lines.txt when it is there,
and the ppm range A..B with --noise.
"""

# The four matrix files: one row per window point, the ppm, then one column per slice.
MATRIX_FILES = ("dat.txt", "sim_a.txt", "sim_b.txt", "res.txt")
RESULTS_FILE = "results.txt"
RESULTS_COLUMNS = ("index", "height_A", "height_B", "hwhh_A", "hwhh_B",
                   "integ_A", "integ_B", "residual_square_tot")
REPORT_FILE = "report.csv"
# A report.csv of an earlier version ends at scale_factor.
REPORT_BASE_COLUMNS = REPORT_COLUMNS[:REPORT_COLUMNS.index("scale_factor") + 1]

# Layout of fits.png, in pixels at DPI: a fixed frame plus one cell per panel.
DPI = 100
MAX_PANELS = 48
MAX_COLUMNS = 8
PANEL_WIDTH = 180
PANEL_HEIGHT = 140
FRAME_LEFT = 50
FRAME_RIGHT = 10
FRAME_TOP = 60
FRAME_BOTTOM = 40
TRENDS_SIZE = (1200, 900)

COLOURS = {"data": "#404040", "A": "#1f77b4", "B": "#ff7f0e", "sum": "#d62728",
           "residual": "#2ca02c"}
UNSETTLED_COLOUR = "#9467bd"  # slices of report.csv whose status is not plain "settled"

# results.txt prints three decimals: a residual sum printed as 0.000 is below this.
PRINTED_ZERO_BOUND = 0.0005


class ResultsError(Exception):
    """A file to draw is malformed or does not have the shape the others imply."""

    status = EXIT_MALFORMED_INPUT


class MissingInput(ResultsError):
    """A file or folder to draw is not there or cannot be read, as the programs' status 1."""

    status = EXIT_MISSING_INPUT


class UsageError(Exception):
    """Arguments that do not fit the usage."""


def main(argv):
    """The run, with every unexpected exception turned into one message and status 5."""
    return guarded(PROGRAM, lambda args: run_command(args[1:]), argv)


def parse_arguments(args):
    """{"help", "preview", "noise", "folder"} from the arguments after the command name."""
    options = {"help": False, "preview": False, "noise": None, "folder": "."}
    positional = []
    k = 0
    while k < len(args):
        argument = args[k]
        if argument in ("-h", "--help"):
            options["help"] = True
        elif argument == "--preview":
            options["preview"] = True
        elif argument == "--noise":
            if k + 2 >= len(args):
                raise UsageError("--noise needs two ppm values, A and B")
            options["noise"] = tuple(parse_ppm_argument(text) for text in args[k + 1:k + 3])
            k += 2
        elif argument.startswith("-") and argument != "-":
            raise UsageError(f"unknown option {quote(argument.encode(errors='replace'))}")
        else:
            positional.append(argument)
        k += 1
    if len(positional) > 1:
        raise UsageError("one folder at most")
    if options["noise"] is not None and not options["preview"]:
        raise UsageError("--noise goes with --preview")
    if positional:
        options["folder"] = positional[0]
    return options


def parse_ppm_argument(text):
    values, rest = parse_numbers(text.encode(errors="replace"))
    if len(values) != 1 or rest.strip():
        raise UsageError(f"--noise: {quote(text.encode(errors='replace'))} is not a ppm value")
    return values[0]


def run_command(args):
    try:
        options = parse_arguments(args)
    except UsageError as error:
        sys.stderr.write(USAGE)
        print(f"pairfit-plot: {error}", file=sys.stderr)
        return EXIT_BAD_ARGUMENTS
    if options["help"]:
        sys.stdout.write(USAGE)
        return EXIT_SUCCESS
    folder = options["folder"]
    try:
        if options["preview"]:
            data = read_preview(folder, options["noise"])
            draws = (draw_preview,)
        else:
            from . import lines_plot
            if lines_plot.is_lines_folder(folder):
                data = lines_plot.read_lines_run(folder, [])
                draws = (lines_plot.draw_line_fits, lines_plot.draw_line_trends)
            else:
                data = read_run(folder)
                draws = (draw_fits, draw_trends)
    except ResultsError as error:
        print(f"pairfit-plot: {error}", file=sys.stderr)
        return error.status
    for warning in data["warnings"]:
        print(f"pairfit-plot: warning: {warning}", file=sys.stderr)
    try:
        pyplot = load_pyplot()
    except ImportError as error:
        print(f"pairfit-plot: cannot load matplotlib ({error}); "
              "install Debian's python3-matplotlib", file=sys.stderr)
        return EXIT_MISSING_TOOL
    problems = []
    for draw in draws:
        figure, stem, summary = draw(pyplot, data)
        problems += save_figure(pyplot, figure, folder, stem)
        print(summary)
    for message in problems:
        print(f"pairfit-plot: {message}", file=sys.stderr)
    return EXIT_WRITE_FAILED if problems else EXIT_SUCCESS


# ---------------------------------------------------------------------------------------
# Reading and checking the result files
# ---------------------------------------------------------------------------------------

def read_run(folder):
    """The five files as {"ppm", "dat", "sim_a", "sim_b", "res", "results"}; lists of
    rows, the matrix files as one list of values per slice; "report" holds report.csv
    when it belongs to results.txt, and "warnings" what the user should know."""
    check_files_present(folder)
    matrices = {name: read_table(os.path.join(folder, name), name) for name in MATRIX_FILES}
    results = read_table(os.path.join(folder, RESULTS_FILE), RESULTS_FILE)
    slice_count = check_matrix_shapes(matrices)
    check_results_shape(results, slice_count)
    dat = matrices["dat.txt"]
    run = {"ppm": [row[0] for row in dat], "results": results, "report": None,
           "report_set_aside": False, "warnings": []}
    for name in MATRIX_FILES:
        key = name[:-len(".txt")]
        run[key] = [[row[s + 1] for row in matrices[name]] for s in range(slice_count)]
    report_path = os.path.join(folder, REPORT_FILE)
    if os.path.exists(report_path):
        report = read_report(report_path)
        mismatch = report_mismatch(report, results)
        if mismatch is None:
            run["report"] = report
        else:
            run["report_set_aside"] = True
            run["warnings"].append(f"{REPORT_FILE} is not the report of the fit in "
                                   f"{RESULTS_FILE} ({mismatch}); it is set aside and the "
                                   f"trends are drawn from {RESULTS_FILE} alone")
    return run


# The values report.csv and results.txt share: results.txt prints them with three decimals.
SHARED_VALUES = (("MA", 1, "height_A"), ("MB", 2, "height_B"), ("LWA", 3, "hwhh_A"),
                 ("LWB", 4, "hwhh_B"), ("rss", 7, "residual_square_tot"))


def report_mismatch(report, results):
    """Why report.csv cannot come from the fit that wrote results.txt, or None."""
    if len(report["slice"]) != len(results):
        return f"{len(report['slice'])} slices where {RESULTS_FILE} has {len(results)}"
    for s, row in enumerate(results):
        for name, column, printed_name in SHARED_VALUES:
            value = report[name][s]
            if value is None:
                return f"slice {s}: {name} is empty"
            if float(f"{value:.3f}") != row[column]:
                return (f"slice {s}: {name} {value:.6g} rounds to {value:.3f}, "
                        f"{printed_name} is {row[column]:.3f}")
    return None


def read_report(path, slice_count=None):
    """report.csv as {column: list per slice}; empty cells are None. With slice_count, a
    report of another length is refused."""
    import csv
    try:
        with open_input(path, REPORT_FILE, "r", encoding="ascii", errors="replace",
                        newline="") as file:
            rows = list(csv.reader(file))
    except (OSError, csv.Error) as error:
        reason = error.strerror if isinstance(error, OSError) else str(error)
        kind = MissingInput if isinstance(error, OSError) else ResultsError
        raise kind(f"{REPORT_FILE}: cannot be read ({reason})") from None
    if not rows or tuple(rows[0]) not in (REPORT_COLUMNS, REPORT_BASE_COLUMNS):
        raise ResultsError(f"{REPORT_FILE}: row 1 is not the header "
                           f"'{','.join(REPORT_COLUMNS)}'")
    header = tuple(rows[0])
    columns = {name: [] for name in REPORT_COLUMNS}
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            raise ResultsError(f"{REPORT_FILE}: row {number} has {len(row)} values; expected "
                               f"{len(header)}")
        for name in REPORT_COLUMNS[len(header):]:
            columns[name].append(None)
        for column, (name, field) in enumerate(zip(header, row), start=1):
            if name == "status":
                columns[name].append(field)
            elif field == "":
                columns[name].append(None)
            else:
                columns[name].append(parse_value(field, REPORT_FILE, number, column))
        if columns["slice"][-1] != number - 2:
            raise ResultsError(f"{REPORT_FILE}: row {number} holds slice "
                               f"{columns['slice'][-1]}; expected {number - 2}")
    if slice_count is not None and len(rows) - 1 != slice_count:
        raise ResultsError(f"{REPORT_FILE}: {len(rows) - 1} rows; expected {slice_count} "
                           "(one per slice column of dat.txt)")
    return columns


def check_folder(folder):
    if not os.path.exists(folder):
        raise MissingInput(f"{shown_path(folder)}: no such folder")
    if not os.path.isdir(folder):
        raise ResultsError(f"{shown_path(folder)}: is not a folder; expected the folder of "
                           "the files to draw")


def check_files_present(folder):
    check_folder(folder)
    names = MATRIX_FILES + (RESULTS_FILE,)
    missing = [name for name in names if not os.path.exists(os.path.join(folder, name))]
    if len(missing) == len(names):
        raise MissingInput(f"{folder}: no pairfit results here (expected {', '.join(names)}); "
                           "run pairfit4, pairfit2 or pairfit2x in it first")
    if missing:
        raise MissingInput(f"{', '.join(missing)}: missing in {folder}; "
                           "expected beside the other result files")


def open_input(path, name, mode="rb", **options):
    """PATH opened for reading, refused unless it is a regular file: a device such as
    /dev/zero never ends and a directory holds no rows. Opened without blocking so that a
    named pipe is refused rather than waited on; reads of a regular file never block."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise MissingInput(f"{name}: cannot be read ({error.strerror})") from None
    kind = os.fstat(descriptor).st_mode
    if not stat.S_ISREG(kind):
        os.close(descriptor)
        what = "is a directory" if stat.S_ISDIR(kind) else "is not a regular file"
        raise ResultsError(f"{name}: {what}; expected a text file")
    return os.fdopen(descriptor, mode, **options)


def read_table(path, name):
    """Data rows of a result file as lists of floats; '#' lines and empty lines skipped."""
    try:
        with open_input(path, name, "r", encoding="ascii", errors="replace") as file:
            lines = file.read().splitlines()
    except OSError as error:
        raise MissingInput(f"{name}: cannot be read ({error.strerror})") from None
    rows = []
    for line in lines:
        if line.strip() == "" or line.startswith("#"):
            continue
        rows.append([parse_value(field, name, len(rows) + 1, column)
                     for column, field in enumerate(line.split(), start=1)])
    return rows


def parse_value(field, name, row, column):
    try:
        value = float(field)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise ResultsError(f"{name}: row {row}, value {column}: '{field}' is not a finite number")
    return value


def check_matrix_shapes(matrices):
    """Returns the slice count; every matrix file must match dat.txt row for row."""
    dat = matrices["dat.txt"]
    if not dat:
        raise ResultsError("dat.txt: no data rows; expected one row per window point")
    width = len(dat[0])
    if width < 2:
        raise ResultsError("dat.txt: row 1 has 1 value; expected the ppm and one per slice")
    for name in MATRIX_FILES:
        rows = matrices[name]
        if len(rows) != len(dat):
            raise ResultsError(f"{name}: {len(rows)} rows; expected {len(dat)} "
                               "(one per window point, as in dat.txt)")
        for number, row in enumerate(rows, start=1):
            if len(row) != width:
                raise ResultsError(f"{name}: row {number} has {len(row)} values; expected "
                                   f"{width} (the ppm and one per slice, as row 1 of dat.txt)")
            if row[0] != dat[number - 1][0]:
                raise ResultsError(f"{name}: row {number}: ppm {row[0]:g}; expected "
                                   f"{dat[number - 1][0]:g} as in dat.txt")
    return width - 1


def check_results_shape(results, slice_count):
    if len(results) != slice_count:
        raise ResultsError(f"{RESULTS_FILE}: {len(results)} rows; expected {slice_count} "
                           "(one per slice column of dat.txt)")
    for number, row in enumerate(results, start=1):
        if len(row) != len(RESULTS_COLUMNS):
            raise ResultsError(f"{RESULTS_FILE}: row {number} has {len(row)} values; expected "
                               f"{len(RESULTS_COLUMNS)} ({' '.join(RESULTS_COLUMNS)})")
        if row[0] != number - 1:
            raise ResultsError(f"{RESULTS_FILE}: row {number} holds index {row[0]:g}; "
                               f"expected {number - 1}")


# ---------------------------------------------------------------------------------------
# fits.png: one panel per slice
# ---------------------------------------------------------------------------------------

def select_slices(slice_count, limit=MAX_PANELS):
    """Every slice up to `limit`; beyond, `limit` evenly spread ones, first and last kept."""
    if slice_count <= limit:
        return list(range(slice_count))
    step = (slice_count - 1) / (limit - 1)
    return [int(math.floor(k * step + 0.5)) for k in range(limit)]


def grid_shape(panel_count):
    columns = min(MAX_COLUMNS, panel_count)
    return columns, -(-panel_count // columns)


def fits_pixel_size(panel_count):
    columns, rows = grid_shape(panel_count)
    return (FRAME_LEFT + columns * PANEL_WIDTH + FRAME_RIGHT,
            FRAME_TOP + rows * PANEL_HEIGHT + FRAME_BOTTOM)


def residual_offset(run, shown):
    """Shift that puts every residual trace a little below the lowest data point or curve."""
    curves = [run["dat"][s] for s in shown] + [sum_of_lines(run, s) for s in shown]
    lowest = min(min(curve) for curve in curves)
    highest = max(max(curve) for curve in curves)
    highest_residual = max(max(run["res"][s]) for s in shown)
    return lowest - highest_residual - 0.05 * (highest - lowest)


def sum_of_lines(run, s):
    return [a + b for a, b in zip(run["sim_a"][s], run["sim_b"][s])]


def draw_fits(pyplot, run):
    slice_count = len(run["dat"])
    shown = select_slices(slice_count)
    columns, rows = grid_shape(len(shown))
    width, height = fits_pixel_size(len(shown))
    figure, axes = pyplot.subplots(rows, columns, sharex=True, sharey=True, squeeze=False,
                                   figsize=(width / DPI, height / DPI), dpi=DPI)
    figure.subplots_adjust(left=FRAME_LEFT / width, right=1 - FRAME_RIGHT / width,
                           top=1 - FRAME_TOP / height, bottom=FRAME_BOTTOM / height,
                           wspace=0.08, hspace=0.25)
    offset = residual_offset(run, shown)
    for panel, s in zip(axes.flat, shown):
        draw_slice(panel, run, s, offset)
    for panel in list(axes.flat)[len(shown):]:
        panel.set_visible(False)
    ppm = run["ppm"]
    axes[0][0].set_xlim(max(ppm), min(ppm))  # NMR convention: ppm falls to the right
    figure.supxlabel("ppm", fontsize=9, y=0.005)
    title = (f"pairfit: {len(shown)} of {slice_count} slices, scaled intensity; "
             f"residual drawn {-offset:.3g} below zero")
    figure.suptitle(title, fontsize=10, y=1 - 8 / height, va="top")
    figure.legend(handles=axes[0][0].get_lines()[:5], loc="upper center", ncol=5,
                  fontsize=8, frameon=False, bbox_to_anchor=(0.5, 1 - 26 / height))
    summary = (f"fits.png, fits.pdf: {len(shown)} of {slice_count} slices, {len(ppm)} points "
               f"from {ppm[0]:g} to {ppm[-1]:g} ppm, {width}x{height} pixels")
    return figure, "fits", summary


def draw_slice(panel, run, s, offset):
    ppm = run["ppm"]
    panel.plot(ppm, run["dat"][s], ".", color=COLOURS["data"], markersize=2, label="data")
    panel.plot(ppm, run["sim_a"][s], color=COLOURS["A"], linewidth=1.2, label="line A")
    panel.plot(ppm, run["sim_b"][s], color=COLOURS["B"], linewidth=1.2, label="line B")
    panel.plot(ppm, sum_of_lines(run, s), color=COLOURS["sum"], linewidth=1, label="A + B")
    panel.plot(ppm, [r + offset for r in run["res"][s]], color=COLOURS["residual"],
               linewidth=0.8, label="residual (shifted down)")
    panel.axhline(offset, color="#b0b0b0", linewidth=0.5)
    panel.set_title(f"slice {s}", fontsize=8, pad=2)
    panel.tick_params(labelsize=7, length=2, pad=1)


# ---------------------------------------------------------------------------------------
# trends.png: fitted parameters against slice index
# ---------------------------------------------------------------------------------------

def draw_trends(pyplot, run):
    if run["report"] is not None:
        return draw_report_trends(pyplot, run["report"])
    results = run["results"]
    column = {name: [row[i] for row in results] for i, name in enumerate(RESULTS_COLUMNS)}
    index = column["index"]
    width, height = TRENDS_SIZE
    figure, axes = pyplot.subplots(2, 2, sharex=True, figsize=(width / DPI, height / DPI), dpi=DPI)
    figure.subplots_adjust(left=0.08, right=0.98, top=0.92, bottom=0.07, hspace=0.18, wspace=0.25)
    pairs = ((axes[0][0], "height", "height_A, height_B (MA, MB)"),
             (axes[0][1], "hwhh", "half width at half height (ppm)"),
             (axes[1][0], "integ", "integral (sum over the window points)"))
    for panel, prefix, label in pairs:
        draw_pair(panel, index, column[prefix + "_A"], column[prefix + "_B"], label)
    residual_range = draw_residual_sums(axes[1][1], index, column["residual_square_tot"])
    for panel in axes[1]:
        panel.set_xlabel("slice index")
    figure.suptitle(f"pairfit: fitted lines over {len(index)} slices", fontsize=11)
    set_aside = ""
    if run["report_set_aside"]:
        set_aside = f" (from {RESULTS_FILE}; {REPORT_FILE} set aside)"
    summary = (f"trends.png, trends.pdf: heights, half-widths, integrals and residual sums of "
               f"slices {index[0]:g} to {index[-1]:g}{set_aside}, residual sum {residual_range}, "
               f"{width}x{height} pixels")
    return figure, "trends", summary


def report_axis(report):
    """The x values of the trends and their label: z when every slice has one."""
    if report["z"] and all(z is not None for z in report["z"]):
        return report["z"], "z (from --z)"
    return report["slice"], "slice index"


def unsettled_slices(report):
    return [s for s, status in enumerate(report["status"]) if status != "settled"]


# Beyond this many slices, labels at the markers would hide them.
MAX_LABELLED_SLICES = 48


def is_monotonic(values):
    pairs = list(zip(values, values[1:]))
    return all(a <= b for a, b in pairs) or all(a >= b for a, b in pairs)


def draw_report_trends(pyplot, report):
    x, x_label = report_axis(report)
    width, height = TRENDS_SIZE
    figure, axes = pyplot.subplots(2, 2, sharex=True, figsize=(width / DPI, height / DPI), dpi=DPI)
    figure.subplots_adjust(left=0.08, right=0.98, top=0.92, bottom=0.07, hspace=0.18, wspace=0.25)
    pairs = ((axes[0][0], "height_A", "height_B", "height M/W (scaled intensity)"),
             (axes[0][1], "LWA", "LWB", "half width at half height (ppm)"),
             (axes[1][0], "area_A", "area_B", "area pi*M (scaled intensity x ppm)"))
    # Lines join the slices in the order of x; when z goes back and forth, that is not the
    # slice order, so each marker is labelled with its slice.
    order = sorted(range(len(x)), key=lambda s: x[s])
    shuffled = not is_monotonic(x)
    labelled = shuffled and len(x) <= MAX_LABELLED_SLICES
    unsettled = unsettled_slices(report)
    for panel, name_a, name_b, label in pairs:
        draw_pair(panel, x, report[name_a], report[name_b], label,
                  report[name_a + "_se"], report[name_b + "_se"], order=order)
        if labelled:
            label_slices(panel, x, report[name_a], COLOURS["A"])
            label_slices(panel, x, report[name_b], COLOURS["B"])
        mark_unsettled(panel, [x[s] for s in unsettled])
    rss = report["rss"]
    positive = [(x[s], rss[s]) for s in order if rss[s] is not None and rss[s] > 0]
    panel = axes[1][1]
    panel.set_yscale("log")
    if positive:
        panel.plot(*zip(*positive), "o-", color=COLOURS["residual"], markersize=3, linewidth=1,
                   label="rss")
        if labelled:
            label_slices(panel, x, [v if v is not None and v > 0 else None for v in rss],
                         COLOURS["residual"])
    mark_unsettled(panel, [x[s] for s in unsettled])
    panel.set_ylabel("residual sum of squares", fontsize=9)
    panel.legend(fontsize=8)
    panel.grid(alpha=0.3, which="both")
    for panel in axes[1]:
        panel.set_xlabel(x_label)
    figure.suptitle(f"pairfit: fitted lines over {len(x)} slices, +-1 standard error "
                    "(report.csv)" + (", joined in z order, markers labelled by slice"
                                      if labelled else ", joined in z order" if shuffled
                                      else ""), fontsize=11)
    values = [v for _, v in positive]
    rss_range = f"{min(values):g} to {max(values):g}" if values else "0 for every slice"
    z_order = ""
    if shuffled:
        z_order = " (z not monotonic: lines joined in z order" + (
            ", markers labelled by slice)" if labelled else ")")
    summary = (f"trends.png, trends.pdf: heights, half-widths, areas and residual sums of "
               f"{len(x)} slices from report.csv against {x_label.split()[0]}{z_order}, "
               f"{len(unsettled)} not plainly settled, residual sum {rss_range}, "
               f"{width}x{height} pixels")
    return figure, "trends", summary


def label_slices(panel, x, values, colour):
    for s, (xs, value) in enumerate(zip(x, values)):
        if value is not None:
            panel.annotate(str(s), (xs, value), xytext=(3, 3), textcoords="offset points",
                           fontsize=6, color=colour)


def mark_unsettled(panel, positions):
    """A dashed line at each slice whose fit hit the iteration limit or a bound."""
    for k, position in enumerate(positions):
        panel.axvline(position, color=UNSETTLED_COLOUR, linewidth=1, linestyle="--",
                      label="not settled or at a bound" if k == 0 else None)
    if positions:
        panel.legend(fontsize=8)


def draw_pair(panel, index, values_a, values_b, label, errors_a=None, errors_b=None,
              order=None):
    """Lines A and B through the slices in `order` (default: as given)."""
    order = list(range(len(index))) if order is None else order
    x = [index[s] for s in order]
    if errors_a is not None:
        for values, errors, line, marker in ((values_a, errors_a, "A", "o"),
                                             (values_b, errors_b, "B", "s")):
            panel.errorbar(x, [math.nan if values[s] is None else values[s] for s in order],
                           yerr=[0.0 if errors[s] is None else errors[s] for s in order],
                           fmt=marker + "-", color=COLOURS[line], markersize=3, linewidth=1,
                           capsize=2, label=line)
    else:
        panel.plot(x, [values_a[s] for s in order], "o-", color=COLOURS["A"], markersize=3,
                   linewidth=1, label="A")
        panel.plot(x, [values_b[s] for s in order], "s-", color=COLOURS["B"], markersize=3,
                   linewidth=1, label="B")
    panel.set_ylabel(label, fontsize=9)
    panel.legend(fontsize=8)
    panel.grid(alpha=0.3)


def draw_residual_sums(panel, index, sums):
    """Log axis; sums printed as 0.000 cannot sit on it and are marked on its floor."""
    from matplotlib.transforms import blended_transform_factory
    positive = [(i, v) for i, v in zip(index, sums) if v > 0]
    zeros = [i for i, v in zip(index, sums) if v <= 0]
    panel.set_yscale("log")
    if positive:
        panel.plot(*zip(*positive), "o-", color=COLOURS["residual"], markersize=3, linewidth=1,
                   label="residual_square_tot")
    else:
        panel.set_ylim(PRINTED_ZERO_BOUND / 10, PRINTED_ZERO_BOUND * 10)
    if zeros:
        floor = blended_transform_factory(panel.transData, panel.transAxes)
        panel.plot(zeros, [0.02] * len(zeros), "v", color=COLOURS["residual"], markersize=5,
                   transform=floor, clip_on=False,
                   label=f"printed as 0.000 (below {PRINTED_ZERO_BOUND})")
    panel.set_ylabel("residual sum of squares", fontsize=9)
    panel.legend(fontsize=8)
    panel.grid(alpha=0.3, which="both")
    if not positive:
        return "0.000 for every slice"
    values = [v for _, v in positive]
    zero_note = f" ({len(zeros)} printed as 0.000)" if zeros else ""
    return f"{min(values):g} to {max(values):g}{zero_note}"


# ---------------------------------------------------------------------------------------
# preview.png: the series of 2d.txt before a fit
# ---------------------------------------------------------------------------------------

SERIES_FILE = "2d.txt"
PEAKS_FILE = "peaks.txt"
LINES_TXT = "lines.txt"
LINES_TXT_COLOUR = "#2ca02c"
Z_FILE = "z.txt"
MAX_PREVIEW_SLICES = 12
PREVIEW_SIZE = (1200, 700)
PREVIEW_AXES = (0.07, 0.08, 0.73, 0.82)  # left, bottom, width, height of the figure
WINDOW_COLOUR = "#fff5c2"
NOISE_COLOUR = "#b0b0b0"
EXCERPT_LENGTH = 80

# A number as the programs read one: [+-] digits [. digits] [(e|E) [+-] digits], blanks
# before it skipped; an 'e' without exponent digits, or a value beyond a double, ends the row.
_SPACE = rb"[ \t\n\v\f\r]*"
_NUMBER_AT = re.compile(_SPACE + rb"([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+))"
                        rb"(?:([eE])([+-]?[0-9]*))?")
# Bytes a block of nothing but rows of two plain numbers is made of.
_PLAIN_BYTES = b"0123456789.+-eE \t\n\v\f\r"
_COMMENT_LINES = re.compile(rb"^#[^\n]*(?:\n|\Z)", re.MULTILINE)


def parse_numbers(line):
    """The numbers at the start of LINE (bytes) as the programs read them, and the rest."""
    values = []
    position = 0
    while True:
        match = _NUMBER_AT.match(line, position)
        if match is None:
            break
        text = match.group(1)
        if match.group(2) is not None:
            if not match.group(3).lstrip(b"+-"):
                break
            text += b"e" + match.group(3)
        value = float(text)
        if math.isinf(value):
            break
        values.append(value)
        position = match.end()
    return values, line[position:]


def shown_path(path):
    """PATH as given when it is plain printable text, else quoted with its bytes escaped."""
    raw = os.fsencode(path)
    return path if all(32 <= b < 127 for b in raw) else quote(raw)


def quote(text):
    """TEXT (bytes) in quotes, cut to EXCERPT_LENGTH bytes, non-printable bytes escaped."""
    shown = "".join(chr(b) if 32 <= b < 127 and b not in (39, 92) else f"\\x{b:02x}"
                    for b in text[:EXCERPT_LENGTH])
    return f"'{shown}'" + ("..." if len(text) > EXCERPT_LENGTH else "")


def read_bytes_mapped(path, name):
    """The file's bytes, mapped rather than read."""
    import mmap
    try:
        with open_input(path, name) as file:
            if os.fstat(file.fileno()).st_size > 0:
                return mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
            return b""
    except OSError as error:
        raise MissingInput(f"{name}: cannot be read ({error.strerror})") from None


def block_bounds(data):
    """(first byte, '&' line) of every block: a block closes at a line starting with '&'."""
    bounds = []
    start = 0
    position = 0
    while True:
        ampersand = data.find(b"&", position)
        if ampersand < 0:
            return bounds, start
        position = ampersand + 1
        if ampersand > 0 and data[ampersand - 1] != 0x0A:
            continue
        bounds.append((start, ampersand))
        line_end = data.find(b"\n", ampersand)
        start = position = len(data) if line_end < 0 else line_end + 1


def read_block(text, block):
    """ppm and intensity arrays of one block; rows of no value skipped, a row of one value
    refused as the programs refuse it."""
    import numpy
    plain = _COMMENT_LINES.sub(b"", text) if b"#" in text else text
    values = read_plain_block(plain)
    if values is not None:
        return values[:, 0], values[:, 1]
    ppm, intensity = [], []
    row = 0
    for line in text.split(b"\n"):
        if not line or line[:1] == b"#":
            continue
        row += 1
        values, _ = parse_numbers(line)
        if len(values) == 1:
            raise ResultsError(f"{SERIES_FILE}: block {block}, row {row} must hold a chemical "
                               f"shift (ppm) and an intensity, found 1 value {quote(line)}")
        if values:
            ppm.append(values[0])
            intensity.append(values[1])
    return numpy.array(ppm, dtype=numpy.float64), numpy.array(intensity, dtype=numpy.float64)


def read_plain_block(text):
    """The rows of TEXT as an n x 2 array when every line holds two whole numbers or is
    blank, None otherwise (then the block is read number by number)."""
    import numpy
    if text.translate(None, _PLAIN_BYTES):
        return None
    codes = numpy.frombuffer(text, dtype=numpy.uint8)
    newline = codes == 0x0A
    blank = newline | (codes == 0x20) | ((codes >= 0x09) & (codes <= 0x0D))
    starts = ~blank & numpy.r_[True, blank[:-1]]
    tokens_per_line = numpy.bincount(numpy.cumsum(newline)[starts])
    if ((tokens_per_line != 0) & (tokens_per_line != 2)).any():
        return None
    try:
        values = numpy.array(text.split(), dtype=numpy.float64).reshape(-1, 2)
    except ValueError:  # a field that is not one whole number: "1e", "1-2", "."
        return None
    return values if numpy.isfinite(values).all() else None


def has_data_rows(text):
    """Whether any line of TEXT holds a number (the programs' unfinished block)."""
    candidates = re.compile(rb"^(?!#)[ \t\v\f\r]*[+-]?\.?[0-9]", re.MULTILINE)
    for match in candidates.finditer(text):
        line_end = text.find(b"\n", match.start())
        if parse_numbers(text[match.start():None if line_end < 0 else line_end])[0]:
            return True
    return False


def read_table_rows(path, name):
    """Data rows as the programs read peaks.txt: '#', '&' and empty lines skipped, numbers up
    to the first field that is not one (a row may hold none)."""
    try:
        with open_input(path, name) as file:
            lines = file.read().split(b"\n")
    except OSError as error:
        raise MissingInput(f"{name}: cannot be read ({error.strerror})") from None
    return [parse_numbers(line)[0] for line in lines if line and line[:1] not in (b"#", b"&")]


def read_peaks(path, warnings):
    """{"peaks": (A, B) or None, "window": (low, high) or None} of peaks.txt."""
    rows = read_table_rows(path, PEAKS_FILE)
    found = {"peaks": None, "window": None}
    for number, key, what in ((1, "peaks", "the positions of peaks A and B"),
                              (2, "window", "the two limits of the window")):
        if len(rows) < number:
            warnings.append(f"{PEAKS_FILE}: no data row {number} ({what}, ppm); not drawn")
        elif len(rows[number - 1]) < 2:
            warnings.append(f"{PEAKS_FILE}: row {number} holds {len(rows[number - 1])} value"
                            f"{'' if len(rows[number - 1]) == 1 else 's'}; expected {what} "
                            "(ppm); not drawn")
        else:
            found[key] = tuple(rows[number - 1][:2])
    if found["window"] is not None:
        found["window"] = (min(found["window"]), max(found["window"]))
    return found


def read_z(path, slice_count, warnings):
    """(z per slice, unit or None), or (None, None) when z.txt does not fit the series."""
    try:
        with open_input(path, Z_FILE) as file:
            lines = file.read().split(b"\n")
    except OSError as error:
        warnings.append(f"{Z_FILE}: cannot be read ({error.strerror}); slices drawn without z")
        return None, None
    except ResultsError as error:
        warnings.append(f"{error}; slices drawn without z")
        return None, None
    unit = z_unit(lines)
    z = []
    for number, line in enumerate(lines, start=1):
        if not line.strip() or line[:1] == b"#":
            continue
        values, rest = parse_numbers(line)
        if len(values) != 1 or rest.strip():
            warnings.append(f"{Z_FILE}: line {number} is not one number {quote(line)}; "
                            "slices drawn without z")
            return None, None
        z.append(values[0])
    if len(z) != slice_count:
        warnings.append(f"{Z_FILE}: {len(z)} values for {slice_count} slices of {SERIES_FILE}; "
                        "slices drawn without z")
        return None, None
    return z, unit


def z_unit(lines):
    """The unit of z.txt (LINES: its lines as bytes) as the programs take it (z_unit of
    src/ReadZValues.h): X of the first Z_UNIT_OPEN X ")" in the first line whose first byte
    other than a blank is '#'; None when that line names none, or X is empty, longer than
    MAX_UNIT_LENGTH or holds a byte outside the printable ASCII ones without the space."""
    for line in lines:
        content = line.lstrip(b" \t\n\v\f\r")
        if not content.startswith(b"#"):
            continue
        opening = Z_UNIT_OPEN.encode("ascii")
        at = line.find(opening)
        close = -1 if at < 0 else line.find(b")", at + len(opening))
        if close < 0:
            return None
        unit = line[at + len(opening):close]
        if len(unit) > MAX_UNIT_LENGTH or not unit or not all(0x20 < b < 0x7f for b in unit):
            return None
        return unit.decode("ascii")
    return None


def read_preview(folder, noise):
    """What --preview draws: the chosen slices of 2d.txt, peaks.txt and z.txt if there."""
    check_folder(folder)
    series_path = os.path.join(folder, SERIES_FILE)
    if not os.path.exists(series_path):
        raise MissingInput(f"{SERIES_FILE}: not found in {shown_path(folder)}; --preview draws the series "
                           "a fit would read")
    warnings = []
    data = read_bytes_mapped(series_path, SERIES_FILE)
    bounds, tail_start = block_bounds(data)
    if not bounds:
        raise ResultsError(f"{SERIES_FILE}: no block closed by a line starting with '&'")
    if has_data_rows(data[tail_start:]):
        warnings.append(f"{SERIES_FILE}: data lines after the last '&' line belong to no slice "
                        "and are not drawn")
    shown = select_slices(len(bounds), MAX_PREVIEW_SLICES)
    slices = []
    for s in shown:
        first, last = bounds[s]
        ppm, intensity = read_block(data[first:last], s + 1)
        if len(ppm) == 0:
            raise ResultsError(f"{SERIES_FILE}: block {s + 1} (slice {s}) holds no data rows")
        slices.append((s, ppm, intensity))
    preview = {"slice_count": len(bounds), "slices": slices, "noise": noise, "peaks": None,
               "window": None, "z": None, "unit": None, "warnings": warnings}
    peaks_path = os.path.join(folder, PEAKS_FILE)
    if os.path.exists(peaks_path):
        preview.update(read_peaks(peaks_path, warnings))
    preview["lines"] = []
    lines_path = os.path.join(folder, LINES_TXT)
    if os.path.exists(lines_path):
        from .lines_plot import read_line_positions
        preview["lines"] = read_line_positions(lines_path, warnings)
    z_path = os.path.join(folder, Z_FILE)
    if os.path.exists(z_path):
        preview["z"], preview["unit"] = read_z(z_path, len(bounds), warnings)
    low = min(float(ppm.min()) for _, ppm, _ in slices)
    high = max(float(ppm.max()) for _, ppm, _ in slices)
    preview["ppm_range"] = (low, high)
    if noise is not None and (max(noise) < low or min(noise) > high):
        warnings.append(f"noise region {min(noise):g} to {max(noise):g} ppm lies outside the "
                        f"drawn slices ({low:g} to {high:g} ppm)")
    return preview


def envelope(ppm, intensity, low, high, bins):
    """Indices of the points to draw: per ppm bin of [low, high] its lowest and highest
    point, and the first and last point, in data order. The drawn path reaches every bin's
    extremes, so a line narrower than a pixel still shows; values are drawn as read."""
    import numpy
    count = len(ppm)
    if count <= 2 * bins or high <= low:
        return numpy.arange(count)
    where = numpy.clip(((ppm - low) * (bins / (high - low))).astype(numpy.int64), 0, bins - 1)
    order = numpy.lexsort((intensity, where))
    grouped = where[order]
    starts = numpy.flatnonzero(numpy.r_[True, grouped[1:] != grouped[:-1]])
    ends = numpy.r_[starts[1:], count] - 1
    return numpy.unique(numpy.concatenate((order[starts], order[ends], [0, count - 1])))


def ppm_limits(low, high):
    """High to low, as NMR spectra are drawn; a single ppm gets some room."""
    if high <= low:
        return low + 0.5, low - 0.5
    return high, low


def slice_label(s, z, unit):
    if z is None:
        return f"{s}"
    return f"{s}: z = {z[s]:g}" + (f" {unit}" if unit else "")


def draw_preview(pyplot, preview):
    width, height = PREVIEW_SIZE
    figure = pyplot.figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    panel = figure.add_axes(PREVIEW_AXES)
    low, high = preview["ppm_range"]
    bins = int(2 * PREVIEW_AXES[2] * width)
    colours = pyplot.get_cmap("viridis")
    slices = preview["slices"]
    drawn_points = 0
    for k, (s, ppm, intensity) in enumerate(slices):
        keep = envelope(ppm, intensity, low, high, bins)
        drawn_points += len(keep)
        colour = colours(k / max(1, len(slices) - 1) * 0.9)
        panel.plot(ppm[keep], intensity[keep], color=colour, linewidth=0.8,
                   label=slice_label(s, preview["z"], preview["unit"]))
    notes = []
    if preview["window"] is not None:
        w_low, w_high = preview["window"]
        panel.axvspan(w_low, w_high, color=WINDOW_COLOUR, zorder=0,
                      label=f"window {w_high:g} to {w_low:g} ppm")
        notes.append(f"window {w_high:g} to {w_low:g} ppm")
    if preview["peaks"] is not None:
        for line, position in zip(("A", "B"), preview["peaks"]):
            panel.axvline(position, color=COLOURS[line], linewidth=1.2, linestyle="--",
                          label=f"peak {line} {position:g} ppm")
        notes.append(f"peaks A {preview['peaks'][0]:g} and B {preview['peaks'][1]:g} ppm")
    for k, (name, position) in enumerate(preview["lines"]):
        panel.axvline(position, color=LINES_TXT_COLOUR, linestyle=":", linewidth=1,
                      label="lines of lines.txt" if k == 0 else None)
        panel.annotate(name, (position, 1), xycoords=("data", "axes fraction"),
                       xytext=(2, -10), textcoords="offset points", fontsize=7,
                       color=LINES_TXT_COLOUR)
    if preview["lines"]:
        notes.append(f"{len(preview['lines'])} lines of lines.txt")
    if preview["noise"] is not None:
        n_low, n_high = min(preview["noise"]), max(preview["noise"])
        panel.axvspan(n_low, n_high, facecolor="none", edgecolor=NOISE_COLOUR, hatch="//",
                      linewidth=0.8, zorder=0.5, label=f"noise {n_high:g} to {n_low:g} ppm")
        notes.append(f"noise {n_high:g} to {n_low:g} ppm")
    panel.set_xlim(*ppm_limits(low, high))
    panel.set_xlabel("ppm")
    panel.set_ylabel("intensity (as in 2d.txt)")
    panel.grid(alpha=0.3)
    legend_title = "slice" if preview["z"] is None else (
        "slice: z" + (f" ({preview['unit']})" if preview["unit"] else "") + " from z.txt")
    panel.legend(fontsize=7, title=legend_title, title_fontsize=8, loc="upper left",
                 bbox_to_anchor=(1.01, 1.0), borderaxespad=0)
    count = preview["slice_count"]
    figure.suptitle(f"pairfit-plot --preview: {len(slices)} of {count} slices of 2d.txt",
                    fontsize=11)
    sizes = sorted({len(ppm) for _, ppm, _ in slices})
    points = f"{sizes[0]} points each" if len(sizes) == 1 else f"{sizes[0]} to {sizes[-1]} points"
    z_note = ""
    if preview["z"] is not None:
        z_note = ", z from z.txt" + (f" (unit {preview['unit']})" if preview["unit"] else "")
    summary = (f"preview.png, preview.pdf: {len(slices)} of {count} slices, {points} from "
               f"{high:g} to {low:g} ppm ({drawn_points} drawn){z_note}"
               + "".join(f", {note}" for note in notes) + f", {width}x{height} pixels")
    return figure, "preview", summary


# ---------------------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------------------

def save_figure(pyplot, figure, folder, stem):
    """Writes STEM.png and STEM.pdf; returns a message for each that was not written."""
    problems = []
    for extension in ("png", "pdf"):
        name = f"{stem}.{extension}"
        path = os.path.join(folder, name)
        shown = name if folder == "." else shown_path(path)
        problem = picture_problem(figure, path, shown, extension, DPI)
        if problem is not None:
            problems.append(problem)
    pyplot.close(figure)
    return problems
