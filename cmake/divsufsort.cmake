# libdivsufsort, built for selfpatch.exe from Debian's source package (make
# deps unpacks it), configured as Debian builds its own: 32-bit indices,
# no OpenMP. Defines the target selfpatch_divsufsort.
set(SELFPATCH_DIVSUFSORT_SOURCE ${PROJECT_SOURCE_DIR}/build/deps/divsufsort
    CACHE PATH "Unpacked Debian libdivsufsort source")
set(divsufsort ${SELFPATCH_DIVSUFSORT_SOURCE})
if(NOT EXISTS ${divsufsort}/lib/divsufsort.c)
  message(FATAL_ERROR "no libdivsufsort source in ${divsufsort}: run make deps")
endif()

# The library's own templates, filled in with what its configure step
# would find on MinGW-w64.
set(divsufsort_generated ${CMAKE_CURRENT_BINARY_DIR}/divsufsort)
file(READ ${divsufsort}/VERSION PROJECT_VERSION_FULL)
string(STRIP "${PROJECT_VERSION_FULL}" PROJECT_VERSION_FULL)
set(W64BIT "")
set(INCFILE "#include <inttypes.h>")
set(DIVSUFSORT_EXPORT "")
set(DIVSUFSORT_IMPORT "")
set(SAUCHAR_TYPE uint8_t)
set(SAINT32_TYPE int32_t)
set(SAINDEX_TYPE int32_t)
set(SAINT_PRId PRId32)
set(SAINDEX_PRId PRId32)
set(INLINE inline)
foreach(header INTTYPES_H STDDEF_H STDINT_H STDLIB_H STRING_H MEMORY_H SYS_TYPES_H)
  set(HAVE_${header} 1)
endforeach()
configure_file(${divsufsort}/include/divsufsort.h.cmake
               ${divsufsort_generated}/divsufsort.h @ONLY)
configure_file(${divsufsort}/include/config.h.cmake
               ${divsufsort_generated}/config.h)

add_library(selfpatch_divsufsort STATIC
  ${divsufsort}/lib/divsufsort.c
  ${divsufsort}/lib/sssort.c
  ${divsufsort}/lib/trsort.c
  ${divsufsort}/lib/utils.c)
target_compile_definitions(selfpatch_divsufsort PRIVATE HAVE_CONFIG_H=1)
target_include_directories(selfpatch_divsufsort PRIVATE ${divsufsort}/include
                           PUBLIC ${divsufsort_generated})
