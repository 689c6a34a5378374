# The stub's modules, by subsystem. The freestanding product build and the
# behaviour-test build compile the same list; only the product adds the entry
# point, the compiler support routines and the load configuration.
set(STUB_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/entry/run_stub.cpp
    ${CMAKE_CURRENT_LIST_DIR}/entry/process_start.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings/installer_names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings/launch_settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings/argument_split.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text/bounded_text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/libraries/system_library.cpp
    ${CMAKE_CURRENT_LIST_DIR}/installer/installer_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/workarea/work_directory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/workarea/removal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload/resource_catalog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload/output_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload/cabinet_layout.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload/cabinet_expansion.cpp
    ${CMAKE_CURRENT_LIST_DIR}/payload/payload_unpacking.cpp
    ${CMAKE_CURRENT_LIST_DIR}/launch/setup_launch.cpp
)
set(STUB_ENTRY_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/entry/stub_entry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/entry/compiler_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/entry/load_config.cpp
)
set(STUB_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
