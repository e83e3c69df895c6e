# header_check: every public header compiles on its own, as its callers
# meet it. One translation unit per header below platform/, sdk_core/ and
# measurement/, found by a glob (new headers are checked without being
# listed) and written at build time by cmake/header_check_unit.cmake, so
# that it follows each edit of its header. Built with the rest of the tree.
file(GLOB_RECURSE apm_public_headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
     ${PROJECT_SOURCE_DIR}/platform/*.h
     ${PROJECT_SOURCE_DIR}/sdk_core/*.h
     ${PROJECT_SOURCE_DIR}/measurement/*.h)
set(header_check_units)
foreach(header IN LISTS apm_public_headers)
  set(unit ${CMAKE_BINARY_DIR}/header_check/${header}.cpp)
  add_custom_command(
    OUTPUT ${unit}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DHEADER=${header} -DUNIT=${unit}
            -P ${PROJECT_SOURCE_DIR}/cmake/header_check_unit.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/${header} ${PROJECT_SOURCE_DIR}/cmake/header_check_unit.cmake
    VERBATIM)
  list(APPEND header_check_units ${unit})
endforeach()
add_library(header_check OBJECT ${header_check_units})
# The units emit no code: no debug information or instrumentation to make.
target_compile_options(header_check PRIVATE -g0 -fno-sanitize=all)
# For the include folders of every library and the system libraries.
target_link_libraries(header_check PRIVATE apm_reporters apm_storage apm_script apm_engine
                      apm_messages apm_sdk_core apm_platform)
