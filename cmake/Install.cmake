# What `cmake --install` puts where, beside the programs (each installed
# next to its target), and the package CPack makes of it all: a Debian
# package, or for Windows a ZIP.
#   cmake --install build --prefix /usr/local
#   cd build && cpack -G DEB
#   cd build-win && cpack -G ZIP        # build-win/k3host-1.1-win64.zip

if(WIN32)
  # The ZIP: the programs at the top with the README and the Windows notes
  # as text, in Windows line ends, for Notepad.
  foreach(note README.md packaging/Windows.txt)
    get_filename_component(name ${note} NAME_WE)
    set(out ${PROJECT_BINARY_DIR}/notes/${name}.txt)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${note} -DOUT=${out} -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/${note} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake VERBATIM)
    list(APPEND K3_NOTES ${out})
  endforeach()
  add_custom_target(k3notes ALL DEPENDS ${K3_NOTES})
  install(FILES ${K3_NOTES} DESTINATION .)
  set(CPACK_PACKAGE_NAME k3host)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME k3host-${PROJECT_VERSION}-win64)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

# Man pages, compressed as Debian does when gzip is at hand.
set(K3_MAN_PAGES k3host.1 k3host-sim.1 kvdcheck.1)
find_program(GZIP_PROGRAM gzip)
foreach(page ${K3_MAN_PAGES})
  set(src ${PROJECT_SOURCE_DIR}/man/${page})
  if(GZIP_PROGRAM)
    set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${GZIP_PROGRAM} -9 -n -c ${src} > ${out}
      DEPENDS ${src} VERBATIM)
    list(APPEND K3_MAN_OUT ${out})
  else()
    list(APPEND K3_MAN_OUT ${src})
  endif()
endforeach()
add_custom_target(k3man ALL DEPENDS ${K3_MAN_OUT})
install(FILES ${K3_MAN_OUT} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The udev rule that lets ordinary users open a tag. udev reads rules from
# /usr/lib/udev/rules.d (packages) and /usr/local/lib/udev/rules.d (local
# installs), which is where the prefix puts it; K3_UDEV_RULES_DIR overrides
# (a relative path is taken from the prefix).
if(NOT WIN32)
  set(K3_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-k3host.rules DESTINATION ${K3_UDEV_RULES_DIR})
endif()

# ---- Debian package ----
set(CPACK_PACKAGE_NAME k3host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "K3 developers")
set(CPACK_PACKAGE_CONTACT "K3 developers <dev@k3host.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console program for KOVA recording tags over USB")
set(CPACK_PACKAGE_DESCRIPTION "\
K3 USB Host is the console program for working with a KOVA recording tag\n\
over USB. It finds the tag (uploading a boot image to a tag in its boot\n\
loader), identifies it and keeps its clock. k3host-sim runs the same program\n\
against an emulated tag, and kvdcheck checks offloaded recording files.\n\
A udev rule lets members of the plugdev group, and the user at the seat,\n\
open a tag without root.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link (the libusb-0.1 runtime among them), found
# by dpkg-shlibdeps when it is there, else named here.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libusb-0.1-4, libstdc++6, libgcc-s1, libc6")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
