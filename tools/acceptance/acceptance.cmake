# The acceptance kit's programs: the kit (acceptance.exe), the probe that the
# acceptance installer carries as its setup program, and the library the kit
# plants beside an installer. Freestanding like the other tools, so that they
# build for ARM64 too; they may import whatever Windows offers.
set(ACCEPTANCE_DEF_DIR ${PROJECT_SOURCE_DIR}/cmake/importlibs/acceptance)
add_import_library(acceptance_kernel32 ${ACCEPTANCE_DEF_DIR}/kernel32.def)
add_import_library(acceptance_advapi32 ${ACCEPTANCE_DEF_DIR}/advapi32.def)
set(ACCEPTANCE_LIBRARIES acceptance_kernel32 acceptance_advapi32 tools_shell32)
set(ACCEPTANCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/acceptance)

function(add_acceptance_program name)
    cmake_parse_arguments(ARG "" "ENTRY;SUBSYSTEM;OUTPUT_NAME" "SOURCES" ${ARGN})
    add_freestanding_executable(${name}
        ENTRY ${ARG_ENTRY}
        SUBSYSTEM ${ARG_SUBSYSTEM}
        SOURCES ${ARG_SOURCES} ${TOOLS_SUPPORT}
        LIBRARIES ${ACCEPTANCE_LIBRARIES})
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME}
                                             RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endfunction()

add_acceptance_program(acceptance_kit ENTRY KitEntry SUBSYSTEM console OUTPUT_NAME acceptance
    SOURCES ${ACCEPTANCE_DIR}/kit.cpp ${ACCEPTANCE_DIR}/judging.cpp ${ACCEPTANCE_DIR}/platform_probes.cpp
            ${ACCEPTANCE_DIR}/work_folder.cpp ${ACCEPTANCE_DIR}/facts.cpp ${ACCEPTANCE_DIR}/descriptor_facts.cpp
            ${ACCEPTANCE_DIR}/links.cpp)
add_acceptance_program(acceptance_probe ENTRY AcceptanceProbeEntry SUBSYSTEM windows OUTPUT_NAME acceptance-probe
    SOURCES ${ACCEPTANCE_DIR}/acceptance_probe.cpp ${ACCEPTANCE_DIR}/facts.cpp
            ${ACCEPTANCE_DIR}/descriptor_facts.cpp ${ACCEPTANCE_DIR}/links.cpp)
add_acceptance_program(planted_library ENTRY PlantedLibraryEntry SUBSYSTEM windows OUTPUT_NAME planted
    SOURCES ${ACCEPTANCE_DIR}/planted_library.cpp)
target_link_options(planted_library PRIVATE -shared)
set_target_properties(planted_library PROPERTIES SUFFIX .dll)
