# Install layout: bin/zel-desktop-agent beside share/zel-desktop-agent/{bin,agent}, so that the
# app finds its resources relative to itself from any prefix.
set(ZEL_AGENT_SOURCE "${CMAKE_SOURCE_DIR}/resources/agent")
install(DIRECTORY "${ZEL_AGENT_SOURCE}/"
    DESTINATION "${ZEL_RESOURCE_SUBDIR}/agent"
    USE_SOURCE_PERMISSIONS
    PATTERN "test" EXCLUDE
    PATTERN ".gitignore" EXCLUDE
    # Test-only and build-only packages stay behind.
    PATTERN "node_modules/playwright-core" EXCLUDE
    PATTERN "node_modules/node-addon-api" EXCLUDE
    PATTERN "node_modules/.bin" EXCLUDE)
install(CODE "
    if(NOT EXISTS \"${ZEL_AGENT_SOURCE}/node_modules\")
        message(WARNING \"resources/agent/node_modules is missing: run ./scripts/setup before installing\")
    endif()")
install(DIRECTORY "${CMAKE_SOURCE_DIR}/resources/bin/"
    DESTINATION "${ZEL_RESOURCE_SUBDIR}/bin"
    USE_SOURCE_PERMISSIONS
    PATTERN ".gitkeep" EXCLUDE)
install(FILES "${CMAKE_SOURCE_DIR}/resources/desktop/zel-desktop-agent.desktop"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_SOURCE_DIR}/resources/desktop/zel-desktop-agent.svg"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
