# The LZMA coder, built from the LZMA SDK in Debian's lzma source (make
# sources unpacks it): the decoder (selfpatch_lzma) for the appliers and
# every build's tests; the encoder (selfpatch_lzma_encoder), single-threaded,
# for selfpatch, the tests' packages and the fuzzing seeds.
set(SELFPATCH_LZMA_SOURCE ${PROJECT_SOURCE_DIR}/build/deps/lzma
    CACHE PATH "Unpacked Debian lzma source (the LZMA SDK)")
set(lzma ${SELFPATCH_LZMA_SOURCE}/C)
if(NOT EXISTS ${lzma}/LzmaDec.c)
  message(FATAL_ERROR "no LZMA SDK source in ${SELFPATCH_LZMA_SOURCE}: run make sources")
endif()
add_library(selfpatch_lzma STATIC ${lzma}/LzmaDec.c)
target_include_directories(selfpatch_lzma SYSTEM PUBLIC ${lzma})
# Each function in its own section, so the linker keeps only what is called;
# C code that no C++ exception passes through, so no unwind tables where
# the platform does not need them.
target_compile_options(selfpatch_lzma PRIVATE -ffunction-sections -fdata-sections
                       ${SELFPATCH_NO_UNWIND_TABLES})

if(SELFPATCH_FUZZ OR SELFPATCH_PRODUCER OR SELFPATCH_TESTS)
  # The match finder empties its hash table (at least 130,000 entries,
  # whatever the block) in a loop that reads the table's size again after
  # each store, as the two might overlap: some 0.15 ms per block, more than
  # coding a small one, of which create codes dozens when it chooses a
  # form. The copy built here reads the size once.
  set(match_finder ${CMAKE_CURRENT_BINARY_DIR}/lzma/LzFind.c)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${lzma}/LzFind.c)
  file(READ ${lzma}/LzFind.c source)
  set(loop "for (i = 0; i < p->hashSizeSum; i++)\n    p->hash[i] = kEmptyHashValue;")
  string(FIND "${source}" "${loop}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${lzma}/LzFind.c does not empty its hash table as expected")
  endif()
  string(REPLACE "${loop}"
         "{ CLzRef *hash = p->hash; UInt32 size = p->hashSizeSum;\n    for (i = 0; i < size; i++)\n      hash[i] = kEmptyHashValue; }"
         source "${source}")
  file(WRITE ${match_finder}.new "${source}")
  configure_file(${match_finder}.new ${match_finder} COPYONLY)
  add_library(selfpatch_lzma_encoder STATIC ${lzma}/LzmaEnc.c ${match_finder})
  target_compile_definitions(selfpatch_lzma_encoder PRIVATE _7ZIP_ST)
  target_link_libraries(selfpatch_lzma_encoder PUBLIC selfpatch_lzma)
endif()
