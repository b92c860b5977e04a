# Install layout: bin/zel-desktop-agent beside share/zel-desktop-agent/{bin,agent}, so that the
# app finds its resources relative to itself from any prefix.
set(ZEL_AGENT_SOURCE "${CMAKE_SOURCE_DIR}/resources/agent")
# node-pty's compiled module: machine code belongs under lib/, reached from the agent by a link.
set(ZEL_NATIVE_SUBDIR "lib/zel-desktop-agent")
set(ZEL_PTY_MODULE "node_modules/node-pty/build/Release/pty.node")

# Modules that only the tests need, as package-lock.json marks them.
set(ZEL_AGENT_DEV_MODULES)
if(EXISTS "${ZEL_AGENT_SOURCE}/package-lock.json")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 "${ZEL_AGENT_SOURCE}/package-lock.json")
    file(READ "${ZEL_AGENT_SOURCE}/package-lock.json" lock)
    string(JSON packages GET "${lock}" packages)
    string(JSON count LENGTH "${packages}")
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
        string(JSON module MEMBER "${packages}" ${index})
        string(JSON dev ERROR_VARIABLE notDev GET "${packages}" "${module}" dev)
        if(NOT notDev AND dev)
            string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" escaped "${module}")
            list(APPEND ZEL_AGENT_DEV_MODULES REGEX "/agent/${escaped}$" EXCLUDE)
        endif()
    endforeach()
endif()

install(DIRECTORY "${ZEL_AGENT_SOURCE}/"
    DESTINATION "${ZEL_RESOURCE_SUBDIR}/agent"
    USE_SOURCE_PERMISSIONS
    # Tests, measurements and editor or packaging leftovers of the modules stay behind.
    REGEX "/(test|tests|__tests__|spec|examples|\\.github)$" EXCLUDE
    REGEX "(\\.(test|spec)(-d)?\\.(js|ts|js\\.map)|/tests?\\.js)$" EXCLUDE
    REGEX "/agent/bench$" EXCLUDE
    REGEX "/\\.(gitignore|gitattributes|npmignore|editorconfig|eslintrc[^/]*|prettierrc[^/]*)$" EXCLUDE
    PATTERN "node_modules/.bin" EXCLUDE
    PATTERN "node_modules/.package-lock.json" EXCLUDE
    ${ZEL_AGENT_DEV_MODULES}
    # Build-only: the headers node-pty compiles against, its sources, its build directory (with
    # this machine's paths; the module itself is installed below) and other systems' binaries.
    PATTERN "node_modules/node-addon-api" EXCLUDE
    REGEX "/node-pty/(build|prebuilds|deps|third_party|src|scripts|node-addon-api|binding\\.gyp)$"
        EXCLUDE)
install(FILES "${ZEL_AGENT_SOURCE}/${ZEL_PTY_MODULE}"
    DESTINATION "${ZEL_NATIVE_SUBDIR}" OPTIONAL)
install(CODE "
    set(prefix \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(module \"\${prefix}/${ZEL_NATIVE_SUBDIR}/pty.node\")
    if(NOT EXISTS \"\${module}\")
        message(WARNING \"resources/agent/node_modules is missing: run ./scripts/setup before installing\")
        return()
    endif()
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
                                --remove-section=.note \"\${module}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()
    set(link \"\${prefix}/${ZEL_RESOURCE_SUBDIR}/agent/${ZEL_PTY_MODULE}\")
    get_filename_component(linkDir \"\${link}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${linkDir}\")
    file(RELATIVE_PATH target \"\${linkDir}\" \"\${module}\")
    message(STATUS \"Installing: \${link} -> \${target}\")
    file(CREATE_LINK \"\${target}\" \"\${link}\" SYMBOLIC)")

# Helpers dropped into resources/bin (such as a downloaded cloudflared) go into a plain install
# only, like the links of supervisor/: the Debian package takes its helpers from the system.
install(DIRECTORY "${CMAKE_SOURCE_DIR}/resources/bin/"
    DESTINATION "${ZEL_RESOURCE_SUBDIR}/bin"
    COMPONENT bundled_helpers
    USE_SOURCE_PERMISSIONS
    PATTERN ".gitkeep" EXCLUDE)
install(FILES "${CMAKE_SOURCE_DIR}/resources/desktop/zel-desktop-agent.desktop"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_SOURCE_DIR}/resources/desktop/zel-desktop-agent.svg"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
