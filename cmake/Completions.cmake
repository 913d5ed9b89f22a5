# Shell completion for tavrin-cli, printed by the program itself from its own
# parser at build time, installed where Debian's shells look for it.
if(NOT TARGET tavrin-cli OR CMAKE_CROSSCOMPILING)
  return()
endif()
set(TAVRIN_COMPLETION_DIR ${CMAKE_BINARY_DIR}/completion)
set(outputs)
foreach(pair "bash;tavrin-cli;share/bash-completion/completions"
             "zsh;_tavrin-cli;share/zsh/vendor-completions"
             "fish;tavrin-cli.fish;share/fish/vendor_completions.d")
  list(GET pair 0 shell)
  list(GET pair 1 name)
  list(GET pair 2 destination)
  add_custom_command(
    OUTPUT ${TAVRIN_COMPLETION_DIR}/${shell}/${name}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tavrin-cli> -DSHELL_NAME=${shell}
            -DOUT=${TAVRIN_COMPLETION_DIR}/${shell}/${name}
            -P ${CMAKE_SOURCE_DIR}/cmake/Completion.cmake
    DEPENDS tavrin-cli ${CMAKE_SOURCE_DIR}/cmake/Completion.cmake
    COMMENT "tavrin-cli completion ${shell}"
    VERBATIM)
  list(APPEND outputs ${TAVRIN_COMPLETION_DIR}/${shell}/${name})
  install(FILES ${TAVRIN_COMPLETION_DIR}/${shell}/${name} DESTINATION ${destination})
endforeach()
add_custom_target(tavrin_completions ALL DEPENDS ${outputs})
