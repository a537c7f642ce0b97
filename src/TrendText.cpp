// The text of trend.csv and of the summary pairfit-trend prints.
#include "Trend.h"

#include "ReadNumbers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
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
    if (parameter == "T" || parameter == "T1" || parameter == "Kd") {
        return " " + unit;
    }
    if (parameter == "R" || parameter == "R1") {
        return " 1/" + unit;
    }
    return "";
}

} // namespace

std::string format_trend_csv(const std::vector<TrendLine>& lines, TrendModel model) {
    std::string text = "line,model,parameter,value,se,se_mc,n,dof,chi2,chi2_red\n";
    for (const TrendLine& line : lines) {
        for (const TrendParameter& parameter : line.fit.parameters) {
            text += line.line + ',' + trend_model_name(model) + ',' + parameter.name + ',';
            append_cell_number(text, parameter.value);
            text += ',';
            append_cell_number(text, parameter.se);
            text += ',';
            append_cell_number(text, parameter.se_mc);
            text += ',' + std::to_string(line.fit.n) + ',' + std::to_string(line.fit.dof) + ',';
            append_cell_number(text, line.fit.chi2);
            text += ',';
            append_cell_number(text, line.fit.chi2_red);
            text += '\n';
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
            text += "   chi2/dof " + printed("%.*g", 3, line.fit.chi2_red) + " (" +
                    std::to_string(line.fit.dof) + ")\n";
        }
    }
    return text;
}
