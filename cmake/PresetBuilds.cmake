# One target per build preset: each is configured and built in its own
# folder (build/<preset>) by its own toolchain, exactly as
#   cmake --preset NAME && cmake --build --preset NAME
# would, so that a workflow preset, which has only one configure step,
# can build several of them. Their own builds run in parallel as
# CMAKE_BUILD_PARALLEL_LEVEL says, each with a make of its own (not one that
# shares this build's job slots); the presets themselves one after the other.
foreach(preset arm64 x64 tests-x64 fuzz)
    add_custom_target(${preset}
        COMMAND ${CMAKE_COMMAND} --preset ${preset}
        COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MAKELEVEL ${CMAKE_COMMAND} --build --preset ${preset}
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        COMMENT "Building the ${preset} preset"
        VERBATIM)
endforeach()
