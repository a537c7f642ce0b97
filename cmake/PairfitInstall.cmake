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
install(TARGETS pairfit_core ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Every header of src/ is part of the library's interface; they include one another by
# plain name, so they stay together in one folder.
file(GLOB PAIRFIT_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.h)
install(FILES ${PAIRFIT_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pairfit)
install(FILES ${PAIRFIT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
