# Installation: the three programs, pairfit-import and pairfit-plot, the library pairfit_core
# with its headers for callers of the spectral utility routines, and a manual page per program.
# Destinations follow GNUInstallDirs below CMAKE_INSTALL_PREFIX; DESTDIR is honoured.
include(GNUInstallDirs)

# pairfit-plot sits beside the programs in the build tree as it does once installed.
configure_file(${PROJECT_SOURCE_DIR}/tools/pairfit-plot ${PROJECT_BINARY_DIR}/apps/pairfit-plot
               COPYONLY)

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
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/pairfit-plot DESTINATION ${CMAKE_INSTALL_BINDIR})
# Every header of src/ but those only the programs use is part of the library's interface;
# they include one another by plain name, so they stay together in one folder, and callers
# write #include <pairfit/Csa.h>.
set(PAIRFIT_PRIVATE_HEADERS CsaProgram.h CsaResultFile.h ExitStatus.h ReadLines.h)
# The line fit of pairfit-lines links Ceres, which the installed library does not: its headers
# stay with the programs (LineShapes.h, plain inline shapes, is installed).
list(APPEND PAIRFIT_PRIVATE_HEADERS LineFit.h LinesInput.h LinesProgram.h LinesResults.h)
file(GLOB PAIRFIT_SOURCE_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.h)
set(PAIRFIT_HEADERS)
foreach(header IN LISTS PAIRFIT_SOURCE_HEADERS)
  cmake_path(GET header FILENAME name)
  if(NOT name IN_LIST PAIRFIT_PRIVATE_HEADERS)
    list(APPEND PAIRFIT_HEADERS ${header})
  endif()
endforeach()
install(FILES ${PAIRFIT_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pairfit)

# The library for other projects: find_package(pairfit CONFIG) gives pairfit::core, and
# pkg-config the same flags through pairfit.pc. Both carry -ffp-contract=off and the dlib
# headers' folder; dlib is used through its headers only, so no dlib library is linked.
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
  install(FILES ${PROJECT_SOURCE_DIR}/python/pairfit/__init__.py DESTINATION ${destination})
endfunction()

# pairfit-trend, its drawing script (found beside it in the build tree as once installed)
# and its manual page.
configure_file(${PROJECT_SOURCE_DIR}/tools/pairfit-trend-plot
               ${PROJECT_BINARY_DIR}/apps/pairfit-trend-plot COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/man/pairfit-trend.1 ${PAIRFIT_MAN_DIR}/pairfit-trend.1 COPYONLY)
install(TARGETS pairfit-trend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/pairfit-trend-plot DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PAIRFIT_MAN_DIR}/pairfit-trend.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# pairfit-lines and its manual page.
configure_file(${PROJECT_SOURCE_DIR}/man/pairfit-lines.1 ${PAIRFIT_MAN_DIR}/pairfit-lines.1 COPYONLY)
install(TARGETS pairfit-lines RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PAIRFIT_MAN_DIR}/pairfit-lines.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
