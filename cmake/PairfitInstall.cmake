# Installation: the three programs, pairfit-import and pairfit-plot, the library pairfit_core
# with its headers (the program layer pairfit_programs is not installed), and a manual page per program.
# Destinations follow GNUInstallDirs below CMAKE_INSTALL_PREFIX; DESTDIR is honoured.
include(GNUInstallDirs)

# pairfit-plot and pairfit-trend-plot sit beside the programs in the build tree as they do
# once installed, their package in share/pairfit/python.
include(${CMAKE_CURRENT_LIST_DIR}/PairfitScripts.cmake)

# The program pages share their description of the files and the exit statuses, kept in
# one fragment so that a new status is added in one place.
set(PAIRFIT_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/man/pairfit-common.roff)
file(READ ${PROJECT_SOURCE_DIR}/man/pairfit-common.roff PAIRFIT_COMMON_SECTIONS)
string(REGEX REPLACE "\n$" "" PAIRFIT_COMMON_SECTIONS "${PAIRFIT_COMMON_SECTIONS}")
set(PAIRFIT_MAN_PAGES)
foreach(program pairfit4 pairfit2 pairfit2x)
  configure_file(${PROJECT_SOURCE_DIR}/man/${program}.1.in ${PAIRFIT_MAN_DIR}/${program}.1 @ONLY)
  list(APPEND PAIRFIT_MAN_PAGES ${PAIRFIT_MAN_DIR}/${program}.1)
endforeach()
foreach(page pairfit-plot pairfit-import)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1 ${PAIRFIT_MAN_DIR}/${page}.1 COPYONLY)
  list(APPEND PAIRFIT_MAN_PAGES ${PAIRFIT_MAN_DIR}/${page}.1)
endforeach()

install(TARGETS pairfit4 pairfit2 pairfit2x pairfit-import RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The library's interface, one reviewed list: pairfit.h includes the pipeline's headers, the
# spectral utility routines have Csa.h. None of them includes dlib or declares the library's
# insides (SliceFit.h, DlibConfig.h, the *Parts.h steps) or the program layer (Program.h,
# ResultFile.h, ExitStatus.h, ReadUsage.h); they include one another by plain name, so they
# stay together in one folder and callers write #include <pairfit/pairfit.h>.
set(PAIRFIT_HEADERS)
foreach(header pairfit.h Csa.h Failure.h Fit.h FitSeries.h LineShapes.h Read.h ReadChecks.h
               ReadFolder.h ReadImport.h ReadNumbers.h ReadSeries.h ReadZValues.h ReportCsv.h
               Stats.h Trend.h)
  list(APPEND PAIRFIT_HEADERS ${PROJECT_SOURCE_DIR}/src/${header})
endforeach()
install(FILES ${PAIRFIT_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pairfit)

# The library for other projects: find_package(pairfit CONFIG) gives pairfit::core, and
# pkg-config the same flags through pairfit.pc. Both carry -ffp-contract=off; dlib is the
# library's inside, compiled into it from its headers, so callers need no dlib at all.
set(PAIRFIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pairfit)
set_target_properties(pairfit_core PROPERTIES EXPORT_NAME core)
install(TARGETS pairfit_core EXPORT pairfit-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT pairfit-targets NAMESPACE pairfit:: DESTINATION ${PAIRFIT_CMAKE_DIR})
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/pairfit-config.cmake.in
                              ${PROJECT_BINARY_DIR}/pairfit-config.cmake
                              INSTALL_DESTINATION ${PAIRFIT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pairfit-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pairfit-config.cmake
              ${PROJECT_BINARY_DIR}/pairfit-config-version.cmake
        DESTINATION ${PAIRFIT_CMAKE_DIR})
# pairfit.pc finds the prefix from its own place, so a DESTDIR stage or an install with
# --prefix works as well as the configured prefix.
file(RELATIVE_PATH PAIRFIT_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PAIRFIT_PC_TO_PREFIX "${PAIRFIT_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  set(PAIRFIT_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(PAIRFIT_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/pairfit.pc.in ${PROJECT_BINARY_DIR}/pairfit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pairfit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PAIRFIT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Python module (python/CMakeLists.txt calls this once its target exists): the package
# where Debian's python3 finds it below the prefix, lib/python3/dist-packages/pairfit.
function(pairfit_install_python module_target)
  set(destination lib/python3/dist-packages/pairfit)
  install(TARGETS ${module_target} LIBRARY DESTINATION ${destination})
  install(FILES ${PROJECT_SOURCE_DIR}/python/pairfit/__init__.py
                ${PROJECT_SOURCE_DIR}/python/pairfit/__init__.pyi
                ${PROJECT_SOURCE_DIR}/python/pairfit/_lines.py
                ${PROJECT_SOURCE_DIR}/python/pairfit/py.typed DESTINATION ${destination})
endfunction()

# pairfit-trend (its drawing script pairfit-trend-plot comes with PairfitScripts.cmake) and
# its manual page.
configure_file(${PROJECT_SOURCE_DIR}/man/pairfit-trend.1 ${PAIRFIT_MAN_DIR}/pairfit-trend.1 COPYONLY)
install(TARGETS pairfit-trend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PAIRFIT_MAN_DIR}/pairfit-trend.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# pairfit-lines and its manual page.
configure_file(${PROJECT_SOURCE_DIR}/man/pairfit-lines.1 ${PAIRFIT_MAN_DIR}/pairfit-lines.1 COPYONLY)
install(TARGETS pairfit-lines RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PAIRFIT_MAN_DIR}/pairfit-lines.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
