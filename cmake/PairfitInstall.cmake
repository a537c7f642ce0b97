# Installation: the three programs and pairfit-plot, the library pairfit_core with its
# headers for callers of the spectral utility routines, and a manual page per program.
# Destinations follow GNUInstallDirs below CMAKE_INSTALL_PREFIX; DESTDIR is honoured.
include(GNUInstallDirs)

# pairfit-plot sits beside the programs in the build tree as it does once installed.
configure_file(${PROJECT_SOURCE_DIR}/tools/pairfit-plot ${PROJECT_BINARY_DIR}/apps/pairfit-plot
               COPYONLY)
