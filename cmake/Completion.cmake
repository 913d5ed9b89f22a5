# cmake -DPROGRAM=tavrin-cli -DSHELL_NAME=bash -DOUT=file -P Completion.cmake:
# the program's completion script for that shell, into OUT.
cmake_minimum_required(VERSION 3.22)
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${PROGRAM} completion ${SHELL_NAME} OUTPUT_FILE ${OUT}.part
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "${PROGRAM} completion ${SHELL_NAME} failed: ${status}")
endif()
file(RENAME ${OUT}.part ${OUT})
