# Runs when installing: writes vantrell@.service from its template with the installed daemon's
# path, which is known only now (`cmake --install --prefix ...`, or /usr when CPack packages).
# Set by the install script before it includes this: VANTRELL_UNIT_TEMPLATE, VANTRELL_UNIT_DIR,
# VANTRELL_BIN_DIR (each directory absolute, or relative to the install prefix).
foreach(dir VANTRELL_UNIT_DIR VANTRELL_BIN_DIR)
    if(NOT IS_ABSOLUTE "${${dir}}")
        set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
endforeach()
set(VANTRELL_PROGRAM "${VANTRELL_BIN_DIR}/vantrelld")
set(unit "${VANTRELL_UNIT_DIR}/vantrell@.service")
message(STATUS "Installing: $ENV{DESTDIR}${unit}")
configure_file("${VANTRELL_UNIT_TEMPLATE}" "$ENV{DESTDIR}${unit}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${unit}")
