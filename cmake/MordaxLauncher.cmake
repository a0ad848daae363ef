# mordax_add_launcher(<target>
#     PAYLOAD <file> [INDEX <file>] | APP_DIR <dir> ENTRY <relative path>
#     [TARGET_SPEC <template>] [COMPANY <s>] [PRODUCT <s>] [VERSION <s>]
#     [FILE_VERSION <s>] [PRODUCT_VERSION <s>] [LEVEL <n>] [FAST_START] [ONE_FRAME]
#     [DEPENDS <target or file>...])
#
# Builds one launcher executable carrying one payload in its read-only data.
# With APP_DIR the payload is written at build time by mordax-pack (the host
# tool: the one this project builds, or MORDAX_PACK when cross-compiling); DEPENDS
# names what fills APP_DIR at build time, so the payload is rewritten after it.
# A Linux launcher also carries the payload's index (written by mordax-pack from
# the same run, or given as INDEX), so that a later start that finds every file
# in place decodes nothing, and decodes on a second core while it writes. A
# Windows launcher unpacks as it always has (its main thread alone, decoding at
# every start) unless FAST_START opts it into the same. For those launchers a
# payload packed from APP_DIR is cut into independent frames, which a first
# start decodes on every core, unless ONE_FRAME keeps the smallest payload of
# one; the compressed frames are kept in <target>.launcher/frames, so that a
# repack compresses only those whose bytes changed (FRAMES, which asked for
# frames before they were the default, is still taken). Strings left out take
# the defaults of MordaxDefaults.cmake, from whatever project the call is in; a
# target spec that is empty, a root folder or relative, one with a backslash for
# Linux, and a batch file as a Windows entry stop the configuration
# (MordaxChecks.cmake).
set(_MORDAX_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." CACHE INTERNAL "")
# The defaults here serve this project's own generated header; the function
# reads them again in its caller's scope.
include("${CMAKE_CURRENT_LIST_DIR}/MordaxDefaults.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/MordaxChecks.cmake")

# A string as the body of a C++ u"" literal.
function(_mordax_cxx_literal out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# "2.3.8" -> "2,3,8,0" for the numeric fields of the version resource.
function(_mordax_numeric_version out text)
  string(REGEX MATCHALL "[0-9]+" parts "${text}")
  list(APPEND parts 0 0 0 0)
  list(SUBLIST parts 0 4 parts)
  list(JOIN parts "," joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

# What every launcher executable links: the core, the backend and, on Windows,
# a static runtime, so the .exe needs nothing but system DLLs.
function(_mordax_link_launcher target)
  target_link_libraries(${target} PRIVATE mordax_core mordax_platform)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -municode)
    target_compile_options(${target} PRIVATE -municode)
  elseif(NOT MORDAX_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

function(mordax_add_launcher target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "FAST_START;ONE_FRAME;FRAMES"
    "PAYLOAD;INDEX;APP_DIR;ENTRY;TARGET_SPEC;COMPANY;PRODUCT;VERSION;FILE_VERSION;PRODUCT_VERSION;LEVEL" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "mordax_add_launcher: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(call "${ARGV}")
  _mordax_fill_defaults("${_MORDAX_ROOT}/cmake/MordaxDefaults.cmake" WIN32 call)
  _mordax_check_target_spec(${target} "${arg_TARGET_SPEC}" "${WIN32}" ${arg_DEFAULT_TARGET_SPEC})
  if(NOT DEFINED arg_LEVEL)
    set(arg_LEVEL 19)
  endif()

  set(gen "${CMAKE_CURRENT_BINARY_DIR}/${target}.launcher")
  set(index "")
  if(arg_APP_DIR)
    if(NOT arg_ENTRY OR arg_PAYLOAD)
      message(FATAL_ERROR "mordax_add_launcher(${target}): APP_DIR needs ENTRY and no PAYLOAD")
    endif()
    _mordax_check_entry(${target} "${arg_ENTRY}" "${WIN32}")
    get_filename_component(app "${arg_APP_DIR}" ABSOLUTE)
    file(GLOB_RECURSE app_files CONFIGURE_DEPENDS "${app}/*")
    if(TARGET mordax-pack)
      set(pack $<TARGET_FILE:mordax-pack>)
      set(pack_depends mordax-pack)
    elseif(MORDAX_PACK)
      set(pack "${MORDAX_PACK}")
      set(pack_depends "${MORDAX_PACK}")
    else()
      message(FATAL_ERROR "mordax_add_launcher(${target}): set MORDAX_PACK to a host-built mordax-pack")
    endif()
    set(payload "${gen}/payload.bin")
    set(index_outputs)
    set(index_arguments)
    # The names Windows folds into one, or cannot create, are refused here too.
    set(target_arguments)
    if(WIN32)
      set(target_arguments --for windows-x64)
    endif()
    if(NOT WIN32 OR arg_FAST_START)
      set(index "${gen}/payload.index")
      set(index_outputs "${index}")
      set(index_arguments --index "${index}")
      if(NOT arg_ONE_FRAME)
        list(APPEND index_arguments --frames --frame-cache "${gen}/frames")
      endif()
    endif()
    add_custom_command(OUTPUT "${payload}" ${index_outputs}
      COMMAND "${pack}" "${app}" --entry "${arg_ENTRY}" --level ${arg_LEVEL} ${target_arguments} ${index_arguments} -o "${payload}"
      DEPENDS ${app_files} ${arg_DEPENDS} ${pack_depends}
      COMMENT "Packing ${arg_APP_DIR} for ${target}" VERBATIM)
  elseif(arg_PAYLOAD)
    get_filename_component(payload "${arg_PAYLOAD}" ABSOLUTE)
    if(arg_INDEX AND (NOT WIN32 OR arg_FAST_START))
      get_filename_component(index "${arg_INDEX}" ABSOLUTE)
    endif()
  else()
    message(FATAL_ERROR "mordax_add_launcher(${target}): give PAYLOAD or APP_DIR and ENTRY")
  endif()

  foreach(key TARGET_SPEC COMPANY PRODUCT VERSION FILE_VERSION PRODUCT_VERSION)
    _mordax_cxx_literal(MORDAX_${key} "${arg_${key}}")
  endforeach()

  # One section for the payload and the strings, so that the marker reaches both.
  if(WIN32)
    set(MORDAX_PAYLOAD_SECTION_NAME ".rdata$mordax")
    set(MORDAX_PAYLOAD_SECTION_FLAGS "\\\"dr\\\"")
  else()
    set(MORDAX_PAYLOAD_SECTION_NAME ".rodata.mordax")
    set(MORDAX_PAYLOAD_SECTION_FLAGS "\\\"a\\\"")
  endif()
  if(payload MATCHES "[\"\\]")
    message(FATAL_ERROR "mordax_add_launcher(${target}): the payload path may not hold quotes or backslashes")
  endif()
  set(MORDAX_PAYLOAD_FILE "${payload}")
  if(index)
    if(index MATCHES "[\"\\]")
      message(FATAL_ERROR "mordax_add_launcher(${target}): the index path may not hold quotes or backslashes")
    endif()
    set(MORDAX_INDEX_INCBIN "\".incbin \\\"${index}\\\"\\n\"")
  else()
    set(MORDAX_INDEX_INCBIN "")
  endif()
  if(arg_FAST_START)
    set(MORDAX_FAST_START 1)
  else()
    set(MORDAX_FAST_START 0)
  endif()
  configure_file("${_MORDAX_ROOT}/cmake/launcher/payload.cpp.in" "${gen}/payload.cpp" @ONLY)
  set_source_files_properties("${gen}/payload.cpp" PROPERTIES OBJECT_DEPENDS "${payload};${index}")

  set(sources "${gen}/payload.cpp" "${_MORDAX_ROOT}/payload/embedded.cpp"
              "${_MORDAX_ROOT}/platform/${MORDAX_OS}/main.cpp")
  if(WIN32)
    _mordax_numeric_version(MORDAX_FILE_VERSION_NUMBERS "${arg_FILE_VERSION}")
    _mordax_numeric_version(MORDAX_PRODUCT_VERSION_NUMBERS "${arg_PRODUCT_VERSION}")
    foreach(key COMPANY PRODUCT FILE_VERSION PRODUCT_VERSION)
      string(REPLACE "\"" "\"\"" MORDAX_RC_${key} "${arg_${key}}")
    endforeach()
    set(MORDAX_MANIFEST "${_MORDAX_ROOT}/cmake/launcher/launcher.manifest")
    configure_file("${_MORDAX_ROOT}/cmake/launcher/launcher.rc.in" "${gen}/launcher.rc" @ONLY)
    set_source_files_properties("${gen}/launcher.rc" PROPERTIES OBJECT_DEPENDS "${MORDAX_MANIFEST}")
    list(APPEND sources "${gen}/launcher.rc")
  endif()

  add_executable(${target} ${sources})
  _mordax_link_launcher(${target})
endfunction()
