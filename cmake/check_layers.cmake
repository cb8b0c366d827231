# Checks that every include under src/ runs down the layers of the program: a folder may include
# itself and the folders listed for it, nothing else. Run as a test:
#   cmake -DDORVEX_SOURCE_DIR=<top of the repository> -P cmake/check_layers.cmake
# Every offending include is listed with its file and line; any one fails the check.

cmake_minimum_required(VERSION 3.20)

# Bottom to top. The window toolkit is reached only through the console layer (and by the
# shell, which installs it at start-up).
set(allowed_common)
set(allowed_toolkit common)
set(allowed_console common toolkit)
set(allowed_geometry common console)
set(allowed_files common console geometry)
set(allowed_instrument common console geometry files)
set(allowed_reflections common console geometry files instrument)
set(allowed_centring common console geometry files instrument reflections)
set(allowed_datacol common console geometry files instrument reflections centring)
set(allowed_shell common toolkit console geometry files instrument reflections centring datacol)
set(folders common toolkit console geometry files instrument reflections centring datacol shell)

if(NOT DORVEX_SOURCE_DIR)
  message(FATAL_ERROR "set DORVEX_SOURCE_DIR to the top of the repository")
endif()
set(src "${DORVEX_SOURCE_DIR}/src")

file(GLOB_RECURSE sources RELATIVE "${src}" "${src}/*.cpp" "${src}/*.hpp" "${src}/*.h")
set(faults "")
foreach(rel IN LISTS sources)
  string(REGEX MATCH "^[^/]+" folder "${rel}")
  if(rel STREQUAL folder)
    # A file directly in src/ (the program's main) stands above every folder.
    set(allowed ${folders})
  elseif(folder IN_LIST folders)
    set(allowed ${allowed_${folder}} ${folder})
  else()
    string(APPEND faults "  src/${rel}: folder ${folder}/ has no place in the layers\n")
    continue()
  endif()

  file(STRINGS "${src}/${rel}" lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
      continue()
    endif()
    set(target "${CMAKE_MATCH_1}")
    string(REGEX MATCH "^[^/]+" target_folder "${target}")
    if(target STREQUAL target_folder OR NOT target_folder IN_LIST folders)
      string(APPEND faults
             "  src/${rel}:${number}: \"${target}\" names no folder of src/ (write folder/file)\n")
    elseif(NOT target_folder IN_LIST allowed)
      string(APPEND faults
             "  src/${rel}:${number}: ${folder}/ may not include ${target} (${target_folder}/ is "
             "not below it)\n")
    endif()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "Includes against the layers of the program:\n${faults}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files of src/ include only the layers below them")
