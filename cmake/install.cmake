# What `cmake --install` puts under the prefix:
#   bin/morvin                        the program
#   share/morvin/*.cfg                example cable files, found by name by -am= and -aft2232=
#   share/man/man1/morvin.1.gz        the manual page
#   lib/udev/rules.d/60-morvin.rules  access to FTDI adapters for logged-in users
#   share/doc/morvin/README.md
include(GNUInstallDirs)

set(MORVIN_DATA_DIR ${CMAKE_INSTALL_DATADIR}/morvin)
# The config-file search finds the data folder from the program's own folder.
file(RELATIVE_PATH MORVIN_DATA_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/morvin)
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/src/base/config_search.cpp APPEND PROPERTY
  COMPILE_DEFINITIONS MORVIN_DATA_FROM_BIN="${MORVIN_DATA_FROM_BIN}")

install(TARGETS morvin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
file(GLOB MORVIN_CABLE_FILES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/examples/cables/*.cfg)
install(FILES ${MORVIN_CABLE_FILES} DESTINATION ${MORVIN_DATA_DIR})

if(UNIX)
  # Manual pages are installed compressed; -n keeps the file free of a time stamp.
  set(MORVIN_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/man/morvin.1.gz)
  add_custom_command(OUTPUT ${MORVIN_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/morvin.1 ${CMAKE_CURRENT_BINARY_DIR}/man/morvin.1
    COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/man/morvin.1
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/morvin.1
    COMMENT "Compressing the manual page" VERBATIM)
  add_custom_target(morvin_man ALL DEPENDS ${MORVIN_MAN_PAGE})
  install(FILES ${MORVIN_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # udev reads /usr/lib/udev/rules.d (the .deb); other prefixes keep a copy for /etc/udev/rules.d.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/udev/60-morvin.rules DESTINATION lib/udev/rules.d)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
