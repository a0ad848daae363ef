# The installed Mordax package: find_package(Mordax CONFIG REQUIRED), then
#
# mordax_add_launcher(<target>
#     PAYLOAD <file> | APP_DIR <dir> ENTRY <relative path>
#     [STUB linux-x64|windows-x64]
#     [TARGET_SPEC <template>] [COMPANY <s>] [PRODUCT <s>] [VERSION <s>]
#     [FILE_VERSION <s>] [PRODUCT_VERSION <s>] [LEVEL <n>] [FAST_START] [ONE_FRAME]
#     [DEPENDS <target or file>...] [INDEX <file>])
#
# The same call as in the source tree, and a launcher that behaves the same:
# here no compiler is needed, because the installed writer finishes the
# installed stub (for the system being built for, or the one STUB names) around
# the payload at build time. The launcher is launchers/<target> (<target>.exe
# for Windows) in the current binary folder; the target's MORDAX_LAUNCHER_FILE
# property holds its path. A Linux launcher made
# from APP_DIR carries the payload's index as before; a payload written earlier
# is attached as it is, so its INDEX is not carried (later starts then decode
# the payload, with the same files, messages and statuses). A payload packed
# for a Linux launcher, or a Windows one with FAST_START, is cut into frames
# unless ONE_FRAME is given (FRAMES, from before frames were the default, is
# still taken); they are kept in launchers/<target>.frames for the next pack.
get_filename_component(_MORDAX_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(MORDAX_PACK_EXECUTABLE "${_MORDAX_PREFIX}/bin/mordax-pack${CMAKE_HOST_EXECUTABLE_SUFFIX}" CACHE FILEPATH
    "The installed writer, for the host that builds")
if(NOT EXISTS "${MORDAX_PACK_EXECUTABLE}")
  set(Mordax_FOUND FALSE)
  set(Mordax_NOT_FOUND_MESSAGE "no writer for this host at ${MORDAX_PACK_EXECUTABLE}")
  return()
endif()

set(_MORDAX_PACKAGE_DIR "${CMAKE_CURRENT_LIST_DIR}" CACHE INTERNAL "")
include("${CMAKE_CURRENT_LIST_DIR}/MordaxChecks.cmake")

function(mordax_add_launcher target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "FAST_START;ONE_FRAME;FRAMES"
    "PAYLOAD;INDEX;APP_DIR;ENTRY;STUB;TARGET_SPEC;COMPANY;PRODUCT;VERSION;FILE_VERSION;PRODUCT_VERSION;LEVEL"
    "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "mordax_add_launcher: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_STUB)
    if(WIN32)
      set(arg_STUB windows-x64)
    else()
      set(arg_STUB linux-x64)
    endif()
  endif()
  if(arg_STUB STREQUAL "windows-x64")
    set(suffix .exe)
  elseif(arg_STUB STREQUAL "linux-x64")
    set(suffix "")
  else()
    message(FATAL_ERROR "mordax_add_launcher(${target}): STUB must be windows-x64 or linux-x64")
  endif()
  set(windows FALSE)
  if(arg_STUB STREQUAL "windows-x64")
    set(windows TRUE)
  endif()
  # The strings not given are the writer's defaults, from the same file; passed
  # on, so that the notice about a default target spec is given once, here.
  set(call "${ARGV}")
  _mordax_fill_defaults("${_MORDAX_PACKAGE_DIR}/MordaxDefaults.cmake" windows call)
  _mordax_check_target_spec(${target} "${arg_TARGET_SPEC}" ${windows} ${arg_DEFAULT_TARGET_SPEC})
  if(NOT DEFINED arg_LEVEL)
    set(arg_LEVEL 19)
  endif()
  # A folder of their own: a file named as its target would be a cycle to Ninja.
  set(launcher "${CMAKE_CURRENT_BINARY_DIR}/launchers/${target}${suffix}")

  set(arguments --stub ${arg_STUB})
  foreach(key TARGET_SPEC COMPANY PRODUCT VERSION FILE_VERSION PRODUCT_VERSION)
    string(TOLOWER "${key}" option)
    string(REPLACE "_" "-" option "${option}")
    list(APPEND arguments --${option} "${arg_${key}}")
  endforeach()
  if(arg_FAST_START)
    list(APPEND arguments --fast-start)
  endif()
  set(frames)
  if(arg_ONE_FRAME)
    set(frames --one-frame)
  elseif(NOT windows OR arg_FAST_START)
    set(frames --frame-cache "${CMAKE_CURRENT_BINARY_DIR}/launchers/${target}.frames")
  endif()

  if(arg_APP_DIR)
    if(NOT arg_ENTRY OR arg_PAYLOAD)
      message(FATAL_ERROR "mordax_add_launcher(${target}): APP_DIR needs ENTRY and no PAYLOAD")
    endif()
    _mordax_check_entry(${target} "${arg_ENTRY}" ${windows})
    get_filename_component(app "${arg_APP_DIR}" ABSOLUTE)
    file(GLOB_RECURSE inputs CONFIGURE_DEPENDS "${app}/*")
    set(source "${app}" --entry "${arg_ENTRY}" --level ${arg_LEVEL} ${frames})
  elseif(arg_PAYLOAD)
    get_filename_component(payload "${arg_PAYLOAD}" ABSOLUTE)
    set(inputs "${payload}")
    set(source --attach "${payload}")
  else()
    message(FATAL_ERROR "mordax_add_launcher(${target}): give PAYLOAD or APP_DIR and ENTRY")
  endif()

  add_custom_command(OUTPUT "${launcher}"
    COMMAND "${MORDAX_PACK_EXECUTABLE}" ${source} ${arguments} -o "${launcher}"
    DEPENDS ${inputs} ${arg_DEPENDS} "${MORDAX_PACK_EXECUTABLE}"
    COMMENT "Finishing the ${arg_STUB} stub as ${target}" VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${launcher}")
  set_target_properties(${target} PROPERTIES MORDAX_LAUNCHER_FILE "${launcher}")
endfunction()
