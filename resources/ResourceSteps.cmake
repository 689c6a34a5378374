cmake_minimum_required(VERSION 3.25)
# Build steps for the installer's resources, run by resources/CMakeLists.txt
# as `cmake -DSTEP=<step> ... -P ResourceSteps.cmake`. Each step makes the
# same bytes on every run: the packers store file times and modes, so they
# pack staged copies whose time (EPOCH) and mode are fixed. A step writes its
# result under a temporary name and renames it last, so that a failed step
# leaves no output that make would take as up to date.
#
#   STEP=archive    SEVENZIP SOURCE_DIR FILES STAGE EPOCH OUTPUT
#                   7z archive of FILES (relative to SOURCE_DIR)
#   STEP=cabinet    GCAB INPUT STAGE EPOCH OUTPUT
#                   MSZIP cabinet holding INPUT as the one file "setup.exe";
#                   an empty EPOCH takes INPUT's own modification time
#   STEP=icon       CONVERT ICOTOOL SOURCE STAGE OUTPUT
#                   the installer's ten-image icon from one square picture
#   STEP=icon-file  ICOTOOL SOURCE OUTPUT
#                   a given .ico, taken as it is once it has those ten images

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

# Fails unless the icon file lists exactly the ten images of icon group 107:
# 48, 32 and 16 pixels in 16 and in 256 colours, then 256, 48, 32 and 16
# pixels in 32 bits. (icotool also keeps a deeper bit depth than the one asked
# for, with only a warning, when an image has too many colours.)
function(check_icon_images file)
    set(expected "")
    set(index 0)
    foreach(image 48:4:16 32:4:16 16:4:16 48:8:256 32:8:256 16:8:256 256:32:0 48:32:0 32:32:0 16:32:0)
        string(REPLACE ":" ";" image ${image})
        list(GET image 0 size)
        list(GET image 1 depth)
        list(GET image 2 palette)
        math(EXPR index "${index} + 1")
        string(APPEND expected "--icon --index=${index} --width=${size} --height=${size} --bit-depth=${depth} --palette-size=${palette}\n")
    endforeach()
    execute_process(COMMAND ${ICOTOOL} -l ${file} OUTPUT_VARIABLE listing ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT listing STREQUAL expected)
        message(FATAL_ERROR "${SOURCE}: icon images are\n${listing}${err}expected\n${expected}")
    endif()
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

elseif(STEP STREQUAL "cabinet")
    fresh_stage()
    if(EPOCH STREQUAL "")
        # The setup program's own time, so that the same file gives the same
        # cabinet. A DOS date holds 1980 to 2107; times outside are clamped
        # (gcab would store a wrapped-around date).
        file(TIMESTAMP ${INPUT} EPOCH "%s" UTC)
        if(EPOCH LESS 315532800)
            set(EPOCH 315532800)
        elseif(EPOCH GREATER 4102444799)
            set(EPOCH 4102444799)
        endif()
    endif()
    stage_copy(${INPUT} ${STAGE}/setup.exe)
    # -n keeps the staging folder out of the stored name.
    run(${GCAB} -c -z -n ${PARTIAL} ${STAGE}/setup.exe)
    execute_process(COMMAND ${GCAB} -t ${PARTIAL} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT listing STREQUAL "setup.exe\n")
        message(FATAL_ERROR "${OUTPUT} should hold only setup.exe, holds:\n${listing}")
    endif()

elseif(STEP STREQUAL "icon")
    fresh_stage()
    # Scaling keeps the proportions, so only a square picture fills the
    # square images.
    execute_process(COMMAND ${CONVERT} ${SOURCE}[0] -format "%w %h" info:
                    OUTPUT_VARIABLE size ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${SOURCE}: not a readable picture:\n${err}")
    endif()
    string(REPLACE " " ";" size "${size}")
    list(GET size 0 width)
    list(GET size 1 height)
    if(NOT width EQUAL height)
        message(FATAL_ERROR "${SOURCE}: the picture is ${width}x${height}; the icon needs a square one")
    endif()
    # ImageMagick uses as many threads as there are cores; one thread keeps
    # the machine out of the result.
    set(im ${CONVERT} -limit thread 1 ${SOURCE})
    set(png_out -depth 8 -define png:exclude-chunks=date,time -strip)
    # The palette images: alpha cut to on/off first, since such an image has
    # only a transparency mask, then at most 16 or 256 colours, undithered so
    # that the flat areas stay flat.
    set(cut_alpha -channel A -threshold 50% +channel -dither None)
    set(ordered "")
    foreach(depth 4 8 32)
        if(depth EQUAL 32)
            list(APPEND ordered -b 32 -r ${STAGE}/256-32.png)
            run(${im} -resize 256x256 ${png_out} PNG32:${STAGE}/256-32.png)
        else()
            list(APPEND ordered -b ${depth})
        endif()
        foreach(size 48 32 16)
            set(png ${STAGE}/${size}-${depth}.png)
            if(depth EQUAL 4)
                run(${im} -resize ${size}x${size} ${cut_alpha} -colors 16 ${png_out} PNG32:${png})
            elseif(depth EQUAL 8)
                run(${im} -resize ${size}x${size} ${cut_alpha} -colors 256 ${png_out} PNG32:${png})
            else()
                run(${im} -resize ${size}x${size} ${png_out} PNG32:${png})
            endif()
            list(APPEND ordered ${png})
        endforeach()
    endforeach()
    # icotool keeps the images in the order given and takes each -b for the
    # files after it.
    run(${ICOTOOL} -c -o ${PARTIAL} ${ordered})

    check_icon_images(${PARTIAL})

elseif(STEP STREQUAL "icon-file")
    file(REMOVE ${OUTPUT} ${PARTIAL})
    check_icon_images(${SOURCE})
    get_filename_component(dir ${OUTPUT} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    file(COPY_FILE ${SOURCE} ${PARTIAL})

else()
    message(FATAL_ERROR "ResourceSteps.cmake: unknown STEP '${STEP}'")
endif()

file(RENAME ${PARTIAL} ${OUTPUT})
