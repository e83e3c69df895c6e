# apm_library(<target> DEPS <targets...> SYSTEM_LIBS <targets...>): one
# static library per source folder, made of every .cpp below it. Headers
# are included from the repository root ("platform/object.h"), and from the
# installed include folder, which keeps that layout. What a program needs
# to use the library (C++20, the include folder, the libraries below it)
# travels with the target, so linking it is enough.
#
# Each library is also known as apm::<folder> (apm_storage is apm::storage),
# the name it has in the installed package.
set(APM_INSTALL_INCLUDEDIR include/apm_measurement)

function(apm_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;SYSTEM_LIBS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${target} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(${target} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_compile_features(${target} ${scope} cxx_std_20)
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                             $<INSTALL_INTERFACE:${APM_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target} ${scope} ${ARG_DEPS} ${ARG_SYSTEM_LIBS})
  string(REGEX REPLACE "^apm_" "" short ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${short})
  add_library(apm::${short} ALIAS ${target})
  set_property(GLOBAL APPEND PROPERTY APM_LIBRARIES ${target})
endfunction()
