# Runs both dump programs over the AVIF fixtures; the metadata lines must be
# identical and the pixels within the tolerance the diff mode applies. The
# library is asked for its floating-point conversion with bilinear chroma:
# its default hands 8- and 10-bit pictures to a fixed-point helper whose blue
# coefficient is clipped (BT.709 limited range comes out up to 13 levels off)
# and upsamples 12-bit 4:2:0 by repeating samples, neither of which is a
# reference worth matching.
file(GLOB files ${FIXTURES}/avif_*.avif ${FIXTURES}/dec_*.avif)
list(SORT files)
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/reference ${OUT}/layer)
execute_process(COMMAND ${REFERENCE} --builtin ${OUT}/reference ${files}
  OUTPUT_VARIABLE reference_lines RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "reference dump failed: ${rc}")
endif()
execute_process(COMMAND ${LAYER} ${OUT}/layer ${files}
  OUTPUT_VARIABLE layer_lines RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "layer dump failed: ${rc}")
endif()
file(WRITE ${OUT}/reference.txt "${reference_lines}")
file(WRITE ${OUT}/layer.txt "${layer_lines}")
if(NOT reference_lines STREQUAL layer_lines)
  message(FATAL_ERROR "metadata differs:\n--- library\n${reference_lines}--- layer\n${layer_lines}")
endif()
message("${layer_lines}")
set(names)
foreach(f IN LISTS files)
  get_filename_component(name ${f} NAME)
  if(EXISTS ${OUT}/reference/${name}.bgra)
    list(APPEND names ${name})
  endif()
endforeach()
list(LENGTH files n_files)
list(LENGTH names n_names)
if(NOT n_names EQUAL n_files)
  message(FATAL_ERROR "only ${n_names} of ${n_files} fixtures decoded")
endif()
execute_process(COMMAND ${LAYER} --diff ${OUT}/reference ${OUT}/layer ${names} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pixels differ beyond the tolerance")
endif()
