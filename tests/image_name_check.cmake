# SPDX-License-Identifier: MIT
# cmake -DIMAGE=<file name> -P image_name_check.cmake
cmake_minimum_required(VERSION 3.25)
# Runs the configure step's check of an image name on its own.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/firmware_image.cmake)
morvix_image_default_model("${IMAGE}" "MORVIX_FIRMWARE_IMAGE" model)
message("default model: ${model}")
