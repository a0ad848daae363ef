# What mordax_add_launcher refuses or warns about at configure time, shared by
# the function of the source tree and the installed one, and kept to the lines
# the writer prints for the same mistakes (tools/pack_names.cpp).

# The strings of `target` that its call left out, from the defaults file: read
# here, in the caller's scope, since a call from another project's directory
# does not see the variables of the directory that defined the function.
# Sets arg_<KEY> for each of TARGET_SPEC COMPANY PRODUCT VERSION FILE_VERSION
# PRODUCT_VERSION not defined, and arg_DEFAULT_TARGET_SPEC to whether the target
# spec was one of them. `call` names a copy of the call's "${ARGV}": there
# TARGET_SPEC "" still shows, which cmake_parse_arguments leaves undefined as
# if it had been left out.
macro(_mordax_fill_defaults defaults_file windows call)
  include("${defaults_file}")
  set(_mordax_previous "")
  foreach(_mordax_argument IN LISTS ${call})
    if(_mordax_previous STREQUAL "TARGET_SPEC" AND _mordax_argument STREQUAL "")
      set(arg_TARGET_SPEC "")
    endif()
    set(_mordax_previous "${_mordax_argument}")
  endforeach()
  if(${windows})
    set(MORDAX_DEFAULT_TARGET_SPEC "${MORDAX_DEFAULT_TARGET_FOLDER}\\${MORDAX_DEFAULT_TARGET_NAME}")
  else()
    set(MORDAX_DEFAULT_TARGET_SPEC "${MORDAX_DEFAULT_TARGET_FOLDER}/${MORDAX_DEFAULT_TARGET_NAME}")
  endif()
  set(arg_DEFAULT_TARGET_SPEC FALSE)
  if(NOT DEFINED arg_TARGET_SPEC)
    set(arg_DEFAULT_TARGET_SPEC TRUE)
  endif()
  foreach(_mordax_key TARGET_SPEC COMPANY PRODUCT VERSION FILE_VERSION PRODUCT_VERSION)
    if(NOT DEFINED arg_${_mordax_key})
      set(arg_${_mordax_key} "${MORDAX_DEFAULT_${_mordax_key}}")
    endif()
  endforeach()
endmacro()

# Stops the configuration for a target spec no launcher should unpack into, and
# says once which folder a launcher left at the default target spec shares.
function(_mordax_check_target_spec target spec windows is_default)
  if(spec STREQUAL "")
    message(FATAL_ERROR "mordax_add_launcher(${target}): TARGET_SPEC is empty; name the folder to unpack into")
  endif()
  if(spec MATCHES "^([A-Za-z]:)?[/\\\\]*$")
    message(FATAL_ERROR "mordax_add_launcher(${target}): TARGET_SPEC '${spec}' is a root folder; "
                        "name a folder of the application's own below it")
  endif()
  # A path from the root (for Windows a drive's, a share's or a \\?\ one), or a
  # variable that expands to one first, whose names the launcher reads in any case.
  string(TOUPPER "${spec}" upper)
  if(windows)
    set(absolute "^([A-Z]:[/\\\\]|[/\\\\][/\\\\])")
    set(from_root "C:\\ (any drive), \\\\")
  else()
    set(absolute "^/")
    set(from_root "/")
  endif()
  if(NOT upper MATCHES "${absolute}|^{(CACHE_DIR|HOME|TEMP|PROGRAM_DIR|PROGRAM_BASE|PROGRAM)}")
    message(FATAL_ERROR "mordax_add_launcher(${target}): TARGET_SPEC '${spec}' is relative, so it would unpack "
                        "below the folder the launcher is started from; begin it with ${from_root}, {CACHE_DIR}, "
                        "{HOME}, {TEMP}, {PROGRAM_DIR}, {PROGRAM_BASE} or {PROGRAM}")
  endif()
  if(NOT windows AND spec MATCHES "\\\\")
    message(FATAL_ERROR "mordax_add_launcher(${target}): TARGET_SPEC '${spec}' holds a backslash; "
                        "Linux separates folders with /")
  endif()
  if(is_default)
    message(NOTICE "mordax_add_launcher(${target}): no TARGET_SPEC, so it unpacks into '${spec}', "
                   "which every launcher without one shares; name another with TARGET_SPEC")
  endif()
endfunction()

# Windows hands a batch file to cmd.exe with the launcher's own command line,
# which starts the launcher again rather than the batch file.
function(_mordax_check_entry target entry windows)
  if(windows AND entry MATCHES "\\.([Bb][Aa][Tt]|[Cc][Mm][Dd])$")
    message(FATAL_ERROR "mordax_add_launcher(${target}): ENTRY ${entry} is a batch file, which a Windows "
                        "launcher cannot start; make the entry an executable")
  endif()
endfunction()
