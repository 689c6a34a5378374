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
    SOURCES ${ACCEPTANCE_DIR}/kit.cpp ${ACCEPTANCE_DIR}/judging.cpp ${ACCEPTANCE_DIR}/verdict_table.cpp ${ACCEPTANCE_DIR}/platform_probes.cpp
            ${ACCEPTANCE_DIR}/work_folder.cpp ${ACCEPTANCE_DIR}/facts.cpp ${ACCEPTANCE_DIR}/descriptor_facts.cpp
            ${ACCEPTANCE_DIR}/links.cpp ${ACCEPTANCE_DIR}/intruder.cpp)
add_tool(acceptance_probe ENTRY AcceptanceProbeEntry SUBSYSTEM windows OUTPUT_NAME acceptance-probe
    LIBRARIES ${ACCEPTANCE_LIBRARIES}
    SOURCES ${ACCEPTANCE_DIR}/acceptance_probe.cpp ${ACCEPTANCE_DIR}/facts.cpp
            ${ACCEPTANCE_DIR}/descriptor_facts.cpp ${ACCEPTANCE_DIR}/links.cpp)
add_tool(planted_library ENTRY PlantedLibraryEntry SUBSYSTEM windows OUTPUT_NAME planted
    LIBRARIES ${ACCEPTANCE_LIBRARIES}
    SOURCES ${ACCEPTANCE_DIR}/planted_library.cpp)
target_link_options(planted_library PRIVATE -shared)
set_target_properties(planted_library PROPERTIES SUFFIX .dll)
