# Read by cpack before it packages anything (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_BRIMVALE_SANITIZED AND CPACK_GENERATOR STREQUAL "DEB")
  message(FATAL_ERROR "This build tree is built with sanitizers (BRIMVALE_SANITIZE or BRIMVALE_TSAN); its "
                      "programs need the sanitizer runtimes and abort on findings. Package an optimised tree "
                      "instead: cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo")
endif()
