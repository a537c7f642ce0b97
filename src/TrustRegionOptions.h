// Ceres' bounded Levenberg-Marquardt trust region as the line fits run it (private to the
// library; no installed header includes Ceres).
#pragma once

#include <ceres/ceres.h>

// Silent and on one thread (the programs split the slices, not one fit). A step cut at the
// bounds is taken as it is, not searched along: the caller holds the values the gradient
// presses against a bound and fits the rest again, since the trust region, which only
// projects its steps onto the bounds, would creep along them.
inline ceres::Solver::Options bounded_levenberg_marquardt(ceres::LinearSolverType linear_solver,
                                                          int max_iterations,
                                                          double function_tolerance,
                                                          double parameter_tolerance) {
    ceres::Solver::Options options;
    options.minimizer_type = ceres::TRUST_REGION;
    options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
    options.linear_solver_type = linear_solver;
    options.max_num_iterations = max_iterations;
    options.function_tolerance = function_tolerance;
    options.gradient_tolerance = 1e-30;
    options.parameter_tolerance = parameter_tolerance;
    options.logging_type = ceres::SILENT;
    options.minimizer_progress_to_stdout = false;
    options.num_threads = 1;
    options.max_num_line_search_step_size_iterations = 0;
    return options;
}
