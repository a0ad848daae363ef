# zstd (decoder) and libdeflate (CRC-32) for the launcher, linked statically so
# the single file runs where those libraries are missing; zlib's crc32, the
# reference the tests hold the launcher's checksum to.
set(MORDAX_ZSTD_SOURCE_DIR "${PROJECT_SOURCE_DIR}/build/_deps/zstd-src" CACHE PATH
    "zstd source tree (from 'apt-get source libzstd')")
if(NOT EXISTS "${MORDAX_ZSTD_SOURCE_DIR}/lib/zstd.h")
  message(FATAL_ERROR "zstd source not found in ${MORDAX_ZSTD_SOURCE_DIR}; run scripts/install-deps.sh")
endif()

# The writer's zstd, on either host, from that one source package and with
# its threads: the frames it makes depend on the library's version, so the
# Linux and the Windows writer give the same bytes only with the same zstd. Its
# decoder serves list, verify and extract.
file(GLOB zstd_writer_sources "${MORDAX_ZSTD_SOURCE_DIR}/lib/common/*.c" "${MORDAX_ZSTD_SOURCE_DIR}/lib/compress/*.c"
     "${MORDAX_ZSTD_SOURCE_DIR}/lib/decompress/*.c")
add_library(mordax_zstd_writer STATIC EXCLUDE_FROM_ALL ${zstd_writer_sources})
target_compile_definitions(mordax_zstd_writer PRIVATE ZSTD_MULTITHREAD ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0)
target_include_directories(mordax_zstd_writer SYSTEM PUBLIC "${MORDAX_ZSTD_SOURCE_DIR}/lib")
# Packing is the writer's whole work: the sanitizers stay in the project's own code.
target_compile_options(mordax_zstd_writer PRIVATE -O3 $<$<BOOL:${MORDAX_SANITIZE}>:-fno-sanitize=all>)
set_target_properties(mordax_zstd_writer PROPERTIES POSITION_INDEPENDENT_CODE ON)
find_package(Threads REQUIRED)
target_link_libraries(mordax_zstd_writer PUBLIC Threads::Threads)
add_library(mordax::zstd_writer ALIAS mordax_zstd_writer)

if(WIN32)
  # Debian ships no zstd for mingw: its source package, unpacked by
  # scripts/install-deps.sh, is cross-built here as a decoder-only library.
  file(GLOB zstd_sources "${MORDAX_ZSTD_SOURCE_DIR}/lib/common/*.c" "${MORDAX_ZSTD_SOURCE_DIR}/lib/decompress/*.c")
  add_library(mordax_zstd_decompress STATIC ${zstd_sources})
  target_compile_definitions(mordax_zstd_decompress PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD=0)
  target_include_directories(mordax_zstd_decompress SYSTEM PUBLIC "${MORDAX_ZSTD_SOURCE_DIR}/lib")
  target_compile_options(mordax_zstd_decompress PRIVATE -O3)
  add_library(mordax::zstd_decompress ALIAS mordax_zstd_decompress)

  # libdeflate likewise: only its CRC-32 (with the processor checks it needs).
  set(MORDAX_DEFLATE_SOURCE_DIR "${PROJECT_SOURCE_DIR}/build/_deps/libdeflate-src" CACHE PATH
      "libdeflate source tree (from 'apt-get source libdeflate')")
  if(NOT EXISTS "${MORDAX_DEFLATE_SOURCE_DIR}/libdeflate.h")
    message(FATAL_ERROR "libdeflate source not found in ${MORDAX_DEFLATE_SOURCE_DIR}; run scripts/install-deps.sh")
  endif()
  add_library(mordax_crc32 STATIC "${MORDAX_DEFLATE_SOURCE_DIR}/lib/crc32.c" "${MORDAX_DEFLATE_SOURCE_DIR}/lib/utils.c"
              "${MORDAX_DEFLATE_SOURCE_DIR}/lib/x86/cpu_features.c")
  target_include_directories(mordax_crc32 SYSTEM PUBLIC "${MORDAX_DEFLATE_SOURCE_DIR}")
  target_compile_options(mordax_crc32 PRIVATE -O2)
  add_library(mordax::crc32 ALIAS mordax_crc32)

  find_library(MORDAX_ZLIB_STATIC NAMES libz.a REQUIRED)
  add_library(mordax::zlib STATIC IMPORTED)
  set_target_properties(mordax::zlib PROPERTIES IMPORTED_LOCATION "${MORDAX_ZLIB_STATIC}")
else()
  find_path(MORDAX_ZSTD_INCLUDE zstd.h REQUIRED)
  find_library(MORDAX_ZSTD_STATIC NAMES libzstd.a REQUIRED)
  add_library(mordax::zstd_decompress STATIC IMPORTED)
  set_target_properties(mordax::zstd_decompress PROPERTIES
    IMPORTED_LOCATION "${MORDAX_ZSTD_STATIC}" INTERFACE_INCLUDE_DIRECTORIES "${MORDAX_ZSTD_INCLUDE}")
  find_path(MORDAX_DEFLATE_INCLUDE libdeflate.h REQUIRED)
  find_library(MORDAX_DEFLATE_STATIC NAMES libdeflate.a REQUIRED)
  add_library(mordax::crc32 STATIC IMPORTED)
  set_target_properties(mordax::crc32 PROPERTIES
    IMPORTED_LOCATION "${MORDAX_DEFLATE_STATIC}" INTERFACE_INCLUDE_DIRECTORIES "${MORDAX_DEFLATE_INCLUDE}")
  find_library(MORDAX_ZLIB_STATIC NAMES libz.a REQUIRED)
  add_library(mordax::zlib STATIC IMPORTED)
  set_target_properties(mordax::zlib PROPERTIES IMPORTED_LOCATION "${MORDAX_ZLIB_STATIC}")
endif()
