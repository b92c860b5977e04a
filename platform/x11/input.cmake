# The X11 input backend: XTest events, keysym lookup through the server's keymap.
pkg_check_modules(ZEL_X11_INPUT REQUIRED IMPORTED_TARGET xcb-xtest xcb-keysyms)

target_sources(zel_platform_x11 PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/x11_input.cpp"
                                        "${CMAKE_CURRENT_SOURCE_DIR}/x11_own_windows.cpp"
                                        "${CMAKE_CURRENT_SOURCE_DIR}/x11_windows.cpp")
target_link_libraries(zel_platform_x11 PUBLIC zel_input PkgConfig::ZEL_X11_INPUT)
