# The Zstandard encoder (selfpatch_zstd_encoder), built from Debian's zstd
# source (make sources unpacks it), single-threaded, for selfpatch, the
# tests' packages and the fuzzing seeds. The appliers decode its frames with
# a decoder of their own (apply/zstd_frame), a fraction of the reference
# decoder's size; the reference decoder comes along for the fuzzing target
# that compares the two.
set(SELFPATCH_ZSTD_SOURCE ${PROJECT_SOURCE_DIR}/build/deps/zstd
    CACHE PATH "Unpacked Debian libzstd source")
set(zstd ${SELFPATCH_ZSTD_SOURCE}/lib)
if(NOT EXISTS ${zstd}/zstd.h)
  message(FATAL_ERROR "no zstd source in ${SELFPATCH_ZSTD_SOURCE}: run make sources")
endif()

if(SELFPATCH_FUZZ OR SELFPATCH_PRODUCER OR SELFPATCH_TESTS)
  file(GLOB zstd_sources ${zstd}/common/*.c ${zstd}/compress/*.c ${zstd}/decompress/*.c)
  add_library(selfpatch_zstd_encoder STATIC ${zstd_sources})
  target_include_directories(selfpatch_zstd_encoder SYSTEM PUBLIC ${zstd})
  target_compile_definitions(selfpatch_zstd_encoder PRIVATE ZSTD_DISABLE_ASM
                             ZSTD_LEGACY_SUPPORT=0)
  set_target_properties(selfpatch_zstd_encoder PROPERTIES C_VISIBILITY_PRESET hidden)
endif()
