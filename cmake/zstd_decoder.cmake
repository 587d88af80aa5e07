# The Zstandard decoder, built for the applier from Debian's libzstd source
# (make deps unpacks it): the decompression side alone, with the smaller of
# its code paths where it offers two, so that the applier stays small.
# Defines the target selfpatch_zstd.
set(SELFPATCH_ZSTD_SOURCE ${PROJECT_SOURCE_DIR}/build/deps/zstd
    CACHE PATH "Unpacked Debian libzstd source")
set(zstd ${SELFPATCH_ZSTD_SOURCE}/lib)
if(NOT EXISTS ${zstd}/zstd.h)
  message(FATAL_ERROR "no libzstd source in ${SELFPATCH_ZSTD_SOURCE}: run make deps")
endif()
add_library(selfpatch_zstd STATIC
  ${zstd}/common/entropy_common.c
  ${zstd}/common/error_private.c
  ${zstd}/common/fse_decompress.c
  ${zstd}/common/xxhash.c
  ${zstd}/common/zstd_common.c
  ${zstd}/decompress/huf_decompress.c
  ${zstd}/decompress/zstd_ddict.c
  ${zstd}/decompress/zstd_decompress.c
  ${zstd}/decompress/zstd_decompress_block.c)
# No legacy formats, no assembly, no error strings; single-symbol Huffman
# tables, the short-offset sequence decoder only, and no forced inlining:
# about 40 KiB of PE32 code that still decodes at some 200 MB/s.
target_compile_definitions(selfpatch_zstd PRIVATE
  ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM ZSTD_STRIP_ERROR_STRINGS
  HUF_FORCE_DECOMPRESS_X1 ZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT ZSTD_NO_INLINE)
target_include_directories(selfpatch_zstd PUBLIC ${zstd})
# Each function in its own section, so the linker keeps only what is called;
# C code that no C++ exception passes through, so no unwind tables where
# the platform does not need them.
target_compile_options(selfpatch_zstd PRIVATE -ffunction-sections -fdata-sections
                       ${SELFPATCH_NO_UNWIND_TABLES})

# The encoder from the same source (selfpatch_zstd_encoder): selfpatch.exe
# compresses with it, and the fuzzing build makes its seeds with it (and
# decodes with this same library, instrumented).
if(SELFPATCH_FUZZ OR SELFPATCH_PRODUCER)
  add_library(selfpatch_zstd_encoder STATIC
    ${zstd}/compress/fse_compress.c
    ${zstd}/compress/hist.c
    ${zstd}/compress/huf_compress.c
    ${zstd}/compress/zstd_compress.c
    ${zstd}/compress/zstd_compress_literals.c
    ${zstd}/compress/zstd_compress_sequences.c
    ${zstd}/compress/zstd_compress_superblock.c
    ${zstd}/compress/zstd_double_fast.c
    ${zstd}/compress/zstd_fast.c
    ${zstd}/compress/zstd_lazy.c
    ${zstd}/compress/zstd_ldm.c
    ${zstd}/compress/zstd_opt.c)
  target_compile_definitions(selfpatch_zstd_encoder PRIVATE ZSTD_DISABLE_ASM)
  target_link_libraries(selfpatch_zstd_encoder PUBLIC selfpatch_zstd)
endif()
