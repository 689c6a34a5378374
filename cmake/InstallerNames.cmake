# The names an installer meets the world with (src/settings/installer_names.h):
# the project's own, or a release's own given through the cache variables in
# the top-level CMakeLists.txt. tools/packaging/names.py holds their rules.

set(INSTALLER_NAMES_TOOL ${PROJECT_SOURCE_DIR}/tools/packaging/names.py)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${INSTALLER_NAMES_TOOL})

# Checks the names and writes them to <dir>/installer_names_given.h; a
# refused name stops the configuration with the rule it broke.
#   write_installer_names(<dir> CLEANUP_KEY <key> CLEANUP_VALUE <name>
#                         ARCHIVE_NAME <name> PATH_SWITCH <name> REFUSED_SWITCHES <text>...)
function(write_installer_names dir)
    cmake_parse_arguments(ARG "" "CLEANUP_KEY;CLEANUP_VALUE;ARCHIVE_NAME;PATH_SWITCH" "REFUSED_SWITCHES" ${ARGN})
    set(refused "")
    foreach(switch IN LISTS ARG_REFUSED_SWITCHES)
        list(APPEND refused "--refused-switch=${switch}")
    endforeach()
    file(MAKE_DIRECTORY ${dir})
    execute_process(
        COMMAND ${STUB_SYSTEM_PYTHON} ${INSTALLER_NAMES_TOOL} ${dir}/installer_names_given.h
                "--cleanup-key=${ARG_CLEANUP_KEY}" "--cleanup-value=${ARG_CLEANUP_VALUE}"
                "--archive-name=${ARG_ARCHIVE_NAME}" "--path-switch=${ARG_PATH_SWITCH}" ${refused}
        RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "Installer names refused:\n${said}")
    endif()
endfunction()
