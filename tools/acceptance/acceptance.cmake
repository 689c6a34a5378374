# The acceptance kit's programs: the kit (acceptance.exe), the probe that the
# acceptance installer carries as its setup program, and the library the kit
# plants beside an installer: tools like the others (freestanding, so that
# they build for ARM64 too), with imports of their own from whatever Windows
# offers.
set(ACCEPTANCE_DEF_DIR ${PROJECT_SOURCE_DIR}/cmake/importlibs/acceptance)
add_import_library(acceptance_kernel32 ${ACCEPTANCE_DEF_DIR}/kernel32.def)
add_import_library(acceptance_advapi32 ${ACCEPTANCE_DEF_DIR}/advapi32.def)
set(ACCEPTANCE_LIBRARIES acceptance_kernel32 acceptance_advapi32 tools_shell32)
set(ACCEPTANCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/acceptance)

add_tool(acceptance_kit ENTRY KitEntry SUBSYSTEM console OUTPUT_NAME acceptance
    LIBRARIES ${ACCEPTANCE_LIBRARIES}
    SOURCES ${ACCEPTANCE_DIR}/kit.cpp ${ACCEPTANCE_DIR}/judging.cpp ${ACCEPTANCE_DIR}/judging_support.cpp
            ${ACCEPTANCE_DIR}/judging_elevation.cpp
            ${ACCEPTANCE_DIR}/verdict_table.cpp ${ACCEPTANCE_DIR}/platform_probes.cpp
            ${ACCEPTANCE_DIR}/work_folder.cpp ${ACCEPTANCE_DIR}/facts.cpp ${ACCEPTANCE_DIR}/descriptor_facts.cpp
            ${ACCEPTANCE_DIR}/links.cpp ${ACCEPTANCE_DIR}/intruder.cpp ${ACCEPTANCE_DIR}/retarget.cpp
            ${ACCEPTANCE_DIR}/volumes.cpp ${ACCEPTANCE_DIR}/side_by_side.cpp)
# The kit's manifest (kit.manifest says why it differs from the installer's).
set(KIT_RC ${CMAKE_CURRENT_BINARY_DIR}/acceptance_kit.rc)
set(KIT_RES ${CMAKE_CURRENT_BINARY_DIR}/acceptance_kit.res)
file(CONFIGURE OUTPUT ${KIT_RC} CONTENT "1 24 \"${ACCEPTANCE_DIR}/kit.manifest\"\n")
add_custom_command(
    OUTPUT ${KIT_RES}
    COMMAND ${LLVM_RC} -no-preprocess -C 65001 -FO ${KIT_RES} -- ${KIT_RC}
    DEPENDS ${KIT_RC} ${ACCEPTANCE_DIR}/kit.manifest
    COMMENT "Resources of the acceptance kit"
    VERBATIM)
add_custom_target(acceptance_kit_resources DEPENDS ${KIT_RES})
add_dependencies(acceptance_kit acceptance_kit_resources)
target_link_options(acceptance_kit PRIVATE ${KIT_RES})
set_property(TARGET acceptance_kit APPEND PROPERTY LINK_DEPENDS ${KIT_RES})
add_tool(acceptance_probe ENTRY AcceptanceProbeEntry SUBSYSTEM windows OUTPUT_NAME acceptance-probe
    LIBRARIES ${ACCEPTANCE_LIBRARIES}
    SOURCES ${ACCEPTANCE_DIR}/acceptance_probe.cpp ${ACCEPTANCE_DIR}/facts.cpp
            ${ACCEPTANCE_DIR}/descriptor_facts.cpp ${ACCEPTANCE_DIR}/links.cpp)
add_tool(planted_library ENTRY PlantedLibraryEntry SUBSYSTEM windows OUTPUT_NAME planted
    LIBRARIES ${ACCEPTANCE_LIBRARIES}
    SOURCES ${ACCEPTANCE_DIR}/planted_library.cpp)
target_link_options(planted_library PRIVATE -shared)
set_target_properties(planted_library PROPERTIES SUFFIX .dll)
