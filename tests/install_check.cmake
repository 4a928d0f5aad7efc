# Installs the build into a fresh prefix, runs the installed zumrip on the
# bundled example and the installed zumpack on its clips, which must give
# the example again: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -P install_check.cmake
set(prefix ${BUILD_DIR}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(installed bin/zumrip bin/zumpack share/doc/zumrip/README.md share/doc/zumrip/copyright
                  share/doc/zumrip/LICENSE share/doc/zumrip/examples/tones.mrv)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
foreach(page zumrip zumpack)
  file(GLOB man_page ${prefix}/share/man/man1/${page}.1*)
  if(NOT man_page)
    message(FATAL_ERROR "not installed: the man page of ${page}")
  endif()
endforeach()

file(MAKE_DIRECTORY ${prefix}/work)
execute_process(COMMAND ${prefix}/bin/zumrip ${prefix}/share/doc/zumrip/examples/tones.mrv
                WORKING_DIRECTORY ${prefix}/work RESULT_VARIABLE status OUTPUT_VARIABLE out)
file(GLOB wavs RELATIVE ${prefix}/work ${prefix}/work/*.WAV)
list(SORT wavs)
if(NOT status EQUAL 0 OR NOT out MATCHES "Creating CHORD.WAV... \\[22KHz\\] ... Done.\n$"
   OR NOT wavs STREQUAL "BEEP.WAV;CHORD.WAV;FALL.WAV;RISE.WAV")
  message(FATAL_ERROR "installed zumrip failed (status ${status}, files ${wavs}):\n${out}")
endif()
execute_process(COMMAND ${prefix}/bin/zumpack ../TONES.MRV RISE.WAV FALL.WAV BEEP.WAV CHORD.WAV
                WORKING_DIRECTORY ${prefix}/work RESULT_VARIABLE status OUTPUT_QUIET)
file(SHA256 ${prefix}/TONES.MRV packed)
file(SHA256 ${SOURCE_DIR}/examples/tones.mrv example)
if(NOT status EQUAL 0 OR NOT packed STREQUAL example)
  message(FATAL_ERROR "installed zumpack failed (status ${status}) or did not give the example again")
endif()
file(REMOVE_RECURSE ${prefix})
