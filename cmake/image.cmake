# The driver image: the driver folders compiled for the kernel's target (see
# cmake/i686-freestanding.cmake) and combined into one relocatable object,
# torvelin.o, which the kernel links or loads. Nothing else of the tree is
# built. After linking, scripts/check_image.sh checks that the image needs
# only what host/host.h declares and prints its sizes; the same check must
# reject a copy of the image with a library call, operator new and a global
# constructor added (cmake/image_canary.cpp).
if(NOT CMAKE_CXX_COMPILER_TARGET MATCHES "^i[3-6]86-")
  message(FATAL_ERROR "TORVELIN_IMAGE needs -DCMAKE_TOOLCHAIN_FILE=cmake/i686-freestanding.cmake")
endif()

add_library(torvelin_image_objects OBJECT ${DRIVER_SOURCES})
target_include_directories(torvelin_image_objects PRIVATE ${PROJECT_SOURCE_DIR})

# GNU ld links x86-64 unless told otherwise; lld follows its inputs.
set(image_link ${TORVELIN_IMAGE_LINKER})
get_filename_component(linker_name ${TORVELIN_IMAGE_LINKER} NAME)
if(linker_name STREQUAL "ld")
  list(APPEND image_link -m elf_i386)
endif()

set(image ${PROJECT_BINARY_DIR}/torvelin.o)
add_custom_command(
  OUTPUT ${image}
  COMMAND ${image_link} -r -o ${image} $<TARGET_OBJECTS:torvelin_image_objects>
  DEPENDS torvelin_image_objects $<TARGET_OBJECTS:torvelin_image_objects>
  COMMENT "Linking the driver image torvelin.o"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(torvelin_image ALL DEPENDS ${image})

set(check_env ${CMAKE_COMMAND} -E env CLANGXX=${CMAKE_CXX_COMPILER}
              TARGET=${CMAKE_CXX_COMPILER_TARGET})
set(check ${PROJECT_SOURCE_DIR}/scripts/check_image.sh)

# The canary: the image plus code the check must refuse.
add_library(torvelin_image_canary OBJECT cmake/image_canary.cpp)
target_compile_options(torvelin_image_canary PRIVATE -Wno-global-constructors)
set(canary ${PROJECT_BINARY_DIR}/torvelin_canary.o)
add_custom_command(
  OUTPUT ${canary}
  COMMAND ${image_link} -r -o ${canary} ${image} $<TARGET_OBJECTS:torvelin_image_canary>
  DEPENDS ${image} torvelin_image_canary $<TARGET_OBJECTS:torvelin_image_canary>
  COMMENT "Linking a copy of the image with forbidden code, for the check to reject"
  COMMAND_EXPAND_LISTS VERBATIM)

# Runs on every build: the build fails when the image needs anything that
# host/host.h does not declare, or when the check stops catching the canary.
add_custom_target(torvelin_image_check ALL
  COMMAND ${check_env} ${check} ${image}
  COMMAND ${check_env} ${check} --expect-reject memcpy _Znwj .init_array -- ${canary}
  DEPENDS ${image} ${canary}
  COMMENT "Checking the driver image's undefined symbols and sections"
  VERBATIM)
