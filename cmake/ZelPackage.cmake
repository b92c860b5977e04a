# The Debian package: `cpack -G DEB` in a build tree (./scripts/package uses the release one) gives
# zel-desktop-agent_<version>_amd64.deb with the executable in /usr/bin, the resources in
# /usr/share/zel-desktop-agent, node-pty's compiled module in /usr/lib/zel-desktop-agent, and the
# menu entry and icon in the system's places. Node.js and cloudflared come from the system.
set(ZEL_PACKAGE_MAINTAINER "Zel Desktop Agent maintainers <maintainers@zel-desktop-agent.example>"
    CACHE STRING "Maintainer field of the Debian package")

# What Debian asks of every package besides the program: a copyright file, a changelog and a
# manual page, compressed as dpkg expects (gzip -9n: no name or time stamp, the same every build).
set(ZEL_PACKAGE_DOCS)
foreach(doc changelog zel-desktop-agent.1)
    set(source "${CMAKE_SOURCE_DIR}/resources/debian/${doc}")
    if(doc STREQUAL "changelog")
        set(source "${source}.in")
    endif()
    configure_file("${source}" "${CMAKE_BINARY_DIR}/package/${doc}" @ONLY)
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/package/${doc}.gz"
        COMMAND gzip -9nc "${CMAKE_BINARY_DIR}/package/${doc}" > "${CMAKE_BINARY_DIR}/package/${doc}.gz"
        DEPENDS "${CMAKE_BINARY_DIR}/package/${doc}"
        VERBATIM)
    list(APPEND ZEL_PACKAGE_DOCS "${CMAKE_BINARY_DIR}/package/${doc}.gz")
endforeach()
add_custom_target(zel_package_docs ALL DEPENDS ${ZEL_PACKAGE_DOCS})
install(FILES "${CMAKE_SOURCE_DIR}/resources/debian/copyright"
              "${CMAKE_BINARY_DIR}/package/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/zel-desktop-agent")
install(FILES "${CMAKE_BINARY_DIR}/package/zel-desktop-agent.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zel-desktop-agent")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ZEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "let a phone see and operate this computer")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Zel Desktop Agent starts a local agent server and a quick tunnel and shows a
pairing link as a QR code; the phone that scans it sees the screen and can
move the pointer, type and click. Started with --start on a machine without
a monitor, it prints the pairing QR code in the terminal.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zel-desktop-agent.example")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# What the app loads at run time besides the libraries it links: Qt's X11 platform plugin,
# Node.js for the agent server, xclip and wl-clipboard for its clipboard (X11 and Wayland). Fonts with the window's Chinese texts are
# wanted but not needed, and so is Qt's Wayland plugin: without it the window needs XWayland.
set(ZEL_PACKAGE_RUNTIME_DEPENDS "nodejs (>= 20), xclip, wl-clipboard, qt6-qpa-plugins")
# The linked libraries, from dpkg-shlibdeps over the package's two ELF files at cpack time.
# CPACK_DEBIAN_PACKAGE_SHLIBDEPS would find them by running `file` on each of the ~4000 files of
# the npm modules first: two minutes for the same answer.
file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/package/CPackProjectConfig.cmake" CONTENT "
if(CPACK_GENERATOR STREQUAL \"DEB\")
    set(work \"\${CPACK_PACKAGE_DIRECTORY}/shlibdeps\")
    file(MAKE_DIRECTORY \"\${work}/debian\")
    file(WRITE \"\${work}/debian/control\" \"\")
    execute_process(COMMAND dpkg-shlibdeps -O \"$<TARGET_FILE:zel-desktop-agent>\"
                            \"${ZEL_AGENT_SOURCE}/${ZEL_PTY_MODULE}\"
                    WORKING_DIRECTORY \"\${work}\" OUTPUT_VARIABLE shlibs
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_VARIABLE errors)
    # Its warnings are about node-pty's N-API symbols, which node itself provides.
    if(failed)
        message(FATAL_ERROR \"dpkg-shlibdeps failed: \${errors}\")
    endif()
    string(REGEX REPLACE \"^shlibs:Depends=\" \"\" shlibs \"\${shlibs}\")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS \"\${shlibs}, ${ZEL_PACKAGE_RUNTIME_DEPENDS}\")
endif()
")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_BINARY_DIR}/package/CPackProjectConfig.cmake")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-wayland")
# The tunnel client is no Debian package: named so that a user learns of it (README: installing it).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cloudflared")
set(CPACK_STRIP_FILES ON)
# Everything but this machine's helpers (component bundled_helpers), which a plain install takes.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
include(CPack)
