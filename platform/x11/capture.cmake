# The X11 capture backend: MIT-SHM grabs, XFixes cursor, pixman blending and scaling; the Damage
# extension as its change source.
pkg_check_modules(ZEL_X11_CAPTURE REQUIRED IMPORTED_TARGET xcb-shm xcb-xfixes xcb-damage pixman-1)

target_sources(zel_platform_x11 PRIVATE
    "${CMAKE_CURRENT_LIST_DIR}/x11_capture.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/x11_damage.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/x11_frame_grabber.cpp")
target_link_libraries(zel_platform_x11 PUBLIC zel_capture PkgConfig::ZEL_X11_CAPTURE)
