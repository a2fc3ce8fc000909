# The native build: clang with the sanitizers named in KESTOVA_SANITIZE
# ("address,undefined" or "thread"), every report fatal, and with
# KESTOVA_FUZZ the libFuzzer targets.
set(KESTOVA_SANITIZE "" CACHE STRING "Sanitizers for the native build, as -fsanitize takes them")
option(KESTOVA_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(KESTOVA_SANITIZE)
  add_compile_options(-fsanitize=${KESTOVA_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${KESTOVA_SANITIZE})
endif()
if(KESTOVA_FUZZ)
  # Coverage for the fuzzers in every library; the fuzz targets link the
  # fuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
