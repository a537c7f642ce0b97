// The text of trend.csv and of the summary pairfit-trend prints.
#include "Trend.h"

#include "ReadNumbers.h"

#include <boost/math/distributions/normal.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string printed(const char* format, int digits, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, digits, value);
    return text;
}

// The value and its errors to the second significant digit of se.
struct Rounded {
    std::string value, se, se_mc;
};
Rounded rounded(double value, double se, double se_mc) {
    Rounded out;
    if (!(se > 0.0) || !std::isfinite(se)) {
        out.value = printed("%.*g", 6, value);
        out.se = "?";
        out.se_mc = std::isfinite(se_mc) ? printed("%.*g", 2, se_mc) : "?";
        return out;
    }
    const int se_exponent = static_cast<int>(std::floor(std::log10(se)));
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e6 || se >= 1e6 || (magnitude < 1e-4 && se < 1e-4)) {
        const int value_exponent =
            magnitude > 0.0 ? static_cast<int>(std::floor(std::log10(magnitude))) : se_exponent;
        out.value = printed("%.*e", std::clamp(value_exponent - se_exponent + 1, 1, 15), value);
        out.se = printed("%.*e", 1, se);
        out.se_mc = std::isfinite(se_mc) ? printed("%.*e", 1, se_mc) : "?";
        return out;
    }
    const int decimals = std::clamp(1 - se_exponent, 0, 15);
    out.value = printed("%.*f", decimals, value);
    out.se = printed("%.*f", decimals, se);
    out.se_mc = std::isfinite(se_mc) ? printed("%.*f", decimals, se_mc) : "?";
    return out;
}

std::string unit_of(const std::string& parameter, const std::string& unit) {
    if (unit.empty()) {
        return "";
    }
    if (parameter == "T" || parameter == "T1" || parameter == "Kd" || parameter == "Ta" ||
        parameter == "Tb") {
        return " " + unit;
    }
    if (parameter == "R" || parameter == "R1" || parameter == "Ra" || parameter == "Rb") {
        return " 1/" + unit;
    }
    return "";
}

// The slices as "3, 7 and 9".
std::string slice_list(const std::vector<std::size_t>& slices) {
    std::string text;
    for (std::size_t k = 0; k < slices.size(); ++k) {
        text += (k == 0 ? "" : k + 1 == slices.size() ? " and " : ", ") + std::to_string(slices[k]);
    }
    return text;
}

std::string fit_quality(const TrendFit& fit) {
    if (!fit.weighted) {
        return "rss " + printed("%.*g", 3, fit.rss) + " (" + std::to_string(fit.dof) + " dof)";
    }
    return "chi2/dof " + printed("%.*g", 3, fit.chi2_red) + " (" + std::to_string(fit.dof) + ")";
}

// The values a status names at a bound: the words after "bound:" up to the next ';'.
std::vector<std::string> bound_words(const std::string& status) {
    std::vector<std::string> words;
    const std::size_t start = status.find("bound:");
    if (start == std::string::npos || (start > 0 && status[start - 1] != ';')) {
        return words;
    }
    const std::size_t end = std::min(status.find(';', start), status.size());
    std::string word;
    for (std::size_t i = start + 6; i <= end; ++i) {
        if (i == end || status[i] == ',') {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
        } else {
            word += status[i];
        }
    }
    return words;
}

} // namespace

const char* const trend_csv_header =
    "line,model,parameter,value,se,se_mc,n,dof,chi2,chi2_red,rss,p_value,status";

std::vector<std::string> line_values_at_bound(const std::string& status, const std::string& line) {
    std::vector<std::string> values;
    for (const std::string& word : bound_words(status)) {
        if (word == "M" + line || word == "LW" + line || word == line + ".height" ||
            word == line + ".half_width") {
            values.push_back(word);
        }
    }
    return values;
}

bool status_is_misfit(const std::string& status) {
    std::size_t start = 0;
    while (start <= status.size()) {
        const std::size_t end = std::min(status.find(';', start), status.size());
        if (status.compare(start, end - start, "misfit") == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

namespace {

// The normal deviate beyond which an honest width of one of `judged` slices lies with
// two-sided probability 0.001 / judged: a series of honest widths loses a slice in 0.1 % of
// series, the level of the trend's misfit flag, however long it is.
double contradicted_width_deviates(std::size_t judged) {
    return boost::math::quantile(
        boost::math::complement(boost::math::normal(), 0.0005 / static_cast<double>(judged)));
}

// The slices whose half-width of `widths` lies beyond contradicted_width_deviates of the
// weighted mean of the other slices `compared`, with the reason for each: the worst left out
// first and the rest judged again without it, so that one slice fitted to noise with a tiny
// error, which would pull the mean, is not the one left in while the others go. Slices
// without an error, or with fewer than two others that have one, are not judged.
std::vector<std::pair<std::size_t, std::string>> contradicted_widths(const FittedHalfWidths& widths,
                                                                     std::vector<bool> compared) {
    const std::size_t n = compared.size();
    const auto measured = [&](std::size_t k) {
        return compared[k] && k < widths.ppm.size() && k < widths.se.size() &&
               std::isfinite(widths.ppm[k]) && std::isfinite(widths.se[k]) && widths.se[k] > 0.0;
    };
    std::vector<std::pair<std::size_t, std::string>> found;
    for (;;) {
        // The sums over the slices before k and after it, never a total less one slice, which
        // a dominant weight would leave with no digits.
        std::vector<double> weight_before(n + 1, 0.0), weighted_before(n + 1, 0.0);
        std::vector<double> weight_after(n + 1, 0.0), weighted_after(n + 1, 0.0);
        std::vector<std::size_t> count_before(n + 1, 0), count_after(n + 1, 0);
        for (std::size_t k = 0; k < n; ++k) {
            const bool m = measured(k);
            const double w = m ? 1.0 / (widths.se[k] * widths.se[k]) : 0.0;
            weight_before[k + 1] = weight_before[k] + w;
            weighted_before[k + 1] = weighted_before[k] + (m ? w * widths.ppm[k] : 0.0);
            count_before[k + 1] = count_before[k] + (m ? 1 : 0);
        }
        for (std::size_t k = n; k-- > 0;) {
            const bool m = measured(k);
            const double w = m ? 1.0 / (widths.se[k] * widths.se[k]) : 0.0;
            weight_after[k] = weight_after[k + 1] + w;
            weighted_after[k] = weighted_after[k + 1] + (m ? w * widths.ppm[k] : 0.0);
            count_after[k] = count_after[k + 1] + (m ? 1 : 0);
        }
        std::vector<double> deviates(n, 0.0), means(n, 0.0), judged, ppm;
        for (std::size_t k = 0; k < n; ++k) {
            if (!measured(k) || count_before[k] + count_after[k + 1] < 2) {
                continue;
            }
            const double weights = weight_before[k] + weight_after[k + 1];
            means[k] = (weighted_before[k] + weighted_after[k + 1]) / weights;
            deviates[k] = std::fabs(widths.ppm[k] - means[k]) /
                          std::sqrt(widths.se[k] * widths.se[k] + 1.0 / weights);
            ppm.push_back(widths.ppm[k]);
        }
        if (ppm.empty()) {
            return found;
        }
        // Where the widths scatter beyond their errors as a whole (a line model that does
        // not describe the spectrum within its noise, lines beside it that change through the
        // series), the errors do not measure whether one width is out of line: the deviates
        // are scaled by the median distance of the widths from their median, in errors, over
        // a normal's (0.6745), which a few slices fitted to noise do not move.
        std::nth_element(ppm.begin(), ppm.begin() + ppm.size() / 2, ppm.end());
        const double middle = ppm[ppm.size() / 2];
        for (std::size_t k = 0; k < n; ++k) {
            if (measured(k) && count_before[k] + count_after[k + 1] >= 2) {
                judged.push_back(std::fabs(widths.ppm[k] - middle) / widths.se[k]);
            }
        }
        std::nth_element(judged.begin(), judged.begin() + judged.size() / 2, judged.end());
        const double scale = std::max(1.0, judged[judged.size() / 2] / 0.6745);
        const double limit = contradicted_width_deviates(judged.size());
        std::size_t worst = n;
        for (std::size_t k = 0; k < n; ++k) {
            if (deviates[k] / scale > limit && (worst == n || deviates[k] > deviates[worst])) {
                worst = k;
            }
        }
        if (worst == n) {
            return found;
        }
        const double worst_deviates = deviates[worst] / scale, worst_mean = means[worst];
        found.emplace_back(worst, widths.name + " " + printed("%.*g", 3, widths.ppm[worst]) +
                                      " ppm, " + printed("%.*g", 2, worst_deviates) +
                                      " se from the other slices' " +
                                      printed("%.*g", 3, worst_mean) + " ppm");
        compared[worst] = false;
    }
}

} // namespace

TrendSelection select_trend_slices(const std::vector<std::string>& statuses,
                                   const std::vector<std::string>& lines, bool keep_bound,
                                   const std::vector<FittedHalfWidths>& half_widths,
                                   double point_spacing, bool one_width) {
    const double narrowest = point_spacing / 2; // NaN: no half-width compares below it
    TrendSelection selection;
    // The slices a status or a narrow width leaves out, then those whose width the others
    // kept contradict.
    std::vector<std::string> first_reasons(statuses.size());
    for (std::size_t s = 0; s < statuses.size(); ++s) {
        std::vector<std::string> values;
        for (const std::string& line : lines) {
            const std::vector<std::string> found = line_values_at_bound(statuses[s], line);
            values.insert(values.end(), found.begin(), found.end());
        }
        std::string narrow;
        for (const FittedHalfWidths& widths : half_widths) {
            // A half-width the status names at its bound is narrower still: named once.
            if (s < widths.ppm.size() && widths.ppm[s] < narrowest &&
                std::find(values.begin(), values.end(), widths.name) == values.end()) {
                narrow += (narrow.empty() ? "" : " and ") + widths.name + " " +
                          printed("%.*g", 3, widths.ppm[s]) + " ppm";
            }
        }
        if ((!values.empty() || !narrow.empty()) && !keep_bound) {
            std::string reason;
            for (const std::string& value : values) {
                reason += (reason.empty() ? "" : " and ") + value;
            }
            reason += values.empty() ? "" : " at a bound";
            if (!narrow.empty()) {
                reason += (reason.empty() ? "" : "; ") + narrow +
                          " narrower than half the point spacing (" +
                          printed("%.*g", 3, narrowest) + " ppm)";
            }
            first_reasons[s] = reason;
        }
    }
    if (one_width && !keep_bound) {
        std::vector<bool> kept(statuses.size());
        for (std::size_t s = 0; s < statuses.size(); ++s) {
            kept[s] = first_reasons[s].empty();
        }
        std::vector<std::string> contradicted(statuses.size());
        for (const FittedHalfWidths& widths : half_widths) {
            for (const auto& [s, reason] : contradicted_widths(widths, kept)) {
                contradicted[s] += (contradicted[s].empty() ? "" : "; ") + reason;
            }
        }
        for (std::size_t s = 0; s < statuses.size(); ++s) {
            if (first_reasons[s].empty()) {
                first_reasons[s] = contradicted[s];
            }
        }
    }
    for (std::size_t s = 0; s < statuses.size(); ++s) {
        const std::string& reason = first_reasons[s];
        if (!reason.empty()) {
            selection.left_out.push_back(s);
            selection.reasons.push_back(reason);
        } else if (status_is_misfit(statuses[s])) {
            selection.misfit.push_back(s);
        }
    }
    return selection;
}

std::string left_out_warning(const std::string& line, const TrendSelection& selection) {
    if (selection.left_out.empty()) {
        return "";
    }
    std::string text = "line " + line + ": " + std::to_string(selection.left_out.size()) +
                       (selection.left_out.size() == 1 ? " slice" : " slices") +
                       " left out of the trend, whose value is no measurement there (";
    // A long series is named by its first slices: the rest are in the statuses.
    constexpr std::size_t named = 10;
    for (std::size_t k = 0; k < selection.left_out.size() && k < named; ++k) {
        text += (k == 0 ? "slice " : ", slice ") + std::to_string(selection.left_out[k]) + ": " +
                selection.reasons[k];
    }
    if (selection.left_out.size() > named) {
        text += " and " + std::to_string(selection.left_out.size() - named) + " more";
    }
    return text + "); --keep-bound keeps them";
}

std::string misfit_slices_warning(const std::string& line, const TrendSelection& selection) {
    if (selection.misfit.empty()) {
        return "";
    }
    std::vector<std::size_t> first = selection.misfit;
    const std::size_t more = first.size() > 10 ? first.size() - 10 : 0;
    first.resize(first.size() - more);
    return "line " + line + ": " + (selection.misfit.size() == 1 ? "slice " : "slices ") +
           slice_list(first) + (more > 0 ? " and " + std::to_string(more) + " more" : "") +
           (selection.misfit.size() == 1 ? " is" : " are") +
           " flagged misfit (the lines do not describe the spectrum within its noise) and kept "
           "in the trend: their errors may be too small";
}

std::string trend_misfit_warning(const std::string& line, const TrendFit& fit) {
    if (fit.status != "misfit") {
        return "";
    }
    return "line " + line + ": the " + trend_model_name(fit.model) + " fit is a misfit: chi2/dof " +
           printed("%.*g", 3, fit.chi2_red) + " (" + std::to_string(fit.dof) + " dof, p " +
           (fit.p_value > 0.0 ? "= " + printed("%.*g", 2, fit.p_value) : std::string("< 1e-300")) +
           "); the model may be wrong (try --compare), the slices' errors too small, or a slice "
           "an outlier: the largest |residual|/se is " +
           printed("%.*g", 3, std::fabs(fit.worst_residual)) + ", slice " +
           std::to_string(fit.worst_point);
}

std::string format_trend_csv(const std::vector<TrendLine>& lines) {
    std::string text = std::string(trend_csv_header) + "\n";
    for (const TrendLine& line : lines) {
        for (const TrendParameter& parameter : line.fit.parameters) {
            text += line.line + ',' + trend_model_name(line.fit.model) + ',' + parameter.name + ',';
            append_cell_number(text, parameter.value);
            text += ',';
            append_cell_number(text, parameter.se);
            text += ',';
            append_cell_number(text, parameter.se_mc);
            text += ',' + std::to_string(line.fit.n) + ',' + std::to_string(line.fit.dof) + ',';
            append_cell_number(text, line.fit.chi2);
            text += ',';
            append_cell_number(text, line.fit.chi2_red);
            text += ',';
            append_cell_number(text, line.fit.rss);
            text += ',';
            append_cell_number(text, line.fit.p_value);
            text += ',' + line.fit.status + '\n';
        }
    }
    return text;
}

std::string format_trend_summary(const std::vector<TrendLine>& lines, const std::string& unit) {
    std::size_t width = 0;
    for (const TrendLine& line : lines) {
        for (const TrendParameter& parameter : line.fit.parameters) {
            width = std::max(width, parameter.name.size());
        }
    }
    std::string text;
    for (const TrendLine& line : lines) {
        for (const TrendParameter& parameter : line.fit.parameters) {
            const Rounded r = rounded(parameter.value, parameter.se, parameter.se_mc);
            text += line.line + "  " + parameter.name +
                    std::string(width - parameter.name.size(), ' ') + " = " + r.value + " ± " +
                    r.se + unit_of(parameter.name, unit);
            if (std::isfinite(parameter.se_mc)) {
                text += " (Monte Carlo " + r.se_mc + ")";
            }
            text += "   " + fit_quality(line.fit) + "\n";
        }
    }
    return text;
}

std::string format_trend_compare_csv(const std::vector<TrendComparison>& comparisons) {
    std::string text = "line,model,model2,chi2,chi2_2,dof,dof_2,F,p_value,delta_aic,preferred\n";
    for (const TrendComparison& c : comparisons) {
        text += c.line + ',' + trend_model_name(c.model) + ',' + trend_model_name(c.model2) + ',';
        append_cell_number(text, c.chi2);
        text += ',';
        append_cell_number(text, c.chi2_2);
        text += ',' + std::to_string(c.dof) + ',' + std::to_string(c.dof_2) + ',';
        append_cell_number(text, c.F);
        text += ',';
        append_cell_number(text, c.p_value);
        text += ',';
        append_cell_number(text, c.delta_aic);
        text += std::string(",") + trend_model_name(c.preferred) + '\n';
    }
    return text;
}

std::string format_trend_compare_summary(const std::vector<TrendComparison>& comparisons) {
    std::string text;
    for (const TrendComparison& c : comparisons) {
        text += c.line + "  " + trend_model_name(c.model2) + " against " +
                trend_model_name(c.model) + ":";
        if (std::isfinite(c.F)) {
            text +=
                " F = " + printed("%.*g", 3, c.F) + ", p = " + printed("%.*g", 2, c.p_value) + ",";
        }
        if (std::isfinite(c.delta_aic)) {
            text += " delta AIC = " + printed("%.*g", 3, c.delta_aic) + ",";
        }
        text += std::string(" preferred ") + trend_model_name(c.preferred) + "\n";
        if (!c.note.empty()) {
            text += c.line + "  " + c.note + "\n";
        }
    }
    return text;
}
