# Packaging.  A POSIX build installs the tool, the command interpreter it
# falls back to and the manual page, and packs them into a .deb; a Windows
# build gives drvinst.exe a version resource.  In both, the `release`
# target makes this build's share of a release: the .deb in a POSIX build,
# a stripped copy of drvinst.exe in a Windows one (scripts/release.sh zips
# the two Windows copies with their README).

# The four numbers a Windows version resource wants, from the project
# version, whatever number of parts it was given.
function(drvinst_version_quad out)
  set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR}
            ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  set(quad "")
  foreach(part IN LISTS parts)
    if(part STREQUAL "")
      set(part 0)
    endif()
    list(APPEND quad ${part})
  endforeach()
  list(SUBLIST quad 0 4 quad)
  string(REPLACE ";" "," quad "${quad}")
  set(${out} ${quad} PARENT_SCOPE)
endfunction()

# The page in docs/ reads on its own (man ./docs/drvinst.8), so it carries a
# version in its title line; the installed copy always gets the project's.
function(drvinst_configure_manpage source out)
  file(READ ${source} page)
  string(REGEX REPLACE "(\\.TH [A-Z-]+ 8 [^\n]*\"drvinst )[^\"\n]*\"" "\\1${PROJECT_VERSION}\""
         page "${page}")
  string(FIND "${page}" "\"drvinst ${PROJECT_VERSION}\"" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${source}: the .TH line must name \"drvinst VERSION\"")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  # Written through a copy that only touches the output when it changed,
  # so that a fresh configure does not make the package stale.
  file(WRITE ${out}.new "${page}")
  configure_file(${out}.new ${out} COPYONLY)
  file(REMOVE ${out}.new)
endfunction()

if(WIN32)
  enable_language(RC)
  drvinst_version_quad(DRVINST_VERSION_QUAD)
  configure_file(${CMAKE_SOURCE_DIR}/platform/win/drvinst.rc.in
                 ${CMAKE_BINARY_DIR}/drvinst.rc @ONLY)
  # The project's warning switches are meant for the compiler, and the
  # resource compiler rejects them, so the resource is compiled on its own
  # without them.
  add_library(drvinst_resource OBJECT ${CMAKE_BINARY_DIR}/drvinst.rc)
  set_property(TARGET drvinst_resource PROPERTY COMPILE_OPTIONS "")
  target_sources(drvinst PRIVATE $<TARGET_OBJECTS:drvinst_resource>)

  # The built exe keeps its symbols for debugging; the shipped one does not.
  set(release_exe ${CMAKE_BINARY_DIR}/release/drvinst.exe)
  add_custom_command(OUTPUT ${release_exe}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/release
                     COMMAND ${CMAKE_STRIP} --strip-all -o ${release_exe} $<TARGET_FILE:drvinst>
                     DEPENDS drvinst
                     COMMENT "Stripping drvinst.exe for release"
                     VERBATIM)
  add_custom_target(release DEPENDS ${release_exe})
  # Nothing is installed from a Windows build: it ships as the zip.
  return()
endif()

include(GNUInstallDirs)

find_program(GZIP_EXECUTABLE gzip)
if(NOT GZIP_EXECUTABLE)
  message(FATAL_ERROR "gzip is needed to pack the manual page")
endif()
set(manpages "")
foreach(page drvinst.8 drvinst-image.8)
  set(manpage ${CMAKE_BINARY_DIR}/man/${page})
  drvinst_configure_manpage(${CMAKE_SOURCE_DIR}/docs/${page} ${manpage})
  # -n leaves the name and time out of the archive, so equal pages pack equal.
  add_custom_command(OUTPUT ${manpage}.gz
                     COMMAND ${GZIP_EXECUTABLE} -9 -n -k -f ${manpage}
                     DEPENDS ${manpage}
                     VERBATIM)
  list(APPEND manpages ${manpage}.gz)
endforeach()
add_custom_target(drvinst_manpage ALL DEPENDS ${manpages})

# Tools for the administrator, documented in section 8, go to sbin.  The
# interpreter is drvinst's private helper, which no one runs by hand: it
# goes to drvinst's own directory below libexec, off every PATH, where
# drvinst finds it (runcommand.cpp).
install(TARGETS drvinst RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET cmd)
  install(TARGETS cmd RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/drvinst)
else()
  message(WARNING "No command interpreter to install: the package would need COMSPEC set")
endif()
install(FILES ${manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/platform/posix/image/drvinst-image.sh
        DESTINATION ${CMAKE_INSTALL_SBINDIR} RENAME drvinst-image)

# What Debian asks of every package: the licence, as LICENSE states it, in
# the machine-readable copyright format, and the packaging's changelog.
set(DRVINST_MAINTAINER "drvinst developers <drvinst@example.org>"
    CACHE STRING "Maintainer of the .deb: name <address>")
set(DRVINST_DEB_REVISION 1)
set(DRVINST_DEB_VERSION ${PROJECT_VERSION}-${DRVINST_DEB_REVISION})
file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
string(FIND "${license}" "Copyright (c) " at)
string(FIND "${license}" "\n\nPermission " terms_at)
if(at EQUAL -1 OR terms_at EQUAL -1)
  message(FATAL_ERROR "LICENSE: no \"Copyright (c)\" line and terms after it")
endif()
math(EXPR at "${at} + 14")
string(SUBSTRING "${license}" ${at} -1 holder)
string(REGEX REPLACE "\n.*" "" holder "${holder}")
math(EXPR terms_at "${terms_at} + 2")
string(SUBSTRING "${license}" ${terms_at} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
set(debian ${CMAKE_BINARY_DIR}/debian)
file(WRITE ${debian}/copyright.new
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: drvinst\n\n"
     "Files: *\nCopyright: ${holder}\nLicense: Expat\n ${terms}\n")
configure_file(${debian}/copyright.new ${debian}/copyright COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/changelog.Debian.in ${debian}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${debian}/changelog.Debian.gz
                   COMMAND ${GZIP_EXECUTABLE} -9 -n -k -f ${debian}/changelog.Debian
                   DEPENDS ${debian}/changelog.Debian
                   VERBATIM)
add_custom_target(drvinst_debian_docs ALL DEPENDS ${debian}/changelog.Debian.gz)
install(FILES ${debian}/copyright ${debian}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drvinst)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "drvinst developers")
set(CPACK_PACKAGE_CONTACT "${DRVINST_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DRVINST_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DRVINST_DEB_REVISION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "install or remove the korvex SCSI miniport driver on a mounted Windows tree")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "drvinst installs the boot-start SCSI miniport driver korvex1 or korvex2 into a\n"
       "Windows installation mounted on this machine, or removes it: it places the\n"
       "driver file, keeps the installed one as a versioned backup, and writes the\n"
       "service and event-log keys into the installation's SYSTEM hive.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# drvinst-image drives libguestfs; the tool itself does not need it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libguestfs-tools, qemu-utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
include(CPack)

set(release_parts drvinst drvinst_manpage drvinst_debian_docs drvinst_image)
if(TARGET cmd)
  list(APPEND release_parts cmd)
endif()
add_custom_target(release
                  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
                  COMMENT "Packing drvinst ${PROJECT_VERSION} as a .deb"
                  VERBATIM)
add_dependencies(release ${release_parts})
