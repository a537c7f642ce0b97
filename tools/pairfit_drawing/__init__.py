"""The drawing scripts of pairfit: plot (pairfit-plot, the fits and trends of a run and the
preview of a series) and trend_plot (pairfit-trend-plot, the pictures of pairfit-trend),
with pictures, the picture writing they share, and constants, the exit statuses and the
report.csv columns the build writes from the C++ headers. Pure Python on matplotlib, without
the compiled module pairfit; the launchers tools/pairfit-plot and tools/pairfit-trend-plot
run them."""
