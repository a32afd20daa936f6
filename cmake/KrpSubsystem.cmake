# krp_subsystem(NAME DIR DEPS ...): the sources of DIR/*.cc become an OBJECT
# library NAME_obj (compiled once) and a STATIC library NAME over the same
# objects. Tests link the static library; libkrplib.so takes the objects of
# every subsystem directly, so nothing is dropped and nothing is linked twice.
function(krp_subsystem name)
  cmake_parse_arguments(S "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/src/krp_dll/empty.cc)
  endif()
  add_library(${name}_obj OBJECT ${srcs})
  target_include_directories(${name}_obj PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                                                ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(${name}_obj PUBLIC KRPLIB_BUILD)
  foreach(dep ${S_DEPS})
    target_link_libraries(${name}_obj PUBLIC ${dep}_obj)
  endforeach()
  add_library(${name} STATIC $<TARGET_OBJECTS:${name}_obj>)
  target_link_libraries(${name} PUBLIC ${name}_obj ${S_DEPS} Threads::Threads ${CMAKE_DL_LIBS})
  set_property(GLOBAL APPEND PROPERTY KRP_SUBSYSTEM_OBJECTS $<TARGET_OBJECTS:${name}_obj>)
endfunction()
