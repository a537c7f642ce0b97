// The pairfit library in one include: from the files of a series to its fitted slices, their
// report and the trend of a column against z.
//
//   read_folder_input: a folder's peaks.txt, 2d.txt and z file    (ReadFolder.h)
//   read_peak_settings, read_windowed_series, check_fit_series   (ReadChecks.h, ReadSeries.h)
//   read_z_file, check_z_count                                    (ReadZValues.h)
//   fit_series(WindowedSeries, FitSettings) -> SeriesFit          (FitSeries.h)
//   format_report -> the text of report.csv                       (FitSeries.h)
//   parse_report_csv, report_column; fit_trend -> TrendFit         (ReportCsv.h, Trend.h)
//   read_spectrometer_inputs: Bruker and JCAMP-DX into a series    (ReadImport.h)
//
// Every step that cannot go on throws Failure (Failure.h), whose kind says why.
#pragma once

#include "Failure.h"
#include "Fit.h"
#include "FitSeries.h"
#include "Read.h"
#include "ReadChecks.h"
#include "ReadFolder.h"
#include "ReadImport.h"
#include "ReadSeries.h"
#include "ReadZValues.h"
#include "ReportCsv.h"
#include "Stats.h"
#include "Trend.h"
