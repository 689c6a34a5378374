cmake_minimum_required(VERSION 3.25)
# The build's step for the demo payload, run by resources/CMakeLists.txt as
# `cmake -DSTEP=archive ... -P ResourceSteps.cmake`. It makes the same bytes
# on every run: 7-Zip stores file times and modes, so it packs staged copies
# whose time (EPOCH) and mode are fixed. The result is written under a
# temporary name and renamed last, so that a failed step leaves no output
# that make would take as up to date.
#
#   STEP=archive    SEVENZIP SOURCE_DIR FILES STAGE EPOCH OUTPUT
#                   7z archive of FILES (relative to SOURCE_DIR)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        list(JOIN ARGN " " command)
        message(FATAL_ERROR "${command}\nfailed (${status}):\n${out}${err}")
    endif()
endfunction()

set(PARTIAL ${OUTPUT}.part)

function(fresh_stage)
    file(REMOVE_RECURSE ${STAGE})
    file(MAKE_DIRECTORY ${STAGE})
    file(REMOVE ${OUTPUT} ${PARTIAL})
endfunction()

# A staged copy with the fixed time and an ordinary file mode, whatever the
# checkout's umask and file times were.
function(stage_copy from to)
    get_filename_component(dir ${to} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    file(COPY_FILE ${from} ${to})
    file(CHMOD ${to} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    run(touch -d @${EPOCH} ${to})
endfunction()

if(STEP STREQUAL "archive")
    fresh_stage()
    set(files ${FILES})
    list(SORT files)
    foreach(file IN LISTS files)
        stage_copy(${SOURCE_DIR}/${file} ${STAGE}/${file})
    endforeach()
    # One thread: with more, LZMA2 cuts its input into blocks according to
    # the number of threads, and so to the machine's cores. No creation or
    # access times: only the fixed modification time is stored.
    run(${CMAKE_COMMAND} -E chdir ${STAGE}
        ${SEVENZIP} a -t7z -mx=9 -mmt=1 -mtc=off -mta=off -mtm=on -bd -y ${PARTIAL} -- ${files})

else()
    message(FATAL_ERROR "ResourceSteps.cmake: unknown STEP '${STEP}'")
endif()

file(RENAME ${PARTIAL} ${OUTPUT})
