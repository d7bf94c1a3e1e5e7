# Builds a configurator DLL (C++) and a host (C) against ktrcfg.h with Debian's MinGW-w64
# compilers, 32 and 64 bit, and checks what the header promises there: CfgExec exported
# under its plain name, with the header's calling convention, and a host that compiles
# against the header and links to the library. The host runs only where wine is installed.
# Arguments: SOURCE_DIR (this folder), INCLUDE_DIR (ktrcfg.h), WORK_DIR.
cmake_minimum_required(VERSION 3.25)

set(archs i686 x86_64)
foreach(arch IN LISTS archs)
    foreach(tool gcc g++ objdump nm)
        find_program(${arch}_${tool} ${arch}-w64-mingw32-${tool})
        if(NOT ${arch}_${tool})
            message("SKIPPED: no ${arch}-w64-mingw32-${tool} (scripts/deps installs it)")
            return()
        endif()
    endforeach()
endforeach()
find_program(wine wine)

function(run)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${dir} RESULT_VARIABLE status
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        string(JOIN " " line ${ARGN})
        message(FATAL_ERROR "${line}\n${out}${err}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

# The names a PE file's export table lists, sorted.
function(exports file)
    run(${${arch}_objdump} -p ${file})
    string(REGEX MATCH "Ordinal/Name Pointer. Table\n([^\n]+\n)*" table "${out}")
    # Each entry line is "\t[   n] name"; brackets would split a CMake list, so drop them first.
    string(REGEX REPLACE "[^\n]*Table\n" "" table "${table}")
    string(REGEX REPLACE "[ \t]*\\[ *[0-9]+\\] ([^\n]+)\n" "\\1;" names "${table}")
    list(FILTER names EXCLUDE REGEX "^$")
    list(SORT names)
    set(names "${names}" PARENT_SCOPE)
endfunction()

foreach(arch IN LISTS archs)
    set(dir ${WORK_DIR}/${arch})
    file(REMOVE_RECURSE ${dir})
    file(MAKE_DIRECTORY ${dir})
    set(warnings -Wall -Wextra -Werror)
    if(arch STREQUAL "i686")
        set(alias -Wl,--add-stdcall-alias) # as the header tells 32-bit MinGW authors
        set(library_names "CfgExec;CfgExec@16")
        set(host_reference "U _CfgExec@16") # __stdcall, four pointers: 16 bytes of arguments
    else()
        set(alias)
        set(library_names "CfgExec")
        set(host_reference "U CfgExec")
    endif()

    run(${${arch}_g++} -std=c++17 ${warnings} -shared -I${INCLUDE_DIR} -static-libgcc
        -static-libstdc++ ${alias} -o ktr17cfg.dll ${SOURCE_DIR}/WinConfigurator.cpp)
    exports(ktr17cfg.dll)
    if(NOT names STREQUAL library_names)
        message(FATAL_ERROR "${arch}: the library exports '${names}', not '${library_names}'")
    endif()

    run(${${arch}_gcc} -std=c99 ${warnings} -pedantic -I${INCLUDE_DIR} -c
        ${SOURCE_DIR}/WinHost.c -o host.o)
    run(${${arch}_nm} host.o)
    string(FIND "${out}" "${host_reference}\n" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${arch}: the host does not call '${host_reference}':\n${out}")
    endif()
    # Links only if the library exports the very name the header's declaration calls.
    run(${${arch}_gcc} host.o ktr17cfg.dll -o host.exe)

    if(wine)
        run(${CMAKE_COMMAND} -E env WINEDEBUG=-all ${wine} host.exe)
        message("${arch}: host ran under wine: ${out}")
    else()
        message("${arch}: exports ${names}; host compiled and linked (not run: no wine)")
    endif()
endforeach()
