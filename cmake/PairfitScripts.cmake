# The drawing scripts pairfit-plot and pairfit-trend-plot: thin launchers beside the programs
# and their pure-Python package pairfit_drawing (tools/), laid out in the build tree as once
# installed. Each launcher finds the package relative to its own real folder: build/apps/ and
# build/share/pairfit/python/ here, bin/ and share/pairfit/python/ below the prefix.
# Included from PairfitInstall.cmake, after GNUInstallDirs.
set(PAIRFIT_DRAWING_SOURCES __init__.py pictures.py plot.py lines_plot.py trend_plot.py)
set(PAIRFIT_DRAWING_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/pairfit/python)
set(pairfit_drawing_build_dir ${PROJECT_BINARY_DIR}/share/pairfit/python/pairfit_drawing)
foreach(source IN LISTS PAIRFIT_DRAWING_SOURCES)
  configure_file(${PROJECT_SOURCE_DIR}/tools/pairfit_drawing/${source}
                 ${pairfit_drawing_build_dir}/${source} COPYONLY)
endforeach()

# constants.py: the exit statuses of ExitStatus.h and the report.csv columns, written at build
# time by a program that includes the headers, so the scripts cannot keep tables of their own.
add_executable(python_constants ${PROJECT_SOURCE_DIR}/tools/python_constants.cpp)
target_link_libraries(python_constants PRIVATE pairfit_core)
add_custom_command(OUTPUT ${pairfit_drawing_build_dir}/constants.py
                   COMMAND python_constants ${pairfit_drawing_build_dir}/constants.py
                   DEPENDS python_constants
                   COMMENT "Writing the drawing scripts' constants.py from ExitStatus.h"
                   VERBATIM)
add_custom_target(pairfit_drawing ALL DEPENDS ${pairfit_drawing_build_dir}/constants.py)

# The launchers: the package's folder relative to theirs, in the build tree and installed.
file(RELATIVE_PATH pairfit_drawing_from_installed ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_DATADIR}/pairfit/python)
foreach(launcher pairfit-plot pairfit-trend-plot)
  set(PAIRFIT_DRAWING_FROM_LAUNCHER ../share/pairfit/python)
  configure_file(${PROJECT_SOURCE_DIR}/tools/${launcher} ${PROJECT_BINARY_DIR}/apps/${launcher}
                 @ONLY)
  set(PAIRFIT_DRAWING_FROM_LAUNCHER ${pairfit_drawing_from_installed})
  configure_file(${PROJECT_SOURCE_DIR}/tools/${launcher}
                 ${PROJECT_BINARY_DIR}/installed-launchers/${launcher} @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/installed-launchers/${launcher}
          DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
list(TRANSFORM PAIRFIT_DRAWING_SOURCES PREPEND ${pairfit_drawing_build_dir}/
     OUTPUT_VARIABLE pairfit_drawing_files)
install(FILES ${pairfit_drawing_files} ${pairfit_drawing_build_dir}/constants.py
        DESTINATION ${PAIRFIT_DRAWING_INSTALL_DIR}/pairfit_drawing)
