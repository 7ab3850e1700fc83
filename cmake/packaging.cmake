# The Debian package, built by CPack from the install rules:
#   cmake --build BUILD && cpack --config BUILD/CPackConfig.cmake -G DEB
# Its dependencies come from the libraries the program links (dpkg-shlibdeps), and the few it
# loads at run time are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME miruteka)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A placeholder until the project has an address that someone answers: example.org is reserved
# and reaches no one. It is the package's Maintainer and signs the changelog's entries.
set(CPACK_PACKAGE_CONTACT "ミルテカ developers <miruteka@example.org>"
    CACHE STRING "Maintainer of the Debian package (a placeholder: no contact yet)")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packet fee calculator for dropped files")
# Debian shows the description as it stands: lines of at most 79 characters.
set(CPACK_PACKAGE_DESCRIPTION "ミルテカ is a small desktop tool with a Japanese interface.
Drop files on its window: for each file it counts 128-byte packets,
multiplies them by a unit price in yen and writes a plain-text fee report
in CP932 (Shift-JIS), one line per file and a total line, to a file named
in a save prompt.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# A package per Debian release: its dependencies are the library packages of the release it was
# built on, whose names change from one to the next (Qt's t64 names), so its version says which,
# as Debian's own rebuilds for a release do: 1.0.3+deb12, 1.0.3+deb13 (newer for the newer).
set(MIRUTEKA_DEBIAN_RELEASE "" CACHE STRING
    "Debian release the package is for (its major version); empty: this machine's")
set(debian_release "${MIRUTEKA_DEBIAN_RELEASE}")
if(NOT debian_release AND EXISTS /etc/debian_version)
    file(STRINGS /etc/debian_version debian_version LIMIT_COUNT 1)
    # A point release ("12.11"); testing and unstable say "trixie/sid" and get no suffix.
    if(debian_version MATCHES "^([0-9]+)")
        set(debian_release ${CMAKE_MATCH_1})
    endif()
endif()
if(debian_release)
    set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}+deb${debian_release}")
else()
    message(WARNING "No Debian release found: the package's version names none")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its platform plugin (xcb, wayland) only at run time, so shlibdeps cannot see it. The
# interface is Japanese and needs a font that has its characters. Wayland's plugin is recommended:
# with it, desktops whose compositor draws the title bar (Plasma, sway) get a native window; GNOME
# takes X11 through XWayland either way (app/platform_choice.h), and so does any desktop without it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
