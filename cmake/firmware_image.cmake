# SPDX-License-Identifier: MIT
# The firmware image a program carries. Its file name is the built-in name,
# and the text before the first '_' names the model the program starts with.

# A C++ program for the build host, built at configure time (also in cross
# builds, whose compiler makes programs the build host cannot run), and built
# again only when one of its sources changes. Sets `out` to its path.
function(morvix_host_program out name)
  set(sources ${ARGN})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sources})
  set(hash "")
  foreach(source IN LISTS sources)
    file(SHA256 ${source} one)
    string(APPEND hash ${one})
  endforeach()
  set(program ${CMAKE_BINARY_DIR}/host-tools/${name})
  set(stamp ${program}.source-sha256)
  if(EXISTS ${program} AND EXISTS ${stamp})
    file(READ ${stamp} made_by)
    if(made_by STREQUAL hash)
      set(${out} ${program} PARENT_SCOPE)
      return()
    endif()
  endif()
  if(CMAKE_CROSSCOMPILING)
    find_program(MORVIX_HOST_CXX NAMES c++ g++ clang++
                 DOC "C++ compiler for programs that run on the build host")
    if(NOT MORVIX_HOST_CXX)
      message(FATAL_ERROR "No C++ compiler for the build host (c++, g++ or clang++) to build "
                          "${name}; run scripts/install-deps")
    endif()
    set(host_cxx ${MORVIX_HOST_CXX})
  else()
    set(host_cxx ${CMAKE_CXX_COMPILER})
  endif()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-tools)
  set(compiled)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.cpp$")
      list(APPEND compiled ${source})
    endif()
  endforeach()
  execute_process(COMMAND ${host_cxx} -std=c++20 -O2 -I${PROJECT_SOURCE_DIR} -o ${program} ${compiled}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Building ${name} for the build host failed:\n${log}")
  endif()
  file(WRITE ${stamp} "${hash}")
  set(${out} ${program} PARENT_SCOPE)
endfunction()

# The model names, printed by the built model table itself, so that there
# is one list. A script run with -P names the file of an earlier configure
# step in MORVIX_MODEL_NAMES_FILE.
function(morvix_model_names out)
  if(NOT MORVIX_MODEL_NAMES_FILE)
    set(catalogue ${PROJECT_SOURCE_DIR}/catalogue)
    morvix_host_program(printer print_model_names ${catalogue}/print_model_names.cpp
                        ${catalogue}/model_table.cpp ${catalogue}/model_table.h)
    set(file ${CMAKE_BINARY_DIR}/host-tools/model-names.txt)
    execute_process(COMMAND ${printer} OUTPUT_FILE ${file} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "print_model_names failed")
    endif()
    set(MORVIX_MODEL_NAMES_FILE ${file} CACHE INTERNAL "The model names, one a line")
  endif()
  file(STRINGS ${MORVIX_MODEL_NAMES_FILE} names)
  list(LENGTH names count)
  if(NOT count EQUAL 32)
    message(FATAL_ERROR "Expected the 32 model names in ${MORVIX_MODEL_NAMES_FILE}, found ${count}")
  endif()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# The default model of an image file name; the configure step stops with an
# error when the name does not begin with one of the 32 models and '_'.
# `what` says where the name came from, for the message.
function(morvix_image_default_model file what out)
  get_filename_component(name "${file}" NAME)
  string(FIND "${name}" "_" underscore)
  if(underscore LESS 1)
    set(model "")
  else()
    string(SUBSTRING "${name}" 0 ${underscore} model)
  endif()
  morvix_model_names(models)
  if(NOT model IN_LIST models)
    list(JOIN models " " shown)
    message(FATAL_ERROR
      "${what}: the image name '${name}' must begin with a model name and '_' "
      "(for example GL30_firmware.bin), and '${model}' is not one of the 32 models "
      "(names are case-sensitive): ${shown}")
  endif()
  if(name MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${what}: the image name '${name}' may not contain '\"' or '\\'")
  endif()
  set(${out} "${model}" PARENT_SCOPE)
endfunction()

# Writes the demo image to `out` with a generator built for the build host,
# so that cross builds make the same bytes. Done at configure time and again
# only when the generator changes.
function(morvix_make_demo_image out)
  set(image_dir ${PROJECT_SOURCE_DIR}/image)
  morvix_host_program(generator make_demo_image ${image_dir}/make_demo_image.cpp
                      ${image_dir}/demo_image.h)
  file(SHA256 ${generator} hash)
  set(stamp ${out}.generator-sha256)
  if(EXISTS ${out} AND EXISTS ${stamp})
    file(READ ${stamp} made_by)
    if(made_by STREQUAL hash)
      return()
    endif()
  endif()
  get_filename_component(dir ${out} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${generator} ${out} RESULT_VARIABLE rc ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Generating the demo image failed:\n${log}")
  endif()
  file(WRITE ${stamp} "${hash}")
endfunction()

# An image library: the built-in bytes of `file` and its name. A program
# links the default one through morvix_image, or picks another with
#   set_target_properties(<program> PROPERTIES MORVIX_IMAGE <target>)
# An optional third argument names the file's origin in error messages.
function(morvix_add_image_library target file)
  set(what ${target})
  if(ARGC GREATER 2)
    set(what ${ARGV2})
  endif()
  get_filename_component(file "${file}" ABSOLUTE)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${what}: the firmware image '${file}' does not exist")
  endif()
  file(SIZE "${file}" size)
  if(size EQUAL 0)
    message(FATAL_ERROR "${what}: the firmware image '${file}' is empty")
  endif()
  morvix_image_default_model("${file}" "${what}" model)
  get_filename_component(name "${file}" NAME)

  # A copy under a fixed name keeps odd characters of the original path out
  # of the assembler and the resource script, and a change of the original
  # re-runs the configure step, which refreshes it.
  set(stage ${CMAKE_CURRENT_BINARY_DIR}/${target})
  configure_file("${file}" ${stage}/firmware.bin COPYONLY)

  set(image_dir ${PROJECT_SOURCE_DIR}/image)
  add_library(${target} STATIC ${image_dir}/builtin_image_${MORVIX_PLATFORM}.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE MORVIX_IMAGE_NAME="${name}")
  target_link_libraries(${target} PRIVATE morvix_warnings)
  set_target_properties(${target} PROPERTIES MORVIX_IMAGE_FILE "${file}"
                                             MORVIX_IMAGE_DEFAULT_MODEL "${model}")
  if(WIN32)
    set(script ${PROJECT_SOURCE_DIR}/resources/image.rc)
    add_library(${target}_resource OBJECT ${script})
    target_include_directories(${target}_resource PRIVATE ${stage} ${PROJECT_SOURCE_DIR}/resources)
    set_property(SOURCE ${script} APPEND PROPERTY OBJECT_DEPENDS ${stage}/firmware.bin)
    # A resource object defines no symbol, so the linker would never take it
    # out of an archive: every program gets it as one of its own objects,
    # unless the program's own resource script binds the image itself
    # (morvix_program_resource_script).
    target_sources(${target} INTERFACE
      "$<$<AND:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>,$<NOT:$<BOOL:$<TARGET_PROPERTY:MORVIX_SCRIPT_BINDS_IMAGE>>>>:$<TARGET_OBJECTS:${target}_resource>>")
    set_target_properties(${target} PROPERTIES MORVIX_IMAGE_STAGE_DIR ${stage})
  else()
    target_compile_definitions(${target} PRIVATE MORVIX_IMAGE_FILE="${stage}/firmware.bin")
    set_property(SOURCE ${image_dir}/builtin_image_posix.cpp APPEND PROPERTY OBJECT_DEPENDS
                 ${stage}/firmware.bin)
  endif()
endfunction()

# Gives a Windows program its own resource script, which binds the image of
# the program's image library (MORVIX_IMAGE, else the built-in one) with
# `#include "image.rc"` beside its other resources: one script per program,
# and the image bound once.
function(morvix_program_resource_script program script)
  get_target_property(image ${program} MORVIX_IMAGE)
  if(NOT image)
    set(image morvix_image_builtin)
  endif()
  get_target_property(stage ${image} MORVIX_IMAGE_STAGE_DIR)
  target_sources(${program} PRIVATE ${script})
  set_target_properties(${program} PROPERTIES MORVIX_SCRIPT_BINDS_IMAGE ON)
  target_include_directories(${program} PRIVATE ${stage} ${PROJECT_SOURCE_DIR}/resources)
  set_property(SOURCE ${script} APPEND PROPERTY OBJECT_DEPENDS
               ${stage}/firmware.bin ${PROJECT_SOURCE_DIR}/resources/image.rc)
endfunction()
