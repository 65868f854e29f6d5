# cmake -DGZIP=path -DINPUT=file -DOUTPUT=file.gz -P compress.cmake
# gzip -9n: best compression and no name or time stamp in the header, so
# the compressed page changes only with its text.
get_filename_component(directory ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${directory})
execute_process(COMMAND ${GZIP} -9 -n -c ${INPUT}
  OUTPUT_FILE ${OUTPUT}.tmp
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "gzip ${INPUT} failed: ${result}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
