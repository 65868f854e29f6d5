# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local     # the programs, desktop entry, icons, manual pages
#   (cd build && cpack)                           # build/brimvale-launcher_<version>-1_<arch>.deb
#
# cpack installs from this build tree (after bringing it up to date), so the
# package holds exactly the programs built here: configure an optimised tree
# without sanitizers for it. The icon is cut from the splash picture at
# build time, so a replaced assets/splash.png brands the desktop too.

include(GNUInstallDirs)

set(BRIMVALE_PACKAGE_MAINTAINER "Brimvale launcher maintainers <launcher@example.com>"
    CACHE STRING "Maintainer field of the Debian package")
# The emblem of the shipped picture; another logo names its own square here.
set(BRIMVALE_ICON_AREA "100x100+190+9"
    CACHE STRING "Area of assets/splash.png (WIDTHxHEIGHT+X+Y) the desktop icon is made from")
# Icons are only ever scaled down: the emblem is 100 pixels wide.
set(brimvale_icon_sizes 16 22 24 32 48 64 96)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(program brimvale-launcher brimvale-publish brimvale-update)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/brimvale-launcher.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brimvale-launcher)

# --- icons ------------------------------------------------------------------
find_program(BRIMVALE_CONVERT convert DOC "ImageMagick's convert (package imagemagick)")
set(brimvale_icon_files)
if(BRIMVALE_CONVERT)
  foreach(size ${brimvale_icon_sizes})
    set(icon ${CMAKE_BINARY_DIR}/packaging/icons/${size}x${size}/brimvale-launcher.png)
    add_custom_command(OUTPUT ${icon}
      COMMAND sh ${CMAKE_SOURCE_DIR}/packaging/make_icon.sh ${BRIMVALE_CONVERT}
              ${CMAKE_SOURCE_DIR}/assets/splash.png ${BRIMVALE_ICON_AREA} ${size} ${icon}
      DEPENDS ${CMAKE_SOURCE_DIR}/assets/splash.png ${CMAKE_SOURCE_DIR}/packaging/make_icon.sh
      COMMENT "Making the ${size}x${size} icon"
      VERBATIM)
    install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    list(APPEND brimvale_icon_files ${icon})
  endforeach()
  add_custom_target(brimvale_icons ALL DEPENDS ${brimvale_icon_files})
else()
  message(WARNING "ImageMagick's convert was not found: the desktop entry is installed without its icon "
                  "(apt-get install imagemagick, then configure again).")
endif()

# --- manual pages -------------------------------------------------------------
# Installed compressed, as Debian has them (gzip -9n keeps the bytes
# reproducible).
find_program(BRIMVALE_GZIP gzip)
set(brimvale_man_files)
foreach(page brimvale-launcher.6 brimvale-publish.1 brimvale-update.1)
  set(source ${CMAKE_SOURCE_DIR}/packaging/${page})
  string(REGEX REPLACE ".*\\." "" section ${page})
  if(BRIMVALE_GZIP)
    set(compressed ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -DGZIP=${BRIMVALE_GZIP} -DINPUT=${source} -DOUTPUT=${compressed}
              -P ${CMAKE_SOURCE_DIR}/packaging/compress.cmake
      DEPENDS ${source} ${CMAKE_SOURCE_DIR}/packaging/compress.cmake
      COMMENT "Compressing the manual page ${page}"
      VERBATIM)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND brimvale_man_files ${compressed})
  else()
    install(FILES ${source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
if(brimvale_man_files)
  add_custom_target(brimvale_man_pages ALL DEPENDS ${brimvale_man_files})
endif()

# --- the Debian package -------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brimvale-launcher)
set(CPACK_PACKAGE_VENDOR "Brimvale")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BRIMVALE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher and updater of the Brimvale online text game")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Players start brimvale-launcher instead of the game client. It keeps a\n"
    "per-user data directory, brings the client builds in it up to date from\n"
    "the game's update server over HTTP, shows a small splash window with the\n"
    "download's progress and then starts the newest client build that has not\n"
    "just failed to start.\n"
    "\n"
    "The package also holds the operators' tools: brimvale-publish turns a\n"
    "folder of client builds into an update server's download area, and\n"
    "brimvale-update runs one update without the window.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies come from the programs themselves through dpkg-shlibdeps
# (packages dpkg-dev and file). Without it, the runtime packages of Debian 12
# that the programs link against, as dpkg-shlibdeps names them there.
find_program(BRIMVALE_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(BRIMVALE_FILE file)
if(BRIMVALE_DPKG_SHLIBDEPS AND BRIMVALE_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps or file not found: the Debian package gets the fixed dependency list of Debian 12")
  string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5.2), libssl3 (>= 3.0.0), zlib1g (>= 1:1.1.4), "
      "libwxbase3.2-1 (>= 3.2.2+dfsg), libwxgtk3.2-1 (>= 3.2.1+dfsg-2), libwxgtk-gl3.2-1 (>= 3.2.2+dfsg), "
      "libglx0, libopengl0")
endif()

# A sanitizer build needs the sanitizer runtimes and aborts on findings:
# never something to hand to players. cpack refuses it (packaging/cpack_checks.cmake).
if(BRIMVALE_SANITIZE OR BRIMVALE_TSAN)
  set(CPACK_BRIMVALE_SANITIZED ON)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/packaging/cpack_checks.cmake)

# `make package_source` would otherwise sweep up every build directory.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/" "/demo-screenshot\\\\.png$")

include(CPack)

# --- tests --------------------------------------------------------------------
# The package test makes the .deb with cpack from this very tree (after the
# suite's own build there is nothing left to compile), unpacks it into a
# throw-away root and runs the programs from there. Exit status 77 is a skip.
if(BRIMVALE_TESTS)
  if(BRIMVALE_SANITIZE OR BRIMVALE_TSAN)
    set(brimvale_package_build sanitized)
  else()
    set(brimvale_package_build release)
  endif()
  add_test(NAME packaging_deb_install
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/deb_install_test.sh
            ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${brimvale_package_build})
  set_tests_properties(packaging_deb_install PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  add_test(NAME packaging_man_pages
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/man_pages_test.sh ${CMAKE_SOURCE_DIR}/packaging)
  set_tests_properties(packaging_man_pages PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
