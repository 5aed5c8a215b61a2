# `cpack` in a build folder makes a .deb from the install rules (cmake/install.cmake),
# installed under /usr: /usr/bin/morvin, /usr/share/morvin, /usr/lib/udev/rules.d, ...
if(NOT UNIX)
  return()
endif()

# cpack packages what is built (morvin and the man page) instead of building
# every test program first; `make install` likewise installs what is built.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "morvin maintainers <morvin@morvin.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "in-system programmer for classic Atmel AVR microcontrollers")
set(CPACK_PACKAGE_DESCRIPTION
  "morvin reads, writes, verifies and erases the flash, EEPROM, fuses and lock
bits of classic AVR chips in their circuit, through PC parallel-port cables
(ByteBlaster, STK200/300, Xilinx cable, wires-only cables, cables described
in files) or FTDI FT2232 USB adapters.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://morvin.example.org/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# loaded at run time only, when -aft2232 is given
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libftdi1-2)
include(CPack)
